// The numeric kernels of training: the working floating type, the Polya-Gamma
// expectation, and one closed-form Polya-Gamma step for one class.
//
// The kernels run while JAX traces the training loops, so they use array operations
// only; their constants are made in the working type of their main input, so that
// every result stays in that type.
#include "kovani/jax.h"
#include "learning.h"
#include "training.h"

namespace kovani::learning {
namespace {

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
    // Looked up on every call: a caller may have replaced it.
    return pg_step(Jax(self), global(self, "_pg_expected_omega"), a[0], a[1], a[2], a[3], a[4], a[5], a[6]);
}

}  // namespace

Declaration jax_dtype_from_numpy() {
    return {"_jax_dtype_from_numpy",
            {{"x", "np.ndarray"}},
            "jnp.dtype",
            "",
            dtype_from_numpy};
}

Declaration pg_expected_omega() {
    return {"_pg_expected_omega",
            {{"c", "jax.Array"}},
            "jax.Array",
            "",
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
            "",
            binary_update};
}

}  // namespace kovani::learning
