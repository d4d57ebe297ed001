// The class step of the Polya-Gamma variational sweeps, in its general d-space form. For one
// non-reference class it sets up the binary problem of that class against all the others
// (a per-trial offset and a 0/1 target) and takes one closed-form step from a Gaussian
// prior, with the Polya-Gamma expectations evaluated at the current approximation.
//
// Everything here runs while JAX traces a sweep: array operations only, constants made in
// the working type of the design, so every result stays in that type.
#pragma once

#include "kovani/jax.h"

namespace kovani::adaptation {

// The binary problem of coefficient row i, from the current means of all rows:
//   offset[t] = log sum over every class but row i's of exp(logit), the reference logit 0
//               included (log(1 - p) floored at eps, so it stays finite when p rounds to 1);
//   z[t]      = 1 where yj[t] is row i's class (non_ref_j[i]), else 0.
// Rows already updated in the current sweep take part with their new means.
struct BinaryProblem {
    nb::object offset, z;
};
BinaryProblem binary_problem(const Jax &j, nb::handle X_aug, nb::handle beta_mean, nb::handle yj,
                             nb::handle non_ref_j, nb::handle i);

// A Gaussian over one row's coefficients: mean (d,), full covariance (d, d).
struct Gaussian {
    nb::object mean, cov;
};

// One Polya-Gamma step for the binary problem with linear predictor psi = X_aug beta - offset:
// each trial's Polya-Gamma variable is replaced by its expectation at c = sqrt(E[psi^2])
// under the current approximation N(m, S), and the resulting Gaussian likelihood terms are
// combined with the prior N(m0, prec0^-1):
//   prec = prec0 + X_aug^T diag(omega) X_aug,  mean = prec^-1 (prec0 m0 + X_aug^T (z - 1/2 + omega offset)).
// Costs O(n d^2 + d^3); the covariance is prec^-1 through one Cholesky factorisation.
Gaussian pg_class_step(const Jax &j, nb::handle X_aug, const BinaryProblem &problem, nb::handle m0,
                       nb::handle prec0, nb::handle m, nb::handle S);

// The damped step: (1 - alpha) * old + alpha * step, for the mean and for the covariance.
Gaussian damp(nb::handle alpha, const Gaussian &old, const Gaussian &step);

}  // namespace kovani::adaptation
