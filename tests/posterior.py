"""The float64 NumPy computations the prediction tests check against."""

import jax
import jax.numpy as jnp
import numpy as np



def working_type(record):
    return jnp.asarray(record["beta_mean"]).dtype


def np_softmax(logits):
    e = np.exp(logits - logits.max(axis=-1, keepdims=True))
    return e / e.sum(axis=-1, keepdims=True)


def np_logits(X, means, record):
    """Logits of every class for coefficient sets `means` of shape (..., K-1, d_aug)."""
    X = np.asarray(X, np.float64)
    Xa = np.hstack([X, np.ones((len(X), 1))])
    K, ref = int(record["n_classes"]), int(record["ref_class"])
    out = np.zeros(means.shape[:-2] + (len(X), K))
    for j, c in enumerate(record["non_ref_classes"]):
        out[..., c] = means[..., j, :] @ Xa.T
    out[..., ref] = 0.0
    return out


def np_sampled_probs(record, X, S, key):
    """Per-sample class probabilities (S, n, K) from noise drawn with `key`."""
    K, d = int(record["n_classes"]), record["beta_mean"].shape[1]
    noise = np.asarray(jax.random.normal(key, (S, K - 1, d), working_type(record)), np.float64)
    L = record["beta_cov_chol"].astype(np.float64)
    beta_s = record["beta_mean"].astype(np.float64)[None] + np.einsum("kij,skj->ski", L, noise)
    return np_softmax(np_logits(X, beta_s, record))
