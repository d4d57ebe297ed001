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
