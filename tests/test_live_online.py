"""The online decoder on real LSL streams (loopback only: see conftest.py).

Streams come from :class:`live_streams.Pusher` (exact synthetic sessions, explicit
timestamps) or from the package's replay; every recorded session is checked against its
offline replay (:func:`live_streams.check_session`).
"""

import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from kovani_bci.live.lsl import liblsl_unavailable

_why = liblsl_unavailable()
pytestmark = [pytest.mark.skipif(_why is not None, reason=f"LSL unavailable: {_why}"),
              pytest.mark.timeout(180)]

from kovani_bci.cli import main  # noqa: E402
from live_streams import Pusher, check_session, feed, synthetic_session, trial_rows  # noqa: E402

SRC = os.path.dirname(os.path.dirname(os.path.abspath(__import__("kovani_bci").__file__)))
WINDOW = dict(tmax=1.0, calibration_trials=10, block_trials=10)


def _names(tag):
    return dict(eeg_name=f"{tag}-eeg", markers_name=f"{tag}-markers")


class _Decisions(threading.Thread):
    """Collect what the decision stream carries."""

    def __init__(self, name):
        super().__init__(daemon=True)
        self.name, self.samples, self.stop = name, [], threading.Event()

    def run(self):
        import pylsl

        found = []
        while not found and not self.stop.is_set():
            found = pylsl.resolve_bypred(f"name='{self.name}'", 1, 0.2)
        if not found:
            return
        inlet = pylsl.StreamInlet(found[0])
        inlet.open_stream(5)
        while not self.stop.is_set():
            samples, _ = inlet.pull_chunk(timeout=0.05)
            self.samples += samples


def test_missing_stream_and_bad_options_are_one_line(tmp_path, capsys):
    session = tmp_path / "s.sqlite"
    started = time.monotonic()
    assert main(["online", "--session", str(session), "--eeg", "no-such-eeg",
                 "--timeout", "0.2"]) == 1
    assert time.monotonic() - started < 10
    err = capsys.readouterr().err
    assert err == "kovani-bci online: error: no EEG stream named 'no-such-eeg' found within 0.2 s\n"
    assert not session.exists()          # nothing made for a session that never started
    session.write_bytes(b"")
    for argv, status, message in [
            (["--session", str(session)], 1, "a session is already there; pass --resume"),
            (["--resume"], 2, "--resume needs --session"),
            (["--speed", "2"], 2, "--speed is an option of --simulate"),
            (["--simulate", "--eeg", "x"], 2, "--simulate decodes its own streams"),
            (["--tmax", "-1"], 2, "--tmax (-1) must be greater than --tmin (0)"),
            (["--simulate", "--trials-per-block", "2"], 2, "--trials-per-block: must be >= 3"),
            (["--simulate", "--speed", "1e-300"], 2, "--speed: must be in [0.01, 1000]"),
            (["--tmin", "-20", "--tmax", "20"], 2, "a window lasts at most 30 s"),
            (["--timeout", "0"], 2, "--timeout: must be in"),
            (["--max-classes", "1"], 2, "--max-classes: must be >= 2"),
            (["--eeg", "a'\""], 2, "--eeg: 'a\\'\"' holds both kinds of quotes"),
            (["--session", str(tmp_path / "new.sqlite"), "--model", str(tmp_path / "no.npz")],
             1, "--model: no such file"),
            (["--dataset", "Blink"], 2, "--dataset is an option of --simulate"),
            (["--simulate", "--dataset", "Blink", "--blocks", "3"], 2, "leave out --blocks")]:
        assert main(["online", *argv]) == status
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and message in err, (argv, err)
    assert not (tmp_path / "new.sqlite").exists()


