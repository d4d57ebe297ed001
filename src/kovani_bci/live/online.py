"""Decoding live LSL streams: :func:`run_online` (``kovani-bci online``) and the summary.

The decoder reads both streams with pylsl inlets directly rather than mne-lsl's
``StreamLSL`` ring buffer: trials are cut by timestamp and gaps are judged from every
sample's timestamp, so the decoder needs each sample with its own LSL timestamp, in order,
exactly once. ``StreamLSL.get_data`` returns the latest ``winsize`` seconds of a buffer that
starts zero-filled, and a marker stream of strings is not what it buffers. pylsl's
``pull_chunk`` gives exactly the samples that arrived since the last pull with their
timestamps (``proc_clocksync``: on the decoder's clock; no dejittering, which would smooth
gaps away: the decoder fits the EEG's effective rate itself, see
:mod:`kovani_bci.live.decoder`). Markers are pulled as the bytes sent, so that one that is
not UTF-8 is reported alone instead of failing the whole pull. The inlets keep liblsl's
recovery on: without it, a stream whose source closes raises at the next pull and the
samples already received but not yet pulled are lost. A stream that goes away is noticed as
silence: no EEG sample for ``stall_timeout`` seconds of waiting (the time spent handling
samples does not count) ends the session with one line (``--resume`` continues it later); a
source that comes back with a restarted clock is reported and its earlier samples dropped.

Start-up: what needs no stream is checked first (the session path, a session to resume: its
layout and its lock, the starting model's file), then the streams are found and connected
(within about a second), and only then is the decoder built (JAX loads, the session is read,
compiling starts in the background): what arrives meanwhile waits in the inlets.
"""

from __future__ import annotations

import math
import os
import sys

import numpy as np

from kovani_bci.live.decoder import DECISION_CHANNELS, DecoderSettings, OnlineDecoder
from kovani_bci.live.session import Session, export_raw
from kovani_bci.live.vocabulary import parse_marker

__all__ = ["LiveError", "run_online", "summarize", "format_summary", "resolve_stream"]

DEFAULT_EEG_TYPES = ("EEG", "eeg")
DEFAULT_MARKER_TYPES = ("Markers", "annotations")
DECISION_STREAM = "kovani-decisions"


class LiveError(Exception):
    """A stream that cannot be found or used; reported as one line."""


def _literal(text: str) -> str:
    if "'" not in text:
        return f"'{text}'"
    if '"' not in text:
        return f'"{text}"'
    raise LiveError(f"a stream name or type cannot hold both kinds of quotes: {text!r}")


def _describe_streams(found) -> str:
    return "; ".join(f"name {i.name()!r}, type {i.type()!r}, source id {i.source_id()!r}, "
                     f"host {i.hostname()!r}" for i in found)


def resolve_stream(what: str, name=None, stype=None, default_types=(), timeout=5.0,
                   source_id=None, option=None):
    """The LSL stream with this name (or type), and this source id if given, that shows up
    within ``timeout`` s.

    Raises
    ------
    LiveError
        If none does, naming what was looked for; or if several do (two sources of the same
        name): the decoder does not guess, it lists them and asks for ``option`` (the
        source id's option).
    """
    import pylsl

    if name:
        predicate, looked = f"name={_literal(name)}", f"named {name!r}"
    else:
        types = (stype,) if stype else tuple(default_types)
        predicate = " or ".join(f"type={_literal(t)}" for t in types)
        looked = "of type " + " or ".join(repr(t) for t in types)
    if source_id:
        predicate = f"({predicate}) and source_id={_literal(source_id)}"
        looked += f" with source id {source_id!r}"
    found = pylsl.resolve_bypred(predicate, 1, timeout)
    if not found:
        raise LiveError(f"no {what} stream {looked} found within {timeout:g} s")
    # Another source of the same name answers within a discovery round trip or two.
    found += pylsl.resolve_bypred(predicate, 2, min(timeout, 0.3))
    unique = list({i.uid(): i for i in found}.values())
    if len(unique) > 1:
        hint = f"; pick one with {option}" if option else ""
        raise LiveError(f"{len(unique)} {what} streams {looked}: {_describe_streams(unique)}"
                        f"{hint}")
    return unique[0]


def _channel_names(info, n) -> list:
    names = _channel_labels(info, n)
    return names if names is not None else [f"ch{i + 1}" for i in range(n)]


def _channel_labels(info, n):
    """The stream's channel labels, or None where it has none (or not one per channel)."""
    names = info.get_channel_labels() if hasattr(info, "get_channel_labels") else None
    if not names or len(names) != n or any(not x for x in names):
        return None
    return list(names)


