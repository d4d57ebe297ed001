"""The motor-imagery simulator and its log-variance features."""

import numpy as np
import pytest

from kovani_bci.datasets import (CLASS_NAMES, log_variance_features, make_motor_imagery_epochs,
                                 make_motor_imagery_session, simulate_trials)


def test_session_is_deterministic_per_seed():
    a = make_motor_imagery_session(n_blocks=3, trials_per_block=12, late_block=1, random_state=5)
    b = make_motor_imagery_session(n_blocks=3, trials_per_block=12, late_block=1, random_state=5)
    c = make_motor_imagery_session(n_blocks=3, trials_per_block=12, late_block=1, random_state=6)
    np.testing.assert_array_equal(a.X, b.X)
    np.testing.assert_array_equal(a.y, b.y)
    np.testing.assert_array_equal(a.block, b.block)
    assert not np.array_equal(a.X, c.X)
    labels = ["feet", "left_hand"] * 3
    np.testing.assert_array_equal(simulate_trials(labels, random_state=1),
                                  simulate_trials(labels, random_state=1))
    assert not np.array_equal(simulate_trials(labels, random_state=1),
                              simulate_trials(labels, random_state=2))


def test_session_schedule_introduces_the_late_class():
    s = make_motor_imagery_session(n_blocks=4, trials_per_block=30, late_block=2,
                                   late_class="feet", random_state=0)
    assert s.X.shape == (120, 16) and len(s.feature_names) == 16
    assert np.all(np.isfinite(s.X))
    np.testing.assert_array_equal(np.bincount(s.block), [30, 30, 30, 30])
    early, late = s.y[s.block < 2], s.y[s.block >= 2]
    assert "feet" not in early
    np.testing.assert_array_equal(np.unique(early, return_counts=True)[1], [30, 30])
    np.testing.assert_array_equal(np.unique(late, return_counts=True)[1], [20, 20, 20])
    with pytest.raises(ValueError, match="late_block must lie in"):
        make_motor_imagery_session(n_blocks=2, late_block=2)
    with pytest.raises(ValueError, match="late_class must be one of"):
        make_motor_imagery_session(late_class="tongue")


def test_log_variance_of_pure_tones_matches_the_closed_form():
    sfreq, n = 128.0, 256
    t = np.arange(n) / sfreq
    trials = np.zeros((2, 3, n))
    trials[0, 0] = 3.0 * np.sin(2 * np.pi * 10 * t)          # mu band only
    trials[0, 1] = 2.0 * np.sin(2 * np.pi * 20 * t + 0.3)    # beta band only
    trials[0, 2] = 1.0 + 0.5 * np.sin(2 * np.pi * 40 * t)    # neither: offset and 40 Hz
    trials[1] = trials[0] * 10.0
    before = trials.copy()
    f = log_variance_features(trials, sfreq)
    np.testing.assert_array_equal(trials, before)
    assert f.shape == (2, 6)
    tiny = np.log(1e-12)
    expected = np.log(np.array([[4.5, 1e-30, 1e-30], [1e-30, 2.0, 1e-30]]) + 1e-12).ravel()
    np.testing.assert_allclose(f[0], expected, atol=1e-6)
    np.testing.assert_allclose(f[1] - f[0], np.where(expected > tiny + 1, np.log(100.0), 0.0),
                               atol=1e-6)
    with pytest.raises(ValueError, match="band \\(20, 80\\) Hz"):
        log_variance_features(trials, sfreq, bands=[(20, 80)])
    with pytest.raises(ValueError, match="trials must be 3-D"):
        log_variance_features(trials[0], sfreq)


def test_imagery_suppresses_the_rhythm_over_the_imagined_limb():
    labels = np.repeat(CLASS_NAMES, 80)
    trials = simulate_trials(labels, n_channels=8, drift=0.0, random_state=0)
    mu = log_variance_features(trials, 128.0)[:, :8]
    mean = {c: mu[labels == c].mean(axis=0) for c in CLASS_NAMES}
    # Channel 1 lies over the left hemisphere (right hand), channel 6 over the right.
    assert mean["right_hand"][1] < mean["left_hand"][1] - 0.2
    assert mean["left_hand"][6] < mean["right_hand"][6] - 0.2
    assert mean["feet"][3:5].mean() < mean["left_hand"][3:5].mean()
    with pytest.raises(ValueError, match="unknown class names \\['tongue'\\]"):
        simulate_trials(["tongue"])
    with pytest.raises(ValueError, match="n_channels must be an integer >= 3"):
        simulate_trials(["feet"], n_channels=2)


def test_epochs_are_the_session_before_its_features():
    kwargs = dict(n_blocks=3, trials_per_block=9, late_block=1, n_channels=5, random_state=3)
    epochs = make_motor_imagery_epochs(**kwargs)
    session = make_motor_imagery_session(**kwargs)
    assert epochs.trials.shape == (27, 5, 256) and epochs.sfreq == 128.0
    np.testing.assert_array_equal(epochs.y, session.y)
    np.testing.assert_array_equal(epochs.block, session.block)
    np.testing.assert_array_equal(log_variance_features(epochs.trials, epochs.sfreq), session.X)
    wide = make_motor_imagery_epochs(n_blocks=2, trials_per_block=6, late_block=1,
                                     n_channels=22, duration=0.5, random_state=0)
    assert wide.trials.shape == (12, 22, 64) and np.all(np.isfinite(wide.trials))
    with pytest.raises(ValueError, match="late_block must lie in"):
        make_motor_imagery_epochs(n_blocks=2, late_block=2)
