"""Widening, bounded forgetting and label matching of records, and the estimator features on them:
fitting from an earlier model, forgetting in partial_fit, abstaining."""

import copy

import numpy as np
import pytest
from sklearn.base import clone
from sklearn.model_selection import GridSearchCV

import reference as ref
from helpers import make_record, make_trials, model_of, rtol_for
from kovani_bci import adaptation
from kovani_bci.estimator import KovaniSoftmaxClassifier
from kovani_bci.kovani_io import KovaniModel
from kovani_bci.models.kovani_softmax import learning


def standardised_covariances(params):
    """Covariances in the hyper-prior's standardised coordinates, where the hyper-prior is I."""
    L = np.asarray(params["beta_cov_chol"], np.float64)
    F = L.shape[-1] - 1
    s0 = np.r_[np.full(F, float(params["w_scale"])), float(params["b_scale"])]
    C = L @ np.swapaxes(L, 1, 2)
    return C / np.outer(s0, s0)


def forget_reference(params, factor):
    """Tempering in precision form with explicit inverses, then every standardised precision
    eigenvalue floored at 1 (the hyper-prior's); the tempered mean is kept."""
    mean = np.asarray(params["beta_mean"], np.float64)
    chol = np.asarray(params["beta_cov_chol"], np.float64)
    F = mean.shape[1] - 1
    m0 = np.r_[np.full(F, float(params["w_loc"])), float(params["b_loc"])]
    s0 = np.r_[np.full(F, float(params["w_scale"])), float(params["b_scale"])]
    P0 = np.diag(s0**-2.0)
    means, covs = [], []
    for m, L in zip(mean, chol):
        P = np.linalg.inv(L @ L.T)
        P_t = factor * P + (1 - factor) * P0
        means.append(np.linalg.solve(P_t, factor * P @ m + (1 - factor) * P0 @ m0))
        w, V = np.linalg.eigh(np.diag(s0) @ P_t @ np.diag(s0))
        covs.append(np.diag(s0) @ (V / np.maximum(w, 1.0)) @ V.T @ np.diag(s0))
    return np.array(means), np.array(covs)


def wide_record(dtype=np.float64, seed=0, widths=(4.0, 4.0, 4.0)):
    """A record whose rows' factors are scaled by `widths`: at 4 their covariances are wider
    than the hyper-prior in some directions, at 1 in none."""
    record = make_record(K=4, F=3, dtype=dtype, seed=seed)
    scaled = record["beta_cov_chol"].astype(np.float64) * np.asarray(widths)[:, None, None]
    record["beta_cov_chol"] = scaled.astype(dtype)
    return record


@pytest.mark.parametrize("widths", [(4.0, 4.0, 4.0), (1.0, 4.0, 1.0), (1.0, 1.0, 1.0)])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_forgetting_matches_the_precision_form(dtype, widths):
    record = wide_record(dtype, widths=widths)
    before = copy.deepcopy(record)
    model = model_of(record)
    wider = [np.linalg.eigvalsh(C).max() > 1 for C in standardised_covariances(record)]
    assert wider == [w > 1 for w in widths]      # the rows clamped, and those left as they are
    tol = 1e-9 if dtype == np.float64 else 2e-5
    for factor in (0.3, 0.9, 0.999):
        new = adaptation.forget_toward_prior(model, factor)
        p = new.params
        means, covs = forget_reference(record, factor)
        L = p["beta_cov_chol"].astype(np.float64)
        assert p["beta_mean"].dtype == p["beta_cov_chol"].dtype == dtype
        assert np.all(np.triu(L, 1) == 0)
        np.testing.assert_allclose(p["beta_mean"], means, rtol=tol, atol=tol)
        np.testing.assert_allclose(L @ np.swapaxes(L, 1, 2), covs, rtol=tol, atol=tol)
        assert np.linalg.eigvalsh(standardised_covariances(p)).max() <= 1 + 10 * tol
        for key in set(record) - {"beta_mean", "beta_cov_chol"}:
            assert p[key] is record[key]
    for key in record:
        np.testing.assert_array_equal(record[key], before[key])
    assert model.params is record
    # 1 forgets nothing; repeated forgetting returns to the hyper-prior.
    same = adaptation.forget_toward_prior(model, 1.0)
    assert same is not model and all(same.params[k] is record[k] for k in record)
    current = model
    for _ in range(200):
        current = adaptation.forget_toward_prior(current, 0.8)
    np.testing.assert_allclose(standardised_covariances(current.params), np.tile(np.eye(4), (3, 1, 1)),
                               atol=10 * tol)
    np.testing.assert_allclose(current.params["beta_mean"], np.tile([0.1, 0.1, 0.1, -0.2], (3, 1)), atol=10 * tol)


