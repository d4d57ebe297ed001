#include "model/factors.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <type_traits>
#include <vector>

// The loops vectorise; where the compiler can, it also builds an AVX2 + FMA version of
// each entry point, chosen at load time on processors that have them.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) && \
    !defined(__SANITIZE_ADDRESS__)
#define KOVANI_CLONES __attribute__((target_clones("default", "arch=x86-64-v3")))
#else
#define KOVANI_CLONES
#endif
#define KOVANI_INLINE [[gnu::always_inline]] inline

namespace kovani::model {
namespace {

// Rows of the factor computed together: the lanes of the innermost loops.
constexpr std::int64_t kRows = 32;

// The coefficients delta_j, q_j of one rank-1 factor (see the header) from the unit
// vector w and 0 < s <= 1, all strided by `stride`. Sums in double: they decide how far
// t_j stays from zero.
template <class T>
void rank_one_factor(const T *w, std::int64_t stride, std::int64_t d, double s, T *delta, T *q) {
    const double shrink = 1.0 - s;  // |sigma|
    double after = 0;               // sum_{i>j} w_i^2, from the last row up
    for (std::int64_t j = d - 1; j >= 0; --j) {
        const double wj = (double) w[j * stride], t = s + shrink * after;
        after += wj * wj;
        const double t_prev = s + shrink * after;
        delta[j * stride] = (T) std::sqrt(t / t_prev);
        q[j * stride] = (T) (-shrink * wj / std::sqrt(t * t_prev));
    }
}

// Reads kRows x kRows tiles of a lower-triangular L0, transposed: tile[j * kRows + l] =
// L0[r0 + l, j0 + j], zero above the diagonal and beyond the last row.
template <class T>
struct DenseSource {
    const T *L0;
    std::int64_t d;
    T diagonal(std::int64_t j) const { return L0[j * d + j]; }
    void load(std::int64_t r0, std::int64_t rows, std::int64_t j0, T *tile) const {
        std::fill(tile, tile + kRows * kRows, T(0));
        for (std::int64_t l = 0; l < rows; ++l) {
            const T *row = L0 + (r0 + l) * d + j0;
            // The next tile, to the left: a pattern the hardware prefetchers do not follow.
            if (j0 >= kRows)
                for (std::int64_t k = 0; k < kRows; k += 64 / (std::int64_t) sizeof(T))
                    __builtin_prefetch(row - kRows + k);
            const std::int64_t end = std::min({kRows, r0 + l + 1 - j0, d - j0});
            for (std::int64_t j = 0; j < end; ++j)
                tile[j * kRows + l] = row[j];
        }
    }
};

template <class T>
struct DiagonalSource {
    const T *l0;
    T diagonal(std::int64_t j) const { return l0[j]; }
    void load(std::int64_t r0, std::int64_t rows, std::int64_t j0, T *tile) const {
        std::fill(tile, tile + kRows * kRows, T(0));
        for (std::int64_t l = 0; l < rows; ++l)
            if (r0 + l >= j0 && r0 + l < j0 + kRows)
                tile[(r0 + l - j0) * kRows + l] = l0[r0 + l];
    }
};

// One factor F, at one column, on `count` running values c and their running sums:
// c <- delta c + q sum, sum += w c (the old c). Both steps of the update go through it:
// the directions still to come (F^T x), and the rows of a block of the factor (L F).
template <class T>
KOVANI_INLINE void apply_term(T *__restrict c, T *__restrict sum, std::int64_t count, T delta, T q, T w) {
    for (std::int64_t l = 0; l < count; ++l) {
        const T x = c[l];
        c[l] = delta * x + q * sum[l];
        sum[l] += w * x;
    }
}

template <class T, class Source>
KOVANI_INLINE void factor_update(const Source &source, T *L, const T *U, const T *s, std::int64_t d,
                                 std::int64_t n) {
    std::vector<std::int64_t> active;  // terms with s_k == 1 are the identity
    for (std::int64_t k = 0; k < n; ++k)
        if (s[k] != T(1))
            active.push_back(k);
    const std::int64_t m = (std::int64_t) active.size();

    // 1. The vectors w_a and the factors' coefficients, each column a of a d x m array. X
    //    holds the directions still to come, each carried through the factors before it:
    //    once w_a is known, every later column b becomes F_a^T x_b, where
    //    (F^T x)_j = delta_j x_j + q_j sum_{i>j} w_i x_i.
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
        std::fill(acc.begin() + a + 1, acc.end(), T(0));
        for (std::int64_t j = d - 1; j >= 0; --j)
            apply_term(&X[j * m + a + 1], &acc[a + 1], m - a - 1, D[j * m + a], Q[j * m + a], W[j * m + a]);
    }

