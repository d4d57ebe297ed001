"""Compiled calls on the CPU run in the calling thread.

By default JAX hands every CPU computation to a worker thread and returns at once, so that
Python may go on while it runs. The package's functions turn each result into NumPy arrays
straight away, so the hand-off buys nothing; it costs a thread wake-up per compiled call,
and a sleeping thread wakes slowly between the live loop's trials. On an idle 2-core
machine, one online step of the classifier (a prediction, then an update) fell from 1.1 to
0.6 ms at 42 features and from 2.8 to 1.9 ms at 253 when the calls ran inline. The
executables are the same either way, and so are the results.

JAX reads its setting ``jax_cpu_enable_async_dispatch`` once, when its CPU backend starts.
:func:`run_inline` turns it off before the package's compiled modules load, except:

- where the environment variable ``KOVANI_BCI_ASYNC_DISPATCH`` is set to anything but
  ``""`` or ``"0"``: JAX's dispatch is left as it is;
- where the backend has already started: it keeps its dispatch, and the setting is left as
  it is.
"""

from __future__ import annotations

import os

ENV_VAR = "KOVANI_BCI_ASYNC_DISPATCH"
_FLAG = "jax_cpu_enable_async_dispatch"


def run_inline() -> bool:
    """Make JAX's CPU backend run computations in the calling thread, if it has not started
    and the environment does not keep JAX's dispatch. Returns whether the setting changed."""
    if os.environ.get(ENV_VAR, "") not in ("", "0"):
        return False
    import jax
    try:
        from jax._src.xla_bridge import backends_are_initialized
    except ImportError:     # a JAX that cannot say: leave its dispatch alone
        return False
    if not jax.config.values.get(_FLAG, False) or backends_are_initialized():
        return False
    jax.config.update(_FLAG, False)
    return True
