"""Calibration metrics against brute-force computations and known calibration gaps."""

import numpy as np
import pytest

from kovani_bci.metrics import expected_calibration_error, reliability_curve


def brute_force_ece(y, proba, classes, n_bins):
    total = 0.0
    for b in range(n_bins):
        lo, hi = b / n_bins, (b + 1) / n_bins
        members = [i for i in range(len(y))
                   if (lo < proba[i].max() <= hi) or (b == 0 and proba[i].max() == 0)]
        if members:
            conf = np.mean([proba[i].max() for i in members])
            acc = np.mean([classes[np.argmax(proba[i])] == y[i] for i in members])
            total += len(members) / len(y) * abs(acc - conf)
    return total


def test_ece_matches_brute_force_and_known_gaps():
    rng = np.random.default_rng(0)
    classes = np.array(["a", "b", "c"])
    proba = rng.dirichlet([0.5, 0.5, 0.5], size=300)
    y = classes[rng.integers(0, 3, size=300)]
    for n_bins in (1, 5, 15):
        assert expected_calibration_error(y, proba, classes, n_bins) == pytest.approx(
            brute_force_ece(y, proba, classes, n_bins), abs=1e-12)
    conf, acc, count = reliability_curve(y, proba, classes, 10)
    assert count.sum() == 300 and np.all(np.isnan(acc[count == 0]))

    # Outcomes drawn with the stated confidence are calibrated; a fixed overstatement is not.
    n = 40000
    p = rng.uniform(0.5, 1.0, size=n)
    proba2 = np.column_stack([p, 1 - p])
    hit = rng.random(n) < p
    y2 = np.where(hit, 0, 1)
    assert expected_calibration_error(y2, proba2, [0, 1], 10) < 0.01
    over = np.column_stack([np.minimum(p + 0.1, 1.0), 1 - np.minimum(p + 0.1, 1.0)])
    assert expected_calibration_error(y2, over, [0, 1], 10) == pytest.approx(0.1, abs=0.02)
    with pytest.raises(ValueError, match="proba must have shape"):
        expected_calibration_error(y2, proba2, [0, 1, 2])
