// The products with a class's d x d covariance factor that a batch of n < d trials needs
// (reduced.h), at O(n d^2) each and without refactorising. Plain loops over row-major
// arrays in host memory, run on the record's own arrays: handing a large factor to XLA
// and back costs more than the arithmetic (a copy each way, and fresh pages for both).
#pragma once

#include <cstdint>

namespace kovani::model {

// V = X L (n x d) for lower-triangular L (d x d) and X (n x d): one pass over L's lower
// triangle, each of its rows added into every trial's row that has a non-zero coefficient
// for it. Rows of X that are all zero (a padded batch) cost nothing.
void rows_times_lower(const float *X, const float *L, float *V, std::int64_t n, std::int64_t d);
void rows_times_lower(const double *X, const double *L, double *V, std::int64_t n, std::int64_t d);

// y = L v for lower-triangular L (d x d).
void lower_times_vector(const float *L, const float *v, float *y, std::int64_t d);
void lower_times_vector(const double *L, const double *v, double *y, std::int64_t d);

// The lower Cholesky factor L, with positive diagonal, of
//
//     L0 (I + sum_k (s_k - 1) u_k u_k^T) L0^T
//
// for lower-triangular L0 (d x d), orthonormal rows u_k of U (n x d) and 0 < s_k <= 1.
// Since the u_k are orthonormal the inner matrix is the product of the rank-1 terms
// I + (s_k - 1) u_k u_k^T, and L0 times the lower factors F_k of those terms, taken in
// turn, is lower-triangular: F_k is the factor of I + sigma w w^T with sigma = s_k - 1 and
// w = F_{k-1}^T ... F_1^T u_k, a unit vector (no solve needed), with the closed form
//
//     F = diag(delta) + strictly_lower(w q^T),
//     t_j = s_k + |sigma| sum_{i>j} w_i^2,  t_{-1} = s_k + |sigma| = 1,
//     delta_j = sqrt(t_j / t_{j-1}),  q_j = sigma w_j / sqrt(t_j t_{j-1}):
//
// every t_j a sum of positive terms ending exactly at s_k, so the result stays positive
// definite in float32 however small s_k is. Terms with s_k == 1 are skipped. All terms are
// applied in one pass over L0 (row blocks vectorised across rows, columns right to left,
// one running sum per term and row). O(n d^2 + n^2 d) flops, O(n d) memory besides L.
// Columns whose L0 diagonal is negative come out negated, so L is the Cholesky factor.
void rank_n_factor_update(const float *L0, float *L, const float *U, const float *s, std::int64_t d,
                          std::int64_t n);
void rank_n_factor_update(const double *L0, double *L, const double *U, const double *s, std::int64_t d,
                          std::int64_t n);

// The same for the diagonal L0 = diag(l0) (a prior's factor), without forming it.
void rank_n_factor_update_diagonal(const float *l0, float *L, const float *U, const float *s, std::int64_t d,
                                   std::int64_t n);
void rank_n_factor_update_diagonal(const double *l0, double *L, const double *U, const double *s,
                                   std::int64_t d, std::int64_t n);

// Whether every entry of x (count values) is finite.
bool all_finite(const float *x, std::int64_t count);
bool all_finite(const double *x, std::int64_t count);

// Whether each of the `count` matrices L (d x d) is zero above its diagonal (-0 counts as
// zero).
bool zero_above_diagonal(const float *L, std::int64_t d, std::int64_t count);
bool zero_above_diagonal(const double *L, std::int64_t d, std::int64_t count);

}  // namespace kovani::model
