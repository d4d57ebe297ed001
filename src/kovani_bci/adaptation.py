"""Record transformations that adapt a fitted softmax model: to a new session, to drift.

Each function builds a new :class:`KovaniModel` whose ``params`` are a shallow copy of the
old record with the changed entries replaced; the model passed in and its arrays are never
changed. Arithmetic is float64 NumPy; coefficient arrays are stored back in the record's own
floating type.

- :func:`widen_posterior` multiplies every posterior covariance by a factor: the prior a new
  session starts from, trusted less than the sessions it was learnt on.
- :func:`forget_toward_prior` moves the posterior part of the way back to the hyper-prior,
  never beyond it: the step between online updates that lets a decoder follow drift.
- :func:`match_labels` lines up the labels of new trials with an earlier model's classes.
- :func:`with_entries` replaces record entries (settings, label base) in a copy.

The update that takes such a record as its fixed prior is
:func:`kovani_bci.models.kovani_softmax.kovani_softmax_update_fixed_prior`.
"""

from __future__ import annotations

import math

import numpy as np

from kovani_bci.kovani_io import KovaniModel, finite_real, record_scalar

__all__ = ["widen_posterior", "forget_toward_prior", "match_labels", "with_entries"]

def with_entries(model: KovaniModel, **entries) -> KovaniModel:
    """A new model whose record is a copy of ``model.params`` with ``entries`` replaced.

    Scalars become 0-d arrays of the record's types (int64 for counts, seeds and indices,
    float64 for the prior and the learning rate); arrays are stored as given. Keys keep
    their position; new keys go at the end.
    """
    params = dict(model.params)
    for key, value in entries.items():
        params[key] = record_scalar(key, value) if np.ndim(value) == 0 else value
    return KovaniModel(model_type=model.model_type, params=params)


def _real_factor(value, name):
    factor = finite_real(value)
    if factor is None:
        raise ValueError(f"{name} must be a finite real number, got {value!r}")
    return factor


def widen_posterior(model: KovaniModel, factor: float) -> KovaniModel:
    """Multiply every posterior covariance of ``model`` by ``factor``; means stay.

    A factor of 4 doubles every posterior standard deviation: as a prior, the model then
    weighs about a quarter as much as the trials it was learnt from. Factors below 1
    narrow the posterior.

    Parameters
    ----------
    model : KovaniModel
    factor : float
        Positive and finite.

    Returns
    -------
    KovaniModel
        ``beta_cov_chol`` scaled by ``sqrt(factor)`` (still lower-triangular), in the
        record's floating type; every other entry is the old record's object.
    """
    factor = _real_factor(factor, "the widening factor")
    if not factor > 0:
        raise ValueError(f"the widening factor must be > 0, got {factor!r}")
    chol = np.asarray(model.params["beta_cov_chol"])
    widened = (chol.astype(np.float64) * math.sqrt(factor)).astype(chol.dtype)
    return with_entries(model, beta_cov_chol=widened)


def _hyper_prior(params, n_features):
    """Mean and standard deviation of every coefficient under the stored hyper-prior."""
    values = {}
    for key in ("w_loc", "w_scale", "b_loc", "b_scale"):
        v = float(np.asarray(params[key], dtype=np.float64))
        if not math.isfinite(v) or (key.endswith("scale") and not v > 0):
            what = "finite and > 0" if key.endswith("scale") else "finite"
            raise ValueError(f"cannot forget toward the hyper-prior: the record's {key} must "
                             f"be {what} (got {v!r})")
        values[key] = v
    mean = np.r_[np.full(n_features, values["w_loc"]), values["b_loc"]]
    scale = np.r_[np.full(n_features, values["w_scale"]), values["b_scale"]]
    return mean, scale


