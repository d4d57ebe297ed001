// Prediction's steps around its compiled cores: the argument checks, the memory guard,
// the factors as a core should receive them, the seed's key and the class indices as a
// static argument.
#pragma once

#include "kovani/jax.h"
#include "model/placement.h"
#include "model/record.h"

#include <vector>

namespace kovani::model {

// X as a float64 NumPy array, after the two checks in their order: X is 2-D, then
// num_posterior_samples >= 1. The caller's X is never written.
nb::object checked_trials(const Jax &j, nb::handle X, nb::handle num_posterior_samples);

// Refuses, with MemoryError, a prediction whose arrays cannot fit in this machine's
// memory (memory.h): the noise (S, K-1, d_aug), the S coefficient sets of the same shape
// or the (K-1, n, d_aug) projected trials, whichever trials_first picks, and S logits and
// probability matrices of (n, K), in the working type. `S` is 1 on the plug-in path.
void check_prediction_memory(const Jax &j, const char *what, const Posterior &p, nb::handle Xn, nb::handle S);

// Where a prediction's core runs (placement.h): its work is that of the logits, n S (K-1)
// d_aug multiply-adds.
Placement prediction_placement(const Posterior &p, nb::handle Xn, nb::handle S);

// The stored factors as the Monte-Carlo core should receive them: for a core on the CPU
// (`on_host`), a large floating-point NumPy array that is not aligned, or not yet in the
// working type, is copied into an aligned array of the working type (host_arrays.h says
// why; the same rounding as the conversion jit or the core would make). Anything else
// passes as it is.
nb::object factors_for_core(const Jax &j, const Posterior &p, bool on_host);

// The trials carried through the stored factors on the host, x_aug L_k (K-1, n, d_aug) in
// the working type, for a Monte-Carlo core on the CPU (`on_host`) that goes through the
// trials (logits.h: trials_first) with factors of kProjectFrom bytes or more: handing such
// factors to XLA costs more than the product (factors.h), and the core then takes this
// instead (logits_of_noise's `projected`). None where the core should take the factors:
// factors that are not a float32 or float64 NumPy array of the trials' width, or small.
nb::object projected_on_host(const Jax &j, const Posterior &p, nb::handle Xn, nb::handle S, bool on_host);

// The plug-in path never reads the factors. A NumPy array is handed to the core as its
// empty leading slice, which carries the element type (so a type JAX cannot take is
// refused as before) but nothing to transfer.
nb::object factors_unused(const Jax &j, const Posterior &p);

// The key jax.random.PRNGKey(rng_seed) makes, from the seed as an np.int64 (what PRNGKey
// does first: seeds beyond 64 bits raise its OverflowError here, on the host). Made inside
// a core from that np.int64 argument, which jit canonicalises as the eager PRNGKey does
// (to its low 32 bits in 32-bit mode), so the key is the eager one.
nb::object host_seed(const Jax &j, nb::handle rng_seed);
nb::object key_from_seed(const Jax &j, nb::handle seed);

// The parameters of a prediction core: its collaborators `statics`, then the class
// bookkeeping (n_classes, ref_class, non_ref) and the sample count S, all static, then the
// trials Xn, the coefficients beta_mean and beta_cov_chol and the seed; and their
// arguments for the record `p`, the collaborators' first.
std::vector<CoreParam> prediction_params(std::vector<CoreParam> statics);
std::vector<CoreArg> prediction_args(std::vector<CoreArg> statics, const Posterior &p, nb::handle S, nb::handle Xn,
                                     nb::handle factors, nb::handle seed);

// Inside a core: the stored coefficients and the float64 trials in the working type, the
// element type of beta_mean as JAX holds it.
struct Working {
    nb::object Xj, beta_mean, beta_cov_chol;
};
Working in_working_type(const Jax &j, nb::handle Xn, nb::handle beta_mean, nb::handle beta_cov_chol);

// The class indices as a hashable static argument of a compiled core, and back: an int64
// NumPy array of the same shape and values, made while the core is traced.
nb::object static_classes(nb::handle non_ref);
nb::object classes_array(const Jax &j, nb::handle key);

}  // namespace kovani::model
