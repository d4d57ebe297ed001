"""The LSL library: whether it loads, and a configuration that keeps LSL on loopback.

liblsl reads its configuration file (the path in ``LSLAPICFG``) once, when the library
loads, so :func:`use_loopback_config` must run before ``pylsl`` or ``mne_lsl`` is imported
in the process; it refuses to run after, instead of silently having no effect.
"""

import os
import sys
import tempfile

# Discovery on this machine only: LSL's default resolves streams by multicast and broadcast on
# every interface. MulticastMinRTT cuts the shortest discovery wait from 0.5 s to 0.05 s.
# liblsl logs at level -2 (errors only): its start-up lines would bury the decoder's own.
LOOPBACK_CONFIG = """\
[log]
level = -2
[ports]
IPv6 = disable
[multicast]
ResolveScope = machine
ListenAddress = 127.0.0.1
[lab]
KnownPeers = {127.0.0.1}
[tuning]
MulticastMinRTT = 0.05
"""

_LOADERS = ("pylsl", "mne_lsl")


def use_loopback_config(directory=None) -> str:
    """Write the loopback-only LSL configuration and point ``LSLAPICFG`` at it.

    Parameters
    ----------
    directory : path-like, optional
        Where to write ``lsl_loopback.cfg``; a new temporary directory by default.

    Returns
    -------
    path : str
        The configuration file now named by ``LSLAPICFG``.
    """
    loaded = [name for name in _LOADERS if name in sys.modules]
    if loaded:
        raise RuntimeError(f"the LSL configuration must be set before {loaded[0]} is imported: "
                           "liblsl reads it once, when it loads")
    directory = tempfile.mkdtemp(prefix="kovani-lsl-") if directory is None else os.fspath(directory)
    path = os.path.join(directory, "lsl_loopback.cfg")
    with open(path, "w", encoding="ascii") as f:
        f.write(LOOPBACK_CONFIG)
    os.environ["LSLAPICFG"] = path
    return path


MAX_NAME_LENGTH = 256


def stream_name_problem(text) -> str | None:
    """Why ``text`` cannot be a stream name, type or source id that the decoder looks up
    (an LSL query quotes it in one kind of quotes), or None."""
    if not isinstance(text, str) or not text.strip():
        return f"must be a non-empty name, got {text!r}"
    if text != text.strip():
        return f"{text!r} begins or ends with white space"
    if "'" in text and '"' in text:
        return f"{text!r} holds both kinds of quotes: a decoder cannot look it up"
    if len(text) > MAX_NAME_LENGTH or not text.isprintable():
        return f"{text[:40]!r}... must be at most {MAX_NAME_LENGTH} printable characters"
    return None


def liblsl_unavailable() -> str | None:
    """Why LSL cannot be used here (the extra missing, liblsl not loading), or None."""
    try:
        import pylsl
        pylsl.library_version()
    except ModuleNotFoundError as exc:
        return f"{exc.name} is not installed: pip install 'kovani_bci[live]'"
    except (OSError, RuntimeError) as exc:
        return f"liblsl does not load: {exc}"
    return None