def test_refused_at_start_with_one_line(tmp_path):
    """Streams the decoder must not guess between, a starting model or a feature set that
    does not fit the EEG: one line each, before a session file is made. A numeric marker
    stream is reported once."""
    import pylsl

    from kovani_bci.estimator import KovaniSoftmaxClassifier
    from kovani_bci.live.online import LiveError, run_online

    def outlet(name, n, source, fmt=pylsl.cf_float32, rate=100.0, stype="EEG"):
        return pylsl.StreamOutlet(pylsl.StreamInfo(name, stype, n, rate, fmt, source))

    keep = [outlet("kv-twin", 4, "amp-a"), outlet("kv-twin", 4, "amp-b"),
            outlet("kv-wide", 200, "amp-w"),
            outlet("kv-codes", 1, "codes", pylsl.cf_int32, pylsl.IRREGULAR_RATE, "Markers")]
    model = tmp_path / "m.npz"
    KovaniSoftmaxClassifier(num_steps=1).fit(np.eye(3).repeat(2, 0), [0, 1] * 3).save(model)
    path = tmp_path / "s.sqlite"
    common = dict(markers_name="kv-codes", timeout=2.0, tmax=0.5)
    for options, message in [
            (dict(eeg_name="kv-twin"), r"2 EEG streams named 'kv-twin': name 'kv-twin', type "
             r"'EEG', source id 'amp-[ab]', host .*; pick one with --eeg-source-id"),
            (dict(eeg_name="kv-twin", eeg_source_id="amp-b", start_model=str(model)),
             "takes 3 features; log-variance features of 4 channels are 8"),
            (dict(eeg_name="kv-wide", features="tangent-space"),
             "tangent-space features of 200 channels are 20,100; online decoding takes at "
             "most 10,000")]:
        with pytest.raises(LiveError, match=message) as caught:
            run_online(path, **common, **options)
        assert "\n" not in str(caught.value) and not path.exists()
    reports = []
    try:        # a session that saw no trial at all; it may end as a failure
        run_online(path, eeg_name="kv-twin", eeg_source_id="amp-a", report=reports.append,
                   max_seconds=0.5, **common)
    except LiveError:
        pass
    assert sum("carries numbers" in line for line in reports) == 1, reports
    del keep


def test_online_equals_offline_over_lsl_with_one_hot_markers_and_raw_recording(tmp_path):
    """The package's replay (one-hot markers, a zero-duration one among them, timestamps
    ahead of the clock) decoded online: decisions equal the offline replay of the same
    trials, the decision stream carries them, and the raw recording cuts to the same trials."""
    import mne

    from kovani_bci.live import replay as rp
    from kovani_bci.live.online import run_online

    raw = rp.simulated_raw(n_blocks=3, trials_per_block=8, iti=0.5, lead=0.5, label_delay=0.2)
    onsets, durations, texts = (raw.annotations.onset, raw.annotations.duration.copy(),
                                raw.annotations.description)
    durations[list(texts).index("online")] = 0.0    # reaches the decoder as -1
    raw.set_annotations(mne.Annotations(onsets, durations, texts))
    names = dict(name="kovani-eq", stype="EEG", marker_name="kovani-eq-markers",
                 marker_type="Markers")
    thread, stop, result = rp.replay_in_thread(raw, speed=10.0, wait=30, encoding="one-hot",
                                               **names)
    decisions = _Decisions("kovani-eq-decisions")
    decisions.start()
    path = tmp_path / "s.sqlite"
    reports = []
    try:
        summary = run_online(path, eeg_name="kovani-eq", markers_name="kovani-eq-markers",
                             decisions_name="kovani-eq-decisions", record_raw=True,
                             stall_timeout=5, report=reports.append, tmax=2.0,
                             calibration_trials=8, block_trials=8)
    finally:
        stop.set()
        thread.join(10)
        time.sleep(0.3)
        decisions.stop.set()
        decisions.join(5)
    assert "error" not in result
    assert not any("stopped" in line or "ignored" in line for line in reports), reports
    rows = check_session(path)
    assert summary["trials"] == 24 and summary["decided"] == 16 and summary["missed"] == 0
    assert [r["status"] for r in rows] == ["collected"] * 8 + ["decided"] * 16
    # The decision stream: one sample per decided trial, in the documented layout.
    pushed = {int(s[3]): s for s in decisions.samples}
    for r in rows[8:]:
        label, top, proba, number, marker_time, window_end, latency = pushed[r["number"]]
        assert (label, top) == (r["decision"], r["top_label"])
        assert json.loads(proba) == json.loads(r["proba"])
        assert float(marker_time) == r["marker_time"] and float(window_end) == r["window_end"]
        assert float(latency) == pytest.approx(r["latency"] * 1e3)
    # The raw recording: MNE reads it, and its annotations cut the very same windows.
    fif = mne.io.read_raw_fif(summary["raw"], preload=True, verbose="error")
    data = fif.get_data()
    sfreq = fif.info["sfreq"]
    trials = [(a["onset"], a["description"]) for a in fif.annotations
              if a["description"].startswith("trial")]
    assert len(trials) == 24
    for (onset, text), r in zip(trials, rows):
        assert text == r["marker"]
        k = int(round(onset * sfreq))
        epoch = np.frombuffer(r["epoch"], np.float64).reshape(data.shape[0], -1)
        np.testing.assert_array_equal(data[:, k:k + epoch.shape[1]], epoch)
    assert len(rp.read_recording(summary["raw"]).annotations) == len(fif.annotations)


