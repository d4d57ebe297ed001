"""The session file of the online decoder: one SQLite database, written as the session goes.

SQLite (the standard library's ``sqlite3``) in write-ahead-log mode is the whole storage
layer: every change of a trial is one transaction holding the trial's row and, when the
model changed, the current classifier file's bytes. A transaction is either entirely in the
file or not at all, so a crash at any instant (``kill -9`` included) leaves a valid session
whose model matches its trials, and loses at most the trial in flight. ``synchronous=NORMAL``
makes a commit safe against the process dying; against the machine losing power the last
commits may be lost, never the file's consistency. One file, no format of our own to parse.

Tables
------
``meta`` (key, value)
    ``format`` (this layout's version), ``settings`` (JSON: streams, window, features,
    calibration trials, ...), ``phase`` (``calibration`` or ``online``), ``reference``
    (JSON list of the trial ``seq`` whose windows fixed the feature statistics),
    ``fit_step`` (the step at which the classifier was fitted on the calibration trials).
``trials``
    One row per trial marker received, in the order the decoder handled them:
    ``seq`` (1, 2, ...), ``number`` (the stimulus program's ``#n``, unique, or NULL),
    ``marker``, ``marker_time`` (LSL time of the marker), ``phase``, ``status``
    (``collected``: calibration, learnt from only; ``decided``; ``gap``: samples missing in the
    window; ``no_data``: the window began before the decoder's first sample or after the EEG
    stopped; ``bad``: samples not finite or beyond float32 range; ``flat``: every channel
    constant), ``label`` (when known and learnt), ``learn_step``, ``decide_step``, ``decision``
    (a label or ``abstain``), ``top_label``, ``proba`` (JSON object label -> probability),
    ``window_end`` (LSL time of the window's last sample), ``received`` (local time at which
    the window became complete), ``pushed`` (local time of the decision's push),
    ``latency`` (``pushed - received``, seconds), ``features`` (float64 bytes), ``epoch``
    (the window: float64 bytes of shape (n_channels, n_samples)).
    ``decide_step`` and ``learn_step`` number every decision and every update of the session
    in one sequence: replaying them in that order reproduces the session offline.
``model`` (one row)
    ``after_step`` and ``bytes``: the classifier file (``KovaniSoftmaxClassifier.save``)
    after the latest update.
``reports``
    Every one-line report of the session (ignored markers, gaps, missed trials, resumes),
    with its local time.
``raw_chunks``, ``raw_markers``
    With ``--record-raw``: every EEG chunk as received (float64 samples and LSL
    timestamps, both float64: the samples as received) and every marker, committed with each
    trial and at least every second. They
    become a FIF file at the end of the session (:func:`export_raw`).
"""

from __future__ import annotations

import contextlib
import json
import os
import pathlib
import sqlite3
import tempfile

import numpy as np

__all__ = ["Session", "SessionError", "FORMAT"]

FORMAT = "kovani-bci online session 1"

_SCHEMA = """
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS trials (
    seq INTEGER PRIMARY KEY, number INTEGER UNIQUE, marker TEXT NOT NULL,
    marker_time REAL NOT NULL, phase TEXT NOT NULL, status TEXT NOT NULL, label TEXT,
    learn_step INTEGER, decide_step INTEGER, decision TEXT, top_label TEXT, proba TEXT,
    window_end REAL, received REAL, pushed REAL, latency REAL, features BLOB, epoch BLOB);
CREATE TABLE IF NOT EXISTS model (id INTEGER PRIMARY KEY CHECK (id = 1),
    after_step INTEGER NOT NULL, bytes BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS reports (id INTEGER PRIMARY KEY, time REAL NOT NULL,
    text TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS raw_chunks (id INTEGER PRIMARY KEY, timestamps BLOB NOT NULL,
    data BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS raw_markers (id INTEGER PRIMARY KEY, time REAL NOT NULL,
    text TEXT NOT NULL);
"""

_TRIAL_COLUMNS = ("seq", "number", "marker", "marker_time", "phase", "status", "label",
                  "learn_step", "decide_step", "decision", "top_label", "proba", "window_end",
                  "received", "pushed", "latency", "features", "epoch")


class SessionError(Exception):
    """A session file that cannot be created, resumed or read."""


_SQLITE_MAGIC = b"SQLite format 3\x00"
# The tables and columns a session needs (older sessions of this format have them all).
_LAYOUT = {"meta": ("key", "value"), "trials": _TRIAL_COLUMNS,
           "model": ("id", "after_step", "bytes"), "reports": ("id", "time", "text"),
           "raw_chunks": ("id", "timestamps", "data"),
           "raw_markers": ("id", "time", "text")}


