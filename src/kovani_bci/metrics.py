"""Calibration metrics for probabilistic classifiers (NumPy only)."""

from __future__ import annotations

import numpy as np


def _top_label(y_true, proba, classes):
    y_true = np.asarray(y_true)
    proba = np.asarray(proba, dtype=np.float64)
    classes = np.asarray(classes)
    if proba.ndim != 2 or proba.shape[1] != len(classes):
        raise ValueError(f"proba must have shape (n_trials, {len(classes)}), got {proba.shape}")
    if y_true.shape != (proba.shape[0],):
        raise ValueError(f"y_true must have shape ({proba.shape[0]},), got {y_true.shape}")
    confidence = proba.max(axis=1)
    correct = classes[np.argmax(proba, axis=1)] == y_true
    return confidence, correct


def reliability_curve(y_true, proba, classes, n_bins=10):
    """Accuracy against confidence of the top label, in equal-width confidence bins.

    Parameters
    ----------
    y_true : array-like of shape (n_trials,)
    proba : array-like of shape (n_trials, n_classes)
        Column ``j`` is the probability of ``classes[j]``.
    classes : array-like of shape (n_classes,)
    n_bins : int, default=10
        Bin ``b`` holds confidences in (b / n_bins, (b + 1) / n_bins]; bin 0 also holds 0.

    Returns
    -------
    confidence, accuracy, count : ndarrays of shape (n_bins,)
        Mean confidence and accuracy of each bin (NaN where a bin is empty) and its size.
    """
    confidence, correct = _top_label(y_true, proba, classes)
    if int(n_bins) != n_bins or n_bins < 1:
        raise ValueError(f"n_bins must be an integer >= 1, got {n_bins!r}")
    bins = np.clip(np.ceil(confidence * n_bins).astype(int) - 1, 0, n_bins - 1)
    count = np.bincount(bins, minlength=n_bins)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean_conf = np.bincount(bins, weights=confidence, minlength=n_bins) / count
        accuracy = np.bincount(bins, weights=correct, minlength=n_bins) / count
    return mean_conf, accuracy, count


def expected_calibration_error(y_true, proba, classes, n_bins=10):
    """Top-label expected calibration error: sum over bins of (size / n) |accuracy - confidence|.

    Same arguments as :func:`reliability_curve`. Returns NaN for zero trials.
    """
    confidence, accuracy, count = reliability_curve(y_true, proba, classes, n_bins)
    total = count.sum()
    if total == 0:
        return float("nan")
    used = count > 0
    return float(np.sum(count[used] / total * np.abs(accuracy[used] - confidence[used])))
