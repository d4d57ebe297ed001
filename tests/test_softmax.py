import jax
import jax.numpy as jnp
import numpy as np

from kovani_bci.kovani_math import kovani_softmax


def test_softmax_is_stable_and_normalised():
    logits = jnp.array([[1e4, 0.0, -1e4], [0.0, 0.0, 0.0], [-1e4, -1e4 + 1.0, -1e4]], jnp.float32)
    p = np.asarray(kovani_softmax(logits), np.float64)
    assert np.isfinite(p).all()
    np.testing.assert_allclose(p.sum(axis=1), 1.0, rtol=1e-6)
    np.testing.assert_allclose(p[0], [1.0, 0.0, 0.0])
    np.testing.assert_allclose(p[1], [1 / 3] * 3, rtol=1e-6)
    e = np.exp([0.0, 1.0, 0.0])
    np.testing.assert_allclose(p[2], e / e.sum(), rtol=1e-6)


def test_softmax_under_vmap_and_jit():
    rng = np.random.default_rng(0)
    logits = jnp.asarray(rng.normal(size=(4, 5, 3)) * 30, jnp.float32)
    mapped = jax.jit(jax.vmap(kovani_softmax))(logits)
    direct = kovani_softmax(logits)
    np.testing.assert_allclose(mapped, direct, rtol=1e-6)
    x = np.asarray(logits, np.float64)
    want = np.exp(x - x.max(-1, keepdims=True))
    np.testing.assert_allclose(mapped, want / want.sum(-1, keepdims=True), rtol=1e-5, atol=1e-7)
