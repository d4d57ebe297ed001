"""A scikit-learn classifier over the functional ``kovani_softmax`` API."""

from __future__ import annotations

import math
import numbers
import os

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.utils import check_random_state
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted, validate_data

from kovani_bci import adaptation
from kovani_bci.kovani_io import EXTRA_PREFIX, KovaniModel, read_archive, write_archive

_SEED_LIMIT = 2**31 - 1   # seeds stay within int32, where JAX treats them alike in both modes

_LABELS_KEY = EXTRA_PREFIX + "class_labels"
_SAMPLES_KEY = EXTRA_PREFIX + "n_posterior_samples"
_NAMES_KEY = EXTRA_PREFIX + "feature_names_in"


def _learning():
    from kovani_bci.models.kovani_softmax import learning
    return learning


def _inference():
    from kovani_bci.models.kovani_softmax import inference
    return inference


def _fixed_prior_update():
    from kovani_bci.models.kovani_softmax.adaptation import kovani_softmax_update_fixed_prior
    return kovani_softmax_update_fixed_prior


def _prior_model_and_labels(prior):
    """The record of an earlier model passed to ``fit`` and the label of each class index."""
    if isinstance(prior, KovaniSoftmaxClassifier):
        check_is_fitted(prior)
        return prior.model_, prior.model_labels_
    if isinstance(prior, KovaniModel):
        p = prior.params
        return prior, np.arange(int(p["n_classes"]), dtype=np.int64) + int(p["label_base"])
    raise TypeError("prior must be a fitted KovaniSoftmaxClassifier or a KovaniModel (of a "
                    f"pipeline, its last step), got {type(prior).__name__}")


def _seed_from(random_state) -> int:
    """A seed in [0, 2**31 - 1) from a scikit-learn style ``random_state``."""
    if isinstance(random_state, numbers.Integral) and not isinstance(random_state, bool):
        if 0 <= int(random_state) < _SEED_LIMIT:
            return int(random_state)
    return int(check_random_state(random_state).randint(0, _SEED_LIMIT))


def _same_kind(a: np.ndarray, b: np.ndarray) -> bool:
    numeric = set("biuf")
    ka, kb = a.dtype.kind, b.dtype.kind
    return (ka in numeric and kb in numeric) or ka == kb


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


