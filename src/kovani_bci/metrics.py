"""Calibration and abstention metrics for probabilistic classifiers (NumPy only)."""

from __future__ import annotations

from typing import NamedTuple

import numbers

import numpy as np

from kovani_bci.kovani_io import finite_real

_NUMERIC = "biuf"


def _top_label(y_true, proba, classes):
    y_true = np.asarray(y_true)
    proba = np.asarray(proba, dtype=np.float64)
    classes = np.asarray(classes)
    if classes.ndim != 1:
        raise ValueError(f"classes must be 1-D, got shape {classes.shape}")
    if proba.ndim != 2 or proba.shape[1] != len(classes):
        raise ValueError(f"proba must have shape (n_trials, {len(classes)}), got {proba.shape}")
    if y_true.shape != (proba.shape[0],):
        raise ValueError(f"y_true must have shape ({proba.shape[0]},), got {y_true.shape}")
    # NaN compares false both ways, so it fails this test too.
    outside = ~((proba >= 0) & (proba <= 1))
    if outside.any():
        i, j = np.argwhere(outside)[0]
        raise ValueError(f"proba must hold probabilities in [0, 1]; proba[{i}, {j}] is "
                         f"{proba[i, j]!r}")
    same_kind = (y_true.dtype.kind in _NUMERIC) == (classes.dtype.kind in _NUMERIC)
    unknown = ~np.isin(y_true, classes) if same_kind else np.ones(len(y_true), dtype=bool)
    if unknown.any():
        raise ValueError(f"y_true holds labels that are not among classes, such as "
                         f"{y_true[unknown][0]!r} (classes: {classes.tolist()[:10]!r})")
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
    if isinstance(n_bins, bool) or not isinstance(n_bins, numbers.Integral) or n_bins < 1:
        raise ValueError(f"n_bins must be an integer >= 1, got {n_bins!r}")
    n_bins = int(n_bins)
    confidence, correct = _top_label(y_true, proba, classes)
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


# -- abstaining when unsure --------------------------------------------------------------------
#
# A decoder may reject a trial whose top-class probability is below a threshold. Rejected
# trials cost their time and transmit nothing, so they lower the information transfer rate
# in proportion, while the trials the decoder does decide become more accurate.

def accuracy_coverage_curve(y_true, proba, classes):
    """Accuracy of the decided trials against the share of trials decided.

    A trial is decided when its top-class probability is at least the threshold; the
    thresholds are the distinct confidences, from the highest down, so the last point is
    full coverage (every trial decided, plain accuracy).

    Parameters
    ----------
    y_true : array-like of shape (n_trials,)
    proba : array-like of shape (n_trials, n_classes)
        Column ``j`` is the probability of ``classes[j]``.
    classes : array-like of shape (n_classes,)

    Returns
    -------
    coverage : ndarray of shape (n_thresholds,)
        Share of trials decided, increasing.
    accuracy : ndarray of shape (n_thresholds,)
        Accuracy among the decided trials.
    thresholds : ndarray of shape (n_thresholds,)
        The confidence thresholds, decreasing. All three are empty for zero trials.
    """
    confidence, correct = _top_label(y_true, proba, classes)
    if len(confidence) == 0:
        return np.zeros(0), np.zeros(0), np.zeros(0)
    order = np.argsort(-confidence, kind="stable")
    conf, hits = confidence[order], correct[order]
    ends = np.flatnonzero(np.r_[conf[1:] != conf[:-1], True])   # last trial of each tie group
    decided = ends + 1
    return decided / len(conf), np.cumsum(hits)[ends] / decided, conf[ends]


def area_under_risk_coverage_curve(y_true, proba, classes):
    """Area under the risk-coverage curve (AURC): lower is better.

    The error rate among the k most confident trials, averaged over k = 1 ... n (Geifman &
    El-Yaniv's AURC). Trials of equal confidence are taken in random order, in expectation,
    so the value does not depend on the order of the input: within a tie group, the errors
    counted among its first trials grow in proportion. A constant confidence gives the plain
    error rate; a confidence that ranks every error last gives the least area for that
    error rate.

    Parameters are those of :func:`accuracy_coverage_curve`. Returns a float (NaN for zero
    trials).
    """
    confidence, correct = _top_label(y_true, proba, classes)
    n = len(confidence)
    if n == 0:
        return float("nan")
    order = np.argsort(-confidence, kind="stable")
    conf, errors = confidence[order], ~correct[order]
    starts = np.flatnonzero(np.r_[True, conf[1:] != conf[:-1]])
    group = np.cumsum(np.r_[True, conf[1:] != conf[:-1]]) - 1  # tie group of each position
    sizes = np.diff(np.r_[starts, n])
    before = np.r_[0, np.cumsum(errors)][starts]               # errors in earlier groups
    in_group = np.add.reduceat(errors.astype(np.float64), starts)
    k = np.arange(1, n + 1)
    taken = k - starts[group]                                  # trials of the group counted
    risk = (before[group] + in_group[group] * taken / sizes[group]) / k
    return float(risk.mean())


