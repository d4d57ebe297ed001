// The trials and the augmented design X_aug: the features followed by a column of ones,
// so that the last coefficient of every class is its intercept.
#pragma once

#include "kovani/jax.h"

namespace kovani::model {

// X as a float64 NumPy array and y with its element type kept, after the checks, in
// order, that fit and both updates make: "X must be 2D: (n_trials, n_features)", "y must
// be 1D: (n_trials,)", "X and y must have same number of rows". The caller's arrays are
// never written.
struct Trials {
    nb::object Xn, yn;
};
Trials convert_trials(const Jax &j, nb::handle X, nb::handle y);

// X_aug of the (n, F) device array Xj, in Xj's type.
nb::object augmented(const Jax &j, nb::handle Xj);

// An online batch, padded for the compiled cores of the updates. They are compiled per
// shape and batches differ in size from call to call, so the batch is padded to a bucket
// size with all-zero rows, the intercept column included, labelled -1. Such a row adds
// nothing to a class step: its Gram term x x^T and its right-hand-side term
// x (kappa + omega * offset) are exactly zero. Its logits are 0, so while the state is
// finite its offset (log K') and its omega are finite as well, and its label matches no
// class, so its target is 0. (A non-finite state makes the unpadded result non-finite
// already.)
//
// Buckets: 1 (a live loop's single trial, whose class steps then work on 1 x 1 matrices),
// 16, 32, 64, then multiples of an eighth of the next power of two (80, 96, 112, 128,
// 160, ...). A live loop with 1 to 64 trials per batch needs four executables, and beyond
// 64 trials the padding adds less than a quarter of the batch.
long long padded_rows(long long n);

struct PaddedBatch {
    nb::object X_aug;  // (rows, d_aug) NumPy array of the working type, zero beyond the trials
    nb::object yj;     // (rows,) int32 class indices, -1 beyond the trials
    long long rows, d_aug;
};
PaddedBatch padded_batch(const Jax &j, nb::handle Xn, nb::handle y0, nb::handle np_dtype);

}  // namespace kovani::model
