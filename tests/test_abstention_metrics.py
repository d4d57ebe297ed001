"""Accuracy-coverage curve, AURC, Wolpaw's ITR and the ITR-optimal reject threshold."""

import itertools
import math

import numpy as np
import pytest

from kovani_bci.metrics import (RejectThreshold, accuracy_coverage_curve, area_under_risk_coverage_curve,
                                expected_calibration_error,
                                information_transfer_rate, select_reject_threshold)

CLASSES = np.array([0, 1])


def two_class(confidence, correct):
    """Probabilities whose top class (column 0) has the given confidence; y says whether it is right."""
    confidence = np.asarray(confidence, dtype=float)
    proba = np.column_stack([confidence, 1 - confidence])
    return np.where(correct, 0, 1), proba


def test_accuracy_coverage_curve_by_hand():
    # Confidences 0.9, 0.8, 0.8, 0.6: right, right, wrong, wrong; the tied pair enters together.
    y, proba = two_class([0.8, 0.9, 0.6, 0.8], [True, True, False, False])
    coverage, accuracy, thresholds = accuracy_coverage_curve(y, proba, CLASSES)
    np.testing.assert_allclose(coverage, [0.25, 0.75, 1.0])
    np.testing.assert_allclose(accuracy, [1.0, 2 / 3, 0.5])
    np.testing.assert_allclose(thresholds, [0.9, 0.8, 0.6])
    # Labels of any kind, as in the classes given.
    coverage2, accuracy2, _ = accuracy_coverage_curve(np.array(["a", "b"])[y], proba, ["a", "b"])
    np.testing.assert_array_equal(coverage2, coverage)
    np.testing.assert_array_equal(accuracy2, accuracy)
    with pytest.raises(ValueError, match="proba must have shape"):
        accuracy_coverage_curve(y, proba, [0, 1, 2])


def brute_force_aurc(confidence, correct):
    """Mean over every order of the tied trials of (1/n) sum_k errors among the first k / k."""
    n = len(confidence)
    groups = [list(np.flatnonzero(confidence == c)) for c in sorted(set(confidence), reverse=True)]
    totals = []
    for orders in itertools.product(*[itertools.permutations(g) for g in groups]):
        ranked = [i for g in orders for i in g]
        errors = np.cumsum(~np.asarray(correct)[ranked])
        totals.append(np.mean(errors / np.arange(1, n + 1)))
    return np.mean(totals)


def test_aurc_by_hand_and_against_every_order_of_ties():
    # No ties: risks 0, 0, 1/3, 1/2 at coverage 1/4 ... 1.
    y, proba = two_class([0.9, 0.8, 0.7, 0.6], [True, True, False, False])
    assert area_under_risk_coverage_curve(y, proba, CLASSES) == pytest.approx((1 / 3 + 1 / 2) / 4)
    # Errors ranked first are worst: risks 1, 1, 2/3, 1/2.
    y, proba = two_class([0.6, 0.7, 0.8, 0.9], [True, True, False, False])
    assert area_under_risk_coverage_curve(y, proba, CLASSES) == pytest.approx((1 + 1 + 2 / 3 + 1 / 2) / 4)
    # One confidence for all: the plain error rate, whatever the order.
    y, proba = two_class([0.7] * 5, [True, False, True, True, False])
    assert area_under_risk_coverage_curve(y, proba, CLASSES) == pytest.approx(0.4)
    # A tie pair of one right and one wrong after a right trial: risks 0, 1/4, 1/3.
    y, proba = two_class([0.9, 0.6, 0.6], [True, True, False])
    assert area_under_risk_coverage_curve(y, proba, CLASSES) == pytest.approx((0 + 0.25 + 1 / 3) / 3)

    rng = np.random.default_rng(0)
    for _ in range(20):
        n = rng.integers(1, 8)
        confidence = rng.choice([0.55, 0.7, 0.85, 0.95], size=n)
        correct = rng.random(n) < 0.6
        y, proba = two_class(confidence, correct)
        value = area_under_risk_coverage_curve(y, proba, CLASSES)
        assert value == pytest.approx(brute_force_aurc(confidence, correct), abs=1e-12)
        perm = rng.permutation(n)
        assert area_under_risk_coverage_curve(y[perm], proba[perm], CLASSES) == pytest.approx(value, abs=1e-12)
    assert math.isnan(area_under_risk_coverage_curve(np.zeros(0), np.zeros((0, 2)), CLASSES))


def test_wolpaw_itr_at_chance_perfect_and_between():
    for N in (2, 3, 4, 10):
        assert information_transfer_rate(1 / N, N, 4.0) == pytest.approx((0.0, 0.0), abs=1e-12)
        assert information_transfer_rate(0.5 / N, N, 4.0) == (0.0, 0.0)          # below chance: 0
        bits, per_minute = information_transfer_rate(1.0, N, 4.0)
        assert bits == pytest.approx(math.log2(N)) and per_minute == pytest.approx(15 * math.log2(N))
    # N = 2, P = 0.8: 1 + 0.8 log2 0.8 + 0.2 log2 0.2 = 0.27807 bits.
    expected = 1 + 0.8 * math.log2(0.8) + 0.2 * math.log2(0.2)
    assert information_transfer_rate(0.8, 2, 2.0) == pytest.approx((expected, 30 * expected))
    # N = 4, P = 0.7: 2 + 0.7 log2 0.7 + 0.3 log2 0.1.
    expected4 = 2 + 0.7 * math.log2(0.7) + 0.3 * math.log2(0.1)
    assert information_transfer_rate(0.7, 4, 60.0)[0] == pytest.approx(expected4)
    # Abstention: a rejected trial takes its time and carries nothing.
    bits, per_minute = information_transfer_rate([0.8, 1.0], 2, 2.0, coverage=[0.5, 0.25])
    np.testing.assert_allclose(bits, [0.5 * expected, 0.25])
    np.testing.assert_allclose(per_minute, [15 * expected, 7.5])
    for bad, message in [((1.2, 2, 1.0), "accuracy must lie in"), ((0.8, 1, 1.0), "n_classes must be"),
                         ((0.8, 2.5, 1.0), "n_classes must be"), ((0.8, 2, 0.0), "trial_seconds must be"),
                         ((0.8, 2, float("nan")), "trial_seconds must be")]:
        with pytest.raises(ValueError, match=message):
            information_transfer_rate(*bad)
    with pytest.raises(ValueError, match="coverage must lie in"):
        information_transfer_rate(0.8, 2, 1.0, coverage=1.5)


