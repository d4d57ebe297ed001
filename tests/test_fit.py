import jax
import numpy as np
import pytest

import reference as ref
from helpers import make_trials, rtol_for
from kovani_bci.kovani_io import KovaniModel
from kovani_bci.models.kovani_softmax import learning

fit = learning.kovani_softmax_fit

RECORD_KEYS = ["backend", "n_classes", "label_base", "ref_class", "non_ref_classes", "beta_mean",
               "beta_cov_chol", "w_loc", "w_scale", "b_loc", "b_scale", "rng_seed", "learning_rate",
               "num_steps", "class_counts"]


def check_against_reference(model, X, y, K, label_base, hyper, lr, steps, x64_on):
    r, non_ref, counts, means, covs = ref.fit(X, y, K, label_base, *hyper, lr, steps)
    p = model.params
    assert int(p["ref_class"]) == r
    np.testing.assert_array_equal(p["non_ref_classes"], non_ref)
    np.testing.assert_array_equal(p["class_counts"], counts)
    rtol = rtol_for(x64_on)
    np.testing.assert_allclose(p["beta_mean"], means, rtol=rtol, atol=rtol)
    L = p["beta_cov_chol"].astype(np.float64)
    np.testing.assert_allclose(L @ np.swapaxes(L, 1, 2), covs, rtol=rtol, atol=rtol)


@pytest.mark.parametrize("K, label_base, lr, steps", [
    (2, 0, 1.0, 1), (3, 1, 0.5, 3), (5, 0, 1.0, 4), (5, 1, 0.5, 2)])
def test_fit_matches_float64_reference(x64, K, label_base, lr, steps):
    X, y0 = make_trials(60, 4, K, seed=K, separation=0.8)
    y = y0 + label_base
    hyper = (0.1, 1.5, -0.2, 2.0)
    model = fit(X, y, K, label_base, hyper[0], hyper[1], hyper[2], hyper[3], 7, lr, steps)
    assert model.params["beta_mean"].dtype == (np.float64 if x64 else np.float32)
    check_against_reference(model, X, y, K, label_base, hyper, lr, steps, x64)
