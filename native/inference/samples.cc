// Posterior predictive sampling: S coefficient sets, and for each one label per trial.
#include "inference.h"
#include "prediction.h"

namespace kovani::inference {
namespace {

// The numeric core, traced once per shape, working type and softmax:
//   core(softmax, n_classes, ref_class, non_ref, S,   -- static
//        Xn, beta_mean, beta_cov_chol, seed)          -- arrays
// returns the (S, n) drawn class indices, 0-based, and whether every probability they
// were drawn from is finite.
nb::object samples_core(Function &self, Args &a) {
    Jax j(self);
    nb::object jax = j.jax, random = jax.attr("random");
    nb::object softmax = a[0];
    const long long n_classes = to_int64(a[1]), ref_class = to_int64(a[2]);
    nb::object non_ref = classes_array(j, a[3]);
    nb::object S = a[4];
    Working w = in_working_type(j, a[5], a[6], a[7]);

    // 1. The seed key in two: the first for the coefficient noise, the second for labels.
    nb::object split = random.attr("split")(key_from_seed(j, a[8]), 2);
    nb::object key_eps = split[0], key_cat = split[1];
    // 2. Class probabilities of every sampled coefficient set: (S, n, K).
    nb::object logits_s = sampled_logits(j, key_eps, S, w.Xj, w.beta_mean, w.beta_cov_chol, non_ref,
                                         ref_class, n_classes);
    nb::object probs = mapped_softmax(j, softmax, logits_s);
    // 3. Log-probabilities with eps added first, so that a probability of exactly zero
    //    still gives a finite log (and keeps a chance of about eps / (1 + K eps)).
    nb::object logp = j.jnp.attr("log")(probs + j.eps(w.Xj.attr("dtype")));
    // 4. One key per sample; within a sample the rows are drawn independently.
    nb::object keys = random.attr("split")(key_cat, S);
    nb::object draw = closure(self, "draw", {"kk", "lp"}, [random](Function &, Args &d) {
        return random.attr("categorical")(d[0], d[1], nb::arg("axis") = -1);
    });
    nb::object y0 = jax.attr("vmap")(draw)(keys, logp);
    return nb::make_tuple(y0, j.jnp.attr("all")(j.jnp.attr("isfinite")(probs)));
}

nb::object predict_samples(Function &self, Args &a) {
    Jax j(self);
    nb::object Xn = checked_trials(j, a[X], a[NUM_POSTERIOR_SAMPLES]);
    nb::object params = a[MODEL].attr("params");
    Posterior p = read_posterior(j, params);
    nb::object seed = host_seed(j, a[RNG_SEED]);

    check_prediction_memory(j, "kovani_softmax_predict_samples", p, Xn, a[NUM_POSTERIOR_SAMPLES]);
    nb::object core = compiled_core(
        self, "_samples_core",
        {"softmax", "n_classes", "ref_class", "non_ref", "S", "Xn", "beta_mean", "beta_cov_chol",
         "seed"},
        nb::make_tuple(0, 1, 2, 3, 4), samples_core);
    nb::object draws = core(global(self, "kovani_softmax"), nb::int_(p.n_classes), nb::int_(p.ref_class),
                            static_classes(p.non_ref), a[NUM_POSTERIOR_SAMPLES], Xn, p.beta_mean,
                            factors_for_core(j, p), seed);
    nb::object y0 = draws[0];
    // Read only now: a record without it fails after the draws.
    nb::object label_base = read_int(j, params, "label_base");
    // Labels drawn from NaN probabilities are arbitrary; refused after the last documented read.
    nb::object working_type = j.jax.attr("dtypes").attr("canonicalize_dtype")(p.beta_mean.attr("dtype"));
    check_finite_probabilities(draws[1], working_type);
    return j.np.attr("array")(y0).attr("astype")(j.np.attr("int64")) + label_base;
}

}  // namespace

Declaration softmax_predict_samples() {
    return {"kovani_softmax_predict_samples",
            {{"model", "KovaniModel"},
             {"X", "np.ndarray"},
             {"num_posterior_samples", "int", Conv::Int},
             {"rng_seed", "int", Conv::Int}},
            "np.ndarray",
            "Draw label samples from the posterior predictive distribution.",
            predict_samples};
}

}  // namespace kovani::inference
