"""The online decoder: trials cut from an EEG stream at marker times, decided, learnt from.

:class:`OnlineDecoder` holds the whole logic and no LSL: it is fed EEG chunks with their LSL
timestamps and markers with theirs (:meth:`~OnlineDecoder.add_samples`,
:meth:`~OnlineDecoder.add_markers`), and :meth:`~OnlineDecoder.process` handles every event
that the EEG has caught up with, in time order. :func:`kovani_bci.live.online.run_online`
connects it to LSL.

Timing
------
A trial is the EEG window ``[t + tmin, t + tmax)`` of its marker's LSL timestamp ``t``
(never its arrival time): ``round((tmax - tmin) * sfreq)`` samples from the one taken nearest
to ``t + tmin``. The EEG is read as regularly sampled at an *effective* rate that may be a
little off the nominal one, each timestamp being the time its sample was taken plus a delay
(liblsl stamps a chunk when it is pushed): :class:`_Clock` fits timestamp on sample index as
samples come, and a window is placed by sample index, from the least delayed timestamps
around its start. A sample stamped more than ``GAP_TOLERANCE`` later than the clock is held
until later ones tell: back on time, it was a late stamp; still late after ``GAP_CONFIRM``
seconds of its own timestamps, samples are missing (a gap, reported; windows over it are not
decoded). A sample without a valid timestamp counts as missing. Timestamps earlier than the
clock move it (reported), or, beyond ``RESTART`` seconds, start it again (a restarted source:
the earlier samples are dropped). A window with samples not finite or beyond float32 range, or
flat (every channel constant), is reported and neither decided nor learnt from (status
``bad`` or ``flat``); so is a window that began before the first sample received (markers
and EEG from before the decoder connected) or that the EEG never completed (``no_data``).

Events are handled in the order of their times: a trial at its window's last sample, any other
marker at its own timestamp, each once the EEG has reached it (so a label that follows a trial
is learnt after the trial is decided, however the two streams' chunks interleave; a numbered
label that comes within its trial's window is kept for the trial; ``end`` waits for the
windows of the trials marked before it). Timestamps may lie ahead of the local clock (a player
stamps a chunk up to a chunk ahead); nothing here compares them with it. A marker that arrives
after the EEG has passed it is handled at once. A trial keeps the first label that comes for
it; a different one later is reported and ignored.

The decision stream
-------------------
One sample per decided trial on an LSL stream of 7 string channels (irregular rate; the
sample's LSL timestamp is the push time):

=====  ===============  ======================================================================
index  channel          value
=====  ===============  ======================================================================
0      ``label``        the decided label, or ``abstain`` when the top class probability is
                        below the classifier's ``reject_below``
1      ``top_label``    the most probable label (also when abstaining)
2      ``proba``        JSON object: label -> probability, every class the decoder knows
3      ``trial``        the trial's number ``n`` from its marker's ``#n``, or empty
4      ``marker_time``  the trial marker's LSL timestamp (decimal text, full precision)
5      ``window_end``   the LSL timestamp of the window's last sample
6      ``latency_ms``   push time minus the local time at which the window became complete
                        (its last sample, or the marker if it came later, was received)
=====  ===============  ======================================================================

Phases
------
The calibration phase collects trials until ``calibration_trials`` labelled ones have come
(with at least two labels), then fixes the feature statistics on the collected windows
(the feature pipeline's ``fit``) and fits the classifier once; later calibration trials are
learnt one by one, never decided. With a starting model (a classifier file), the session
starts online; the feature statistics are fixed on the first ``calibration_trials`` windows
(labelled or not), and the classifier is that model, refitted with the labelled ones among
them as ``fit(X, y, prior=model)`` (the model's posterior, widened by its ``prior_widening``,
as the prior). Until then trials are collected and not decided. An ``online`` marker before
enough calibration trials fits on what has come (two labels at least). Online, each trial
is decided, its decision pushed, and it is learnt from as soon as its label is known
(``partial_fit``; a new label adds a class, up to ``max_classes``: a label beyond them is
recorded and reported, not learnt). Compiling for a number of classes takes seconds: a
background thread compiles the prediction and update for the current number and for
``WARM_AHEAD`` more, on a copy of the classifier, so that a new label finds them ready (a
new label whose compiling is under way waits for it rather than compiling it twice).

A decoder that has seen no phase marker since it started (resumed, or connected late) and
is still calibrating goes online at the first trial without a label or ``label:`` marker:
the stimulus program sends those only online.
"""

from __future__ import annotations

import collections
import atexit
import copy
import heapq
import json
import math
import queue
import threading
import time
import weakref
from dataclasses import asdict, dataclass, field

import numpy as np

from kovani_bci.live.session import Session, SessionError
from kovani_bci.live.vocabulary import Marker, one_hot_descriptions, parse_marker

__all__ = ["DecoderSettings", "OnlineDecoder", "Decision", "DECISION_CHANNELS", "MAX_FEATURES",
           "load_start_model", "check_start_model"]

DECISION_CHANNELS = ("label", "top_label", "proba", "trial", "marker_time", "window_end",
                     "latency_ms")
ABSTAIN = "abstain"
GAP_TOLERANCE = 0.02   # seconds (2 samples at least): fewer samples missing go unnoticed
GAP_CONFIRM = 0.5      # seconds of timestamps a stream stays late before that is a gap
RESTART = 1.0          # seconds: timestamps this much earlier than the clock are a restart
LOCAL_ANCHOR = 0.5     # seconds around a window's start whose timestamps place it
FLOAT32_MAX = float(np.finfo(np.float32).max)
# Features a live session decodes at most: beyond this, the feature statistics (a Riemannian
# mean of n_channels x n_channels matrices for tangent-space) and each update take seconds,
# far beyond a decision's time.
MAX_FEATURES = 10_000
# Class counts beyond the current one compiled in the background (a new label then finds
# its update and prediction compiled: compiling takes seconds per class count).
WARM_AHEAD = 2


