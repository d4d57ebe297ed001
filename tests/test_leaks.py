"""No entry point leaks: a few hundred calls, successful and failing, leave the
interpreter's allocated blocks and tracked objects where the warm-up left them.

Two windows of calls are measured after the warm-up, and the smaller growth counts: a
leak grows in both, a cache that settles late grows in one. A leak of one object per call
would add hundreds of each; the bound allows for the odd block. The long run with
resident-memory slopes is `python -m bench.leaks`.
"""

import gc
import sys
import warnings

import jax.numpy as jnp
import numpy as np
import pytest

from kovani_bci.kovani_io import KovaniModel
from kovani_bci.models.kovani_softmax import inference, learning

CALLS = 200  # per window
WARMUP = 30
SLACK = 60  # blocks or objects per window; a per-call leak gives >= CALLS
# The kernels run eagerly, op by op; JAX's bounded dispatch and sharding caches keep
# taking a block now and then for the first few thousand calls (untracked blocks only;
# bench.leaks shows them flat by 20 000 calls), so these get a longer warm-up and a wider
# bound. A leaked array or other object is at least one block per call.
EAGER_WARMUP = 1000
EAGER_SLACK = CALLS // 2
EAGER = {"omega", "pg_update", "build_logits", "logits_from_beta"}

X = np.random.default_rng(5).normal(size=(9, 3))
Y = np.arange(9) % 3
MODEL = learning.kovani_softmax_fit(X, Y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 2)
NAN_MODEL = KovaniModel(model_type="kovani_softmax",
                        params={**MODEL.params, "beta_mean": np.full_like(MODEL.params["beta_mean"], np.nan)})
X_NAN = np.where(np.arange(27).reshape(9, 3) == 4, np.nan, X)
XA = jnp.asarray(np.c_[X, np.ones(9)], jnp.float32)
PG = (XA, jnp.asarray(Y == 1, jnp.float32), jnp.zeros(9), jnp.zeros(4), jnp.eye(4), jnp.zeros(4), jnp.eye(4))
BETA = jnp.asarray(MODEL.params["beta_mean"])
NON_REF = MODEL.params["non_ref_classes"]
L, I = learning, inference

CASES = {
    "dtype": lambda: L._jax_dtype_from_numpy(X),
    "omega": lambda: L._pg_expected_omega(PG[2] + 1.0),
    "pg_update": lambda: L._pg_binary_update(*PG),
    "build_logits": lambda: L._build_logits(XA, BETA, NON_REF, 0, 3),
    "fit": lambda: L.kovani_softmax_fit(X, Y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 2),
    "fit check": lambda: L.kovani_softmax_fit(X, Y + 5, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 2),
    "fit non-finite": lambda: L.kovani_softmax_fit(X_NAN, Y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 2),
    "fit bad arguments": lambda: L.kovani_softmax_fit(X, Y, "3", 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 2),
    "update": lambda: L.kovani_softmax_update(MODEL, X[:4], Y[:4]),
    "update non-finite": lambda: L.kovani_softmax_update(NAN_MODEL, X[:4], Y[:4]),
    "update missing key": lambda: L.kovani_softmax_update(KovaniModel(model_type="x", params={}), X, Y),
    "logits_from_beta": lambda: I._logits_from_beta(XA[:, :3], BETA, NON_REF, 0, 3),
    "proba": lambda: I.kovani_softmax_predict_proba(MODEL, X, 1, 0),
    "proba sampled": lambda: I.kovani_softmax_predict_proba(MODEL, X, 8, 3),
    "proba non-finite": lambda: I.kovani_softmax_predict_proba(MODEL, X_NAN, 8, 3),
    "predict": lambda: I.kovani_softmax_predict(MODEL, X, 1, 0),
    "predict inconsistent": lambda: I.kovani_softmax_predict(
        KovaniModel(model_type="x", params={**MODEL.params, "n_classes": np.array(4)}), X, 1, 0),
    "samples": lambda: I.kovani_softmax_predict_samples(MODEL, X, 4, 1),
    "samples bad arguments": lambda: I.kovani_softmax_predict_samples(MODEL, X, None, 1),
}


def call(fn):
    try:
        fn()
    except Exception:  # noqa: BLE001 -- failing calls are part of the check
        pass


def counts():
    gc.collect()
    return sys.getallocatedblocks(), len(gc.get_objects())


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("case", list(CASES))
def test_repeated_calls_do_not_accumulate_objects(case):
    fn = CASES[case]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(EAGER_WARMUP if case in EAGER else WARMUP):
            call(fn)
        marks = [counts()]
        for _ in range(2):
            for _ in range(CALLS):
                call(fn)
            marks.append(counts())
    blocks = min(b - a for (a, _), (b, _) in zip(marks, marks[1:]))
    objects = min(b - a for (_, a), (_, b) in zip(marks, marks[1:]))
    assert blocks < (EAGER_SLACK if case in EAGER else SLACK), f"{blocks} blocks per {CALLS} calls"
    assert objects < SLACK, f"{objects} objects per {CALLS} calls"
