"""Where the compiled cores run: the one place that decides, and the `device` setting.

On a machine whose default JAX device is an accelerator (a GPU), every call into a compiled
core pays a dispatch and a copy of its arrays each way. The live loop's calls (an update of
a few trials, a prediction of a few trials) cost far less than that on the CPU, and a large
fit far more; so, unless the caller chose a device, each call goes where its work pays:

- no accelerator, or a device the caller set (``jax.default_device``, which the
  classifier's ``device`` setting sets around its calls): JAX's own placement, untouched;
- otherwise the accelerator for work of ``ACCELERATOR_MIN_WORK`` or more, the CPU below.

The work of a training call is about n * d_aug^2 * (K - 1) * sweeps multiply-adds (the
Gram products of its class steps), of a prediction n * S * (K - 1) * d_aug (its logits).
A prediction's draws of coefficients cost about as much as copying the covariance factors
to the device does, so they never pay for the trip on their own and are not counted. An
update whose batch is small enough for the CPU's reduced form (its cost grows with the
trials, not with the coefficients; the accelerator runs the full form) stays on the CPU.

The host loops of the fast paths (covariance factors carried through a batch on the host)
run only where the core runs on the CPU: next to an accelerator they would copy its arrays
back and forth, so a call placed there takes the forms that stay on the device.

Threads. On the CPU, JAX's factorisations and triangular solves call the BLAS library
SciPy ships (OpenBLAS), whose threads cost more than they save on the matrices of a
small training call: its workers wait, spinning, for each other across the many tiny
calls of the sweeps, and each one busy elsewhere (another process, XLA's own threads)
stalls them all. A one-sweep update of 64 trials at 253 features took 50 to 90 ms with
OpenBLAS's two threads on a loaded 2-core machine against 10 to 16 ms with one. So a
training call whose matrices have fewer than ``PARALLEL_BLAS_MIN_SIZE`` rows (d_aug,
whatever the number of trials: the trials' products are XLA's own) runs with every BLAS
library of the process (found by threadpoolctl, which scikit-learn brings; without it
nothing is limited) on one thread, restored when the last such call ends. Other threads'
BLAS calls meanwhile run on one thread too: slower for a while, never different.
"""

from __future__ import annotations

import contextlib
import functools
import threading

import jax

# Provisional: picked from one machine's timings (an H100 beside 16 CPU cores: a fit of
# 288 trials at 253 features took 10 ms on the GPU against 55 ms on 2 CPU cores, work
# 5.6e8; one-trial updates at 253 and 2080 features, work up to 1.3e8, ran 2 to 8 times
# faster on the CPU). `python -m bench.device` measures where the two meet.
ACCELERATOR_MIN_WORK = 1e9


# Below this matrix size a training call's BLAS runs on one thread (measured on a 2-core
# CPU: at 253 features two threads saved nothing when the machine was idle and cost 4 to
# 10 times under load; at 1000 features and more they saved 10 to 25%).
PARALLEL_BLAS_MIN_SIZE = 512


def core_context(work, keep_on_host=False, size=0):
    """What a compiled core runs inside: the context of its placement and threads.

    Parameters
    ----------
    work, keep_on_host
        As for `core_placement`.
    size : int
        Rows of the largest matrix the core factorises or solves (d_aug for the training
        cores); 0 for none (prediction).

    Returns
    -------
    context : context manager or None
        None where the core runs as JAX would run it anyway.
    on_host : bool
        As for `core_placement`.
    """
    device, on_host = core_placement(work, keep_on_host)
    serial = on_host and 0 < size < PARALLEL_BLAS_MIN_SIZE and _serial_blas.available()
    if device is None and not serial:
        return None, on_host
    return _Within(device, serial), on_host


def core_placement(work, keep_on_host=False):
    """Where a compiled core of about `work` multiply-adds runs.

    Parameters
    ----------
    work : float
        The call's work (see the module's documentation).
    keep_on_host : bool
        The call has a form on the CPU that costs less than the accelerator's (an update
        small enough for the reduced form): it stays on the CPU whatever its work.

    Returns
    -------
    device : jax.Device or None
        The device to run on; None leaves it to JAX (its default device, or the caller's
        ``jax.default_device``).
    on_host : bool
        Whether the core runs on the CPU, where the fast paths' host loops may run.
    """
    chosen = jax.config.jax_default_device
    if chosen is not None:  # the caller's choice: a jax.Device or a platform name
        return None, _platform(chosen) == "cpu"
    accelerator = default_accelerator()
    if accelerator is None:
        return None, True
    if work >= ACCELERATOR_MIN_WORK and not keep_on_host:
        return accelerator, False
    host = host_device()
    return (None, False) if host is None else (host, True)


