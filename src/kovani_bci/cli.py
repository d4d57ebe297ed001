"""The ``kovani-bci`` command line: fit, predict, update and inspect models; demo; compare;
replay recordings as live LSL streams.

Feature files are ``.npz`` archives with arrays ``X`` (n_trials, n_features) and ``y``
(n_trials,), or UTF-8 ``.csv`` files with one trial per row and the label in the last column
(the first row is a header when all its feature cells are column names; see
:func:`read_csv`). Models are classifier files written by
:meth:`KovaniSoftmaxClassifier.save`; plain model files load too.

Every failure ends the same way: one line ``kovani-bci COMMAND: error: ...`` on stderr and
exit status 1 (2 for wrong usage, an option value out of its range included).
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import io
import math
import os
import shlex
import stat
import sys
import time
import warnings

import numpy as np

from kovani_bci.datasets import RECORDINGS
from kovani_bci.kovani_io import MAX_NUM_STEPS, MAX_POSTERIOR_SAMPLES

PROG = "kovani-bci"
_MAX_SEED = 2**32 - 1


class CommandError(Exception):
    """A problem with the user's input, reported as one line without a traceback."""


# -- feature files ---------------------------------------------------------------------------

def _number(cell):
    """The value of a numeric cell, or None. Python's digit-group underscores are refused."""
    text = cell.strip()
    if not text or "_" in text:
        return None
    try:
        return float(text)
    except ValueError:
        return None


def _is_name(cell):
    text = cell.strip()
    return bool(text) and text[0] not in "0123456789+-." and _number(text) is None


def _parse_labels(path, labels):
    """``(line, text)`` label cells as int64 if all are integers, float64 if all are numbers,
    else text; a mix of numbers and text, an empty or a non-finite label is an error."""
    texts = [text.strip() for _, text in labels]
    values = [_number(text) for text in texts]
    numeric = [v is not None for v in values]
    if not any(numeric):
        for (line, _), text in zip(labels, texts):
            if not text:
                raise CommandError(f"{path}: line {line}: the label is empty")
        return np.array(texts, dtype=str)
    if not all(numeric):
        i, j = numeric.index(False), numeric.index(True)
        raise CommandError(f"{path}: line {labels[i][0]}: label {texts[i]!r} is text, but the "
                           f"label on line {labels[j][0]} is a number; give every label as a "
                           "number or every label as text")
    for (line, _), text, value in zip(labels, texts, values):
        if not math.isfinite(value):
            raise CommandError(f"{path}: line {line}: label {text!r} is not a finite number")
    try:
        ints = [int(text) for text in texts]
    except ValueError:
        return np.array(values, dtype=np.float64)
    info = np.iinfo(np.int64)
    for (line, _), text, value in zip(labels, texts, ints):
        if not info.min <= value <= info.max:
            raise CommandError(f"{path}: line {line}: label {text!r} is out of the range of "
                               "64-bit integers")
    return np.array(ints, dtype=np.int64)


def read_csv(path):
    """Trials of a CSV file: ``(X, labels)`` with ``labels`` the ``(line, text)`` of each
    trial's last cell.

    The file is UTF-8 (a byte-order mark is not data). Blank lines are skipped. The first
    row is a header when every feature cell in it (all cells but the last) is a column name:
    text that is not a number and does not begin with a digit, a sign or a point. Any other
    first row is a trial, and every feature cell of every trial must be a finite number; an
    error names the line and column of the first cell that is not.
    """
    from kovani_bci.kovani_io import open_regular_file

    with open_regular_file(path) as raw, \
            io.TextIOWrapper(raw, encoding="utf-8-sig", newline="") as text:
        reader = csv.reader(text, strict=True)
        rows = []
        try:
            for cells in reader:
                if any(cell.strip() for cell in cells):
                    rows.append((reader.line_num, cells))
        except csv.Error as exc:
            raise CommandError(f"{path}: line {reader.line_num}: {exc}") from None
        except UnicodeDecodeError as exc:
            raise CommandError(f"{path}: not UTF-8 text ({exc.reason})") from None
    if not rows:
        raise CommandError(f"{path}: no trials in the file")
    header = None
    if all(_is_name(cell) for cell in rows[0][1][:-1] or rows[0][1]):
        header = rows.pop(0)
        if not rows:
            raise CommandError(f"{path}: no trials in the file, only a header")
    width = len(rows[0][1])
    if header is not None and len(header[1]) != width:
        raise CommandError(f"{path}: the header on line {header[0]} has {len(header[1])} "
                           f"fields; the first trial has {width}")
    X = np.empty((len(rows), width - 1))
    labels = []
    for r, (line, cells) in enumerate(rows):
        if len(cells) != width:
            raise CommandError(f"{path}: line {line} has {len(cells)} fields; the first trial "
                               f"has {width}")
        for c, cell in enumerate(cells[:-1]):
            X[r, c] = _cell_value(path, line, c, cell)
        labels.append((line, cells[-1]))
    return X, labels


def _cell_value(path, line, column, cell):
    value = _number(cell)
    if value is None:
        raise CommandError(f"{path}: line {line}, column {column + 1}: {cell.strip()!r} is not "
                           "a number")
    if not math.isfinite(value):
        raise CommandError(f"{path}: line {line}, column {column + 1}: {cell.strip()!r} is not "
                           "a finite number")
    return value


def _read_npz(path):
    from kovani_bci.kovani_io import Archive

    # Feature files come from anywhere (np.savez_compressed included): compressed entries
    # are read with their expansion capped, and only X and y are read at all.
    with Archive(path, allow_compressed=True) as archive:
        if "X" not in archive.names:
            raise CommandError(f"{path}: no array 'X' (found: "
                               f"{', '.join(archive.names) or 'none'})")
        X = archive.read("X")
        if X.ndim != 2 or X.dtype.kind not in "biuf":
            raise CommandError(f"{path}: 'X' must be a 2-D numeric array (n_trials, "
                               f"n_features), got dtype {X.dtype} with shape {X.shape}")
        y = archive.read("y") if "y" in archive.names else None
    if y is not None:
        if y.ndim != 1 or y.dtype.kind not in "biufU":
            raise CommandError(f"{path}: 'y' must be a 1-D array of labels, got dtype "
                               f"{y.dtype} with shape {y.shape}")
        if len(y) != len(X):
            raise CommandError(f"{path}: 'X' has {len(X)} rows but 'y' has {len(y)} labels")
        if y.dtype.kind == "f" and not np.isfinite(y).all():
            raise CommandError(f"{path}: 'y' holds NaN or infinite labels (first at index "
                               f"{int(np.argmin(np.isfinite(y)))})")
    X = np.asarray(X, dtype=np.float64)
    bad = np.argwhere(~np.isfinite(X))
    if len(bad):
        raise CommandError(f"{path}: 'X' holds NaN or infinity (first at row {bad[0][0] + 1}, "
                           f"column {bad[0][1] + 1})")
    return X, y