class _IgnoredMarkers:
    """A numeric marker stream that is not a one-hot annotation stream: drained, its
    samples dropped (reported once, when the session starts)."""

    def __init__(self, inlet):
        self.inlet = inlet

    def pull_chunk(self, timeout=0.0, max_samples=1024, **_):
        self.inlet.pull_chunk(timeout=timeout, max_samples=max_samples)
        return [], []


def run_online(session_path, *, eeg_name=None, eeg_type=None, markers_name=None,
               markers_type=None, decisions_name=DECISION_STREAM, resume=False,
               record_raw=False, timeout=5.0, stall_timeout=10.0, max_seconds=None,
               report=None, ready=None, warm_classes=0, eeg_source_id=None,
               markers_source_id=None, **settings):
    """Decode the EEG and marker streams until ``end`` (or the EEG stops, or Ctrl-C);
    record a session.

    Parameters
    ----------
    session_path : path-like
        The session file (see :mod:`kovani_bci.live.session`); it must not exist unless
        ``resume`` is true, and must then be the session to continue.
    eeg_name, eeg_type : str, optional
        The EEG stream's LSL name, else its type (default: type ``EEG`` or ``eeg``).
    markers_name, markers_type : str, optional
        The marker stream's LSL name, else its type (default: ``Markers`` or
        ``annotations``). Strings, or a one-hot annotation stream (numbers on channels named
        by the markers; a numeric stream without such names is reported and ignored).
    eeg_source_id, markers_source_id : str, optional
        The stream's LSL source id, to pick one of several streams of the same name (the
        decoder never picks one itself: it lists them).
    decisions_name : str
        Name of the decision stream this pushes to (see :mod:`kovani_bci.live.decoder`).
    resume : bool
        Continue the session in ``session_path`` (its settings are kept).
    record_raw : bool
        Keep the raw EEG and markers too; at the end they are written beside the session as
        ``<session>.raw.fif`` (see :func:`kovani_bci.live.session.export_raw`).
    timeout : float
        Seconds to wait for each stream to show up.
    stall_timeout : float
        The session ends (with a report) when no EEG sample comes for this long.
    max_seconds : float, optional
        End the session after this long in any case.
    report : callable, optional
        Gets each one-line report; default: print to stderr.
    ready : callable, optional
        Called once both streams are connected and the decision stream is up.
    warm_classes : int
        Compile the classifier for up to this many classes, in the background once connected
        (see :class:`~kovani_bci.live.decoder.OnlineDecoder`).
    **settings
        :class:`~kovani_bci.live.decoder.DecoderSettings` fields: ``features``, ``tmin``,
        ``tmax``, ``calibration_trials``, ``num_steps``, ``n_posterior_samples``, ``seed``,
        ``reject_below``, ``block_trials``, ``buffer_seconds``, ``start_model``,
        ``max_classes``.

    Returns
    -------
    dict
        :func:`summarize` of the session.

    Raises
    ------
    LiveError
        If a stream is missing or unusable, or the starting model does not fit.
    SessionError
        If the session file cannot be used (not one of ours, in use by another decoder).
    """
    import pylsl

    from kovani_bci.live.decoder import check_start_model, load_start_model

    report = report or (lambda line: print(line, file=sys.stderr, flush=True))
    # Everything that can be checked without the streams fails before any wait: the session
    # path, the starting model, and a session to resume (its layout, and the lock that
    # keeps a second decoder off it). A new session file is made only once both streams are
    # there.
    Session.check_path(session_path, resume)
    start_model = settings.get("start_model")
    if start_model and not os.path.isfile(start_model):    # read once connected (JAX loads)
        raise LiveError(f"--model: no such file: {start_model}")
    session = Session(session_path, resume=True) if resume else None
    decoder = None
    started = False
    try:
        eeg_info = resolve_stream("EEG", eeg_name, eeg_type, DEFAULT_EEG_TYPES, timeout,
                                  eeg_source_id, "--eeg-source-id")
        marker_info = resolve_stream("marker", markers_name, markers_type,
                                     DEFAULT_MARKER_TYPES, timeout, markers_source_id,
                                     "--markers-source-id")
        if eeg_info.nominal_srate() <= 0:
            raise LiveError(f"the EEG stream {eeg_info.name()!r} has no regular sampling rate")
        if eeg_info.channel_format() == pylsl.cf_string:
            raise LiveError(f"the EEG stream {eeg_info.name()!r} carries strings, not samples")
        if marker_info.channel_format() == pylsl.cf_string and marker_info.channel_count() != 1:
            raise LiveError(f"the marker stream {marker_info.name()!r} has "
                            f"{marker_info.channel_count()} string channels; markers take one")
        # Connected first (markers first: those sent before an inlet connects are lost to
        # it); what arrives while the decoder gets ready waits in the inlets.
        flags = pylsl.proc_clocksync
        markers = pylsl.StreamInlet(marker_info, max_buflen=360, processing_flags=flags)
        eeg = pylsl.StreamInlet(eeg_info, max_buflen=360, processing_flags=flags)
        markers.open_stream(timeout)
        eeg.open_stream(timeout)
        names = _channel_names(eeg.info(timeout), eeg_info.channel_count())
        one_hot = numeric = None
        if marker_info.channel_format() != pylsl.cf_string:
            one_hot = _channel_labels(markers.info(timeout), marker_info.channel_count())
            if one_hot is None or all(parse_marker(x).kind == "unknown" for x in one_hot):
                numeric, one_hot = one_hot or [], None
                markers = _IgnoredMarkers(markers)
        wanted = DecoderSettings(sfreq=float(eeg_info.nominal_srate()), channel_names=names,
                                 **settings)        # checked before a session file is made
        start_clf = None
        if start_model and session is None:
            start_clf = load_start_model(start_model)
            check_start_model(start_clf, start_model, wanted)
        outlet_info = pylsl.StreamInfo(decisions_name, "Decisions", len(DECISION_CHANNELS),
                                       pylsl.IRREGULAR_RATE, pylsl.cf_string,
                                       f"kovani-bci-decisions-{decisions_name}")
        outlet_info.set_channel_labels(list(DECISION_CHANNELS))
        outlet = pylsl.StreamOutlet(outlet_info)
        if session is None:
            session = Session(session_path, resume=False)
        # Compiling happens in the background from here on: the first decision waits for
        # nothing but what it needs itself.
        decoder = OnlineDecoder(
            session, wanted, push=lambda d: outlet.push_sample(d.sample()), report=report,
            clock=pylsl.local_clock, record_raw=record_raw, warm_classes=warm_classes,
            start_clf=start_clf)
        if numeric is not None:
            labels = ", ".join(map(repr, numeric[:5])) or "without labels"
            decoder.report(f"the marker stream {marker_info.name()!r} carries numbers "
                           f"({marker_info.channel_count()} channel(s), {labels}), not marker "
                           "strings nor one-hot annotations named by markers: its markers are "
                           "ignored")
        if resume:
            decoder.report(f"resumed: {len(decoder.trials)} trial(s) recorded, the last "
                           f"trial number #{decoder.max_number}")
            if record_raw:      # the raw recording up to the crash, readable already
                _export(session, session_path, decoder.settings)
        if ready is not None:
            ready()
        started = True
        _loop(decoder, eeg, markers, one_hot, stall_timeout, max_seconds)
        summary = summarize(session)
        if record_raw:
            summary["raw"] = _export(session, session_path, decoder.settings)
        return summary
    except ValueError as exc:   # settings that do not fit the streams: one line
        if started:
            raise
        raise LiveError(str(exc)) from None
    finally:
        if decoder is not None:
            decoder.close()
        if session is not None:
            session.close()


