"""A scikit-learn classifier over the functional ``kovani_softmax`` API."""

from __future__ import annotations

import functools
import math
import numbers
import operator
import os
import threading
from dataclasses import dataclass, field

import jax
import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.exceptions import NotFittedError
from sklearn.utils import check_random_state
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import validate_data

from kovani_bci import adaptation, empirical_bayes, laplace, placement
# The bounds of the sweep count and of the posterior draws per prediction are those of model
# files: larger values only ever meant a hang or an overflow.
from kovani_bci.kovani_io import (
    EXTRA_PREFIX,
    FLOAT_SCALARS,
    INT_SCALARS,
    MAX_NUM_STEPS,
    MAX_POSTERIOR_SAMPLES,
    KovaniModel,
    check_record_rule,
    finite_real,
    read_archive,
    write_archive,
)

# Recent trials kept per class for new classes to learn against (see ``replay_per_class``).
MAX_REPLAY_PER_CLASS = 1_000

_SEED_LIMIT = 2**31 - 1   # seeds stay within int32, where JAX treats them alike in both modes

_LABELS_KEY = EXTRA_PREFIX + "class_labels"
_SAMPLES_KEY = EXTRA_PREFIX + "n_posterior_samples"
_NAMES_KEY = EXTRA_PREFIX + "feature_names_in"
_REPLAY_SIZE_KEY = EXTRA_PREFIX + "replay_per_class"
_REPLAY_X_KEY = EXTRA_PREFIX + "replay_X"
_REPLAY_Y_KEY = EXTRA_PREFIX + "replay_y"
_W_SCALE_KEY = EXTRA_PREFIX + "w_scale"     # "auto", where the scale is chosen at each fit
_RATE_KEY = EXTRA_PREFIX + "adaptation_rate"
# adaptation_rate="auto": the discounted log loss of each rate, and the posteriors of the
# rates other than the leader (whose posterior is the record), stacked in rate order.
_RACE_LOSSES_KEY = EXTRA_PREFIX + "rate_losses"
_RACE_MEAN_KEY = EXTRA_PREFIX + "rate_beta_mean"
_RACE_CHOL_KEY = EXTRA_PREFIX + "rate_beta_cov_chol"
_RACE_KEYS = (_RACE_LOSSES_KEY, _RACE_MEAN_KEY, _RACE_CHOL_KEY)
# Settings of the Bayesian options, each a float64 scalar with the range __init__ allows.
_REAL_SETTINGS = {
    "prior_widening": (lambda v: 0 < v, "a finite number > 0"),
    "forgetting_factor": (lambda v: 0 < v <= 1, "in (0, 1]"),
    "reject_below": (lambda v: 0 <= v <= 1, "in [0, 1]"),
}
_SETTING_NAMES = ("w_loc", "w_scale", "b_loc", "b_scale", "learning_rate", "num_steps",
                  "n_posterior_samples", "replay_per_class", "prior_widening",
                  "forgetting_factor", "reject_below", "random_state", "adaptation_rate")
_EXTRA_KEYS = (_LABELS_KEY, _SAMPLES_KEY, _NAMES_KEY, _REPLAY_SIZE_KEY, _REPLAY_X_KEY,
               _REPLAY_Y_KEY, _W_SCALE_KEY, _RATE_KEY, *_RACE_KEYS,
               *(EXTRA_PREFIX + name for name in _REAL_SETTINGS))

_NUMERIC = "biuf"
# Trials up to this many values have their last prediction kept (see ``_model_proba``).
_MEMO_SIZE = 1 << 16
# The element type of each scalar entry of a record (kovani_io.record_scalar).
_RECORD_SCALAR_TYPES = {**dict.fromkeys(INT_SCALARS, np.dtype(np.int64)),
                        **dict.fromkeys(FLOAT_SCALARS, np.dtype(np.float64))}
_STORABLE_LABEL_KINDS = "biufU"


# The compiled modules, imported on first use (importing them starts JAX's backends) and
# kept; their functions are looked up on them at every call.
@functools.cache
def _package():
    from kovani_bci.models import kovani_softmax
    return kovani_softmax


def _learning():
    return _package().learning


def _inference():
    return _package().inference


def _fixed_prior_update():
    from kovani_bci.models.kovani_softmax.adaptation import kovani_softmax_update_fixed_prior
    return kovani_softmax_update_fixed_prior


def _race_functions_published() -> bool:
    """Whether the functions the race of rates calls one by one are the package's own."""
    package = _package()
    return all(now is own for now, own in zip(
        (package.kovani_softmax_update_fixed_prior, _learning().kovani_softmax_update,
         _inference().kovani_softmax_predict_proba), package._RACE_FUNCTIONS))


def _on_device(method):
    """Runs `method` with JAX computing on the classifier's ``device`` (kovani_bci.placement);
    "auto" leaves each call to the placement rule, or to the caller's jax.default_device."""
    @functools.wraps(method)
    def run(self, *args, **kwargs):
        with placement.running_on(placement.resolve_device(self.device)):
            return method(self, *args, **kwargs)
    return run


def _prior_model_and_labels(prior):
    """The record of an earlier model passed to ``fit`` and the label of each class index."""
    if isinstance(prior, KovaniSoftmaxClassifier):
        fitted = prior._state()             # one consistent state, even while it learns
        return fitted.model, fitted.model_labels
    if isinstance(prior, KovaniModel):
        # The rule first: the labels below are as many as the record claims classes.
        try:
            check_record_rule(prior.params)
        except ValueError as exc:
            raise ValueError(f"prior: invalid model record: {exc}") from None
        p = prior.params
        return prior, np.arange(int(p["n_classes"]), dtype=np.int64) + int(p["label_base"])
    raise TypeError("prior must be a fitted KovaniSoftmaxClassifier or a KovaniModel (of a "
                    f"pipeline, its last step), got {type(prior).__name__}")


def _check_names(X, prior_names) -> None:
    """Refuse columns named otherwise than the prior's (scikit-learn's feature names: the
    columns of a frame whose column names are all text). The prior's weights would be
    paired with the wrong features, a frame with its columns reordered, say."""
    columns = getattr(X, "columns", None)
    if prior_names is None or columns is None or not all(isinstance(c, str) for c in columns):
        return
    names = list(columns)
    if names != list(prior_names):
        differ = [f"{a!r} for {b!r}" for a, b in zip(names, prior_names) if a != b][:3]
        raise ValueError(f"X has feature names that differ from those the prior was fitted "
                         f"with ({', '.join(differ) or 'another number of them'}); pass the "
                         f"columns the prior knows, in its order")


def _seed_from(random_state) -> int:
    """A seed in [0, 2**31 - 1) from a scikit-learn style ``random_state``."""
    if isinstance(random_state, numbers.Integral) and not isinstance(random_state, bool):
        if 0 <= int(random_state) < _SEED_LIMIT:
            return int(random_state)
        if not 0 <= int(random_state) <= 2**32 - 1:
            raise ValueError(f"random_state must be None, an integer in [0, 2**32 - 1] or a "
                             f"NumPy RandomState, got {random_state!r}")
    return int(check_random_state(random_state).randint(0, _SEED_LIMIT))


def _is_auto(value) -> bool:
    return isinstance(value, str) and value == empirical_bayes.AUTO


def _check_count(name: str, value, low: int, high: int) -> int:
    if (isinstance(value, bool) or not isinstance(value, numbers.Integral)
            or not low <= value <= high):
        raise ValueError(f"{name} must be an integer >= {low} and <= {high}, got {value!r}")
    return int(value)


