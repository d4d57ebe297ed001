"""The scikit-learn classifier: estimator checks, labels, online class growth, persistence."""

import numpy as np
import pytest
from sklearn.utils.estimator_checks import parametrize_with_checks

from kovani_bci import KovaniSoftmaxClassifier


# Every check holds, the Monte-Carlo ones included: the prediction seed is fixed at fit time
# and the coefficient draws are shared by all rows, so predictions do not depend on the
# batch a trial arrives in -- beyond float32 rounding: the logits of a batch and of its
# subsets may round differently (as XLA's kernels for the two shapes do, in some JAX
# releases), and on the checks' well separated blobs the posterior at the exact mode has
# logits large enough for that to move a probability by ~2e-7 (the check allows 1e-7).
@parametrize_with_checks(
    [KovaniSoftmaxClassifier(num_steps=3, n_posterior_samples=20, random_state=0)],
    expected_failed_checks=lambda est: {
        "check_methods_subset_invariance": "float32 logits round by batch size"})
def test_sklearn_estimator_checks(estimator, check):
    check(estimator)


# -- shared data and an independent float64 reference -------------------------------------

def blobs(n_per_class, labels, n_features=3, spread=3.0, seed=0):
    rng = np.random.default_rng(seed)
    centres = rng.normal(scale=spread, size=(len(labels), n_features))
    X = np.concatenate([c + rng.normal(size=(n_per_class, n_features)) for c in centres])
    y = np.repeat(np.asarray(labels), n_per_class)
    perm = rng.permutation(len(y))
    return X[perm], y[perm]


def reference_proba(model, X, n_draws=0, seed=0):
    """Class probabilities per class index from the record alone, in NumPy float64.

    With n_draws=0 the plug-in softmax at the posterior means; otherwise the average of the
    softmax over coefficient draws from N(beta_mean, L L^T).
    """
    p = model.params
    k, ref = int(p["n_classes"]), int(p["ref_class"])
    beta = np.asarray(p["beta_mean"], dtype=np.float64)
    chol = np.asarray(p["beta_cov_chol"], dtype=np.float64)
    Xa = np.hstack([np.asarray(X, dtype=np.float64), np.ones((len(X), 1))])
    if n_draws:
        eps = np.random.default_rng(seed).standard_normal((n_draws,) + beta.shape)
        betas = beta + np.einsum("kij,skj->ski", chol, eps)
    else:
        betas = beta[None]
    logits = np.zeros((len(betas), len(X), k))
    logits[:, :, p["non_ref_classes"]] = np.einsum("nd,skd->snk", Xa, betas)
    logits[:, :, ref] = 0.0
    logits -= logits.max(axis=-1, keepdims=True)
    e = np.exp(logits)
    return (e / e.sum(axis=-1, keepdims=True)).mean(axis=0)


def by_label(clf, proba_by_index):
    """Reorder per-class-index columns to the classifier's classes_ order."""
    col = {label: i for i, label in enumerate(clf.model_labels_.tolist())}
    return proba_by_index[:, [col[c] for c in clf.classes_.tolist()]]


# -- behaviour ---------------------------------------------------------------------------------

def test_string_labels_and_probabilities_match_the_record():
    X, y = blobs(40, ["rest", "left", "right"], spread=5.0, seed=1)
    X_before, y_before = X.copy(), y.copy()
    clf = KovaniSoftmaxClassifier(num_steps=5, n_posterior_samples=1, random_state=0).fit(X, y)
    np.testing.assert_array_equal(X, X_before)
    np.testing.assert_array_equal(y, y_before)
    assert clf.classes_.tolist() == ["left", "rest", "right"]
    assert clf.n_features_in_ == 3
    assert clf.model_.params["class_counts"].tolist() == [40, 40, 40]
    proba = clf.predict_proba(X[:25])
    np.testing.assert_allclose(proba, by_label(clf, reference_proba(clf.model_, X[:25])),
                               atol=2e-5)
    assert proba.dtype == np.float64
    np.testing.assert_allclose(proba.sum(axis=1), 1.0, rtol=1e-12)
    pred = clf.predict(X)
    assert pred.dtype.kind == "U" and np.mean(pred == y) > 0.9
    np.testing.assert_array_equal(pred, clf.classes_[np.argmax(proba_all := clf.predict_proba(X),
                                                                axis=1)])
    np.testing.assert_allclose(np.exp(clf.predict_log_proba(X)), proba_all, rtol=1e-12)
    assert clf.score(X, y) == np.mean(pred == y)