def forget_toward_prior(model: KovaniModel, factor: float) -> KovaniModel:
    """Move the posterior toward the stored hyper-prior, never wider than the hyper-prior.

    Each class's Gaussian posterior N(m, P^-1) is tempered with the hyper-prior
    N(m0, P0^-1) (``w_loc``, ``w_scale``, ``b_loc``, ``b_scale`` of the record), as in
    stabilised forgetting: the posterior to the power ``factor`` times the hyper-prior to
    the power ``1 - factor``,

        P' = factor P + (1 - factor) P0,   m' = P'^-1 (factor P m + (1 - factor) P0 m0).

    What the trials taught (P - P0) is discounted by ``factor`` per call, so after many
    calls without trials the posterior returns to the hyper-prior rather than growing
    without bound (as inflating the covariance by 1 / factor would, which drives float32
    factors to infinity within a few hundred trials in the directions no trial informs).
    A direction in which the posterior is already wider than the hyper-prior (a widened
    transfer prior, say) is set to the hyper-prior's width, so the result never exceeds it:
    in the hyper-prior's standardised coordinates every covariance eigenvalue is at most 1.

    Parameters
    ----------
    model : KovaniModel
    factor : float
        In (0, 1]. 1 returns the posterior unchanged (a new model with the same entries);
        small factors forget fast.

    Returns
    -------
    KovaniModel
        New ``beta_mean`` and ``beta_cov_chol`` in the record's floating type.
    """
    factor = _real_factor(factor, "the forgetting factor")
    if not 0 < factor <= 1:
        raise ValueError(f"the forgetting factor must be in (0, 1], got {factor!r}")
    if factor == 1:
        return with_entries(model)
    p = model.params
    mean, chol = np.asarray(p["beta_mean"]), np.asarray(p["beta_cov_chol"])
    m0, s0 = _hyper_prior(p, mean.shape[-1] - 1)

    # In the hyper-prior's standardised coordinates (coefficient - m0) / s0 the hyper-prior
    # is N(0, I), and a row's covariance is W W^T with W its scaled (still lower) factor.
    W = chol.astype(np.float64) / s0[:, None]
    delta = (mean.astype(np.float64) - m0) / s0
    new_mean, new_W = np.empty_like(delta), np.empty_like(W)
    # A factor stored in float32 whose posterior sits at the hyper-prior's width shows
    # eigenvalues of 1 + 1e-6 at 253 features (about 10 eps, growing with d): rounding of
    # the stored type, which the tempering itself pulls back toward 1, not a wider
    # direction to clamp.
    rounding = W.shape[-1] * np.finfo(np.result_type(chol.dtype, np.float32)).eps
    for k in range(len(W)):
        tempered = _tempered_within(W[k], delta[k], factor, rounding)
        new_mean[k], new_W[k] = tempered if tempered is not None else _tempered_clamped(W[k], delta[k], factor)
    return with_entries(model, beta_mean=(m0 + s0 * new_mean).astype(mean.dtype),
                        beta_cov_chol=(new_W * s0[:, None]).astype(chol.dtype))


def _tempered_within(W, delta, factor, rounding):
    """Tempering of one standardised row (W W^T, mean delta) by factor products, or None
    where a direction of W W^T is wider than the hyper-prior by more than ``rounding``
    (relative) and must be clamped.

    The tempered precision is W^-T M W^-1 with M = factor I + (1 - factor) W^T W, whose
    eigenvalues lie in [factor, 1] when no direction is wider than the hyper-prior. With J
    the exchange matrix and J M J = N N^T, M = G G^T for G = J N J (upper triangular), so
    the tempered covariance is (W G^-T)(W G^-T)^T, where W G^-T is lower triangular: its
    factor without a further factorisation. From P' m' = factor P delta and
    P' = factor P + (1 - factor) I, the mean is delta - (1 - factor) S' delta: no inverse
    of W, which may be singular.
    """
    d = len(W)
    WtW = W.T @ W
    try:
        # All of W W^T's eigenvalues (those of W^T W) within a rounding of 1: no clamp.
        np.linalg.cholesky((1.0 + rounding) * np.eye(d) - WtW)
        N = np.linalg.cholesky(factor * np.eye(d) + (1.0 - factor) * WtW[::-1, ::-1])
    except np.linalg.LinAlgError:
        return None
    G_inv = np.linalg.inv(N[::-1, ::-1])              # G^-1, upper triangular
    new_W = W @ G_inv.T
    new_W = np.tril(new_W * np.where(np.diag(new_W) < 0, -1.0, 1.0))  # a positive diagonal
    return delta - (1.0 - factor) * (new_W @ (new_W.T @ delta)), new_W


def _tempered_clamped(W, delta, factor):
    """Tempering of one standardised row through the eigen-decomposition of W W^T = U diag(v)
    U^T: precision eigenvalues 1 / v become factor / v + 1 - factor, and every covariance
    eigenvalue is then capped at the hyper-prior's 1."""
    U, sv, _ = np.linalg.svd(W)
    v = sv**2
    tempered = factor + (1.0 - factor) * v
    mean = U @ (factor / tempered * (U.T @ delta))
    C = (U * np.minimum(v / tempered, 1.0)) @ U.T
    return mean, np.linalg.cholesky(0.5 * (C + C.T))


def match_labels(model_labels, y):
    """Line up new trials' labels with a model's classes, by label.

    Parameters
    ----------
    model_labels : array-like of shape (n_classes,)
        The label of each class index of the model.
    y : array-like of shape (n_trials,)
        Labels of the new trials.

    Returns
    -------
    labels : ndarray of shape (n_classes + n_new,)
        ``model_labels`` followed by the labels of ``y`` the model lacks, sorted. An
        update adds a class for each of these, at the hyper-prior.
    y_index : ndarray of shape (n_trials,), int64
        The class index of each trial.
    """
    model_labels = np.asarray(model_labels)
    y = np.asarray(y)
    new = np.setdiff1d(np.unique(y), model_labels)
    labels = np.concatenate([model_labels, new]) if len(new) else model_labels
    order = np.argsort(labels, kind="stable")
    y_index = order[np.searchsorted(labels[order], y)].astype(np.int64)
    return labels, y_index
