"""The posterior of the softmax model at its exact mode, at the prior scale the trials favour.

The sweeps of ``kovani_softmax_fit`` bound each class against all the others in turn; with
many classes and few trials their fixed point drifts toward the reference class (large
negative intercepts, most trials predicted as the reference). :func:`fit_sharp` fits the
same model and prior exactly instead:

1. Along a factor-2 grid of prior scales s of the feature weights, ascending, the maximum
   a posteriori (MAP) coefficients of the reference-class softmax model, by damped Newton
   steps, each scale started from the mode of the one below; and the Laplace approximation
   of the log marginal likelihood there. The prior is that of a symmetric softmax seen
   through the reference class: K independent rows N(0, s^2) per weight (b_scale^2 per
   intercept), whose differences to the reference row, the record's coefficients, are
   centred on w_loc and b_loc with covariance s^2 (I + 1 1^T) across the classes. The
   independent prior N(w_loc, s^2) on each difference held every class to the reference
   one (digits at 5 trials per class: 0.04 nats worse than LogisticRegression at the same
   scale from that alone). The walk stops once the evidence has fallen well below its best.
   A scale whose fit fails (a singular or non-finite step) is skipped.
2. The scale of highest evidence under a hyper-prior that loses :data:`PENALTY` nats per
   doubling of the scale (with two classes and up to 20 trials :data:`PENALTY_TWO_CLASSES`,
   rising with the trials to :data:`PENALTY` at 40): on noise the Laplace evidence is
   nearly flat over several doublings, and without it the decoder fits the noise.
3. Each non-reference class's Gaussian: the MAP as mean, and as covariance the one of the
   Polya-Gamma bound at the mode (the class against the others, offsets at the mode, c^2 =
   E[psi^2], its prior the class's own share of the coupled prior: precision
   (1 - 1/K) / s^2, each class's own scale s sqrt(K / (K - 1)), the record's ``w_scale``),
   multiplied by a temperature. The bound's curvature, unlike the likelihood's, does not
   fade where trials are separated; the temperature (a cold posterior) narrows the
   directions that the trials leave at the prior's width, which an isotropic prior makes
   far too wide for the predictive (see the README). No one factor suits every data set
   (digits want 0.01, trials near chance 0.3), so with more than two classes it is the
   widest of :data:`TEMPERATURES` whose approximate leave-one-out log predictive of the
   calibration trials is within one standard error of the highest
   (:meth:`_Problem.temperature`: each trial's logits with the trial's own quadratic term
   taken out of the Laplace approximation at the mode, and the bound's variance less the
   trial's weight, sampled as the predictions sample them); with two classes
   :data:`TEMPERATURE`. With more than two classes the scale is then lowered to the lowest
   of the walk whose leave-one-out predictive (at its own factor) is at least that of the
   scale chosen in 2.: the evidence climbed where held-out trials did not follow on
   simulated motor imagery (3 classes, 20 trials per class: 0.581 against 0.550 nats).

:func:`fit_above` is the classifier's ``w_scale="auto"``: the grid starts at the scale the
variational bound chose (``empirical_bayes.fit_auto_w_scale``; each class's own scale) and
climbs :data:`DOUBLINGS` doublings. The bound is honest on noise and with two classes, but
with few trials it picks scales far too small where the trials do carry signal; the Laplace
evidence moves up from there only when the trials pay for it, and never below the bound's
choice (where, at 5 trials per class, it would hold two-class decoders at chance).
:func:`fit_above_with_start` also gives where the classifier's adaptive rate starts online:
the mode at the bound's scale with the two-class factor, since a climbed, narrowed
posterior follows a drifting session slowly.

The prior is isotropic in the feature weights, so the data inform only the span of the
trials: with the thin SVD X = U S V^T, every weight vector is w_loc + V z + (a part
orthogonal to V that keeps its prior), and the Newton steps work on the r = rank(X)
coordinates z and the intercept. The cost grows with min(n_trials, n_features), not with
n_features, until the last step, which builds each class's (d+1) x (d+1) covariance.

Arithmetic is float64 NumPy; the record stores the coefficients in the floating type of the
fit it is built on.
"""

from __future__ import annotations

import math

import numpy as np

from kovani_bci.adaptation import with_entries
from kovani_bci.kovani_io import KovaniModel

