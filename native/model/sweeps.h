// The sweeps of the fit, the running update and the fixed-prior update, from the host:
// which path each takes, and what runs on the host around its compiled core.
//
// Each core is compiled once per shape, working type and static setting, and kept by the
// calling function (binding.h: call_core). The general path works in the coefficients'
// d-dimensional space through the kernels as they are now, a caller's replacement of a
// published kernel included. Fast paths give the same result up to rounding and are taken
// only with the model's own kernels: for fewer trials than coefficients, the sweeps in the
// trials' n-dimensional space (reduced.h), the covariance factors carried through the
// batch's rank-n change on the host (factors.h), taken only where the core runs on the CPU
// (placement.h); for an undamped fit of many trials, the precision's Cholesky factor in
// the state instead of the covariance.
#pragma once

#include "kovani/jax.h"
#include "model/class_step.h"
#include "model/design.h"
#include "model/prior.h"

#include <vector>

namespace kovani::model {

// A posterior as host NumPy arrays of the working type: the means (rows, d_aug) and the
// lower Cholesky factors of the covariances (rows, d_aug, d_aug).
struct Coefficients {
    nb::object beta_mean, beta_cov_chol;
};

// The fit: every non-reference class starts at the hyper-prior, which stays the prior of
// every class step.
struct FitInputs {
    nb::object dtype;           // the working type
    nb::object Xn;              // (n, F) float64 features
    nb::object yj, non_ref_j;   // int32 class indices of the trials and of the rows
    HyperPrior prior;
    nb::object alpha;           // the learning rate, a Python float
    long long n_classes;
    nb::object num_steps;       // a Python int
};
Coefficients fit_sweeps(Function &self, const Jax &j, const FitInputs &in, const Kernels &kernels);

// An update of the stored posterior (grown by any added classes) over a padded batch.
struct UpdateInputs {
    nb::object dtype;                    // the working type
    PaddedBatch batch;
    nb::object non_ref_j;                // int32 class of each row
    nb::object beta_mean, beta_cov_chol; // NumPy arrays of the working type, the factors lower triangular
    double alpha;
    long long num_steps;
};

// Each row's running estimate is the prior of its next class step: the batch is counted
// once per sweep.
Coefficients running_update_sweeps(Function &self, const Jax &j, const UpdateInputs &in, const Kernels &kernels);

// The stored posterior is the fixed prior of every class step, as the hyper-prior is the
// fit's: the batch counts once whatever the number of sweeps. Computed with the model's
// own kernels.
Coefficients fixed_prior_sweeps(Function &self, const Jax &j, const UpdateInputs &in);

// The reduced form of an update split around its core, for a caller that runs several
// cores in one compiled call. reduced_on_host: whether the update (the fixed-prior one, or
// the running one with the module's `kernels`) takes the reduced form on the CPU with no
// placement context; its core, the core's arguments (the trials whitened on the host) and,
// from the core's output, the posterior are then what the update makes around it.
bool reduced_on_host(const UpdateInputs &in, bool fixed_prior, const Kernels &kernels);
const Core &reduced_update_core(bool fixed_prior);
std::vector<CoreArg> reduced_core_args(const Jax &j, const UpdateInputs &in);
Coefficients reduced_core_result(const Jax &j, const UpdateInputs &in, nb::handle out);

}  // namespace kovani::model
