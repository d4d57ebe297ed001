"""Exact synthetic EEG and marker streams for the online decoder's tests.

A session is a continuous signal (the simulated motor-imagery trials with rest between
them) and a list of markers at known offsets; :class:`Pusher` publishes both on LSL outlets
from a thread with explicit timestamps (on the nominal sampling grid, faster than real time
if asked, so timestamps run ahead of the local clock as a player's do), and
:func:`feed` hands the same session straight to an :class:`OnlineDecoder` without LSL.

:func:`check_session` replays a recorded session offline, from its meaning rather than from
the decoder's code: the feature pipeline fitted on the reference windows, the classifier
fitted on the calibration trials, then every decision and update in the recorded order.
"""

from __future__ import annotations

import json
import sqlite3
import threading
import time
from dataclasses import dataclass

import numpy as np
from sklearn.base import clone

from kovani_bci.datasets import make_motor_imagery_epochs
from kovani_bci.estimator import KovaniSoftmaxClassifier
from kovani_bci.features import make_featurizer
from kovani_bci.live.session import Session

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
                      calibration_labelled=True, feedback_delay=0.2, sfreq=SFREQ):
    """Block 0 calibration (``trial:<label>#n``), ``online`` before block 1, then
    ``trial#n`` at onsets and ``label:<label>#n`` ``feedback_delay`` s after each window;
    the third class first appears in block 2; ``end`` after the last trial."""
    ep = make_motor_imagery_epochs(n_blocks=n_blocks, trials_per_block=trials_per_block,
                                   late_block=min(2, n_blocks - 1), duration=duration,
                                   sfreq=sfreq, random_state=seed)
    n_rest = int(round(rest * sfreq))
    chunks, markers, onsets = [np.zeros((n_rest, ep.trials.shape[1]))], [], []
    pos = n_rest
    markers.append((0.1, "calibration"))
    for i, (x, label, block) in enumerate(zip(ep.trials, ep.y, ep.block)):
        onset, n = pos / sfreq, i + 1
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
    markers.append((pos / sfreq - 0.05, "end"))
    chunks.append(np.zeros((n_rest, ep.trials.shape[1])))  # EEG runs on past the end
    return SyntheticSession(np.concatenate(chunks), sorted(markers, key=lambda m: m[0]),
                            ep.y, np.array(onsets), sfreq, duration)


def feed(decoder, session: SyntheticSession, t0=1000.0, chunk=10, markers=None, delay=0.0,
         keep=None, finish=True):
    """Give ``decoder`` the session chunk by chunk, each marker with the chunk that reaches
    its time plus ``delay`` seconds (it keeps its timestamp), only the samples where ``keep``
    is true (all by default); stops when the decoder has finished or the samples run out,
    then finishes it unless ``finish`` is false. Returns the markers not given."""
    markers = session.markers if markers is None else markers
    ts = t0 + np.arange(len(session.data)) / session.sfreq
    idx = np.arange(len(ts)) if keep is None else np.flatnonzero(keep)
    m = 0
    for k in range(0, len(idx), chunk):
        rows = idx[k:k + chunk]
        stamps = ts[rows]
        new = []
        while m < len(markers) and t0 + markers[m][0] + delay <= stamps[-1]:
            new.append(markers[m])
            m += 1
        if new:
            decoder.add_markers([text for _, text in new], [t0 + off for off, _ in new])
        decoder.add_samples(session.data[rows], stamps)
        decoder.process()
        if decoder.finished:
            break
    if finish:
        decoder.finish()
    return markers[m:]


class Pusher(threading.Thread):
    """Publish a synthetic session on LSL: an EEG stream (float64) and a string marker
    stream, ``speed`` times faster than real time, timestamps on the nominal grid.

    ``stop_at``: a sample index from which nothing more is sent (the source goes quiet, its
    outlets stay up); ``pause_at``: a sample index at which it waits for ``release`` to be
    set; ``wait_for_consumer=False`` starts at once, before any inlet connects; while
    ``hold`` is set, the stream pauses whenever no inlet is connected (and then goes on at
    its pace).
    """

    def __init__(self, session: SyntheticSession, *, name="kovani-test", speed=4.0, chunk=8,
                 stop_at=None, pause_at=None, wait_for_consumer=True):
        super().__init__(daemon=True)
        import pylsl

        self.session, self.speed, self.chunk = session, speed, chunk
        self.stop_at = stop_at
        self.pause_at = pause_at
        self.release = threading.Event()
        self.wait_for_consumer = wait_for_consumer
        info = pylsl.StreamInfo(f"{name}-eeg", "EEG", session.data.shape[1], session.sfreq,
                                pylsl.cf_double64, f"{name}-eeg-src")
        info.set_channel_labels(session.channel_names)
        self.eeg = pylsl.StreamOutlet(info, chunk_size=chunk)
        minfo = pylsl.StreamInfo(f"{name}-markers", "Markers", 1, pylsl.IRREGULAR_RATE,
                                 pylsl.cf_string, f"{name}-markers-src")
        self.markers = pylsl.StreamOutlet(minfo)
        self.stop_event = threading.Event()
        self.hold = threading.Event()
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
        n = len(s.data)
        m = 0
        for k in range(0, n, self.chunk):
            if self.stop_event.is_set() or (self.stop_at is not None and k >= self.stop_at):
                break
            if self.pause_at is not None and k >= self.pause_at and not self.release.is_set():
                paused = pylsl.local_clock()
                while not self.release.wait(0.01) and not self.stop_event.is_set():
                    pass
                start += pylsl.local_clock() - paused
            if self.hold.is_set() and not self.eeg.have_consumers():
                paused = pylsl.local_clock()
                while not self.eeg.have_consumers() and not self.stop_event.wait(0.01):
                    pass
                start += pylsl.local_clock() - paused
            stop = min(k + self.chunk, n)
            stamps = t0 + np.arange(k, stop) / s.sfreq
            while m < len(s.markers) and s.markers[m][0] <= (stop - 1) / s.sfreq:
                self.markers.push_sample([s.markers[m][1]], t0 + s.markers[m][0])
                m += 1
            for j in range(k, stop):
                self.eeg.push_sample(s.data[j], stamps[j - k], pushthrough=j == stop - 1)
            wake = start + (stop / s.sfreq) / self.speed
            delay = wake - pylsl.local_clock()
            if delay > 0:
                time.sleep(delay)
        self.done.set()
        # Keep the outlets up until asked, as a source that has gone quiet.
        self.stop_event.wait(60)


