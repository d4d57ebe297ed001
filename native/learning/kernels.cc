// The numeric kernels of training, published: the working floating type, the Polya-Gamma
// expectation, and one closed-form Polya-Gamma step for one class (model/class_step.h).
#include "learning.h"
#include "model/class_step.h"
#include "model/working_type.h"

namespace kovani::learning {
namespace {

nb::object dtype_from_numpy(Function &self, Args &a) { return model::training_type(Jax(self), a[0].attr("dtype")); }

nb::object expected_omega(Function &self, Args &a) { return model::expected_omega(Jax(self), a[0]); }

nb::object binary_update(Function &self, Args &a) {
    // Looked up on every call: a caller may have replaced it.
    nb::object omega = global(self, "_pg_expected_omega");
    return model::pg_step(Jax(self), [omega](nb::handle c) { return omega(c); }, a[0], a[1], a[2], a[3], a[4], a[5],
                          a[6]);
}

}  // namespace

Declaration jax_dtype_from_numpy() {
    return {"_jax_dtype_from_numpy", {{"x", "np.ndarray"}}, "jnp.dtype", "", dtype_from_numpy};
}

Declaration pg_expected_omega() {
    return {"_pg_expected_omega", {{"c", "jax.Array"}}, "jax.Array", "", expected_omega};
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