# -- labels ------------------------------------------------------------------------------------

def _plain_labels(y, X: np.ndarray) -> bool:
    """Whether ``y`` is a 1-D integer array of one label per trial: labels scikit-learn's
    target checks pass unchanged."""
    return (type(y) is np.ndarray and y.ndim == 1 and y.dtype.kind in "iu"
            and y.shape[0] == X.shape[0])


def _same_kind(a: np.ndarray, b: np.ndarray) -> bool:
    ka, kb = a.dtype.kind, b.dtype.kind
    return (ka in _NUMERIC and kb in _NUMERIC) or ka == kb


def _as_labels_of(values: np.ndarray, like: np.ndarray, what: str) -> np.ndarray:
    """``values`` in the dtype of the labels ``like``, refusing any change of value.

    Keeps an integer classifier's labels integers when it is handed ``1.0``, and refuses a
    value the classifier's label type cannot hold (``2`` for boolean labels, ``2**53 + 1``
    for float labels) rather than merging it into a neighbouring label.
    """
    if values.dtype == like.dtype:
        return values
    if values.dtype.kind in _NUMERIC and like.dtype.kind in _NUMERIC:
        with np.errstate(invalid="ignore", over="ignore"):
            cast = values.astype(like.dtype)
        # Python compares ints and floats exactly, so any rounding shows up here.
        lost = [v for v, c in zip(values.tolist(), cast.tolist()) if v != c]
        if lost:
            raise ValueError(f"{what} holds labels {sorted(set(lost))[:5]!r} that the "
                             f"classifier's labels (dtype {like.dtype}) cannot represent "
                             f"exactly; pass labels of dtype {like.dtype}")
        return cast
    if values.dtype.kind == "U" and like.dtype.kind == "O":
        return values.astype(object)
    if (values.dtype.kind == "O" and like.dtype.kind == "U"
            and all(isinstance(v, str) for v in values.tolist())):
        return np.array(values.tolist(), dtype=str).reshape(values.shape)
    if values.dtype.kind == like.dtype.kind:
        return values
    raise ValueError(f"{what} holds labels of kind {values.dtype}, but the classifier was "
                     f"fitted with labels of kind {like.dtype}")


def _declared_classes(classes) -> np.ndarray:
    """The ``classes`` argument of :meth:`partial_fit` as a checked 1-D label array."""
    declared = np.asarray(classes)
    if declared.ndim != 1:
        raise ValueError(f"classes must be a 1-D array-like of labels, got shape "
                         f"{declared.shape}")
    if declared.dtype.kind in "fc" and not np.isfinite(declared).all():
        raise ValueError(f"classes must not hold NaN or infinite labels, got "
                         f"{declared.tolist()!r}")
    if len(declared):
        check_classification_targets(declared)
    return declared


def _storable_labels(labels: np.ndarray) -> np.ndarray:
    """Labels as an array NumPy can store without pickle.

    Object arrays come from text labels held as Python objects (pandas, lists of mixed
    string types); scikit-learn's target checks admit no other object labels.
    """
    if labels.dtype.kind != "O":
        return labels
    values = labels.tolist()
    if all(isinstance(v, str) for v in values):
        return np.array(values, dtype=str)
    raise ValueError("class labels of mixed or non-basic types cannot be stored without pickle; "
                     "use str, int or float labels")


def _label_problem(labels: np.ndarray, n_classes: int) -> str | None:
    """What keeps ``labels`` from being a classifier file's labels, or None.

    ``save`` and ``load`` share it, so that every file written can be read back.
    """
    if labels.ndim != 1 or labels.shape[0] != n_classes:
        return (f"must be 1-D with one label per class ({n_classes}), got shape "
                f"{labels.shape}")
    if labels.dtype.kind not in _STORABLE_LABEL_KINDS:
        return f"must hold text, numbers or booleans, got dtype {labels.dtype}"
    if labels.dtype.kind == "f" and not np.isfinite(labels).all():
        return "must not hold NaN or infinite labels"
    if len(np.unique(labels)) != n_classes:
        return "must not repeat a label"
    return None


# -- fitted state ------------------------------------------------------------------------------

def _last_per_class(labels: np.ndarray, per_class: int) -> np.ndarray:
    """Indices, ascending, of the last ``per_class`` entries of each label in ``labels``."""
    order = np.argsort(labels, kind="stable")       # grouped by label, arrival order within
    grouped = labels[order]
    ends = np.searchsorted(grouped, grouped, side="right")
    from_end = ends - 1 - np.arange(len(labels))
    return np.sort(order[from_end < per_class])


def _frozen(a: np.ndarray) -> np.ndarray:
    a.flags.writeable = False
    return a


@dataclass(frozen=True, eq=False)
class _Replay:
    """The most recent trials of each class index, every one already absorbed by every row
    of the model it belongs to; a class added later learns against them once."""

    X: np.ndarray   # (m, n_features) float64
    y: np.ndarray   # (m,) int64 class indices
    per_class: int | None = None    # the trim it has had, where known

    @classmethod
    def empty(cls, n_features: int) -> "_Replay":
        return cls(_frozen(np.zeros((0, n_features))), _frozen(np.zeros(0, dtype=np.int64)))

    def trimmed(self, per_class: int) -> "_Replay":
        if self.per_class == per_class or len(self.y) <= per_class:
            return self
        return self.extended(self.X[:0], self.y[:0], per_class)

    def extended(self, X: np.ndarray, y: np.ndarray, per_class: int) -> "_Replay":
        """This buffer after the trials ``X, y``, trimmed to ``per_class`` trials per class."""
        if per_class == 0:
            return self if len(self.y) == 0 else _Replay.empty(self.X.shape[1])
        if len(y) == 1 and self.per_class == per_class:
            # The live loop's case: the trial joins a buffer trimmed already, and where its
            # class is full, that class's oldest trial goes.
            same = np.flatnonzero(self.y == y[0])
            old = slice(None) if len(same) < per_class else np.arange(len(self.y)) != same[0]
            return _Replay(_frozen(np.concatenate([self.X[old], X])),
                           _frozen(np.concatenate([self.y[old], y])), per_class)
        labels = np.concatenate([self.y, y])
        keep = _last_per_class(labels, per_class)
        m = len(self.y)
        # Index before concatenating: a large fit's X is never copied whole.
        rows = np.concatenate([self.X[keep[keep < m]], X[keep[keep >= m] - m]])
        return _Replay(_frozen(rows), _frozen(labels[keep]), per_class)


class _Memo:
    """The last small prediction made from a fitted state (see ``_model_proba``). It goes
    with that state and is never pickled."""

    __slots__ = ("entry",)

    def __init__(self):
        self.entry = None

    def __reduce__(self):
        return (_Memo, ())


@dataclass(frozen=True, eq=False)
class _Fitted:
    """Everything fitting learns, published as one object.

    The classifier holds exactly one of these and replaces it with a single assignment, so
    a reader that takes it once per call never pairs one version's model with another
    version's labels or column order.
    """

    model: KovaniModel
    model_labels: np.ndarray    # label of each class index of ``model``
    classes: np.ndarray         # the labels, sorted
    column_order: np.ndarray    # class index shown in each column of predict_proba
    replay: _Replay
    evidence: float | None = None   # of a fit from the hyper-prior, on its trials
    # The online posteriors of the adaptation rates, ``model`` their leader's; None: all
    # of them at ``model`` still.
    race: empirical_bayes.RateRace | None = None
    memo: _Memo = field(default_factory=_Memo, repr=False)

    @classmethod
    def build(cls, model: KovaniModel, model_labels: np.ndarray, replay: _Replay,
              evidence: float | None = None,
              race: empirical_bayes.RateRace | None = None) -> "_Fitted":
        order = np.argsort(model_labels, kind="stable")
        return cls(model=model, model_labels=model_labels, classes=model_labels[order],
                   column_order=order, replay=replay, evidence=evidence, race=race)

    @property
    def n_features(self) -> int:
        return self.model.params["beta_mean"].shape[1] - 1