def _export(session, session_path, s):
    return export_raw(session, raw_path(session_path), sfreq=s.sfreq,
                      channel_names=s.channel_names, trial_seconds=s.tmax - s.tmin)


def raw_path(session_path) -> str:
    """Where ``--record-raw`` writes the FIF file of a session."""
    root, _ = os.path.splitext(os.fspath(session_path))
    return root + ".raw.fif"


def _loop(decoder, eeg, markers, one_hot, stall_timeout, max_seconds):
    import pylsl
    from pylsl.util import LostError

    clock = pylsl.local_clock
    started = clock()
    silent = 0.0        # seconds spent waiting for EEG in vain since the last sample came
    try:
        while not decoder.finished:
            # Wait for EEG (at most 5 ms), then take every marker that came meanwhile: a
            # marker is handled once the EEG reaches its time, in time order.
            before = clock()
            data, ts = eeg.pull_chunk(timeout=0.005, max_samples=4096, min_samples=1,
                                      as_numpy=True)
            now = clock()
            if len(ts):
                decoder.add_samples(data, ts, now)
                silent = 0.0
            else:       # only waiting counts: never the time spent handling samples
                silent += now - before
            # Strings come as the bytes sent: one that is not UTF-8 is reported by the
            # decoder, and the other markers of the pull are kept.
            texts, mts = markers.pull_chunk(timeout=0.0, max_samples=1024, as_numpy=True)
            if len(mts):
                decoder.add_markers(texts, mts, now, channel_names=one_hot)
            decoder.process()
            decoder.tick()
            if silent > stall_timeout:
                decoder.finish(f"the EEG stream stopped: no sample for {stall_timeout:g} s; "
                               "the session ends")
            elif max_seconds is not None and now - started > max_seconds:
                decoder.finish(f"the session ends after {max_seconds:g} s (max_seconds)")
    except LostError:      # a source that cannot be recovered (it had no source id)
        decoder.finish("a stream was lost (its source went away); the session ends")
    except KeyboardInterrupt:   # Ctrl-C ends a session like `end`: summarised, resumable
        decoder.finish("interrupted (Ctrl-C); the session ends")
    decoder.finish()


