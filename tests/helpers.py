"""Shared helpers of the tests."""

import numpy as np


def rtol_for(x64_on):
    """Agreement expected with the float64 reference: tight in 64-bit mode, loose in 32-bit."""
    return 1e-8 if x64_on else 1e-3


def make_trials(n, n_features, n_classes, seed=0, separation=1.0):
    """Synthetic trials with class-dependent means; returns (X, y0)."""
    rng = np.random.default_rng(seed)
    y = rng.integers(0, n_classes, n)
    centres = rng.normal(scale=separation, size=(n_classes, n_features))
    return rng.normal(size=(n, n_features)) + centres[y], y


def make_record(k=3, n_features=4, ref=1, dtype=np.float32, seed=0):
    """A consistent record built by hand, independent of the fitting code."""
    rng = np.random.default_rng(seed)
    d = n_features + 1
    chol = np.tril(rng.normal(size=(k - 1, d, d)))
    diagonal = np.einsum("kii->ki", chol)
    diagonal[:] = np.abs(diagonal) + 0.1                 # Cholesky factors: positive diagonal
    chol = chol.astype(dtype)
    return {
        "backend": np.array("pg_softmax_ref", dtype=object),
        "n_classes": np.array(k, dtype=np.int64),
        "label_base": np.array(0, dtype=np.int64),
        "ref_class": np.array(ref, dtype=np.int64),
        "non_ref_classes": np.array([c for c in range(k) if c != ref], dtype=np.int64),
        "beta_mean": rng.normal(size=(k - 1, d)).astype(dtype),
        "beta_cov_chol": chol,
        "w_loc": np.array(0.25),
        "w_scale": np.array(1.5),
        "b_loc": np.array(-0.5),
        "b_scale": np.array(3.0),
        "rng_seed": np.array(12345, dtype=np.int64),
        "learning_rate": np.array(0.7),
        "num_steps": np.array(4, dtype=np.int64),
        "class_counts": rng.integers(0, 20, size=k).astype(np.int64),
    }


def error_message(exc, fn, *args):
    """The message of the exception of type `exc` that fn(*args) raises."""
    import pytest

    with pytest.raises(exc) as info:
        fn(*args)
    return info.value.args[0]
