// Plug-in logits: the trials and the posterior means of the non-reference classes give
// the (n, K) logits, the reference column fixed at zero (model/logits.h).
#include "inference.h"
#include "model/design.h"
#include "model/logits.h"
#include "model/memory.h"

namespace kovani::inference {
namespace {

enum LogitsArg { X, BETA_MEAN, NON_REF_CLASSES, REF_CLASS, N_CLASSES };

// Runs eagerly when called from Python, and inside the traced plug-in path of
// kovani_softmax_predict_proba. Every step makes a new array; no argument is written.
nb::object logits(Function &self, Args &a) {
    Jax j(self);
    nb::object dtype = a[X].attr("dtype");
    nb::object n = nb::int_(a[X].attr("shape")[0]);
    model::check_memory("_logits_from_beta", model::logits_bytes(j, n, a[N_CLASSES], dtype),
                        "an (n_trials, n_classes) logits matrix");
    nb::object eta = j.matmul(model::augmented(j, a[X]), j.jnp.attr("transpose")(a[BETA_MEAN]));
    return model::full_logits(j, nb::make_tuple(n), eta, a[NON_REF_CLASSES], a[REF_CLASS], a[N_CLASSES], dtype);
}

}  // namespace

Declaration logits_from_beta() {
    return {"_logits_from_beta",
            {{"X", "jax.Array"},
             {"beta_mean", "jax.Array"},
             {"non_ref_classes", "np.ndarray"},
             {"ref_class", "int", Conv::Int},
             {"n_classes", "int", Conv::Int}},
            "jax.Array",
            "",
            logits};
}

}  // namespace kovani::inference
