"""Bayesian multinomial logistic decoding for brain-computer interfaces."""

from kovani_bci.compilation_cache import enable_compilation_cache, enable_from_environment
from kovani_bci.kovani_io import KovaniModel

__all__ = ["KovaniModel", "KovaniSoftmaxClassifier", "enable_compilation_cache"]
__version__ = "0.1.0"

enable_from_environment()


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