@dataclass
class DecoderSettings:
    """What a session decodes with; stored in the session and restored on resume.

    ``sfreq`` and ``channel_names`` come from the EEG stream; the rest from the caller.
    """

    sfreq: float
    channel_names: list
    features: str = "log-variance"
    tmin: float = 0.0
    tmax: float = 2.0
    calibration_trials: int = 20
    num_steps: int = 5
    n_posterior_samples: int = 100
    seed: int = 0
    reject_below: float | None = None       # None: the classifier's own (0 for a new one)
    block_trials: int = 45                  # trials per block in the summary
    buffer_seconds: float = 60.0
    start_model: str | None = None           # classifier file the session started from
    max_classes: int = 20                    # classes the session may learn, at most

    def __post_init__(self):
        from kovani_bci.features import FEATURES

        if self.features not in FEATURES:
            raise ValueError(f"features must be one of {list(FEATURES)}, got {self.features!r}")
        if not (math.isfinite(self.sfreq) and self.sfreq > 0):
            raise ValueError(f"the EEG stream needs a regular sampling rate, got {self.sfreq!r} Hz")
        if not (math.isfinite(self.tmin) and math.isfinite(self.tmax) and self.tmax > self.tmin):
            raise ValueError(f"the window must have tmax > tmin, got [{self.tmin}, {self.tmax})")
        if self.n_samples < 2:
            raise ValueError(f"the window [{self.tmin}, {self.tmax}) s holds {self.n_samples} "
                             f"sample(s) at {self.sfreq} Hz; it needs 2 at least")
        if self.calibration_trials < 1:
            raise ValueError(f"calibration_trials must be >= 1, got {self.calibration_trials}")
        if self.buffer_seconds < (self.tmax - self.tmin) * 2:
            raise ValueError("buffer_seconds must be at least twice the window")
        if not 2 <= self.max_classes <= 1000:
            raise ValueError(f"max_classes must be in [2, 1000], got {self.max_classes}")
        from kovani_bci.features import n_features

        width = n_features(self.features, len(self.channel_names))
        if width > MAX_FEATURES:
            most = (int((math.isqrt(8 * MAX_FEATURES + 1) - 1) // 2)
                    if self.features == "tangent-space" else MAX_FEATURES // 2)
            hint = ", or use log-variance features" if self.features == "tangent-space" else ""
            raise ValueError(f"{self.features} features of {len(self.channel_names)} channels "
                             f"are {width:,}; online decoding takes at most {MAX_FEATURES:,} "
                             f"features ({most} channels): publish fewer channels{hint}")

    @property
    def n_samples(self) -> int:
        return int(round((self.tmax - self.tmin) * self.sfreq))


@dataclass
class Decision:
    """One decided trial, as pushed on the decision stream."""

    label: str
    top_label: str
    proba: dict
    trial: int | None
    marker_time: float
    window_end: float
    latency: float = float("nan")       # seconds; set once pushed

    def sample(self) -> list[str]:
        """The decision stream's sample (see the module's table)."""
        return [self.label, self.top_label, json.dumps(self.proba),
                "" if self.trial is None else str(self.trial), repr(float(self.marker_time)),
                repr(float(self.window_end)), repr(self.latency * 1e3)]


@dataclass
class _Trial:
    """A trial the decoder has seen: its row's state in memory."""

    seq: int
    number: int | None
    marker: str
    marker_time: float
    label: str | None
    status: str = "pending"
    features: np.ndarray | None = None
    epoch: np.ndarray | None = None
    learnt: bool = False
    decided: bool = False


@dataclass(order=True)
class _Event:
    time: float
    order: int
    marker: Marker = field(compare=False)
    marker_time: float = field(compare=False)
    received: float = field(compare=False)


class _Clock:
    """The EEG's sample clock: sample ``k`` was taken at LSL time ``origin + period * k``.

    ``period`` is a least-squares fit of timestamp on sample index, its past weighted down
    with a half-life of ``half_life`` seconds (it follows a crystal's slow drift), drawn
    towards the nominal period by a prior worth ``prior`` seconds of samples (so that the
    first seconds of a jittered stream keep a sane rate). A timestamp is the time a sample was
    stamped, at or after the time it was taken, never before: ``origin`` is the lower envelope
    of the last ``envelope`` seconds of timestamps (the least delayed of them) on that slope,
    so that a sender's scheduling delays do not move the clock and exact timestamps are kept
    exactly.
    """

    def __init__(self, sfreq: float, half_life=60.0, prior=0.25, envelope=2.0):
        self.nominal = 1.0 / sfreq
        self.decay = 0.5 ** (1.0 / (half_life * sfreq))
        n = prior * sfreq
        self.prior = n ** 3 / 12.0          # the spread of ``prior`` seconds of samples
        self.span = max(int(round(envelope * sfreq)), 2)
        self.reset()

    def reset(self) -> None:
        self.weight = self.mean_k = self.mean_t = self.sxx = self.sxy = 0.0
        self.t_ref = None
        self.period = self.nominal
        self.origin = None
        self._lows = collections.deque()      # (k, t): each chunk's least delayed sample

    def __bool__(self) -> bool:
        return self.origin is not None

    def position(self, t):
        """The (fractional) sample index of LSL time ``t``."""
        return (t - self.origin) / self.period

    def anchor(self, k: float, t: float) -> None:
        """Sample ``k`` was taken at ``t``: the clock moves to it (the slope is kept)."""
        self._lows.clear()
        self._lows.append((float(k), float(t)))
        self.origin = t - self.period * k

    def update(self, k: np.ndarray, t: np.ndarray) -> None:
        """Take samples ``k`` (indices, increasing) taken at LSL times ``t`` (finite)."""
        m = len(k)
        if m == 0:
            return
        if self.t_ref is None:
            self.t_ref = float(t[0])
        tt = t - self.t_ref
        ck, ct = float(k.mean()), float(tt.mean())
        dk = k - ck
        cxx, cxy = float(dk @ dk), float(dk @ (tt - ct))
        w0 = self.weight * self.decay ** m
        w = w0 + m
        f = w0 * m / w
        d = self.decay ** m
        self.sxx = self.sxx * d + cxx + f * (self.mean_k - ck) ** 2
        self.sxy = self.sxy * d + cxy + f * (self.mean_k - ck) * (self.mean_t - ct)
        self.mean_k = (w0 * self.mean_k + m * ck) / w
        self.mean_t = (w0 * self.mean_t + m * ct) / w
        self.weight = w
        self.period = (self.sxy + self.prior * self.nominal) / (self.sxx + self.prior)
        j = int(np.argmin(t - self.period * k))
        self._lows.append((float(k[j]), float(t[j])))
        newest = float(k[-1])
        while len(self._lows) > 1 and self._lows[0][0] < newest - self.span:
            self._lows.popleft()
        self.origin = min(tj - self.period * kj for kj, tj in self._lows)


class _Buffer:
    """The latest EEG samples by sample index (a ring): values, LSL timestamps, local receive
    times, and which indices are missing (samples that never came, or came without a time)."""

    def __init__(self, n_channels: int, capacity: int):
        self.capacity = capacity
        self.data = np.zeros((capacity, n_channels))
        self.ts = np.zeros(capacity)
        self.recv = np.zeros(capacity)
        self.missing = np.zeros(capacity, dtype=bool)
        self.lo = self.hi = 0          # the indices held: [lo, hi)

    def restart(self, at: int) -> None:
        self.lo = self.hi = at

    def _slots(self, a: int, b: int) -> np.ndarray:
        return np.arange(a, b) % self.capacity

    def append(self, data, ts, received, missing=None) -> None:
        """Samples ``hi, hi + 1, ...``."""
        n = len(ts)
        if n > self.capacity:
            self.restart(self.hi + n - self.capacity)
            data, ts = data[-self.capacity:], ts[-self.capacity:]
            missing = None if missing is None else missing[-self.capacity:]
            n = self.capacity
        slots = self._slots(self.hi, self.hi + n)
        self.data[slots] = data
        self.ts[slots] = ts
        self.recv[slots] = received
        self.missing[slots] = False if missing is None else missing
        self.hi += n
        self.lo = max(self.lo, self.hi - self.capacity)

    def skip(self, n: int) -> None:
        """``n`` samples that never came."""
        if n >= self.capacity:
            self.restart(self.hi + n)
            return
        slots = self._slots(self.hi, self.hi + n)
        self.missing[slots] = True
        self.ts[slots] = np.nan
        self.hi += n
        self.lo = max(self.lo, self.hi - self.capacity)

    def window(self, a: int, b: int):
        slots = self._slots(a, b)
        return self.data[slots], self.ts[slots], self.recv[slots], self.missing[slots]


class OnlineDecoder:
    """Decode trials from EEG samples and markers, record the session as it goes.

    Parameters
    ----------
    session : Session
        An open session file; a new one gets ``settings``, a resumed one brings its own
        (``settings`` must then describe the same EEG: rate and channels).
    settings : DecoderSettings
    push : callable, optional
        ``push(decision)`` sends a :class:`Decision`; it is called before the trial is
        learnt from and recorded. The push time is the local time just before the call.
    report : callable, optional
        ``report(line)`` shows a one-line report (ignored markers, gaps, missed trials, ...).
        Every report is also recorded in the session.
    clock : callable, optional
        The local clock (LSL's ``local_clock`` when decoding a stream).
    record_raw : bool
        Keep every EEG chunk and marker in the session too.
    warm_classes : int
        Before the first trial, compile the classifier's fit, update and prediction for up
        to this many classes on made-up data (0: not at all), so that the first decisions
        and the first new class do not wait for the compiler (about a second per shape).
    """

    def __init__(self, session: Session, settings: DecoderSettings, *, push=None, report=None,
                 clock=time.perf_counter, record_raw=False, warm_classes=0, start_clf=None,
                 background_warm=True):
        self.session = session
        self.push = push or (lambda decision: None)
        self._report_line = report or (lambda line: None)
        self.clock = clock
        self.record_raw = record_raw
        self.finished = False
        self.decisions: list[Decision] = []
        self._events: list[_Event] = []
        self._early_labels: dict[int, str] = {}     # trial number -> label, trial not handled
        self._order = 0
        self._pending_raw: list = []
        self._raw_flushed = clock()
        self._first_k = None          # index of the first sample since (re)connection
        self._held = []               # samples stamped late, held until judged: (data, ts, recv)
        self._held_n = 0
        self._held_since = self._held_low = 0.0
        self._phase_seen = False      # a phase marker came since this decoder started
        self._warmer = _Warmer() if background_warm else None
        stored = session.meta_json("settings")
        resumed = stored is not None
        if not resumed:
            self.settings = settings
        else:
            try:
                self.settings = DecoderSettings(**stored)
            except (TypeError, ValueError) as exc:
                raise SessionError(f"{session.path}: its settings cannot be used ({exc})") \
                    from None
            problem = _stream_difference(self.settings, settings)
            if problem:
                raise ValueError(f"the EEG stream is not the session's: {problem}")
        s = self.settings
        self._clock = _Clock(s.sfreq)
        self._tolerance = max(2.0, GAP_TOLERANCE * s.sfreq)      # samples
        self._buffer = _Buffer(len(s.channel_names), int(math.ceil(s.buffer_seconds * s.sfreq)))
        self._start_clf = None
        if not resumed:
            if s.start_model is not None:       # checked before anything is written
                if start_clf is None:
                    start_clf = load_start_model(s.start_model)
                check_start_model(start_clf, s.start_model, s)
                self._start_clf = start_clf
            session.set_meta(settings=asdict(s), phase=self._initial_phase(s))
        self._restore()
        if resumed and settings.start_model not in (None, s.start_model):
            # A corrected starting model (the first one moved or broken): taken while the
            # session has not fitted its classifier, else ignored.
            if s.start_model is None:
                raise ValueError("the session started without a model; --model cannot be "
                                 "added on resume")
            if self.clf is None:
                if start_clf is None:
                    start_clf = load_start_model(settings.start_model)
                check_start_model(start_clf, settings.start_model, s)
                self._start_clf = start_clf
                s.start_model = settings.start_model
                session.set_meta(settings=asdict(s))
            else:
                self.report(f"--model {settings.start_model} ignored: the session's classifier "
                            "was fitted already")
        if s.start_model is not None and self.clf is None and self._start_clf is None:
            self._start_clf = load_start_model(s.start_model, s)     # needed until the fit
        if self._start_clf is not None and s.reject_below is not None:
            self._start_clf.set_params(reject_below=s.reject_below)
        self._grew = False
        if self.clf is not None:
            self._warm()
        if warm_classes >= 2:
            self._in_background(lambda: self._prewarm(warm_classes))

    def _in_background(self, job) -> None:
        if self._warmer is None:
            job()
        else:
            self._warmer.submit(job)

    def close(self) -> None:
        """Stop the background compiling (the session file is the caller's)."""
        if self._warmer is not None:
            self._warmer.stop()

    def _prewarm(self, n_classes: int) -> None:
        """Compile for 2 .. ``n_classes`` classes with the session's settings on made-up
        features; the classifier used is thrown away."""
        from kovani_bci.estimator import KovaniSoftmaxClassifier
        from kovani_bci.features import n_features

        s = self.settings
        width = n_features(s.features, len(s.channel_names))
        # The calibration fit's size, so that the fit itself finds its executable too.
        n = max(s.calibration_trials, 2)
        X = np.random.default_rng(0).standard_normal((n, width))
        clf = KovaniSoftmaxClassifier(num_steps=s.num_steps,
                                      n_posterior_samples=s.n_posterior_samples,
                                      random_state=s.seed)
        clf.fit(X, np.array(["0", "1"] * n)[:n])
        for k in range(2, min(n_classes, s.max_classes) + 1):
            clf.predict_proba(X[:1])
            clf.partial_fit(X[:1], np.array(["0"]))
            if k < n_classes:
                clf.partial_fit(X[:1], np.array([str(k)]))

    @staticmethod
    def _initial_phase(settings):
        return "calibration" if settings.start_model is None else "online"

    # -- state from the session (a new one is empty) ------------------------------------------

    def _restore(self):
        """The session's state from its file. Only the blobs the session still needs are
        read (the reference windows, windows waiting for the fit, features of decided trials
        waiting for their label): a damaged one of those refuses the session, one of any
        other trial does not matter."""
        s, session = self.settings, self.session
        self.phase = session.meta("phase")
        self.step = session.last_step()
        self.trials: dict[int, _Trial] = {}
        self.by_number: dict[int, _Trial] = {}
        self.clf, _ = session.model()
        reference = session.meta_json("reference")
        n_ch = len(s.channel_names)
        width = (self.clf.n_features_in_ if self.clf is not None
                 else None)
        rows = session.trials(tuple(c for c in _RESTORED if c not in ("features", "epoch")))
        for row in rows:
            t = _Trial(row["seq"], row["number"], row["marker"], row["marker_time"],
                       row["label"], row["status"], learnt=row["learn_step"] is not None,
                       decided=row["decide_step"] is not None)
            self.trials[t.seq] = t
            if t.number is not None:
                self.by_number[t.number] = t
        need_epoch = set(reference or ())
        need_features = set()
        if self.clf is None:
            need_epoch |= {q for q, t in self.trials.items() if t.status == "collected"}
        else:
            need_features = {q for q, t in self.trials.items()
                             if t.label is None and t.status in ("decided", "collected")}
        for q in sorted(need_epoch | need_features):
            if q not in self.trials:
                raise SessionError(f"{session.path}: its reference trial {q} is not recorded")
            t = self.trials[q]
            blobs = session.trial_blobs(q)
            if q in need_epoch:
                t.epoch = _array(blobs["epoch"], (n_ch, s.n_samples), session.path, t, "window")
            if q in need_features:
                t.features = _array(blobs["features"], (width,), session.path, t, "features")
        self.seq = max(self.trials, default=0)
        self.max_number = max(self.by_number, default=0)
        self.featurizer = None
        if reference is not None:
            from kovani_bci.features import make_featurizer

            # The feature statistics are a deterministic function of the reference windows:
            # refitting gives the same pipeline the session used before it stopped.
            self.featurizer = make_featurizer(s.features, s.sfreq).fit(
                np.stack([self.trials[q].epoch for q in reference]))
        if self.clf is not None:
            for t in self.trials.values():      # only windows waiting for the fit stay
                t.epoch = None

    # -- reports --------------------------------------------------------------------------------

    def report(self, line: str) -> None:
        with self.session.transaction():
            self.session.report(self.clock(), line)
        self._report_line(line)

    # -- input ----------------------------------------------------------------------------------

    def add_samples(self, data, timestamps, received=None) -> None:
        """Take an EEG chunk: ``data`` (n_samples, n_channels), LSL ``timestamps`` (n_samples,)."""
        ts = np.asarray(timestamps, dtype=np.float64).reshape(-1)
        if len(ts) == 0:
            return
        data = np.asarray(data, dtype=np.float64).reshape(len(ts), -1)
        received = self.clock() if received is None else received
        if self.record_raw:
            self._pending_raw.append(("chunk", data.copy(), ts.copy()))
        untimed = ~np.isfinite(ts)
        if untimed.any():
            self.report(f"EEG: {int(untimed.sum())} sample(s) without a valid timestamp; "
                        "counted as missing")
        if not self._clock:                     # the clock starts at the first timed sample
            first = np.flatnonzero(~untimed)
            if len(first) == 0:
                return
            data, ts, untimed = data[first[0]:], ts[first[0]:], untimed[first[0]:]
            self._first_k = self._buffer.hi
            self._take(data, ts, received, untimed, fit=True)
            return
        k = self._buffer.hi + self._held_n + np.arange(len(ts))
        late = self._clock.position(ts) - k      # samples; NaN where untimed
        if not self._held_n and not (np.any(late > self._tolerance)
                                     or np.any(late < -self._tolerance)):
            self._take(data, ts, received, untimed, fit=True)
            return
        for i in range(len(ts)):
            self._judge(data[i:i + 1], ts[i:i + 1], received, untimed[i:i + 1])

    def _take(self, data, ts, received, untimed, fit):
        self._buffer.append(data, ts, received, untimed)
        if fit:
            timed = ~untimed
            k = np.arange(self._buffer.hi - len(ts), self._buffer.hi, dtype=np.float64)
            self._clock.update(k[timed], ts[timed])

    def _hold(self, data, ts, received):
        self._held.append((data, ts, received))
        self._held_n += len(ts)

    def _release(self, fit):
        for data, ts, received in self._held:
            self._take(data, ts, received, ~np.isfinite(ts), fit)
        self._held.clear()
        self._held_n = 0

    def _judge(self, data, ts, received, untimed):
        """One sample, against the clock: on time, late (held until later samples tell a
        late stamp from missing samples), or earlier than the clock allows (a restart)."""
        if untimed[0]:
            if self._held_n:
                self._hold(data, ts, received)
            else:
                self._take(data, ts, received, untimed, fit=False)
            return
        t = float(ts[0])
        late = self._clock.position(t) - (self._buffer.hi + self._held_n)
        if -RESTART * self.settings.sfreq <= late < -self._tolerance:
            # Earlier than the clock allows, by less than a restart: the clock was wrong
            # (a delay taken for a gap, or a source's clock corrected); it follows the stamps.
            if self._held_n:
                self._release(fit=False)
                late = self._clock.position(t) - self._buffer.hi
            if late >= -self._tolerance:
                self._take(data, ts, received, untimed, fit=True)
                return
            self.report(f"EEG timestamps came {-late / self.settings.sfreq:.3f} s earlier than "
                        "the stream's clock expected; it follows them")
            self._clock.anchor(self._buffer.hi, t)
            self._take(data, ts, received, untimed, fit=True)
        elif late < -self._tolerance:
            self.report(f"EEG timestamps went back by {-late / self.settings.sfreq:.3f} s "
                        "(the stream restarted?); earlier samples are dropped")
            self._held.clear()
            self._held_n = 0
            self._clock.reset()
            self._buffer.restart(self._buffer.hi)
            self._first_k = self._buffer.hi
            self._take(data, ts, received, untimed, fit=True)
        elif late <= self._tolerance:
            if self._held_n:
                self._release(fit=False)        # late stamps: nothing was missing
            self._take(data, ts, received, untimed, fit=True)
        else:
            if not self._held_n:
                self._held_since, self._held_low = t, late
            self._hold(data, ts, received)
            self._held_low = min(self._held_low, late)
            # Still late after GAP_CONFIRM seconds of its own timestamps: samples are missing.
            if t - self._held_since >= GAP_CONFIRM or self._held_n >= self._buffer.capacity:
                missing = int(round(self._held_low))
                before = self._clock.origin + self._clock.period * (self._buffer.hi - 1)
                self.report(f"EEG gap: {missing} sample(s) "
                            f"({missing / self.settings.sfreq:.3f} s) missing after LSL time "
                            f"{before:.3f}; trials overlapping it are not decoded")
                self._buffer.skip(missing)
                self._release(fit=True)

    def add_markers(self, texts, timestamps, received=None, channel_names=None) -> None:
        """Take markers: strings with their LSL timestamps, or one-hot samples (rows of floats)
        with the ``channel_names`` that name their descriptions."""
        received = self.clock() if received is None else received
        for value, t in zip(texts, np.asarray(timestamps, dtype=np.float64).reshape(-1)):
            if channel_names is not None:
                words = one_hot_descriptions(value, channel_names)
            else:
                words = [value[0] if isinstance(value, (list, tuple, np.ndarray)) else value]
            for word in words:
                marker = parse_marker(word)
                if self.record_raw:
                    self._pending_raw.append(("marker", float(t), marker.text))
                self._accept(marker, float(t), received)

    def _accept(self, marker: Marker, t: float, received: float) -> None:
        s = self.settings
        if marker.kind == "unknown":
            text = marker.text if len(marker.text) <= 80 else marker.text[:77] + "..."
            self.report(f"marker {text!r} at LSL time {t:.3f} ignored: {marker.problem}")
            return
        if marker.kind == "trial":
            n = marker.number
            if n is not None:
                if n in self.by_number or any(e.marker.kind == "trial" and e.marker.number == n
                                              for e in self._events):
                    self.report(f"trial #{n} came twice; the marker {marker.text!r} at LSL time "
                                f"{t:.3f} is ignored")
                    return
                if n > self.max_number + 1:
                    first, last = self.max_number + 1, n - 1
                    span = f"#{first}" if first == last else f"#{first}-#{last}"
                    why = ("before the decoder connected" if self.max_number == 0
                           else "while the decoder was not receiving")
                    self.report(f"missed {last - first + 1} trial(s) ({span}): published {why}")
                self.max_number = max(self.max_number, n)
            key = t + s.tmin + (s.n_samples - 1) / s.sfreq     # the window's last sample
        else:
            key = t
        self._order += 1
        heapq.heappush(self._events, _Event(key, self._order, marker, t, received))

    # -- processing -----------------------------------------------------------------------------

    def process(self, flush: bool = False) -> None:
        """Handle every event the EEG has reached, in time order (all of them if ``flush``)."""
        if flush:
            self._release(fit=False)
        while self._events and not self.finished:
            e = self._events[0]
            if not flush and not self._reached(e):
                break
            heapq.heappop(self._events)
            self._handle(e)
        self._flush_raw(force=flush)

    def finish(self, reason: str | None = None) -> None:
        """End the session: handle what is left (windows the EEG never completed are
        reported), write the raw recording's last chunks. Calling it again does nothing."""
        if reason and not self.finished:
            self.report(reason)
        if not self.finished:
            self.process(flush=True)
        self.finished = True
        self._flush_raw(force=True)

    def _handle(self, e: _Event) -> None:
        kind = e.marker.kind
        if kind == "end":
            # Trials marked before the end are decoded first, once their windows are in.
            last = max((p.time for p in self._events if p.marker.kind == "trial"
                        and p.marker_time <= e.marker_time), default=None)
            if last is None:
                self.finished = True
            else:
                self._order += 1
                heapq.heappush(self._events, _Event(last, self._order, e.marker,
                                                    e.marker_time, e.received))
        elif kind in ("calibration", "online"):
            self._phase_seen = True
            self._set_phase(kind)
        elif kind == "trial":
            if e.marker.label is None:
                self._online_implied(e)
            self._handle_trial(e)
        elif kind == "label":
            self._online_implied(e)
            self._handle_label(e)

    def _window_start(self, marker_time: float) -> int:
        """The index of a trial's first sample: the one nearest to ``marker_time + tmin`` on
        the EEG's clock, anchored on the least delayed timestamps within ``LOCAL_ANCHOR``
        seconds of it (so that an error of the fitted rate hardly counts)."""
        t = marker_time + self.settings.tmin
        clock, buf = self._clock, self._buffer
        guess = math.floor(clock.position(t) + 0.5)
        reach = int(LOCAL_ANCHOR * self.settings.sfreq)
        a, b = max(buf.lo, guess - reach), min(buf.hi, guess + reach + 1)
        if b - a >= 2:
            _, ts, _, missing = buf.window(a, b)
            low = ts - clock.period * np.arange(a, b)
            low = low[~missing & np.isfinite(low)]
            if len(low):
                return math.floor((t - float(low.min())) / clock.period + 0.5)
        return guess

    def _reached(self, e: _Event) -> bool:
        """Whether the EEG received has reached event ``e`` (a trial: its window's last
        sample; any other marker: its time)."""
        if not self._clock:
            return False
        last = self._buffer.hi - 1
        if e.marker.kind == "trial":
            end = self._clock.position(e.marker_time + self.settings.tmin) \
                + self.settings.n_samples - 1
            if end > last + 3:          # far off: the anchored start is not needed yet
                return False
            return self._window_start(e.marker_time) + self.settings.n_samples - 1 <= last
        return self._clock.position(e.time) <= last + 0.5
    def _set_phase(self, kind: str) -> None:
        if kind != self.phase:
            self.phase = kind
            self.session.set_meta(phase=kind)
            if kind == "online" and self.clf is None:
                self._try_fit(force=True)

    def _online_implied(self, e: _Event) -> None:
        """A trial without a label, or a label (feedback), is what the stimulus program sends
        online: a decoder that saw no phase marker since it started (resumed, or connected
        late) and is still calibrating has missed ``online``, and goes online."""
        if self.phase == "calibration" and not self._phase_seen:
            self._phase_seen = True
            self.report(f"marker {e.marker.text!r} at LSL time {e.marker_time:.3f} is sent "
                        "online: the 'online' marker was missed; the session goes online")
            self._set_phase("online")

    def _cut(self, marker_time: float):
        """``(window, window_end, completed_at)``, or ``(None, status, why)``."""
        s = self.settings
        if not self._clock:
            return None, "no_data", "no EEG sample was received"
        k0 = self._window_start(marker_time)
        k1 = k0 + s.n_samples
        buf = self._buffer
        if k0 < buf.lo:
            if k0 < self._first_k:
                return None, "no_data", "the window began before the first sample received"
            return None, "no_data", "the window is no longer buffered (the marker came too late)"
        if k1 > buf.hi:
            return None, "no_data", "the EEG stopped before the window's end"
        data, ts, recv, missing = buf.window(k0, k1)
        if missing.any():
            return None, "gap", f"{int(missing.sum())} sample(s) missing in the window"
        bad = ~(np.abs(data) <= FLOAT32_MAX)        # NaN, infinite, or beyond float32
        if bad.any():
            return None, "bad", (f"{int(bad.any(axis=1).sum())} sample(s) not finite or "
                                 "beyond float32 range in the window")
        if np.all(data == data[:1]):
            return None, "flat", "the window is flat (every channel constant)"
        return data.T.copy(), float(ts[-1]), float(recv[-1])

    def _describe(self, t: _Trial) -> str:
        return f"trial #{t.number}" if t.number is not None else f"trial {t.marker!r}"

    def _handle_trial(self, e: _Event) -> None:
        m = e.marker
        self.seq += 1
        label, early = m.label, self._early_labels.pop(m.number, None)
        if label is None:
            label = early
        elif early is not None and early != label:
            self.report(f"label {early!r} for trial #{m.number} ignored: the trial's marker "
                        f"{m.text!r} gave it the label {label!r} first")
        t = _Trial(self.seq, m.number, m.text, e.marker_time, label)
        self.trials[t.seq] = t
        if t.number is not None:
            self.by_number[t.number] = t
        window, window_end, completed = self._cut(e.marker_time)
        row = dict(seq=t.seq, number=t.number, marker=t.marker, marker_time=t.marker_time,
                   phase=self.phase, label=t.label)
        if window is None:
            t.status = window_end
            with self.session.transaction():
                self.session.write_trial({**row, "status": t.status})
                self._flush_raw(force=True)
            self.report(f"{self._describe(t)} at LSL time {e.marker_time:.3f} not decoded: "
                        f"{completed}")
            return
        t.epoch = window
        completed = max(completed, e.received)
        row.update(window_end=window_end, received=completed, epoch=window)
        if self.clf is None:
            t.status = "collected"
            with self.session.transaction():
                self.session.write_trial({**row, "status": t.status})
                self._try_fit(force=self.phase == "online" and self._start_clf is None)
                self._flush_raw(force=True)
            return
        t.features = self.featurizer.transform(window[None])[0]
        if not np.all(np.isfinite(t.features)):
            t.status, t.features, t.epoch = "bad", None, None
            with self.session.transaction():
                self.session.write_trial({**row, "status": t.status})
                self._flush_raw(force=True)
            self.report(f"{self._describe(t)} at LSL time {e.marker_time:.3f} not decoded: "
                        "its features are not finite")
            return
        t.epoch = None          # recorded; only windows waiting for the fit stay in memory
        row["features"] = t.features
        if self.phase == "online":
            decision = self._decide(t, window_end)
            pushed = self.clock()           # the sample carries its latency: taken just before
            decision.latency = pushed - completed
            self.push(decision)
            self.decisions.append(decision)
            self.step += 1
            t.status, t.decided = "decided", True
            row.update(status="decided", decide_step=self.step, decision=decision.label,
                       top_label=decision.top_label, proba=decision.proba, pushed=pushed,
                       latency=decision.latency)
        else:
            t.status = "collected"
            row["status"] = "collected"
        with self.session.transaction():
            if t.label is not None:
                row["learn_step"] = self._learn(t)
            self.session.write_trial(row)
            self._flush_raw(force=True)
        self._after_learning()

    def _decide(self, t: _Trial, window_end: float) -> Decision:
        clf = self.clf
        proba = clf.predict_proba(t.features[None])[0]
        k = int(np.argmax(proba))
        top = str(clf.classes_[k])
        label = ABSTAIN if proba[k] < clf.reject_below else top
        return Decision(label, top, {str(c): float(p) for c, p in zip(clf.classes_, proba)},
                        t.number, t.marker_time, window_end)

    def _learn(self, t: _Trial) -> int | None:
        """Learn trial ``t`` (in the caller's transaction); return its step (None: its label
        would add a class beyond ``max_classes``; reported, not learnt)."""
        before = len(self.clf.classes_)
        if t.label not in set(map(str, self.clf.classes_)):
            if before >= self.settings.max_classes:
                self._refuse_class(t)
                return None
            if self._warmer is not None:    # compiling for this class already: wait for it,
                self._warmer.wait_for(before + 1)   # rather than compile it a second time
        self.clf.partial_fit(t.features[None], np.array([t.label]))
        self.step += 1
        t.learnt = True
        self.session.write_model(self.clf, self.step)
        self._grew = len(self.clf.classes_) != before
        return self.step

    def _refuse_class(self, t: _Trial) -> None:
        self.report(f"label {t.label!r} of {self._describe(t)} recorded, not learnt: the "
                    f"session has its maximum of {self.settings.max_classes} classes "
                    "(max_classes)")

    def _after_learning(self) -> None:
        if self._grew:
            self._grew = False
            if len(self.clf.classes_) == self.settings.max_classes:
                self.report(f"the session has reached its maximum of "
                            f"{self.settings.max_classes} classes (max_classes): trials of "
                            "another label will be recorded, not learnt")
            self._warm()

    def _handle_label(self, e: _Event) -> None:
        m = e.marker
        if m.number is not None:
            t = self.by_number.get(m.number)
            if t is None and any(p.marker.kind == "trial" and p.marker.number == m.number
                                 for p in self._events):
                # Feedback within the trial's own window: the trial takes it when handled
                # (the first label that comes, as for a trial already handled).
                first = self._early_labels.setdefault(m.number, m.label)
                if first != m.label:
                    self.report(f"label {m.text!r} ignored: trial #{m.number} already has the "
                                f"label {first!r}")
                return
            if t is None:
                self.report(f"label {m.text!r} at LSL time {e.marker_time:.3f} ignored: trial "
                            f"#{m.number} was not received")
                return
        else:
            t = next((t for t in reversed(self.trials.values()) if t.label is None), None)
            if t is None:
                self.report(f"label {m.text!r} at LSL time {e.marker_time:.3f} ignored: no "
                            "trial is waiting for a label")
                return
        if t.label is not None:
            if t.label != m.label:
                self.report(f"label {m.text!r} ignored: {self._describe(t)} already has the "
                            f"label {t.label!r}")
            return
        t.label = m.label
        row = {"label": t.label}
        with self.session.transaction():
            if t.status in ("decided", "collected") and t.features is not None:
                row["learn_step"] = self._learn(t)
            self.session.update_trial(t.seq, **row)
            if self.clf is None and t.status == "collected":
                self._try_fit(force=self.phase == "online" and self._start_clf is None)
        if t.status not in ("decided", "collected"):
            self.report(f"label for {self._describe(t)} recorded, not learnt: the trial was "
                        "not decoded")
        self._after_learning()

    def _try_fit(self, force: bool) -> None:
        """Fix the feature statistics and fit the classifier on the collected trials, when
        enough have come (in the caller's transaction, or one of its own)."""
        from kovani_bci.estimator import KovaniSoftmaxClassifier
        from kovani_bci.features import make_featurizer

        s = self.settings
        # (A window that is not finite is never collected; one recorded by an older version
        # is left out, so that such a session can still be fitted and resumed.)
        collected = [t for t in self.trials.values() if t.status == "collected"
                     and t.epoch is not None and np.all(np.isfinite(t.epoch))]
        labelled = [t for t in collected if t.label is not None]
        known = list(map(str, self._start_clf.classes_)) if self._start_clf is not None else []
        for t in labelled:              # the first max_classes labels, in the trials' order
            if t.label not in known and len(known) < s.max_classes:
                known.append(t.label)
        beyond = [t for t in labelled if t.label not in known]
        labelled = [t for t in labelled if t.label in known]
        if self._start_clf is not None:
            if len(collected) < s.calibration_trials and not (force and collected):
                return
        elif len({t.label for t in labelled}) < 2 or (len(labelled) < s.calibration_trials
                                                       and not force):
            return
        featurizer = make_featurizer(s.features, s.sfreq).fit(
            np.stack([t.epoch for t in collected]))
        Z = featurizer.transform(np.stack([t.epoch for t in collected]))
        for t, z in zip(collected, Z):
            t.features = z
        X = np.stack([t.features for t in labelled]) if labelled else None
        y = np.array([t.label for t in labelled])
        if self._start_clf is None:
            clf = KovaniSoftmaxClassifier(num_steps=s.num_steps,
                                          n_posterior_samples=s.n_posterior_samples,
                                          random_state=s.seed,
                                          reject_below=s.reject_below or 0.0)
            clf.fit(X, y)
        else:
            from sklearn.base import clone

            clf = clone(self._start_clf)
            if labelled:
                clf.fit(X, y, prior=self._start_clf)
            else:
                clf = copy.deepcopy(self._start_clf)
        self.step += 1
        with self.session.transaction():
            for t in collected:
                update = {"features": t.features}
                if t.label is not None:
                    update["learn_step"] = self.step
                    t.learnt = True
                self.session.update_trial(t.seq, **update)
            self.session.set_meta(reference=[t.seq for t in collected], fit_step=self.step)
            self.session.write_model(clf, self.step)
        self.featurizer, self.clf = featurizer, clf
        for t in collected:
            t.epoch = None
        for t in beyond:
            self._refuse_class(t)
        self._warm()
        self.report(f"fitted on {len(labelled)} labelled trial(s) of {len(collected)} "
                    f"collected ({', '.join(map(str, clf.classes_))}); decoding from now on"
                    if self.phase == "online" else
                    f"fitted on {len(labelled)} labelled trial(s) of {len(collected)} collected "
                    f"({', '.join(map(str, clf.classes_))})")

    def _warm(self) -> None:
        """Compile prediction and the update for the current number of classes, and, in the
        background, those of ``WARM_AHEAD`` classes more (new labels'), before trials need
        them: on a copy (the session's model is not touched), off the decision path."""
        clf = copy.deepcopy(self.clf)
        k = len(clf.classes_)
        # Classes ahead only in the background: inline they would be a stall of their own.
        ahead = [c for c in range(k + 1, min(k + WARM_AHEAD, self.settings.max_classes) + 1)
                 if self._warmer is not None and not self._warmer.submitted(c)]

        warmer = self._warmer       # the job holds no reference to the decoder

        def job():
            z = np.zeros((1, clf.n_features_in_))
            clf.predict_proba(z)
            clf.partial_fit(z, clf.classes_[:1])
            for c in ahead:
                clf.partial_fit(z, np.array([f"\x00new-{c}"]))
                clf.predict_proba(z)
                clf.partial_fit(z, clf.classes_[:1])
                warmer.done(c)

        if self._warmer is None:
            job()
        else:
            self._warmer.submit(job, ahead)

    # -- raw recording ----------------------------------------------------------------------------

    def _flush_raw(self, force: bool = False) -> None:
        if not self.record_raw or not self._pending_raw:
            return
        now = self.clock()
        if not force and now - self._raw_flushed < 1.0:
            return
        with self.session.transaction():
            for item in self._pending_raw:
                if item[0] == "chunk":
                    self.session.write_raw_chunk(item[1], item[2])
                else:
                    self.session.write_raw_marker(item[1], item[2])
        self._pending_raw.clear()
        self._raw_flushed = now

    def tick(self) -> None:
        """Write the raw recording's pending chunks when a second has passed."""
        self._flush_raw()



# -- helpers ------------------------------------------------------------------------------------

_RESTORED = ("seq", "number", "marker", "marker_time", "status", "label", "learn_step",
             "decide_step", "features", "epoch")


def _array(blob, shape, path, t: _Trial, what: str) -> np.ndarray:
    """A float64 blob of a trial as an array of ``shape``; a damaged one refuses the session."""
    if not isinstance(blob, bytes) or len(blob) != 8 * math.prod(shape):
        raise SessionError(f"{path}: the {what} of trial {t.seq} ({t.marker!r}) is damaged "
                           f"({'missing' if blob is None else f'{len(blob)} bytes'}; "
                           f"{8 * math.prod(shape)} expected)")
    return np.frombuffer(blob, dtype=np.float64).reshape(shape)


def _stream_difference(session: DecoderSettings, stream: DecoderSettings) -> str | None:
    """What differs between the session's EEG and the stream's, in words, or None."""
    if session.sfreq != stream.sfreq:
        return f"{stream.sfreq:g} Hz, the session's {session.sfreq:g} Hz"
    mine, theirs = list(session.channel_names), list(stream.channel_names)
    if mine == theirs:
        return None
    missing = [c for c in mine if c not in theirs]
    extra = [c for c in theirs if c not in mine]

    def show(names):
        return ", ".join(map(repr, names[:5])) + (" ..." if len(names) > 5 else "")

    parts = []
    if missing:
        parts.append(f"missing {show(missing)}")
    if extra:
        parts.append(f"new {show(extra)}")
    if not parts:
        k = next(i for i, (a, b) in enumerate(zip(mine, theirs)) if a != b)
        parts.append(f"the same channels in another order (channel {k + 1} is {theirs[k]!r}, "
                     f"the session's {mine[k]!r})")
    return (f"{len(theirs)} channels, the session's {len(mine)}: " if len(mine) != len(theirs)
            else "channels differ: ") + "; ".join(parts)


def load_start_model(path, settings: DecoderSettings | None = None):
    """The starting classifier file, checked against the session's features (when
    ``settings`` are given: see :func:`check_start_model`).

    Raises
    ------
    ValueError
        One line: the file is missing or not a classifier file, or it does not fit.
    """
    from kovani_bci.estimator import KovaniSoftmaxClassifier

    try:
        clf = KovaniSoftmaxClassifier.load(path)
    except (OSError, ValueError) as exc:
        text = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise ValueError(f"--model: {text}") from None
    if settings is not None:
        check_start_model(clf, path, settings)
    return clf


def check_start_model(clf, path, settings: DecoderSettings) -> None:
    """Raise ValueError (one line) unless ``clf`` takes the features the session makes and
    has at most ``max_classes`` classes."""
    from kovani_bci.features import n_features

    width = n_features(settings.features, len(settings.channel_names))
    if clf.n_features_in_ != width:
        raise ValueError(f"--model {path}: the classifier takes {clf.n_features_in_} features; "
                         f"{settings.features} features of {len(settings.channel_names)} "
                         f"channels are {width}")
    if len(clf.classes_) > settings.max_classes:
        raise ValueError(f"--model {path}: {len(clf.classes_)} classes, more than max_classes "
                         f"({settings.max_classes})")


class _Warmer:
    """One daemon thread that runs compile jobs in order, off the decision path. A job's
    failure is ignored (the decision path then compiles what it needs itself). At exit the
    job under way is let finish: a compiler interrupted by the interpreter's end aborts the
    process."""

    _all: "weakref.WeakSet[_Warmer]" = weakref.WeakSet()

    def __init__(self):
        self._jobs: queue.Queue = queue.Queue()
        self._thread = None
        self._state = threading.Condition()
        self._pending: set = set()        # class counts submitted, not compiled yet
        self._submitted: set = set()

    def submit(self, job, counts=()) -> None:
        """Run ``job`` in the background; it compiles for the class ``counts`` (calling
        :meth:`done` for each)."""
        if self._thread is None:
            if not _Warmer._all:
                atexit.register(_Warmer._stop_all)
            _Warmer._all.add(self)
            self._thread = threading.Thread(target=self._run, name="kovani-warm", daemon=True)
            self._thread.start()
        with self._state:
            self._pending |= set(counts)
            self._submitted |= set(counts)
        self._jobs.put((job, tuple(counts)))

    def submitted(self, count) -> bool:
        with self._state:
            return count in self._submitted

    def done(self, count) -> None:
        with self._state:
            self._pending.discard(count)
            self._state.notify_all()

    def wait_for(self, count, timeout=60.0) -> None:
        """Wait while the class count ``count`` is being compiled or waits to be."""
        with self._state:
            self._state.wait_for(lambda: count not in self._pending, timeout)

    @staticmethod
    def _stop_all() -> None:
        for warmer in list(_Warmer._all):
            warmer.stop()
        for warmer in list(_Warmer._all):
            if warmer._thread is not None:
                warmer._thread.join(60)

    def _run(self) -> None:
        while True:
            item = self._jobs.get()
            if item is None:
                return
            job, counts = item
            try:
                job()
            except Exception:       # noqa: BLE001 -- warming is only ever a head start
                pass
            finally:
                for c in counts:
                    self.done(c)

    def stop(self) -> None:
        if self._thread is not None:
            self._jobs.put(None)

    def join(self, timeout=None) -> None:
        """Wait until every job submitted so far has run (tests, benchmarks)."""
        if self._thread is not None:
            finished = threading.Event()
            self._jobs.put((finished.set, ()))
            finished.wait(timeout)