def load_features(path, *, n_features=None, need_labels=True):
    """Read a feature file; return ``(X, y)`` with ``y`` None for an unlabelled file.

    ``n_features``, when given, decides whether a CSV's last column is a label (one column
    more than the model's features) or a feature (exactly the model's features).
    """
    suffix = os.path.splitext(path)[1].lower()
    if suffix == ".npz":
        X, y = _read_npz(path)
    elif suffix == ".csv":
        X, labels = read_csv(path)
        if n_features is not None and X.shape[1] + 1 == n_features:
            # Every column is a feature: the "label" column was the last feature.
            if any(_number(text) is None for _, text in labels):
                raise CommandError(f"{path}: the last column is not numeric, so it is a "
                                   f"label column, leaving {X.shape[1]} features; the model "
                                   f"expects {n_features}")
            last = [_cell_value(path, line, X.shape[1], text) for line, text in labels]
            X, y = np.column_stack([X, last]), None
        else:
            y = _parse_labels(path, labels)
    else:
        raise CommandError(f"{path}: unsupported file type {suffix or '(no suffix)'!r}; use "
                           ".npz (arrays X and y) or .csv (label in the last column)")
    if len(X) == 0:
        raise CommandError(f"{path}: no trials in the file")
    if n_features is not None and X.shape[1] != n_features:
        raise CommandError(f"{path}: {X.shape[1]} feature columns, but the model expects "
                           f"{n_features}")
    if need_labels and y is None:
        raise CommandError(f"{path}: no labels (an .npz needs an array 'y'; a .csv needs the "
                           "label in its last column)")
    return X, y


def _load_classifier(path):
    from kovani_bci.estimator import KovaniSoftmaxClassifier

    return KovaniSoftmaxClassifier.load(path)


# Optional dependencies of some commands, and the extra that installs each.
_EXTRAS = {"pyriemann": "bci", "distributed": "cluster", "dask": "cluster", "tqdm": "demo",
           "matplotlib": "demo", "sklearn": "demo", "mne": "live", "mne_lsl": "live",
           "pylsl": "live", "plotly": "monitor"}


@contextlib.contextmanager
def _optional_dependencies():
    """A missing optional package becomes a one-line error that names the extra to install."""
    try:
        yield
    except ModuleNotFoundError as exc:
        top = (exc.name or "").partition(".")[0]
        if top not in _EXTRAS:
            raise
        raise CommandError(f"this needs the package '{top}', which is not installed: "
                           f"pip install 'kovani_bci[{_EXTRAS[top]}]'") from None


# -- commands ---------------------------------------------------------------------------------

def cmd_fit(args, out):
    from kovani_bci.estimator import KovaniSoftmaxClassifier

    X, y = load_features(args.features)
    clf = KovaniSoftmaxClassifier(w_loc=args.w_loc, w_scale=args.w_scale, b_loc=args.b_loc,
                                  b_scale=args.b_scale, learning_rate=args.learning_rate,
                                  num_steps=args.num_steps,
                                  n_posterior_samples=args.posterior_samples,
                                  random_state=args.seed)
    clf.fit(X, y)
    clf.save(args.out)
    print(f"fitted {len(clf.classes_)} classes on {len(X)} trials x {X.shape[1]} features; "
          f"training accuracy {clf.score(X, y):.3f}; wrote {args.out}", file=out)


def cmd_update(args, out):
    clf = _load_classifier(args.model)
    X, y = load_features(args.features, n_features=clf.n_features_in_)
    before = list(clf.classes_)
    clf.partial_fit(X, y)
    clf.save(args.out)
    added = [c for c in clf.model_labels_.tolist() if c not in before]
    note = f"; new classes: {', '.join(map(str, added))}" if added else ""
    print(f"updated with {len(X)} trials{note}; wrote {args.out}", file=out)


def cmd_predict(args, out):
    clf = _load_classifier(args.model)
    if args.posterior_samples is not None:
        clf.set_params(n_posterior_samples=args.posterior_samples)
    if args.reject_below is None and clf.reject_below > 0:
        args.reject_below = clf.reject_below        # the threshold saved with the classifier
    X, y = load_features(args.features, n_features=clf.n_features_in_, need_labels=False)
    proba = clf.predict_proba(X)
    pred = clf.classes_[np.argmax(proba, axis=1)]
    writer = csv.writer(out, lineterminator="\n")
    if args.reject_below is not None:
        _write_with_abstentions(writer, clf, pred, proba, args)
    elif args.proba:
        writer.writerow(["prediction", *[f"p_{c}" for c in clf.classes_]])
        for label, row in zip(pred, proba):
            writer.writerow([label, *[f"{p:.6f}" for p in row]])
    else:
        for label in pred:
            writer.writerow([label])
    if y is not None:
        if y.dtype.kind != clf.classes_.dtype.kind and not (
                y.dtype.kind in "iuf" and clf.classes_.dtype.kind in "iuf"):
            y = y.astype(str)
            pred = pred.astype(str)
        print(f"accuracy {np.mean(pred == y):.3f} on {len(y)} labelled trials", file=sys.stderr)
        if args.reject_below is not None:
            decided = proba.max(axis=1) >= args.reject_below
            kept = (f"accuracy {np.mean(pred[decided] == y[decided]):.3f} on the decided trials"
                    if decided.any() else "no trial decided")
            print(f"decided {decided.sum()} of {len(y)} trials (coverage {decided.mean():.3f}); "
                  f"{kept}", file=sys.stderr)


