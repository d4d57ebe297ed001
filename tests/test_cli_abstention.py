"""kovani-bci predict --reject-below: abstained trials marked in the output."""

import csv

import numpy as np

from kovani_bci.estimator import KovaniSoftmaxClassifier
from test_cli import blobs, run, write_csv


def test_predict_marks_the_trials_it_abstains_on(tmp_path, capsys):
    X, y = blobs(15, ["left", "right"], seed=3)
    X[::5] = X[::5].mean(axis=0)                      # trials halfway between the classes
    write_csv(tmp_path / "trials.csv", X, y)
    model = tmp_path / "model.npz"
    assert run(capsys, "fit", tmp_path / "trials.csv", "--out", model, "--num-steps", 3)[0] == 0
    proba = KovaniSoftmaxClassifier.load(model).predict_proba(X)
    expected = (proba.max(axis=1) < 0.9).astype(int)
    assert 0 < expected.sum() < len(y)

    code, out, err = run(capsys, "predict", model, tmp_path / "trials.csv", "--reject-below", 0.9)
    rows = list(csv.reader(out.splitlines()))
    assert code == 0 and rows[0] == ["prediction", "abstained"]
    np.testing.assert_array_equal([int(r[1]) for r in rows[1:]], expected)
    assert [r[0] for r in rows[1:]] == KovaniSoftmaxClassifier.load(model).predict(X).tolist()
    assert f"decided {len(y) - expected.sum()} of {len(y)} trials" in err

    code, out, err = run(capsys, "predict", model, tmp_path / "trials.csv", "--proba", "--reject-below", "0")
    rows = list(csv.reader(out.splitlines()))
    assert rows[0] == ["prediction", "p_left", "p_right", "abstained"]
    assert {r[3] for r in rows[1:]} == {"0"} and len(rows) == len(y) + 1
    for bad in ("1.5", "-0.1", "high"):
        code, out, err = run(capsys, "predict", model, tmp_path / "trials.csv", "--reject-below", bad)
        assert code == 2 and "--reject-below" in err


def test_predict_uses_and_info_shows_the_stored_settings(tmp_path, capsys):
    X, y = blobs(15, ["left", "right"], seed=3)
    X[::5] = X[::5].mean(axis=0)
    write_csv(tmp_path / "trials.csv", X, y)
    model = tmp_path / "model.npz"
    KovaniSoftmaxClassifier(num_steps=3, random_state=0, reject_below=0.9, forgetting_factor=0.97,
                            prior_widening=2.5, replay_per_class=2).fit(X, y).save(model)
    expected = (KovaniSoftmaxClassifier.load(model).predict_proba(X).max(axis=1) < 0.9).astype(int)
    assert 0 < expected.sum() < len(y)

    code, out, err = run(capsys, "predict", model, tmp_path / "trials.csv")
    rows = list(csv.reader(out.splitlines()))
    assert code == 0 and rows[0] == ["prediction", "abstained"]
    np.testing.assert_array_equal([int(r[1]) for r in rows[1:]], expected)
    # The option still overrides the stored threshold.
    code, out, err = run(capsys, "predict", model, tmp_path / "trials.csv", "--reject-below", "0")
    assert {r[1] for r in list(csv.reader(out.splitlines()))[1:]} == {"0"}

    code, out, err = run(capsys, "info", model)
    assert code == 0
    info = dict(line.split(None, 1) for line in out.splitlines())
    assert info["abstention"] == "reject below 0.9"
    assert info["forgetting"] == "factor 0.97"
    assert info["widening"] == "factor 2.5 (as a prior of a new fit)"
    assert info["replay"] == "2 trials per class kept; 4 held"

    KovaniSoftmaxClassifier(num_steps=3).fit(X, y).save(model)       # the defaults
    code, out, err = run(capsys, "predict", model, tmp_path / "trials.csv")
    assert len(out.splitlines()) == len(y) and "abstained" not in out
    info = dict(line.split(None, 1) for line in run(capsys, "info", model)[1].splitlines())
    assert info["abstention"] == "reject below 0 (never abstains)"
    assert info["forgetting"] == "factor 1 (forgets nothing)"