def test_reject_threshold_maximises_the_rate():
    # Keeping the two most confident (both right) gives 0.5 * 1 bit; all four at accuracy 0.5: 0.
    y, proba = two_class([0.9, 0.8, 0.7, 0.6], [True, True, False, False])
    choice = select_reject_threshold(y, proba, CLASSES, trial_seconds=4.0)
    assert isinstance(choice, RejectThreshold)
    assert choice == pytest.approx(RejectThreshold(0.75, 0.5, 1.0, 0.5, 7.5))
    assert choice.threshold == pytest.approx(0.75)     # halfway between 0.8 (kept) and 0.7
    # When every trial is right, every cut of the full set loses: keep all, threshold 0.
    y, proba = two_class([0.9, 0.6, 0.7], [True, True, True])
    assert select_reject_threshold(y, proba, CLASSES, trial_seconds=1.0).threshold == 0.0
    # A floor on coverage rules out the best cut; ties of rate keep the most trials.
    rng = np.random.default_rng(1)
    confidence = rng.uniform(0.5, 1.0, 200)
    correct = rng.random(200) < confidence
    y, proba = two_class(confidence, correct)
    best = select_reject_threshold(y, proba, CLASSES, trial_seconds=3.0)
    floor = select_reject_threshold(y, proba, CLASSES, trial_seconds=3.0, min_coverage=0.9)
    assert floor.coverage >= 0.9 and floor.bits_per_trial <= best.bits_per_trial
    # Brute force over every cut.
    rates = []
    for t in np.unique(confidence):
        kept = confidence >= t
        rates.append(information_transfer_rate(correct[kept].mean(), 2, 3.0, kept.mean())[0])
    assert best.bits_per_trial == pytest.approx(max(rates))
    kept = confidence >= best.threshold
    assert kept.mean() == pytest.approx(best.coverage)
    assert correct[kept].mean() == pytest.approx(best.accuracy)
    with pytest.raises(ValueError, match="min_coverage must lie in"):
        select_reject_threshold(y, proba, CLASSES, trial_seconds=3.0, min_coverage=2)
    with pytest.raises(ValueError, match="no trials"):
        select_reject_threshold(np.zeros(0), np.zeros((0, 2)), CLASSES, trial_seconds=3.0)


def test_metrics_refuse_what_they_cannot_score():
    """Scores of bad input would be numbers (a threshold of 3.75, an AURC of 1): refused,
    naming the argument, at the first call."""
    y, proba = two_class([0.9, 0.8, 0.6, 0.55], [True, True, False, True])
    nan_row = proba.copy()
    nan_row[2] = np.nan
    scorers = [lambda y, p, c: select_reject_threshold(y, p, c, trial_seconds=4),
               area_under_risk_coverage_curve, accuracy_coverage_curve,
               expected_calibration_error]
    for score in scorers:
        for bad in (proba * 5, proba - 0.25, nan_row):
            with pytest.raises(ValueError, match=r"proba must hold probabilities in \[0, 1\]"):
                score(y, bad, CLASSES)
        for labels in (y.astype(str), np.where(y == 1, 7, y)):
            with pytest.raises(ValueError, match="y_true holds labels that are not among classes"):
                score(labels, proba, CLASSES)
    for n_bins in (10.0, True, "10", 0):
        with pytest.raises(ValueError, match="n_bins must be an integer >= 1"):
            expected_calibration_error(y, proba, CLASSES, n_bins=n_bins)
    for n_classes in (float("inf"), float("nan"), 2.5, 10**400, "3"):
        with pytest.raises(ValueError, match="n_classes must be an integer >= 2"):
            information_transfer_rate(0.9, n_classes, 4.0)
    for seconds in (10**400, float("nan"), 0, "4"):
        with pytest.raises(ValueError, match="trial_seconds must be a finite number > 0"):
            information_transfer_rate(0.9, 3, seconds)
    for coverage in (float("nan"), 10**400):
        with pytest.raises(ValueError, match="min_coverage must lie in"):
            select_reject_threshold(y, proba, CLASSES, trial_seconds=4, min_coverage=coverage)
    # Text labels against text classes, and a class without trials, still score.
    assert area_under_risk_coverage_curve(np.array(["a", "b"])[y], proba, np.array(["a", "b"])) == \
        area_under_risk_coverage_curve(y, proba, CLASSES)
    assert expected_calibration_error(np.zeros(4, int), proba, CLASSES, n_bins=np.int64(5)) >= 0
