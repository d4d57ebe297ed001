// Posterior predictive sampling: S coefficient sets, and for each one label per trial.
#include "inference.h"
#include "model/finite.h"
#include "model/logits.h"
#include "model/prediction.h"
#include "model/record_rule.h"
#include "model/working_type.h"

namespace kovani::inference {
namespace {

enum PredictArg { MODEL, X, NUM_POSTERIOR_SAMPLES, RNG_SEED };

// The numeric core, traced once per shape, working type and softmax; returns the (S, n)
// drawn class indices, 0-based, and whether every probability they were drawn from is
// finite.
nb::object samples_core(Function &self, const CoreArgs &a) {
    Jax j(self);
    nb::object jax = j.jax, random = jax.attr("random");
    nb::object S = a["S"];
    model::Working w = model::in_working_type(j, a["Xn"], a["beta_mean"], a["beta_cov_chol"]);

    // 1. The seed key in two: the first for the coefficient noise, the second for labels.
    nb::object split = random.attr("split")(model::key_from_seed(j, a["seed"]), 2);
    nb::object key_eps = split[0], key_cat = split[1];
    // 2. Class probabilities of every sampled coefficient set: (S, n, K).
    nb::object logits_s = model::sampled_logits(j, key_eps, S, w.Xj, w.beta_mean, w.beta_cov_chol,
                                                model::classes_array(j, a["non_ref"]), a["ref_class"],
                                                a["n_classes"]);
    nb::object probs = jax.attr("vmap")(a["softmax"])(logits_s);
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

const Core samples = {"_samples_core", model::prediction_params({{"softmax"}}), samples_core};

nb::object predict_samples(Function &self, Args &a) {
    Jax j(self);
    nb::object Xn = model::checked_trials(j, a[X], a[NUM_POSTERIOR_SAMPLES]);
    nb::object params = a[MODEL].attr("params");
    const model::Reader record = model::Reader::of_params(params);
    model::Posterior p = model::read_posterior(j, record);
    nb::object seed = model::host_seed(j, a[RNG_SEED]);
    model::check_prediction_memory(j, "kovani_softmax_predict_samples", p, Xn, a[NUM_POSTERIOR_SAMPLES]);
    const model::Placement where = model::prediction_placement(p, Xn, a[NUM_POSTERIOR_SAMPLES]);
    nb::object draws = call_core(self, samples,
                                 model::prediction_args({{"softmax", global(self, "kovani_softmax")}}, p,
                                                        a[NUM_POSTERIOR_SAMPLES], Xn,
                                                        model::factors_for_core(j, p, where.on_host), seed),
                                 where.context);
    model::check_factors(j, p.beta_cov_chol);  // while the core works
    // Read only now: a record without it fails after the draws.
    const long long label_base = record.read_int(j, "label_base");
    // Labels drawn from NaN probabilities are arbitrary; refused after the last documented read.
    model::check_finite_probabilities(truthy(draws[1]), model::held_type(j, p.beta_mean.attr("dtype")));
    return j.np.attr("array")(draws[0]).attr("astype")(j.np.attr("int64")) + nb::int_(label_base);
}

}  // namespace

Declaration softmax_predict_samples() {
    return {"kovani_softmax_predict_samples", predict_params(), "np.ndarray",
            "Draw label samples from the posterior predictive distribution.", predict_samples};
}

}  // namespace kovani::inference
