#include "model/proba.h"

#include "model/finite.h"
#include "model/logits.h"
#include "model/prediction.h"
#include "model/memory.h"
#include "model/record_rule.h"
#include "model/working_type.h"

namespace kovani::model {
namespace {

nb::object proba_body(Function &self, const CoreArgs &a) {
    Jax j(self);
    nb::object softmax = a["softmax"], S = a["S"], eps = a["eps"];
    nb::object non_ref = classes_array(j, a["non_ref"]);
    Working w = in_working_type(j, a["Xn"], a["beta_mean"], a["beta_cov_chol"]);
    if (S.equal(nb::int_(1)))
        return softmax(a["logits_from_beta"](w.Xj, w.beta_mean, non_ref, a["ref_class"], a["n_classes"]));
    nb::object dtype = w.beta_mean.attr("dtype");
    if (eps.is_none())
        eps = standard_noise(j, key_from_seed(j, a["seed"]), S, nb::int_(to_int64(a["n_classes"]) - 1),
                             w.beta_mean.attr("shape")[1], dtype);
    nb::object logits_s = logits_of_noise(j, j.asarray(eps, dtype), w.Xj, w.beta_mean, w.beta_cov_chol, non_ref,
                                          a["ref_class"], a["n_classes"], truthy(a["projected"]));
    return j.jnp.attr("mean")(j.jax.attr("vmap")(softmax)(logits_s), nb::arg("axis") = 0);
}

std::vector<CoreParam> proba_params() {
    std::vector<CoreParam> params = prediction_params({{"softmax"}, {"logits_from_beta"}});
    params.push_back({"eps"});
    params.push_back({"projected", true});
    return params;
}

nb::object noise_body(Function &self, const CoreArgs &a) {
    Jax j(self);
    return standard_noise(j, key_from_seed(j, a["seed"]), a["S"], a["rows"], a["d_aug"], a["dtype"]);
}

const Core noise = {"_noise_core", {{"dtype", true}, {"S", true}, {"rows", true}, {"d_aug", true}, {"seed"}},
                    noise_body};

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
nb::object kept_noise(Function &self, const Jax &j, const Posterior &p, nb::handle S, nb::handle seed,
                      const Placement &where) {
    nb::object config = j.jax.attr("config");
    if (!where.context.is_none() || !config.attr("jax_default_device").is_none())
        return nb::none();
    nb::object dtype = held_type(j, p.beta_mean.attr("dtype"));
    nb::object rows = nb::int_(p.n_classes - 1), d_aug = p.beta_mean.attr("shape")[1];
    if (as_size(S) * as_size(rows) * as_size(d_aug) * item_size(j, dtype) > kKeptNoiseBytes)
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

}  // namespace

const Core proba_core = {"_proba_core", proba_params(), proba_body};

ProbaCall proba_call(Function &self, const Jax &j, nb::handle model, nb::handle X, nb::handle S, nb::handle rng_seed,
                     nb::handle softmax, nb::handle logits_from_beta) {
    nb::object Xn = checked_trials(j, X, S);
    ProbaCall c{read_posterior(j, Reader::of_params(model.attr("params"))), {}, {}};
    // The plug-in estimate is deterministic: the seed plays no part.
    const bool plug_in = nb::borrow(S).equal(nb::int_(1));
    nb::object seed = plug_in ? nb::none() : host_seed(j, rng_seed);
    check_prediction_memory(j, "kovani_softmax_predict_proba", c.p, Xn, S);
    c.where = prediction_placement(c.p, Xn, S);
    nb::object projected = plug_in ? nb::none() : projected_on_host(j, c.p, Xn, S, c.where.on_host);
    nb::object factors = plug_in               ? factors_unused(j, c.p)
                         : projected.is_none() ? factors_for_core(j, c.p, c.where.on_host)
                                               : projected;
    c.args = prediction_args({{"softmax", nb::borrow(softmax)}, {"logits_from_beta", plug_in ? nb::borrow(logits_from_beta) : nb::none()}},
                             c.p, S, Xn, factors, seed);
    c.args.push_back({"eps", plug_in ? nb::none() : kept_noise(self, j, c.p, S, seed, c.where)});
    c.args.push_back({"projected", nb::bool_(!projected.is_none())});
    return c;
}

nb::object proba_result(const Jax &j, const ProbaCall &call, nb::handle probs) {
    check_factors(j, call.p.beta_cov_chol);
    nb::object result = j.np.attr("array")(probs);
    check_finite_probabilities(all_finite(j, result), result.attr("dtype"));
    return result;
}

}  // namespace kovani::model