def test_forgetting_a_singular_factor_within_the_hyper_prior():
    """A factor with a zero column (a direction the posterior is certain of) stays finite and
    agrees with the eigen-decomposition's form."""
    record = make_record(K=3, F=3)
    chol = record["beta_cov_chol"].copy()
    chol[0, :, 2] = 0.0
    record["beta_cov_chol"] = chol
    p = adaptation.forget_toward_prior(model_of(record), 0.7).params
    W = chol[0] / np.r_[np.full(3, 1.5), 2.0][:, None]
    U, sv, _ = np.linalg.svd(W)
    v = sv**2
    expected = U @ np.diag(v / (0.7 + 0.3 * v)) @ U.T * np.outer(np.r_[np.full(3, 1.5), 2.0], np.r_[np.full(3, 1.5), 2.0])
    L = p["beta_cov_chol"][0]
    assert np.all(np.isfinite(L)) and np.all(np.diag(L) >= 0)
    np.testing.assert_allclose(L @ L.T, expected, atol=1e-12)


def test_widening_and_bad_factors():
    record = make_record(dtype=np.float32)
    model = model_of(record)
    wide = adaptation.widen_posterior(model, 9.0)
    L, L9 = (np.asarray(p["beta_cov_chol"], np.float64) for p in (record, wide.params))
    np.testing.assert_allclose(L9 @ np.swapaxes(L9, 1, 2), 9 * L @ np.swapaxes(L, 1, 2), rtol=1e-6)
    assert wide.params["beta_cov_chol"].dtype == np.float32 and wide.params["beta_mean"] is record["beta_mean"]
    for factor, message in [(0.0, "widening factor must be > 0"), (-1.0, "widening factor must be > 0"),
                            (float("nan"), "widening factor must be a finite"), (True, "widening factor must be a finite")]:
        with pytest.raises(ValueError, match=message):
            adaptation.widen_posterior(model, factor)
    for factor, message in [(0.0, r"in \(0, 1\]"), (1.5, r"in \(0, 1\]"), (float("inf"), "a finite")]:
        with pytest.raises(ValueError, match="forgetting factor must be " + message):
            adaptation.forget_toward_prior(model, factor)
    with pytest.raises(ValueError, match="the record's w_scale must be finite and > 0"):
        adaptation.forget_toward_prior(model_of({**record, "w_scale": np.array(0.0)}), 0.5)


def test_label_matching_keeps_the_model_order_and_appends_new_labels():
    labels, index = adaptation.match_labels(np.array(["b", "a", "c"]), np.array(["c", "d", "a", "e", "d"]))
    np.testing.assert_array_equal(labels, ["b", "a", "c", "d", "e"])
    np.testing.assert_array_equal(index, [2, 3, 1, 4, 3])
    labels, index = adaptation.match_labels(np.array([3, 1]), np.array([1, 1]))
    np.testing.assert_array_equal(labels, [3, 1])
    np.testing.assert_array_equal(index, [1, 1])


def letters_data(labels, n, seed):
    X, y0 = make_trials(n, 3, len(labels), seed=seed, separation=2.0)
    return X, np.asarray(labels)[y0]