__all__ = ["DOUBLINGS", "GRID", "PENALTY", "PENALTY_TWO_CLASSES", "TEMPERATURE", "TEMPERATURES",
           "fit_above", "fit_above_with_start", "fit_sharp", "scale_grid"]

# The scales tried: the features' own scale (unit prior logit variance) times these.
GRID = 2.0 ** np.arange(-4, 7)
# The doublings above the variational bound's scale that fit_above tries.
DOUBLINGS = 6
# Log hyper-prior odds lost per doubling of the scale (0.25 and 0.5 let recordings near
# chance climb to overconfident scales).
PENALTY = 1.0
# With two classes and few trials: one class's evidence moves little over the doublings
# at 5 and 10 trials per class, and 1 nat held the walk near the bound's small scale
# (simulated tangent space at 10 per class 0.061 nats behind LogisticRegression, 0.024
# with 0.5). Up to 20 trials this, rising as trials / 40 to PENALTY at 40: 0.5 at 60
# trials lost 0.014 and 0.037 nats online on simulated sessions; 0.25 at 10 trials lost
# 0.02 on breast cancer and let random labels in 42 features climb (1.022 x chance).
PENALTY_TWO_CLASSES = 0.5
# The factors on each class's covariance that the approximate leave-one-out predictive of
# the calibration trials chooses from (no one factor suits every data set: with many
# informative classes the smallest is best, near chance the largest). With 1 among them
# the leave-one-out of 5 trials per class chose it on drifting simulated sessions (8 draws:
# 0.630 against 0.614 without it).
TEMPERATURES = np.array([0.01, 0.03, 0.1, 0.3])
# The factor with two classes, and where the leave-one-out predictive cannot be computed.
# With two classes the sharper factors gained at most 0.02 nats (simulated sessions, breast
# cancer) and lost 0.14 and 0.09 on the Blink recording at 5 and 10 trials per class, whose
# test session the calibration trials do not foresee.
TEMPERATURE = 0.3
# Standard normal draws of the leave-one-out predictive (fixed: the choice is deterministic).
_DRAWS = np.random.default_rng(0).standard_normal((256, 1, 1))
_MAX_NEWTON = 50
_STEPS = 0.5 ** np.arange(8)       # the step lengths a damped Newton step tries


def scale_grid(X: np.ndarray) -> np.ndarray:
    """The scales of the feature weights tried for the trials ``X``."""
    from kovani_bci.empirical_bayes import feature_scale
    return feature_scale(X) * GRID


def _softmax_terms(eta: np.ndarray, Y: np.ndarray):
    """Log likelihood and non-reference probabilities of logits ``eta`` (..., n, K-1)."""
    top = np.maximum(eta.max(axis=-1), 0.0)
    ex = np.exp(eta - top[..., None])
    norm = np.exp(-top) + ex.sum(axis=-1)
    lse = top + np.log(norm)
    loglik = (eta * Y).sum(axis=(-1, -2)) - lse.sum(axis=-1)
    return loglik, ex / norm[..., None]


