#include "training.h"

#include "factors.h"
#include "host_arrays.h"
#include "kovani/checks.h"

#include <cstdint>
#include <string>

namespace kovani::learning {

Trials convert_trials(const Jax &j, nb::handle X, nb::handle y) {
    nb::object Xn = j.np.attr("asarray")(X, nb::arg("dtype") = j.np.attr("float64"));
    nb::object yn = j.np.attr("asarray")(y);
    if (nb::cast<long>(Xn.attr("ndim")) != 2)
        raise(PyExc_ValueError, "X must be 2D: (n_trials, n_features)");
    if (nb::cast<long>(yn.attr("ndim")) != 1)
        raise(PyExc_ValueError, "y must be 1D: (n_trials,)");
    if (!Xn.attr("shape")[0].equal(yn.attr("shape")[0]))
        raise(PyExc_ValueError, "X and y must have same number of rows");
    return {Xn, yn};
}

bool less_than(nb::handle value, long bound) { return compare(value, nb::int_(bound), Py_LT); }

nb::object augment(const Jax &j, nb::handle Xj) {
    nb::object n = Xj.attr("shape")[0];
    nb::object ones = j.jnp.attr("ones")(nb::make_tuple(n, 1), nb::arg("dtype") = Xj.attr("dtype"));
    return j.jnp.attr("concatenate")(nb::make_tuple(Xj, ones), nb::arg("axis") = 1);
}

ClassTarget class_target(const Jax &j, nb::handle eta, nb::handle ref0, nb::handle one_s, nb::handle yj,
                         nb::handle non_ref_j, nb::handle i) {
    nb::object jnp = j.jnp;
    nb::object all_logits = jnp.attr("concatenate")(nb::make_tuple(eta, ref0), nb::arg("axis") = 1);
    nb::object logZ = j.jax.attr("nn").attr("logsumexp")(all_logits, nb::arg("axis") = 1);
    nb::object eta_i = eta[nb::make_tuple(all(), i)];
    nb::object p = jnp.attr("exp")(eta_i - logZ);
    // log(1 - p) floored at eps keeps the offset finite when p rounds to 1.
    nb::object eps = j.eps(one_s.attr("dtype"));
    nb::object offset = logZ + jnp.attr("log")(jnp.attr("maximum")(nb::borrow(one_s) - p, eps));
    nb::object z = (yj.attr("__eq__")(non_ref_j[i])).attr("astype")(one_s.attr("dtype"));
    return {offset, z};
}

Natural pg_natural(const Jax &j, nb::handle omega_of, nb::handle Xa, nb::handle z, nb::handle offset,
                   nb::handle psi_mean, nb::handle psi_var, nb::handle m0, nb::handle prec0) {
    nb::object jnp = j.jnp;
    Constants k(j, nb::borrow(Xa).attr("dtype"));
    nb::object c = jnp.attr("sqrt")(nb::borrow(psi_mean) * psi_mean + psi_var + k.eps);
    nb::object omega = omega_of(c);
    // Gaussian likelihood terms exp(kappa psi - omega psi^2 / 2); the term omega_t offset_t
    // comes from expanding psi^2 with the offset.
    nb::object XaT = nb::borrow(Xa).attr("T");
    nb::object prec = prec0 + j.matmul(XaT, Xa * j.column(omega));
    nb::object kappa = z - k.half;
    nb::object b = j.matmul(prec0, m0) + j.matmul(XaT, kappa + omega * offset);
    return {prec, b};
}

nb::object pg_step(const Jax &j, nb::handle omega_of, nb::handle Xa, nb::handle z, nb::handle offset,
                   nb::handle m0, nb::handle prec0, nb::handle m, nb::handle S) {
    nb::object jnp = j.jnp;
    // 1. Moments of each trial's predictor psi_t = x_t . beta - offset_t under N(m, S);
    //    the variances are row sums of (Xa S) * Xa, never the n x n matrix Xa S Xa^T.
    nb::object psi_mean = j.matmul(Xa, m) - offset;
    nb::object psi_var = jnp.attr("sum")(j.matmul(Xa, S) * Xa, nb::arg("axis") = 1);
    // 2. The precision and right-hand side of the new posterior.
    Natural nat = pg_natural(j, omega_of, Xa, z, offset, psi_mean, psi_var, m0, prec0);
    // 3. One factorisation serves both solves: the mean and the covariance prec^-1.
    nb::object cho_solve = j.jax.attr("scipy").attr("linalg").attr("cho_solve");
    nb::object L = jnp.attr("linalg").attr("cholesky")(nat.prec);
    nb::object factor = nb::make_tuple(L, true);
    nb::object m_new = cho_solve(factor, nat.b);
    Py_ssize_t d = nb::cast<Py_ssize_t>(nat.prec.attr("shape")[0]);
    nb::object eye = jnp.attr("eye")(d, nb::arg("dtype") = nb::borrow(Xa).attr("dtype"));
    nb::object S_new = cho_solve(factor, eye);
    return nb::make_tuple(m_new, S_new);
}

bool own_kernels(Function &self) {
    return is_published(self, global(self, "_pg_binary_update"), "_pg_binary_update") &&
           is_published(self, global(self, "_pg_expected_omega"), "_pg_expected_omega");
}

nb::object sweeps(Function &self, const Jax &j, nb::handle num_steps, nb::handle rows, nb::handle state,
                  nb::handle class_step) {
    nb::object step = nb::borrow(class_step), count = nb::borrow(rows);
    nb::object sweep = closure(self, "sweep", {"_", "state"}, [j, step, count](Function &, Args &s) {
        return j.lax().attr("fori_loop")(0, count, step, s[1]);
    });
    return j.lax().attr("fori_loop")(0, num_steps, sweep, state);
}

nb::object damp(nb::handle one_s, nb::handle alpha, nb::handle old, nb::handle step) {
    return (nb::borrow(one_s) - alpha) * old + nb::borrow(alpha) * step;
}

nb::object int64_scalar(const Jax &j, nb::handle value) {
    return j.np.attr("array")(value, nb::arg("dtype") = j.np.attr("int64"));
}

nb::object float64_scalar(const Jax &j, nb::handle value) {
    return j.np.attr("array")(value, nb::arg("dtype") = j.np.attr("float64"));
}

nb::object backend_tag(const Jax &j) {
    return j.np.attr("array")("pg_softmax_ref", nb::arg("dtype") = nb::handle((PyObject *) &PyBaseObject_Type));
}

void check_core_memory(const char *what, long long rows, long long d_aug, long long n, long long itemsize) {
    const double d = (double) d_aug, r = (double) rows, trials = (double) n;
    const double elements = (2.0 * r + 2.0) * d * d + 4.0 * trials * d + 3.0 * trials * (r + 1.0);
    check_memory(what, (double) itemsize * elements,
                 std::to_string(n) + " trials and " + std::to_string(rows) + " coefficient rows of " +
                     std::to_string(d_aug) + " coefficients");
}

namespace {

// Whether every entry of `a` is finite: float32 and float64 arrays in C order are read in
// place (NumPy would make a temporary of the array's size first); anything else goes
// through NumPy.
bool finite(const Jax &j, nb::handle a) {
    const std::string kind = nb::str(a.attr("dtype").attr("char")).c_str();
    if ((kind == "f" || kind == "d") && nb::cast<bool>(a.attr("flags")["C_CONTIGUOUS"])) {
        HostArray h(a, false);
        bool ok = true;
        typed({&h}, [&](auto zero) { ok = all_finite(h.data<decltype(zero)>(), (std::int64_t) h.count()); });
        return ok;
    }
    return PyObject_IsTrue(j.np.attr("isfinite")(a).attr("all")().ptr()) == 1;
}

}  // namespace

void check_finite_result(const Jax &j, const char *what, nb::handle beta_mean,
                         nb::handle beta_cov_chol, nb::handle dtype) {
        const bool mean_ok = finite(j, beta_mean), chol_ok = finite(j, beta_cov_chol);
    if (mean_ok && chol_ok)
        return;
    std::string where = !mean_ok && !chol_ok ? "beta_mean and beta_cov_chol"
                        : !mean_ok           ? "beta_mean"
                                             : "beta_cov_chol";
    std::string message = std::string(what) + " produced a non-finite posterior (NaN or infinity in " + where +
                          "): the inputs hold NaN or infinity, or the features or prior scales are too "
                          "extreme for the working type " +
                          nb::str(j.np.attr("dtype")(dtype)).c_str() +
                          " and a covariance lost positive definiteness";
    raise(PyExc_ValueError, message.c_str());
}

namespace {

constexpr std::uintptr_t kAlignment = 64;

// Below this many bytes jit's own copy costs less than making an aligned one.
constexpr long long kLarge = 1 << 18;

long long nbytes(nb::handle a) { return to_int64(a.attr("nbytes")); }

bool is_aligned(nb::handle a) {
    nb::object data = a.attr("__array_interface__")["data"][0];
    const bool contiguous = nb::cast<bool>(a.attr("flags")["C_CONTIGUOUS"]);
    return contiguous && nb::cast<std::uintptr_t>(data) % kAlignment == 0;
}

}  // namespace

nb::object empty_aligned(const Jax &j, nb::handle shape, nb::handle dtype) {
    nb::object np = j.np;
    nb::object type = np.attr("dtype")(dtype);
    const long long bytes = to_int64(np.attr("prod")(shape, nb::arg("dtype") = np.attr("int64"))) *
                            to_int64(type.attr("itemsize"));
    nb::object raw = np.attr("empty")(bytes + (long long) kAlignment, nb::arg("dtype") = np.attr("uint8"));
    const auto start = nb::cast<std::uintptr_t>(raw.attr("__array_interface__")["data"][0]);
    const long long offset = (long long) ((kAlignment - start % kAlignment) % kAlignment);
    nb::object view = raw[nb::slice(nb::int_(offset), nb::int_(offset + bytes), nb::int_(1))];
    return view.attr("view")(type).attr("reshape")(shape);
}

nb::object aligned(const Jax &j, nb::handle a) {
    if (nbytes(a) < kLarge || is_aligned(a))
        return nb::borrow(a);
    nb::object out = empty_aligned(j, a.attr("shape"), a.attr("dtype"));
    j.np.attr("copyto")(out, a);
    return out;
}

nb::object host_copy(const Jax &j, nb::handle a) {
    if (nbytes(a) < kLarge)
        return j.np.attr("array")(a);
    nb::object out = empty_aligned(j, a.attr("shape"), j.np.attr("dtype")(a.attr("dtype")));
    j.np.attr("copyto")(out, a);
    return out;
}

bool lower_triangular(const Jax &j, nb::handle L) {
    nb::object L_c = j.np.attr("ascontiguousarray")(L);
    HostArray a(L_c, false);
    const long long d = to_int64(L_c.attr("shape")[-1]);
    const long long count = d ? (long long) a.count() / (d * d) : 0;
    bool lower = true;
    typed({&a}, [&](auto zero) { lower = zero_above_diagonal(a.data<decltype(zero)>(), d, count); });
    return lower;
}

nb::object make_model(Function &self, nb::handle params) {
    return global(self, "KovaniModel")(nb::arg("model_type") = "kovani_softmax",
                                       nb::arg("params") = params);
}

}  // namespace kovani::learning
