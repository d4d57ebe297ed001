// Class probabilities and labels: the checks and the record's reads on the host, then a
// compiled core that takes the plug-in path for one sample and the Monte-Carlo path for
// more.
#include "inference.h"
#include "model/finite.h"
#include "model/logits.h"
#include "model/prediction.h"
#include "model/record_rule.h"

namespace kovani::inference {
namespace {

enum PredictArg { MODEL, X, NUM_POSTERIOR_SAMPLES, RNG_SEED };

// The numeric core, traced once per shape, working type and pair of collaborators; returns
// the (n, K) probabilities. On the plug-in path (S == 1) logits_from_beta is the module's
// _logits_from_beta and seed is None; on the Monte-Carlo path the former is None and the
// key made from seed is used unsplit. Every sample weighs the same.
nb::object proba_core(Function &self, const CoreArgs &a) {
    Jax j(self);
    nb::object softmax = a["softmax"], S = a["S"];
    nb::object non_ref = model::classes_array(j, a["non_ref"]);
    model::Working w = model::in_working_type(j, a["Xn"], a["beta_mean"], a["beta_cov_chol"]);
    if (S.equal(nb::int_(1)))
        return softmax(a["logits_from_beta"](w.Xj, w.beta_mean, non_ref, a["ref_class"], a["n_classes"]));
    nb::object logits_s = model::sampled_logits(j, model::key_from_seed(j, a["seed"]), S, w.Xj, w.beta_mean,
                                                w.beta_cov_chol, non_ref, a["ref_class"], a["n_classes"]);
    return j.jnp.attr("mean")(j.jax.attr("vmap")(softmax)(logits_s), nb::arg("axis") = 0);
}

const Core proba = {"_proba_core", model::prediction_params({{"softmax"}, {"logits_from_beta"}}), proba_core};

nb::object predict_proba(Function &self, Args &a) {
    Jax j(self);
    nb::object Xn = model::checked_trials(j, a[X], a[NUM_POSTERIOR_SAMPLES]);
    model::Posterior p = model::read_posterior(j, model::Reader::of_params(a[MODEL].attr("params")));
    nb::object S = a[NUM_POSTERIOR_SAMPLES];
    // The plug-in estimate is deterministic: the seed plays no part.
    const bool plug_in = S.equal(nb::int_(1));
    nb::object logits_from_beta = plug_in ? global(self, "_logits_from_beta") : nb::none();
    nb::object seed = plug_in ? nb::none() : model::host_seed(j, a[RNG_SEED]);
    model::check_prediction_memory(j, "kovani_softmax_predict_proba", p, Xn, S);
    const model::Placement where = model::prediction_placement(p, Xn, S);
    nb::object factors = plug_in ? model::factors_unused(j, p) : model::factors_for_core(j, p, where.on_host);
    nb::object probs = call_core(self, proba,
                                 model::prediction_args({{"softmax", global(self, "kovani_softmax")},
                                                         {"logits_from_beta", logits_from_beta}},
                                                        p, S, Xn, factors, seed),
                                 where.context);
    model::check_factors(j, p.beta_cov_chol);  // while the core works
    // A fresh, writable host array that belongs to the caller.
    nb::object result = j.np.attr("array")(probs);
    model::check_finite_probabilities(model::all_finite(j, result), result.attr("dtype"));
    return result;
}

nb::object predict(Function &self, Args &a) {
    Jax j(self);
    nb::object probs = global(self, "kovani_softmax_predict_proba")(a[MODEL], a[X], a[NUM_POSTERIOR_SAMPLES],
                                                                    a[RNG_SEED]);
    // Read only now: a record without it fails after the probabilities.
    const long long label_base = model::Reader::of_params(a[MODEL].attr("params")).read_int(j, "label_base");
    // argmax keeps the first of equal maxima: ties go to the lowest class index.
    nb::object index = j.np.attr("argmax")(probs, nb::arg("axis") = 1).attr("astype")(j.np.attr("int64"));
    return index + nb::int_(label_base);
}

}  // namespace

Declaration softmax_predict_proba() {
    return {"kovani_softmax_predict_proba", predict_params(), "np.ndarray",
            "Predict class probabilities for Bayesian multinomial softmax regression.", predict_proba};
}

Declaration softmax_predict() {
    return {"kovani_softmax_predict", predict_params(), "np.ndarray",
            "Predict the most likely class label for each row of X.", predict};
}

}  // namespace kovani::inference
