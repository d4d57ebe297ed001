"""The native boundary under arbitrary arguments: every call returns a result of the
documented shape and type or raises an exception; none ends the process.

The property tests draw argument values from a pool of awkward Python objects and arrays
(tests/fuzzing.py) and mix positional and keyword passing. Shapes are kept few and small,
so that the compiled cores are traced a handful of times, not once per example.
KOVANI_FUZZ_EXAMPLES raises the example count (and draws fresh random examples) for a
long run; the suite runs a fixed, derandomised set.
"""

import collections
import operator
import os

import jax
import jax.numpy as jnp
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings

from fuzzing import calls, invoke
from helpers import make_trials
from kovani_bci.kovani_io import KovaniModel
from kovani_bci.models.kovani_softmax import inference, learning

# NumPy and JAX warn about lossy casts of the awkward values; that is expected here.
pytestmark = pytest.mark.filterwarnings("ignore")

LONG_RUN = "KOVANI_FUZZ_EXAMPLES" in os.environ
EXAMPLES = int(os.environ.get("KOVANI_FUZZ_EXAMPLES", "60"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None, derandomize=not LONG_RUN,
                suppress_health_check=list(HealthCheck))
TALLY = collections.Counter()

RECORD_KEYS = ["backend", "n_classes", "label_base", "ref_class", "non_ref_classes", "beta_mean",
               "beta_cov_chol", "w_loc", "w_scale", "b_loc", "b_scale", "rng_seed", "learning_rate",
               "num_steps", "class_counts"]
X6, Y6 = make_trials(6, 2, 3, seed=1)
Y6 = np.array([0, 1, 2, 0, 1, 2])


@pytest.fixture(scope="module", autouse=True)
def report_tally():
    yield
    total = sum(v for (_, outcome), v in TALLY.items())
    lines = [f"  {name:32s} {outcome:8s} {count}" for (name, outcome), count in sorted(TALLY.items())]
    print(f"\nfuzz calls: {total}\n" + "\n".join(lines))


def run(fn, call, check):
    positional, keywords, fault, args = call
    result, error = invoke(fn, positional, keywords, fault)
    TALLY[fn.__name__, "raised" if error else "returned"] += 1
    if error is None:
        check(result, args)


def as_int(value):
    """The binding layer's conversion of an `int` parameter."""
    return value if type(value) is int else int(value)


def check_model(model, n_features):
    assert isinstance(model, KovaniModel) and model.model_type == "kovani_softmax"
    p = model.params
    assert list(p) == RECORD_KEYS and all(type(v) is np.ndarray for v in p.values())
    K = int(p["n_classes"])
    assert p["non_ref_classes"].shape == (K - 1,) and p["class_counts"].shape == (K,)
    assert p["beta_mean"].shape == (K - 1, n_features + 1)
    assert p["beta_cov_chol"].shape == (K - 1, n_features + 1, n_features + 1)
    assert np.isfinite(p["beta_mean"]).all() and np.isfinite(p["beta_cov_chol"]).all()


# ---------------------------------------------------------------- learning

def dtype_args():
    return {"x": np.zeros(3)}


def check_dtype(result, args):
    assert result in (jnp.float32, jnp.float64)


@FUZZ
@given(call=calls(["x"], dtype_args))
def test_fuzz_jax_dtype_from_numpy(call, x64):
    run(learning._jax_dtype_from_numpy, call, check_dtype)


def omega_args():
    return {"c": jnp.linspace(-1.0, 3.0, 4, dtype=jnp.float32)}


def check_omega(result, args):
    assert isinstance(result, jax.Array) and result.shape == np.shape(args["c"])


@FUZZ
@given(call=calls(["c"], omega_args))
def test_fuzz_pg_expected_omega(call, x64):
    run(learning._pg_expected_omega, call, check_omega)


PG_PARAMS = ["Xa", "z", "offset", "m0", "prec0", "m", "S"]


def pg_args():
    Xa = jnp.asarray(np.c_[X6[:3, :1], np.ones(3)], jnp.float32)
    return {"Xa": Xa, "z": jnp.array([1.0, 0.0, 1.0]), "offset": jnp.zeros(3), "m0": jnp.zeros(2),
            "prec0": jnp.eye(2), "m": jnp.zeros(2), "S": jnp.eye(2)}


def check_pg(result, args):
    assert type(result) is tuple and len(result) == 2
    assert all(isinstance(r, jax.Array) for r in result)
    good = pg_args()
    if all(np.shape(args[k]) == good[k].shape for k in PG_PARAMS):
        assert result[0].shape == (2,) and result[1].shape == (2, 2)


@FUZZ
@given(call=calls(PG_PARAMS, pg_args))
def test_fuzz_pg_binary_update(call, x64):
    run(learning._pg_binary_update, call, check_pg)


LOGITS_PARAMS = ["X_aug", "beta_mean", "non_ref_classes", "ref_class", "n_classes"]


def logits_args():
    return {"X_aug": jnp.ones((3, 2)), "beta_mean": jnp.ones((2, 2)), "non_ref_classes": np.array([1, 2]),
            "ref_class": 0, "n_classes": 3}


def check_logits(result, args):
    assert isinstance(result, jax.Array)
    assert result.shape == (np.shape(args["X_aug"])[0], as_int(args["n_classes"]))


@FUZZ
@given(call=calls(LOGITS_PARAMS, logits_args))
def test_fuzz_build_logits(call):
    run(learning._build_logits, call, check_logits)


FIT_PARAMS = ["X", "y", "n_classes", "label_base", "w_loc", "w_scale", "b_loc", "b_scale", "rng_seed",
              "learning_rate", "num_steps"]


def fit_args():
    return {"X": X6.copy(), "y": Y6.copy(), "n_classes": 3, "label_base": 0, "w_loc": 0.0, "w_scale": 1.0,
            "b_loc": 0.0, "b_scale": 1.0, "rng_seed": 0, "learning_rate": 1.0, "num_steps": 1}


def check_fit(model, args):
    check_model(model, np.shape(args["X"])[1])
    assert int(model.params["n_classes"]) == as_int(args["n_classes"])


@FUZZ
@given(call=calls(FIT_PARAMS, fit_args))
def test_fuzz_fit(call):
    run(learning.kovani_softmax_fit, call, check_fit)


MODEL = learning.kovani_softmax_fit(X6, Y6, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 1)
ODD_MODELS = [
    KovaniModel(model_type="kovani_softmax", params={}),
    KovaniModel(model_type="kovani_softmax", params=None),
    KovaniModel(model_type="kovani_softmax", params=[1, 2]),
    KovaniModel(model_type="kovani_softmax", params={**MODEL.params, "beta_mean": None}),
    KovaniModel(model_type="kovani_softmax", params={**MODEL.params, "n_classes": "3"}),
]


def update_args():
    return {"model": MODEL, "X": X6.copy(), "y": Y6.copy()}


def check_update(model, args):
    check_model(model, np.shape(args["X"])[1])


@FUZZ
@given(call=calls(["model", "X", "y"], update_args, extra_values=ODD_MODELS))
def test_fuzz_update(call):
    run(learning.kovani_softmax_update, call, check_update)



# ---------------------------------------------------------------- inference

def from_beta_args():
    return {"X": jnp.ones((3, 2)), "beta_mean": jnp.ones((2, 3)), "non_ref_classes": np.array([1, 2]),
            "ref_class": 0, "n_classes": 3}


def check_from_beta(result, args):
    assert isinstance(result, jax.Array)
    assert result.shape == (np.shape(args["X"])[0], as_int(args["n_classes"]))


@FUZZ
@given(call=calls(["X", "beta_mean", "non_ref_classes", "ref_class", "n_classes"], from_beta_args))
def test_fuzz_logits_from_beta(call):
    run(inference._logits_from_beta, call, check_from_beta)


PREDICT_PARAMS = ["model", "X", "num_posterior_samples", "rng_seed"]


def predict_args():
    return {"model": MODEL, "X": X6.copy(), "num_posterior_samples": 2, "rng_seed": 0}


def check_proba(probs, args):
    assert type(probs) is np.ndarray and probs.shape == (np.shape(args["X"])[0], 3)
    assert np.isfinite(probs).all() and np.allclose(probs.sum(axis=1), 1, atol=1e-5)


def check_labels(labels, args):
    assert type(labels) is np.ndarray and labels.dtype == np.int64
    assert labels.shape == (np.shape(args["X"])[0],) and np.isin(labels, [0, 1, 2]).all()


def check_samples(labels, args):
    assert type(labels) is np.ndarray and labels.dtype == np.int64
    assert labels.shape == (as_int(args["num_posterior_samples"]), np.shape(args["X"])[0])
    assert np.isin(labels, [0, 1, 2]).all()


@pytest.mark.parametrize("name, check", [("kovani_softmax_predict_proba", check_proba),
                                         ("kovani_softmax_predict", check_labels),
                                         ("kovani_softmax_predict_samples", check_samples)])
@FUZZ
@given(call=calls(PREDICT_PARAMS, predict_args, extra_values=ODD_MODELS))
def test_fuzz_prediction(name, check, call):
    run(getattr(inference, name), call, check)


def test_repr_survives_a_rebound_qualname():
    # __qualname__ is an ordinary instance attribute; repr must not read a non-string as one.
    fn = learning._pg_expected_omega
    saved = fn.__qualname__
    try:
        for value in (5, None, b"bytes", ["a"]):
            fn.__qualname__ = value
            assert repr(fn) == f"<function {value}>"
    finally:
        fn.__qualname__ = saved
    assert repr(fn) == "<function _pg_expected_omega>"


def test_build_logits_refuses_a_class_count_beyond_memory():
    # jnp.zeros((3, 2**62)) overflows XLA's shape arithmetic, which aborts the process.
    import jax.numpy as jnp

    X_aug, beta = jnp.ones((3, 2)), jnp.ones((2, 2))
    for K in (2**40, 2**62, 2**100, np.int64(2**62)):
        with pytest.raises(MemoryError, match=r"^_build_logits needs at least .* GiB for an \(n_trials, n_classes\)"):
            learning._build_logits(X_aug, beta, np.array([1, 2]), 0, K)
    # Negative counts are JAX's to refuse; empty designs make nothing.
    with pytest.raises(TypeError):
        learning._build_logits(X_aug, beta, np.array([1, 2]), 0, -1)
    assert learning._build_logits(X_aug[:0], beta, np.array([1, 2]), 0, 3).shape == (0, 3)
