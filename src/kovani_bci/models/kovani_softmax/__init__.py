"""Bayesian multinomial softmax regression with Polya-Gamma variational updates."""

from kovani_bci.cpu_dispatch import run_inline

run_inline()    # before the compiled modules start JAX's CPU backend

from kovani_bci.models.kovani_softmax.adaptation import kovani_softmax_update_fixed_prior
from kovani_bci.models.kovani_softmax.inference import (
    kovani_softmax_predict,
    kovani_softmax_predict_proba,
    kovani_softmax_predict_samples,
)
from kovani_bci.models.kovani_softmax.learning import (
    kovani_softmax_evidence,
    kovani_softmax_fit,
    kovani_softmax_update,
)

# The online functions as published: the classifier's race of adaptation rates runs its
# step in one compiled call only while the functions it would otherwise call are these.
_RACE_FUNCTIONS = (kovani_softmax_update_fixed_prior, kovani_softmax_update, kovani_softmax_predict_proba)

__all__ = [
    "kovani_softmax_fit",
    "kovani_softmax_update",
    "kovani_softmax_update_fixed_prior",
    "kovani_softmax_evidence",
    "kovani_softmax_predict_proba",
    "kovani_softmax_predict",
    "kovani_softmax_predict_samples",
]