    // 2. L = L0 F_1 ... F_m, one block of rows at a time: for row r and column j,
    //    (L F)[r, j] = delta_j L[r, j] + q_j sum_{i>j} L[r, i] w_i, so each term keeps one
    //    running sum per row while the columns go from right to left. Tiles of
    //    kRows x kRows go from the diagonal leftwards, held transposed (a column's lanes
    //    contiguous) so that the lanes vectorise; the running sums carry from tile to tile.
    //    A finished block is written out front to back, zeros above the diagonal.
    std::vector<T> sign((size_t) d);
    for (std::int64_t j = 0; j < d; ++j)
        sign[j] = source.diagonal(j) < T(0) ? T(-1) : T(1);
    T tile[kRows * kRows];
    std::vector<T> sums((size_t) (m * kRows)), block((size_t) (kRows * d));
    for (std::int64_t r0 = 0; r0 < d; r0 += kRows) {
        const std::int64_t rows = std::min(kRows, d - r0);
        std::fill(sums.begin(), sums.end(), T(0));
        for (std::int64_t j0 = r0; j0 >= 0; j0 -= kRows) {
            source.load(r0, rows, j0, tile);
            const std::int64_t cols = std::min(kRows, d - j0);
            for (std::int64_t j = cols - 1; j >= 0; --j) {
                const std::int64_t col = j0 + j;
                T c[kRows];
                std::copy_n(&tile[j * kRows], kRows, c);
                const T *dj = &D[col * m], *qj = &Q[col * m], *wj = &W[col * m];
                for (std::int64_t a = 0; a < m; ++a)
                    apply_term(c, &sums[a * kRows], kRows, dj[a], qj[a], wj[a]);
                // Each F has a positive diagonal, so column j of the product has the sign
                // of L0[j, j]; flipping it gives the Cholesky factor itself.
                for (std::int64_t l = 0; l < kRows; ++l)
                    tile[j * kRows + l] = sign[col] * c[l];
            }
            for (std::int64_t l = 0; l < rows; ++l)
                for (std::int64_t j = 0; j < cols; ++j)
                    block[l * d + j0 + j] = tile[j * kRows + l];
        }
        for (std::int64_t l = 0; l < rows; ++l) {
            T *row = L + (r0 + l) * d;
            std::copy_n(&block[l * d], r0 + l + 1, row);
            std::fill(row + r0 + l + 1, row + d, T(0));
        }
    }
}

template <class T>
KOVANI_INLINE void times_lower(const T *X, const T *L, T *V, std::int64_t n, std::int64_t d) {
    std::fill(V, V + n * d, T(0));
    std::vector<std::int64_t> rows;
    for (std::int64_t t = 0; t < n; ++t)
        if (std::any_of(X + t * d, X + (t + 1) * d, [](T x) { return x != T(0); }))
            rows.push_back(t);
    for (std::int64_t i = 0; i < d; ++i) {
        const T *L_i = L + i * d;
        for (std::int64_t t : rows) {
            const T x = X[t * d + i];
            if (x == T(0))
                continue;
            T *__restrict v = V + t * d;
            for (std::int64_t k = 0; k <= i; ++k)
                v[k] += x * L_i[k];
        }
    }
}

template <class T>
KOVANI_INLINE void lower_times(const T *L, const T *v, T *y, std::int64_t d) {
    constexpr std::int64_t kLanes = 16;  // partial sums, so that the dot products vectorise
    for (std::int64_t i = 0; i < d; ++i) {
        const T *L_i = L + i * d;
        T part[kLanes] = {};
        std::int64_t k = 0;
        for (; k + kLanes <= i + 1; k += kLanes)
            for (std::int64_t l = 0; l < kLanes; ++l)
                part[l] += L_i[k + l] * v[k + l];
        T sum = 0;
        for (; k <= i; ++k)
            sum += L_i[k] * v[k];
        for (std::int64_t l = 0; l < kLanes; ++l)
            sum += part[l];
        y[i] = sum;
    }
}

// The bits of a float or double, for scans that vectorise where comparisons of floating
// values with an early exit do not.
template <class T>
using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;

template <class T>
KOVANI_INLINE Bits<T> bits_of(T x) {
    return std::bit_cast<Bits<T>>(x);
}

template <class T>
KOVANI_INLINE bool finite(const T *x, std::int64_t count) {
    // All exponent bits set: infinity or NaN.
    const Bits<T> exponent = sizeof(T) == 4 ? Bits<T>(0x7f800000u) : Bits<T>(0x7ff0000000000000ull);
    Bits<T> bad = 0;
    for (std::int64_t i = 0; i < count; ++i)
        bad |= Bits<T>((bits_of(x[i]) & exponent) == exponent);
    return bad == 0;
}

template <class T>
KOVANI_INLINE bool lower(const T *L, std::int64_t d, std::int64_t count) {
    // Every bit but the sign's: -0 counts as zero. One matrix at a time, its rows' upper
    // parts read as plain integers, so that the loop vectorises without an exit per row.
    const Bits<T> magnitude = ~(Bits<T>(1) << (8 * sizeof(T) - 1));
    for (std::int64_t m = 0; m < count; ++m) {
        Bits<T> any = 0;
        for (std::int64_t i = 0; i + 1 < d; ++i) {
            const T *row = L + (m * d + i) * d;
            for (std::int64_t k = i + 1; k < d; ++k)
                any |= bits_of(row[k]) & magnitude;
        }
        if (any)
            return false;
    }
    return true;
}

}  // namespace

