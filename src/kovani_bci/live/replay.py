"""Replay a recording as live EEG and marker streams on Lab Streaming Layer (LSL).

:func:`simulated_raw` lays the demo's simulated session out as a continuous recording with
the markers of the online decoder's vocabulary, :func:`dataset_raw` a recorded EEG or MEG data
set the same way; :func:`read_recording` opens any raw file MNE
reads that holds annotations; :func:`replay` publishes either as an EEG stream and a marker
stream, at real time or faster, so that online decoding can be tried and tested without an
amplifier.

Why our own pusher instead of :class:`mne_lsl.player.PlayerLSL` (which we use elsewhere):
the player paces at real time only, stamps an annotation one sample earlier than the sample at
its onset (it stamps the chunk's first sample ``start_timestamp + 1 / sfreq`` but the
annotation ``start_timestamp + offset``), opens its outlets and starts pushing in one call (so
markers published before the decoder's inlet connects are lost, and it cannot wait for
consumers), and fixes the marker stream's name and type. The pusher below stamps every sample
``t0 + k / sfreq`` and every marker with the timestamp of the sample at its onset, at any
speed, and publishes markers in the player's ``"string"`` encoding (or its ``"one-hot"`` one).
"""

from __future__ import annotations

import math
import os
import threading
import time
from dataclasses import dataclass

import numpy as np

ENCODINGS = ("string", "one-hot")

# Defaults of the streams a replay publishes (and the online decoder looks for).
EEG_NAME, EEG_TYPE = "kovani-replay", "EEG"
MARKER_NAME, MARKER_TYPE = "kovani-replay-markers", "Markers"

_POLL = 0.05    # seconds between checks for consumers or a stop request


# -- the simulated session as a recording ---------------------------------------------------------

