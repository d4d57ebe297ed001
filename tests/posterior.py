"""Hand-made model records, and the float64 NumPy computations the prediction tests check against."""

import jax
import jax.numpy as jnp
import numpy as np

from kovani_bci.kovani_io import KovaniModel


def hand_record(K, ref, n_features, dtype=np.float64, label_base=0, seed=0, scale=1.0):
    """A complete record built directly, with a random posterior."""
    rng = np.random.default_rng(seed)
    d = n_features + 1
    L = np.tril(rng.normal(scale=0.3, size=(K - 1, d, d)))
    L[:, np.arange(d), np.arange(d)] = np.abs(L[:, np.arange(d), np.arange(d)]) + 0.1
    return {
        "backend": np.array("pg_softmax_ref", dtype=object),
        "n_classes": np.array(K, np.int64),
        "label_base": np.array(label_base, np.int64),
        "ref_class": np.array(ref, np.int64),
        "non_ref_classes": np.array([k for k in range(K) if k != ref], np.int64),
        "beta_mean": (scale * rng.normal(size=(K - 1, d))).astype(dtype),
        "beta_cov_chol": (scale * L).astype(dtype),
        "w_loc": np.array(0.0), "w_scale": np.array(1.0), "b_loc": np.array(0.0), "b_scale": np.array(1.0),
        "rng_seed": np.array(0, np.int64), "learning_rate": np.array(1.0), "num_steps": np.array(1, np.int64),
        "class_counts": np.ones(K, np.int64),
    }


def model_of(record):
    return KovaniModel(model_type="kovani_softmax", params=record)


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
