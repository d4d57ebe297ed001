// The logits of all K classes from a design and the non-reference coefficient means, with
// the reference class's column fixed at 0. Evaluated eagerly: nothing here is compiled.
#include "kovani/checks.h"
#include "kovani/jax.h"
#include "learning.h"

namespace kovani::learning {
namespace {

nb::object build(Function &self, Args &a) {
    Jax j(self);
    nb::object jnp = j.jnp;
    nb::object X_aug = a[0], beta_mean = a[1], ref_class = a[3], n_classes = a[4];
    // A list of indices is accepted too; JAX indexes with arrays only.
    nb::object non_ref = jnp.attr("asarray")(a[2]);
    nb::object dtype = X_aug.attr("dtype");
    nb::object n = nb::int_(X_aug.attr("shape")[0]);
    check_memory("_build_logits", logits_bytes(j, n, n_classes, dtype),
                 "an (n_trials, n_classes) logits matrix");

    // Column non_ref[j] takes eta[:, j], in the design's type whatever the coefficients'.
    // Repeated or out-of-range indices follow JAX's scatter rules (negative ones wrap,
    // ones past the end are dropped).
    nb::object logits = jnp.attr("zeros")(nb::make_tuple(n, n_classes), nb::arg("dtype") = dtype);
    nb::object eta = j.matmul(X_aug, beta_mean.attr("T")).attr("astype")(dtype);
    logits = Jax::set_at(logits, nb::make_tuple(all(), non_ref), eta);
    // Written last, so the reference column is zero even when non_ref lists it.
    nb::object zeros = jnp.attr("zeros")(nb::make_tuple(n), nb::arg("dtype") = dtype);
    return Jax::set_at(logits, nb::make_tuple(all(), ref_class), zeros);
}

}  // namespace

Declaration build_logits() {
    return {"_build_logits",
            {{"X_aug", "jax.Array"},
             {"beta_mean", "jax.Array"},
             {"non_ref_classes", "jax.Array"},
             {"ref_class", "int", Conv::Int},
             {"n_classes", "int", Conv::Int}},
            "jax.Array",
            "",
            build};
}

}  // namespace kovani::learning
