// Class steps in the n-dimensional space of a batch of n < d trials.
//
// All data enters a class's coefficients beta only through X beta. For a starting posterior
// N(m0, L0 L0^T) and V = X L0 (n x d) with V^T = Q R (Q d x n orthonormal, R n x n upper
// triangular), write beta = m0 + L0 (Q theta + theta_perp): then X beta = X m0 + R^T theta,
// theta_perp never meets the data and keeps its prior N(0, I), and theta starts at N(0, I_n).
// Any sequence of class steps, dampings included (they are linear in the mean and the
// covariance), leaves the posterior at
//
//     m = m0 + L0 Q mu,   S = L0 (I + Q (Sigma - I) Q^T) L0^T,
//
// where (mu, Sigma) is what the same steps give on the n-dimensional problem: design R^T,
// offsets less X m0, prior mean 0 and prior covariance I. The predictor moments agree
// exactly (V (I - Q Q^T) = 0), so the steps are the same steps, at O(n^3) each instead of
// O(d^3). Per call and row there remain V (n d^2), the QR (d n^2) and, at the end, the
// mean (d^2) and the factor of S from L0 without refactorising (factor_kernel.h).
//
// Rows of X that are all zero (a padded batch) give zero columns of V^T, zero rows of R^T
// and directions of Sigma that stay exactly I.
#pragma once

#include "kovani/jax.h"

namespace kovani::learning {

// Q (..., d, n) and the reduced designs R^T (..., n, n) of whitened trials V (..., n, d).
struct Reduced {
    nb::object Q, design;
};
Reduced reduce(const Jax &j, nb::handle V);

// The stored factors as lower-triangular factors with the same products L L^T: a factor
// with entries above its diagonal (not one the training calls write) is refactorised.
nb::object lower_triangular(Function &self, const Jax &j, nb::handle L);

// The means m0 + L0 Q mu, (R, d), from m0 (R, d), L0 (R, d, d), Q (R, d, n), mu (R, n).
nb::object lifted_means(const Jax &j, nb::handle m0, nb::handle L0, nb::handle Q, nb::handle mu);

// Sigma = P diag(s) P^T from its lower factors C (R, n, n): the squared singular values of
// C, accurate where a tiny eigenvalue would be lost to rounding in Sigma itself.
struct Eigen {
    nb::object s, P;
};
Eigen eigen_from_factor(const Jax &j, nb::handle C);

// The lower factors of L0 (I + Q (Sigma - I) Q^T) L0^T (R, d, d) for Sigma = P diag(s) P^T
// (s (R, n), P (R, n, n)), Q (..., d, n) and lower-triangular L0 (R, d, d), without
// refactorising. Directions within rounding of the prior (padded ones among them) are
// left out.
nb::object lifted_factors(Function &self, const Jax &j, nb::handle L0, nb::handle Q, const Eigen &e);

}  // namespace kovani::learning
