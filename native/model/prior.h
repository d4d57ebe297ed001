// The hyper-prior of every non-reference class: independent Gaussians, mean w_loc and
// standard deviation w_scale for each feature weight, b_loc and b_scale for the
// intercept. Diagonal, so its precision, covariance and Cholesky factor are closed forms
// of the scales; nothing is factorised or solved.
#pragma once

#include "kovani/jax.h"

namespace kovani::model {

struct HyperPrior {
    double w_loc, w_scale, b_loc, b_scale;

    // The (F + 1,) float64 host vectors of the prior, each F copies of the feature weights'
    // value, then the intercept's: the mean; the standard deviations; the precisions
    // 1 / scale^2 and the variances scale^2, computed in double precision.
    nb::object mean(const Jax &j, long long F) const;
    nb::object scales(const Jax &j, long long F) const;
    nb::object precisions(const Jax &j, long long F) const;
    nb::object variances(const Jax &j, long long F) const;
    // The lower Cholesky factor of the covariance, diag(scales), as a float64 matrix.
    nb::object factor(const Jax &j, long long F) const;

    // An added class starts here, and the evidence measures against it: a non-finite or
    // non-positive scale, or a non-finite mean, would give rows of NaN or inf that look
    // like a successful update. Raises ValueError "<what>: the record's <key> must be ...".
    void check_usable(const char *what = "cannot add classes") const;
};

}  // namespace kovani::model