def test_monte_carlo_probabilities_average_the_posterior():
    X, y = blobs(15, [3, 7, 9], spread=1.0, seed=2)    # few, overlapping trials: wide posterior
    clf = KovaniSoftmaxClassifier(num_steps=5, n_posterior_samples=4000, random_state=3)
    clf.fit(X, y)
    assert clf.classes_.tolist() == [3, 7, 9] and clf.predict(X).dtype.kind == "i"
    proba = clf.predict_proba(X[:10])
    expected = by_label(clf, reference_proba(clf.model_, X[:10], n_draws=20000, seed=1))
    np.testing.assert_allclose(proba, expected, atol=0.03)
    # Same seed, same answer; another seed, another Monte-Carlo estimate.
    again = KovaniSoftmaxClassifier(num_steps=5, n_posterior_samples=4000, random_state=3)
    np.testing.assert_array_equal(again.fit(X, y).predict_proba(X[:10]), proba)
    other = clf.set_params(random_state=4).fit(X, y).predict_proba(X[:10])
    assert not np.array_equal(other, proba)
    np.testing.assert_allclose(other, expected, atol=0.03)


def test_random_state_none_fixes_the_seed_at_fit():
    X, y = blobs(10, ["a", "b"], seed=3)
    clf = KovaniSoftmaxClassifier(num_steps=2, n_posterior_samples=50).fit(X, y)
    first = clf.predict_proba(X)
    np.testing.assert_array_equal(clf.predict_proba(X), first)
    np.testing.assert_array_equal(clf.sample_predictive(X, 5), clf.sample_predictive(X, 5))


def test_sample_predictive_frequencies_match_predict_proba():
    X, y = blobs(12, ["x", "y", "z"], spread=1.0, seed=4)
    clf = KovaniSoftmaxClassifier(num_steps=5, n_posterior_samples=2000, random_state=0)
    clf.fit(X, y)
    draws = clf.sample_predictive(X[:6], 2000)
    assert draws.shape == (2000, 6) and set(np.unique(draws)) <= set(clf.classes_)
    freq = np.stack([(draws == c).mean(axis=0) for c in clf.classes_], axis=1)
    proba = clf.predict_proba(X[:6])
    tol = 5 * np.sqrt(2 * proba * (1 - proba) / 2000) + 0.01
    assert np.all(np.abs(freq - proba) <= tol)
    np.testing.assert_array_equal(clf.sample_predictive(X[:6], 50, random_state=7),
                                  clf.sample_predictive(X[:6], 50, random_state=7))
    assert not np.array_equal(clf.sample_predictive(X[:6], 50, random_state=7),
                              clf.sample_predictive(X[:6], 50, random_state=8))
    with pytest.raises(ValueError, match="n_samples must be an integer >= 1"):
        clf.sample_predictive(X, 0)


def test_partial_fit_grows_classes_online_with_string_labels():
    X, y = blobs(60, ["left", "right", "feet"], spread=4.0, seed=5)
    calib = np.flatnonzero(y != "feet")[:40]
    online = np.setdiff1d(np.arange(len(y)), calib)
    first_feet = online[y[online] == "feet"][0]
    online = online[online != first_feet]
    clf = KovaniSoftmaxClassifier(num_steps=3, n_posterior_samples=1, random_state=0)
    clf.partial_fit(X[calib], y[calib])
    assert clf.classes_.tolist() == ["left", "right"]
    calibrated = clf.model_
    snapshot = {k: v.copy() for k, v in calibrated.params.items()}

    clf.partial_fit(X[[first_feet]], ["feet"])          # a label never seen before
    assert clf.classes_.tolist() == ["feet", "left", "right"]
    assert clf.model_labels_.tolist() == ["left", "right", "feet"]
    p = clf.model_.params
    assert int(p["n_classes"]) == 3
    assert p["class_counts"].tolist() == [np.sum(y[calib] == "left"),
                                          np.sum(y[calib] == "right"), 1]
    for key, value in snapshot.items():                 # the old record was not touched
        if key != "backend":
            np.testing.assert_array_equal(calibrated.params[key], value)
    np.testing.assert_allclose(clf.predict_proba(X[:5]),
                               by_label(clf, reference_proba(clf.model_, X[:5])), atol=2e-5)

    # Trial-by-trial on the rest of the session: predict each trial, then learn from it.
    hits = []
    for i in online:
        hits.append(clf.predict(X[i:i + 1])[0] == y[i])
        clf.partial_fit(X[i:i + 1], y[i:i + 1])
    assert np.mean(hits[-60:]) > 0.85
    assert np.mean(clf.predict(X[y == "feet"]) == "feet") > 0.8
    assert int(clf.model_.params["class_counts"].sum()) == len(y)


