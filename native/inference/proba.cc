// Class probabilities and labels: the checks and the record's reads on the host, then a
// compiled core that takes the plug-in path for one sample and the Monte-Carlo path for
// more.
#include "inference.h"
#include "model/finite.h"
#include "model/logits.h"
#include "model/prediction.h"
#include "model/record_rule.h"
#include "model/memory.h"
#include "model/working_type.h"

namespace kovani::inference {
namespace {

enum PredictArg { MODEL, X, NUM_POSTERIOR_SAMPLES, RNG_SEED };

// The numeric core, traced once per shape, working type and pair of collaborators; returns
// the (n, K) probabilities. On the plug-in path (S == 1) logits_from_beta is the module's
// _logits_from_beta and seed is None; on the Monte-Carlo path the former is None and the
// noise is `eps` where given (kept_noise), else drawn with the key made from seed, unsplit.
// Every sample weighs the same.
nb::object proba_core(Function &self, const CoreArgs &a) {
    Jax j(self);
    nb::object softmax = a["softmax"], S = a["S"], eps = a["eps"];
    nb::object non_ref = model::classes_array(j, a["non_ref"]);
    model::Working w = model::in_working_type(j, a["Xn"], a["beta_mean"], a["beta_cov_chol"]);
    if (S.equal(nb::int_(1)))
        return softmax(a["logits_from_beta"](w.Xj, w.beta_mean, non_ref, a["ref_class"], a["n_classes"]));
    nb::object dtype = w.beta_mean.attr("dtype");
    if (eps.is_none())
        eps = model::standard_noise(j, model::key_from_seed(j, a["seed"]), S, nb::int_(to_int64(a["n_classes"]) - 1),
                                    w.beta_mean.attr("shape")[1], dtype);
    nb::object logits_s = model::logits_of_noise(j, j.asarray(eps, dtype), w.Xj, w.beta_mean, w.beta_cov_chol, non_ref,
                                                 a["ref_class"], a["n_classes"], truthy(a["projected"]));
    return j.jnp.attr("mean")(j.jax.attr("vmap")(softmax)(logits_s), nb::arg("axis") = 0);
}

std::vector<CoreParam> proba_params() {
    std::vector<CoreParam> params = model::prediction_params({{"softmax"}, {"logits_from_beta"}});
    params.push_back({"eps"});
    params.push_back({"projected", true});
    return params;
}

const Core proba = {"_proba_core", proba_params(), proba_core};

nb::object noise_core(Function &self, const CoreArgs &a) {
    Jax j(self);
    return model::standard_noise(j, model::key_from_seed(j, a["seed"]), a["S"], a["rows"], a["d_aug"], a["dtype"]);
}

const Core noise = {"_noise_core", {{"dtype", true}, {"S", true}, {"rows", true}, {"d_aug", true}, {"seed"}},
                    noise_core};

// Noise kept per function: at most this many arrays, each at most this many bytes.
constexpr size_t kKeptNoiseEntries = 4;
constexpr double kKeptNoiseBytes = 16.0 * (1 << 20);

// The Monte-Carlo noise depends on the seed, the draw count, the class rows, d_aug and the
// working type alone, never on the trials or the posterior: a live loop predicting with
// one record draws the same noise at every call, which at 100 draws costs more than the
// prediction itself. So it is drawn once (the same draws as inside the core) and kept,
// keyed on all of these and on the 64-bit mode (which decides how the seed is read).
// Kept only where the core runs on JAX's default device as it stands (no placement, no
// device chosen by the caller), so the kept array is always where the core runs; None
// elsewhere, and the core draws as before.
nb::object kept_noise(Function &self, const Jax &j, const model::Posterior &p, nb::handle S, nb::handle seed,
                      const model::Placement &where) {
    nb::object config = j.jax.attr("config");
    if (!where.context.is_none() || !config.attr("jax_default_device").is_none())
        return nb::none();
    nb::object dtype = model::held_type(j, p.beta_mean.attr("dtype"));
    nb::object rows = nb::int_(p.n_classes - 1), d_aug = p.beta_mean.attr("shape")[1];
    if (model::as_size(S) * model::as_size(rows) * model::as_size(d_aug) * model::item_size(j, dtype) > kKeptNoiseBytes)
        return nb::none();
    nb::object key = nb::make_tuple(seed, S, rows, d_aug, dtype, config.attr("jax_enable_x64"));
    nb::dict kept = kept_dict(self, "_kept_noise");
    if (kept.contains(key))
        return kept[key];
    nb::object eps =
        call_core(self, noise, {{"dtype", dtype}, {"S", nb::borrow(S)}, {"rows", rows}, {"d_aug", d_aug}, {"seed", nb::borrow(seed)}});
    if (nb::len(kept) >= kKeptNoiseEntries)
        kept.clear();
    kept[key] = eps;
    return eps;
}

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
    nb::object projected = plug_in ? nb::none() : model::projected_on_host(j, p, Xn, S, where.on_host);
    nb::object factors = plug_in             ? model::factors_unused(j, p)
                         : projected.is_none() ? model::factors_for_core(j, p, where.on_host)
                                               : projected;
    std::vector<CoreArg> args = model::prediction_args(
        {{"softmax", global(self, "kovani_softmax")}, {"logits_from_beta", logits_from_beta}}, p, S, Xn, factors, seed);
    args.push_back({"eps", plug_in ? nb::none() : kept_noise(self, j, p, S, seed, where)});
    args.push_back({"projected", nb::bool_(!projected.is_none())});
    nb::object probs = call_core(self, proba, args, where.context);
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
