"""The posterior at the exact mode and the scale it is taken at (kovani_bci.laplace)."""

import numpy as np
import pytest
from scipy.optimize import minimize
from sklearn.linear_model import LogisticRegression

from kovani_bci import KovaniSoftmaxClassifier, empirical_bayes, laplace
from kovani_bci.models.kovani_softmax import learning

PRIOR = dict(w_loc=0.1, b_loc=-0.2, b_scale=3.0)


def sharp(**settings):
    """The classifier with its default, the posterior at the mode above the bound's scale."""
    return KovaniSoftmaxClassifier(random_state=0, **settings)


def template(X, y, K, seed=0):
    return learning.kovani_softmax_fit(X, y, K, 0, w_scale=1.0, rng_seed=seed, learning_rate=1.0,
                                       num_steps=1, **PRIOR)


def reference(X, y, K, ref, scale, temperature):
    """Float64 MAP over all coefficients (no reduction to the trials' span) under the prior
    of a symmetric softmax (K independent rows), seen through the differences to the
    reference row; the Laplace log evidence with the full Hessian; each class's tempered
    bound covariance, its prior given the other rows."""
    n, d = X.shape
    A = np.column_stack([X, np.ones(n)])
    rows = [k for k in range(K) if k != ref]
    m0 = np.append(np.full(d, PRIOR["w_loc"]), PRIOR["b_loc"])
    prec = np.append(np.full(d, scale ** -2.0), PRIOR["b_scale"] ** -2.0)
    # The rows' differences have covariance scale^2 (I + 1 1^T) over the classes.
    P = np.linalg.inv(np.eye(K - 1) + 1.0)

    def parts(flat):
        B = flat.reshape(len(rows), d + 1)
        eta = np.zeros((n, K))
        eta[:, rows] = A @ B.T
        lse = np.logaddexp.reduce(eta, axis=1)
        Pr = np.exp(eta - lse[:, None])
        value = (-(eta[np.arange(n), y] - lse).sum()
                 + 0.5 * np.einsum("kq,kl,lq,q->", B - m0, P, B - m0, prec))
        G = (Pr[:, rows] - (y[:, None] == np.array(rows))).T @ A + P @ (B - m0) * prec
        return value, G.ravel(), eta, Pr

    res = minimize(lambda f: parts(f)[:2], np.tile(m0, len(rows)), jac=True, method="L-BFGS-B",
                   options=dict(gtol=1e-12, ftol=1e-15, maxiter=10_000))
    flat = res.x

    def hessian(Pn):
        H = np.kron(P, np.diag(prec))
        for i in range(n):
            H += np.kron(np.diag(Pn[i]) - np.outer(Pn[i], Pn[i]), np.outer(A[i], A[i]))
        return H
    for _ in range(3):          # L-BFGS-B stops short on a class without trials: polish
        _, G, _, Pr = parts(flat)
        flat = flat - np.linalg.solve(hessian(Pr[:, rows]), G)
    value, _, eta, Pr = parts(flat)
    H = hessian(Pr[:, rows])
    log_ev = -value + 0.5 * (np.linalg.slogdet(np.kron(P, np.diag(prec)))[1]
                             - np.linalg.slogdet(H)[1])
    covs = []
    for j, k in enumerate(rows):
        psi = eta[:, k] - np.logaddexp.reduce(np.delete(eta, k, axis=1), axis=1)
        c2 = psi ** 2
        for _ in range(3):
            c = np.sqrt(c2)
            omega = np.tanh(c / 2) / (2 * c)
            S = np.linalg.inv(P[j, j] * np.diag(prec) + A.T @ (A * omega[:, None]))
            c2 = psi ** 2 + np.einsum("na,ab,nb->n", A, S, A)
        covs.append(temperature * S)
    return flat.reshape(len(rows), d + 1), log_ev, np.array(covs)


@pytest.mark.usefixtures("enable_x64")
def test_mode_evidence_and_covariances_match_a_float64_reference():
    rng = np.random.default_rng(0)
    # More features than trials (the fit works in the trials' span), a class without trials.
    for n, d, K, present in ((12, 15, 3, 3), (40, 4, 4, 3)):
        X = rng.normal(size=(n, d)) + rng.normal(size=d)
        y = rng.integers(0, present, n)
        X[:, 0] += 1.5 * y
        model, scales, log_ev = laplace.fit_sharp(template(X, y, K), X, y, scales=[0.7],
                                                  temperature=0.3)
        p = model.params
        mean, ev, cov = reference(X, y, K, int(p["ref_class"]), 0.7, 0.3)
        np.testing.assert_allclose(p["beta_mean"], mean, atol=1e-6)
        np.testing.assert_allclose(log_ev, [ev], atol=1e-5)     # the reference's own tolerance
        L = p["beta_cov_chol"]
        np.testing.assert_allclose(L @ np.swapaxes(L, 1, 2), cov, atol=1e-7)
        assert p["beta_mean"].dtype == np.float64
        np.testing.assert_allclose(float(p["w_scale"]), 0.7 * np.sqrt(K / (K - 1)))