class _Problem:
    """The MAP problem in the span of the trials, for a batch of prior precisions."""

    def __init__(self, X, y, n_classes, ref, w_loc, b_loc, b_scale, scales):
        n, d = X.shape
        if n and d:
            _, s, Vt = np.linalg.svd(X, full_matrices=False)
            self.V = Vt[s > max(s[0], np.finfo(np.float64).tiny) * max(n, d)
                        * np.finfo(np.float64).eps].T
        else:
            self.V = np.zeros((d, 0))
        r = self.V.shape[1]
        self.Z = np.column_stack([X @ self.V, np.ones(n)])          # (n, q)
        self.offset = w_loc * X.sum(axis=1) + b_loc                 # (n,)
        self.non_ref = np.array([k for k in range(n_classes) if k != ref])
        self.Y = (y[:, None] == self.non_ref[None, :]).astype(np.float64)   # (n, m)
        self.scales = np.asarray(scales, dtype=np.float64)
        self.prec = np.concatenate([np.repeat((1.0 / self.scales ** 2)[:, None], r, axis=1),
                                    np.full((len(scales), 1), 1.0 / b_scale ** 2)], axis=1)
        self.m, self.q, self.r = len(self.non_ref), r + 1, r
        # The prior of a symmetric softmax (every class's row independent, of the same
        # scale) seen through the differences to the reference row: their covariance is
        # scale^2 (I + 1 1^T), its inverse I - 1 1^T / K, of determinant 1 / K.
        self.coupling = np.eye(self.m) - 1.0 / n_classes
        self.log_det_coupling = -math.log(n_classes)

    def logits(self, theta):            # theta (..., m, q) -> (..., n, m)
        return self.offset[:, None] + np.einsum("nq,...mq->...nm", self.Z, theta)

    def objective(self, theta, prec):
        loglik, _ = _softmax_terms(self.logits(theta), self.Y)
        return -loglik + 0.5 * np.einsum("...mq,mk,...kq,...q->...", theta, self.coupling,
                                         theta, prec)

    def hessian(self, theta, prec):
        """Hessian of the negative log posterior, (S, D, D), and the gradient, (S, m, q)."""
        S, m, q = theta.shape
        n, D = len(self.Z), m * q
        _, p = _softmax_terms(self.logits(theta), self.Y)            # (S, n, m)
        grad = (np.einsum("snm,nq->smq", p - self.Y, self.Z)
                + np.einsum("mk,skq->smq", self.coupling, theta) * prec[:, None, :])
        W = p[..., :, None] * np.eye(m) - p[..., :, None] * p[..., None, :]
        H = (W.reshape(S, n, m * m).transpose(0, 2, 1) @ self.zz).reshape(S, m, m, q, q)
        H = H.transpose(0, 1, 3, 2, 4).reshape(S, D, D)
        H += np.einsum("mk,sq,qr->smqkr", self.coupling, prec, np.eye(q)).reshape(S, D, D)
        return H, grad

    def newton(self, i: int, theta: np.ndarray) -> np.ndarray:
        """The MAP at scale ``i`` by damped Newton steps from ``theta`` (m, q)."""
        prec = self.prec[i:i + 1]
        theta = theta[None].copy()
        for _ in range(_MAX_NEWTON):
            H, grad = self.hessian(theta, prec)
            step = -np.linalg.solve(H[0], grad.reshape(-1)).reshape(theta.shape)
            decrease = -float(np.sum(grad * step))          # Newton decrement squared
            if not math.isfinite(decrease):
                raise np.linalg.LinAlgError("non-finite Newton step")
            if decrease < 1e-10:        # converged: the last step, nearly exact, is taken
                theta = theta + step    # (it matters along directions of little curvature)
                break
            trials = theta + _STEPS[:, None, None, None] * step
            values = self.objective(trials, prec)[:, 0]
            current = float(self.objective(theta, prec)[0])
            k = int(np.argmin(np.where(np.isfinite(values), values, np.inf)))
            if not values[k] < current:
                break
            theta = trials[k]
        return theta[0]

    def walk(self, patience: float):
        """MAP and Laplace log evidence of each scale, ascending, each Newton run started
        from the mode of the scale below; stops once the evidence has fallen ``patience``
        below the best. Scales where the fit fails get -inf."""
        n, q = len(self.Z), self.q
        self.zz = np.einsum("na,nb->nab", self.Z, self.Z).reshape(n, q * q)
        S = len(self.scales)
        thetas = np.zeros((S, self.m, q))
        log_ev = np.full(S, -np.inf)
        theta = np.zeros((self.m, q))
        for i in range(S):
            try:
                with np.errstate(all="ignore"):
                    found = self.newton(i, theta)
                    H, _ = self.hessian(found[None], self.prec[i:i + 1])
                    chol = np.linalg.cholesky(H[0])
                value = (-float(self.objective(found[None], self.prec[i:i + 1])[0])
                         + 0.5 * self.m * float(np.log(self.prec[i]).sum())
                         + 0.5 * q * self.log_det_coupling
                         - float(np.log(np.diagonal(chol)).sum()))
            except np.linalg.LinAlgError:
                continue
            if not (math.isfinite(value) and np.isfinite(found).all()):
                continue
            theta, thetas[i], log_ev[i] = found, found, value
            if value < log_ev.max() - patience:
                break
        return thetas, log_ev

    def class_covariances(self, theta, sweeps: int = 3):
        """Each class's Gaussian covariance of the Polya-Gamma bound at the mode, (m, q, q),
        and each trial's Polya-Gamma weight in it, (n, m).

        For class k against the others with the offsets at the mode, the precision
        P_kk prior + Z^T diag(omega) Z, omega = tanh(c/2) / 2c, with c^2 = E[psi^2] under
        that Gaussian (a few fixed-point steps from c = |psi|): the curvature of the bound
        that the sweeps use, not of the likelihood, which fades where the trials are
        separated. P_kk = 1 - 1/K is the class's own share of the coupled prior (its
        precision given the other rows).
        """
        m, q = theta.shape
        eta = self.logits(theta[None])[0]                           # (n, m)
        full = np.concatenate([np.zeros((len(eta), 1)), eta], axis=-1)
        own = self.coupling[0, 0] * self.prec[0]
        cov, omegas = np.empty((m, q, q)), np.empty_like(eta)
        for k in range(m):
            others = np.delete(full, k + 1, axis=-1)
            top = others.max(axis=-1)
            offset = top + np.log(np.exp(others - top[..., None]).sum(axis=-1))
            psi = eta[:, k] - offset                                # (n,)
            c2 = psi ** 2
            for _ in range(sweeps):
                c = np.sqrt(np.maximum(c2, 1e-12))
                omega = np.where(c < 1e-4, 0.25, np.tanh(c / 2) / (2 * c))
                P = (self.Z * omega[:, None]).T @ self.Z
                P[np.arange(q), np.arange(q)] += own
                cov[k] = np.linalg.inv(P)
                c2 = psi ** 2 + np.einsum("na,ab,nb->n", self.Z, cov[k], self.Z)
            omegas[:, k] = omega
        return 0.5 * (cov + np.swapaxes(cov, -1, -2)), omegas

    def leave_one_out(self, theta, cov, omega):
        """Each trial's logits with the trial left out, approximately: their mean (n, m)
        from the Laplace approximation at the mode, the cavity of the trial's own
        quadratic term; and each class's variance (n, m) from the bound's covariance
        ``cov`` less the trial's own weight ``omega``."""
        m, q = theta.shape
        eta = self.logits(theta[None])[0]
        _, p = _softmax_terms(eta, self.Y)
        H, _ = self.hessian(theta[None], self.prec)
        inverse = np.linalg.inv(H[0]).reshape(m, q, m, q)
        C = np.einsum("na,kalb,nb->nkl", self.Z, inverse, self.Z, optimize=True)
        W = p[:, :, None] * np.eye(m) - p[:, :, None] * p[:, None, :]
        cavity = np.linalg.inv(C) - W                               # (n, m, m) precisions
        mean = eta - np.linalg.solve(cavity, (self.Y - p)[..., None])[..., 0]
        v = np.einsum("na,kab,nb->nk", self.Z, cov, self.Z)
        return mean, 1.0 / np.maximum(1.0 / v - omega, 1e-12)

    def temperature(self, theta, cov, omega) -> float:
        """The widest factor on ``cov`` whose approximate leave-one-out log predictive of the
        trials (each class's logit Gaussian, as the record's predictions sample them) is
        within one standard error of the highest."""
        return self.temperature_and_scores(theta, cov, omega)[0]

    def temperature_and_scores(self, theta, cov, omega):
        """:meth:`temperature`, and each trial's leave-one-out log predictive at it (n,)."""
        mean, var = self.leave_one_out(theta, cov, omega)
        if not (np.isfinite(mean).all() and np.isfinite(var).all()):
            raise np.linalg.LinAlgError("non-finite leave-one-out predictive")
        scores = []
        for t in TEMPERATURES:
            eta = mean[None] + np.sqrt(t * var)[None] * _DRAWS      # (draws, n, m)
            top = np.maximum(eta.max(axis=-1), 0.0)
            norm = np.exp(-top) + np.exp(eta - top[..., None]).sum(axis=-1)
            own = np.exp((eta * self.Y).sum(axis=-1) - top)        # exp(0) for the reference
            scores.append(np.log(np.mean(own / norm, axis=0)))
        scores = np.array(scores)                                  # (factors, trials)
        best = int(np.argmax(scores.sum(axis=1)))
        # The widest factor within one standard error of the best (the trials' paired
        # differences): a few trials rarely tell the factors apart, and the narrow ones also
        # slow every later online update (simulated drift 1.5, 60 calibration trials, 5
        # draws: 0.042 nats behind the former 0.3 against 0.099 for the best alone).
        gap = scores[best] - scores
        within = gap.sum(axis=1) <= np.sqrt(gap.shape[1]) * gap.std(axis=1, ddof=1)
        within[best] = True
        chosen = int(np.flatnonzero(within).max())
        return float(TEMPERATURES[chosen]), scores[chosen]


