#include "factor_update.h"

#include <algorithm>
#include <cmath>
#include <vector>

// The loops vectorise across rows; where the compiler can, it also builds an AVX2 + FMA
// version, chosen at load time on processors that have them.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) && \
    !defined(__SANITIZE_ADDRESS__)
#define KOVANI_CLONES __attribute__((target_clones("default", "arch=x86-64-v3")))
#else
#define KOVANI_CLONES
#endif

namespace kovani::learning {
namespace {

// Rows of the result computed together: the lanes of the innermost loops.
constexpr std::int64_t kRows = 32;

// The closed form of one rank-1 factor F (see the header), from the unit vector w and s.
// Sums in double: they decide how far t_j stays from zero.
template <class T>
void rank_one_factor(const T *w, std::int64_t stride, std::int64_t d, double s, T *delta, T *q) {
    const double sigma = s - 1.0;
    auto store = [&](std::int64_t j, double t, double t_prev) {
        delta[j * stride] = (T) std::sqrt(t / t_prev);
        q[j * stride] = (T) (sigma * (double) w[j * stride] / std::sqrt(t * t_prev));
    };
    if (sigma < 0) {
        // t_j = s + |sigma| sum_{i>j} w_i^2, from the last row up.
        double after = 0;
        for (std::int64_t j = d - 1; j >= 0; --j) {
            const double t = s - sigma * after;
            const double wj = (double) w[j * stride];
            after += wj * wj;
            store(j, t, s - sigma * after);
        }
    } else {
        // t_j = 1 + sigma sum_{i<=j} w_i^2: positive terms already.
        double before = 0;
        for (std::int64_t j = 0; j < d; ++j) {
            const double t_prev = 1.0 + sigma * before;
            const double wj = (double) w[j * stride];
            before += wj * wj;
            store(j, 1.0 + sigma * before, t_prev);
        }
    }
}

// A kRows x kRows tile of A (d x d, row-major) at rows r0.., columns j0.., transposed
// into `tile` (tile[j * kRows + l] = A[r0 + l, j0 + j]), lower triangle only: zero above
// the diagonal and beyond the last row.
template <class T>
void load_tile(const T *A, std::int64_t d, std::int64_t r0, std::int64_t rows, std::int64_t j0, T *tile) {
    std::fill(tile, tile + kRows * kRows, T(0));
    for (std::int64_t l = 0; l < rows; ++l) {
        const T *row = A + (r0 + l) * d + j0;
        // The next tile, to the left: a pattern the hardware prefetchers do not follow.
        if (j0 >= kRows)
            for (std::int64_t k = 0; k < kRows; k += 64 / (std::int64_t) sizeof(T))
                __builtin_prefetch(row - kRows + k);
        const std::int64_t end = std::min({kRows, r0 + l + 1 - j0, d - j0});
        for (std::int64_t j = 0; j < end; ++j)
            tile[j * kRows + l] = row[j];
    }
}

// The inverse of load_tile, for the columns of the tile that exist.
template <class T>
void store_tile(const T *tile, std::int64_t d, std::int64_t r0, std::int64_t rows, std::int64_t j0, T *A) {
    const std::int64_t cols = std::min(kRows, d - j0);
    for (std::int64_t l = 0; l < rows; ++l) {
        T *row = A + (r0 + l) * d + j0;
        for (std::int64_t j = 0; j < cols; ++j)
            row[j] = tile[j * kRows + l];
    }
}

// One factor F applied to column j of a block of rows: c <- delta c + q sum, sum += w c.
template <class T>
inline void apply_term(T *__restrict c, T *__restrict sum, T delta, T q, T w) {
    for (std::int64_t l = 0; l < kRows; ++l) {
        const T x = c[l];
        c[l] = delta * x + q * sum[l];
        sum[l] += w * x;
    }
}

template <class T>
[[gnu::always_inline]] inline void factor_update(T *L, const T *U, const T *s, std::int64_t d, std::int64_t n) {
    // Terms with s_k == 1 are the identity.
    std::vector<std::int64_t> active;
    for (std::int64_t k = 0; k < n; ++k)
        if (s[k] != T(1))
            active.push_back(k);
    const std::int64_t m = (std::int64_t) active.size();

    // 1. The vectors w_a and the factors' coefficients, all stored column a of d x m arrays.
    //    X holds the directions not yet used, each already carried through the factors
    //    before it: after w_a is known, every later column b becomes F_a^T x_b.
    std::vector<T> X((size_t) (d * m)), W((size_t) (d * m)), D((size_t) (d * m)), Q((size_t) (d * m));
    for (std::int64_t a = 0; a < m; ++a)
        for (std::int64_t j = 0; j < d; ++j)
            X[j * m + a] = U[active[a] * d + j];
    std::vector<T> acc((size_t) m);
    for (std::int64_t a = 0; a < m; ++a) {
        // Unit length in exact arithmetic; normalising drops the rounding of the carrying.
        double norm2 = 0;
        for (std::int64_t j = 0; j < d; ++j)
            norm2 += (double) X[j * m + a] * (double) X[j * m + a];
        const double inv = norm2 > 0 ? 1.0 / std::sqrt(norm2) : 0.0;
        for (std::int64_t j = 0; j < d; ++j)
            W[j * m + a] = (T) ((double) X[j * m + a] * inv);
        rank_one_factor(&W[a], m, d, (double) s[active[a]], &D[a], &Q[a]);
        // (F^T x)_j = delta_j x_j + q_j sum_{i>j} w_i x_i, for every later direction at once.
        std::fill(acc.begin() + a + 1, acc.end(), T(0));
        for (std::int64_t j = d - 1; j >= 0; --j) {
            const T dj = D[j * m + a], qj = Q[j * m + a], wj = W[j * m + a];
            T *x = &X[j * m];
            for (std::int64_t b = a + 1; b < m; ++b) {
                const T xb = x[b];
                x[b] = dj * xb + qj * acc[b];
                acc[b] += wj * xb;
            }
        }
    }

    // 2. L = L0 F_1 ... F_m, one block of rows at a time: for row r and column j,
    //    (L F)[r, j] = delta_j L[r, j] + q_j sum_{i>j} L[r, i] w_i, so each term keeps one
    //    running sum per row while the columns go from right to left. The block is held
    //    transposed (column j's lanes contiguous) so that the lanes vectorise.
    //    Tiles of kRows x kRows go from the diagonal leftwards, each read, updated and
    //    written back in place (so the writes hit lines the reads brought into cache); the
    //    running sums carry from tile to tile. Above the diagonal everything is zero.
    std::vector<T> sign((size_t) d);
    for (std::int64_t j = 0; j < d; ++j)
        sign[j] = L[j * d + j] < T(0) ? T(-1) : T(1);
    T tile[kRows * kRows];
    std::vector<T> sums((size_t) (m * kRows));
    for (std::int64_t r0 = 0; r0 < d; r0 += kRows) {
        const std::int64_t rows = std::min(kRows, d - r0);
        std::fill(sums.begin(), sums.end(), T(0));
        for (std::int64_t j0 = r0; j0 >= 0; j0 -= kRows) {
            load_tile(L, d, r0, rows, j0, tile);
            for (std::int64_t j = std::min(kRows, d - j0) - 1; j >= 0; --j) {
                const std::int64_t col = j0 + j;
                T c[kRows];
                std::copy_n(&tile[j * kRows], kRows, c);
                const T *dj = &D[col * m], *qj = &Q[col * m], *wj = &W[col * m];
                for (std::int64_t a = 0; a < m; ++a)
                    apply_term(c, &sums[a * kRows], dj[a], qj[a], wj[a]);
                // Each F has a positive diagonal, so column j of the product has the sign
                // of L0[j, j]; flipping it gives the Cholesky factor itself.
                for (std::int64_t l = 0; l < kRows; ++l)
                    tile[j * kRows + l] = sign[col] * c[l];
            }
            store_tile(tile, d, r0, rows, j0, L);
        }
        for (std::int64_t l = 0; l < rows; ++l)
            std::fill(L + (r0 + l) * d + r0 + l + 1, L + (r0 + l + 1) * d, T(0));
    }
}

}  // namespace

KOVANI_CLONES void rank_n_factor_update(float *L, const float *U, const float *s, std::int64_t d, std::int64_t n) {
    factor_update(L, U, s, d, n);
}

KOVANI_CLONES void rank_n_factor_update(double *L, const double *U, const double *s, std::int64_t d,
                                        std::int64_t n) {
    factor_update(L, U, s, d, n);
}

}  // namespace kovani::learning
