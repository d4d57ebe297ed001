// Class probabilities of a record: the host's steps before and after the compiled core, and
// the core itself. The inference module's predictions call it alone; the training
// module's race of adaptation rates runs it inside one core with the race's updates.
#pragma once

#include "kovani/jax.h"
#include "model/placement.h"
#include "model/record.h"

#include <vector>

namespace kovani::model {

// The numeric core, traced once per shape, working type and pair of collaborators; returns
// the (n, K) probabilities. On the plug-in path (S == 1) logits_from_beta is the module's
// _logits_from_beta and seed is None; on the Monte-Carlo path the former is None and the
// noise is `eps` where given (kept_noise), else drawn with the key made from seed, unsplit.
// Every sample weighs the same.
extern const Core proba_core;

// A prediction up to its core: the trials and draw count checked, the record read, the
// memory guard, the placement, and the core's arguments. `softmax` and `logits_from_beta`
// are the collaborators as the caller looked them up (the latter for the plug-in path).
struct ProbaCall {
    Posterior p;
    Placement where;
    std::vector<CoreArg> args;
};
ProbaCall proba_call(Function &self, const Jax &j, nb::handle model, nb::handle X, nb::handle S, nb::handle rng_seed,
                     nb::handle softmax, nb::handle logits_from_beta);

// After the core: the factors' upper triangles checked (call it while the core works),
// then the probabilities as a fresh, writable host array that belongs to the caller,
// refused where not all finite.
nb::object proba_result(const Jax &j, const ProbaCall &call, nb::handle probs);

}  // namespace kovani::model
