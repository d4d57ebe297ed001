"""Bayesian multinomial softmax regression with Polya-Gamma variational updates."""

from kovani_bci.models.kovani_softmax.learning import (
    kovani_softmax_fit,
    kovani_softmax_update,
)

__all__ = [
    "kovani_softmax_fit",
    "kovani_softmax_update",
]