def test_partial_fit_first_call_classes_and_errors():
    X, y = blobs(10, ["a", "b"], seed=6)
    clf = KovaniSoftmaxClassifier(num_steps=2).partial_fit(X, y, classes=["a", "b", "c"])
    assert clf.classes_.tolist() == ["a", "b", "c"]
    assert clf.model_.params["class_counts"].tolist() == [10, 10, 0]
    with pytest.raises(ValueError, match="classes may only be declared on the first call"):
        clf.partial_fit(X, y, classes=["a", "d"])
    clf.partial_fit(X, y, classes=["a", "b"])           # repeating known labels is fine
    with pytest.raises(ValueError, match="labels of kind"):
        clf.partial_fit(X[:2], [1, 2])
    with pytest.raises(ValueError, match="X has 2 features"):
        clf.partial_fit(X[:, :2], y)
    # Later calls follow the current hyperparameters.
    clf.set_params(num_steps=4, learning_rate=0.5).partial_fit(X, y)
    assert int(clf.model_.params["num_steps"]) == 4
    assert float(clf.model_.params["learning_rate"]) == 0.5
    with pytest.raises(ValueError, match="at least 2 classes to fit; got 1 class"):
        KovaniSoftmaxClassifier().partial_fit(X[y == "a"], y[y == "a"])


@pytest.mark.parametrize("param, value, message", [
    ("w_scale", 0.0, "w_scale must be > 0"),
    ("b_scale", -1.0, "b_scale must be > 0"),
    ("w_loc", float("nan"), "w_loc must be a finite real number"),
    ("b_loc", "0", "b_loc must be a finite real number"),
    ("learning_rate", 0.0, "learning_rate must lie in \\(0, 1\\]"),
    ("learning_rate", 1.5, "learning_rate must lie in \\(0, 1\\]"),
    ("num_steps", 0, "num_steps must be an integer >= 1"),
    ("num_steps", 2.5, "num_steps must be an integer >= 1"),
    ("n_posterior_samples", True, "n_posterior_samples must be an integer >= 1"),
    ("num_steps", 2**31, "num_steps must be an integer >= 1 and <= 10000, got 2147483648"),
    ("n_posterior_samples", 2**70, "n_posterior_samples must be an integer >= 1 and <= 100000"),
    ("replay_per_class", -1, "replay_per_class must be an integer >= 0 and <= 1000"),
    ("replay_per_class", 1001, "replay_per_class must be an integer >= 0 and <= 1000"),
])
def test_bad_hyperparameters_are_reported(param, value, message):
    X, y = blobs(5, [0, 1])
    with pytest.raises(ValueError, match=message):
        KovaniSoftmaxClassifier(**{param: value}).fit(X, y)


def test_counts_beyond_their_bounds_are_refused_where_they_are_used():
    X, y = blobs(5, [0, 1])
    clf = KovaniSoftmaxClassifier(num_steps=2, n_posterior_samples=2, random_state=0).fit(X, y)
    model = clf.model_
    with pytest.raises(ValueError, match="num_steps must be an integer >= 1 and <= 10000"):
        clf.set_params(num_steps=2**31).partial_fit(X, y)
    assert clf.model_ is model
    clf.set_params(num_steps=2, n_posterior_samples=2**70)
    for call in (clf.predict_proba, clf.predict):
        with pytest.raises(ValueError, match="n_posterior_samples must be an integer >= 1 and"):
            call(X)
    clf.set_params(n_posterior_samples=2)
    with pytest.raises(ValueError, match="n_samples must be an integer >= 1 and <= 100000"):
        clf.sample_predictive(X, 2**70)
    for ok in (0, 1000):
        KovaniSoftmaxClassifier(num_steps=1, replay_per_class=ok).fit(X, y)


