"""Full precision on every backend, and where the compiled cores run.

The cores are observed in a fresh interpreter (tests/core_probe.py) that wraps jax.jit:
their lowerings, for the CPU and for CUDA (JAX lowers for a platform without its devices),
and the devices their results come back on. Two host devices
(--xla_force_host_platform_device_count=2) stand in for a CPU beside an accelerator.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

import jax
import numpy as np
import pytest

import kovani_bci
from kovani_bci import placement

PROBE = Path(__file__).with_name("core_probe.py")
# Where this process found the package (the source tree, or an installation).
PACKAGE_ROOT = Path(kovani_bci.__file__).resolve().parent.parent
# The probes run on host devices only, whatever this machine's default device: two CPU
# devices stand in for a CPU and an accelerator.
PROBE_ENV = {"XLA_FLAGS": "--xla_force_host_platform_device_count=2", "JAX_PLATFORMS": "cpu"}


def probe_env(**env):
    return {**os.environ, **PROBE_ENV,
            "PYTHONPATH": os.pathsep.join([str(PACKAGE_ROOT), os.environ.get("PYTHONPATH", "")]),
            **{k: str(v) for k, v in env.items()}}
ALL_CORES = {"_fit_core", "_fit_reduced_core", "_fit_precision_core", "_update_core", "_update_reduced_core",
             "_fixed_prior_core", "_fixed_prior_reduced_core", "_proba_core", "_samples_core", "_noise_core"}
# Cores without matrix products: the prediction's kept noise draws only.
NO_PRODUCTS = {"_noise_core"}
SCENARIOS = ["fit_general", "fit_reduced", "fit_precision", "update_general", "update_reduced",
             "fixed_general", "fixed_reduced", "proba_plugin", "proba_mc", "samples"]


def probe(*scenarios, **env):
    """{scenario: {"cores": [...], "result_types": [...]}} from a fresh interpreter."""
    out = subprocess.run([sys.executable, str(PROBE), *scenarios], env=probe_env(**env), capture_output=True,
                         text=True, timeout=300)
    assert out.returncode == 0, out.stderr[-3000:]
    return json.loads(out.stdout.splitlines()[-1])


def cores_of(result):
    return {name: [(c["name"], c["devices"]) for c in r["cores"]] for name, r in result.items()}


def test_every_product_of_every_core_is_lowered_at_full_precision():
    result = probe(*SCENARIOS, PROBE_LOWER=1)
    seen = set()
    for scenario, r in result.items():
        assert r["result_types"] == ["numpy.ndarray"], scenario
        for core in r["cores"]:
            seen.add(core["name"])
            for platform in ("cpu", "cuda"):
                products = core[platform]
                assert bool(products) != (core["name"] in NO_PRODUCTS), (scenario, core["name"], platform)
                assert all(precision == "HIGHEST, HIGHEST" for _, precision in products), \
                    (scenario, core["name"], platform, products)
    assert seen == ALL_CORES


def test_placement_rule(monkeypatch):
    with jax.default_device(None):   # a caller who chose no device, even under KOVANI_TEST_DEVICE
        check_placement_rule(monkeypatch)


def check_placement_rule(monkeypatch):
    cpu = jax.devices("cpu")[0]
    accelerator = object.__new__(type("FakeGpu", (), {"platform": "gpu"}))
    # No accelerator: JAX's own placement, host loops allowed.
    monkeypatch.setattr(placement, "default_accelerator", lambda: None)
    assert placement.core_placement(1e15) == (None, True)
    # An accelerator as JAX's default: small calls and host-form updates on the CPU.
    monkeypatch.setattr(placement, "default_accelerator", lambda: accelerator)
    monkeypatch.setattr(placement, "host_device", lambda: cpu)
    limit = placement.ACCELERATOR_MIN_WORK
    assert placement.core_placement(limit / 2) == (cpu, True)
    assert placement.core_placement(limit) == (accelerator, False)
    assert placement.core_placement(limit * 100, keep_on_host=True) == (cpu, True)
    # JAX without its CPU backend: everything stays where JAX puts it.
    monkeypatch.setattr(placement, "host_device", lambda: None)
    assert placement.core_placement(1.0) == (None, False)
    # The caller's choice wins, by device or by platform name.
    with jax.default_device(cpu):
        assert placement.core_placement(limit * 100) == (None, True)
    with jax.default_device("cpu"):
        assert placement.core_placement(1.0) == (None, True)


def test_device_setting_is_checked_with_its_name():
    assert placement.resolve_device("auto") is None
    assert placement.resolve_device("cpu") == jax.devices("cpu")[0]
    assert placement.resolve_device("cpu:0") == jax.devices("cpu")[0]
    assert placement.resolve_device(jax.devices()[0]) is jax.devices()[0]
    for bad in ("", ":0", "cpu:x", "cpu:-1", 3, None):
        with pytest.raises(ValueError, match="^device must be"):
            placement.resolve_device(bad)
    with pytest.raises(ValueError, match="device='cpu:99': JAX has 1 cpu device"):
        placement.resolve_device("cpu:99")
    with pytest.raises(ValueError, match="device='nosuchplatform': JAX has no devices"):
        placement.resolve_device("nosuchplatform")


def test_cores_run_where_placed_and_records_come_back_as_numpy():
    scenarios = ["fit_general", "fit_reduced", "update_general", "update_reduced", "fixed_reduced", "proba_plugin",
                 "proba_mc"]
    # Device 1 as the accelerator, with a threshold between the small calls and the rest
    # (work: fit_general 8.6e3, fit_reduced 6.7e4, update_general 4.6e3, predictions < 400).
    placed = cores_of(probe(*scenarios, PROBE_ACCELERATOR=1, PROBE_MIN_WORK=4000))
    assert placed == {
        "fit_general": [("_fit_core", ["cpu:1"])],
        # On the accelerator a fit takes a form without host loops.
        "fit_reduced": [("_fit_core", ["cpu:1"])],
        "update_general": [("_update_core", ["cpu:1"])],
        # An update small enough for the reduced form stays on the CPU, however large.
        "update_reduced": [("_update_reduced_core", ["cpu:0"])],
        "fixed_reduced": [("_fixed_prior_reduced_core", ["cpu:0"])],
        "proba_plugin": [("_proba_core", ["cpu:0"])],
        "proba_mc": [("_proba_core", ["cpu:0"])],
    }
    # The caller's jax.default_device takes every call there, host forms included (it is a CPU).
    chosen = cores_of(probe(*scenarios, PROBE_DEVICE=1))
    assert all(devices == ["cpu:1"] for calls in chosen.values() for _, devices in calls), chosen
    assert chosen["fit_reduced"] == [("_fit_reduced_core", ["cpu:1"])]


ACROSS_DEVICES = r"""
import json, sys
import numpy as np
sys.path.insert(0, sys.argv[1])
import core_probe                       # jax.jit recorded from here on
import jax
from sklearn.base import clone
from kovani_bci import KovaniSoftmaxClassifier
from kovani_bci.models.kovani_softmax import inference, learning

