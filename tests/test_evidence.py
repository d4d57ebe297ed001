"""The evidence of a fitted model, and the prior scale chosen by it."""

import numpy as np
import pytest

import kovani_bci
import reference
from helpers import make_record, make_trials, model_of, rtol_for
from kovani_bci import KovaniSoftmaxClassifier
from kovani_bci.empirical_bayes import fit_auto_w_scale
from kovani_bci.models.kovani_softmax import learning


def _reference_evidence(model, X, y):
    p = model.params
    L = np.asarray(p["beta_cov_chol"], np.float64)
    return reference.evidence(X, y, p["label_base"], p["non_ref_classes"], p["beta_mean"],
                              L @ np.swapaxes(L, -1, -2), *(float(p[k]) for k in
                                                            ("w_loc", "w_scale", "b_loc", "b_scale")))


def _prior_draw(rng, n, F, scale):
    """Two-class trials whose weights are drawn from N(0, scale^2), intercept 0."""
    X = rng.normal(size=(n, F))
    w = rng.normal(scale=scale, size=F)
    return X, (rng.random(n) < 1 / (1 + np.exp(-X @ w))).astype(np.int64)


def test_evidence_matches_the_float64_reference(x64):
    X, y = make_trials(40, 5, 3, seed=3)
    for K, label_base, steps in ((2, 0, 1), (3, 1, 4)):
        yk = np.minimum(y, K - 1) + label_base
        model = learning.kovani_softmax_fit(X, yk, K, label_base, 0.2, 0.6, -0.5, 3.0, 0, 1.0, steps)
        got = kovani_bci.evidence(model, X, yk)
        assert isinstance(got, float)
        np.testing.assert_allclose(got, _reference_evidence(model, X, yk), rtol=rtol_for(x64) * 10)
    # Any record, not only a fitted one: the bound of its posterior under its hyper-prior,
    # on trials it never saw (a different reference class, posteriors that are not a fit's).
    record = make_record(K=4, F=3, ref_class=2, label_base=1, scale=0.7)
    Xn, yn = make_trials(25, 3, 4, seed=5)
    np.testing.assert_allclose(kovani_bci.evidence(model_of(record), Xn, yn + 1),
                               _reference_evidence(model_of(record), Xn, yn + 1),
                               rtol=rtol_for(x64) * 10)


def test_evidence_rises_with_sweeps(enable_x64):
    rng = np.random.default_rng(0)
    X, y = _prior_draw(rng, 60, 6, 1.0)
    values = [kovani_bci.evidence(learning.kovani_softmax_fit(X, y, 2, 0, 0.0, 1.0, 0.0, 5.0, 0, 1.0, s),
                                  X, y) for s in (1, 2, 3, 5)]
    assert np.all(np.diff(values) >= -1e-9), values
    assert values[-1] > values[0] + 1e-3
    # Three classes: no longer one bound, but the sweeps still raise it overall.
    X3, y3 = make_trials(60, 4, 3, seed=1)
    first, last = (kovani_bci.evidence(learning.kovani_softmax_fit(X3, y3, 3, 0, 0.0, 1.0, 0.0, 5.0, 0, 1.0, s),
                                       X3, y3) for s in (1, 5))
    assert last > first


def test_evidence_peaks_near_the_true_scale(enable_x64):
    grid = np.geomspace(0.05, 5.0, 13)
    rng = np.random.default_rng(7)
    for true in (0.15, 1.5):
        # Averaged over draws, the evidence of each scale is the expected log evidence.
        draws = [_prior_draw(rng, 150, 8, true) for _ in range(4)]
        total = [sum(kovani_bci.evidence(learning.kovani_softmax_fit(X, y, 2, 0, 0.0, s, 0.0, 5.0, 0, 1.0, 10),
                                         X, y) for X, y in draws) for s in grid]
        best = grid[int(np.argmax(total))]
        assert true / 2 < best < true * 2, (true, best)
        # The search finds the maximum within a fraction of a nat in four fits.
        X, y = draws[0]
        model, value = fit_auto_w_scale(X, y, 2, w_loc=0.0, b_loc=0.0, b_scale=5.0, rng_seed=0,
                                        learning_rate=1.0, num_steps=10)
        scale = float(model.params["w_scale"])
        np.testing.assert_allclose(value, kovani_bci.evidence(model, X, y))
        one = [kovani_bci.evidence(learning.kovani_softmax_fit(X, y, 2, 0, 0.0, s, 0.0, 5.0, 0, 1.0, 10), X, y)
               for s in grid]
        assert value >= max(one) - 0.25, (true, scale, value, max(one))