def test_markers_before_connection_and_a_stream_that_stops(tmp_path):
    from kovani_bci.live.online import run_online

    synthetic = synthetic_session(n_blocks=3, trials_per_block=10)
    stop_at = int(25.2 * synthetic.sfreq)             # the EEG goes quiet in trial 17
    pusher = Pusher(synthetic, name="kovani-early", speed=8.0, stop_at=stop_at,
                    wait_for_consumer=False)
    pusher.start()
    time.sleep(0.6)                                    # trials go by before the decoder
    reports = []
    path = tmp_path / "s.sqlite"
    try:
        summary = run_online(path, **_names("kovani-early"), decisions_name="kovani-early-dec",
                             stall_timeout=1.0, report=reports.append, **WINDOW)
    finally:
        pusher.stop_event.set()
    rows = trial_rows(path)
    first = min(r["number"] for r in rows)
    assert first > 1
    assert any(line.startswith(f"missed {first - 1} trial(s) (#1") for line in reports), reports
    assert summary["missed"] == first - 1
    assert any(line.startswith("the EEG stream stopped: no sample for 1 s") for line in reports)
    assert max(r["number"] for r in rows) <= 17 and rows[-1]["status"] in ("no_data",
                                                                         "decided")
    check_session(path)


def _online(session, tag, *extra, cache):
    # The two processes share compiled executables, as a restarted decoder would.
    env = dict(os.environ, PYTHONPATH=SRC, KOVANI_BCI_COMPILATION_CACHE=str(cache))
    return subprocess.Popen(
        [sys.executable, "-m", "kovani_bci.cli", "online", "--session", str(session),
         "--eeg", f"{tag}-eeg", "--markers", f"{tag}-markers", "--decisions", f"{tag}-dec",
         "--warm-classes", "0", "--stall-timeout", "5", *extra],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def test_crash_and_resume_with_sigkill(tmp_path):
    """kill -9 mid-session while the streams go on, then --resume: every trial recorded
    before the kill is as an uninterrupted run decided it, none twice, the model's counts
    are the labelled trials recorded, and the trials gone by meanwhile are reported missed."""
    from kovani_bci.live.decoder import DecoderSettings, OnlineDecoder
    from kovani_bci.live.session import Session

    synthetic = synthetic_session(n_blocks=4, trials_per_block=10, seed=1)
    reference = tmp_path / "reference.sqlite"
    feed(OnlineDecoder(Session(reference, resume=False),
                       DecoderSettings(sfreq=synthetic.sfreq,
                                       channel_names=synthetic.channel_names, **WINDOW)),
         synthetic)
    options = ["--tmax", "1", "--calibration-trials", "10", "--block-trials", "10"]
    path = tmp_path / "s.sqlite"
    # The streams wait at trial 20 until the resumed decoder starts, however slow the first
    # one was to decode (on a loaded machine) before it was killed.
    pause = int(synthetic.onsets[19] * synthetic.sfreq)
    pusher = Pusher(synthetic, name="kovani-crash", speed=4.0, pause_at=pause)
    first = _online(path, "kovani-crash", *options, cache=tmp_path / "jax")
    pusher.start()
    try:
        deadline = time.monotonic() + 90
        n = 0
        while n < 13 and time.monotonic() < deadline and first.poll() is None:
            time.sleep(0.05)
            try:
                with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as db:
                    n = db.execute("SELECT count(*) FROM trials").fetchone()[0]
            except sqlite3.OperationalError:    # not made yet
                pass
        assert n >= 13, first.communicate()
        first.send_signal(signal.SIGKILL)
        first.wait(10)
        # Trials go by unseen; then the streams wait for the resumed decoder if it is slow
        # to start, so that some trials remain for it.
        time.sleep(1.5)
        pusher.hold.set()
        # The session as the kill left it, checked while the resumed decoder runs.
        snapshot = tmp_path / "killed.sqlite"
        for suffix in ("", "-wal"):
            if os.path.exists(f"{path}{suffix}"):
                shutil.copyfile(f"{path}{suffix}", f"{snapshot}{suffix}")
        second = _online(path, "kovani-crash", "--resume", cache=tmp_path / "jax")
        pusher.release.set()
        killed = check_session(snapshot)        # a valid session and model right after the kill
        out, err = second.communicate(timeout=120)
    finally:
        pusher.stop_event.set()
        if first.poll() is None:
            first.kill()
    assert second.returncode == 0, err
    rows = check_session(path)
    numbers = [r["number"] for r in rows]
    assert len(numbers) == len(set(numbers))
    missed = sorted(set(range(1, 41)) - set(numbers))
    after = [n for n in numbers if n > killed[-1]["number"]]
    assert missed and after and len(after) + len(missed) + len(killed) == 40, err
    # Reported with their count (one range: the trials that went by while it was down).
    span = f"#{missed[0]}" if len(missed) == 1 else f"#{missed[0]}-#{missed[-1]}"
    assert f"missed {len(missed)} trial(s) ({span}): published while the decoder was not " \
           "receiving" in err
    assert f"{len(missed)} missed" in out and f"session written to {path}" in out
    before = {r["number"]: r for r in trial_rows(reference)}
    for r in killed:
        mine = next(x for x in rows if x["seq"] == r["seq"])
        ref = before[r["number"]]
        for key in ("number", "status", "decision", "proba", "features", "decide_step"):
            assert mine[key] == ref[key] == r[key], (r["number"], key)
        if r["learn_step"] is not None:
            assert (mine["label"], mine["learn_step"]) == (ref["label"], ref["learn_step"])


def test_an_amplifier_stream_jittered_and_off_its_rate_is_decoded_sample_exact(tmp_path):
    """An acquisition program in a process of its own: chunks of 10 stamped by liblsl at push
    time, in real time, from a clock at 501 Hz announced as 500 Hz, each push up to 0.8 sample
    late. Every trial is recorded and every online one decided, each window is exactly the
    samples from its marker's sample on, and the session equals its offline replay. A marker
    that is not UTF-8, sent with a trial's, is reported and the trial kept; the stall timeout
    never fires while samples come."""
    import amplifier
    from kovani_bci.live.online import run_online

    sfreq = 500.0
    synthetic = synthetic_session(n_blocks=3, trials_per_block=6, sfreq=sfreq)
    markers = [(int(round(off * sfreq)), text) for off, text in synthetic.markers]
    onset = {int(text.split("#")[1]): k for k, text in markers if text.startswith("trial")}
    markers.append((onset[8] + 1, b"trial\xff#x"))
    source = amplifier.spawn(tmp_path / "amp.npz", synthetic.data, markers, sfreq=sfreq,
                             rate=501.0, chunk=10, jitter=0.8 / sfreq, name="kovani-amp")
    reports = []
    path = tmp_path / "s.sqlite"
    try:
        summary = run_online(path, **_names("kovani-amp"), decisions_name="kovani-amp-dec",
                             timeout=30, stall_timeout=2.0, report=reports.append, tmax=1.0,
                             calibration_trials=6, block_trials=6)
    finally:
        source.terminate()
        source.wait(10)
    assert (summary["trials"], summary["collected"], summary["decided"]) == (18, 6, 12)
    assert summary["missed"] == 0 and summary["failure"] is None
    others = [line for line in reports if not line.startswith("fitted on")]
    assert len(others) == 1 and others[0].startswith("marker 'trial\\\\xff#x' at LSL time ") \
        and others[0].endswith("ignored: not valid UTF-8"), reports
    rows = check_session(path)
    offsets = {}
    for r in rows:
        w = np.frombuffer(r["epoch"], np.float64).reshape(synthetic.data.shape[1], -1)
        k = onset[r["number"]]
        offsets[r["number"]] = [d for d in range(-8, 9) if np.array_equal(
            w, synthetic.data[k + d:k + d + w.shape[1]].T.astype(np.float32))]
    assert all(d == [0] for d in offsets.values()), str(offsets)


def test_a_session_that_decoded_nothing_exits_with_an_error(tmp_path, capsys, monkeypatch):
    from kovani_bci.live import online

    summary = dict(session=str(tmp_path / "s.sqlite"), trials=3, collected=0, decided=0,
                   abstained=0, gaps=3, no_data=0, bad=0, flat=0, missed=0,
                   accuracy_by_block={}, latency_ms_p50=np.nan, latency_ms_p99=np.nan,
                   latency_ms_max=np.nan)
    summary["failure"] = online._failure(summary, online_rows=[{}] * 3)
    monkeypatch.setattr(online, "run_online", lambda *args, **kwargs: summary)
    assert main(["online", "--session", summary["session"]]) == 1
    out, err = capsys.readouterr()
    line = "no trial could be decoded: every window had a gap in the EEG"
    assert line in out and err == f"kovani-bci online: error: {line}\n"
def test_online_equals_offline_on_a_replayed_recording(tmp_path):
    """A recorded data set replayed through LSL: the decoder's windows are the recorded
    trials bit for bit, in the replay's order, and its decisions equal the offline replay."""
    from kovani_bci.datasets import RecordingsNotInstalled, load_recording
    from kovani_bci.live import replay as rp
    from kovani_bci.live.online import run_online

    try:
        rec = load_recording("Blink")
    except RecordingsNotInstalled as exc:
        pytest.skip(str(exc))
    raw = rp.dataset_raw("Blink", calibration_trials=8, online_trials=8, seed=3, iti=0.5)
    thread, stop, result = rp.replay_in_thread(raw, speed=10.0, wait=30, name="kovani-rec",
                                               marker_name="kovani-rec-markers")
    path = tmp_path / "s.sqlite"
    try:
        summary = run_online(path, eeg_name="kovani-rec", markers_name="kovani-rec-markers",
                             decisions_name="kovani-rec-decisions", stall_timeout=5,
                             report=lambda line: None, tmax=2.0, calibration_trials=8,
                             block_trials=8, features="tangent-space")
    finally:
        stop.set()
        thread.join(10)
    assert "error" not in result
    assert summary["trials"] == 16 and summary["decided"] == 8 and summary["missed"] == 0
    rows = check_session(path)
    trials = {X.tobytes(): y for X, y in zip(np.concatenate([rec.X_train, rec.X_test]),
                                             np.concatenate([rec.y_train, rec.y_test]))}
    for r in rows:
        assert trials[np.frombuffer(r["epoch"], np.float64).tobytes()] == r["label"]