def _write_with_abstentions(writer, clf, pred, proba, args):
    """A header row, then per trial its label (and probabilities) and 1 where the decoder
    abstains (top-class probability below --reject-below), else 0."""
    rejected = proba.max(axis=1) < args.reject_below
    columns = [f"p_{c}" for c in clf.classes_] if args.proba else []
    writer.writerow(["prediction", *columns, "abstained"])
    for label, row, no in zip(pred, proba, rejected):
        values = [f"{p:.6f}" for p in row] if args.proba else []
        writer.writerow([label, *values, int(no)])


def cmd_info(args, out):
    from kovani_bci.kovani_io import FORMAT_VERSION

    clf = _load_classifier(args.model)
    p = clf.model_.params
    labels = clf.model_labels_.tolist()
    counts = p["class_counts"].tolist()
    ref = labels[int(p["ref_class"])]
    rows = [
        ("file", f"{args.model} (format version {FORMAT_VERSION})"),
        ("model", f"{clf.model_.model_type}, backend {p['backend'].item()}, "
                  f"{p['beta_mean'].dtype}"),
        ("classes", f"{len(labels)}; reference class {ref!s}"),
        ("features", str(clf.n_features_in_)),
        ("trials", ", ".join(f"{c!s}: {n}" for c, n in zip(labels, counts))
         + f" (total {sum(counts)})"),
        ("prior", f"weights N({float(p['w_loc']):g}, {float(p['w_scale']):g}^2), "
                  f"intercepts N({float(p['b_loc']):g}, {float(p['b_scale']):g}^2)"),
        ("updates", f"{int(p['num_steps'])} sweeps, learning rate "
                    f"{float(p['learning_rate']):g}"),
        ("prediction", f"{clf.n_posterior_samples} posterior samples, seed {int(p['rng_seed'])}"),
        ("abstention", f"reject below {clf.reject_below:g}"
                       + (" (never abstains)" if clf.reject_below == 0 else "")),
        ("forgetting", f"factor {clf.forgetting_factor:g}"
                       + (" (forgets nothing)" if clf.forgetting_factor == 1 else "")),
        ("widening", f"factor {clf.prior_widening:g} (as a prior of a new fit)"),
        ("replay", f"{clf.replay_per_class} trials per class kept; "
                   f"{len(clf._state().replay.y)} held"),
    ]
    width = max(len(k) for k, _ in rows)
    for key, value in rows:
        print(f"{key:<{width}}  {value}", file=out)


def cmd_demo(args, out):
    from kovani_bci.demo import run_demo

    with _optional_dependencies():
        run_demo(seed=args.seed, figure_path=args.figure, n_blocks=args.blocks,
                 trials_per_block=args.trials_per_block, out=out, features=args.features)


def cmd_compare(args, out):
    from kovani_bci.compare import run_compare

    with _optional_dependencies():
        run_compare(folds=args.folds, num_steps=args.num_steps,
                    n_posterior_samples=args.posterior_samples, datasets=args.datasets,
                    markdown=args.markdown, out=out, n_jobs=args.n_jobs, dask=args.dask)


# -- live EEG over LSL ---------------------------------------------------------------------------

def _loopback():
    """Keep this process's LSL traffic on loopback (``--loopback``): the configuration must be
    in place before liblsl loads; a process that already loaded it with the loopback
    configuration (a test run) is fine as it is."""
    from kovani_bci.live import lsl

    try:
        lsl.use_loopback_config()
    except RuntimeError:
        path = os.environ.get("LSLAPICFG")
        try:
            with open(path, encoding="ascii") as f:
                if f.read() == lsl.LOOPBACK_CONFIG:
                    return
        except (TypeError, OSError):
            pass
        raise


def _check_liblsl():
    from kovani_bci.live.lsl import liblsl_unavailable

    reason = liblsl_unavailable()
    if reason:
        raise CommandError(reason)


def cmd_replay(args, out):
    with _optional_dependencies():
        if args.loopback:
            _loopback()
        _check_liblsl()
        from kovani_bci.live import replay as rp

        if args.dataset:
            raw = _dataset_raw(args.dataset, args.seed)
            what = f"recorded data set {args.dataset} (seed {args.seed})"
        elif args.simulate:
            raw = rp.simulated_raw(seed=args.seed, n_blocks=args.blocks,
                                   trials_per_block=args.trials_per_block,
                                   features=args.features)
            what = (f"simulated session (seed {args.seed}, {args.blocks} blocks of "
                    f"{args.trials_per_block} trials, {args.features} montage)")
        else:
            raw = rp.read_recording(args.recording)
            what = args.recording
        names = dict(name=args.name, stype=args.type, marker_name=args.marker_name,
                     marker_type=args.marker_type)
        n_markers = len(rp.annotation_samples(raw)[0])
        print(f"Replaying {what}: {len(raw.ch_names)} channels at {raw.info['sfreq']:g} Hz, "
              f"{raw.n_times / raw.info['sfreq']:.1f} s, {n_markers} markers, at {args.speed:g}x "
              f"on streams '{args.name}' ({args.type}) and '{args.marker_name}' "
              f"({args.marker_type}, {args.encoding})", file=out, flush=True)
        if args.wait:
            print(f"Waiting up to {args.wait:g} s for a consumer of both streams", file=out,
                  flush=True)
        started = time.monotonic()
        result = _replay_until_interrupted(rp, raw, speed=args.speed, encoding=args.encoding,
                                           chunk_size=args.chunk_size, wait=args.wait or None,
                                           start_delay=args.start_delay, **names)
        print(f"Replayed {result.n_samples} samples and {result.n_markers} markers in "
              f"{time.monotonic() - started:.1f} s", file=out)


def _replay_until_interrupted(rp, raw, **options):
    """Replay in a thread while this one waits for Ctrl-C: whatever the replay is doing
    (waiting for a decoder, sleeping, inside liblsl), Ctrl-C stops it and ends the command
    within a second."""
    thread, stop, result = rp.replay_in_thread(raw, **options)
    try:
        while thread.is_alive():
            thread.join(0.1)
    except KeyboardInterrupt:
        stop.set()
        thread.join(0.8)
        raise
    if "error" in result:
        raise result["error"]
    return result["result"]


def _simulation_options(parser, args, command, **defaults):
    """Options that only --simulate takes: their defaults there, a usage error elsewhere."""
    for key, default in defaults.items():
        if getattr(args, key) is None:
            setattr(args, key, default)
        elif not args.simulate:
            parser.exit(2, f"{PROG} {command}: error: --{key.replace('_', '-')} is an option of "
                           "--simulate\n")


