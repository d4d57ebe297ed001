// The numeric kernels of training: the working floating type, the Polya-Gamma
// expectation, and one closed-form Polya-Gamma step for one class.
//
// The kernels run while JAX traces the training loops, so they use array operations
// only; their constants are made in the working type of their main input, so that
// every result stays in that type.
#include "kovani/jax.h"
#include "learning.h"

namespace kovani::learning {
namespace {

// one, two = one + one, half = one / two and the machine epsilon, in `dtype`.
struct Constants {
    nb::object one, two, half, eps;
    Constants(const Jax &j, nb::handle dtype)
        : one(j.jnp.attr("array")(1, nb::arg("dtype") = dtype)),
          two(one + one),
          half(one / two),
          eps(j.eps(dtype)) {}
};

nb::object dtype_from_numpy(Function &self, Args &a) {
    Jax j(self);
    nb::object dtype = a[0].attr("dtype");
    nb::object jnp = j.jnp;
    if (dtype.equal(j.np.attr("float64"))) {
        // The 64-bit flag is read anew on every call: the caller may flip it between calls.
        bool x64 = PyObject_IsTrue(j.jax.attr("config").attr("jax_enable_x64").ptr()) == 1;
        return jnp.attr(x64 ? "float64" : "float32");
    }
    if (dtype.equal(j.np.attr("float32")))
        return jnp.attr("float32");
    return jnp.attr("float32");
}

nb::object expected_omega(Function &self, Args &a) {
    Jax j(self);
    nb::object c = a[0];
    Constants k(j, c.attr("dtype"));
    // E[PG(1, c)] = tanh(c/2) / (2c), with c floored at eps (not |c|): limit 1/4 at 0.
    nb::object c1 = j.jnp.attr("maximum")(c, k.eps);
    return (k.half / c1) * j.jnp.attr("tanh")(k.half * c1);
}

nb::object binary_update(Function &self, Args &a) {
    Jax j(self);
    nb::object Xa = a[0], z = a[1], offset = a[2], m0 = a[3], prec0 = a[4], m = a[5], S = a[6];
    nb::object jnp = j.jnp;
    nb::object dtype = Xa.attr("dtype");
    Constants k(j, dtype);

    // 1. Moments of each trial's predictor psi_t = x_t . beta - offset_t under N(m, S);
    //    the variances are row sums of (Xa S) * Xa, never the n x n matrix Xa S Xa^T.
    nb::object psi_mean = j.matmul(Xa, m) - offset;
    nb::object psi_var = jnp.attr("sum")(j.matmul(Xa, S) * Xa, nb::arg("axis") = 1);
    nb::object c = jnp.attr("sqrt")(psi_mean * psi_mean + psi_var + k.eps);
    nb::object omega = global(self, "_pg_expected_omega")(c);

    // 2. Gaussian likelihood terms exp(kappa psi - omega psi^2 / 2) combined with the prior:
    //    prec = prec0 + sum_t omega_t x_t x_t^T,  b = prec0 m0 + Xa^T (kappa + omega * offset).
    nb::object XaT = Xa.attr("T");
    nb::object prec = prec0 + j.matmul(XaT, Xa * j.column(omega));
    nb::object kappa = z - k.half;
    nb::object b = j.matmul(prec0, m0) + j.matmul(XaT, kappa + omega * offset);

    // 3. One factorisation serves both solves: the mean and the covariance prec^-1.
    nb::object cho_solve = j.jax.attr("scipy").attr("linalg").attr("cho_solve");
    nb::object L = jnp.attr("linalg").attr("cholesky")(prec);
    nb::object factor = nb::make_tuple(L, true);
    nb::object m_new = cho_solve(factor, b);
    Py_ssize_t d = nb::cast<Py_ssize_t>(prec.attr("shape")[0]);
    nb::object eye = jnp.attr("eye")(d, nb::arg("dtype") = dtype);
    nb::object S_new = cho_solve(factor, eye);
    return nb::make_tuple(m_new, S_new);
}

}  // namespace

Declaration jax_dtype_from_numpy() {
    return {"_jax_dtype_from_numpy",
            {{"x", "np.ndarray"}},
            "jnp.dtype",
            "_jax_dtype_from_numpy(x: np.ndarray) -> jnp.dtype",
            dtype_from_numpy};
}

Declaration pg_expected_omega() {
    return {"_pg_expected_omega",
            {{"c", "jax.Array"}},
            "jax.Array",
            "_pg_expected_omega(c: jax.Array) -> jax.Array",
            expected_omega};
}

Declaration pg_binary_update() {
    return {"_pg_binary_update",
            {{"Xa", "jax.Array"},
             {"z", "jax.Array"},
             {"offset", "jax.Array"},
             {"m0", "jax.Array"},
             {"prec0", "jax.Array"},
             {"m", "jax.Array"},
             {"S", "jax.Array"}},
            "tuple[jax.Array, jax.Array]",
            "_pg_binary_update(Xa: jax.Array, z: jax.Array, offset: jax.Array, m0: jax.Array, "
            "prec0: jax.Array, m: jax.Array, S: jax.Array) -> tuple[jax.Array, jax.Array]",
            binary_update};
}

}  // namespace kovani::learning