def test_evidence_refuses_what_it_cannot_score():
    X, y = make_trials(10, 3, 2)
    model = learning.kovani_softmax_fit(X, y, 2, 0, 0.0, 1.0, 0.0, 5.0, 0, 1.0, 2)
    with pytest.raises(ValueError, match="y out of range"):
        kovani_bci.evidence(model, X, y + 1)
    with pytest.raises(ValueError, match="X has 2 features, but the model has 3"):
        kovani_bci.evidence(model, X[:, :2], y)
    with pytest.raises(ValueError, match="X and y must have same number of rows"):
        kovani_bci.evidence(model, X, y[:3])
    params = dict(model.params, w_scale=np.array(-1.0))
    with pytest.raises(ValueError, match="cannot compute the evidence: the record's w_scale"):
        kovani_bci.evidence(kovani_bci.KovaniModel(model_type="kovani_softmax", params=params), X, y)


def test_auto_w_scale_on_the_estimator(tmp_path):
    rng = np.random.default_rng(2)
    X = rng.normal(size=(20, 60))
    y = rng.integers(0, 3, 20)
    auto = KovaniSoftmaxClassifier(random_state=0).fit(X, y)       # the default
    fixed = KovaniSoftmaxClassifier(w_scale=1.0, random_state=0).fit(X, y)
    # Random labels: the evidence shrinks the scale far below 1; evidence_ is the bound of
    # the posterior kept (at the mode, not the sweeps' optimum of the bound).
    assert auto.w_scale_ < 0.3 and fixed.w_scale_ == 1.0
    np.testing.assert_allclose(auto.evidence_, kovani_bci.evidence(
        auto.model_, X, np.searchsorted(auto.classes_, y)))
    assert auto.get_params()["w_scale"] == "auto"

    auto.save(tmp_path / "auto.npz")
    loaded = KovaniSoftmaxClassifier.load(tmp_path / "auto.npz")
    assert loaded.w_scale == "auto" and loaded.w_scale_ == auto.w_scale_
    np.testing.assert_allclose(loaded.predict_proba(X), auto.predict_proba(X))
    with pytest.raises(AttributeError, match="evidence_ is known only after a fit"):
        loaded.evidence_
    entries = dict(np.load(tmp_path / "auto.npz", allow_pickle=False))
    for bad in (np.array("Auto"), np.array(["auto"]), np.array(0.5)):
        np.savez(tmp_path / "bad.npz", **{**entries, "estimator.w_scale": bad})
        with pytest.raises(ValueError, match="'estimator.w_scale' must be the text 'auto'"):
            KovaniSoftmaxClassifier.load(tmp_path / "bad.npz")

    # Online updates keep the chosen scale; a refit chooses anew.
    before = auto.w_scale_
    auto.partial_fit(X[:4], y[:4])
    assert auto.w_scale_ == before
    with pytest.raises(AttributeError, match="evidence_"):
        auto.evidence_
    for bad, message in (("Auto", "w_scale must be a finite real number > 0 or 'auto'"),
                         (float("nan"), "w_scale must be a finite real number"),
                         (-0.5, "w_scale must be > 0"), (0, "w_scale must be > 0")):
        with pytest.raises(ValueError, match=message):
            KovaniSoftmaxClassifier(w_scale=bad).fit(X, y)