def _dataset_raw(name, seed):
    """A recorded data set laid out for replay; one line when the data are not installed."""
    from kovani_bci.datasets import RecordingsNotInstalled
    from kovani_bci.live import replay as rp

    try:
        return rp.dataset_raw(name, seed=seed)
    except RecordingsNotInstalled as exc:
        raise CommandError(str(exc)) from None


def _check_dataset_args(parser, args, command):
    """--dataset replaces the simulated session: the session's own options do not apply."""
    if args.dataset is None:
        return
    # online's --features chooses the decoder's pipeline; replay's only the simulated montage.
    keys = ("recording", "blocks", "trials_per_block") + (("features",) if command == "replay"
                                                          else ())
    given = [key for key in keys if getattr(args, key, None) is not None]
    if given:
        option = "RECORDING" if given[0] == "recording" else "--" + given[0].replace("_", "-")
        parser.exit(2, f"{PROG} {command}: error: --dataset replays a recorded data set; leave "
                       f"out {option}\n")


def _check_replay_args(parser, args):
    """The recording, --simulate or --dataset, and the simulation's options only with
    --simulate."""
    _check_dataset_args(parser, args, "replay")
    if args.dataset is not None:
        if args.simulate:
            parser.exit(2, f"{PROG} replay: error: give --simulate or --dataset, not both\n")
        if args.seed is None:
            args.seed = 0
        return
    if (args.recording is None) == (not args.simulate):
        parser.exit(2, f"{PROG} replay: error: give a RECORDING file or --simulate, not "
                       f"{'both' if args.simulate else 'neither'}\n")
    _simulation_options(parser, args, "replay", seed=0, blocks=4, trials_per_block=45,
                        features="log-variance")



# -- online decoding -----------------------------------------------------------------------------

def _default_session_path():
    stamp = time.strftime("%Y%m%d-%H%M%S", time.gmtime())
    return os.path.join("out", f"online-{stamp}.sqlite")


def cmd_online(args, out):
    with _optional_dependencies():
        if args.loopback or args.simulate:
            _loopback()
        _check_liblsl()
        from kovani_bci.live.online import LiveError, format_summary, run_online
        from kovani_bci.live.session import SessionError

        session = args.session or _default_session_path()
        settings = dict(features=args.features, tmin=args.tmin, tmax=args.tmax,
                        calibration_trials=args.calibration_trials, num_steps=args.num_steps,
                        n_posterior_samples=args.posterior_samples, seed=args.seed,
                        reject_below=args.reject_below, block_trials=args.block_trials,
                        start_model=os.path.abspath(args.model) if args.model else None,
                        max_classes=args.max_classes)
        streams = dict(eeg_name=args.eeg, eeg_type=args.eeg_type, markers_name=args.markers,
                       markers_type=args.markers_type, eeg_source_id=args.eeg_source_id,
                       markers_source_id=args.markers_source_id)
        monitor = _MonitorProcess(session, args.monitor, out)
        replaying = None
        if args.simulate:
            replaying = _start_simulation(args, out)
            streams = dict(eeg_name=replaying["names"]["name"],
                           markers_name=replaying["names"]["marker_name"])

        def report(line):
            print(f"{PROG} online: {line}", file=sys.stderr, flush=True)

        try:
            summary = run_online(session, **streams, decisions_name=args.decisions,
                                 resume=args.resume, record_raw=args.record_raw,
                                 timeout=args.timeout, stall_timeout=args.stall_timeout,
                                 report=report, warm_classes=args.warm_classes,
                                 ready=monitor.start, **settings)
        except (LiveError, SessionError) as exc:
            raise CommandError(str(exc)) from None
        finally:
            monitor.stop()
            if replaying is not None:
                replaying["stop"].set()
                replaying["thread"].join(10)
        if replaying is not None and "error" in replaying["result"]:
            raise CommandError(f"the simulated replay failed: "
                               f"{_error_line(replaying['result']['error'])}")
        print(format_summary(summary), file=out)
        if summary.get("failure"):      # a session that decided nothing did not succeed
            raise CommandError(summary["failure"])


class _MonitorProcess:
    """``online --monitor PORT``: ``kovani-bci monitor`` in a process of its own, started once
    the session file is there (never on the decision path); without it, the command that
    opens one is printed."""

    def __init__(self, session, port, out):
        self.session, self.port, self.out, self.process = session, port, out, None
        if port is None:
            print(f"Follow the session in a browser: {PROG} monitor {shlex.quote(session)}",
                  file=out, flush=True)
            return
        print(f"The session's monitor page: http://127.0.0.1:{port}/ (once the streams are "
              "connected)", file=out, flush=True)
        import socket

        with socket.socket() as probe:      # a port in use fails now, not mid-session
            try:
                probe.bind(("127.0.0.1", port))
            except OSError:
                raise CommandError(f"--monitor: port {port} on 127.0.0.1 is in use; choose "
                                   "another") from None

    def start(self):
        if self.port is None:
            return
        import subprocess

        # The monitor ends when this process's end of the pipe closes: also when it is
        # killed (kill -9), which leaves no chance to terminate the monitor.
        self.process = subprocess.Popen(
            [sys.executable, "-m", "kovani_bci.cli", "monitor", self.session, "--port",
             str(self.port), "--until-stdin-closes"], stdin=subprocess.PIPE)

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            time.sleep(1.5)     # open pages fetch the session's end before the monitor goes
            self.process.terminate()
            try:
                self.process.wait(5)
            except Exception:       # noqa: BLE001 -- it must not outlive the session
                self.process.kill()
                self.process.wait()


def cmd_monitor(args, out):
    with _optional_dependencies():
        from kovani_bci.live.monitor import MonitorError, make_server
        from kovani_bci.live.session import SessionError

        try:
            server = make_server(args.session, port=args.port, host=args.host)
        except (SessionError, MonitorError) as exc:
            raise CommandError(str(exc)) from None
        try:
            os.nice(10)         # never take the CPU from a decoder on the same machine
        except OSError:
            pass
        print(f"Monitoring {args.session} at {server.url} (Ctrl-C to stop)", file=out,
              flush=True)
        import signal

        def stop(*_):
            raise KeyboardInterrupt

        signal.signal(signal.SIGTERM, stop)     # `online --monitor` ends it so
        if args.until_stdin_closes:
            import threading

            def watch():
                sys.stdin.buffer.read()         # returns once the decoder has gone
                os.kill(os.getpid(), signal.SIGTERM)
            threading.Thread(target=watch, daemon=True).start()
        try:
            server.serve_forever(poll_interval=0.2)
        except KeyboardInterrupt:
            pass
        finally:
            server.server_close()
            server.monitor.close()


