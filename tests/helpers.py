"""Shared helpers of the tests."""

import numpy as np

from kovani_bci.kovani_io import KovaniModel


def rtol_for(x64_on):
    """Agreement expected with the float64 reference: tight in 64-bit mode, loose in 32-bit."""
    return 1e-8 if x64_on else 1e-3


def make_trials(n, n_features, n_classes, seed=0, separation=1.0):
    """Synthetic trials with class-dependent means; returns (X, y0)."""
    rng = np.random.default_rng(seed)
    y = rng.integers(0, n_classes, n)
    centres = rng.normal(scale=separation, size=(n_classes, n_features))
    return rng.normal(size=(n, n_features)) + centres[y], y


def make_record(K=3, F=3, ref_class=0, label_base=0, lr=1.0, steps=2, dtype=np.float64, seed=0,
                counts=None, scale=1.0):
    """A record as the fit writes it, with a non-trivial posterior for every row: K classes
    whose reference is `ref_class`, F features; `scale` multiplies every mean and factor."""
    rng = np.random.default_rng(seed)
    d = F + 1
    A = rng.normal(size=(K - 1, d, d))
    covs = scale**2 * (0.3 * A @ np.swapaxes(A, 1, 2) / d + 0.2 * np.eye(d))
    return {
        "backend": np.array("pg_softmax_ref", dtype=object),
        "n_classes": np.array(K, np.int64),
        "label_base": np.array(label_base, np.int64),
        "ref_class": np.array(ref_class, np.int64),
        "non_ref_classes": np.array([k for k in range(K) if k != ref_class], np.int64),
        "beta_mean": rng.normal(scale=0.5 * scale, size=(K - 1, d)).astype(dtype),
        "beta_cov_chol": np.linalg.cholesky(covs).astype(dtype),
        "w_loc": np.array(0.1), "w_scale": np.array(1.5), "b_loc": np.array(-0.2), "b_scale": np.array(2.0),
        "rng_seed": np.array(7, np.int64),
        "learning_rate": np.array(lr, np.float64),
        "num_steps": np.array(steps, np.int64),
        "class_counts": np.array(counts if counts is not None else np.arange(K) + 5, np.int64),
    }


def model_of(record):
    return KovaniModel(model_type="kovani_softmax", params=record)


def check_update_against(new, reference, x64_on):
    """An updated model against a float64 reference's (n_classes, non_ref, counts, means):
    the class bookkeeping, the working type, lower-triangular factors and the means.
    Returns the factors as float64 for the caller's comparison of the covariances."""
    K, non_ref, counts, means = reference
    p = new.params
    assert int(p["n_classes"]) == K
    np.testing.assert_array_equal(p["non_ref_classes"], non_ref)
    np.testing.assert_array_equal(p["class_counts"], counts)
    assert p["beta_mean"].dtype == p["beta_cov_chol"].dtype == (np.float64 if x64_on else np.float32)
    L = p["beta_cov_chol"].astype(np.float64)
    assert np.all(np.triu(L, 1) == 0)
    rtol = rtol_for(x64_on)
    np.testing.assert_allclose(p["beta_mean"], means, rtol=rtol, atol=rtol)
    return L


def error_message(exc, fn, *args):
    """The message of the exception of type `exc` that fn(*args) raises."""
    import pytest

    with pytest.raises(exc) as info:
        fn(*args)
    return info.value.args[0]