@pytest.mark.usefixtures("enable_x64")
def test_leave_one_out_logits_match_refits_and_two_classes_keep_the_fixed_factor():
    rng = np.random.default_rng(4)
    X = rng.normal(size=(60, 3))
    y = np.repeat([0, 1, 2], 20)
    X[:, 0] += 0.8 * y
    model = template(X, y, 3)
    ref = int(model.params["ref_class"])
    problem = laplace._Problem(X, y, 3, ref, PRIOR["w_loc"], PRIOR["b_loc"], PRIOR["b_scale"],
                               [0.7])
    theta = problem.walk(10.0)[0][0]
    cov, omega = problem.class_covariances(theta)
    mean, var = problem.leave_one_out(theta, cov, omega)
    for i in range(0, 60, 7):
        keep = np.arange(60) != i
        B = reference(X[keep], y[keep], 3, ref, 0.7, 1.0)[0]
        exact = np.append(X[i], 1.0) @ B.T
        np.testing.assert_allclose(mean[i], exact, atol=0.015)     # shifts of 0.05 to 0.36
        assert (var[i] > np.einsum("a,kab,b->k", problem.Z[i], cov, problem.Z[i])).all()
    assert problem.temperature(theta, cov, omega) in laplace.TEMPERATURES
    # Two classes: the fixed factor, whatever the leave-one-out would choose.
    y2 = (y > 0).astype(int)
    chosen = laplace.fit_sharp(template(X, y2, 2), X, y2, scales=[0.7])[0].params
    fixed = laplace.fit_sharp(template(X, y2, 2), X, y2, scales=[0.7],
                              temperature=laplace.TEMPERATURE)[0].params
    np.testing.assert_array_equal(chosen["beta_cov_chol"], fixed["beta_cov_chol"])


def test_sharp_on_signal_honest_on_noise():
    rng = np.random.default_rng(1)
    # Ten classes in 40 features, 5 trials each: nearly as accurate as LogisticRegression,
    # its log loss not far above LogisticRegression's and well below that of the sweeps.
    centres = rng.normal(scale=0.6, size=(10, 40))
    y_all = np.repeat(np.arange(10), 55)
    X_all = centres[y_all] + rng.normal(size=(550, 40))
    cal = np.concatenate([np.flatnonzero(y_all == k)[:5] for k in range(10)])
    test = np.setdiff1d(np.arange(550), cal)
    mu, sd = X_all[cal].mean(0), X_all[cal].std(0)
    X = (X_all - mu) / sd
    ours = sharp().fit(X[cal], y_all[cal])
    peer = LogisticRegression(max_iter=2000).fit(X[cal], y_all[cal])

    def scores(clf):
        p = clf.predict_proba(X[test])
        return -np.log(p[np.arange(len(test)), y_all[test]]).mean(), (
            p.argmax(1) == y_all[test]).mean()
    former = KovaniSoftmaxClassifier(random_state=0)
    former._auto_fit = "bound"          # the sweeps at the bound's scale
    former.fit(X[cal], y_all[cal])
    (ll, acc), (ll_peer, acc_peer), (ll_former, _) = scores(ours), scores(peer), scores(former)
    assert ll < ll_former - 0.5 and ll < ll_peer + 0.3 and acc > acc_peer - 0.06
    # Random labels, 2 and 3 classes, 42 and 253 features: near chance, never sure (two
    # classes at 5 per class walk with the smaller hyper-prior penalty).
    losses = []
    for K, d, per_class in ((2, 42, 5), (2, 253, 20), (3, 42, 10), (3, 42, 40)):
        X = rng.normal(size=(per_class * K + 300, d))
        y = rng.integers(0, K, len(X))
        y[:per_class * K] = np.repeat(np.arange(K), per_class)
        clf = sharp().fit(X[:per_class * K], y[:per_class * K])
        p = clf.predict_proba(X[per_class * K:])
        assert p.max() < 0.99
        losses.append(-np.log(p[np.arange(300), y[per_class * K:]]).mean() / np.log(K))
    assert np.mean(losses) < 1.01


def failing_at(bad, newton=laplace._Problem.newton):
    """The walk's Newton fit, failing at the scale indices ``bad``."""
    def run(self, i, theta):
        if i in bad:
            raise np.linalg.LinAlgError("singular")
        return newton(self, i, theta)
    return run


def three_classes():
    rng = np.random.default_rng(4)
    centres = rng.normal(scale=1.5, size=(3, 8))
    y = np.repeat(np.arange(3), 15)
    return centres[y] + rng.normal(size=(45, 8)), y