class KovaniSoftmaxClassifier(ClassifierMixin, BaseEstimator):
    """Bayesian multinomial logistic regression fitted by Polya-Gamma variational sweeps.

    A scikit-learn classifier over :func:`kovani_softmax_fit`, :func:`kovani_softmax_update`
    and the prediction functions of ``kovani_bci.models.kovani_softmax``. Each non-reference
    class has an independent Gaussian posterior over its feature weights and intercept; class
    probabilities are posterior-predictive averages over ``n_posterior_samples`` coefficient
    draws. :meth:`partial_fit` updates the posterior online and accepts labels it has never
    seen, adding a class for each.

    Parameters
    ----------
    w_loc : float, default=0.0
        Prior mean of every feature weight.
    w_scale : float, default=1.0
        Prior standard deviation of every feature weight (> 0). With standardised features
        1.0 matches the L2 penalty of ``LogisticRegression(C=1.0)``.
    b_loc : float, default=0.0
        Prior mean of every intercept.
    b_scale : float, default=10.0
        Prior standard deviation of every intercept (> 0).
    learning_rate : float, default=1.0
        Damping of each variational step, in (0, 1]; 1 means undamped.
    num_steps : int, default=10
        Variational sweeps per :meth:`fit` and per :meth:`partial_fit` call (>= 1).
    n_posterior_samples : int, default=100
        Posterior draws averaged by :meth:`predict_proba`; 1 gives the plug-in estimate at
        the posterior means.
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

    Examples
    --------
    >>> from sklearn.pipeline import make_pipeline
    >>> from sklearn.preprocessing import StandardScaler
    >>> clf = make_pipeline(StandardScaler(), KovaniSoftmaxClassifier(random_state=0))
    >>> clf.fit(X, y).predict_proba(X_new)                      # doctest: +SKIP
    """

    def __init__(self, *, w_loc=0.0, w_scale=1.0, b_loc=0.0, b_scale=10.0, learning_rate=1.0,
                 num_steps=10, n_posterior_samples=100, random_state=None, prior_widening=1.0,
                 forgetting_factor=1.0, reject_below=0.0):
        self.w_loc = w_loc
        self.w_scale = w_scale
        self.b_loc = b_loc
        self.b_scale = b_scale
        self.learning_rate = learning_rate
        self.num_steps = num_steps
        self.n_posterior_samples = n_posterior_samples
        self.random_state = random_state
        self.prior_widening = prior_widening
        self.forgetting_factor = forgetting_factor
        self.reject_below = reject_below

    # -- parameter checks ----------------------------------------------------------------

    def _check_params(self) -> None:
        def real(name, positive=False):
            v = getattr(self, name)
            if isinstance(v, bool) or not isinstance(v, numbers.Real) or not math.isfinite(v):
                raise ValueError(f"{name} must be a finite real number, got {v!r}")
            if positive and not v > 0:
                raise ValueError(f"{name} must be > 0, got {v!r}")

        def count(name):
            v = getattr(self, name)
            if isinstance(v, bool) or not isinstance(v, numbers.Integral) or v < 1:
                raise ValueError(f"{name} must be an integer >= 1, got {v!r}")

        real("w_loc")
        real("w_scale", positive=True)
        real("b_loc")
        real("b_scale", positive=True)
        lr = self.learning_rate
        if (isinstance(lr, bool) or not isinstance(lr, numbers.Real)
                or not 0 < lr <= 1):
            raise ValueError(f"learning_rate must lie in (0, 1], got {lr!r}")
        count("num_steps")
        count("n_posterior_samples")
        self._check_adaptation_params()

    def _check_adaptation_params(self) -> None:
        def real_in(name, ok, interval):
            v = getattr(self, name)
            if (isinstance(v, bool) or not isinstance(v, numbers.Real) or not math.isfinite(v)
                    or not ok(v)):
                raise ValueError(f"{name} must be {interval}, got {v!r}")

        real_in("prior_widening", lambda v: v > 0, "a finite number > 0")
        real_in("forgetting_factor", lambda v: 0 < v <= 1, "in (0, 1]")
        real_in("reject_below", lambda v: 0 <= v <= 1, "in [0, 1]")

    # -- label bookkeeping ---------------------------------------------------------------

    def _set_labels(self, model_labels: np.ndarray) -> None:
        """Adopt the labels of the model's class indices; ``classes_`` is their sorted view."""
        order = np.argsort(model_labels, kind="stable")
        self.model_labels_ = model_labels
        self.classes_ = model_labels[order]
        self._column_order = order

    def _prior_and_schedule(self) -> dict:
        """The hyperparameters as the fit takes them and the record stores them."""
        return dict(w_loc=float(self.w_loc), w_scale=float(self.w_scale),
                    b_loc=float(self.b_loc), b_scale=float(self.b_scale),
                    learning_rate=float(self.learning_rate), num_steps=int(self.num_steps))

    @staticmethod
    def _finite(model: KovaniModel, what: str) -> KovaniModel:
        p = model.params
        if not (np.isfinite(p["beta_mean"]).all() and np.isfinite(p["beta_cov_chol"]).all()):
            raise ValueError(f"{what} gave a non-finite posterior (a covariance lost positive "
                             "definiteness, or the features are too large for the working "
                             "precision); standardise the features or lower learning_rate. "
                             "The classifier is unchanged.")
        return model

    def _fit_new(self, X: np.ndarray, y: np.ndarray, labels: np.ndarray) -> None:
        if len(labels) < 2:
            raise ValueError(f"{type(self).__name__} needs at least 2 classes to fit; got "
                             f"{len(labels)} class ({labels.tolist()[0]!r})")
        y_idx = np.searchsorted(labels, y).astype(np.int64)
        model = _learning().kovani_softmax_fit(
            X, y_idx, len(labels), 0, rng_seed=_seed_from(self.random_state),
            **self._prior_and_schedule())
        self.model_ = self._finite(model, "the fit")
        self._set_labels(labels)

    # -- fitting -------------------------------------------------------------------------

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
        self._check_params()
        X, y = validate_data(self, X, y, dtype=np.float64)
        check_classification_targets(y)
        if prior is None:
            self._fit_new(X, y, np.unique(y))
        else:
            self._fit_from(prior, X, y)
        return self

    def _fit_from(self, prior, X: np.ndarray, y: np.ndarray) -> None:
        model, labels = _prior_model_and_labels(prior)
        n_features = np.shape(model.params["beta_mean"])[-1] - 1
        if n_features != X.shape[1]:
            raise ValueError(f"X has {X.shape[1]} features, but the prior model has "
                             f"{n_features}; start from a model of the same features")
        if not _same_kind(labels, y):
            raise ValueError(f"y holds labels of kind {y.dtype}, but the prior model's labels "
                             f"are of kind {labels.dtype}")
        labels, y_idx = adaptation.match_labels(labels, y)
        start = adaptation.widen_posterior(model, self.prior_widening)
        start = adaptation.with_entries(start, label_base=0, rng_seed=_seed_from(self.random_state),
                                        **self._prior_and_schedule())
        model = _fixed_prior_update()(start, X, y_idx)
        self.model_ = self._finite(model, "the fit")
        self._set_labels(labels)

    def partial_fit(self, X, y, classes=None):
        """Update the posterior with a batch of labelled trials.

        The first call fits from the prior (with every label of ``classes`` as a class, even
        those without trials in the batch). Later calls update the current posterior; a label
        never seen before becomes a new class, starting from the prior. The current values of
        ``learning_rate`` and ``num_steps`` govern each update, and the prior parameters
        govern classes added from then on. With ``forgetting_factor`` below 1, each later
        call first moves the posterior toward the prior by that factor (never wider than the
        prior), so that older trials weigh less.

        Parameters
        ----------
        X : array-like of shape (n_trials, n_features)
        y : array-like of shape (n_trials,)
        classes : array-like of shape (n_classes,), default=None
            Labels to include from the first call on. On later calls it may only repeat
            known labels: new labels are added when they appear in ``y``.

        Returns
        -------
        self
        """
        self._check_params()
        first = not hasattr(self, "model_")
        X, y = validate_data(self, X, y, dtype=np.float64, reset=first)
        check_classification_targets(y)
        if first:
            labels = np.unique(y)
            if classes is not None:
                declared = np.asarray(classes)
                if not _same_kind(labels, declared):
                    raise ValueError("classes and y hold labels of different kinds: "
                                     f"{declared.dtype} and {labels.dtype}")
                labels = np.unique(np.concatenate([declared, labels]))
            self._fit_new(X, y, labels)
            return self

        known = self.model_labels_
        if not _same_kind(known, y):
            raise ValueError(f"y holds labels of kind {y.dtype}, but the classifier was "
                             f"fitted with labels of kind {known.dtype}")
        if classes is not None:
            unknown = np.setdiff1d(np.asarray(classes), known)
            if len(unknown):
                raise ValueError(f"classes may only be declared on the first call to "
                                 f"partial_fit; {unknown.tolist()!r} are not known yet (new "
                                 f"labels are added when they appear in y)")
        new_labels = np.setdiff1d(np.unique(y), known)
        model_labels = np.concatenate([known, new_labels]) if len(new_labels) else known
        # Encode against the grown label set without touching self until the update is done.
        order = np.argsort(model_labels, kind="stable")
        y_idx = order[np.searchsorted(model_labels[order], y)].astype(np.int64)
        # The record carries the settings the update reads; give it the current ones.
        params = dict(self.model_.params)
        for key, value in self._prior_and_schedule().items():
            params[key] = np.array(value, dtype=np.int64 if key == "num_steps" else np.float64)
        current = KovaniModel(model_type=self.model_.model_type, params=params)
        if self.forgetting_factor < 1:
            current = adaptation.forget_toward_prior(current, self.forgetting_factor)
        model = _learning().kovani_softmax_update(current, X, y_idx)
        self.model_ = self._finite(model, "the update")
        self._set_labels(model_labels)
        return self

    # -- prediction ----------------------------------------------------------------------

    def _seed(self) -> int:
        return int(self.model_.params["rng_seed"])

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
        check_is_fitted(self)
        self._check_params()
        X = validate_data(self, X, dtype=np.float64, reset=False)
        proba = _inference().kovani_softmax_predict_proba(
            self.model_, X, int(self.n_posterior_samples), self._seed())
        proba = np.asarray(proba, dtype=np.float64)
        proba = proba / proba.sum(axis=1, keepdims=True)
        return proba[:, self._column_order]

    def predict_log_proba(self, X):
        """Logarithm of :meth:`predict_proba` (``-inf`` where a probability underflowed)."""
        check_is_fitted(self)
        with np.errstate(divide="ignore"):
            return np.log(self.predict_proba(X))

    def predict(self, X):
        """Most probable label of each trial (the arg-max of :meth:`predict_proba`).

        Returns
        -------
        ndarray of shape (n_trials,)
        """
        check_is_fitted(self)
        return self.classes_[np.argmax(self.predict_proba(X), axis=1)]

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
        check_is_fitted(self)
        t = self.reject_below if threshold is None else threshold
        if isinstance(t, bool) or not isinstance(t, numbers.Real) or not 0 <= t <= 1:
            raise ValueError(f"threshold must be in [0, 1], got {t!r}")
        proba = self.predict_proba(X)
        return self.classes_[np.argmax(proba, axis=1)], proba.max(axis=1) < t

    def sample_predictive(self, X, n_samples, random_state=None):
        """Draw labels from the posterior predictive distribution.

        Parameters
        ----------
        X : array-like of shape (n_trials, n_features)
        n_samples : int
            Number of coefficient draws, one label per trial for each.
        random_state : int, RandomState instance or None, default=None
            Seed of the draws; None uses the seed fixed at fitting time.

        Returns
        -------
        ndarray of shape (n_samples, n_trials)
            Row ``s`` holds the labels drawn with the ``s``-th coefficient draw.
        """
        check_is_fitted(self)
        if (isinstance(n_samples, bool) or not isinstance(n_samples, numbers.Integral)
                or n_samples < 1):
            raise ValueError(f"n_samples must be an integer >= 1, got {n_samples!r}")
        X = validate_data(self, X, dtype=np.float64, reset=False)
        seed = self._seed() if random_state is None else _seed_from(random_state)
        idx = _inference().kovani_softmax_predict_samples(self.model_, X, int(n_samples), seed)
        return self.model_labels_[np.asarray(idx, dtype=np.int64)]

    # -- persistence ---------------------------------------------------------------------

    def save(self, path: str | os.PathLike) -> None:
        """Write the fitted classifier to an ``.npz`` file (no pickle).

        The file is a model file (see :mod:`kovani_bci.kovani_io`) with three more entries:
        ``estimator.class_labels`` (the label of each class index), ``estimator.
        n_posterior_samples`` and, when known, ``estimator.feature_names_in``. The prior,
        learning rate, sweep count and seed live in the record itself.
        """
        check_is_fitted(self)
        self._check_params()
        arrays = self.model_.to_arrays()
        arrays[_LABELS_KEY] = _storable_labels(self.model_labels_)
        arrays[_SAMPLES_KEY] = np.array(int(self.n_posterior_samples), dtype=np.int64)
        if hasattr(self, "feature_names_in_"):
            arrays[_NAMES_KEY] = np.asarray(self.feature_names_in_, dtype=str)
        write_archive(path, arrays)

    @classmethod
    def load(cls, path: str | os.PathLike) -> "KovaniSoftmaxClassifier":
        """Read a classifier written by :meth:`save`, or wrap a plain model file.

        A plain :meth:`KovaniModel.save` file has no class labels; its classes are then the
        integers ``label_base`` ... ``label_base + n_classes - 1``. The hyperparameters are
        restored from the record, and ``random_state`` is set to the recorded seed.

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

        def fail(msg):
            raise ValueError(f"{source}: {msg}")

        unknown = [key for key in entries if key.startswith(EXTRA_PREFIX)
                   and key not in (_LABELS_KEY, _SAMPLES_KEY, _NAMES_KEY)]
        if unknown:
            fail("unknown entries " + ", ".join(map(repr, unknown)))
        labels = entries.get(_LABELS_KEY)
        if labels is None:
            labels = np.arange(k, dtype=np.int64) + int(p["label_base"])
        elif labels.ndim != 1 or labels.shape[0] != k:
            fail(f"'{_LABELS_KEY}' must be 1-D with one label per class ({k}), got shape "
                 f"{labels.shape}")
        elif labels.dtype.kind not in "biufU":
            fail(f"'{_LABELS_KEY}' must hold text, numbers or booleans, got dtype "
                 f"{labels.dtype}")
        elif len(np.unique(labels)) != k:
            fail(f"'{_LABELS_KEY}' must not repeat a label")
        n_post = entries.get(_SAMPLES_KEY)
        if n_post is None:
            n_post = cls().n_posterior_samples
        elif n_post.dtype != np.int64 or n_post.shape != () or int(n_post) < 1:
            fail(f"'{_SAMPLES_KEY}' must be an int64 scalar >= 1")
        n_features = p["beta_mean"].shape[1] - 1
        names = entries.get(_NAMES_KEY)
        if names is not None and (names.dtype.kind != "U" or names.shape != (n_features,)):
            fail(f"'{_NAMES_KEY}' must hold {n_features} feature names as text")

        est = cls(w_loc=float(p["w_loc"]), w_scale=float(p["w_scale"]),
                  b_loc=float(p["b_loc"]), b_scale=float(p["b_scale"]),
                  learning_rate=float(p["learning_rate"]), num_steps=int(p["num_steps"]),
                  n_posterior_samples=int(n_post), random_state=int(p["rng_seed"]))
        est.model_ = model
        est.n_features_in_ = n_features
        if names is not None:
            est.feature_names_in_ = names.astype(object)
        est._set_labels(labels)
        return est
