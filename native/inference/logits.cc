// Plug-in logits: the trials and the posterior means of the non-reference classes give
// the (n, K) logits, the reference column fixed at zero.
#include "inference.h"
#include "kovani/checks.h"
#include "kovani/jax.h"

namespace kovani::inference {
namespace {

enum LogitsArg { X, BETA_MEAN, NON_REF_CLASSES, REF_CLASS, N_CLASSES };

// Runs eagerly when called from Python, and inside the traced plug-in path of
// kovani_softmax_predict_proba. Every step makes a new array; no argument is written.
nb::object logits(Function &self, Args &a) {
    Jax j(self);
    nb::object jnp = j.jnp;
    nb::object Xm = a[X];
    nb::object dtype = Xm.attr("dtype");
    nb::object n = nb::int_(Xm.attr("shape")[0]);
    check_memory("_logits_from_beta", logits_bytes(j, n, a[N_CLASSES], dtype),
                 "an (n_trials, n_classes) logits matrix");

    nb::object ones = jnp.attr("ones")(nb::make_tuple(n, 1), nb::arg("dtype") = dtype);
    nb::object X_aug = jnp.attr("concatenate")(nb::make_tuple(Xm, ones), nb::arg("axis") = 1);
    nb::object result = jnp.attr("zeros")(nb::make_tuple(n, a[N_CLASSES]), nb::arg("dtype") = dtype);
    nb::object eta = j.matmul(X_aug, jnp.attr("transpose")(a[BETA_MEAN]));
    result = Jax::set_at(result, nb::make_tuple(all(), a[NON_REF_CLASSES]), eta);
    // The reference column last, so that it is zero whatever non_ref_classes lists.
    return Jax::set_at(result, nb::make_tuple(all(), a[REF_CLASS]),
                       jnp.attr("zeros")(nb::make_tuple(n), nb::arg("dtype") = dtype));
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