def _lock(path, create: bool):
    """An exclusive lock on the session file, held (by the returned descriptor) for as long
    as the session is open: a second decoder on the same file is refused at once instead of
    competing for SQLite's write lock. ``create``: the file must not exist yet (made empty
    here, atomically; SQLite takes an empty file as a new database). The lock is ``flock``'s,
    which SQLite's own (``fcntl``) locks do not see; it goes with the process, ``kill -9``
    included."""
    flags = os.O_RDWR | (os.O_CREAT | os.O_EXCL if create else 0)
    try:
        fd = os.open(path, flags | getattr(os, "O_CLOEXEC", 0), 0o644)
    except FileExistsError:
        raise SessionError(f"{os.fspath(path)}: a session is already there; pass --resume to "
                           "continue it, or give another --session path") from None
    except OSError as exc:
        raise SessionError(f"{os.fspath(path)}: cannot be opened ({exc.strerror})") from None
    try:
        import fcntl
    except ImportError:         # no flock here: no protection against a second decoder
        return fd
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        os.close(fd)
        raise SessionError(f"{os.fspath(path)}: another decoder has this session open; "
                           "stop it first, or give another --session path") from None
    return fd


# The classifier file passes through a scratch file (``save`` writes files only); in memory
# where the system has a memory file system, so writing it costs no disk flush.
_SCRATCH = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None


def classifier_bytes(clf) -> bytes:
    """The bytes of ``clf.save`` (a classifier file)."""
    with tempfile.TemporaryDirectory(prefix="kovani-model-", dir=_SCRATCH) as d:
        path = os.path.join(d, "model.npz")
        clf.save(path)
        with open(path, "rb") as f:
            return f.read()


def classifier_from_bytes(data: bytes):
    """A classifier read back from :func:`classifier_bytes`."""
    from kovani_bci.estimator import KovaniSoftmaxClassifier

    with tempfile.TemporaryDirectory(prefix="kovani-model-", dir=_SCRATCH) as d:
        path = os.path.join(d, "model.npz")
        with open(path, "wb") as f:
            f.write(data)
        return KovaniSoftmaxClassifier.load(path)


