// A lower Cholesky factor carried through a change of rank n of the matrix it factors,
// without refactorising: the posterior covariance of a class after a batch of n trials.
//
// Given a lower-triangular L0 (d x d, row-major), n orthonormal rows u_k of U (n x d) and
// s_k > 0, it computes the lower Cholesky factor, with positive diagonal, of
//
//     L0 (I + sum_k (s_k - 1) u_k u_k^T) L0^T.
//
// Since the u_k are orthonormal, the inner matrix is the product of the rank-1 terms
// I + (s_k - 1) u_k u_k^T, and L0 times the lower factors F_k of those terms, taken in turn,
// is lower-triangular: F_k is the factor of I + sigma w w^T with sigma = s_k - 1 and
// w = F_{k-1}^T ... F_1^T u_k, a unit vector (no solve needed), and it has the closed form
//
//     F = diag(delta) + strictly_lower(w q^T),
//     t_j = 1 + sigma sum_{i<=j} w_i^2,  t_{-1} = 1,
//     delta_j = sqrt(t_j / t_{j-1}),  q_j = sigma w_j / sqrt(t_j t_{j-1}).
//
// For sigma < 0 (data only shrinks a variance) t_j is formed as s_k + |sigma| sum_{i>j} w_i^2,
// a sum of positive terms that ends exactly at s_k: no cancellation, so the result stays
// positive definite in float32 however small s_k is. Terms with s_k == 1 are skipped.
//
// All n terms are applied in one pass over L0: row by row (blocks of rows, vectorised
// across them), columns from right to left, each term keeping one running sum per row.
// Cost: O(n d^2 + n^2 d) flops, O(n d) memory beyond L0 and the result.
#pragma once

#include <cstdint>

namespace kovani::learning {

// L holds L0 on entry and the result on return.
void rank_n_factor_update(float *L, const float *U, const float *s, std::int64_t d, std::int64_t n);
void rank_n_factor_update(double *L, const double *U, const double *s, std::int64_t d, std::int64_t n);

}  // namespace kovani::learning
