"""Bayesian multinomial logistic decoding for brain-computer interfaces."""

from kovani_bci.kovani_io import KovaniModel

__all__ = ["KovaniModel"]
__version__ = "0.1.0"
