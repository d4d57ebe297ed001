"""Opt-in persistent compilation cache, for applications that restart often.

The training and prediction cores are compiled by JAX on first use in a process (about a
second per shape). Pointing JAX's persistent compilation cache at a folder lets a new
process load those executables instead of compiling them again:

    import kovani_bci
    kovani_bci.enable_compilation_cache("~/.cache/kovani_bci")

or, without code changes, set the environment variable ``KOVANI_BCI_COMPILATION_CACHE``
to a folder before ``import kovani_bci``. Nothing is cached unless one of the two is used.
"""

from __future__ import annotations

import os
from pathlib import Path

ENV_VAR = "KOVANI_BCI_COMPILATION_CACHE"


def enable_compilation_cache(path: str | os.PathLike) -> Path:
    """Store compiled executables in ``path`` (created if missing) and reuse them later.

    Caches every compilation, however short, since the live loop's cores compile in well
    under JAX's default threshold of one second. Returns the resolved folder.
    """
    import jax

    folder = Path(path).expanduser().resolve()
    folder.mkdir(parents=True, exist_ok=True)
    jax.config.update("jax_compilation_cache_dir", str(folder))
    jax.config.update("jax_persistent_cache_min_compile_time_secs", 0.0)
    jax.config.update("jax_persistent_cache_min_entry_size_bytes", 0)
    return folder


def enable_from_environment() -> Path | None:
    """Enable the cache when ``KOVANI_BCI_COMPILATION_CACHE`` names a folder."""
    path = os.environ.get(ENV_VAR)
    return enable_compilation_cache(path) if path else None
