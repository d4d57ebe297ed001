"""Bayesian multinomial logistic decoding for brain-computer interfaces."""

from kovani_bci.compilation_cache import enable_compilation_cache, enable_from_environment
from kovani_bci.kovani_io import KovaniModel

__all__ = ["KovaniModel", "enable_compilation_cache"]
__version__ = "0.1.0"

enable_from_environment()
