"""Exact synthetic EEG and marker streams for the online decoder's tests.

A session is a continuous signal (the simulated motor-imagery trials with rest between
them) and a list of markers at known offsets; :class:`Pusher` publishes both on LSL outlets
from a thread with explicit timestamps (on the nominal sampling grid, faster than real time
if asked, so timestamps run ahead of the local clock as a player's do), and
:func:`feed` hands the same session straight to an :class:`OnlineDecoder` without LSL.
"""

from __future__ import annotations

import threading
import time
from dataclasses import dataclass

import numpy as np

from kovani_bci.datasets import make_motor_imagery_epochs

SFREQ = 128.0


@dataclass
class SyntheticSession:
    data: np.ndarray            # (n_samples, n_channels) float64
    markers: list               # [(offset seconds from the first sample, text)]
    y: np.ndarray               # label of trial number i + 1
    onsets: np.ndarray          # offset of each trial's first sample, seconds
    sfreq: float
    trial_seconds: float

    @property
    def channel_names(self):
        return [f"C{i + 1}" for i in range(self.data.shape[1])]


def synthetic_session(n_blocks=3, trials_per_block=10, duration=1.0, rest=0.5, seed=0,
                      calibration_labelled=True, feedback_delay=0.2):
    """Block 0 calibration (``trial:<label>#n``), ``online`` before block 1, then
    ``trial#n`` at onsets and ``label:<label>#n`` ``feedback_delay`` s after each window;
    the third class first appears in block 2; ``end`` after the last trial."""
    ep = make_motor_imagery_epochs(n_blocks=n_blocks, trials_per_block=trials_per_block,
                                   late_block=min(2, n_blocks - 1), duration=duration,
                                   sfreq=SFREQ, random_state=seed)
    n_rest = int(round(rest * SFREQ))
    chunks, markers, onsets = [np.zeros((n_rest, ep.trials.shape[1]))], [], []
    pos = n_rest
    markers.append((0.1, "calibration"))
    for i, (x, label, block) in enumerate(zip(ep.trials, ep.y, ep.block)):
        onset, n = pos / SFREQ, i + 1
        if block == 1 and ep.block[i - 1] == 0:
            markers.append((onset - 0.2, "online"))
        if block == 0 and calibration_labelled:
            markers.append((onset, f"trial:{label}#{n}"))
        else:
            markers.append((onset, f"trial#{n}"))
            markers.append((onset + duration + feedback_delay, f"label:{label}#{n}"))
        onsets.append(onset)
        chunks += [x.T, np.zeros((n_rest, x.shape[0]))]
        pos += x.shape[1] + n_rest
    markers.append((pos / SFREQ - 0.05, "end"))
    chunks.append(np.zeros((n_rest, ep.trials.shape[1])))  # EEG runs on past the end
    return SyntheticSession(np.concatenate(chunks), sorted(markers, key=lambda m: m[0]),
                            ep.y, np.array(onsets), SFREQ, duration)


def feed(decoder, session: SyntheticSession, t0=1000.0, chunk=10, markers=None, delay=0.0):
    """Give ``decoder`` the session chunk by chunk, each marker with the chunk that reaches
    its time plus ``delay`` seconds (it keeps its timestamp); returns when the decoder has
    finished or the data run out."""
    markers = session.markers if markers is None else markers
    ts = t0 + np.arange(len(session.data)) / session.sfreq
    m = 0
    for k in range(0, len(ts), chunk):
        stamps = ts[k:k + chunk]
        new = []
        while m < len(markers) and t0 + markers[m][0] + delay <= stamps[-1]:
            new.append(markers[m])
            m += 1
        if new:
            decoder.add_markers([text for _, text in new], [t0 + off for off, _ in new])
        decoder.add_samples(session.data[k:k + chunk], stamps)
        decoder.process()
        if decoder.finished:
            break
    decoder.finish()


class Pusher(threading.Thread):
    """Publish a synthetic session on LSL: an EEG stream (float64) and a string marker
    stream, ``speed`` times faster than real time, timestamps on the nominal grid.

    ``skip`` is a set of marker texts never sent; ``drop`` a (start, stop) sample range never
    sent (a gap); ``stop_at`` a sample index after which nothing more is sent (the source
    stops, its outlets stay); ``early_markers`` markers sent before any consumer connects.
    """

    def __init__(self, session: SyntheticSession, *, name="kovani-test", speed=4.0, chunk=8,
                 drop=None, stop_at=None, wait_for_consumer=True, early_markers=(),
                 marker_timestamps_ahead=0.0):
        super().__init__(daemon=True)
        import pylsl

        self.session, self.speed, self.chunk = session, speed, chunk
        self.drop, self.stop_at = drop, stop_at
        self.wait_for_consumer = wait_for_consumer
        self.early_markers = early_markers
        info = pylsl.StreamInfo(f"{name}-eeg", "EEG", session.data.shape[1], session.sfreq,
                                pylsl.cf_double64, f"{name}-eeg-src")
        info.set_channel_labels(session.channel_names)
        self.eeg = pylsl.StreamOutlet(info, chunk_size=chunk)
        minfo = pylsl.StreamInfo(f"{name}-markers", "Markers", 1, pylsl.IRREGULAR_RATE,
                                 pylsl.cf_string, f"{name}-markers-src")
        self.markers = pylsl.StreamOutlet(minfo)
        self.stop_event = threading.Event()
        self.done = threading.Event()
        self.t0 = None

    def run(self):
        import pylsl

        s = self.session
        if self.wait_for_consumer:
            self.eeg.wait_for_consumers(30)
            self.markers.wait_for_consumers(30)
        start = pylsl.local_clock()
        # The first sample's LSL time; samples are pushed ahead of the local clock as a
        # faster-than-real-time replay does.
        self.t0 = t0 = start + 0.05
        for text in self.early_markers:
            self.markers.push_sample([text], t0)
        n = len(s.data)
        m = 0
        for k in range(0, n, self.chunk):
            if self.stop_event.is_set() or (self.stop_at is not None and k >= self.stop_at):
                break
            stop = min(k + self.chunk, n)
            stamps = t0 + np.arange(k, stop) / s.sfreq
            while m < len(s.markers) and s.markers[m][0] <= (stop - 1) / s.sfreq:
                self.markers.push_sample([s.markers[m][1]], t0 + s.markers[m][0])
                m += 1
            keep = np.ones(stop - k, dtype=bool)
            if self.drop is not None:
                keep &= ~((np.arange(k, stop) >= self.drop[0]) & (np.arange(k, stop) < self.drop[1]))
            for j in np.flatnonzero(keep):
                self.eeg.push_sample(s.data[k + j], stamps[j], pushthrough=bool(j == stop - k - 1))
            wake = start + (stop / s.sfreq) / self.speed
            delay = wake - pylsl.local_clock()
            if delay > 0:
                time.sleep(delay)
        self.done.set()
        # Keep the outlets up until asked, as a source that has gone quiet.
        self.stop_event.wait(60)
