"""Degenerate numerics: extreme prior scales, learning rates near 0, features of magnitude
1e6, covariances that lose positive definiteness.

What comes out, in short: a result that is finite is returned as computed (the checks
below never alter one); a fit or update whose coefficients come out NaN or infinite --
because a Cholesky factorisation met a matrix that is not positive definite in the
working precision -- raises ValueError instead of returning a model of NaNs.
"""

import re

import jax
import numpy as np
import pytest

import reference as ref
from helpers import make_trials
from kovani_bci.kovani_io import KovaniModel
from kovani_bci.models.kovani_softmax import learning

fit = learning.kovani_softmax_fit
update = learning.kovani_softmax_update

X, Y = make_trials(12, 3, 3, seed=4)
# Values beyond float32 overflow in NumPy's cast to the working type; that is the point.
pytestmark = pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")

NON_FINITE = r"^(fit|update) produced a non-finite posterior \(NaN or infinity in beta_mean and beta_cov_chol\): "


def fit_with(X=X, y=Y, w_scale=1.0, b_scale=1.0, learning_rate=1.0, w_loc=0.0):
    return fit(X, y, 3, 0, w_loc, w_scale, 0.0, b_scale, 0, learning_rate, 3)


def assert_finite(model):
    p = model.params
    assert np.isfinite(p["beta_mean"]).all() and np.isfinite(p["beta_cov_chol"]).all()
    return p


def assert_matches_reference(model, X, y, w_scale=1.0, b_scale=1.0, learning_rate=1.0, w_loc=0.0):
    _, _, _, means, covs = ref.fit(X, y, 3, 0, w_loc, w_scale, 0.0, b_scale, learning_rate, 3)
    p = model.params
    np.testing.assert_allclose(p["beta_mean"], means, rtol=1e-6, atol=1e-9 * np.abs(means).max())
    L = p["beta_cov_chol"]
    S = L @ np.swapaxes(L, 1, 2)
    np.testing.assert_allclose(S, covs, rtol=1e-6, atol=1e-9 * np.abs(covs).max())


@pytest.mark.parametrize("scale", [1e-30, 1e30])
def test_extreme_prior_scales(scale, x64):
    if x64 and scale < 1:
        # float64 holds 1 / scale^2 = 1e60: the fit is finite and equals the reference, and
        # the weights are pinned at their prior mean.
        for kwargs in ({"w_scale": scale}, {"b_scale": scale}):
            assert_matches_reference(fit_with(**kwargs), X, Y, **kwargs)
        assert np.abs(fit_with(w_scale=scale, w_loc=0.5).params["beta_mean"][:, :3] - 0.5).max() < 1e-12
    elif x64:
        # A prior this flat leaves these (separable) trials unregularised: finite, but the
        # weights run off towards the prior scale.
        p = assert_finite(fit_with(w_scale=scale))
        assert np.abs(p["beta_mean"]).max() > 1e20
        assert_finite(fit_with(b_scale=scale))
    else:
        # In float32 the prior precision 1 / scale^2 over- or underflows (inf, or 0 with
        # fewer trials than coefficients to make up for it): Cholesky of a matrix that is
        # not positive definite, then NaN everywhere. Refused, not returned as a model.
        with pytest.raises(ValueError, match=NON_FINITE + r".*working type float32"):
            fit_with(w_scale=scale)
        with pytest.raises(ValueError, match=NON_FINITE):
            fit_with(b_scale=scale)


def test_moderate_prior_scales_stay_finite_in_float32():
    for scale in (1e-10, 1e10):
        assert_finite(fit_with(w_scale=scale))


def test_learning_rate_near_zero_barely_moves_the_prior(x64):
    p = assert_finite(fit_with(learning_rate=1e-12))
    # Three damped sweeps of step 1e-12 from the prior mean 0 and covariance I.
    assert np.abs(p["beta_mean"]).max() < 1e-10
    np.testing.assert_allclose(p["beta_cov_chol"], np.broadcast_to(np.eye(4), (2, 4, 4)), atol=1e-6)
    # The smallest positive double passes the learning-rate check and changes nothing at
    # its scale: a step of it rounds to zero, or to a few denormals on a device that keeps
    # them (GPUs do not flush them to zero).
    p = assert_finite(fit_with(learning_rate=5e-324))
    assert np.abs(p["beta_mean"]).max() <= 1e-320
    # An update of such a record leaves the posterior essentially as it was.
    record = dict(fit_with().params)
    record["learning_rate"] = np.array(1e-12)
    new = assert_finite(update(KovaniModel(model_type="kovani_softmax", params=record), X, Y))
    np.testing.assert_allclose(new["beta_mean"], record["beta_mean"], rtol=1e-5, atol=1e-9)


def in_float64(call):
    before = jax.config.jax_enable_x64
    jax.config.update("jax_enable_x64", True)
    try:
        return call()
    finally:
        jax.config.update("jax_enable_x64", before)


