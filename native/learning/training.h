// Pieces the fit and the online update share: trial conversion and checks, the
// augmented design, the class step's offset and target, damping, and the record.
#pragma once

#include "kovani/jax.h"

namespace kovani::learning {

// X as a float64 NumPy array and y with its element type kept, after the shape checks
// common to fit and update ("X must be 2D", "y must be 1D", equal row counts).
struct Trials {
    nb::object Xn, yn;
};
Trials convert_trials(const Jax &j, nb::handle X, nb::handle y);

// Python-level comparisons of an already-converted number with a small constant.
bool less_than(nb::handle value, long bound);

// X_aug: Xj followed by a column of ones, the intercept last.
nb::object augment(const Jax &j, nb::handle Xj);

// For row i of the carry: the offset logZ_minus (log-sum-exp of every other class's
// logit, the reference logit 0 included) and the 0/1 target z, in the working type.
struct ClassTarget {
    nb::object offset, z;
};
ClassTarget class_target(const Jax &j, nb::handle X_aug, nb::handle beta_mean, nb::handle ref0,
                         nb::handle one_s, nb::handle yj, nb::handle non_ref_j, nb::handle i);

// (1 - alpha) * old + alpha * step
nb::object damp(nb::handle one_s, nb::handle alpha, nb::handle old, nb::handle step);

// The record's value types: 0-d int64, 0-d float64, the backend tag.
nb::object int64_scalar(const Jax &j, nb::handle value);
nb::object float64_scalar(const Jax &j, nb::handle value);
nb::object backend_tag(const Jax &j);

// Refuses, with MemoryError, a core whose working set cannot fit in this machine's memory
// (see check_memory): `rows` covariance matrices of d_aug x d_aug (the carry, twice over
// while the loop runs, plus two for a class step), n x d_aug designs and the n x (rows + 1)
// logits of a class step, of `itemsize` bytes each. `what` names the call.
void check_core_memory(const char *what, long long rows, long long d_aug, long long n, long long itemsize);

// Refuses, with ValueError, a result holding NaN or infinity: it would be returned as a
// model that looks fitted and predicts garbage. `what` names the call; `dtype` is the
// working type, named in the message.
void check_finite_result(const Jax &j, const char *what, nb::handle beta_mean,
                         nb::handle beta_cov_chol, nb::handle dtype);

// A new KovaniModel(model_type="kovani_softmax", params=params).
nb::object make_model(Function &self, nb::handle params);

}  // namespace kovani::learning