def cmd_report(args, out):
    with _optional_dependencies():
        from kovani_bci.live.monitor import MonitorError, write_report
        from kovani_bci.live.session import SessionError

        target = args.output or os.path.splitext(args.session)[0] + ".html"
        try:
            write_report(args.session, target)
        except (SessionError, MonitorError) as exc:
            raise CommandError(str(exc)) from None
        print(f"Report of {args.session} written to {target}", file=out)


def _start_simulation(args, out):
    """Replay the simulated session on loopback in a thread, for ``online --simulate``."""
    from kovani_bci.live import replay as rp

    if args.dataset:
        raw = _dataset_raw(args.dataset, args.seed)
        what = f"Recorded data set {args.dataset} (seed {args.seed}, {args.features})"
    else:
        raw = rp.simulated_raw(seed=args.seed, n_blocks=args.blocks,
                               trials_per_block=args.trials_per_block, features=args.features)
        what = (f"Simulated session (seed {args.seed}, {args.blocks} blocks of "
                f"{args.trials_per_block} trials, {args.features})")
    names = dict(name=f"kovani-simulated-{os.getpid()}", stype="EEG",
                 marker_name=f"kovani-simulated-{os.getpid()}-markers", marker_type="Markers")
    print(f"{what} replayed at {args.speed:g}x on loopback, decoded online:", file=out,
          flush=True)
    thread, stop, result = rp.replay_in_thread(raw, speed=args.speed, wait=args.timeout + 60,
                                               **names)
    return dict(thread=thread, stop=stop, result=result, names=names)


def _check_online_args(parser, args):
    """--session with --resume; the simulation's options only with --simulate."""
    if args.resume and not args.session:
        parser.exit(2, f"{PROG} online: error: --resume needs --session, the session to "
                       "continue\n")
    if args.dataset is not None and not args.simulate:
        parser.exit(2, f"{PROG} online: error: --dataset is an option of --simulate\n")
    _check_dataset_args(parser, args, "online")
    if args.tmax is None:
        args.tmax = _dataset_seconds(parser, args.dataset) if args.dataset else 2.0
    if args.tmax <= args.tmin:
        parser.exit(2, f"{PROG} online: error: --tmax ({args.tmax:g}) must be greater than "
                       f"--tmin ({args.tmin:g}): the window is [tmin, tmax) s from the "
                       "marker\n")
    if args.tmax - args.tmin > MAX_WINDOW_SECONDS:
        parser.exit(2, f"{PROG} online: error: --tmax - --tmin is {args.tmax - args.tmin:g} s; "
                       f"a window lasts at most {MAX_WINDOW_SECONDS:g} s\n")
    if args.simulate and (args.eeg_source_id or args.markers_source_id):
        parser.exit(2, f"{PROG} online: error: --simulate decodes its own streams; leave out "
                       "--eeg-source-id and --markers-source-id\n")
    if args.simulate and args.resume:
        parser.exit(2, f"{PROG} online: error: --simulate starts a new session; it cannot "
                       "--resume one\n")
    if args.simulate and (args.eeg or args.eeg_type or args.markers or args.markers_type):
        parser.exit(2, f"{PROG} online: error: --simulate decodes its own streams; leave out "
                       "--eeg, --eeg-type, --markers and --markers-type\n")
    _simulation_options(parser, args, "online", blocks=4, trials_per_block=45, speed=10.0)
    own = args.simulate and args.dataset is None        # the simulated session's blocks
    if args.calibration_trials is None:
        args.calibration_trials = args.trials_per_block if own else 20
    if args.block_trials is None:
        args.block_trials = args.trials_per_block if own else 45


def _dataset_seconds(parser, name):
    """The length of a recorded data set's trials in seconds."""
    from kovani_bci.datasets import RecordingsNotInstalled, load_recording

    try:
        rec = load_recording(name)
    except RecordingsNotInstalled as exc:
        parser.exit(1, f"{PROG} online: error: {exc}\n")
    return rec.X_train.shape[-1] / rec.sfreq

# -- argument parsing -------------------------------------------------------------------------

