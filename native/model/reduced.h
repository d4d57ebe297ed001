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
// O(d^3). Per call and row there remain V (n d^2), the QR (d n^2), and at the end the mean
// (d^2) and the factor of S from L0 without refactorising (factors.h).
//
// Rows of X that are all zero (a padded batch) give zero columns of V^T, zero rows of R^T
// and directions of Sigma that stay exactly I.
//
// The products with the d x d factors run on the host, on the record's arrays (factors.h
// says why); the rest runs in compiled cores.
#pragma once

#include "kovani/jax.h"

namespace kovani::model {

// ---- inside a compiled core

// Q (..., d, n) and the reduced designs R^T (..., n, n) of whitened trials V (..., n, d).
struct Reduced {
    nb::object Q, design;
};
Reduced reduce(const Jax &j, nb::handle V);

// The directions and eigenvalues that carry a factor through Sigma = P diag(s) P^T: the
// rows of U = (Q P)^T (R, n, d) and s (R, n), with the eigenvalues within rounding of the
// prior's 1 (padded directions among them) set to exactly 1, which skips them, and the
// rest kept in (0, 1], where Sigma <= I puts them.
struct Directions {
    nb::object U, s;
};
Directions directions(const Jax &j, nb::handle Q, nb::handle s, nb::handle P);

// The left singular vectors P and singular values s of C (..., n, n), as
// jnp.linalg.svd's first two outputs up to the signs of P's columns (the factors use only
// P's squares); for a single trial in closed form.
struct Singular {
    nb::object P, s;
};
Singular singular(const Jax &j, nb::handle C);

// Sigma = P diag(s) P^T from its lower factors C (R, n, n): the squared singular values of
// C, accurate where a tiny eigenvalue would be lost to rounding in Sigma itself.
Directions directions_from_factor(const Jax &j, nb::handle Q, nb::handle C);

// ---- on the host, on NumPy arrays of the working type (float32 or float64)

// X L0 (R, n, d) for trials X (n, d) and lower-triangular L0 (R, d, d).
nb::object whitened(const Jax &j, nb::handle X, nb::handle L0);

// m0 + L0 v (R, d) for m0 (R, d), lower-triangular L0 (R, d, d) and v = Q mu (R, d).
nb::object lifted_means(const Jax &j, nb::handle m0, nb::handle L0, nb::handle v);

// The lower factors (R, d, d) of L0 (I + U^T (diag(s) - I) U) L0^T (factors.h), for
// lower-triangular L0 (R, d, d), or for L0 = diag(l0) where `l0` is a vector (d,).
nb::object lifted_factors(const Jax &j, nb::handle L0, const Directions &directions);

}  // namespace kovani::model
