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


def error_message(exc, fn, *args):
    """The message of the exception of type `exc` that fn(*args) raises."""
    import pytest

    with pytest.raises(exc) as info:
        fn(*args)
    return info.value.args[0]
