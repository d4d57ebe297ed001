"""How much an online trial counts: the rates of partial_fit and their race."""

import pickle

import numpy as np
import pytest

from kovani_bci import KovaniSoftmaxClassifier, adaptation
from kovani_bci.empirical_bayes import DISCOUNT
from kovani_bci.models.kovani_softmax import (
    kovani_softmax_predict_proba,
    kovani_softmax_update,
    kovani_softmax_update_fixed_prior,
    learning,
)


def _data(n, F, K, seed, signal=1.5):
    rng = np.random.default_rng(seed)
    y = rng.integers(0, K, n)
    return rng.normal(size=(n, F)) + signal * np.eye(K, F)[y], y


def _with_settings(model, clf):
    return adaptation.with_entries(model, w_loc=0.0, w_scale=float(model.params["w_scale"]),
                                   b_loc=0.0, b_scale=10.0, learning_rate=1.0,
                                   num_steps=clf.num_steps)


def test_each_rate_is_its_update_and_auto_follows_the_prequential_log_loss(monkeypatch):
    X, y = _data(60, 4, 3, seed=0)
    settings = dict(num_steps=3, random_state=0, n_posterior_samples=20)
    for rate, update in (("once", kovani_softmax_update_fixed_prior), ("sweeps", kovani_softmax_update)):
        clf = KovaniSoftmaxClassifier(adaptation_rate=rate, **settings).fit(X[:20], y[:20])
        expected = update(_with_settings(clf.model_, clf), X[20:22], y[20:22])
        clf.partial_fit(X[20:22], y[20:22])
        np.testing.assert_array_equal(clf.model_.params["beta_mean"], expected.params["beta_mean"])

    # "auto": the calm rate runs from the fitted model, the adaptive one from the fit's wider
    # start; each batch is scored by each candidate's predictive before it learns the batch,
    # losses discounted per trial. Batches of one trial, as a live loop learns them, go
    # through one compiled call for the whole step.
    together = []
    monkeypatch.setattr(learning, "_race_update",
                        lambda *a, f=learning._race_update: together.append(f(*a)) or together[-1])
    for batch in (4, 1):
        clf = KovaniSoftmaxClassifier(adaptation_rate="auto", **settings).fit(X[:20], y[:20])
        race = clf._state().race
        models = {"once": clf.model_, "sweeps": clf.model_ if race is None else race.models[1]}
        losses = {"once": 0.0, "sweeps": 0.0}
        seed = int(clf.model_.params["rng_seed"])
        updates = {"once": kovani_softmax_update_fixed_prior, "sweeps": kovani_softmax_update}
        for start in range(20, 60, batch):
            Xb, yb = X[start:start + batch], y[start:start + batch]
            for rate in models:
                p = np.asarray(kovani_softmax_predict_proba(models[rate], Xb, 20, seed), np.float64)
                losses[rate] = DISCOUNT**batch * losses[rate] - np.log(p[np.arange(batch), yb]).sum()
                models[rate] = updates[rate](_with_settings(models[rate], clf), Xb, yb)
            if batch == 1 and start % 2:
                clf.predict_proba(Xb)   # the leader's prediction, kept for the step
            clf.partial_fit(Xb, yb)
            leader = min(losses, key=lambda r: (losses[r], r != "once"))
            np.testing.assert_allclose(clf.model_.params["beta_mean"],
                                       models[leader].params["beta_mean"], rtol=1e-5, atol=1e-6)
        assert losses["once"] != losses["sweeps"]
    assert len(together) == 40 + 10 and all(out is not None for out in together[10:])


def test_auto_rate_stays_near_chance_on_random_labels_at_many_features():
    rng = np.random.default_rng(3)
    X, y = rng.normal(size=(140, 120)), rng.integers(0, 3, 140)
    clf = KovaniSoftmaxClassifier(random_state=0, n_posterior_samples=50).fit(X[:40], y[:40])
    proba = []
    for t in range(40, 140, 2):
        proba.extend(clf.predict_proba(X[t:t + 2]))
        clf.partial_fit(X[t:t + 2], y[t:t + 2])
    proba = np.array(proba)
    log_loss = -np.mean(np.log(proba[np.arange(100), y[40:]]))
    assert log_loss < 1.05 * np.log(3) and np.mean(proba.max(1) > 0.99) < 0.01