def test_fit_from_a_prior_with_matched_missing_and_extra_classes(x64):
    X_old, y_old = letters_data(["a", "b", "c"], 60, seed=1)
    prior = KovaniSoftmaxClassifier(num_steps=3, random_state=0, w_scale=1.0).fit(X_old, y_old)
    kept = copy.deepcopy(prior.model_.params)
    record_before = prior.model_.params
    # The new session lacks "a" and brings "d", which the prior lacks.
    X_new, y_new = letters_data(["b", "c", "d"], 24, seed=2)
    clf = KovaniSoftmaxClassifier(num_steps=4, prior_widening=3.0, w_loc=0.2, w_scale=1.5, b_loc=-0.1,
                                  b_scale=4.0, learning_rate=0.8, random_state=5)
    clf.fit(X_new, y_new, prior=prior)
    np.testing.assert_array_equal(clf.model_labels_, ["a", "b", "c", "d"])
    np.testing.assert_array_equal(clf.classes_, ["a", "b", "c", "d"])

    # The prior the update starts from, built independently: widened rows of the prior in
    # its class order, the new class at the classifier's hyper-prior, its settings.
    start = dict(kept)
    start["beta_cov_chol"] = kept["beta_cov_chol"] * np.sqrt(3.0)
    start.update(label_base=0, w_loc=0.2, w_scale=1.5, b_loc=-0.1, b_scale=4.0, learning_rate=0.8, num_steps=4)
    y_index = np.searchsorted(["a", "b", "c", "d"], y_new)
    K, non_ref, counts, means, covs = ref.update_fixed_prior(start, X_new, y_index)
    p = clf.model_.params
    assert int(p["n_classes"]) == K == 4
    np.testing.assert_array_equal(p["non_ref_classes"], non_ref)
    np.testing.assert_array_equal(p["class_counts"], counts)
    assert p["class_counts"][0] == kept["class_counts"][0]       # "a" keeps its earlier trials
    rtol = rtol_for(x64)
    np.testing.assert_allclose(p["beta_mean"], means, rtol=rtol, atol=rtol)
    L = p["beta_cov_chol"].astype(np.float64)
    np.testing.assert_allclose(L @ np.swapaxes(L, 1, 2), covs, rtol=rtol, atol=rtol)
    assert int(p["rng_seed"]) == 5 and int(p["ref_class"]) == int(kept["ref_class"])

    # The prior classifier and its record are untouched.
    assert prior.model_.params is record_before and list(record_before) == list(kept)
    for key in kept:
        np.testing.assert_array_equal(record_before[key], kept[key])
    assert clf.predict(X_new).shape == (24,)


def test_fit_from_a_plain_model_and_refusals():
    X, y = make_trials(30, 3, 2, seed=3)
    model = learning.kovani_softmax_fit(X, y + 1, 2, 1, 0.0, 1.0, 0.0, 10.0, 0, 1.0, 3)
    before = copy.deepcopy(model.params)
    clf = KovaniSoftmaxClassifier(num_steps=2).fit(X[:6], y[:6] + 1, prior=model)
    np.testing.assert_array_equal(clf.classes_, [1, 2])          # class index + label_base
    for key in before:
        np.testing.assert_array_equal(model.params[key], before[key])
    # One class is enough when the prior knows the others.
    assert KovaniSoftmaxClassifier(num_steps=2).fit(X[:3], [2, 2, 2], prior=model).classes_.tolist() == [1, 2]
    with pytest.raises(ValueError, match="X has 2 features, but the prior model has 3"):
        KovaniSoftmaxClassifier().fit(X[:, :2], y, prior=model)
    with pytest.raises(ValueError, match="prior model's labels are of kind"):
        KovaniSoftmaxClassifier().fit(X, np.array(["x", "y"])[y], prior=model)
    with pytest.raises(TypeError, match="prior must be a fitted KovaniSoftmaxClassifier or a KovaniModel"):
        KovaniSoftmaxClassifier().fit(X, y, prior=model.params)
    for params, message in [({"prior_widening": 0.0}, "prior_widening must be a finite number > 0"),
                            ({"prior_widening": -2}, "prior_widening must be a finite number > 0"),
                            ({"forgetting_factor": 0.0}, r"forgetting_factor must be in \(0, 1\]"),
                            ({"forgetting_factor": 1.01}, r"forgetting_factor must be in \(0, 1\]"),
                            ({"reject_below": -0.1}, r"reject_below must be in \[0, 1\]"),
                            ({"reject_below": 1.5}, r"reject_below must be in \[0, 1\]")]:
        with pytest.raises(ValueError, match=message):
            KovaniSoftmaxClassifier(**params).fit(X, y)