KOVANI_CLONES bool all_finite(const float *x, std::int64_t count) { return finite(x, count); }
KOVANI_CLONES bool all_finite(const double *x, std::int64_t count) { return finite(x, count); }

KOVANI_CLONES bool zero_above_diagonal(const float *L, std::int64_t d, std::int64_t count) {
    return lower(L, d, count);
}
KOVANI_CLONES bool zero_above_diagonal(const double *L, std::int64_t d, std::int64_t count) {
    return lower(L, d, count);
}

KOVANI_CLONES void rows_times_lower(const float *X, const float *L, float *V, std::int64_t n, std::int64_t d) {
    times_lower(X, L, V, n, d);
}
KOVANI_CLONES void rows_times_lower(const double *X, const double *L, double *V, std::int64_t n, std::int64_t d) {
    times_lower(X, L, V, n, d);
}

KOVANI_CLONES void lower_times_vector(const float *L, const float *v, float *y, std::int64_t d) {
    lower_times(L, v, y, d);
}
KOVANI_CLONES void lower_times_vector(const double *L, const double *v, double *y, std::int64_t d) {
    lower_times(L, v, y, d);
}

KOVANI_CLONES void rank_n_factor_update(const float *L0, float *L, const float *U, const float *s, std::int64_t d,
                                        std::int64_t n) {
    factor_update(DenseSource<float>{L0, d}, L, U, s, d, n);
}
KOVANI_CLONES void rank_n_factor_update(const double *L0, double *L, const double *U, const double *s,
                                        std::int64_t d, std::int64_t n) {
    factor_update(DenseSource<double>{L0, d}, L, U, s, d, n);
}

KOVANI_CLONES void rank_n_factor_update_diagonal(const float *l0, float *L, const float *U, const float *s,
                                                 std::int64_t d, std::int64_t n) {
    factor_update(DiagonalSource<float>{l0}, L, U, s, d, n);
}
KOVANI_CLONES void rank_n_factor_update_diagonal(const double *l0, double *L, const double *U, const double *s,
                                                 std::int64_t d, std::int64_t n) {
    factor_update(DiagonalSource<double>{l0}, L, U, s, d, n);
}

}  // namespace kovani::model