def _with_settings(model: KovaniModel, settings: dict) -> KovaniModel:
    """``model`` with the scalar entries ``settings`` (Python ints and floats, as
    ``_prior_and_schedule`` gives them): the same model where its record holds them
    already, as the records an update returns do (the live loop's case)."""
    params = model.params
    for key, value in settings.items():
        stored = params.get(key)
        if not (type(stored) is np.ndarray and stored.shape == ()
                and stored.dtype == _RECORD_SCALAR_TYPES[key] and stored.item() == value):
            return adaptation.with_entries(model, **settings)
    return model


def _fitted_attribute(field: str, doc: str) -> property:
    def get(self):
        fitted = self.__dict__.get("_fitted")
        if fitted is None:
            raise AttributeError(f"{type(self).__name__!r} object has no attribute "
                                 f"'{field}_' (it is not fitted yet)")
        return getattr(fitted, field)
    return property(get, doc=doc)


def _race_entries(race: empirical_bayes.RateRace | None) -> dict[str, np.ndarray]:
    """The classifier-file entries of a race of rates (none while every rate is at the model)."""
    if race is None or len(race.rates) < 2:
        return {}
    leader = int(np.argmin(race.losses))
    others = [m for i, m in enumerate(race.models) if i != leader]
    return {_RACE_LOSSES_KEY: np.asarray(race.losses, dtype=np.float64),
            _RACE_MEAN_KEY: np.stack([m.params["beta_mean"] for m in others]),
            _RACE_CHOL_KEY: np.stack([m.params["beta_cov_chol"] for m in others])}


def _read_race(entries, model: KovaniModel, rate: str, fail) -> empirical_bayes.RateRace | None:
    """The race of rates stored beside ``model`` (its leader's posterior), checked."""
    present = [key for key in _RACE_KEYS if key in entries]
    if not present:
        return None
    if len(present) < len(_RACE_KEYS):
        fail(f"{', '.join(map(repr, _RACE_KEYS))} come together; some are missing")
    rates = empirical_bayes.RateRace.rates_of(rate)
    if len(rates) < 2:
        fail(f"'{_RACE_LOSSES_KEY}' belongs to adaptation_rate 'auto', not {rate!r}")
    losses = entries[_RACE_LOSSES_KEY]
    if (losses.dtype != np.float64 or losses.shape != (len(rates),)
            or not np.isfinite(losses).all() or (losses < 0).any()):
        fail(f"'{_RACE_LOSSES_KEY}' must be {len(rates)} finite float64 losses >= 0")
    mean, chol = model.params["beta_mean"], model.params["beta_cov_chol"]
    for key, like in ((_RACE_MEAN_KEY, mean), (_RACE_CHOL_KEY, chol)):
        value = entries[key]
        if value.dtype != like.dtype or value.shape != (len(rates) - 1, *like.shape):
            fail(f"'{key}' must be a {like.dtype} array of shape "
                 f"{(len(rates) - 1, *like.shape)}, got {value.dtype} {value.shape}")
    leader = int(np.argmin(losses))
    others = iter(range(len(rates) - 1))
    models = []
    for i in range(len(rates)):
        if i == leader:
            models.append(model)
            continue
        j = next(others)
        try:        # every candidate obeys the record rule, as the record itself did
            candidate = adaptation.with_entries(model, beta_mean=entries[_RACE_MEAN_KEY][j],
                                                beta_cov_chol=entries[_RACE_CHOL_KEY][j])
            candidate.to_arrays()
        except ValueError as exc:
            fail(f"the posterior of rate {rates[i]!r} in '{_RACE_MEAN_KEY}', "
                 f"'{_RACE_CHOL_KEY}' is invalid: {exc}")
        models.append(candidate)
    return empirical_bayes.RateRace(rates, tuple(models), losses.copy())


def _with_rows(base: KovaniModel, source: KovaniModel, rows: np.ndarray) -> KovaniModel:
    """``base`` with the posterior rows ``rows`` taken from ``source`` (same shapes)."""
    params = dict(base.params)
    for key in ("beta_mean", "beta_cov_chol"):
        value = np.array(base.params[key])
        value[rows] = source.params[key][rows]
        params[key] = value
    return KovaniModel(model_type=base.model_type, params=params)