def fit_sharp(template: KovaniModel, X: np.ndarray, y: np.ndarray,
              scales: np.ndarray | None = None, penalty: float | None = None,
              temperature: float | None = None, patience: float = 10.0
              ) -> tuple[KovaniModel, np.ndarray, np.ndarray]:
    """The posterior of ``template``'s model and prior on ``X, y`` at the scale of highest
    evidence.

    Parameters
    ----------
    template : KovaniModel
        A fit on the same trials: its reference class, class bookkeeping, prior locations,
        ``b_scale``, seed and floating type are kept, its coefficients replaced.
    X : ndarray (n, d) float64
    y : ndarray (n,) 0-based class indices
    scales : the weight scales tried, ascending (default :func:`scale_grid`); one scale
        gives the posterior at that scale.
    penalty : log hyper-prior odds lost per doubling of the scale; None: :data:`PENALTY`,
        with two classes n_trials / 40 within [:data:`PENALTY_TWO_CLASSES`, PENALTY].
    temperature : the factor on each class's covariance (1: the bound's own); None: with
        more than two classes the widest of :data:`TEMPERATURES` within one standard error
        of the highest approximate leave-one-out predictive, and the scale lowered to the
        lowest whose predictive is as high; else (and where that cannot be computed)
        :data:`TEMPERATURE`.
    patience : the walk up the scales stops once the evidence is this far below its best.

    Returns
    -------
    model : the record, its ``w_scale`` each class's own prior scale at the scale s chosen,
        s sqrt(K / (K - 1)) (its prior given the other rows)
    scales, log_evidence : each scale and its Laplace log marginal likelihood (-inf where
        the fit failed or the walk stopped before it)
    """
    model, _, scales, log_ev = _fit(template, X, y, scales, penalty, temperature, patience)
    return model, scales, log_ev