class Session:
    """An open session file.

    Parameters
    ----------
    path : path-like
        The SQLite file.
    resume : bool
        False: the file must not exist yet (a session is never overwritten). True: the file
        must be a session to continue. Either way the session is locked (``flock``) while it
        is open: a second decoder on it is refused.
    read_only : bool
        Only read the session (its summary, its model), without the lock: also one that a
        decoder is writing.
    """

    def __init__(self, path, *, resume: bool, read_only: bool = False):
        self.path = os.fspath(path)
        self.check_path(self.path, resume or read_only)
        self._lock = None
        self._db = None
        if read_only:       # reading a session, also one a decoder has open: no lock taken
            self._check_header()
            try:
                self._db = sqlite3.connect(f"{pathlib.Path(os.path.abspath(self.path)).as_uri()}"
                                           "?mode=ro", uri=True, isolation_level=None,
                                           check_same_thread=False)
                self._check_layout(resuming=False)
            except sqlite3.DatabaseError as exc:
                self.close()
                raise SessionError(f"{self.path}: not an online session ({exc})") from None
            except BaseException:
                self.close()
                raise
            return
        directory = os.path.dirname(os.path.abspath(self.path))
        os.makedirs(directory, exist_ok=True)
        self._lock = None
        self._db = None
        try:
            if resume:
                self._check_header()
                self._lock = _lock(self.path, create=False)
            else:
                self._lock = _lock(self.path, create=True)
            self._db = sqlite3.connect(self.path, isolation_level=None, check_same_thread=False)
            if resume:
                self._check_layout()        # before anything is written (WAL mode included)
            self._db.execute("PRAGMA journal_mode=WAL")
            self._db.execute("PRAGMA synchronous=NORMAL")
            if not resume:
                with self.transaction():
                    for statement in _SCHEMA.split(";"):
                        if statement.strip():
                            self._db.execute(statement)
                    self._set_meta("format", FORMAT)
        except BaseException as exc:
            made = not resume and self._lock is not None
            self.close()
            if made:        # a new session that could not be made leaves nothing behind
                for suffix in ("", "-wal", "-shm"):
                    with contextlib.suppress(OSError):
                        os.unlink(self.path + suffix)
            if isinstance(exc, sqlite3.DatabaseError):
                raise SessionError(f"{self.path}: not an online session ({exc})") from None
            raise

    @classmethod
    def read_only(cls, path) -> "Session":
        """A session file opened for reading only (``kovani-bci monitor`` and ``report``).

        Nothing in the file changes, its journal mode included; in write-ahead-log mode it
        reads alongside a decoder that is writing the file without blocking it (SQLite may
        leave its empty ``-wal`` and ``-shm`` files beside it). Only the reading methods
        apply.

        Raises
        ------
        SessionError
            If there is no such file, or it is not an online session of this version.
        """
        path = os.fspath(path)
        if not os.path.isfile(path):
            raise SessionError(f"{path}: " + ("a directory, not a session file"
                                              if os.path.isdir(path) else "no such file"))
        return cls(path, resume=True, read_only=True)

    def snapshot(self):
        """A context manager: the reads inside see one state of the file."""
        return _Snapshot(self._db)

    def data_version(self) -> int:
        """A number that changes whenever another connection has committed a change."""
        return self._db.execute("PRAGMA data_version").fetchone()[0]

    @staticmethod
    def check_path(path, resume: bool) -> None:
        """Raise :class:`SessionError` if ``path`` cannot be opened this way: a new session
        where one is already there, or a resumed one where none is."""
        exists = os.path.exists(path)
        if resume and not exists:
            raise SessionError(f"{os.fspath(path)}: no session to resume")
        if not resume and exists:
            raise SessionError(f"{os.fspath(path)}: a session is already there; pass --resume "
                               "to continue it, or give another --session path")

    def _check_header(self) -> None:
        """A file that is not an SQLite database is refused before SQLite opens it (an empty
        file would become a database)."""
        try:
            with open(self.path, "rb") as f:
                head = f.read(len(_SQLITE_MAGIC))
        except OSError as exc:
            raise SessionError(f"{self.path}: cannot be read ({exc.strerror})") from None
        if head != _SQLITE_MAGIC:
            what = "an empty file" if not head else "not an SQLite database"
            raise SessionError(f"{self.path}: {what}, not an online session")

    def _check_layout(self, resuming: bool = True) -> None:
        """Refuse a database that is not a session of this version: its tables and columns,
        its format, and the JSON of its meta entries (read only). A session only read may be
        one whose decoder has not written its settings yet."""
        def refuse(why):
            raise SessionError(f"{self.path}: not an online session of this version ({why})")

        tables = {r[0] for r in self._db.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table'")}
        for table, columns in _LAYOUT.items():
            if table not in tables:
                refuse(f"no table {table!r}")
            have = {r[1] for r in self._db.execute(f"PRAGMA table_info({table})")}
            if not set(columns) <= have:
                refuse(f"table {table!r} lacks {sorted(set(columns) - have)}")
        fmt = self.meta("format")
        if fmt != FORMAT:
            refuse(f"format {fmt!r}")
        for key in ("settings", "reference"):
            try:
                value = self.meta_json(key)
            except (ValueError, TypeError):
                refuse(f"its {key!r} is not valid JSON")
            if (key == "settings" and not isinstance(value, dict)
                    and (resuming or value is not None)):
                refuse("no settings")
            if key == "reference" and value is not None and not (
                    isinstance(value, list) and all(type(q) is int for q in value)):
                refuse("its 'reference' is not a list of trials")
        phase = self.meta("phase")
        if phase not in ("calibration", "online") and (resuming or phase is not None):
            refuse(f"phase {phase!r}")
        try:
            int(self.meta("fit_step", 0))
        except (TypeError, ValueError):
            refuse("its 'fit_step' is not a number")

    # -- transactions ---------------------------------------------------------------------

    def transaction(self):
        """A context manager: everything inside commits together or not at all."""
        return _Transaction(self._db)

    def __del__(self):
        try:
            self.close()
        except Exception:  # noqa: BLE001 -- at interpreter exit the modules may be gone
            pass

    def close(self) -> None:
        """Close the database and release the session's lock (again: nothing)."""
        if getattr(self, "_db", None) is not None:
            self._db.close()
            self._db = None
        if getattr(self, "_lock", None) is not None:
            os.close(self._lock)
            self._lock = None

    # -- meta ----------------------------------------------------------------------------

    def meta(self, key, default=None):
        row = self._db.execute("SELECT value FROM meta WHERE key = ?", (key,)).fetchone()
        return default if row is None else row[0]

    def meta_json(self, key, default=None):
        value = self.meta(key)
        return default if value is None else json.loads(value)

    def _set_meta(self, key, value) -> None:
        if not isinstance(value, str):
            value = json.dumps(value)
        self._db.execute("INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)", (key, value))

    def set_meta(self, **entries) -> None:
        """Set meta entries (in the caller's transaction, or in one of their own)."""
        with self.transaction():
            for key, value in entries.items():
                self._set_meta(key, value)

    # -- trials and the model ----------------------------------------------------------------

    def write_trial(self, row: dict) -> None:
        """Insert a new trial row ``row`` (its columns; missing ones are NULL). A trial number
        already recorded raises ``sqlite3.IntegrityError``: a recorded trial is never
        replaced."""
        unknown = set(row) - set(_TRIAL_COLUMNS)
        if unknown:
            raise ValueError(f"unknown trial columns {sorted(unknown)}")
        values = dict(row)
        if values.get("proba") is not None and not isinstance(values["proba"], str):
            values["proba"] = json.dumps(values["proba"])
        for key in ("features", "epoch"):
            if values.get(key) is not None and not isinstance(values[key], bytes):
                values[key] = np.ascontiguousarray(values[key]).tobytes()
        cols = list(values)
        self._db.execute(f"INSERT INTO trials ({', '.join(cols)}) VALUES "
                         f"({', '.join('?' * len(cols))})", [values[c] for c in cols])

    def update_trial(self, seq: int, **columns) -> None:
        """Set some columns of trial ``seq`` (in the caller's transaction)."""
        unknown = set(columns) - set(_TRIAL_COLUMNS)
        if unknown:
            raise ValueError(f"unknown trial columns {sorted(unknown)}")
        values = [v.tobytes() if isinstance(v, np.ndarray) else v for v in columns.values()]
        self._db.execute(f"UPDATE trials SET {', '.join(f'{k} = ?' for k in columns)} "
                         "WHERE seq = ?", [*values, int(seq)])

    def write_model(self, clf, step: int) -> None:
        self._db.execute("INSERT OR REPLACE INTO model (id, after_step, bytes) VALUES (1, ?, ?)",
                         (int(step), classifier_bytes(clf)))

    def model(self):
        """``(classifier, after_step)`` of the latest update, or ``(None, None)``."""
        row = self._db.execute("SELECT bytes, after_step FROM model WHERE id = 1").fetchone()
        if row is None:
            return None, None
        try:
            return classifier_from_bytes(bytes(row[0])), int(row[1])
        except (ValueError, TypeError, OSError, KeyError) as exc:
            raise SessionError(f"{self.path}: its classifier cannot be read ({exc})") from None

    def trials(self, columns=_TRIAL_COLUMNS) -> list[dict]:
        """Every trial row, in ``seq`` order, as dictionaries."""
        rows = self._db.execute(f"SELECT {', '.join(columns)} FROM trials ORDER BY seq")
        out = []
        for row in rows:
            d = dict(zip(columns, row))
            if d.get("proba") is not None:
                d["proba"] = json.loads(d["proba"])
            out.append(d)
        return out

    def trial_blobs(self, seq: int) -> dict:
        """``{"features": bytes or None, "epoch": bytes or None}`` of trial ``seq``."""
        row = self._db.execute("SELECT features, epoch FROM trials WHERE seq = ?",
                               (int(seq),)).fetchone()
        return {"features": None, "epoch": None} if row is None else \
            {"features": row[0], "epoch": row[1]}

    def report(self, time: float, text: str) -> None:
        self._db.execute("INSERT INTO reports (time, text) VALUES (?, ?)", (time, text))

    def reports(self) -> list[str]:
        return [r[0] for r in self._db.execute("SELECT text FROM reports ORDER BY id")]

    def timed_reports(self) -> list[tuple[float, str]]:
        """Every report as ``(local time, text)``, in order."""
        return list(self._db.execute("SELECT time, text FROM reports ORDER BY id"))

    def model_bytes(self):
        """``(classifier file bytes, after_step)`` of the latest update, or ``(None, None)``."""
        row = self._db.execute("SELECT bytes, after_step FROM model WHERE id = 1").fetchone()
        return (None, None) if row is None else (row[0], row[1])

    def last_step(self) -> int:
        row = self._db.execute("SELECT max(max(coalesce(learn_step, 0)), "
                               "max(coalesce(decide_step, 0))) FROM trials").fetchone()
        fit = int(self.meta("fit_step", 0))
        return max(int(row[0] or 0), fit)

    # -- raw recording -------------------------------------------------------------------------

    def write_raw_chunk(self, data: np.ndarray, timestamps: np.ndarray) -> None:
        self._db.execute("INSERT INTO raw_chunks (timestamps, data) VALUES (?, ?)",
                         (np.ascontiguousarray(timestamps, dtype=np.float64).tobytes(),
                          np.ascontiguousarray(data, dtype=np.float64).tobytes()))

    def write_raw_marker(self, time: float, text: str) -> None:
        self._db.execute("INSERT INTO raw_markers (time, text) VALUES (?, ?)", (time, text))

    def raw(self, n_channels: int):
        """``(data (n_samples, n_channels) float64, timestamps, markers [(time, text)])``."""
        data, stamps = [], []
        for ts, d in self._db.execute("SELECT timestamps, data FROM raw_chunks ORDER BY id"):
            stamps.append(np.frombuffer(ts, dtype=np.float64))
            data.append(np.frombuffer(d, dtype=np.float64).reshape(-1, n_channels))
        markers = list(self._db.execute("SELECT time, text FROM raw_markers ORDER BY id"))
        if not data:
            return np.empty((0, n_channels)), np.empty(0), markers
        return np.concatenate(data), np.concatenate(stamps), markers


class _Transaction:
    def __init__(self, db):
        self._db = db
        self._outer = False

    def __enter__(self):
        self._outer = not self._db.in_transaction
        if self._outer:
            self._db.execute("BEGIN IMMEDIATE")
        return self

    def __exit__(self, exc_type, exc, tb):
        if self._outer:
            self._db.execute("ROLLBACK" if exc_type is not None else "COMMIT")
        return False


class _Snapshot:
    def __init__(self, db):
        self._db = db

    def __enter__(self):
        self._db.execute("BEGIN")          # deferred: a read transaction at the first read
        return self

    def __exit__(self, exc_type, exc, tb):
        self._db.execute("COMMIT")
        return False


def export_raw(session: Session, path, *, sfreq: float, channel_names, trial_seconds: float):
    """Write the recorded raw EEG and markers as a FIF file that MNE reads.

    Samples are placed by their LSL timestamps on the nominal sampling grid from the first
    one; stretches with no sample (the decoder was down, or the EEG had a gap) are zeros
    under a ``BAD_ACQ_SKIP`` annotation, as MNE marks acquisition skips. Each marker becomes
    an annotation at its time with its text as description; trial markers last
    ``trial_seconds`` and other markers one sample (never 0: a zero-duration annotation
    reaches a one-hot annotation stream as -1).

    Returns
    -------
    path : str or None
        None when nothing was recorded.
    """
    import mne

    names = list(channel_names)
    data, stamps, markers = session.raw(len(names))
    timed = np.isfinite(stamps)         # a sample without a time has no place
    data, stamps = data[timed], stamps[timed]
    if len(stamps) == 0:
        return None
    order = np.argsort(stamps, kind="stable")
    data, stamps = data[order], stamps[order]
    t0 = stamps[0]
    index = np.rint((stamps - t0) * sfreq).astype(np.int64)
    keep = np.concatenate([[True], np.diff(index) > 0])      # one sample per grid point
    data, index = data[keep], index[keep]
    n = int(index[-1]) + 1
    full = np.zeros((len(names), n), dtype=np.float64)
    full[:, index] = data.T
    info = mne.create_info(names, sfreq, ch_types="eeg")
    raw = mne.io.RawArray(full * 1.0, info, verbose="error")
    onsets, durations, descriptions = [], [], []
    jumps = np.flatnonzero(np.diff(index) > 1)
    for j in jumps:
        onsets.append((index[j] + 1) / sfreq)
        durations.append((index[j + 1] - index[j] - 1) / sfreq)
        descriptions.append("BAD_ACQ_SKIP")
    for time, text in markers:
        onset = time - t0
        if 0 <= onset < n / sfreq:
            onsets.append(onset)
            durations.append(trial_seconds if text.strip().startswith("trial") else 1 / sfreq)
            descriptions.append(text.strip())
    if onsets:
        raw.set_annotations(mne.Annotations(onsets, durations, descriptions))
    path = os.fspath(path)
    raw.save(path, fmt="double", overwrite=True, verbose="error")   # the samples exactly
    return path