# -- the summary -------------------------------------------------------------------------------

def summarize(session: Session) -> dict:
    """The session's numbers from its file (also of a resumed or crashed session)."""
    settings = session.meta_json("settings") or {}
    rows = session.trials(("seq", "number", "phase", "status", "label", "decision",
                           "top_label", "latency", "learn_step"))
    block_trials = int(settings.get("block_trials", 45))
    # The numbers never received below the largest one, as ranges: memory in the number of
    # trials received, whatever the numbers.
    numbers = sorted({r["number"] for r in rows if r["number"] is not None})
    missed, previous = [], 0
    for n in numbers:
        if n > previous + 1:
            missed.append((previous + 1, n - 1))
        previous = n
    decided = [r for r in rows if r["status"] == "decided"]
    blocks = {}
    for r in decided:
        if r["label"] is None:
            continue
        b = ((r["number"] or r["seq"]) - 1) // block_trials
        entry = blocks.setdefault(b, {"decided": 0, "correct": 0, "abstained": 0})
        if r["decision"] == "abstain":
            entry["abstained"] += 1
        else:
            entry["decided"] += 1
            entry["correct"] += r["decision"] == r["label"]
    latency = np.array([r["latency"] for r in decided if r["latency"] is not None]) * 1e3
    q = np.percentile(latency, [50, 99]) if len(latency) else [math.nan, math.nan]
    count = lambda status: sum(r["status"] == status for r in rows)   # noqa: E731
    summary = dict(
        session=session.path, trials=len(rows), decided=len(decided),
        abstained=sum(r["decision"] == "abstain" for r in decided),
        collected=count("collected"), gaps=count("gap"), no_data=count("no_data"),
        bad=count("bad"), flat=count("flat"),
        learnt=sum(r["learn_step"] is not None for r in rows),
        missed=sum(b - a + 1 for a, b in missed), missed_ranges=missed,
        accuracy_by_block={b: (v["correct"] / v["decided"] if v["decided"] else math.nan,
                               v["decided"], v["abstained"]) for b, v in sorted(blocks.items())},
        latency_ms_p50=float(q[0]), latency_ms_p99=float(q[1]),
        latency_ms_max=float(latency.max()) if len(latency) else math.nan,
        reports=len(session.reports()))
    summary["failure"] = _failure(summary, [r for r in rows if r["phase"] == "online"])
    return summary


def _failure(s: dict, online_rows) -> str | None:
    """Why nothing could be decoded, when trials came and none was usable (or none of the
    online phase was decided); None for a session that did its work."""
    if s["decided"] or not s["trials"] or (s["collected"] and not online_rows):
        return None
    failed = [(n, why) for n, why in [(s["gaps"], "had a gap in the EEG"),
                                      (s["no_data"], "had no EEG"),
                                      (s["bad"], "had samples not finite or beyond float32"),
                                      (s["flat"], "was flat")] if n]
    if not failed:
        return None
    what = "no online trial" if s["collected"] else "no trial"
    if len(failed) == 1:
        return f"{what} could be decoded: every window {failed[0][1]}"
    return f"{what} could be decoded: " + ", ".join(f"{n} window(s) {why}" for n, why in failed)


def format_summary(summary: dict) -> str:
    """The summary as the lines ``kovani-bci online`` prints."""
    s = summary
    lines = [f"trials: {s['trials']} recorded ({s['collected']} calibration, {s['decided']} "
             f"decided, {s['abstained']} of them abstained; {s['gaps']} not decoded for a gap "
             f"in the EEG, {s['no_data']} without EEG"
             + (f", {s['bad'] + s['flat']} with unusable samples (not finite, or flat)"
                if s.get("bad", 0) + s.get("flat", 0) else "")
             + f"); {s['missed']} missed (published while the decoder was not receiving)"]
    if s["accuracy_by_block"]:
        lines.append("accuracy by block (decided trials with a label):")
        for b, (acc, n, abstained) in s["accuracy_by_block"].items():
            lines.append(f"  block {b}: {acc:.3f} on {n} trial(s), {abstained} abstained")
    lines.append(f"decision latency (window complete -> pushed): p50 {s['latency_ms_p50']:.2f} "
                 f"ms, p99 {s['latency_ms_p99']:.2f} ms, max {s['latency_ms_max']:.2f} ms")
    if s.get("failure"):
        lines.append(s["failure"])
    lines.append(f"session written to {s['session']}")
    if s.get("raw"):
        lines.append(f"raw EEG and markers written to {s['raw']}")
    return "\n".join(lines)