# -- the offline reference ---------------------------------------------------------------

def trial_rows(path):
    db = sqlite3.connect(path)
    db.row_factory = sqlite3.Row
    return [dict(r) for r in db.execute("SELECT * FROM trials ORDER BY seq")]


def offline_decisions(path):
    """Replay the recorded session offline: ``{seq: (decision, proba)}`` and the model."""
    db = sqlite3.connect(path)
    meta = dict(db.execute("SELECT key, value FROM meta"))
    settings = json.loads(meta["settings"])
    rows = {r["seq"]: r for r in trial_rows(path)}
    n_ch = len(settings["channel_names"])
    epoch = {q: np.frombuffer(r["epoch"], np.float64).reshape(n_ch, -1)
             for q, r in rows.items() if r["epoch"] is not None}
    featurizer = make_featurizer(settings["features"], settings["sfreq"]).fit(
        np.stack([epoch[q] for q in json.loads(meta["reference"])]))
    z = {q: featurizer.transform(e[None]) for q, e in epoch.items()}
    fit_step = int(meta["fit_step"])
    fit = [q for q, r in rows.items() if r["learn_step"] == fit_step]
    X, y = np.concatenate([z[q] for q in fit]), np.array([rows[q]["label"] for q in fit])
    if settings["start_model"] is None:
        clf = KovaniSoftmaxClassifier(num_steps=settings["num_steps"],
                                      n_posterior_samples=settings["n_posterior_samples"],
                                      random_state=settings["seed"],
                                      reject_below=settings["reject_below"] or 0.0)
        clf.fit(X, y)
    else:       # the starting model's posterior as the prior of the calibration fit
        start = KovaniSoftmaxClassifier.load(settings["start_model"])
        if settings["reject_below"] is not None:
            start.set_params(reject_below=settings["reject_below"])
        clf = clone(start).fit(X, y, prior=start) if len(fit) else start
    steps = sorted([(r["decide_step"], "decide", q) for q, r in rows.items() if r["decide_step"]]
                   + [(r["learn_step"], "learn", q) for q, r in rows.items()
                      if r["learn_step"] and r["learn_step"] != fit_step])
    out = {}
    for _, what, q in steps:
        if what == "decide":
            p = clf.predict_proba(z[q])[0]
            out[q] = (clf.classes_[np.argmax(p)], dict(zip(clf.classes_.tolist(), p)))
        else:
            clf.partial_fit(z[q], np.array([rows[q]["label"]]))
    return out, clf


def check_session(path, start_counts=None):
    """The recorded session against its offline replay (decisions, abstentions below the
    classifier's ``reject_below``, probabilities), and the model's counts against the
    labelled trials learnt (plus ``start_counts``, those of a starting model)."""
    rows = trial_rows(path)
    offline, clf = offline_decisions(path)
    decided = [r for r in rows if r["status"] == "decided"]
    assert decided and set(offline) == {r["seq"] for r in decided}
    for r in decided:
        label, proba = offline[r["seq"]]
        assert r["top_label"] == label
        unsure = max(proba.values()) < clf.reject_below
        assert r["decision"] == ("abstain" if unsure else label)
        recorded = json.loads(r["proba"])
        assert recorded.keys() == proba.keys()
        np.testing.assert_allclose([recorded[k] for k in proba], list(proba.values()),
                                   rtol=1e-12, atol=1e-15)
    model, _ = Session(path, resume=True, read_only=True).model()
    learnt = [r["label"] for r in rows if r["learn_step"] is not None]
    counts = dict(zip(model.model_labels_.tolist(), model.model_.params["class_counts"].tolist()))
    expected = dict(start_counts or {})
    for c in learnt:
        expected[c] = expected.get(c, 0) + 1
    assert counts == expected
    np.testing.assert_array_equal(model.model_.params["beta_mean"], clf.model_.params["beta_mean"])
    return rows