def test_adaptation_rate_is_checked_and_kept_in_files(tmp_path):
    X, y = _data(30, 3, 2, seed=1)
    for bad in ("fast", "Auto", 1, None, 0.5):
        with pytest.raises(ValueError, match="adaptation_rate must be one of"):
            KovaniSoftmaxClassifier(adaptation_rate=bad).fit(X, y)
    clf = KovaniSoftmaxClassifier(adaptation_rate="once", random_state=0).fit(X[:20], y[:20])
    with pytest.raises(ValueError, match="adaptation_rate"):
        clf.set_params(adaptation_rate="slow").partial_fit(X[20:], y[20:])
    clf.set_params(adaptation_rate="once").save(tmp_path / "clf.npz")
    loaded = KovaniSoftmaxClassifier.load(tmp_path / "clf.npz")
    assert loaded.adaptation_rate == "once"
    entries = dict(np.load(tmp_path / "clf.npz", allow_pickle=False))
    for bad in (np.array("fast"), np.array(["once"]), np.array(1.0)):
        np.savez(tmp_path / "bad.npz", **{**entries, "estimator.adaptation_rate": bad})
        with pytest.raises(ValueError, match="'estimator.adaptation_rate' must be one of"):
            KovaniSoftmaxClassifier.load(tmp_path / "bad.npz")
    # A classifier file from before the setting learnt with the running update; a plain
    # model file takes the default.
    del entries["estimator.adaptation_rate"]
    np.savez(tmp_path / "old.npz", **entries)
    assert KovaniSoftmaxClassifier.load(tmp_path / "old.npz").adaptation_rate == "sweeps"
    clf.model_.save(tmp_path / "model.npz")
    assert KovaniSoftmaxClassifier.load(tmp_path / "model.npz").adaptation_rate == "auto"
    # Loaded, the race starts again from the saved model, and learns on.
    loaded = KovaniSoftmaxClassifier.load(tmp_path / "clf.npz").set_params(adaptation_rate="auto")
    loaded.partial_fit(X[20:], y[20:])
    assert loaded.model_.params["class_counts"].sum() == 30


def test_a_pickled_or_saved_classifier_carries_its_race_on(tmp_path):
    # A live session that crashes resumes from the saved classifier: it must go on learning
    # exactly as the one that was running, which needs every rate's posterior and loss.
    X, y = _data(40, 3, 2, seed=4)
    clf = KovaniSoftmaxClassifier(random_state=0, n_posterior_samples=10).fit(X[:20], y[:20])
    for i in range(20, 30):
        clf.partial_fit(X[i:i + 1], y[i:i + 1])
    race = clf._state().race
    assert not np.array_equal(race.models[0].params["beta_mean"],
                              race.models[1].params["beta_mean"])
    clf.save(tmp_path / "clf.npz")
    copies = [pickle.loads(pickle.dumps(clf)), KovaniSoftmaxClassifier.load(tmp_path / "clf.npz")]
    for est in (clf, *copies):
        for i in range(30, 40):
            est.partial_fit(X[i:i + 1], y[i:i + 1])
    for copy in copies:
        np.testing.assert_array_equal(copy.predict_proba(X), clf.predict_proba(X))
        np.testing.assert_array_equal(copy._state().race.losses, clf._state().race.losses)

    entries = dict(np.load(tmp_path / "clf.npz", allow_pickle=False))
    chol = entries["estimator.rate_beta_cov_chol"].copy()
    chol[0, 0, 0, 0] = -1.0
    bad_files = {
        "losses": ({"estimator.rate_losses": np.array([1.0, np.nan])}, "rate_losses"),
        "shape": ({"estimator.rate_beta_mean": entries["estimator.rate_beta_mean"][:, :, :2]},
                  "rate_beta_mean"),
        "factor": ({"estimator.rate_beta_cov_chol": chol}, "invalid"),
        "rate": ({"estimator.adaptation_rate": np.array("once")}, "belongs to adaptation_rate"),
    }
    for name, (change, match) in bad_files.items():
        np.savez(tmp_path / f"{name}.npz", **{**entries, **change})
        with pytest.raises(ValueError, match=match):
            KovaniSoftmaxClassifier.load(tmp_path / f"{name}.npz")
    del entries["estimator.rate_losses"]
    np.savez(tmp_path / "partial.npz", **entries)
    with pytest.raises(ValueError, match="come together"):
        KovaniSoftmaxClassifier.load(tmp_path / "partial.npz")


def test_predicting_each_trial_before_learning_it_changes_nothing():
    # The live loop's prediction is handed to the race (whose leader scores the same
    # trial): the race must learn exactly as without it, also when the trials come in
    # forms that take the full validation (lists, float labels).
    X, y = _data(44, 5, 3, seed=4)
    settings = dict(num_steps=3, random_state=0, n_posterior_samples=20)
    a = KovaniSoftmaxClassifier(**settings).fit(X[:20], y[:20])
    b = KovaniSoftmaxClassifier(**settings).fit(X[:20], y[:20])
    for i in range(20, 44):
        x = X[i:i + 1] if i % 3 else X[i:i + 1].tolist()
        label = y[i:i + 1] if i % 4 else y[i:i + 1].astype(float)
        a.predict_proba(x)
        a.partial_fit(x, label)
        b.partial_fit(X[i:i + 1], y[i:i + 1])
    np.testing.assert_array_equal(a._fitted.race.losses, b._fitted.race.losses)
    for ma, mb in zip(a._fitted.race.models, b._fitted.race.models):
        for key in ("beta_mean", "beta_cov_chol"):
            np.testing.assert_array_equal(ma.params[key], mb.params[key])
    np.testing.assert_array_equal(a.predict_proba(X[:5]), b.predict_proba(X[:5]))

