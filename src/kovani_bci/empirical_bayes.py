"""Settings chosen from the data: the prior scale by the evidence of the calibration trials.

With ten or twenty calibration trials cross-validation has too few trials to score a
regularisation strength; a Bayesian decoder can score one on the calibration trials
themselves, by the variational lower bound on their marginal likelihood (the evidence,
:func:`kovani_bci.evidence`).

:func:`fit_auto_w_scale` searches the prior scale of the feature weights along a log grid
around a scale read off the features (the one that gives the prior's logits unit standard
deviation): three scales a factor 4 apart, a fourth beyond the best when that is at an end,
then a fit at the vertex of the parabola through the best and its neighbours in log scale.
Four or five fits and evidences in all; the best of them is kept.

:class:`RateRace` chooses how much each online trial counts by the prequential evidence:
candidate rates run side by side, and the one whose predictions of each batch before
learning it were best so far is the decoder's.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from kovani_bci.kovani_io import KovaniModel

__all__ = ["AUTO", "ADAPTATION_RATES", "RateRace", "check_adaptation_rate", "feature_scale",
           "fit_auto_w_scale"]

AUTO = "auto"

# The search: the factor between trial scales, and how many steps it may take beyond the
# first three, around the features' own scale.
_STEP = 4.0
_EXTENSIONS = 1


def _learning():
    from kovani_bci.models.kovani_softmax import learning
    return learning


def feature_scale(X: np.ndarray) -> float:
    """The weight scale at which the prior's logits have unit standard deviation.

    A logit x . w with independent weights of standard deviation s varies across trials
    with variance s^2 * sum_f var(x_f); the scale that makes it 1. Constant features give 1.
    """
    spread = float(np.sum(np.var(X, axis=0))) if len(X) > 1 else 0.0
    return 1.0 / math.sqrt(spread) if spread > 0 and math.isfinite(spread) else 1.0


def _vertex(log_s: np.ndarray, values: np.ndarray) -> float | None:
    """The log scale at the maximum of the parabola through three points, or None."""
    a, b, c = np.polyfit(log_s, values, 2)
    if not (a < 0 and math.isfinite(b / a)):
        return None
    return float(-b / (2 * a))


def _best(tried: list) -> tuple:
    return max(tried, key=lambda t: t[0] if math.isfinite(t[0]) else -math.inf)


def fit_auto_w_scale(X: np.ndarray, y: np.ndarray, n_classes: int,
                     **settings) -> tuple[KovaniModel, float]:
    """Fit with the prior scale of the feature weights that maximises the evidence.

    Parameters
    ----------
    X : ndarray of shape (n_trials, n_features), float64
    y : ndarray of shape (n_trials,)
        0-based class indices.
    n_classes : int
    **settings
        Every other argument of ``kovani_softmax_fit`` but ``w_scale`` and ``label_base``
        (the labels are 0-based): ``w_loc``, ``b_loc``, ``b_scale``, ``rng_seed``,
        ``learning_rate``, ``num_steps``.

    Returns
    -------
    model : KovaniModel
        The fit at the chosen scale, which its record holds as ``w_scale``.
    evidence : float
        Its evidence on ``X, y``.
    """
    learning = _learning()
    failures: list[ValueError] = []

    def scored(scale: float) -> tuple[float, KovaniModel | None, float]:
        # A scale whose fit fails (a non-finite posterior in float32, say) is skipped.
        try:
            model = learning.kovani_softmax_fit(X, y, n_classes, 0, w_scale=scale, **settings)
            return learning.kovani_softmax_evidence(model, X, y), model, scale
        except ValueError as exc:
            failures.append(exc)
            return -math.inf, None, scale

    def chosen(best):
        if best[1] is None:     # every scale failed: the first one's reason
            raise ValueError(f"the fit failed at every prior scale tried: {failures[0]}")
        return best[1], best[0]

    base = feature_scale(X)
    if X.shape[1] == 0:     # no weights to scale: the scale plays no part
        return chosen(scored(base))
    # 1. Three scales a factor _STEP apart, then, while the best is at an end, one more
    #    beyond it (at most _EXTENSIONS): the maximum is then bracketed, or the search
    #    stops at the end of its reach.
    tried = sorted((scored(base * f) for f in (1 / _STEP, 1.0, _STEP)), key=lambda t: t[2])
    if all(t[1] is None for t in tried):    # nothing to walk from
        return chosen(tried[0])
    for _ in range(_EXTENSIONS):
        best = _best(tried)
        if best is tried[0]:
            tried.insert(0, scored(tried[0][2] / _STEP))
        elif best is tried[-1]:
            tried.append(scored(tried[-1][2] * _STEP))
        else:
            break
    # 2. Inside a bracket, the vertex of the parabola through the best and its neighbours.
    best = _best(tried)
    i = next(k for k, t in enumerate(tried) if t is best)
    if 0 < i < len(tried) - 1:
        three = tried[i - 1:i + 2]
        vertex = (_vertex(np.log([t[2] for t in three]), np.array([t[0] for t in three]))
                  if all(math.isfinite(t[0]) for t in three) else None)
        if vertex is not None:
            scale = math.exp(min(max(vertex, math.log(three[0][2])), math.log(three[2][2])))
            if all(abs(math.log(scale / t[2])) > 1e-3 for t in three):
                tried.append(scored(scale))
    return chosen(_best(tried))


# -- the adaptation rate online ------------------------------------------------------------------
#
# How much an online batch counts: "once", the stored posterior the fixed prior of every
# sweep (kovani_softmax_update_fixed_prior: the batch counts once, as in a batch fit of all
# trials), or "sweeps", the running estimate the prior of every sweep (kovani_softmax_update:
# the batch counts about num_steps times, so recent trials outweigh older ones). "auto" runs
# both side by side and publishes the one whose predictions of each batch, made before it
# learnt the batch, have the lower log loss (the prequential evidence), discounted so that
# the choice can change when the signal does.

RATES = ("once", "sweeps")
ADAPTATION_RATES = (AUTO, *RATES)

# Per trial: a loss counts half after about 70 trials.
DISCOUNT = 0.99
# Probabilities below this count as this in the log loss: a trial predicted at 0 would
# otherwise end the race for good.
_FLOOR = 1e-15


def _update_of(rate: str):
    from kovani_bci.models.kovani_softmax import kovani_softmax_update_fixed_prior
    return kovani_softmax_update_fixed_prior if rate == "once" else _learning().kovani_softmax_update


def check_adaptation_rate(value) -> str:
    """``value`` if it names an adaptation rate; ValueError naming the parameter otherwise."""
    if not (isinstance(value, str) and value in ADAPTATION_RATES):
        raise ValueError(f"adaptation_rate must be one of {list(ADAPTATION_RATES)}, got "
                         f"{value!r}")
    return value


@dataclass(frozen=True, eq=False)
class RateRace:
    """Online posteriors, one per rate, and the discounted prequential log loss of each."""

    rates: tuple[str, ...]
    models: tuple[KovaniModel, ...]
    losses: np.ndarray      # (len(rates),) float64

    @staticmethod
    def rates_of(setting: str) -> tuple[str, ...]:
        """The rates an ``adaptation_rate`` setting runs ("auto": all)."""
        return RATES if setting == AUTO else (setting,)

    @classmethod
    def start(cls, model: KovaniModel, rates: tuple[str, ...]) -> "RateRace":
        """Every rate from ``model``, none ahead."""
        return cls(rates, (model,) * len(rates), np.zeros(len(rates)))

    @property
    def leader(self) -> KovaniModel:
        """The model of the lowest loss (the first rate on ties)."""
        return self.models[int(np.argmin(self.losses))]

    def learnt(self, X: np.ndarray, y: np.ndarray, learn, predict_proba) -> "RateRace":
        """The race after every rate has scored, then learnt, the trials ``X, y``.

        ``learn(model, update)`` returns ``model`` after learning the batch with the update
        function ``update``; ``predict_proba(model, X)`` its (n, K) probabilities, column k
        the class index k. Trials of classes a model does not know yet are not scored.
        """
        # Learnt first, so that an update that refuses the batch does so before any
        # prediction of it.
        models = tuple(learn(model, _update_of(rate)) for rate, model in zip(self.rates, self.models))
        probas = [predict_proba(model, X) for model in self.models] if len(self.rates) > 1 else []
        return self.scored(y, models, probas)

    def scored(self, y: np.ndarray, models: tuple[KovaniModel, ...], probas) -> "RateRace":
        """The race after the batch of labels ``y``: ``models`` each rate's posterior after
        learning it, ``probas`` each rate's (n, K) probabilities of it from before (none
        for a single rate)."""
        losses = self.losses
        if len(self.rates) > 1:
            batch = np.empty(len(self.rates))
            for i, proba in enumerate(probas):
                proba = np.asarray(proba, dtype=np.float64)
                known = y < proba.shape[1]
                p = proba[np.arange(len(y)), y] if known.all() else proba[known, y[known]]
                batch[i] = -np.log(np.maximum(p, _FLOOR)).sum()
            losses = DISCOUNT ** len(y) * losses + batch
        return RateRace(self.rates, models, losses)