X, y = core_probe.trials(80, 6)
core_probe.CORES.clear()
# The classifier's device, by platform and index: every core of fit, update and prediction there.
clf = KovaniSoftmaxClassifier(device="cpu:1", random_state=0, n_posterior_samples=20).fit(X, y)
clf.partial_fit(X[:3], y[:3])
on_1 = clf.predict_proba(X)
placed = sorted({(c["name"], tuple(c["devices"])) for c in core_probe.CORES})
# The same fitted model predicted on the other device, through the functional API.
model = clf.model_
with jax.default_device(jax.devices()[0]):
    on_0 = inference.kovani_softmax_predict_proba(model, X, 20, 0)
on_1_direct = inference.kovani_softmax_predict_proba(model, X, 20, 0)
# Fits on either device agree to rounding; the records are NumPy arrays.
fits = []
for device in jax.devices():
    with jax.default_device(device):
        fits.append(learning.kovani_softmax_fit(X, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 3))
twin = clone(clf)
print(json.dumps({
    "placed": placed, "on_0": on_0.tolist(), "on_1": on_1_direct.tolist(), "clf": on_1.tolist(),
    "types": sorted({type(v).__name__ for f in fits for v in f.params.values()}),
    "fit_gap": max(float(np.max(np.abs(a.params[k] - b.params[k]))) for a, b in [fits]
                   for k in ("beta_mean", "beta_cov_chol")),
    "clone_device": twin.device,
}))
"""


def test_classifier_device_and_models_across_devices():
    out = subprocess.run([sys.executable, "-c", ACROSS_DEVICES, str(PROBE.parent)], env=probe_env(),
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr[-3000:]
    r = json.loads(out.stdout.splitlines()[-1])
    assert {tuple(devices) for _, devices in r["placed"]} == {("cpu:1",)}
    assert {name for name, _ in r["placed"]} >= {"_fit_core", "_update_core", "_proba_core"}
    np.testing.assert_allclose(r["on_0"], r["on_1"], rtol=1e-5, atol=1e-7)
    np.testing.assert_allclose(np.asarray(r["clf"]).sum(axis=1), 1.0, rtol=1e-6)
    assert r["types"] == ["ndarray"]
    assert r["fit_gap"] < 1e-5
    assert r["clone_device"] == "cpu:1"


def test_classifier_refuses_a_bad_device_before_fitting():
    from kovani_bci import KovaniSoftmaxClassifier

    X, y = np.random.default_rng(0).normal(size=(20, 3)), np.arange(20) % 2
    for bad in ("", "cpu:7", 1.5):
        clf = KovaniSoftmaxClassifier(device=bad)
        with pytest.raises(ValueError, match="device"):
            clf.fit(X, y)
        assert not hasattr(clf, "model_")
    assert KovaniSoftmaxClassifier().get_params()["device"] == "auto"


def test_small_training_calls_run_blas_on_one_thread_and_restore_it():
    threadpoolctl = pytest.importorskip("threadpoolctl")

    def blas_threads():
        return [i["num_threads"] for i in threadpoolctl.threadpool_info() if i["user_api"] == "blas"]

    with jax.default_device("cpu"):
        small, on_host = placement.core_context(1e12, size=254)
        large, _ = placement.core_context(1e6, size=placement.PARALLEL_BLAS_MIN_SIZE)
        prediction, _ = placement.core_context(1e6)
        other, _ = placement.core_context(1e6, size=17)
    assert on_host and large is None and prediction is None   # nothing to set up for these
    before = blas_threads()
    assert before
    with small:
        assert set(blas_threads()) == {1}
        with other:                       # another call meanwhile (nested or in another thread)
            assert set(blas_threads()) == {1}
        assert set(blas_threads()) == {1}  # still inside the first
    assert blas_threads() == before
    with pytest.raises(ZeroDivisionError), small:
        1 / 0
    assert blas_threads() == before
