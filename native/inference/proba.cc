// Class probabilities and labels: checks and record reads on the host, then a compiled
// core that takes the plug-in path for one sample and the Monte-Carlo path for more.
#include "inference.h"
#include "prediction.h"

namespace kovani::inference {
namespace {

// The numeric core, traced once per shape, working type and pair of collaborators:
//   core(softmax, logits_from_beta, n_classes, ref_class, non_ref, S,  -- static
//        Xn, beta_mean, beta_cov_chol, seed)                          -- arrays
// returns the (n, K) probabilities. On the plug-in path (S == 1) logits_from_beta is
// the module's _logits_from_beta and seed is None; on the Monte-Carlo path the former
// is None and the key made from seed is used unsplit.
nb::object proba_core(Function &self, Args &a) {
    Jax j(self);
    nb::object softmax = a[0], logits_from_beta = a[1];
    const long long n_classes = to_int64(a[2]), ref_class = to_int64(a[3]);
    nb::object non_ref = classes_array(j, a[4]);
    nb::object S = a[5];
    Working w = in_working_type(j, a[6], a[7], a[8]);

    if (S.equal(nb::int_(1))) {
        nb::object logits = logits_from_beta(w.Xj, w.beta_mean, non_ref, a[3], a[2]);
        return softmax(logits);
    }
    nb::object rng_key = key_from_seed(j, a[9]);
    nb::object logits_s = sampled_logits(j, rng_key, S, w.Xj, w.beta_mean, w.beta_cov_chol, non_ref,
                                         ref_class, n_classes);
    nb::object probs_s = mapped_softmax(j, softmax, logits_s);
    // Every sample weighs the same.
    return j.jnp.attr("mean")(probs_s, nb::arg("axis") = 0);
}

nb::object predict_proba(Function &self, Args &a) {
    Jax j(self);
    nb::object Xn = checked_trials(j, a[X], a[NUM_POSTERIOR_SAMPLES]);
    Posterior p = read_posterior(j, a[MODEL].attr("params"));

    nb::object S = a[NUM_POSTERIOR_SAMPLES];
    const bool plug_in = S.equal(nb::int_(1));
    nb::object logits_from_beta = nb::none(), seed = nb::none();
    if (plug_in) {
        // The plug-in estimate is deterministic: the seed plays no part.
        logits_from_beta = global(self, "_logits_from_beta");
    } else {
        seed = host_seed(j, a[RNG_SEED]);
    }
    check_prediction_memory(j, "kovani_softmax_predict_proba", p, Xn, S);
    nb::object factors = plug_in ? factors_unused(j, p) : factors_for_core(j, p);
    nb::object core = compiled_core(
        self, "_proba_core",
        {"softmax", "logits_from_beta", "n_classes", "ref_class", "non_ref", "S", "Xn", "beta_mean",
         "beta_cov_chol", "seed"},
        nb::make_tuple(0, 1, 2, 3, 4, 5), proba_core);
    nb::object probs = core(global(self, "kovani_softmax"), logits_from_beta, nb::int_(p.n_classes),
                            nb::int_(p.ref_class), static_classes(p.non_ref), S, Xn, p.beta_mean, factors,
                            seed);
    // A fresh, writable host array that belongs to the caller.
    nb::object result = j.np.attr("array")(probs);
    check_finite_probabilities(j.np.attr("isfinite")(result).attr("all")(), result.attr("dtype"));
    return result;
}

nb::object predict(Function &self, Args &a) {
    Jax j(self);
    nb::object probs = global(self, "kovani_softmax_predict_proba")(
        a[MODEL], a[X], a[NUM_POSTERIOR_SAMPLES], a[RNG_SEED]);
    // Read only now: a record without it fails after the probabilities.
    nb::object label_base = read_int(j, a[MODEL].attr("params"), "label_base");
    // argmax keeps the first of equal maxima: ties go to the lowest class index.
    nb::object index = j.np.attr("argmax")(probs, nb::arg("axis") = 1).attr("astype")(j.np.attr("int64"));
    return index + label_base;
}

const std::vector<Param> predict_params = {{"model", "KovaniModel"},
                                           {"X", "np.ndarray"},
                                           {"num_posterior_samples", "int", Conv::Int},
                                           {"rng_seed", "int", Conv::Int}};

}  // namespace

Declaration softmax_predict_proba() {
    return {"kovani_softmax_predict_proba",
            predict_params,
            "np.ndarray",
            "Predict class probabilities for Bayesian multinomial softmax regression.",
            predict_proba};
}

Declaration softmax_predict() {
    return {"kovani_softmax_predict",
            predict_params,
            "np.ndarray",
            "Predict the most likely class label for each row of X.",
            predict};
}

}  // namespace kovani::inference
