"""Run in a fresh interpreter by the tests: every compiled core the training and prediction
functions make, with how it was lowered and where it ran.

    python tests/core_probe.py SCENARIO [SCENARIO ...]

`jax.jit` is wrapped before the package is imported, so each core's jitted function is
seen with the arguments of its first call. Prints one JSON object: "cores" lists, per core
call, its name, the devices its results live on and the
product operations of its lowering for the CPU and for CUDA (JAX lowers for another
platform without its devices), each with its precision attribute, where PROBE_LOWER=1.

Scenarios (each one call of the public API, chosen to take one path):
  fit_general fit_reduced fit_precision update_general update_reduced
  fixed_general fixed_reduced proba_plugin proba_mc samples
Environment: PROBE_DEVICE=INDEX runs the calls inside jax.default_device(jax.devices()[INDEX]);
PROBE_ACCELERATOR=INDEX makes the placement treat jax.devices()[INDEX] as the accelerator
and device 0 as the CPU (with XLA_FLAGS=--xla_force_host_platform_device_count=2).
"""

import json
import os
import re
import sys

import jax
import numpy as np

CORES = []
LOWER = os.environ.get("PROBE_LOWER") == "1"
_real_jit = jax.jit


def _recording_jit(fn, **options):
    jitted = _real_jit(fn, **options)
    name = getattr(fn, "__name__", "?")

    def call(*args):
        out = jitted(*args)
        entry = {"name": name, "devices": sorted({str(d) for leaf in jax.tree.leaves(out) for d in leaf.devices()})}
        if LOWER:
            for platform in ("cpu", "cuda"):
                text = jitted.trace(*args).lower(lowering_platforms=(platform,)).as_text()
                entry[platform] = products(text)
        CORES.append(entry)
        return out

    return call


def products(text):
    """Each product operation of a StableHLO module as (op, precision or None)."""
    found = []
    for line in text.splitlines():
        op = re.search(r"\b(stablehlo\.dot_general|stablehlo\.dot|chlo\.\w*dot\w*)\b", line)
        if op:
            precision = re.search(r"precision = \[([^\]]*)\]", line)
            found.append([op.group(1), precision.group(1) if precision else None])
    return found


jax.jit = _recording_jit

from kovani_bci import placement  # noqa: E402
from kovani_bci.models.kovani_softmax import adaptation, inference, learning  # noqa: E402

if "PROBE_ACCELERATOR" in os.environ:
    accelerator = jax.devices()[int(os.environ["PROBE_ACCELERATOR"])]
    placement.default_accelerator = lambda: accelerator
    placement.host_device = lambda: jax.devices()[0]
    if "PROBE_MIN_WORK" in os.environ:
        placement.ACCELERATOR_MIN_WORK = float(os.environ["PROBE_MIN_WORK"])


def trials(n, F, K=3, seed=0):
    rng = np.random.default_rng(seed)
    y = rng.integers(0, K, n)
    return rng.normal(size=(n, F)) + rng.normal(size=(K, F))[y], y


def fit(n, F, lr=1.0):
    X, y = trials(n, F)
    return learning.kovani_softmax_fit(X, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, lr, 2)


SMALL = fit(60, 5)
WIDE = fit(60, 40)
SCENARIOS = {
    "fit_general": lambda: fit(60, 5, lr=0.5),
    "fit_reduced": lambda: fit(10, 40),
    "fit_precision": lambda: fit(150, 100),
    "update_general": lambda: learning.kovani_softmax_update(SMALL, *trials(30, 5, seed=1)),
    "update_reduced": lambda: learning.kovani_softmax_update(WIDE, *trials(2, 40, seed=1)),
    "fixed_general": lambda: adaptation.kovani_softmax_update_fixed_prior(SMALL, *trials(30, 5, seed=1)),
    "fixed_reduced": lambda: adaptation.kovani_softmax_update_fixed_prior(WIDE, *trials(2, 40, seed=1)),
    "proba_plugin": lambda: inference.kovani_softmax_predict_proba(SMALL, trials(4, 5)[0], 1, 0),
    "proba_mc": lambda: inference.kovani_softmax_predict_proba(SMALL, trials(4, 5)[0], 8, 0),
    "samples": lambda: inference.kovani_softmax_predict_samples(SMALL, trials(4, 5)[0], 8, 0),
}


def main(names):
    CORES.clear()  # the models the scenarios start from are not part of the answer
    results = {}
    for name in names:
        start = len(CORES)
        if "PROBE_DEVICE" in os.environ:
            with jax.default_device(jax.devices()[int(os.environ["PROBE_DEVICE"])]):
                out = SCENARIOS[name]()
        else:
            out = SCENARIOS[name]()
        results[name] = {"cores": CORES[start:], "result_types": sorted(
            {type(v).__module__ + "." + type(v).__name__ for v in (out.params.values() if hasattr(out, "params") else [out])})}
    print(json.dumps(results))


if __name__ == "__main__":
    main(sys.argv[1:])
