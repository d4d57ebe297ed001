"""Simulated subjects: their own mixing, electrode gains and alpha rhythm around a shared structure."""

import dataclasses

import numpy as np
import pytest

from kovani_bci.datasets import (CLASS_NAMES, log_variance_features, make_motor_imagery_session,
                                 make_subjects, simulate_trials)


def test_subjects_are_seeded_and_differ_by_their_variability():
    a = make_subjects(4, random_state=3)
    b = make_subjects(6, random_state=3)
    for s, t in zip(a, b):                           # the first subjects do not depend on the count
        for field in dataclasses.fields(s):
            np.testing.assert_array_equal(getattr(s, field.name), getattr(t, field.name))
    assert not np.allclose(a[0].mixing, a[1].mixing)
    same = make_subjects(3, variability=0.0, random_state=3)
    for s in same[1:]:
        np.testing.assert_array_equal(s.mixing, same[0].mixing)
        np.testing.assert_array_equal(s.channel_gain, np.ones(8))
    # The shared structure: each area projects most strongly near its place on the line.
    for s in make_subjects(5, random_state=0):
        assert s.mixing.shape == (8, 3) and s.alpha_mixing.shape == (8,)
        assert np.argmax(s.mixing[:, 0]) >= 5 and np.argmax(s.mixing[:, 1]) <= 2   # left hand: right side
    with pytest.raises(ValueError, match="n_subjects must be an integer >= 1"):
        make_subjects(0)
    with pytest.raises(ValueError, match="variability must be >= 0"):
        make_subjects(2, variability=-1)


def test_an_electrode_gain_shifts_its_log_variances_exactly():
    labels = np.resize(np.array(CLASS_NAMES), 12)
    subject = make_subjects(1, random_state=1)[0]
    louder = dataclasses.replace(subject, channel_gain=subject.channel_gain * np.r_[2.0, np.ones(7)])
    f = log_variance_features(simulate_trials(labels, subject=subject, random_state=4), 128.0)
    g = log_variance_features(simulate_trials(labels, subject=louder, random_state=4), 128.0)
    shift = np.zeros(16)
    shift[[0, 8]] = np.log(4.0)                      # channel 0 in the mu and the beta band
    np.testing.assert_allclose(g - f, np.tile(shift, (12, 1)), atol=1e-9)
    with pytest.raises(ValueError, match="the subject has 8 channels, but n_channels is 6"):
        simulate_trials(labels, subject=subject, n_channels=6)


def test_a_subject_session_is_seeded_and_its_alpha_rhythm_adds_mu_power_by_its_mixing():
    subject = make_subjects(1, random_state=2)[0]
    s1 = make_motor_imagery_session(n_blocks=2, trials_per_block=12, late_block=1, subject=subject, random_state=5)
    s2 = make_motor_imagery_session(n_blocks=2, trials_per_block=12, late_block=1, subject=subject, random_state=5)
    np.testing.assert_array_equal(s1.X, s2.X)
    # Same seed with and without the alpha rhythm: every other draw is the same, so the mu
    # power added on each channel follows the square of the alpha rhythm's mixing there,
    # times the electrode's gain.
    labels = np.resize(np.array(CLASS_NAMES), 90)
    quiet = dataclasses.replace(subject, alpha_mixing=np.zeros(8))
    mu_power = lambda s: np.exp(log_variance_features(simulate_trials(labels, subject=s, random_state=6),
                                                       128.0)[:, :8]).mean(axis=0)
    added = mu_power(subject) - mu_power(quiet)
    assert np.all(added > 0)
    assert np.corrcoef(added, (subject.alpha_mixing * subject.channel_gain)**2)[0, 1] > 0.95
