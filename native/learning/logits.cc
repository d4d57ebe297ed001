// The logits builder: the full logits of a design under the coefficient means, the
// reference column 0 (model/logits.h). Evaluated eagerly: nothing here is compiled.
#include "learning.h"
#include "model/logits.h"
#include "model/memory.h"

namespace kovani::learning {
namespace {

enum BuildArg { X_AUG, BETA_MEAN, NON_REF_CLASSES, REF_CLASS, N_CLASSES };

nb::object build(Function &self, Args &a) {
    Jax j(self);
    // A list of indices is accepted too; JAX indexes with arrays only.
    nb::object non_ref = j.jnp.attr("asarray")(a[NON_REF_CLASSES]);
    nb::object dtype = a[X_AUG].attr("dtype");
    nb::object n = nb::int_(a[X_AUG].attr("shape")[0]);
    model::check_memory("_build_logits", model::logits_bytes(j, n, a[N_CLASSES], dtype),
                        "an (n_trials, n_classes) logits matrix");
    nb::object eta = j.matmul(a[X_AUG], a[BETA_MEAN].attr("T"));
    return model::full_logits(j, nb::make_tuple(n), eta, non_ref, a[REF_CLASS], a[N_CLASSES], dtype);
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
