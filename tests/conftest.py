import jax
import numpy as np
import pytest

from kovani_bci.live.lsl import use_loopback_config

# Every LSL stream a test opens or looks for stays on this machine, whatever else the
# machine is configured for (the test run may also sit in a loopback-only network namespace).
_LSL_CONFIG = open(use_loopback_config(), encoding="ascii").read()
# The restrictions themselves, checked here so that no edit of the configuration can let a
# test run with LSL discovery on the network.
for _line in ("ResolveScope = machine", "ListenAddress = 127.0.0.1", "KnownPeers = {127.0.0.1}",
              "IPv6 = disable"):
    assert _line in _LSL_CONFIG.splitlines(), f"the tests' LSL configuration lacks {_line!r}"


@pytest.fixture(params=[False, True], ids=["x32", "x64"])
def x64(request):
    """Runs a test with JAX's 64-bit mode off and on; restores the flag afterwards."""
    before = jax.config.jax_enable_x64
    jax.config.update("jax_enable_x64", request.param)
    yield request.param
    jax.config.update("jax_enable_x64", before)


@pytest.fixture
def enable_x64():
    before = jax.config.jax_enable_x64
    jax.config.update("jax_enable_x64", True)
    yield
    jax.config.update("jax_enable_x64", before)


def pytest_configure(config):
    """KOVANI_TEST_DEVICE=PLATFORM runs the whole suite on that platform's first device (as a
    caller's jax.default_device), every call included; `python -m bench.device` sets it."""
    import os

    platform = os.environ.get("KOVANI_TEST_DEVICE")
    if platform:
        jax.config.update("jax_default_device", jax.devices(platform)[0])
