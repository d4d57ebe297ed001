// Pieces the three prediction entry points share: the checks, the reads of the model
// record, the sampled logits of the Monte-Carlo paths, and the compiled cores.
#pragma once

#include "kovani/jax.h"

namespace kovani::inference {

// The four parameters of every prediction entry point, in order.
enum PredictArg { MODEL, X, NUM_POSTERIOR_SAMPLES, RNG_SEED };

// X as a float64 NumPy array, after the two checks in their order: X is 2-D, then
// num_posterior_samples >= 1. The caller's X is never written.
nb::object checked_trials(const Jax &j, nb::handle X, nb::handle num_posterior_samples);

// What prediction reads of the record, in the order it reads it, then checked for entries
// that disagree with one another (kovani/checks.h: check_record). The coefficient arrays
// go to the compiled core as they are stored when they are NumPy or JAX arrays (jit
// moves them to the device, canonicalising the element type exactly as jnp.asarray
// would); anything else is turned into a JAX array here. The core converts
// `beta_cov_chol` and the trials to the element type of `beta_mean`, the working type.
struct Posterior {
    long long n_classes, ref_class;
    nb::object non_ref;  // int64 NumPy array
    nb::object beta_mean, beta_cov_chol;
};
Posterior read_posterior(const Jax &j, nb::handle params);

// How the Monte-Carlo paths form the sampled scores x_aug . beta_s of n trials under S
// coefficient sets. Either through the sets, beta_s = beta_mean + L eps_s, which costs
// S (K-1) d_aug^2; or through the trials, x_aug . beta_mean + (L^T x_aug) . eps_s, which
// costs (K-1) n d_aug^2. Both add S (K-1) n d_aug for the scores and use the same noise,
// so they differ by rounding only. Measured, the product over trials runs at about half
// the rate of the one over samples (its batch is the class rows, not the samples), so
// the trials go first when 2 n <= S: a live loop's single trial always does.
bool trials_first(double n, double S);

// Refuses, with MemoryError, a prediction whose arrays cannot fit in this machine's
// memory (see kovani/checks.h): the noise (S, K-1, d_aug), the S coefficient sets of the
// same shape or the (K-1, n, d_aug) projected trials, whichever trials_first picks, and
// S logits and probability matrices of (n, K), in the working type. `S` is 1 on the
// plug-in path.
void check_prediction_memory(const Jax &j, const char *what, const Posterior &p, nb::handle Xn, nb::handle S);

// The stored factors as the Monte-Carlo core should receive them. XLA's CPU client takes
// a NumPy argument without copying only when its data is 64-byte aligned, and NumPy's
// large allocations never are; the copy it makes instead slows down sixfold beyond 32 MiB
// (28 ms for the (3, 2081, 2081) float32 factors of a 64-channel, 4-class model, against
// 5 ms for NumPy's own copy). So a large floating-point NumPy array that is not aligned,
// or not yet in the working type, is copied here into an aligned C-ordered array of the
// working type (the same rounding as the conversion jit or the core would make).
// Anything else passes as it is.
nb::object factors_for_core(const Jax &j, const Posterior &p);

// The plug-in path never reads the factors. A NumPy array is handed to the core as its
// empty leading slice, which carries the element type (so a type JAX cannot take is
// refused as before) but nothing to transfer.
nb::object factors_unused(const Jax &j, const Posterior &p);

// Refuses, with ValueError, probabilities holding NaN or infinity: the labels argmax or a
// categorical draw makes of them are arbitrary. `all_finite` is a (host or device) boolean.
void check_finite_probabilities(nb::handle all_finite, nb::handle dtype);

// Inside a core: the stored arrays and the float64 trials in the working type.
struct Working {
    nb::object Xj, beta_mean, beta_cov_chol;
};
Working in_working_type(const Jax &j, nb::handle Xn, nb::handle beta_mean, nb::handle beta_cov_chol);

// The key jax.random.PRNGKey(rng_seed) makes, from the seed as an np.int64 (what
// PRNGKey does first: seeds beyond 64 bits raise its OverflowError here, on the host).
// Made inside a core from that np.int64 argument, which jit canonicalises as the eager
// PRNGKey does (to its low 32 bits in 32-bit mode), so the key is the eager one.
nb::object host_seed(const Jax &j, nb::handle rng_seed);
nb::object key_from_seed(const Jax &j, nb::handle seed);

// params[key] as an int64 NumPy array, then a Python integer.
nb::object read_int(const Jax &j, nb::handle params, const char *key);

// The class indices as a hashable static argument of a compiled core, and back: an int64
// NumPy array of the same shape and values, made while the core is traced.
nb::object static_classes(nb::handle non_ref);
nb::object classes_array(const Jax &j, nb::handle key);

// S coefficient sets drawn through the stored factors with `key`, and the full logits
// of every set: (S, n, K), the reference column zero.
nb::object sampled_logits(const Jax &j, nb::handle key, nb::handle S, nb::handle Xj,
                          nb::handle beta_mean, nb::handle beta_cov_chol, nb::handle non_ref,
                          long long ref_class, long long n_classes);

// jax.vmap(softmax)(logits_s): the softmax of every (n, K) slice of the sample axis.
nb::object mapped_softmax(const Jax &j, nb::handle softmax, nb::handle logits_s);

}  // namespace kovani::inference