def test_label_types_do_not_drift():
    X, y = blobs(10, [0, 1], seed=10)
    clf = KovaniSoftmaxClassifier(num_steps=2, random_state=0).fit(X, y)
    clf.partial_fit(X[:2] + 8, np.array([1.0, 7.0]))        # integral floats: integer labels
    assert clf.classes_.dtype == np.int64 and clf.classes_.tolist() == [0, 1, 7]
    assert clf.predict(X).dtype == np.int64 and clf.sample_predictive(X, 2).dtype == np.int64
    clf.partial_fit(X[:1], y[:1], classes=[1.0])             # known, whatever its type
    assert clf.classes_.dtype == np.int64

    # A label the classifier's type cannot hold exactly is refused, and nothing changes.
    model = clf.model_
    flags = KovaniSoftmaxClassifier(num_steps=2).fit(X, y == 1)
    floats = KovaniSoftmaxClassifier(num_steps=2).fit(X, y.astype(float))
    for est, bad in ((flags, [2]), (floats, np.array([2**53 + 1])), (clf, np.array([2**63], dtype=np.uint64))):
        before = est.model_
        with pytest.raises(ValueError, match="cannot represent exactly"):
            est.partial_fit(X[:1], bad)
        assert est.model_ is before
    assert floats.partial_fit(X[:1], [3]).classes_.tolist() == [0.0, 1.0, 3.0]
    assert floats.classes_.dtype == np.float64
    with pytest.raises(ValueError, match="contains NaN"):
        clf.partial_fit(X[:1], [np.nan])
    assert clf.model_ is model

    # Declared classes: an empty list adds nothing, a non-empty one sets the label type,
    # NaN is never a class.
    assert KovaniSoftmaxClassifier(num_steps=2).partial_fit(
        X, y, classes=[]).classes_.dtype == np.int64
    declared = KovaniSoftmaxClassifier(num_steps=2).partial_fit(X, y.astype(float),
                                                                classes=[0, 1, 2])
    assert declared.classes_.dtype == np.int64 and declared.classes_.tolist() == [0, 1, 2]
    for classes in ([0, 1, 2, np.nan], [np.inf]):
        with pytest.raises(ValueError, match="classes must not hold NaN or infinite labels"):
            KovaniSoftmaxClassifier(num_steps=2).partial_fit(X, y, classes=classes)
        with pytest.raises(ValueError, match="classes must not hold NaN or infinite labels"):
            clf.partial_fit(X[:1], y[:1], classes=classes)
    with pytest.raises(ValueError, match="1-D"):
        KovaniSoftmaxClassifier(num_steps=2).partial_fit(X, y, classes=[[0, 1]])

    # Text held as Python objects joins text labels as text.
    text = KovaniSoftmaxClassifier(num_steps=2).fit(X, np.where(y == 1, "b", "a"))
    text.partial_fit(X[:1], np.array(["c"], dtype=object))
    assert text.classes_.dtype.kind == "U" and text.classes_.tolist() == ["a", "b", "c"]


def test_command_line_prints_integer_labels_after_an_update_with_float_labels(tmp_path, capsys):
    from kovani_bci.cli import main

    X, y = blobs(15, [1, 2], spread=5.0, seed=11)
    np.savez(tmp_path / "calib.npz", X=X, y=y)
    np.savez(tmp_path / "more.npz", X=np.concatenate([X[:2], X[:2] + 20.0]),
             y=np.array([y[0], y[1], 7, 7], dtype=float))
    assert main(["fit", str(tmp_path / "calib.npz"), "--out", str(tmp_path / "m.npz"),
                 "--num-steps", "2"]) == 0
    assert main(["update", str(tmp_path / "m.npz"), str(tmp_path / "more.npz"),
                 "--out", str(tmp_path / "m2.npz")]) == 0
    capsys.readouterr()
    assert main(["predict", str(tmp_path / "m2.npz"), str(tmp_path / "calib.npz"),
                 "--proba"]) == 0
    lines = capsys.readouterr().out.split()
    assert lines[0] == "prediction,p_1,p_2,p_7"
    assert {line.split(",")[0] for line in lines[1:]} == {"1", "2"}


def test_pipeline_cross_validation():
    from sklearn.datasets import load_wine
    from sklearn.model_selection import cross_val_score
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    X, y = load_wine(return_X_y=True)
    pipe = make_pipeline(StandardScaler(), KovaniSoftmaxClassifier(num_steps=5, random_state=0))
    scores = cross_val_score(pipe, X, y, cv=3)
    assert scores.mean() > 0.9
    loss = -cross_val_score(pipe, X, y, cv=3, scoring="neg_log_loss")
    assert loss.mean() < 0.4


# -- persistence -------------------------------------------------------------------------------

