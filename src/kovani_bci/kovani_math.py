"""Array maths shared by the model families."""

from __future__ import annotations

import jax
import jax.numpy as jnp


def kovani_softmax(logits: jax.Array) -> jax.Array:
    """Softmax over the last axis.

    Subtracts each row's maximum before exponentiating, so large logits neither overflow
    nor lose the row's normalisation. Pure JAX: usable under ``jax.jit`` and ``jax.vmap``.

    Parameters
    ----------
    logits : jax.Array of shape (..., n_classes)

    Returns
    -------
    jax.Array of the same shape and floating type; every row sums to 1.
    """
    logits = jnp.asarray(logits)
    shifted = logits - jax.lax.stop_gradient(jnp.max(logits, axis=-1, keepdims=True))
    e = jnp.exp(shifted)
    return e / jnp.sum(e, axis=-1, keepdims=True)