def test_prior_is_a_fit_parameter_that_grid_search_passes_on():
    X_old, y_old = make_trials(40, 3, 2, seed=6)
    prior = KovaniSoftmaxClassifier(num_steps=2, random_state=0).fit(X_old, y_old)
    X, y = make_trials(20, 3, 2, seed=7)
    search = GridSearchCV(KovaniSoftmaxClassifier(num_steps=2, random_state=0),
                          {"prior_widening": [1.0, 100.0]}, cv=2).fit(X, y, prior=prior)
    assert search.best_params_["prior_widening"] in (1.0, 100.0)
    twin = clone(KovaniSoftmaxClassifier(prior_widening=3.0, forgetting_factor=0.9, reject_below=0.6))
    assert twin.get_params()["prior_widening"] == 3.0 and twin.get_params()["reject_below"] == 0.6


def test_partial_fit_forgets_then_updates_and_stays_within_the_hyper_prior(x64):
    # Feature 2 is always 0: no trial informs its weight, the direction that geometric
    # covariance inflation would blow up.
    rng = np.random.default_rng(8)
    n = 300
    y = rng.integers(0, 2, n)
    X = np.column_stack([rng.normal(size=n) + 2 * y, rng.normal(size=n), np.zeros(n)])
    # The scale and the update pinned: forgetting moves toward this prior, and "auto" picks
    # a narrow one from 10 trials.
    clf = KovaniSoftmaxClassifier(num_steps=2, forgetting_factor=0.7, random_state=0, w_scale=1.0,
                                  adaptation_rate="sweeps").fit(X[:10], y[:10])
    # One step is exactly: forget toward the hyper-prior, then the online update.
    expected = learning.kovani_softmax_update(adaptation.forget_toward_prior(clf.model_, 0.7), X[10:11], y[10:11])
    clf.partial_fit(X[10:11], y[10:11])
    np.testing.assert_array_equal(clf.model_.params["beta_mean"], expected.params["beta_mean"])
    for i in range(11, n):
        clf.partial_fit(X[i:i + 1], y[i:i + 1])
        if i % 50 == 0 or i == n - 1:
            p = clf.model_.params
            assert np.isfinite(p["beta_mean"]).all() and np.isfinite(p["beta_cov_chol"]).all()
            tol = 1e-9 if x64 else 1e-5
            assert np.linalg.eigvalsh(standardised_covariances(p)).max() <= 1 + tol
    assert clf.score(X, y) > 0.7          # the Bayes rate is 0.84


def test_predict_with_reject():
    X, y = make_trials(60, 3, 3, seed=9, separation=1.5)
    clf = KovaniSoftmaxClassifier(num_steps=3, random_state=0, reject_below=0.7).fit(X, y)
    proba = clf.predict_proba(X)
    labels, rejected = clf.predict_with_reject(X)
    np.testing.assert_array_equal(labels, clf.predict(X))
    np.testing.assert_array_equal(rejected, proba.max(axis=1) < 0.7)
    assert 0 < rejected.sum() < len(y)
    assert not clf.predict_with_reject(X, threshold=0.0)[1].any()
    np.testing.assert_array_equal(clf.predict_with_reject(X, threshold=0.9)[1], proba.max(axis=1) < 0.9)
    for bad in (-0.01, 1.01, float("nan"), "0.5"):
        with pytest.raises(ValueError, match=r"threshold must be in \[0, 1\]"):
            clf.predict_with_reject(X, threshold=bad)


def test_bayesian_settings_survive_a_file_and_tampered_ones_are_refused(tmp_path):
    X, y = make_trials(40, 3, 3, seed=4)
    clf = KovaniSoftmaxClassifier(prior_widening=2.5, forgetting_factor=0.95, reject_below=0.6,
                                  num_steps=2, random_state=0).fit(X, y)
    path = tmp_path / "clf.npz"
    clf.save(path)
    back = KovaniSoftmaxClassifier.load(path)
    for name in ("prior_widening", "forgetting_factor", "reject_below"):
        assert getattr(back, name) == getattr(clf, name)
    np.testing.assert_array_equal(back.predict_with_reject(X)[1], clf.predict_with_reject(X)[1])

    entries = dict(np.load(path))
    entries["estimator.forgetting_factor"] = np.array(1.5)
    bad = tmp_path / "bad.npz"
    np.savez(bad, **entries)
    with pytest.raises(ValueError, match="'estimator.forgetting_factor' must be a float64 scalar, in"):
        KovaniSoftmaxClassifier.load(bad)


