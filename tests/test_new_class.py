"""Teaching a fitted classifier a new class from batches that hold only that class."""

import pickle

import numpy as np
import pytest

from kovani_bci import KovaniSoftmaxClassifier
from kovani_bci.models.kovani_softmax.learning import kovani_softmax_update


def session(seed, n_new=10):
    """Three well-separated classes in 4 dimensions: 30 calibration trials of each of the
    first two (shuffled), ``n_new`` trials of the third, and 40 fresh trials of every class."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(scale=4.0, size=(3, 4))

    def draw(labels):
        labels = np.asarray(labels)
        return centres[labels] + rng.normal(size=(len(labels), 4)), labels

    X_cal, y_cal = draw(rng.permutation(np.repeat([0, 1], 30)))
    X_new, y_new = draw(np.full(n_new, 2))
    X_test, y_test = draw(np.repeat([0, 1, 2], 40))
    return X_cal, y_cal, X_new, y_new, X_test, y_test


def test_a_new_class_taught_alone_no_longer_takes_over():
    # Its trials in one batch, or one at a time, with and without kept trials.
    scores = {(replay, batch): [] for replay in (0, 5) for batch in (True, False)}
    for seed in range(4):
        X_cal, y_cal, X_new, y_new, X_test, y_test = session(seed)
        for (replay, batch), out in scores.items():
            clf = KovaniSoftmaxClassifier(replay_per_class=replay, random_state=0)
            assert clf.fit(X_cal, y_cal).score(X_cal, y_cal) == 1.0
            for part in [slice(None)] if batch else [slice(i, i + 1) for i in range(len(y_new))]:
                clf.partial_fit(X_new[part], y_new[part])
            out.append(clf.score(X_test, y_test))
    assert min(scores[5, True]) >= 0.9
    assert np.mean(scores[5, False]) >= 0.9
    # Without kept trials the new class has nothing to learn against and wins most trials.
    assert np.mean(scores[0, True]) < 0.75 and np.mean(scores[0, False]) < 0.75


def test_only_the_new_class_learns_from_the_kept_trials():
    X_cal, y_cal, X_new, y_new, _, _ = session(4)
    clf = KovaniSoftmaxClassifier(num_steps=3, replay_per_class=4, random_state=0,
                                  adaptation_rate="sweeps")   # compared with that update
    before = clf.fit(X_cal, y_cal).model_
    clf.partial_fit(X_new, y_new)

    # Kept: the last 4 trials of each calibration class, in the order they came.
    kept = np.sort(np.concatenate([np.flatnonzero(y_cal == c)[-4:] for c in (0, 1)]))
    alone = kovani_softmax_update(before, X_new, y_new).params
    together = kovani_softmax_update(before, np.concatenate([X_new, X_cal[kept]]),
                                     np.concatenate([y_new, y_cal[kept]])).params
    p = clf.model_.params
    new_row = p["non_ref_classes"] == 2
    assert new_row.sum() == 1
    for key in ("beta_mean", "beta_cov_chol"):
        np.testing.assert_array_equal(p[key][~new_row], alone[key][~new_row], err_msg=key)
        np.testing.assert_array_equal(p[key][new_row], together[key][new_row], err_msg=key)
    # Nothing is counted twice.
    assert p["class_counts"].tolist() == [30, 30, len(y_new)]
    np.testing.assert_array_equal(p["class_counts"], alone["class_counts"])

    # An update that adds no class learns from its batch alone.
    model = clf.model_
    clf.partial_fit(X_cal[:3], y_cal[:3])
    expected = kovani_softmax_update(model, X_cal[:3], y_cal[:3]).params
    for key, value in expected.items():
        np.testing.assert_array_equal(clf.model_.params[key], value, err_msg=key)


def test_kept_trials_travel_with_the_classifier(tmp_path):
    X_cal, y_cal, X_new, y_new, X_test, _ = session(5)
    clf = KovaniSoftmaxClassifier(num_steps=3, replay_per_class=4, random_state=0,
                                  adaptation_rate="sweeps")   # compared with that update
    clf.fit(X_cal, y_cal)
    clf.save(tmp_path / "clf.npz")
    copies = [KovaniSoftmaxClassifier.load(tmp_path / "clf.npz"), pickle.loads(pickle.dumps(clf))]
    assert copies[0].get_params() == clf.get_params()
    for est in [clf, *copies]:
        est.partial_fit(X_new, y_new)
    for copy in copies:
        for key, value in clf.model_.params.items():
            np.testing.assert_array_equal(copy.model_.params[key], value, err_msg=key)

    # A file written before trials were kept loads with none: its first new class learns
    # from its batch alone.
    with np.load(tmp_path / "clf.npz") as f:
        entries = dict(f)
    old = {k: v for k, v in entries.items() if not k.startswith("estimator.replay")}
    with open(tmp_path / "old.npz", "wb") as f:
        np.savez(f, **old)
    from_old = KovaniSoftmaxClassifier.load(tmp_path / "old.npz")
    assert from_old.replay_per_class == KovaniSoftmaxClassifier().replay_per_class
    before = from_old.model_
    from_old.partial_fit(X_new, y_new)
    np.testing.assert_array_equal(from_old.model_.params["beta_mean"],
                                  kovani_softmax_update(before, X_new, y_new).params["beta_mean"])

    # Lowering replay_per_class trims what is saved to it.
    clf.set_params(replay_per_class=1).save(tmp_path / "small.npz")
    with np.load(tmp_path / "small.npz") as f:
        assert np.bincount(f["estimator.replay_y"]).tolist() == [1, 1, 1]


def test_kept_trials_in_a_file_are_checked(tmp_path):
    X_cal, y_cal, *_ = session(6)
    clf = KovaniSoftmaxClassifier(num_steps=2, replay_per_class=4).fit(X_cal, y_cal)
    clf.save(tmp_path / "clf.npz")
    with np.load(tmp_path / "clf.npz") as f:
        entries = dict(f)
    X, y = entries["estimator.replay_X"], entries["estimator.replay_y"]
    cases = [
        ({"estimator.replay_y": None}, "come together; one is missing"),
        ({"estimator.replay_y": y.astype(np.int32)}, "1-D int64 array"),
        ({"estimator.replay_y": np.where(y == 1, 2, y)}, "class indices in \\[0, 2\\)"),
        ({"estimator.replay_X": X[:, :2]}, "float64 array of shape \\(8, 4\\)"),
        ({"estimator.replay_X": np.where(X > 0, np.nan, X)}, "'estimator.replay_X' must be finite"),
        # Finite, but the update that adds the next class could not use them.
        ({"estimator.replay_X": np.where(X > 0, 1e300, X)}, "holds trials too large for the "
         "model's float(32|64) coefficients"),
        ({"estimator.replay_per_class": np.array(3)}, "more than replay_per_class \\(3\\)"),
        ({"estimator.replay_per_class": np.array(1001)}, "int64 scalar >= 0 and <= 1000"),
    ]
    for change, message in cases:
        bad = {k: v for k, v in {**entries, **change}.items() if v is not None}
        with open(tmp_path / "bad.npz", "wb") as f:
            np.savez(f, **bad)
        with pytest.raises(ValueError, match=message):
            KovaniSoftmaxClassifier.load(tmp_path / "bad.npz")