class _SerialBlas:
    """The process's BLAS libraries on one thread while any holder is inside."""

    def __init__(self):
        self._lock = threading.Lock()
        self._inside = 0
        self._saved = []
        self._libraries = None

    def available(self):
        if self._libraries is None:
            self._libraries = self._find()
        return bool(self._libraries)

    @staticmethod
    def _find():
        try:
            import scipy.linalg  # noqa: F401  loads the BLAS that JAX's CPU solvers call
            from threadpoolctl import ThreadpoolController
        except ImportError:
            return []
        return [lib for lib in ThreadpoolController().lib_controllers if lib.user_api == "blas"]

    def __enter__(self):
        with self._lock:
            if self._inside == 0:
                self._saved = [(lib, lib.num_threads) for lib in self._libraries]
                for lib, threads in self._saved:
                    if threads != 1:
                        lib.set_num_threads(1)
            self._inside += 1

    def __exit__(self, *exc):
        with self._lock:
            self._inside -= 1
            if self._inside == 0:
                for lib, threads in self._saved:
                    if threads != 1:
                        lib.set_num_threads(threads)


_serial_blas = _SerialBlas()


class _Within:
    """jax.default_device(device) where a device is given, and serial BLAS where asked."""

    def __init__(self, device, serial):
        self._device = None if device is None else jax.default_device(device)
        self._serial = serial

    def __enter__(self):
        if self._serial:
            _serial_blas.__enter__()
        if self._device is not None:
            try:
                self._device.__enter__()
            except BaseException:
                if self._serial:
                    _serial_blas.__exit__(None, None, None)
                raise
        return self

    def __exit__(self, *exc):
        try:
            if self._device is not None:
                self._device.__exit__(*exc)
        finally:
            if self._serial:
                _serial_blas.__exit__(*exc)


def _platform(device):
    return device if isinstance(device, str) else device.platform


@functools.cache
def default_accelerator():
    """JAX's default device where it is not the CPU, else None."""
    device = jax.devices()[0]
    return None if device.platform == "cpu" else device


@functools.cache
def host_device():
    """The first CPU device, or None where JAX runs without its CPU backend."""
    try:
        return jax.devices("cpu")[0]
    except RuntimeError:
        return None


def resolve_device(device, name="device"):
    """The classifier's `device` setting as a device to run on, or None for "auto".

    Parameters
    ----------
    device : "auto", "cpu", a JAX platform name ("gpu", "cuda", "rocm", "tpu", ...), "PLATFORM:INDEX" or jax.Device
        "auto" lets each call go where its work pays (`core_placement`); a platform name
        takes that platform's first device, "cuda:1" its second. (JAX's devices do not
        pickle, so a classifier that is cloned or saved by pickle takes the string form.)
    name : str
        The parameter's name, for the error messages.

    Returns
    -------
    jax.Device or None

    Raises
    ------
    ValueError
        For a platform JAX has no (such) device of, or any other value.
    """
    if isinstance(device, jax.Device):
        return device
    expected = f'{name} must be "auto", "cpu", a JAX platform name (optionally ":INDEX") or a jax.Device'
    if not isinstance(device, str) or not device:
        raise ValueError(f"{expected}, got {device!r}")
    if device == "auto":
        return None
    platform, colon, index = device.partition(":")
    if not platform or (colon and not index.isdigit()):
        raise ValueError(f"{expected}, got {device!r}")
    try:
        devices = jax.devices(platform)
    except RuntimeError as e:
        raise ValueError(f"{name}={device!r}: JAX has no devices of that platform here ({e})") from None
    i = int(index) if colon else 0
    if i >= len(devices):
        raise ValueError(f"{name}={device!r}: JAX has {len(devices)} {platform} device(s) here")
    return devices[i]


def running_on(device):
    """A context in which JAX computes on `device` (a jax.Device), or a no-op for None."""
    return contextlib.nullcontext() if device is None else jax.default_device(device)