class KovaniSoftmaxClassifier(ClassifierMixin, BaseEstimator):
    """Bayesian multinomial logistic regression fitted by Polya-Gamma variational sweeps.

    A scikit-learn classifier over :func:`kovani_softmax_fit`, :func:`kovani_softmax_update`
    and the prediction functions of ``kovani_bci.models.kovani_softmax``. Each non-reference
    class has an independent Gaussian posterior over its feature weights and intercept; class
    probabilities are posterior-predictive averages over ``n_posterior_samples`` coefficient
    draws. :meth:`partial_fit` updates the posterior online and accepts labels it has never
    seen, adding a class for each.

    One thread may predict while another learns: every call works on one fitted state, the
    one before or the one after a concurrent update, and concurrent :meth:`fit` and
    :meth:`partial_fit` calls are applied one after the other, none lost.

    Parameters
    ----------
    w_loc : float, default=0.0
        Prior mean of every feature weight.
    w_scale : float or "auto", default="auto"
        Prior standard deviation of every feature weight (> 0). With standardised features
        1.0 matches the L2 penalty of ``LogisticRegression(C=1.0)``. "auto" chooses it at
        each fit from the prior by the evidence of the trials: the variational bound's
        choice (:mod:`kovani_bci.empirical_bayes`), then the scale of highest Laplace
        evidence from there upward, with the posterior at the exact mode under the prior of
        a symmetric softmax (:func:`kovani_bci.laplace.fit_above`); the choice (each
        class's own prior scale) is ``w_scale_``, and
        :meth:`partial_fit` and ``fit(prior=...)`` keep the scale of the model they start
        from.
    b_loc : float, default=0.0
        Prior mean of every intercept.
    b_scale : float, default=10.0
        Prior standard deviation of every intercept (> 0).
    learning_rate : float, default=1.0
        Damping of each variational step, in (0, 1]; 1 means undamped.
    num_steps : int, default=10
        Variational sweeps per :meth:`fit` and per :meth:`partial_fit` call, in
        [1, ``MAX_NUM_STEPS``] (10 000).
    n_posterior_samples : int, default=100
        Posterior draws averaged by :meth:`predict_proba`, in [1, ``MAX_POSTERIOR_SAMPLES``]
        (100 000); 1 gives the plug-in estimate at the posterior means.
    replay_per_class : int, default=5
        Recent trials of each class that the classifier keeps, in [0,
        ``MAX_REPLAY_PER_CLASS``] (1 000). When :meth:`partial_fit` adds a class, the new
        class learns against these trials of the classes it joins, so a batch holding only
        the new class does not make it win everywhere. Each kept trial enters the new
        class's posterior once; the classes that absorbed it before do not see it again,
        and it is not counted again in ``class_counts``. 0 turns this off.
    random_state : int, RandomState instance or None, default=None
        Seeds the posterior draws. The seed is fixed when the model is fitted and stored in
        the model record, so a fitted (or reloaded) classifier answers the same inputs with
        the same outputs.
    prior_widening : float, default=1.0
        Used by ``fit(X, y, prior=...)``: the earlier model's posterior covariances are
        multiplied by this factor (> 0) before they become the prior of the new fit. 4
        doubles every prior standard deviation, letting the new trials outweigh the earlier
        sessions sooner.
    forgetting_factor : float, default=1.0
        In (0, 1]. Before each :meth:`partial_fit` update of a fitted model, the posterior
        is moved toward the prior (w_loc, w_scale, b_loc, b_scale) by this factor, never
        wider than the prior (see :func:`kovani_bci.adaptation.forget_toward_prior`), so the
        decoder can follow drifting signals. 1 keeps the posterior as it is.
    reject_below : float, default=0.0
        In [0, 1]. Default threshold of :meth:`predict_with_reject`: a trial whose top-class
        probability is below it is rejected (the decoder abstains). 0 never abstains.
    adaptation_rate : {"auto", "once", "sweeps"}, default="auto"
        How much a :meth:`partial_fit` batch counts. "once": as much as in a batch fit of
        all trials (the posterior is the fixed prior of every sweep). "sweeps": about
        ``num_steps`` times (the running estimate is the prior of every sweep, as in
        :func:`kovani_softmax_update`), so recent trials outweigh older ones and the
        decoder follows drift, but grows confident on noise. "auto": both run side by
        side, and the decoder is the one whose predictions of each batch, made before
        learning it, had the lower log loss, discounted by 0.99 a trial (see
        :class:`kovani_bci.empirical_bayes.RateRace`); a partial_fit then costs about
        two. After a fit with ``w_scale="auto"`` and more than two classes the "sweeps" rate
        starts from a wider posterior than ``model_``
        (:func:`kovani_bci.laplace.fit_above_with_start`).
    device : str or jax.Device, default="auto"
        Where the computations run. "auto": on a machine whose default JAX device is an
        accelerator (a GPU), small calls (the live loop's updates and predictions) run on
        the CPU and large fits and updates on the accelerator (see
        :mod:`kovani_bci.placement`); elsewhere, or inside the caller's
        ``jax.default_device``, where JAX puts them. "cpu", a JAX platform name ("gpu",
        "cuda", "tpu", ...), "PLATFORM:INDEX" ("cuda:1") or a ``jax.Device``: every call
        there. Prefer the string forms: JAX devices cannot be cloned or pickled. Not saved
        in classifier files; the results and the record do not depend on it beyond
        rounding.

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        The class labels, sorted.
    n_features_in_ : int
        Number of features seen during :meth:`fit`.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Names of the features, when ``X`` had string column names.
    model_ : KovaniModel
        The fitted model record. Its class index ``i`` is the label ``model_labels_[i]``.
    model_labels_ : ndarray of shape (n_classes,)
        The label of each class index of ``model_``, in the model's order (classes added
        online come last).
    w_scale_ : float
        The prior scale of the feature weights in use: ``w_scale``, or the one "auto"
        chose.
    evidence_ : float
        The variational lower bound on the log marginal likelihood of the trials of the
        last fit from the prior (:meth:`fit` without ``prior``, or the first
        :meth:`partial_fit`), see :func:`kovani_bci.evidence`; absent after later
        :meth:`partial_fit` calls, ``fit(prior=...)`` and :meth:`load`.

    Examples
    --------
    >>> from sklearn.pipeline import make_pipeline
    >>> from sklearn.preprocessing import StandardScaler
    >>> clf = make_pipeline(StandardScaler(), KovaniSoftmaxClassifier(random_state=0))
    >>> clf.fit(X, y).predict_proba(X_new)                      # doctest: +SKIP
    """

    def __init__(self, *, w_loc=0.0, w_scale="auto", b_loc=0.0, b_scale=10.0, learning_rate=1.0,
                 num_steps=10, n_posterior_samples=100, replay_per_class=5,
                 prior_widening=1.0, forgetting_factor=1.0, reject_below=0.0,
                 random_state=None, adaptation_rate="auto", device="auto"):
        self.w_loc = w_loc
        self.w_scale = w_scale
        self.b_loc = b_loc
        self.b_scale = b_scale
        self.learning_rate = learning_rate
        self.num_steps = num_steps
        self.n_posterior_samples = n_posterior_samples
        self.replay_per_class = replay_per_class
        self.random_state = random_state
        self.prior_widening = prior_widening
        self.forgetting_factor = forgetting_factor
        self.reject_below = reject_below
        self.adaptation_rate = adaptation_rate
        self.device = device

    # How w_scale="auto" fits: "mode", the posterior at the exact mode, at the scale of highest
    # Laplace evidence from the variational bound's choice upward (kovani_bci.laplace.fit_above);
    # "bound", the sweeps at the bound's choice (empirical_bayes.fit_auto_w_scale), the former
    # default, which the calibration benchmark compares.
    _auto_fit = "mode"

    model_ = _fitted_attribute("model", "The fitted model record (KovaniModel).")
    model_labels_ = _fitted_attribute("model_labels", "The label of each class index.")
    classes_ = _fitted_attribute("classes", "The class labels, sorted.")

    _evidence = _fitted_attribute("evidence", "The evidence of a fit from the prior, or None.")

    @property
    def w_scale_(self) -> float:
        """The prior scale of the feature weights in use (the record's ``w_scale``)."""
        return float(self.model_.params["w_scale"])

    @property
    def evidence_(self) -> float:
        """The evidence of the last fit from the prior, on its trials."""
        value = self._evidence
        if value is None:
            raise AttributeError("evidence_ is known only after a fit from the prior (fit "
                                 "without prior=, or the first partial_fit), not after later "
                                 "partial_fit calls, fit(prior=...) or load")
        return value

    # -- fitted state and its lock ---------------------------------------------------------
    # Fitted state lives in one place, ``self._fitted`` (a ``_Fitted``); methods read it once
    # and build a new one to publish. Methods that publish hold ``_writer()`` from reading
    # the state they build on to publishing, so no update is built on a stale state.

    def __sklearn_is_fitted__(self) -> bool:
        return self.__dict__.get("_fitted") is not None

    def _state(self) -> _Fitted:
        fitted = self.__dict__.get("_fitted")
        if fitted is None:
            raise NotFittedError(f"This {type(self).__name__} instance is not fitted yet. "
                                 "Call 'fit' with appropriate arguments before using this "
                                 "estimator.")
        return fitted

    def _publish(self, fitted: _Fitted) -> None:
        self._fitted = fitted

    def _writer(self) -> threading.RLock:
        lock = self.__dict__.get("_lock")
        if lock is None:
            # setdefault is atomic: two first callers end up sharing one lock.
            lock = self.__dict__.setdefault("_lock", threading.RLock())
        return lock

    def __getstate__(self):
        state = dict(super().__getstate__())
        state.pop("_lock", None)            # locks do not pickle; a copy gets its own
        state.pop("_checked_settings", None)
        return state

    def __setstate__(self, state):
        state = dict(state)
        if "model_" in state and "_fitted" not in state:
            # Pickled before the fitted state was one object.
            model, labels = state.pop("model_"), state.pop("model_labels_")
            state.pop("classes_", None)
            state.pop("_column_order", None)
            state["_fitted"] = _Fitted.build(
                model, labels, _Replay.empty(model.params["beta_mean"].shape[1] - 1))
        for name in ("replay_per_class", "device"):   # pickled before these existed
            state.setdefault(name, KovaniSoftmaxClassifier.__init__.__kwdefaults__[name])
        # Pickled before the rate was a setting: every update counted num_steps times.
        state.setdefault("adaptation_rate", "sweeps")
        super().__setstate__(state)

    # -- parameter checks ----------------------------------------------------------------

    def _settings(self) -> dict:
        """The hyperparameters, read once and checked, so a call uses one consistent set.

        A live loop reads them twice per trial and changes them rarely: the checked set is
        kept with the very objects it was read from and handed out again (as a copy) while
        every attribute still holds the same object."""
        values = tuple(map(self.__getattribute__, _SETTING_NAMES))
        kept = self.__dict__.get("_checked_settings")
        if kept is not None and all(map(operator.is_, kept[0], values)):
            return dict(kept[1])
        hp = self._checked(dict(zip(_SETTING_NAMES, values)))
        self.__dict__["_checked_settings"] = (values, dict(hp))
        return hp

    @staticmethod
    def _checked(hp: dict) -> dict:

        def real(name, positive=False):
            v = hp[name]
            if finite_real(v) is None:
                raise ValueError(f"{name} must be a finite real number, got {v!r}")
            if positive and not v > 0:
                raise ValueError(f"{name} must be > 0, got {v!r}")

        real("w_loc")
        if not _is_auto(hp["w_scale"]):
            if isinstance(hp["w_scale"], str):
                raise ValueError(f"w_scale must be a finite real number > 0 or "
                                 f"{empirical_bayes.AUTO!r}, got {hp['w_scale']!r}")
            real("w_scale", positive=True)
        real("b_loc")
        real("b_scale", positive=True)
        lr = hp["learning_rate"]
        if (isinstance(lr, bool) or not isinstance(lr, numbers.Real)
                or not 0 < lr <= 1):
            raise ValueError(f"learning_rate must lie in (0, 1], got {lr!r}")
        _check_count("num_steps", hp["num_steps"], 1, MAX_NUM_STEPS)
        _check_count("n_posterior_samples", hp["n_posterior_samples"], 1,
                     MAX_POSTERIOR_SAMPLES)
        _check_count("replay_per_class", hp["replay_per_class"], 0, MAX_REPLAY_PER_CLASS)
        empirical_bayes.check_adaptation_rate(hp["adaptation_rate"])

        for name, (ok, interval) in _REAL_SETTINGS.items():
            v = hp[name]
            if finite_real(v) is None or not ok(v):
                raise ValueError(f"{name} must be {interval}, got {v!r}")
        return hp

    @staticmethod
    def _prior_and_schedule(hp: dict, w_scale: float | None = None) -> dict:
        """The hyperparameters as the fit takes them and the record stores them.

        With ``w_scale="auto"``, ``w_scale`` gives the scale in use (of the model started
        from).
        """
        if not _is_auto(hp["w_scale"]):
            w_scale = hp["w_scale"]
        return dict(w_loc=float(hp["w_loc"]), w_scale=float(w_scale),
                    b_loc=float(hp["b_loc"]), b_scale=float(hp["b_scale"]),
                    learning_rate=float(hp["learning_rate"]), num_steps=int(hp["num_steps"]))

    # -- fitting -------------------------------------------------------------------------

    def _fit_new(self, X: np.ndarray, y: np.ndarray, labels: np.ndarray, hp: dict) -> _Fitted:
        if len(labels) < 2:
            raise ValueError(f"{type(self).__name__} needs at least 2 classes to fit; got "
                             f"{len(labels)} class ({labels.tolist()[0]!r})")
        y_idx = np.searchsorted(labels, y).astype(np.int64)
        seed = _seed_from(hp["random_state"])
        race = None
        if _is_auto(hp["w_scale"]):
            settings = self._prior_and_schedule(hp, w_scale=1.0)
            del settings["w_scale"]
            model, evidence = empirical_bayes.fit_auto_w_scale(X, y_idx, len(labels),
                                                               rng_seed=seed, **settings)
            if self._auto_fit == "mode":
                model, start, _, _ = laplace.fit_above_with_start(model, X, y_idx)
                evidence = _learning().kovani_softmax_evidence(model, X, y_idx)
                rates = empirical_bayes.RateRace.rates_of(hp["adaptation_rate"])
                if rates == empirical_bayes.RATES and start is not model and len(labels) > 2:
                    # The calm rate (and the predictions, until the adaptive rate leads)
                    # from the sharp record; the adaptive one from the wider start. With two
                    # classes (one factor, a milder climb) it was mixed: better on drifting
                    # simulated sessions, worse on the demo's tangent space with a late class.
                    race = empirical_bayes.RateRace(
                        rates, tuple(start if rate == "sweeps" else model for rate in rates),
                        np.zeros(len(rates)))
        else:
            model = _learning().kovani_softmax_fit(X, y_idx, len(labels), 0, rng_seed=seed,
                                                   **self._prior_and_schedule(hp))
            evidence = _learning().kovani_softmax_evidence(model, X, y_idx)
        replay = _Replay.empty(X.shape[1]).extended(X, y_idx, hp["replay_per_class"])
        return _Fitted.build(model, labels, replay, evidence, race=race)

    def _absorb(self, fitted: _Fitted, X: np.ndarray, y: np.ndarray,
                declared: np.ndarray | None, hp: dict) -> _Fitted:
        """The state after updating ``fitted`` with the labelled trials ``X, y``."""
        known = fitted.model_labels
        y = _as_labels_of(y, known, "y")
        if declared is not None:
            unknown = np.setdiff1d(_as_labels_of(declared, known, "classes"), known)
            if len(unknown):
                raise ValueError(f"classes may only be declared on the first call to "
                                 f"partial_fit; {unknown.tolist()!r} are not known yet (new "
                                 f"labels are added when they appear in y)")
        at = np.searchsorted(fitted.classes, y)
        if (at < len(known)).all() and (fitted.classes[np.minimum(at, len(known) - 1)] == y).all():
            model_labels, y_idx = known, fitted.column_order[at].astype(np.int64)
        else:
            new_labels = np.setdiff1d(np.unique(y), known)
            model_labels = np.concatenate([known, new_labels])
            order = np.argsort(model_labels, kind="stable")
            y_idx = order[np.searchsorted(model_labels[order], y)].astype(np.int64)
        replay = fitted.replay.trimmed(hp["replay_per_class"])
        race, rates = fitted.race, empirical_bayes.RateRace.rates_of(hp["adaptation_rate"])
        if race is None or race.rates != rates:     # fitted anew, loaded, or a new setting
            race = empirical_bayes.RateRace.start(fitted.model, rates)

        together = self._race_together(fitted, race, X, y_idx, len(known), hp)
        if together is not None:
            race = race.scored(y_idx, *together)
        else:
            def learn(model, update):
                return self._learnt(model, X, y_idx, update, replay, len(known), hp)

            def predict_proba(model, X):
                return self._model_proba(fitted, model, X, hp)

            race = race.learnt(X, y_idx, learn, predict_proba)
        replay = replay.extended(X, y_idx, hp["replay_per_class"])
        if model_labels is known:
            return _Fitted(race.leader, known, fitted.classes, fitted.column_order, replay,
                           race=race)
        return _Fitted.build(race.leader, model_labels, replay, race=race)

    def _race_together(self, fitted: _Fitted, race: empirical_bayes.RateRace, X: np.ndarray,
                       y_idx: np.ndarray, n_known: int, hp: dict):
        """The race's step in one compiled call: both rates' posteriors after the trials and
        each rate's probabilities of them from before, as ``RateRace.scored`` takes them.
        The call (``learning._race_update``) makes both updates and the prediction the loop
        has not made yet, the same up to rounding as calling them one by one. None where
        the step is not the two rates on known classes with the package's own functions,
        or the call declines (see its documentation): the step then calls them in turn."""
        if (race.rates != empirical_bayes.RATES or int(y_idx.max()) >= n_known
                or int(hp["n_posterior_samples"]) == 1 or not _race_functions_published()):
            return None
        leader = int(np.argmin(race.losses))
        other = race.models[1 - leader]
        currents = [self._prepared(model, hp) for model in race.models]
        out = _learning()._race_update(*currents, X, y_idx, other, int(hp["n_posterior_samples"]),
                                       int(other.params["rng_seed"]), _inference().kovani_softmax)
        if out is None:
            return None
        probas = [None, None]
        probas[1 - leader] = out[2]
        probas[leader] = self._model_proba(fitted, race.models[leader], X, hp)
        return out[:2], probas

    def _prepared(self, model: KovaniModel, hp: dict) -> KovaniModel:
        """``model`` as an online update takes it: its record carrying the current settings
        that the update reads, then moved toward the prior by the forgetting factor."""
        current = _with_settings(model, self._prior_and_schedule(
            hp, w_scale=float(model.params["w_scale"])))
        if hp["forgetting_factor"] < 1:
            current = adaptation.forget_toward_prior(current, hp["forgetting_factor"])
        return current

    def _learnt(self, model: KovaniModel, X: np.ndarray, y_idx: np.ndarray, update,
                replay: _Replay, n_known: int, hp: dict) -> KovaniModel:
        """``model`` after learning the trials with ``update`` (one of the online updates)."""
        current = self._prepared(model, hp)
        model = update(current, X, y_idx)
        if y_idx.max() >= n_known and len(replay.y):
            # A batch of new classes alone holds no trial against them, and their rows would
            # learn that they win everywhere. Their rows learn from the batch together with
            # the kept trials of the older classes; every other row, and class_counts, from
            # the batch alone, since they have absorbed the kept trials already.
            with_replay = update(current, np.concatenate([X, replay.X]),
                                 np.concatenate([y_idx, replay.y]))
            added = np.flatnonzero(model.params["non_ref_classes"] >= n_known)
            model = _with_rows(model, with_replay, added)
        return model

    @_on_device
    def fit(self, X, y, prior=None):
        """Fit the posterior to labelled trials, from the prior or from an earlier model.

        Parameters
        ----------
        X : array-like of shape (n_trials, n_features)
        y : array-like of shape (n_trials,)
            Class labels of any sortable kind (strings, integers, ...); at least two classes
            (one is enough when ``prior`` is given).
        prior : KovaniSoftmaxClassifier or KovaniModel, default=None
            An earlier model of the same features (another session or subject, a population
            model) to start from. Its posterior, covariances multiplied by
            ``prior_widening``, is the prior of every class it knows; classes are matched by
            label (a plain :class:`KovaniModel`'s labels are its class indices plus
            ``label_base``). A label it lacks becomes a class starting at the prior given by
            ``w_loc``, ``w_scale``, ``b_loc`` and ``b_scale``; its classes absent from ``y``
            are kept, with their trial counts. The trials count once, however many
            ``num_steps``. ``prior`` itself is never changed.

        Returns
        -------
        self
        """
        with self._writer():
            hp = self._settings()
            if prior is not None:
                # Before validate_data, which records X's names: the prior may be this
                # very classifier, whose names a refused fit must leave as they were.
                _check_names(X, getattr(prior, "feature_names_in_", None))
            X, y = validate_data(self, X, y, dtype=np.float64)
            check_classification_targets(y)
            if prior is None:
                self._publish(self._fit_new(X, y, np.unique(y), hp))
            else:
                self._publish(self._fit_from(prior, X, y, hp))
        return self

    def _fit_from(self, prior, X: np.ndarray, y: np.ndarray, hp: dict) -> _Fitted:
        model, labels = _prior_model_and_labels(prior)
        n_features = np.shape(model.params["beta_mean"])[-1] - 1
        if n_features != X.shape[1]:
            raise ValueError(f"X has {X.shape[1]} features, but the prior model has "
                             f"{n_features}; start from a model of the same features")
        if not _same_kind(labels, y):
            raise ValueError(f"y holds labels of kind {y.dtype}, but the prior model's labels "
                             f"are of kind {labels.dtype}")
        labels, y_idx = adaptation.match_labels(labels, y)
        start = adaptation.widen_posterior(model, hp["prior_widening"])
        start = adaptation.with_entries(start, label_base=0,
                                        rng_seed=_seed_from(hp["random_state"]),
                                        **self._prior_and_schedule(
                                            hp, w_scale=float(model.params["w_scale"])))
        model = _fixed_prior_update()(start, X, y_idx)
        replay = _Replay.empty(X.shape[1]).extended(X, y_idx, hp["replay_per_class"])
        return _Fitted.build(model, labels, replay)

    @_on_device
    def partial_fit(self, X, y, classes=None):
        """Update the posterior with a batch of labelled trials.

        The first call fits from the prior (with every label of ``classes`` as a class, even
        those without trials in the batch). Later calls update the current posterior; a label
        never seen before becomes a new class, starting from the prior, and learns against
        the kept recent trials of the other classes (``replay_per_class``). The current
        values of ``learning_rate`` and ``num_steps`` govern each update, and the prior
        parameters govern classes added from then on. With ``forgetting_factor`` below 1,
        each later call first moves the posterior toward the prior by that factor (never
        wider than the prior), so that older trials weigh less.

        Labels keep the classifier's label type: an integer classifier given ``7.0`` learns
        the label ``7``, and a label the type cannot hold exactly raises ``ValueError``.

        Parameters
        ----------
        X : array-like of shape (n_trials, n_features)
        y : array-like of shape (n_trials,)
        classes : array-like of shape (n_classes,), default=None
            Labels to include from the first call on; their type is the classifier's label
            type. On later calls it may only repeat known labels: new labels are added when
            they appear in ``y``.

        Returns
        -------
        self
        """
        with self._writer():
            hp = self._settings()
            fitted = self.__dict__.get("_fitted")
            if fitted is not None and self._plain_trials(fitted, X) and _plain_labels(y, X):
                pass        # what validation would pass on unchanged
            else:
                X, y = validate_data(self, X, y, dtype=np.float64, reset=fitted is None)
                check_classification_targets(y)
            declared = None if classes is None else _declared_classes(classes)
            if fitted is not None:
                self._publish(self._absorb(fitted, X, y, declared, hp))
                return self
            labels = np.unique(y)
            if declared is not None and len(declared):
                if not _same_kind(labels, declared):
                    raise ValueError("classes and y hold labels of different kinds: "
                                     f"{declared.dtype} and {labels.dtype}")
                y = _as_labels_of(y, declared, "y")
                labels = np.unique(np.concatenate([declared, y]))
            self._publish(self._fit_new(X, y, labels, hp))
        return self

    # -- prediction ----------------------------------------------------------------------

    def _plain_trials(self, fitted: _Fitted, X) -> bool:
        """Whether ``X`` is what validation would hand back as it is: a finite float64
        array of the fitted width, for a classifier fitted without feature names. The live
        path's one-trial calls skip scikit-learn's checks this way; anything else takes
        them, with their messages."""
        return (type(X) is np.ndarray and X.dtype == np.float64 and X.ndim == 2
                and X.shape[0] >= 1 and X.shape[1] == fitted.n_features
                and self.__dict__.get("n_features_in_") == X.shape[1]
                and "feature_names_in_" not in self.__dict__ and bool(np.isfinite(X).all()))

    def _validated_X(self, fitted: _Fitted, X) -> np.ndarray:
        if self._plain_trials(fitted, X):
            return X
        X = validate_data(self, X, dtype=np.float64, reset=False)
        if X.shape[1] != fitted.n_features:     # only when a concurrent fit changed the width
            raise ValueError(f"X has {X.shape[1]} features, but {type(self).__name__} is "
                             f"expecting {fitted.n_features} features as input.")
        return X

    @_on_device
    def predict_proba(self, X):
        """Posterior-predictive class probabilities.

        Parameters
        ----------
        X : array-like of shape (n_trials, n_features)

        Returns
        -------
        ndarray of shape (n_trials, n_classes), float64
            Column ``j`` is the probability of ``classes_[j]``; rows sum to 1.
        """
        return self._predict_proba(self._state(), self._settings(), X)

    def _predict_proba(self, fitted: _Fitted, hp: dict, X) -> np.ndarray:
        X = self._validated_X(fitted, X)
        proba = self._model_proba(fitted, fitted.model, X, hp, remember=True)
        proba = np.asarray(proba, dtype=np.float64)
        proba = proba / proba.sum(axis=1, keepdims=True)
        return proba[:, fitted.column_order]

    def _model_proba(self, fitted: _Fitted, model: KovaniModel, X: np.ndarray, hp: dict,
                     remember: bool = False) -> np.ndarray:
        """``model``'s probabilities of the validated trials ``X`` (class index order);
        ``model`` is one of ``fitted``'s.

        A live loop predicts each trial, then learns it: the race of adaptation rates then
        scores its leader, the model just used, on the same trial. The last small
        prediction from ``fitted`` is kept with it (``remember``), keyed on everything it
        depends on, and handed back instead of computing it again: the same model object,
        the same bytes of X, draw count, seed, prediction function, device settings and
        64-bit mode. It goes when the state is replaced, so it holds no model that is gone."""
        predict = _inference().kovani_softmax_predict_proba
        key = (int(hp["n_posterior_samples"]), int(model.params["rng_seed"]), predict, self.device,
               jax.config.jax_default_device, bool(jax.config.jax_enable_x64), X.shape,
               X.tobytes() if X.size <= _MEMO_SIZE else None)
        memo = fitted.memo.entry
        if memo is not None and memo[0] is model and memo[1] == key and key[-1] is not None:
            return memo[2]
        proba = predict(model, X, key[0], key[1])
        if remember and key[-1] is not None:
            proba = np.asarray(proba)
            proba.flags.writeable = False
            fitted.memo.entry = (model, key, proba)
        return proba

    def predict_log_proba(self, X):
        """Logarithm of :meth:`predict_proba` (``-inf`` where a probability underflowed)."""
        with np.errstate(divide="ignore"):
            return np.log(self.predict_proba(X))

    @_on_device
    def predict(self, X):
        """Most probable label of each trial (the arg-max of :meth:`predict_proba`).

        Returns
        -------
        ndarray of shape (n_trials,)
        """
        fitted = self._state()
        return fitted.classes[np.argmax(self._predict_proba(fitted, self._settings(), X), axis=1)]

    @_on_device
    def predict_with_reject(self, X, threshold=None):
        """Most probable label of each trial, and whether to abstain on it.

        Parameters
        ----------
        X : array-like of shape (n_trials, n_features)
        threshold : float in [0, 1], default=None
            A trial is rejected when its top-class probability (of :meth:`predict_proba`)
            is below ``threshold``; None uses ``reject_below``. 0 rejects nothing.
            :func:`kovani_bci.metrics.select_reject_threshold` picks one that maximises
            the information transfer rate on calibration data.

        Returns
        -------
        y_pred : ndarray of shape (n_trials,)
            The labels :meth:`predict` gives, rejected trials included.
        rejected : ndarray of shape (n_trials,), bool
            True where the classifier abstains.
        """
        fitted, hp = self._state(), self._settings()
        t = hp["reject_below"] if threshold is None else threshold
        if finite_real(t) is None or not 0 <= t <= 1:
            raise ValueError(f"threshold must be in [0, 1], got {t!r}")
        proba = self._predict_proba(fitted, hp, X)
        return fitted.classes[np.argmax(proba, axis=1)], proba.max(axis=1) < t

    @_on_device
    def sample_predictive(self, X, n_samples, random_state=None):
        """Draw labels from the posterior predictive distribution.

        Parameters
        ----------
        X : array-like of shape (n_trials, n_features)
        n_samples : int
            Number of coefficient draws, one label per trial for each, in [1,
            ``MAX_POSTERIOR_SAMPLES``].
        random_state : int, RandomState instance or None, default=None
            Seed of the draws; None uses the seed fixed at fitting time.

        Returns
        -------
        ndarray of shape (n_samples, n_trials)
            Row ``s`` holds the labels drawn with the ``s``-th coefficient draw.
        """
        fitted = self._state()
        n_samples = _check_count("n_samples", n_samples, 1, MAX_POSTERIOR_SAMPLES)
        X = self._validated_X(fitted, X)
        seed = (int(fitted.model.params["rng_seed"]) if random_state is None
                else _seed_from(random_state))
        idx = _inference().kovani_softmax_predict_samples(fitted.model, X, n_samples, seed)
        return fitted.model_labels[np.asarray(idx, dtype=np.int64)]

    # -- persistence ---------------------------------------------------------------------

    def save(self, path: str | os.PathLike) -> None:
        """Write the fitted classifier to an ``.npz`` file (no pickle).

        The file is a model file (see :mod:`kovani_bci.kovani_io`) with more entries:
        ``estimator.class_labels`` (the label of each class index), ``estimator.
        n_posterior_samples``, ``estimator.replay_per_class`` with the kept recent trials
        ``estimator.replay_X`` and ``estimator.replay_y`` (their class indices),
        ``estimator.prior_widening``, ``estimator.forgetting_factor`` and
        ``estimator.reject_below`` (float64), ``estimator.adaptation_rate`` (text),
        ``estimator.w_scale`` (the text "auto", only where the scale is chosen at each fit)
        and, when known, ``estimator.feature_names_in``. The prior (the scale in use among
        it), learning rate, sweep count and seed live in the record itself. With
        ``adaptation_rate="auto"`` after a :meth:`partial_fit`, ``estimator.rate_losses``
        (float64, one per rate) and the other rates' posteriors (``estimator.rate_beta_mean``,
        ``estimator.rate_beta_cov_chol``, stacked) are kept too, so that a loaded classifier
        goes on learning exactly as the saved one would have.

        Raises
        ------
        ValueError
            If the hyperparameters are invalid, or the labels are of a type a classifier
            file cannot hold (text, numbers and booleans only; no NaN).
        """
        with self._writer():        # the feature names and the state of one fit
            fitted = self._state()
            hp = self._settings()
            names = getattr(self, "feature_names_in_", None)
        labels = _storable_labels(fitted.model_labels)
        problem = _label_problem(labels, len(labels))
        if problem:
            raise ValueError(f"cannot save the classifier: its class labels {problem}")
        arrays = fitted.model.to_arrays()
        arrays[_LABELS_KEY] = labels
        arrays[_SAMPLES_KEY] = np.array(int(hp["n_posterior_samples"]), dtype=np.int64)
        arrays[_REPLAY_SIZE_KEY] = np.array(int(hp["replay_per_class"]), dtype=np.int64)
        replay = fitted.replay.trimmed(int(hp["replay_per_class"]))
        arrays[_REPLAY_X_KEY] = np.asarray(replay.X, dtype=np.float64)
        arrays[_REPLAY_Y_KEY] = np.asarray(replay.y, dtype=np.int64)
        for name in _REAL_SETTINGS:
            arrays[EXTRA_PREFIX + name] = np.array(float(hp[name]), dtype=np.float64)
        if _is_auto(hp["w_scale"]):
            arrays[_W_SCALE_KEY] = np.array(empirical_bayes.AUTO)
        arrays[_RATE_KEY] = np.array(hp["adaptation_rate"])
        arrays.update(_race_entries(fitted.race))
        if names is not None:
            arrays[_NAMES_KEY] = np.asarray(names, dtype=str)
        write_archive(path, arrays)

    @classmethod
    def load(cls, path: str | os.PathLike) -> "KovaniSoftmaxClassifier":
        """Read a classifier written by :meth:`save`, or wrap a plain model file.

        A plain :meth:`KovaniModel.save` file has no class labels; its classes are then the
        integers ``label_base`` ... ``label_base + n_classes - 1``. The hyperparameters are
        restored from the record, and ``random_state`` is set to the recorded seed. Files
        written before kept trials were saved load with none kept.

        Raises
        ------
        FileNotFoundError
            If ``path`` does not exist.
        ValueError
            If the file is not a valid model or classifier file.
        """
        source = os.fspath(path)
        entries = read_archive(path)
        model = KovaniModel.from_arrays(entries, source=source)
        p = model.params
        k = int(p["n_classes"])
        n_features = p["beta_mean"].shape[1] - 1

        def fail(msg):
            raise ValueError(f"{source}: {msg}")

        def scalar(key, default, low, high):
            value = entries.get(key)
            if value is None:
                return default
            if value.dtype != np.int64 or value.shape != () or not low <= int(value) <= high:
                fail(f"'{key}' must be an int64 scalar >= {low} and <= {high}")
            return int(value)

        unknown = [key for key in entries if key.startswith(EXTRA_PREFIX)
                   and key not in _EXTRA_KEYS]
        if unknown:
            fail("unknown entries " + ", ".join(map(repr, unknown)))
        labels = entries.get(_LABELS_KEY)
        labels_given = labels is not None
        if labels is None:
            labels = np.arange(k, dtype=np.int64) + int(p["label_base"])
        elif problem := _label_problem(labels, k):
            fail(f"'{_LABELS_KEY}' {problem}")
        defaults = cls()
        n_post = scalar(_SAMPLES_KEY, defaults.n_posterior_samples, 1, MAX_POSTERIOR_SAMPLES)
        per_class = scalar(_REPLAY_SIZE_KEY, defaults.replay_per_class, 0,
                           MAX_REPLAY_PER_CLASS)
        replay = cls._read_replay(entries, k, n_features, per_class, p["beta_mean"].dtype, fail)
        settings = {}
        for name, (ok, interval) in _REAL_SETTINGS.items():
            value = entries.get(EXTRA_PREFIX + name)
            if value is None:
                continue
            if (value.dtype != np.float64 or value.shape != () or not math.isfinite(value)
                    or not ok(float(value))):
                fail(f"'{EXTRA_PREFIX + name}' must be a float64 scalar, {interval}")
            settings[name] = float(value)
        w_scale = float(p["w_scale"])
        auto = entries.get(_W_SCALE_KEY)
        if auto is not None:
            if auto.dtype.kind != "U" or auto.shape != () or str(auto) != empirical_bayes.AUTO:
                fail(f"'{_W_SCALE_KEY}' must be the text {empirical_bayes.AUTO!r} (the record "
                     "holds the scale in use)")
            w_scale = empirical_bayes.AUTO
        # A classifier file from before the rate was a setting learnt at "sweeps".
        rate = entries.get(_RATE_KEY, None if labels_given else np.array(defaults.adaptation_rate))
        if rate is None:
            rate = "sweeps"
        elif (rate.dtype.kind != "U" or rate.shape != ()
              or str(rate) not in empirical_bayes.ADAPTATION_RATES):
            fail(f"'{_RATE_KEY}' must be one of {list(empirical_bayes.ADAPTATION_RATES)} as text")
        else:
            rate = str(rate)
        names = entries.get(_NAMES_KEY)
        if names is not None and (names.dtype.kind != "U" or names.shape != (n_features,)):
            fail(f"'{_NAMES_KEY}' must hold {n_features} feature names as text")

        est = cls(w_loc=float(p["w_loc"]), w_scale=w_scale,
                  b_loc=float(p["b_loc"]), b_scale=float(p["b_scale"]),
                  learning_rate=float(p["learning_rate"]), num_steps=int(p["num_steps"]),
                  n_posterior_samples=n_post, replay_per_class=per_class,
                  random_state=int(p["rng_seed"]), adaptation_rate=rate, **settings)
        est.n_features_in_ = n_features
        if names is not None:
            est.feature_names_in_ = names.astype(object)
        race = _read_race(entries, model, rate, fail)
        est._publish(_Fitted.build(model, labels, replay, race=race))
        return est

    @staticmethod
    def _read_replay(entries, n_classes, n_features, per_class, dtype, fail) -> _Replay:
        X, y = entries.get(_REPLAY_X_KEY), entries.get(_REPLAY_Y_KEY)
        if X is None and y is None:
            return _Replay.empty(n_features)
        if X is None or y is None:
            fail(f"'{_REPLAY_X_KEY}' and '{_REPLAY_Y_KEY}' come together; one is missing")
        if y.dtype != np.int64 or y.ndim != 1:
            fail(f"'{_REPLAY_Y_KEY}' must be a 1-D int64 array, got dtype {y.dtype} with "
                 f"shape {y.shape}")
        if X.dtype != np.float64 or X.shape != (len(y), n_features):
            fail(f"'{_REPLAY_X_KEY}' must be a float64 array of shape {(len(y), n_features)}, "
                 f"got dtype {X.dtype} with shape {X.shape}")
        if len(y) and (y.min() < 0 or y.max() >= n_classes):
            fail(f"'{_REPLAY_Y_KEY}' must hold class indices in [0, {n_classes})")
        if len(y) and np.bincount(y).max() > per_class:
            fail(f"'{_REPLAY_Y_KEY}' holds more than replay_per_class ({per_class}) trials of "
                 "a class")
        if not np.isfinite(X).all():
            fail(f"'{_REPLAY_X_KEY}' must be finite")
        # The kept trials enter the update that adds the next class, whose products of
        # trials must be finite in the model's floating type, as they were when the model
        # absorbed them: refused here rather than when that class arrives.
        with np.errstate(over="ignore"):
            squares = np.einsum("ij,ij->i", X, X).astype(dtype)
        if not np.isfinite(squares).all():
            fail(f"'{_REPLAY_X_KEY}' holds trials too large for the model's {dtype} "
                 f"coefficients (their squared norm overflows)")
        return _Replay(_frozen(X), _frozen(y))
