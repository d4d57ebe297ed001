"""The plug-in logits of prediction: `_logits_from_beta`."""

import jax.numpy as jnp
import numpy as np
import pytest

from helpers import rtol_for
from kovani_bci.models.kovani_softmax import inference

logits_from_beta = inference._logits_from_beta


def test_logits_match_numpy_with_the_reference_column_zero(x64):
    rng = np.random.default_rng(0)
    X = rng.normal(size=(5, 3))
    beta = rng.normal(size=(3, 4))
    dtype = jnp.float64 if x64 else jnp.float32
    for ref in (0, 2, 3):
        non_ref = np.array([k for k in range(4) if k != ref], np.int64)
        got = logits_from_beta(jnp.asarray(X, dtype), jnp.asarray(beta, dtype), non_ref, ref, 4)
        assert got.shape == (5, 4) and got.dtype == dtype
        want = np.zeros((5, 4))
        want[:, non_ref] = np.hstack([X, np.ones((5, 1))]) @ beta.T
        np.testing.assert_allclose(got, want, rtol=rtol_for(x64), atol=rtol_for(x64) / 100)
        assert np.all(np.asarray(got)[:, ref] == 0)


def test_edge_cases():
    X = jnp.asarray([[1.0, 2.0], [0.0, -1.0]], jnp.float32)
    beta = jnp.asarray([[0.5, -0.5, 1.0]], jnp.float32)
    # K = 2: one row, its score in its column, 0 in the reference column.
    np.testing.assert_allclose(logits_from_beta(X, beta, np.array([0]), 1, 2), [[0.5, 0.0], [1.5, 0.0]])
    # The reference column is written last: zero even when non_ref_classes lists it.
    both = jnp.asarray([[1.0, 1.0, 1.0], [2.0, 2.0, 2.0]], jnp.float32)
    got = np.asarray(logits_from_beta(X, both, np.array([0, 1]), 1, 3))
    np.testing.assert_allclose(got, [[4.0, 0.0, 0.0], [0.0, 0.0, 0.0]])  # column 2 named by nobody
    # No trials; ints converted on entry (1.0 acts as 1).
    assert logits_from_beta(jnp.zeros((0, 2), jnp.float32), beta, np.array([0]), 1.0, 2).shape == (0, 2)
    with pytest.raises(TypeError) as info:
        logits_from_beta(X, beta, np.array([0]), 1, "2")
    assert str(info.value) == "Argument 'n_classes' has incorrect type (expected int, got str)"
    # A width that does not match fails in JAX's matrix product.
    with pytest.raises(TypeError):
        logits_from_beta(X, jnp.zeros((1, 4), jnp.float32), np.array([0]), 1, 2)


def test_metadata():
    assert logits_from_beta.__doc__ == (
        "_logits_from_beta(X: jax.Array, beta_mean: jax.Array, non_ref_classes: np.ndarray, "
        "int ref_class: int, int n_classes: int) -> jax.Array")
    assert logits_from_beta.__annotations__ == {
        "X": "jax.Array", "beta_mean": "jax.Array", "non_ref_classes": "np.ndarray",
        "ref_class": "int", "n_classes": "int", "return": "jax.Array"}
