"""The native boundary under arbitrary arguments: every call returns a result of the
documented shape and type or raises an exception; none ends the process.

The property tests draw argument values from a pool of awkward Python objects and arrays
and mix positional and keyword passing. Shapes are kept few and small, so that the
compiled cores are traced a handful of times, not once per example.
"""

import numpy as np
import pytest

from kovani_bci.models.kovani_softmax import learning


def test_repr_survives_a_rebound_qualname():
    # __qualname__ is an ordinary instance attribute; repr must not read a non-string as one.
    fn = learning._pg_expected_omega
    saved = fn.__qualname__
    try:
        for value in (5, None, b"bytes", ["a"]):
            fn.__qualname__ = value
            assert repr(fn) == f"<function {value}>"
    finally:
        fn.__qualname__ = saved
    assert repr(fn) == "<function _pg_expected_omega>"


def test_build_logits_refuses_a_class_count_beyond_memory():
    # jnp.zeros((3, 2**62)) overflows XLA's shape arithmetic, which aborts the process.
    import jax.numpy as jnp

    X_aug, beta = jnp.ones((3, 2)), jnp.ones((2, 2))
    for K in (2**40, 2**62, 2**100, np.int64(2**62)):
        with pytest.raises(MemoryError, match=r"^_build_logits needs at least .* GiB for an \(n_trials, n_classes\)"):
            learning._build_logits(X_aug, beta, np.array([1, 2]), 0, K)
    # Negative counts are JAX's to refuse; empty designs make nothing.
    with pytest.raises(TypeError):
        learning._build_logits(X_aug, beta, np.array([1, 2]), 0, -1)
    assert learning._build_logits(X_aug[:0], beta, np.array([1, 2]), 0, 3).shape == (0, 3)