def test_a_failing_scale_is_skipped(monkeypatch):
    rng = np.random.default_rng(3)
    X, y = rng.normal(size=(30, 6)), np.repeat([0, 1, 2], 10)
    monkeypatch.setattr(laplace._Problem, "newton", failing_at({0, 1}))
    model, scales, log_ev = laplace.fit_sharp(template(X, y, 3), X, y)
    assert np.isneginf(log_ev[:2]).all() and np.isfinite(model.params["beta_mean"]).all()
    monkeypatch.setattr(laplace._Problem, "newton", failing_at(set(range(len(laplace.GRID)))))
    with pytest.raises(ValueError, match="could not be found at any prior scale"):
        laplace.fit_sharp(template(X, y, 3), X, y)
    # The default search by the variational bound skips a failing scale alike.
    fit = learning.kovani_softmax_fit

    class Failing:
        kovani_softmax_evidence = learning.kovani_softmax_evidence

        @staticmethod
        def kovani_softmax_fit(*args, w_scale, **kw):
            if w_scale < 0.2:
                raise ValueError("non-finite posterior")
            return fit(*args, w_scale=w_scale, **kw)
    monkeypatch.setattr(empirical_bayes, "_learning", lambda: Failing)
    settings = dict(w_loc=0.0, b_loc=0.0, b_scale=10.0, rng_seed=0, learning_rate=1.0,
                    num_steps=5)
    model, value = empirical_bayes.fit_auto_w_scale(X, y, 3, **settings)
    assert float(model.params["w_scale"]) >= 0.2 and np.isfinite(value)
    Failing.kovani_softmax_fit = staticmethod(lambda *a, **k: (_ for _ in ()).throw(
        ValueError("non-finite posterior")))
    with pytest.raises(ValueError, match="failed at every prior scale"):
        empirical_bayes.fit_auto_w_scale(X, y, 3, **settings)


@pytest.mark.usefixtures("enable_x64")
def test_the_adaptive_rate_starts_from_the_lowest_scale_at_the_two_class_factor(monkeypatch):
    X, y = three_classes()
    bound, _ = empirical_bayes.fit_auto_w_scale(X, y, 3, rng_seed=0, learning_rate=1.0,
                                                num_steps=10, **PRIOR)
    for lowest in (0, 1):       # the lowest scale whose fit succeeds
        with monkeypatch.context() as patch:
            patch.setattr(laplace._Problem, "newton", failing_at(set(range(lowest))))
            model, start, scales, log_ev = laplace.fit_above_with_start(bound, X, y)
            sharp_record = laplace.fit_above(bound, X, y)[0].params
        assert np.flatnonzero(np.isfinite(log_ev))[0] == lowest
        want = laplace.fit_sharp(bound, X, y, scales=scales[lowest:lowest + 1],
                                 temperature=laplace.TEMPERATURE)[0].params
        for key, value in start.params.items():
            if key in ("beta_mean", "beta_cov_chol"):
                np.testing.assert_allclose(value, want[key], rtol=1e-7, atol=1e-9)
            else:   # the sharp record's settings, w_scale among them
                np.testing.assert_array_equal(value, sharp_record[key])
        for key in ("beta_mean", "beta_cov_chol"):
            np.testing.assert_array_equal(model.params[key], sharp_record[key])
        assert not np.array_equal(start.params["beta_cov_chol"], sharp_record["beta_cov_chol"])
    # The classifier's race: the calm rate (and model_) sharp, the adaptive rate from the
    # start; a fixed rate has no race to start.
    clf = sharp().fit(X, y)
    once, sweeps = clf._state().race.models
    assert once is clf.model_
    assert not np.array_equal(sweeps.params["beta_mean"], once.params["beta_mean"])
    assert sharp(adaptation_rate="once").fit(X, y)._state().race is None


def test_the_climb_stops_where_the_leave_one_out_predictive_does_not_follow(monkeypatch):
    X, y = three_classes()
    scales = 0.05 * 2.0 ** np.arange(7)
    _, _, log_ev = laplace.fit_sharp(template(X, y, 3), X, y, scales=scales)
    chosen = int(np.argmax(log_ev - laplace.PENALTY * np.log2(scales / scales[0])))
    assert chosen >= 2
    scores = laplace._Problem.temperature_and_scores
    for favoured, want in ((1, 1), (chosen, chosen)):
        def tilted(self, theta, cov, omega):
            # Each scale's leave-one-out predictive, the favoured scale's raised above all.
            t, s = scores(self, theta, cov, omega)
            at = int(np.argmin(np.abs(self.prec[0, 0] - scales ** -2.0)))
            return t, s + (100.0 if at == favoured else 0.0) / len(s)
        monkeypatch.setattr(laplace._Problem, "temperature_and_scores", tilted)
        model = laplace.fit_sharp(template(X, y, 3), X, y, scales=scales)[0]
        assert model.params["w_scale"] == pytest.approx(scales[want] / np.sqrt(2 / 3))