def simulated_raw(*, seed=0, n_blocks=4, trials_per_block=45, features="log-variance",
                  n_channels=None, sfreq=128.0, iti=2.0, lead=2.0, label_delay=0.25):
    """The demo's simulated session as one continuous recording with vocabulary markers.

    The trials of :func:`kovani_bci.demo.session_epochs` (the same seed, blocks and
    montage give the same trials) lie one after the other, ``iti`` seconds apart, after a
    lead-in of ``lead`` seconds; between them lies noise of the trials' per-channel scale. The
    annotations are the online decoder's markers: ``calibration`` in the lead-in,
    ``trial:<label>#<n>`` at each onset of block 0, ``online`` half an interval before block
    1, ``trial#<n>`` at each later onset and ``label:<label>#<n>`` ``label_delay`` seconds
    after that trial's last sample, and ``end`` one interval after the last trial. ``n``
    counts trials from 1. Every duration is positive: a trial's length for trial markers,
    one sample for the others. The samples from each trial marker's onset on, for the
    trial's length, are that trial's simulated samples, bit for bit.

    Parameters
    ----------
    seed, n_blocks, trials_per_block, features
        The demo's session options (see ``kovani-bci demo``).
    n_channels : int, optional
        Channels to simulate; by default the feature set's montage (8 or 22).
    sfreq : float
        Sampling rate in Hz.
    iti, lead, label_delay : float
        Seconds between trials, before the first trial, and from a trial's end to its label.

    Returns
    -------
    mne.io.RawArray
        ``(n_channels, n_times)`` EEG channels ``ch0``, ``ch1``, ... with the annotations.
    """
    import mne

    from kovani_bci.demo import session_epochs

    for name, value in (("iti", iti), ("lead", lead), ("label_delay", label_delay)):
        if not (isinstance(value, (int, float)) and math.isfinite(value) and value > 0):
            raise ValueError(f"{name} must be a positive number of seconds, got {value!r}")
    if label_delay >= iti:
        raise ValueError(f"label_delay must be shorter than iti ({iti} s), got {label_delay!r}")
    epochs = session_epochs(features, seed, n_blocks, trials_per_block, n_channels=n_channels,
                            sfreq=sfreq)
    trials = epochs.trials
    n_trials, n_ch, n_s = trials.shape
    sfreq = float(epochs.sfreq)
    gap, start = round(iti * sfreq), round(lead * sfreq)
    onsets = start + np.arange(n_trials) * (n_s + gap)
    n_times = onsets[-1] + n_s + 2 * gap        # the end marker one interval on, then a tail

    # Rest between trials: noise of each channel's scale, from its own seeded stream.
    rng = np.random.default_rng([seed, 1])
    scale = trials.std(axis=(0, 2))[:, None]
    data = scale * rng.standard_normal((n_ch, n_times))
    for onset, trial in zip(onsets, trials):
        data[:, onset:onset + n_s] = trial

    one = 1.0 / sfreq
    events = [(start // 2, "calibration", one)]
    for n, (onset, label, block) in enumerate(zip(onsets, epochs.y, epochs.block), start=1):
        if block == 0:
            events.append((onset, f"trial:{label}#{n}", n_s * one))
            continue
        if n > 1 and epochs.block[n - 2] == 0:
            events.append((onset - gap // 2, "online", one))
        events.append((onset, f"trial#{n}", n_s * one))
        events.append((onset + n_s + round(label_delay * sfreq), f"label:{label}#{n}", one))
    events.append((onsets[-1] + n_s + gap, "end", one))
    samples, descriptions, durations = zip(*events)

    info = mne.create_info([f"ch{c}" for c in range(n_ch)], sfreq, "eeg")
    raw = mne.io.RawArray(data, info, verbose="error")
    raw.set_annotations(mne.Annotations(np.array(samples) / sfreq, durations, descriptions))
    return raw


# -- a recorded data set as a recording -----------------------------------------------------------

#: Seconds between trials where a recorded set's description gives them: its trials of 8 s
#: ran back to back, of which the 4.5 s of feedback are kept. Elsewhere ``DATASET_GAP``.
DATASET_SPACING = {"SelfRegulationSCP2": 3.5}
DATASET_GAP = 1.0


def dataset_raw(name, *, calibration_trials=None, online_trials=None, seed=0, iti=None,
                lead=2.0, label_delay=0.25):
    """A recorded data set (:func:`kovani_bci.datasets.load_recording`) as one continuous
    recording with vocabulary markers, for replaying real brain signals to the decoder.

    The train split's trials come first, as the calibration (``trial:<label>#<n>`` at each
    onset, after ``calibration`` in the lead-in), then ``online`` half an interval before the
    test split's trials (``trial#<n>`` at each onset, ``label:<label>#<n>`` ``label_delay``
    seconds after its last sample), and ``end`` one interval after the last trial. The files
    sort many sets' trials by class, so each split is laid out in a random order drawn from
    ``seed``; ``calibration_trials`` and ``online_trials`` keep the first so many of them
    (None: all). Trials lie ``iti`` seconds apart (by default the set's own spacing where its
    description gives it, :data:`DATASET_SPACING`, else :data:`DATASET_GAP`); the rest
    between them is noise around each channel's mean, of its within-trial spread. The samples
    from each trial marker's onset on, for the trial's length, are that trial's, bit for bit,
    in the file's units.

    Returns
    -------
    mne.io.RawArray
    """
    import mne

    from kovani_bci.datasets import load_recording

    rec = load_recording(name)
    iti = DATASET_SPACING.get(name, DATASET_GAP) if iti is None else iti
    for key, value in (("iti", iti), ("lead", lead), ("label_delay", label_delay)):
        if not (isinstance(value, (int, float)) and math.isfinite(value) and value > 0):
            raise ValueError(f"{key} must be a positive number of seconds, got {value!r}")
    if label_delay >= iti:
        raise ValueError(f"label_delay must be shorter than iti ({iti} s), got {label_delay!r}")
    rng = np.random.default_rng([seed, 2])
    parts = []
    for X, y, keep, what in ((rec.X_train, rec.y_train, calibration_trials, "calibration"),
                             (rec.X_test, rec.y_test, online_trials, "online")):
        if keep is not None and not (isinstance(keep, (int, np.integer)) and 1 <= keep):
            raise ValueError(f"{what}_trials must be a positive integer or None, got {keep!r}")
        order = rng.permutation(len(y))[:keep]
        parts.append((X[order], y[order]))
    (cal_X, cal_y), (on_X, on_y) = parts
    trials, labels = np.concatenate([cal_X, on_X]), np.concatenate([cal_y, on_y])
    n_trials, n_ch, n_s = trials.shape
    sfreq = rec.sfreq
    gap, start = round(iti * sfreq), round(lead * sfreq)
    onsets = start + np.arange(n_trials) * (n_s + gap)
    n_times = onsets[-1] + n_s + 2 * gap
    mean, spread = trials.mean(axis=(0, 2))[:, None], trials.std(axis=2).mean(0)[:, None]
    data = mean + spread * rng.standard_normal((n_ch, n_times))
    for onset, trial in zip(onsets, trials):
        data[:, onset:onset + n_s] = trial
    one = 1.0 / sfreq
    events = [(start // 2, "calibration", one)]
    for n, (onset, label) in enumerate(zip(onsets, labels), start=1):
        if n <= len(cal_y):
            events.append((onset, f"trial:{label}#{n}", n_s * one))
            continue
        if n == len(cal_y) + 1:
            events.append((onset - gap // 2, "online", one))
        events.append((onset, f"trial#{n}", n_s * one))
        events.append((onset + n_s + round(label_delay * sfreq), f"label:{label}#{n}", one))
    events.append((onsets[-1] + n_s + gap, "end", one))
    samples, descriptions, durations = zip(*events)
    info = mne.create_info(list(rec.ch_names), sfreq, list(rec.ch_types))
    raw = mne.io.RawArray(data, info, verbose="error")
    raw.set_annotations(mne.Annotations(np.array(samples) / sfreq, durations, descriptions))
    return raw


def read_recording(path):
    """A raw EEG file that MNE reads (``.fif``, ``.edf``, ``.bdf``, ``.vhdr``, ``.set``, ...),
    loaded into memory; it must hold annotations (they become the markers)."""
    import mne

    if not os.path.exists(path):
        raise FileNotFoundError(f"no such recording: {path}")
    try:
        raw = mne.io.read_raw(path, preload=True, verbose="error")
    except MemoryError:
        raise
    except Exception as exc:  # noqa: BLE001 -- MNE's readers fail in many ways on other files
        text = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise ValueError(f"{path}: not a raw EEG recording that MNE reads ({text})") from None
    if not isinstance(raw, mne.io.BaseRaw):
        raise ValueError(f"{path}: not a raw EEG recording that MNE reads")
    if len(raw.annotations) == 0:
        raise ValueError(f"{path} holds no annotations: a replay needs them as its markers")
    return raw


def annotation_samples(raw):
    """Where each annotation of ``raw`` lies in its data.

    Returns
    -------
    samples : ndarray of int, shape (n_annotations,)
        Index into ``raw.get_data()`` of each annotation's onset (rounded to the nearest
        sample); annotations outside the data are left out.
    descriptions : ndarray of str
    durations : ndarray of float
        In seconds.
    """
    annotations = raw.annotations
    samples = raw.time_as_index(annotations.onset, use_rounding=True,
                                origin=annotations.orig_time)
    if annotations.orig_time is None:
        samples = samples - raw.first_samp
    inside = (samples >= 0) & (samples < raw.n_times)
    return (samples[inside].astype(np.int64), np.asarray(annotations.description)[inside],
            np.asarray(annotations.duration, dtype=np.float64)[inside])


# -- publishing ---------------------------------------------------------------------------------

@dataclass(frozen=True)
class ReplayResult:
    """What a replay published."""

    t0: float             #: LSL timestamp of the first sample; sample k is stamped t0 + k / sfreq
    n_samples: int        #: EEG samples pushed
    n_markers: int        #: markers pushed
    completed: bool       #: False when stopped early


def _check_options(speed, chunk_size, encoding, wait, start_delay, names):
    if isinstance(speed, bool) or not (isinstance(speed, (int, float)) and math.isfinite(speed)
                                       and speed > 0):
        raise ValueError(f"speed must be a positive finite number, got {speed!r}")
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, (int, np.integer)) \
            or chunk_size < 1:
        raise ValueError(f"chunk_size must be a positive integer, got {chunk_size!r}")
    if encoding not in ENCODINGS:
        raise ValueError(f"encoding must be one of {list(ENCODINGS)}, got {encoding!r}")
    if wait is not None and not (isinstance(wait, (int, float)) and wait >= 0):
        raise ValueError(f"wait must be None or a number of seconds >= 0, got {wait!r}")
    if not (isinstance(start_delay, (int, float)) and math.isfinite(start_delay)
            and start_delay >= 0):
        raise ValueError(f"start_delay must be a number of seconds >= 0, got {start_delay!r}")
    from kovani_bci.live.lsl import stream_name_problem

    for key, value in names.items():
        problem = stream_name_problem(value)
        if problem:
            raise ValueError(f"{key}: {problem}")


def _outlets(raw, descriptions, encoding, chunk_size, names):
    from mne_lsl.lsl import StreamInfo, StreamOutlet

    sinfo = StreamInfo(names["name"], names["stype"], len(raw.ch_names), raw.info["sfreq"],
                       np.float64, f"{names['name']}-eeg")
    sinfo.set_channel_info(raw.info)
    if encoding == "string":
        minfo = StreamInfo(names["marker_name"], names["marker_type"], 1, 0.0, "string",
                           f"{names['name']}-markers")
        minfo.set_channel_names(["description"])
    else:   # one float channel per description, as mne-lsl's player lays them out
        minfo = StreamInfo(names["marker_name"], names["marker_type"], len(descriptions), 0.0,
                           np.float64, f"{names['name']}-markers")
        minfo.set_channel_names(list(descriptions))
    return StreamOutlet(sinfo, chunk_size), StreamOutlet(minfo, 1)


def _sleep_until(when, stop):
    """Sleep until LSL time ``when``; False if ``stop`` was set first."""
    from mne_lsl.lsl import local_clock

    while True:
        left = when - local_clock()
        if stop is not None and stop.is_set():
            return False
        if left <= 0:
            return True
        if stop is not None:
            stop.wait(min(left, _POLL))
        else:
            time.sleep(min(left, _POLL))


def _wait_for_consumers(outlets, wait, stop):
    """Block until every outlet has a consumer (an inlet connected), at most ``wait`` s."""
    deadline = time.monotonic() + wait
    while not all(o.has_consumers for o in outlets):
        if stop is not None and stop.is_set():
            return False
        if time.monotonic() >= deadline:
            raise TimeoutError(f"no decoder connected to both streams within {wait:g} s "
                               "(wait): start it, or give a longer wait")
        time.sleep(_POLL)
    return True


def replay(raw, *, speed=1.0, name=EEG_NAME, stype=EEG_TYPE, marker_name=MARKER_NAME,
           marker_type=MARKER_TYPE, encoding="string", chunk_size=10, wait=None,
           start_delay=0.0, stop=None, linger=5.0, on_start=None):
    """Publish ``raw`` as a live EEG stream and a marker stream; return when it is all sent.

    The EEG goes out in chunks of ``chunk_size`` samples (float64), sample ``k`` stamped
    ``t0 + k / sfreq``, each chunk when its last sample is due: at ``speed`` 1 in real time,
    at ``speed`` s > 1 s times faster with the nominal spacing kept, so the timestamps run
    ahead of ``local_clock()`` (a decoder must wait for samples by their timestamps, not
    assume them in the past). Each annotation becomes one marker stamped with the timestamp
    of the sample at its onset, pushed just before the chunk holding that sample: with
    ``encoding="string"`` its description on one string channel, with ``"one-hot"`` one
    float channel per description holding the duration (-1 for zero), as mne-lsl's player.

    Parameters
    ----------
    raw : mne.io.BaseRaw
        The recording, loaded (see :func:`read_recording`, :func:`simulated_raw`).
    speed : float
        Replay speed, a multiple of real time.
    name, stype, marker_name, marker_type : str
        Names and types of the EEG and marker streams.
    encoding : {"string", "one-hot"}
    chunk_size : int
        Samples per pushed chunk.
    wait : float, optional
        Seconds to wait for a consumer on both streams before the first sample (a marker
        published before the decoder's inlet connects is lost); ``TimeoutError`` if none
        comes. None: start at once.
    start_delay : float
        Seconds between the consumers' arrival (or the start) and the first sample.
    stop : threading.Event, optional
        Set it to end the replay early (from another thread).
    linger : float
        After the last sample the streams stay open for a decoder still draining its inlets,
        at most this many seconds (less where the consumers are seen to leave).
    on_start : callable, optional
        Called with ``t0`` just before the first sample is pushed.

    Returns
    -------
    ReplayResult
    """
    from mne_lsl.lsl import local_clock

    names = dict(name=name, stype=stype, marker_name=marker_name, marker_type=marker_type)
    _check_options(speed, chunk_size, encoding, wait, start_delay, names)
    if not (isinstance(linger, (int, float)) and linger >= 0):
        raise ValueError(f"linger must be a number of seconds >= 0, got {linger!r}")
    samples, descriptions, durations = annotation_samples(raw)
    order = np.argsort(samples, kind="stable")
    samples, descriptions, durations = samples[order], descriptions[order], durations[order]
    kinds = sorted(set(descriptions.tolist())) or ["none"]
    sfreq = float(raw.info["sfreq"])
    data = np.ascontiguousarray(raw.get_data().T, dtype=np.float64)    # (n_times, n_channels)

    eeg, markers = _outlets(raw, kinds, encoding, chunk_size, names)
    pushed = n_markers = 0
    try:
        if wait is not None and not _wait_for_consumers((eeg, markers), wait, stop):
            return ReplayResult(float("nan"), 0, 0, False)
        w0 = t0 = local_clock() + start_delay
        if on_start is not None:
            on_start(t0)
        column = {d: j for j, d in enumerate(kinds)}
        for a in range(0, len(data), chunk_size):
            b = min(a + chunk_size, len(data))
            if not _sleep_until(w0 + (b - 1) / sfreq / speed, stop):
                return ReplayResult(t0, pushed, n_markers, False)
            lo, hi = np.searchsorted(samples, [a, b])
            for k in range(lo, hi):
                stamp = t0 + samples[k] / sfreq
                if encoding == "string":
                    markers.push_sample([str(descriptions[k])], timestamp=stamp)
                else:
                    one_hot = np.zeros(len(kinds))
                    one_hot[column[descriptions[k]]] = durations[k] if durations[k] > 0 else -1
                    markers.push_sample(one_hot, timestamp=stamp)
            n_markers += int(hi - lo)
            stamps = t0 + np.arange(a, b) / sfreq
            if b - a == 1:
                eeg.push_sample(data[a], timestamp=float(stamps[0]))
            else:
                eeg.push_chunk(data[a:b], timestamp=stamps)
            pushed = b
        # Closing the outlets at once would cut off a consumer still draining its inlet.
        # (An outlet notices a consumer that left only when it next sends, so this mostly
        # waits the whole linger.)
        deadline = time.monotonic() + linger
        while any(o.has_consumers for o in (eeg, markers)) and time.monotonic() < deadline:
            if stop is not None and stop.wait(_POLL):
                break
            if stop is None:
                time.sleep(_POLL)
        return ReplayResult(t0, pushed, n_markers, True)
    finally:
        del eeg, markers        # closes the outlets: consumers see the streams end


def replay_in_thread(raw, **options):
    """Start :func:`replay` in a daemon thread; return ``(thread, stop, result)``.

    Set ``stop`` to end it early; after ``thread.join()``, ``result`` (a dict) holds
    ``"result"`` (the :class:`ReplayResult`) or ``"error"`` (the exception it raised).
    """
    stop = threading.Event()
    result = {}

    def run():
        try:
            result["result"] = replay(raw, stop=stop, **options)
        except BaseException as exc:  # noqa: BLE001 -- handed to the caller
            result["error"] = exc

    thread = threading.Thread(target=run, name="kovani-replay", daemon=True)
    thread.start()
    return thread, stop, result