def _fit(template, X, y, scales, penalty, temperature, patience, start=False):
    """:func:`fit_sharp`'s record, and with ``start`` the online start of
    :func:`fit_above_with_start` (else None), then the scales and their log evidence."""
    p = template.params
    n_classes, ref = int(p["n_classes"]), int(p["ref_class"])
    scales = scale_grid(X) if scales is None else np.asarray(scales, dtype=np.float64)
    problem = _Problem(X, y, n_classes, ref, float(p["w_loc"]), float(p["b_loc"]),
                       float(p["b_scale"]), scales)
    if penalty is None:
        penalty = (min(max(len(y) / 40.0, PENALTY_TWO_CLASSES), PENALTY) if n_classes == 2
                   else PENALTY)
    thetas, log_ev = problem.walk(patience)
    if not np.isfinite(log_ev).any():
        raise ValueError("the posterior mode could not be found at any prior scale")
    best = int(np.argmax(log_ev - penalty * np.log2(scales / scales[0])))
    every_prec = problem.prec

    def covariances(i):
        problem.prec = every_prec[i:i + 1]
        return problem.class_covariances(thetas[i])                          # (m, q, q), (n, m)

    with np.errstate(all="ignore"):
        blocks, omega = covariances(best)
        if temperature is None:
            temperature = TEMPERATURE
            if n_classes > 2:
                try:
                    temperature, loo = problem.temperature_and_scores(thetas[best], blocks, omega)
                    # The climb only as far as the leave-one-out predictive follows it: the
                    # lowest scale whose predictive is at least the chosen one's.
                    for i in np.flatnonzero(np.isfinite(log_ev[:best])):
                        b_i, o_i = covariances(i)
                        t_i, loo_i = problem.temperature_and_scores(thetas[i], b_i, o_i)
                        if loo_i.sum() >= loo.sum():
                            best, blocks, omega, temperature = int(i), b_i, o_i, t_i
                            break
                except np.linalg.LinAlgError:
                    pass
    model = _record(template, X, problem, thetas[best], scales[best], temperature * blocks,
                    temperature)
    lowest = int(np.flatnonzero(np.isfinite(log_ev))[0])
    if not start or (lowest == best and temperature == TEMPERATURE):
        return model, (model if start else None), scales, log_ev
    try:        # a start that cannot be built leaves both rates at the model, as before
        with np.errstate(all="ignore"):
            blocks, _ = covariances(lowest)
        first = _record(template, X, problem, thetas[lowest], scales[lowest],
                        TEMPERATURE * blocks, TEMPERATURE)
    except (ValueError, np.linalg.LinAlgError):
        return model, model, scales, log_ev
    # The model's settings (its w_scale among them), the lowest scale's coefficients: a
    # classifier file stores a rate's posterior as coefficients beside the model.
    return model, with_entries(model, beta_mean=first.params["beta_mean"],
                               beta_cov_chol=first.params["beta_cov_chol"]), scales, log_ev


