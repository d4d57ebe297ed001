"""The classifier in pyRiemann's tangent-space pipelines: cloning, cross-validation, a grid
search over the prior scale, and the online pattern (fitted transformers feed partial_fit)."""

import sys

import numpy as np
import pytest

pytest.importorskip("pyriemann")

from pyriemann.estimation import Covariances  # noqa: E402
from pyriemann.tangentspace import TangentSpace  # noqa: E402
from sklearn.base import clone  # noqa: E402
from sklearn.exceptions import NotFittedError  # noqa: E402
from sklearn.linear_model import LogisticRegression  # noqa: E402
from sklearn.model_selection import GridSearchCV, StratifiedKFold, cross_val_score  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402

from kovani_bci.datasets import make_motor_imagery_epochs  # noqa: E402
from kovani_bci.estimator import KovaniSoftmaxClassifier  # noqa: E402

# Six channels keep the tangent space small (21 features); block 0 holds two classes, the
# later blocks all three.
EPOCHS = make_motor_imagery_epochs(n_blocks=3, trials_per_block=30, late_block=1,
                                   n_channels=6, duration=1.0, random_state=0)
CV = StratifiedKFold(n_splits=5, shuffle=True, random_state=0)


def tangent_space(classifier):
    return make_pipeline(Covariances(estimator="oas"), TangentSpace(metric="riemann"),
                         classifier)


def kovani(**params):
    return KovaniSoftmaxClassifier(num_steps=5, random_state=0, **params)


def test_clone_and_five_fold_cross_validation():
    trials, y = EPOCHS.trials, EPOCHS.y
    before = trials.copy()
    pipe = tangent_space(kovani(w_scale=2.0))
    copy = clone(pipe)
    assert copy.get_params()["kovanisoftmaxclassifier__w_scale"] == 2.0
    assert copy.get_params()["covariances__estimator"] == "oas"
    fitted = clone(pipe).fit(trials, y)
    with pytest.raises(NotFittedError):
        clone(fitted)[-1].predict(np.zeros((1, 21)))
    # Equal settings, equal answers: a clone fitted on the same trials predicts the same.
    np.testing.assert_array_equal(fitted.predict_proba(trials),
                                  copy.fit(trials, y).predict_proba(trials))

    scores = cross_val_score(pipe, trials, y, cv=CV)
    baseline = cross_val_score(tangent_space(LogisticRegression()), trials, y, cv=CV)
    np.testing.assert_array_equal(trials, before)
    assert len(scores) == 5
    # Chance is 0.39 (the share of the largest class); the MAP twin is the yardstick.
    assert scores.mean() > 0.65
    assert scores.mean() > baseline.mean() - 0.1


def test_grid_search_over_w_scale():
    trials, y = EPOCHS.trials, EPOCHS.y
    search = GridSearchCV(tangent_space(kovani()),
                          {"kovanisoftmaxclassifier__w_scale": [1e-3, 1.0]},
                          cv=StratifiedKFold(n_splits=3, shuffle=True, random_state=0),
                          scoring="neg_log_loss")
    search.fit(trials, y)
    assert search.best_params_ == {"kovanisoftmaxclassifier__w_scale": 1.0}
    assert search.best_estimator_[-1].w_scale == 1.0
    assert search.best_estimator_.predict(trials[:3]).shape == (3,)

    # A prior this tight pins the weights at zero, leaving the intercepts: each test fold
    # then gets the training folds' class frequencies, whose log loss is computed here.
    expected = []
    for train, test in search.cv.split(trials, y):
        classes, counts = np.unique(y[train], return_counts=True)
        freq = dict(zip(classes, counts / counts.sum()))
        expected.append(-np.mean(np.log([freq[c] for c in y[test]])))
    tight = search.cv_results_["mean_test_score"][0]
    assert tight == pytest.approx(-np.mean(expected), abs=0.02)
    assert search.cv_results_["mean_test_score"][1] > tight + 0.2


def test_online_pattern_fitted_transformers_feed_partial_fit():
    trials, y, block = EPOCHS.trials, EPOCHS.y, EPOCHS.block
    calib = block == 0
    features = make_pipeline(Covariances(estimator="oas"), TangentSpace(metric="riemann"))
    features.fit(trials[calib])
    reference = features[-1].reference_.copy()
    Z_calib = features.transform(trials[calib])
    clf = kovani().fit(Z_calib, y[calib])
    static = kovani().fit(Z_calib, y[calib])
    assert clf.classes_.tolist() == ["left_hand", "right_hand"]

    hits = {}
    for i in np.flatnonzero(~calib):
        z = features.transform(trials[i:i + 1])
        hits.setdefault(block[i], []).append(clf.predict(z)[0] == y[i])
        clf.partial_fit(z, y[i:i + 1])

    # The transformers stay as calibrated; the decoder grew the class it met online.
    np.testing.assert_array_equal(features[-1].reference_, reference)
    assert clf.classes_.tolist() == ["feet", "left_hand", "right_hand"]
    counts = dict(zip(clf.model_labels_, clf.model_.params["class_counts"].tolist()))
    assert counts == {"left_hand": 35, "right_hand": 35, "feet": 20}
    last = block == 2
    online_accuracy = np.mean(hits[2])
    static_accuracy = np.mean(static.predict(features.transform(trials[last])) == y[last])
    assert static_accuracy <= 2 / 3                       # it cannot name "feet"
    assert online_accuracy > static_accuracy
    assert online_accuracy > 0.6


def test_demo_with_tangent_space_features(tmp_path, capsys, monkeypatch):
    from kovani_bci.cli import main

    figure = tmp_path / "demo.png"
    argv = ["demo", "--features", "tangent-space", "--blocks", "2", "--trials-per-block", "12",
            "--figure", str(figure)]
    assert main(argv) == 0
    out, err = capsys.readouterr()
    assert "24 trials in 2 blocks, 253 tangent-space features (22 channels" in out
    rows = [line.split() for line in out.splitlines()]
    assert [r[:2] for r in rows if r[:1] in (["1"], ["all"])] == [["1", "12"], ["all", "12"]]
    assert [r[0] for r in rows if len(r) == 5 and r[0] in ("features", "predict", "update")] \
        == ["features", "predict", "update"]
    assert "one trial's 253 features" in out
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "12/12" in err

    for name in ("pyriemann", "pyriemann.estimation", "pyriemann.tangentspace"):
        monkeypatch.setitem(sys.modules, name, None)
    assert main(argv) == 1
    assert capsys.readouterr().err == (
        "kovani-bci demo: error: this needs the package 'pyriemann', which is not installed: "
        "pip install 'kovani_bci[bci]'\n")