class _Parser(argparse.ArgumentParser):
    """Usage errors as one line too (no usage block), with status 2."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {_first_line(message)}\n")


def _int_in(low, high):
    """An option type: an integer in [low, high]."""
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
        if value < low:
            raise argparse.ArgumentTypeError(f"must be >= {low}, got {value}")
        if value > high:
            raise argparse.ArgumentTypeError(f"must be <= {high}, got {value}")
        return value
    parse.__name__ = "integer"
    return parse


def _finite_float(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text!r}")
    return value


_steps = _int_in(1, MAX_NUM_STEPS)
_samples = _int_in(1, MAX_POSTERIOR_SAMPLES)
_seed = _int_in(0, _MAX_SEED)


def _positive_float(text):
    value = _finite_float(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be > 0, got {text}")
    return value


def _seconds(text):
    value = _finite_float(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be >= 0 seconds, got {text}")
    return value


def _float_in(low, high):
    """An option type: a number in [low, high]."""
    def parse(text):
        value = _finite_float(text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be in [{low:g}, {high:g}], got {text}")
        return value
    parse.__name__ = "number"
    return parse


# Live options: a replay speed, waits, and the window, each within what a session can use
# (a window of at most 30 s: the decoder buffers 60 s of EEG).
_speed = _float_in(0.01, 1000.0)
_wait = _float_in(0.0, 86_400.0)
_timeout = _float_in(0.1, 3600.0)
_window_edge = _float_in(-30.0, 30.0)
MAX_WINDOW_SECONDS = 30.0


def _stream_name(text):
    """An option type: an LSL stream name, type or source id that a decoder can look up."""
    from kovani_bci.live.lsl import stream_name_problem

    problem = stream_name_problem(text)
    if problem:
        raise argparse.ArgumentTypeError(problem)
    return text


def _n_jobs(text):
    from kovani_bci.compare import MAX_JOBS

    return -1 if text.strip() == "-1" else _int_in(1, MAX_JOBS)(text)


def _probability(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not 0 <= value <= 1:
        raise argparse.ArgumentTypeError(f"must be in [0, 1], got {text}")
    return value


FIGURE_FORMATS = ("png", "pdf", "svg", "jpg", "jpeg", "eps", "ps", "tif", "tiff", "webp")


def _figure_path(text):
    """An option type: 'none', or a path to write a figure to, checked before the run."""
    from kovani_bci.kovani_io import _file_kind

    if text.strip().lower() == "none":
        return "none"
    extension = os.path.splitext(text)[1].lower().lstrip(".")
    if extension not in FIGURE_FORMATS:
        raise argparse.ArgumentTypeError(
            f"{text!r} must end in one of {', '.join('.' + f for f in FIGURE_FORMATS)} "
            "(the figure's format), or be 'none'")
    # The nearest existing ancestor must be a directory (the demo makes the rest), and an
    # existing figure a regular file that writing replaces.
    path = os.path.abspath(text)
    probe = path
    while not os.path.lexists(probe):
        probe = os.path.dirname(probe)
    try:
        mode = os.stat(probe).st_mode
    except OSError as exc:
        raise argparse.ArgumentTypeError(f"{text!r}: {exc.strerror}") from None
    if probe == path and not stat.S_ISREG(mode):
        raise argparse.ArgumentTypeError(f"{text!r} is {_file_kind(mode)}, not a file to "
                                         "write a figure to")
    if probe != path and not stat.S_ISDIR(mode):
        raise argparse.ArgumentTypeError(f"{text!r} cannot be written: {probe!r} is not a "
                                         "directory")
    return text


def build_parser():
    parser = _Parser(
        prog=PROG, description="Bayesian softmax decoding for brain-computer interfaces.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("demo", help="simulated motor-imagery session, decoded online",
                       description="Simulate a motor-imagery session, calibrate on the first "
                       "block, decode the rest trial by trial with online updates (one class "
                       "appears only later), print a summary table and write a figure.")
    p.add_argument("--seed", type=_seed, default=0, help="simulation seed (default 0)")
    p.add_argument("--figure", type=_figure_path, default=os.path.join("out", "demo.png"),
                   help="where to write the figure (default out/demo.png; its extension "
                   "picks the format: .png, .pdf, .svg, ...); 'none' to skip")
    # Block 0 calibrates on two classes and the third arrives in a later block, which then
    # holds a trial of each of the three.
    p.add_argument("--blocks", type=_int_in(2, 100), default=4, help="blocks, 2 to 100 "
                   "(default 4)")
    p.add_argument("--trials-per-block", type=_int_in(3, 10_000), default=45,
                   help="trials per block, 3 to 10000 (default 45)")
    p.add_argument("--features", choices=["log-variance", "tangent-space"],
                   default="log-variance",
                   help="log-variance: 8 channels, 16 band-power features (default); "
                   "tangent-space: 22 channels, covariance matrices in the Riemannian "
                   "tangent space, 253 features (needs pyriemann)")
    p.set_defaults(func=cmd_demo)

    p = sub.add_parser("fit", help="fit a classifier to a feature file",
                       description="Fit a classifier to labelled trials and save it.")
    p.add_argument("features", metavar="FEATURES", help=".npz (X, y) or .csv (label last)")
    p.add_argument("--out", required=True, metavar="MODEL", help="model file to write")
    p.add_argument("--w-loc", type=_finite_float, default=0.0, help="prior mean of weights (0)")
    p.add_argument("--w-scale", type=_finite_float, default=1.0, help="prior scale of weights (1)")
    p.add_argument("--b-loc", type=_finite_float, default=0.0, help="prior mean of intercepts (0)")
    p.add_argument("--b-scale", type=_finite_float, default=10.0, help="prior scale of intercepts (10)")
    p.add_argument("--learning-rate", type=_finite_float, default=1.0, help="damping in (0, 1] (1)")
    p.add_argument("--num-steps", type=_steps, default=10, help="sweeps (10)")
    p.add_argument("--posterior-samples", type=_samples, default=100,
                   help="posterior draws for probabilities (100)")
    p.add_argument("--seed", type=_seed, default=0, help="seed of the posterior draws (0)")
    p.set_defaults(func=cmd_fit)

    p = sub.add_parser("predict", help="predict labels (or probabilities) for trials",
                       description="Print one predicted label per trial as CSV; with --proba "
                       "also the class probabilities. Labelled input also reports accuracy "
                       "on stderr.")
    p.add_argument("model", metavar="MODEL", help="model file")
    p.add_argument("features", metavar="FEATURES", help=".npz (X[, y]) or .csv")
    p.add_argument("--proba", action="store_true", help="also print class probabilities")
    p.add_argument("--posterior-samples", type=_samples, default=None,
                   help="override the model's number of posterior draws")
    p.add_argument("--reject-below", type=_probability, default=None, metavar="P",
                   help="abstain on trials whose top-class probability is below P (in [0, 1]): "
                   "the output gains a header row and an 'abstained' column (1: abstained)")
    p.set_defaults(func=cmd_predict)

    p = sub.add_parser("update", help="update a model online with new labelled trials",
                       description="Update a model with labelled trials (new labels add "
                       "classes) and save the result.")
    p.add_argument("model", metavar="MODEL", help="model file to start from")
    p.add_argument("features", metavar="FEATURES", help=".npz (X, y) or .csv (label last)")
    p.add_argument("--out", required=True, metavar="MODEL2", help="model file to write")
    p.set_defaults(func=cmd_update)

    p = sub.add_parser("info", help="describe a model file",
                       description="Print the classes, counts, prior and settings of a model.")
    p.add_argument("model", metavar="MODEL", help="model file")
    p.set_defaults(func=cmd_info)

    p = sub.add_parser("compare", help="compare with LogisticRegression on bundled data",
                       description="Five-fold cross-validated accuracy, log loss and expected "
                       "calibration error on scikit-learn's digits, wine and breast_cancer "
                       "data, against LogisticRegression (features standardised).")
    p.add_argument("--folds", type=_int_in(2, 100), default=5, help="CV folds (5)")
    p.add_argument("--num-steps", type=_steps, default=30, help="sweeps (30)")
    p.add_argument("--posterior-samples", type=_samples, default=100,
                   help="posterior draws for probabilities (100)")
    p.add_argument("--datasets", nargs="+", default=["digits", "wine", "breast_cancer"],
                   choices=["digits", "wine", "breast_cancer"], help="which data sets")
    p.add_argument("--markdown", action="store_true", help="print a Markdown table")
    p.add_argument("--n-jobs", type=_n_jobs, default=None, metavar="N",
                   help="run the folds in N local worker processes, at most 1024 (-1: one "
                   "per CPU; never more than there are CPUs or folds to run); with --dask, "
                   "the most folds in flight at once (default: all workers)")
    p.add_argument("--dask", metavar="ADDRESS", default=None,
                   help="run the folds on the workers of the Dask scheduler at ADDRESS "
                   "(such as tcp://10.0.0.5:8786); needs dask.distributed")
    p.set_defaults(func=cmd_compare)

    p = sub.add_parser("replay", help="publish a recording as live EEG and marker LSL streams",
                       description="Publish a raw EEG file that MNE reads (its annotations as "
                       "markers), or the demo's simulated session, as an EEG stream and a "
                       "marker stream on Lab Streaming Layer, at real time or faster. Ends at "
                       "the end of the recording, or on Ctrl-C.")
    p.add_argument("recording", metavar="RECORDING", nargs="?", default=None,
                   help="raw file with annotations (.fif, .edf, .bdf, .vhdr, .set, ...)")
    p.add_argument("--simulate", action="store_true",
                   help="replay the demo's simulated session instead of a file")
    p.add_argument("--dataset", choices=RECORDINGS, default=None, metavar="NAME",
                   help="replay a recorded EEG or MEG data set instead of a file: its train "
                   "split as labelled calibration trials, then its test split online, in an "
                   "order drawn from --seed (one of " + ", ".join(RECORDINGS) + ")")
    p.add_argument("--seed", type=_seed, default=None, help="simulation seed (0)")
    p.add_argument("--blocks", type=_int_in(2, 100), default=None, help="blocks (4)")
    p.add_argument("--trials-per-block", type=_int_in(3, 10_000), default=None,
                   help="trials per block (45)")
    p.add_argument("--features", choices=["log-variance", "tangent-space"], default=None,
                   help="the montage: 8 channels for log-variance (default), 22 for "
                   "tangent-space")
    p.add_argument("--speed", type=_speed, default=1.0,
                   help="multiple of real time, 0.01 to 1000 (1); timestamps keep their "
                   "nominal spacing")
    p.add_argument("--loopback", action="store_true",
                   help="keep LSL on this machine: loopback-only discovery and traffic")
    p.add_argument("--name", type=_stream_name, default="kovani-replay",
                   help="EEG stream name (kovani-replay)")
    p.add_argument("--type", type=_stream_name, default="EEG", help="EEG stream type (EEG)")
    p.add_argument("--marker-name", type=_stream_name, default="kovani-replay-markers",
                   help="marker stream name (kovani-replay-markers)")
    p.add_argument("--marker-type", type=_stream_name, default="Markers",
                   help="marker stream type (Markers)")
    p.add_argument("--encoding", choices=["string", "one-hot"], default="string",
                   help="markers as one string channel (default) or mne-lsl's one-hot channels")
    p.add_argument("--chunk-size", type=_int_in(1, 100_000), default=10,
                   help="samples per pushed chunk (10)")
    p.add_argument("--wait", type=_wait, default=30.0, metavar="SECONDS",
                   help="wait this long for a consumer of both streams before the first "
                   "sample (markers sent before a decoder connects are lost); 0: start at "
                   "once; at most a day (30)")
    p.add_argument("--start-delay", type=_float_in(0.0, 3600.0), default=0.0,
                   metavar="SECONDS", help="seconds between the consumers' arrival and the "
                   "first sample, at most an hour (0)")
    p.set_defaults(func=cmd_replay, check=_check_replay_args)

    p = sub.add_parser("online", help="decode live EEG and marker LSL streams",
                       description="Decode an EEG stream trial by trial at the markers of a "
                       "marker stream (Lab Streaming Layer): calibrate, then decide every "
                       "trial, push the decisions on an LSL stream and learn from the labels; "
                       "record the session so that it survives a crash (--resume). With "
                       "--simulate, replay the demo's simulated session on loopback and "
                       "decode it.")
    p.add_argument("--session", default=None, metavar="PATH",
                   help="session file to write (SQLite; default out/online-<time>.sqlite)")
    p.add_argument("--resume", action="store_true",
                   help="continue the session in --session (its settings are kept)")
    p.add_argument("--record-raw", action="store_true",
                   help="also keep the raw EEG and markers; written as <session>.raw.fif")
    p.add_argument("--eeg", type=_stream_name, default=None, metavar="NAME",
                   help="EEG stream name")
    p.add_argument("--eeg-type", type=_stream_name, default=None, metavar="TYPE",
                   help="EEG stream type, when no name is given (EEG or eeg)")
    p.add_argument("--eeg-source-id", type=_stream_name, default=None, metavar="ID",
                   help="the EEG stream's source id, where several have its name or type")
    p.add_argument("--markers", type=_stream_name, default=None, metavar="NAME",
                   help="marker stream name")
    p.add_argument("--markers-type", type=_stream_name, default=None, metavar="TYPE",
                   help="marker stream type, when no name is given (Markers or annotations)")
    p.add_argument("--markers-source-id", type=_stream_name, default=None, metavar="ID",
                   help="the marker stream's source id, where several have its name or type")
    p.add_argument("--decisions", type=_stream_name, default="kovani-decisions",
                   metavar="NAME", help="name of the decision stream to publish "
                   "(kovani-decisions)")
    p.add_argument("--tmin", type=_window_edge, default=0.0,
                   help="window start in seconds from the trial marker, -30 to 30 (0)")
    p.add_argument("--tmax", type=_window_edge, default=None,
                   help="window end in seconds from the trial marker, -30 to 30 (2; with "
                   "--dataset the trials' length)")
    p.add_argument("--features", choices=["log-variance", "tangent-space", "window-means"],
                   default="log-variance", help="feature pipeline (log-variance; window-means "
                   "for evoked or slow potentials)")
    p.add_argument("--calibration-trials", type=_int_in(1, 10_000), default=None,
                   metavar="N", help="fit once N labelled calibration trials have come (20; "
                   "with --simulate the first block)")
    p.add_argument("--model", default=None, metavar="FILE",
                   help="classifier file to start from: the session starts online; its "
                   "first N trials (--calibration-trials) fix the feature statistics and "
                   "refit it, its posterior as the prior")
    p.add_argument("--reject-below", type=_probability, default=None, metavar="P",
                   help="abstain when the top class probability is below P (the model's own "
                   "setting, or 0)")
    p.add_argument("--num-steps", type=_steps, default=5, help="sweeps per update (5)")
    p.add_argument("--posterior-samples", type=_samples, default=100,
                   help="posterior draws for probabilities (100)")
    p.add_argument("--seed", type=_seed, default=0, help="seed (0), of the simulation too")
    p.add_argument("--timeout", type=_timeout, default=5.0, metavar="SECONDS",
                   help="wait this long for each stream to show up, 0.1 to 3600 (5)")
    p.add_argument("--stall-timeout", type=_float_in(0.1, 86_400.0), default=10.0,
                   metavar="SECONDS", help="end the session when no EEG comes for this long "
                   "(10)")
    p.add_argument("--block-trials", type=_int_in(1, 100_000), default=None, metavar="N",
                   help="trials per block in the summary's accuracy by block (45; with "
                   "--simulate its blocks)")
    p.add_argument("--warm-classes", type=_int_in(0, 50), default=3, metavar="K",
                   help="compile the classifier for up to K classes, in the background once "
                   "connected (3)")
    p.add_argument("--max-classes", type=_int_in(2, 1000), default=20, metavar="K",
                   help="classes a session may learn: a label beyond them is recorded and "
                   "reported, not learnt (20)")
    p.add_argument("--loopback", action="store_true",
                   help="keep LSL on this machine: loopback-only discovery and traffic")
    p.add_argument("--simulate", action="store_true",
                   help="replay the demo's simulated session on loopback and decode it")
    p.add_argument("--dataset", choices=RECORDINGS, default=None, metavar="NAME",
                   help="--simulate: replay this recorded data set instead of the simulated "
                   "session (see replay --dataset); the window defaults to its trials")
    p.add_argument("--blocks", type=_int_in(2, 100), default=None,
                   help="--simulate: blocks (4)")
    p.add_argument("--trials-per-block", type=_int_in(3, 10_000), default=None,
                   help="--simulate: trials per block (45)")
    p.add_argument("--speed", type=_speed, default=None,
                   help="--simulate: replay speed, a multiple of real time, 0.01 to 1000 (10)")
    p.add_argument("--monitor", type=_int_in(1, 65535), default=None, metavar="PORT",
                   help="also serve the monitor page of the session on 127.0.0.1:PORT, from "
                   "another process")
    p.set_defaults(func=cmd_online, check=_check_online_args)

    p = sub.add_parser("monitor", help="follow a session in the browser",
                       description="Serve a page that follows an online session file while "
                       "a decoder writes it (or shows a finished one): accuracy, "
                       "abstentions, probabilities, confusion, calibration, latency, reports "
                       "and settings. Reads the file only.")
    p.add_argument("session", metavar="SESSION", help="the session file (SQLite)")
    p.add_argument("--port", type=_int_in(0, 65535), default=8765,
                   help="port (8765; 0: a free one)")
    p.add_argument("--host", default="127.0.0.1",
                   help="interface to serve on (127.0.0.1, this machine only)")
    p.add_argument("--until-stdin-closes", action="store_true", help=argparse.SUPPRESS)
    p.set_defaults(func=cmd_monitor)

    p = sub.add_parser("report", help="write a session's views as one HTML file",
                       description="Write the monitor's views of a session file as one "
                       "self-contained HTML file (it opens without a network).")
    p.add_argument("session", metavar="SESSION", help="the session file (SQLite)")
    p.add_argument("-o", "--output", default=None, metavar="HTML",
                   help="the report to write (default: the session's name with .html)")
    p.set_defaults(func=cmd_report)
    return parser


def _first_line(text):
    line = next((line.strip() for line in str(text).splitlines() if line.strip()), "")
    return line if len(line) <= 1000 else line[:1000] + " ..."


def _error_line(exc):
    """What an exception says, as one line; its type where the text alone would puzzle."""
    text = _first_line(exc)
    if isinstance(exc, MemoryError):
        return "out of memory" + (f": {text}" if text else "")
    if isinstance(exc, (CommandError, ValueError, OSError)) and text:
        return text
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _run(args, out):
    """Run a command. Every failure ends as one line on stderr and status 1; warnings raised
    on the way are dropped then (the error says what went wrong), and printed as one line
    each after a command that succeeds."""
    prefix = f"{PROG} {args.command}"
    with warnings.catch_warnings(record=True) as caught:
        try:
            args.func(args, out)
        except KeyboardInterrupt:
            print(f"{prefix}: interrupted", file=sys.stderr)
            return 130
        except BrokenPipeError:
            # The reader of our output went away (`| head`): stop quietly, and keep the
            # interpreter from failing to flush stdout at exit.
            if out is sys.stdout:
                os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 1
        except Exception as exc:  # noqa: BLE001 -- the one place failures become messages
            print(f"{prefix}: error: {_error_line(exc)}", file=sys.stderr)
            return 1
    for message in dict.fromkeys(_first_line(w.message) for w in caught):
        print(f"{prefix}: warning: {message}", file=sys.stderr)
    return 0


def main(argv=None, out=None):
    """Run the command line; return the exit status (0 ok, 1 bad input, 2 bad usage)."""
    out = sys.stdout if out is None else out
    parser = build_parser()
    try:
        args, extra = parser.parse_known_args(argv)
        if extra:
            # Named after the command, like every other error of the command.
            parser.exit(2, f"{PROG} {args.command}: error: unrecognized arguments: "
                           f"{' '.join(extra)}\n")
        check = getattr(args, "check", None)
        if check is not None:
            check(parser, args)
    except SystemExit as exc:
        return 0 if exc.code is None else exc.code
    return _run(args, out)


if __name__ == "__main__":
    sys.exit(main())