def _record(template, X, problem, theta, scale, blocks, temperature):
    """``template`` with the coefficients ``theta`` at the weight scale ``scale`` and the
    class covariances ``blocks`` (in the trials' span; outside it each weight keeps its
    prior variance times ``temperature``)."""
    p = template.params
    own_scale = scale / math.sqrt(problem.coupling[0, 0])
    d, q = X.shape[1], problem.q
    T = np.zeros((d + 1, q))
    T[:d, :problem.r] = problem.V
    T[d, problem.r] = 1.0
    m0 = np.append(np.full(d, float(p["w_loc"])), float(p["b_loc"]))
    beta_mean = m0[None] + theta @ T.T
    # Orthogonal to the trials each weight keeps its prior variance, tempered alike.
    outside = np.zeros((d + 1, d + 1))
    outside[:d, :d] = temperature * own_scale ** 2 * (np.eye(d) - problem.V @ problem.V.T)
    full = T[None] @ blocks @ T.T[None] + outside[None]
    beta_chol = np.linalg.cholesky(0.5 * (full + np.swapaxes(full, 1, 2)))
    if not (np.isfinite(beta_mean).all() and np.isfinite(beta_chol).all()):
        raise ValueError("non-finite posterior at the chosen prior scale")
    dtype = p["beta_mean"].dtype
    return with_entries(template, beta_mean=beta_mean.astype(dtype),
                        beta_cov_chol=beta_chol.astype(dtype), w_scale=float(own_scale))


def fit_above(model: KovaniModel, X: np.ndarray, y: np.ndarray, doublings: int = DOUBLINGS
              ) -> tuple[KovaniModel, np.ndarray, np.ndarray]:
    """:func:`fit_sharp` on the scales from ``model``'s ``w_scale`` (the variational bound's
    choice, ``empirical_bayes.fit_auto_w_scale``) up ``doublings`` doublings."""
    # Each class's own prior scale (given the other rows) starts at the bound's choice.
    K = int(model.params["n_classes"])
    scale = float(model.params["w_scale"]) * math.sqrt(1.0 - 1.0 / K)
    return fit_sharp(model, X, y, scales=scale * 2.0 ** np.arange(doublings + 1))


def fit_above_with_start(model: KovaniModel, X: np.ndarray, y: np.ndarray,
                         doublings: int = DOUBLINGS
                         ) -> tuple[KovaniModel, KovaniModel, np.ndarray, np.ndarray]:
    """:func:`fit_above`'s record, and where a race of adaptation rates should start its
    adaptive rate: the mode at the lowest scale of the walk (the bound's choice, where its
    fit succeeded) with the covariance factor :data:`TEMPERATURE`, in a record of the same
    settings (``model`` itself where that is the fit's own scale and factor).

    The climb above the bound's scale and the narrow factors help at short calibration, but
    a posterior sharpened that way learns slowly from later trials: a session that drifts
    after 60 calibration trials lost 0.21 nats per trial with it (3 simulated classes,
    drift 1.5, 20 draws). The calm rate keeps the sharp record, which the predictions use
    until the adaptive one leads.

    Returns (model, start, scales, log_evidence)."""
    K = int(model.params["n_classes"])
    scale = float(model.params["w_scale"]) * math.sqrt(1.0 - 1.0 / K)
    return _fit(model, X, y, scale * 2.0 ** np.arange(doublings + 1), None, None, 10.0, start=True)