def plug_in_probabilities(params, X):
    """The record's class probabilities on X at the posterior means, in float64."""
    Xa = np.c_[X, np.ones(len(X))]
    logits = np.zeros((len(X), int(params["n_classes"])))
    logits[:, params["non_ref_classes"]] = Xa @ params["beta_mean"].astype(np.float64).T
    logits -= logits.max(axis=1, keepdims=True)
    p = np.exp(logits)
    return p / p.sum(axis=1, keepdims=True)


def refused_or_close_to_float64(call, X):
    """What float32 may soundly do: refuse with the documented error, or return a posterior
    close to the float64 one for the same (float32-representable) inputs: normwise for the
    covariances, and in the probabilities the means give the trials. Returns whether it
    refused."""
    try:
        p = call().params
    except ValueError as error:
        assert re.match(NON_FINITE, str(error))
        return True
    q = in_float64(call).params
    L, L64 = p["beta_cov_chol"].astype(np.float64), q["beta_cov_chol"]
    S, S64 = L @ np.swapaxes(L, 1, 2), L64 @ np.swapaxes(L64, 1, 2)
    assert np.abs(S - S64).max() <= 1e-2 * np.abs(S64).max()
    assert np.abs(plug_in_probabilities(p, X) - plug_in_probabilities(q, X)).max() <= 0.02
    return False


def test_features_of_magnitude_1e6(x64):
    # Scaled features, and features with a large common offset (nearly collinear with the
    # intercept), given exactly as float32 holds them so that both precisions see the
    # same numbers. float64 copes; float32 refuses or comes close, on every path: the
    # general one (12 trials of 3 features) and the batch's own space (12 of 40).
    as_float32 = lambda A: A.astype(np.float32).astype(np.float64)
    for F in (3, 40):
        Xf, Yf = make_trials(12, F, 3, seed=4)
        model = fit(Xf[:4], Yf[:4], 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 3)
        for Xb in (as_float32(Xf * 1e6), as_float32(Xf + 1e6)):
            calls = {"fit": lambda: fit(Xb, Yf, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 3),
                     "update": lambda: update(model, Xb, Yf)}
            for name, call in calls.items():
                if x64:
                    assert_finite(call())
                elif F == 3 and name == "fit" and Xb.mean() > 1e5:
                    # Forming the precision in float32 loses the features' spread under an
                    # offset a million times larger: the result may be finite and far off.
                    # Only the batch's own space (F = 40 here) keeps it.
                    try:
                        assert_finite(call())
                    except ValueError as error:
                        assert re.match(NON_FINITE, str(error))
                else:
                    refused_or_close_to_float64(call, Xb)


def test_non_finite_features_are_refused_after_the_core(x64):
    for bad in (np.nan, np.inf):
        Xb = X.copy()
        Xb[2, 1] = bad
        with pytest.raises(ValueError, match=NON_FINITE):
            fit_with(X=Xb)
        with pytest.raises(ValueError, match=NON_FINITE):
            update(fit_with(), Xb, Y)
    # Finite in float64 but beyond float32.
    if not x64:
        with pytest.raises(ValueError, match=NON_FINITE):
            fit_with(X=X * 1e200)


def test_update_of_a_covariance_that_is_not_positive_definite(x64):
    model = fit_with()
    record = dict(model.params)
    # A factor with a zero on its diagonal: the covariance is singular, its inverse (the
    # class step's prior precision) infinite.
    chol = record["beta_cov_chol"].copy()
    chol[0, 0, 0] = 0.0
    record["beta_cov_chol"] = chol
    before = {k: np.copy(v) for k, v in record.items()}
    with pytest.raises(ValueError, match=NON_FINITE):
        update(KovaniModel(model_type="kovani_softmax", params=record), X, Y)
    for k, v in before.items():
        np.testing.assert_array_equal(record[k], v)
    # A negative diagonal entry still factors a positive definite matrix: accepted.
    chol = model.params["beta_cov_chol"].copy()
    chol[0, 0, 0] *= -1
    record["beta_cov_chol"] = chol
    assert_finite(update(KovaniModel(model_type="kovani_softmax", params=record), X, Y))


def test_very_wide_input_is_refused_before_the_core():
    # A covariance of 200001^2 entries cannot be held: inside a compiled core the failed
    # allocation would end the process, here it is a MemoryError.
    wide = np.zeros((2, 200_000))
    with pytest.raises(MemoryError, match=r"^fit needs at least .* GiB for 2 trials and 1 coefficient rows of 200001 coefficients"):
        fit(wide, np.array([0, 1]), 2, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 1)
    # Absurd class counts likewise, before the host bookkeeping of that size.
    with pytest.raises(MemoryError, match=r"^fit needs"):
        fit(X, Y, 2**40, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 1)
    # Many trials and many classes: the (n_trials, n_classes) logits of a class step.
    n = 100_000
    with pytest.raises(MemoryError, match=rf"^fit needs at least .* GiB for {n} trials and {n - 1} coefficient rows"):
        fit(np.zeros((n, 1)), np.arange(n), n, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 1)
    # An update whose labels would grow the record to 2**40 classes.
    with pytest.raises(MemoryError, match=r"^update needs"):
        update(fit_with(), X[:1], np.array([2**40]))