def test_classifier_save_load_round_trip(tmp_path):
    from kovani_bci.kovani_io import KovaniModel

    X, y = blobs(20, ["left", "right"], seed=7)
    clf = KovaniSoftmaxClassifier(w_scale=2.0, b_scale=4.0, learning_rate=0.9, num_steps=3,
                                  n_posterior_samples=30, random_state=11).fit(X, y)
    clf.partial_fit(X[:3] + 5, ["feet"] * 3)           # grown online: labels out of sorted order
    path = tmp_path / "clf.npz"
    clf.save(path)
    back = KovaniSoftmaxClassifier.load(path)
    assert back.get_params() == clf.get_params()
    assert back.model_labels_.tolist() == ["left", "right", "feet"]
    assert back.classes_.tolist() == clf.classes_.tolist() and back.n_features_in_ == 3
    np.testing.assert_array_equal(back.predict_proba(X), clf.predict_proba(X))
    np.testing.assert_array_equal(back.sample_predictive(X, 4), clf.sample_predictive(X, 4))
    # The model part reads as a plain model, bit for bit.
    model = KovaniModel.load(path)
    for key, value in clf.model_.params.items():
        if key != "backend":
            assert model.params[key].tobytes() == value.tobytes()
    # A plain model file loads with integer labels from label_base.
    clf.model_.save(tmp_path / "plain.npz")
    plain = KovaniSoftmaxClassifier.load(tmp_path / "plain.npz")
    assert plain.classes_.tolist() == [0, 1, 2]
    plain.set_params(n_posterior_samples=30)
    np.testing.assert_array_equal(plain.predict_proba(X)[:, [2, 0, 1]], clf.predict_proba(X))


def test_classifier_load_errors(tmp_path):
    from sklearn.exceptions import NotFittedError

    X, y = blobs(10, ["a", "b"], seed=8)
    with pytest.raises(NotFittedError):
        KovaniSoftmaxClassifier().save(tmp_path / "x.npz")
    clf = KovaniSoftmaxClassifier(num_steps=2).fit(X, y)
    entries = clf.model_.to_arrays()
    cases = [
        ({"estimator.class_labels": np.array(["a"])}, "one label per class \\(2\\)"),
        ({"estimator.class_labels": np.array(["a", "a"])}, "must not repeat a label"),
        ({"estimator.class_labels": np.array([None, 1], dtype=object)}, "pickled Python objects"),
        ({"estimator.n_posterior_samples": np.array(0)}, "int64 scalar >= 1"),
        ({"estimator.feature_names_in": np.array(["f0"])}, "3 feature names"),
        ({"estimator.colour": np.array(1)}, "unknown entries 'estimator.colour'"),
    ]
    for extra, message in cases:
        path = tmp_path / "bad.npz"
        with open(path, "wb") as f:
            np.savez(f, **entries, **extra)
        with pytest.raises(ValueError, match=message):
            KovaniSoftmaxClassifier.load(path)
    # Labels the file cannot hold are refused by save, before anything is written.
    dates = np.array(["2024-01-01", "2024-01-02"], dtype="datetime64[D]")
    dated = KovaniSoftmaxClassifier(num_steps=2).fit(X, np.where(y == "a", dates[0], dates[1]))
    with pytest.raises(ValueError, match="cannot save the classifier: its class labels must "
                                         "hold text, numbers or booleans, got dtype datetime64"):
        dated.save(tmp_path / "dated.npz")
    assert not (tmp_path / "dated.npz").exists()
    # ... and load refuses what save would.
    with open(tmp_path / "nan.npz", "wb") as f:
        np.savez(f, **entries, **{"estimator.class_labels": np.array([0.0, np.nan])})
    with pytest.raises(ValueError, match="must not hold NaN or infinite labels"):
        KovaniSoftmaxClassifier.load(tmp_path / "nan.npz")
    # Text labels held in an object array (as pandas gives them) are stored as text.
    objs = KovaniSoftmaxClassifier(num_steps=2).fit(X, y.astype(object))
    objs.save(tmp_path / "objs.npz")
    assert KovaniSoftmaxClassifier.load(tmp_path / "objs.npz").classes_.tolist() == ["a", "b"]


@pytest.mark.filterwarnings("ignore:overflow encountered")
def test_a_non_finite_posterior_is_refused_and_the_state_kept():
    X, y = blobs(10, ["a", "b"], seed=9)
    huge = X * 1e200                      # finite, but its squares overflow float64
    with pytest.raises(ValueError, match="non-finite posterior"):
        KovaniSoftmaxClassifier(num_steps=2).fit(huge, y)
    clf = KovaniSoftmaxClassifier(num_steps=2, random_state=0).fit(X, y)
    model, proba = clf.model_, clf.predict_proba(X)
    # The update itself refuses the non-finite result, before the estimator sees it.
    with pytest.raises(ValueError, match="non-finite posterior"):
        clf.partial_fit(huge, ["a"] * 10 + ["c"] * 10)
    assert clf.model_ is model and clf.classes_.tolist() == ["a", "b"]
    np.testing.assert_array_equal(clf.predict_proba(X), proba)