def test_forgetting_a_float32_fit_takes_the_direct_path(monkeypatch):
    """A fresh float32 fit by the sweeps (a fixed scale) sits at the hyper-prior's width in
    every direction no trial informs, up to the rounding of its stored factors (eigenvalues
    of 1 + 1e-6): that is no direction to clamp, so forgetting takes the factor products,
    not the SVD."""
    clamped = []
    original = adaptation._tempered_clamped
    monkeypatch.setattr(adaptation, "_tempered_clamped",
                        lambda *args: clamped.append(1) or original(*args))
    rng = np.random.default_rng(0)
    X, y = rng.normal(size=(40, 80)), np.arange(40) % 3
    clf = KovaniSoftmaxClassifier(w_scale=1.0, forgetting_factor=0.98, num_steps=2,
                                  random_state=0).fit(X[:20], y[:20])
    assert clf.model_.params["beta_mean"].dtype == np.float32
    for i in range(20, 30):
        clf.partial_fit(X[i:i + 1], y[i:i + 1])
    assert clamped == []
    p = clf.model_.params
    assert np.linalg.eigvalsh(standardised_covariances(p)).max() <= 1 + 1e-5
    # A widened posterior is wider than the hyper-prior for real: that one is clamped.
    wide = adaptation.widen_posterior(clf.model_, 4.0)
    adaptation.forget_toward_prior(wide, 0.98)
    assert len(clamped) == 2


def test_fit_from_a_prior_refuses_other_feature_names():
    pd = pytest.importorskip("pandas")
    X, y = make_trials(60, 4, 2, seed=5, separation=2.0)
    frame = pd.DataFrame(X, columns=list("abcd"))
    prior = KovaniSoftmaxClassifier(num_steps=2, random_state=0).fit(frame, y)
    with pytest.raises(ValueError, match="feature names that differ from those the prior was "
                       r"fitted with \('d' for 'a', 'c' for 'b', 'b' for 'c'\)"):
        KovaniSoftmaxClassifier(num_steps=2).fit(frame[list("dcba")][:4], y[:4], prior=prior)
    with pytest.raises(ValueError, match="feature names that differ"):      # itself as prior
        prior.fit(frame.rename(columns={"a": "z"}), y, prior=prior)
    assert prior.feature_names_in_.tolist() == list("abcd")                  # left as it was
    # The prior's own names, or none on either side, are accepted.
    clf = KovaniSoftmaxClassifier(num_steps=2).fit(frame[:4], y[:4], prior=prior)
    assert clf.feature_names_in_.tolist() == list("abcd")
    KovaniSoftmaxClassifier(num_steps=2).fit(X[:4], y[:4], prior=prior)


def test_odd_values_of_the_settings_are_value_errors():
    X, y = make_trials(30, 3, 2, seed=3)
    huge = 10**400                                   # beyond a float: no OverflowError
    for params, message in [({"prior_widening": huge}, "prior_widening must be a finite number > 0"),
                            ({"forgetting_factor": huge}, r"forgetting_factor must be in \(0, 1\]"),
                            ({"reject_below": huge}, r"reject_below must be in \[0, 1\]"),
                            ({"w_loc": huge}, "w_loc must be a finite real number"),
                            ({"b_scale": -huge}, "b_scale must be a finite real number"),
                            ({"random_state": 2**64}, r"random_state must be None, an integer in \[0, 2\*\*32 - 1\]"),
                            ({"random_state": -1}, "random_state must be None, an integer")]:
        with pytest.raises(ValueError, match=message):
            KovaniSoftmaxClassifier(**params).fit(X, y)
    clf = KovaniSoftmaxClassifier(num_steps=2, random_state=2**32 - 1).fit(X, y)
    with pytest.raises(ValueError, match=r"threshold must be in \[0, 1\]"):
        clf.predict_with_reject(X, threshold=huge)
    for fn, name in [(adaptation.widen_posterior, "the widening factor"),
                     (adaptation.forget_toward_prior, "the forgetting factor")]:
        with pytest.raises(ValueError, match=f"{name} must be a finite real number"):
            fn(clf.model_, huge)