def information_transfer_rate(accuracy, n_classes, trial_seconds, coverage=1.0):
    """Wolpaw's information transfer rate, in bits per trial and bits per minute.

    bits = log2 N + P log2 P + (1 - P) log2((1 - P) / (N - 1)) for accuracy P and N classes,
    taken as 0 below chance (P < 1 / N), where the formula no longer describes a useful
    channel. With abstention, P is the accuracy of the decided trials and ``coverage`` the
    share of trials decided: a rejected trial takes its time and carries no information, so
    bits per trial = coverage * bits(P), and bits per minute = bits per trial * 60 /
    ``trial_seconds`` over all trials, rejected ones included.

    Parameters
    ----------
    accuracy : float or array-like, in [0, 1]
    n_classes : int >= 2
    trial_seconds : float > 0
        Time a trial takes (including any pause before the next one).
    coverage : float or array-like in [0, 1], default=1.0

    Returns
    -------
    bits_per_trial, bits_per_minute : float or ndarray (the broadcast shape of the inputs)
    """
    P = np.asarray(accuracy, dtype=np.float64)
    c = np.asarray(coverage, dtype=np.float64)
    k = finite_real(n_classes)
    if k is None or k != int(k) or k < 2:
        raise ValueError(f"n_classes must be an integer >= 2, got {n_classes!r}")
    seconds = finite_real(trial_seconds)
    if seconds is None or not seconds > 0:
        raise ValueError(f"trial_seconds must be a finite number > 0, got {trial_seconds!r}")
    if not np.all((P >= 0) & (P <= 1)):
        raise ValueError(f"accuracy must lie in [0, 1], got {accuracy!r}")
    if not np.all((c >= 0) & (c <= 1)):
        raise ValueError(f"coverage must lie in [0, 1], got {coverage!r}")
    N = k
    with np.errstate(divide="ignore", invalid="ignore"):
        hit = np.where(P > 0, P * np.log2(P), 0.0)
        miss = np.where(P < 1, (1 - P) * np.log2((1 - P) / (N - 1)), 0.0)
    bits = np.where(P > 1 / N, np.log2(N) + hit + miss, 0.0) * c
    per_minute = bits * 60.0 / seconds
    if bits.ndim == 0:
        return float(bits), float(per_minute)
    return bits, per_minute


class RejectThreshold(NamedTuple):
    """A confidence threshold and what it gives on the data it was chosen on."""

    threshold: float        #: reject trials whose top-class probability is below it
    coverage: float         #: share of trials decided
    accuracy: float         #: accuracy of the decided trials
    bits_per_trial: float   #: Wolpaw ITR over all trials, rejected ones included
    bits_per_minute: float


def select_reject_threshold(y_true, proba, classes, *, trial_seconds, min_coverage=0.0):
    """The confidence threshold that maximises the information transfer rate.

    Give held-out or cross-validated probabilities of calibration trials (for example
    ``cross_val_predict(clf, X, y, method="predict_proba")``); probabilities of the trials a
    model was fitted on overstate its confidence. Every distinct confidence is a candidate
    cut; the threshold returned lies halfway between the lowest confidence kept and the next
    lower one (0 when every trial is kept), so that new trials between the two fall on the
    side the data cannot tell apart evenly. Among cuts of equal rate the one that keeps most
    trials wins.

    Parameters
    ----------
    y_true, proba, classes
        As for :func:`accuracy_coverage_curve`; the class count of the rate is
        ``len(classes)``.
    trial_seconds : float > 0
        Time a trial takes; it scales the rate per minute, not the choice.
    min_coverage : float in [0, 1], default=0.0
        Cuts that decide fewer trials than this share are not considered.

    Returns
    -------
    RejectThreshold
    """
    if finite_real(min_coverage) is None or not 0 <= min_coverage <= 1:
        raise ValueError(f"min_coverage must lie in [0, 1], got {min_coverage!r}")
    coverage, accuracy, thresholds = accuracy_coverage_curve(y_true, proba, classes)
    if len(coverage) == 0:
        raise ValueError("no trials to choose a threshold from")
    bits, _ = information_transfer_rate(accuracy, len(classes), trial_seconds, coverage)
    bits = np.where(coverage >= min_coverage - 1e-12, bits, -np.inf)
    best = np.flatnonzero(bits == bits.max())[-1]              # the most trials among ties
    kept_all = best + 1 == len(thresholds)
    threshold = 0.0 if kept_all else 0.5 * (thresholds[best] + thresholds[best + 1])
    per_trial, per_minute = information_transfer_rate(accuracy[best], len(classes), trial_seconds,
                                                      coverage[best])
    return RejectThreshold(float(threshold), float(coverage[best]), float(accuracy[best]),
                           per_trial, per_minute)
