"""Bayesian multinomial logistic decoding for brain-computer interfaces."""

from kovani_bci.compilation_cache import enable_compilation_cache, enable_from_environment
from kovani_bci.kovani_io import KovaniModel

__all__ = ["KovaniModel", "KovaniSoftmaxClassifier", "enable_compilation_cache", "evidence"]
__version__ = "0.1.0"

enable_from_environment()


def evidence(model: KovaniModel, X, y) -> float:
    """The variational lower bound on the log marginal likelihood of labelled trials.

    The bound that the model's Gaussian posterior attains under its hyper-prior (the
    record's ``w_loc``, ``w_scale``, ``b_loc``, ``b_scale``), each trial's Polya-Gamma
    variable at its optimum for that posterior: for a prior scale, the evidence of the
    trials a model was fitted on scores the scale (higher is better; compare values on the
    same trials only). With more than two classes it is the sum of the bounds of the
    one-vs-rest class steps, their offsets at the posterior means.

    Parameters
    ----------
    model : KovaniModel
    X : array-like of shape (n_trials, n_features)
    y : array-like of shape (n_trials,)
        Class indices counted from the record's ``label_base``.

    Returns
    -------
    float
        The bound, in nats.
    """
    from kovani_bci.models.kovani_softmax.learning import kovani_softmax_evidence
    return kovani_softmax_evidence(model, X, y)


def __getattr__(name):
    # The scikit-learn estimator is imported on first use: scikit-learn is an optional
    # dependency (extras "sklearn", "demo", "test"), and the functional API works without it.
    if name == "KovaniSoftmaxClassifier":
        try:
            from kovani_bci.estimator import KovaniSoftmaxClassifier
        except ModuleNotFoundError as exc:
            if exc.name != "sklearn":
                raise
            raise ImportError("KovaniSoftmaxClassifier needs scikit-learn: "
                              "pip install 'kovani_bci[sklearn]'") from exc
        return KovaniSoftmaxClassifier
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
