"""Replaying recordings as live LSL streams: the simulated recording, the streams' samples
and marker timestamps, files written by MNE, and the `replay` command's options."""

import os
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from kovani_bci.cli import main
from kovani_bci.demo import session_epochs
from kovani_bci.live.lsl import liblsl_unavailable

mne = pytest.importorskip("mne")
replay_mod = pytest.importorskip("kovani_bci.live.replay")

NO_LSL = liblsl_unavailable()
needs_lsl = pytest.mark.skipif(NO_LSL is not None, reason=str(NO_LSL))


def _small_raw(**kw):
    return replay_mod.simulated_raw(seed=5, n_blocks=3, trials_per_block=4, **kw)


def test_simulated_raw_holds_each_trial_at_its_marker():
    for features, channels in (("log-variance", 8), ("tangent-space", 22)):
        raw = _small_raw(features=features)
        epochs = session_epochs(features, 5, 3, 4)
        assert epochs.trials.shape[1] == channels == len(raw.ch_names)
        samples, desc, dur = replay_mod.annotation_samples(raw)
        assert np.all(dur > 0) and np.all(np.diff(samples) > 0)
        assert desc[0] == "calibration" and desc[-1] == "end"
        data, n_s = raw.get_data(), epochs.trials.shape[2]
        trial_at = {}
        for s, d in zip(samples, desc):
            m = re.fullmatch(r"trial(?::(\w+))?#(\d+)", d)
            if m:
                n = int(m.group(2))
                trial_at[n] = s
                block = epochs.block[n - 1]
                # Block 0 carries its labels at onset; later blocks only by feedback.
                assert (m.group(1) is None) == (block > 0)
                if block == 0:
                    assert m.group(1) == epochs.y[n - 1]
                # Bit for bit the simulated trial, from the onset on.
                np.testing.assert_array_equal(data[:, s:s + n_s], epochs.trials[n - 1])
            elif d.startswith("label:"):
                label, n = re.fullmatch(r"label:(\w+)#(\d+)", d).groups()
                assert label == epochs.y[int(n) - 1]
                assert s >= trial_at[int(n)] + n_s       # after its window has ended
        assert sorted(trial_at) == list(range(1, len(epochs.y) + 1))
        online = samples[list(desc).index("online")]
        assert trial_at[4] < online < trial_at[5]          # between block 0 and block 1
        assert sum(d.startswith("label:") for d in desc) == 8


def _pull(inlet, n, deadline):
    """The first ``n`` samples an inlet receives (before ``deadline``, a monotonic time)."""
    data, stamps = [], []
    while sum(len(t) for t in stamps) < n and time.monotonic() < deadline:
        d, t = inlet.pull_chunk(timeout=0.05)
        if len(t):
            # mne-lsl hands back views into a buffer it reuses on the next pull.
            data.append(list(d) if isinstance(d, list) else np.array(d))
            stamps.append(np.array(t))
    return data, np.concatenate(stamps) if stamps else np.zeros(0)


def _replay_and_receive(raw, **options):
    """Replay ``raw`` in a thread and receive all of it."""
    from mne_lsl.lsl import StreamInlet, resolve_streams

    thread, stop, result = replay_mod.replay_in_thread(raw, wait=10, linger=0.2, **options)
    try:
        def find(name):
            for _ in range(100):
                found = [s for s in resolve_streams(timeout=0.1) if s.name == name]
                if found:
                    return found[0]
            raise AssertionError(f"stream {name} not found")

        eeg = StreamInlet(find(options["name"]))
        markers = StreamInlet(find(options["marker_name"]))
        eeg.open_stream(timeout=5)
        markers.open_stream(timeout=5)
        marker_channels = markers.get_sinfo().get_channel_names()
        deadline = time.monotonic() + 60
        got = {}
        n_markers = len(replay_mod.annotation_samples(raw)[0])
        t = threading.Thread(target=lambda: got.update(m=_pull(markers, n_markers, deadline)))
        t.start()
        data, stamps = _pull(eeg, raw.n_times, deadline)
        t.join()
    finally:
        stop.set()
        thread.join(30)
    assert "error" not in result, result.get("error")
    return result["result"], (np.concatenate(data), stamps), got["m"], marker_channels


@needs_lsl
def test_replay_of_a_file_carries_samples_and_markers_exactly(tmp_path):
    raw = _small_raw()
    # Written and read back by MNE, with a measurement date: onsets then count from it.
    raw.set_meas_date(1_700_000_000)
    path = tmp_path / "session_raw.fif"
    raw.save(path, verbose="error")
    loaded = replay_mod.read_recording(path)
    result, (data, stamps), (markers, marker_stamps), _ = _replay_and_receive(
        loaded, speed=25.0, name="t-eeg-file", marker_name="t-markers-file")
    sfreq = raw.info["sfreq"]
    assert result.completed and result.n_samples == raw.n_times
    np.testing.assert_array_equal(data, loaded.get_data().T)      # the file's samples, bit for bit
    np.testing.assert_allclose(stamps, result.t0 + np.arange(raw.n_times) / sfreq,
                               rtol=0, atol=1e-9)
    samples, desc, _ = replay_mod.annotation_samples(loaded)
    np.testing.assert_array_equal(samples, replay_mod.annotation_samples(raw)[0])
    assert [m[0] for chunk in markers for m in chunk] == list(desc)
    # Each marker carries the timestamp of the sample at its onset.
    np.testing.assert_allclose(marker_stamps, stamps[samples], rtol=0, atol=1e-9)
    assert result.n_markers == len(desc)


@needs_lsl
def test_one_hot_markers_and_zero_durations():
    raw = _small_raw(n_channels=3)
    raw.annotations.duration[0] = 0.0          # 'calibration' as zero duration: sent as -1
    result, _, (markers, _), names = _replay_and_receive(
        raw, speed=40.0, encoding="one-hot", name="t-eeg-hot", marker_name="t-markers-hot")
    _, desc, dur = replay_mod.annotation_samples(raw)
    assert names == sorted(set(desc))
    rows = np.concatenate(markers)
    assert [names[j] for j in np.argmax(rows != 0, axis=1)] == list(desc)
    assert np.all((rows != 0).sum(axis=1) == 1)
    np.testing.assert_array_equal(rows[rows != 0], np.where(dur > 0, dur, -1.0))


def test_bad_options_say_what_to_fix(tmp_path, capsys):
    raw = _small_raw(n_channels=3)
    for kw, name in ((dict(speed=0), "speed"), (dict(speed=float("inf")), "speed"),
                     (dict(chunk_size=0), "chunk_size"), (dict(encoding="csv"), "encoding"),
                     (dict(wait=-1), "wait"), (dict(start_delay=-1), "start_delay"),
                     (dict(marker_name=""), "marker_name"),
                     (dict(name="it's \"x\""), "both kinds of quotes")):
        with pytest.raises(ValueError, match=name):
            replay_mod.replay(raw, **kw)
    for kw, name in ((dict(iti=0), "iti"), (dict(label_delay=5.0), "label_delay"),
                     (dict(features="raw"), "features")):
        with pytest.raises(ValueError, match=name):
            replay_mod.simulated_raw(**kw)
    bare = mne.io.RawArray(np.zeros((2, 100)), mne.create_info(2, 100.0, "eeg"), verbose="error")
    path = tmp_path / "bare_raw.fif"
    bare.save(path, verbose="error")
    with pytest.raises(ValueError, match="no annotations"):
        replay_mod.read_recording(path)

    for argv, message in ((["replay"], "RECORDING file or --simulate"),
                          (["replay", str(path), "--simulate"], "not both"),
                          (["replay", str(path), "--blocks", "2"], "--blocks is an option"),
                          (["replay", "--simulate", "--speed", "-2"], "--speed"),
                          (["replay", "--simulate", "--wait", "x"], "--wait"),
                          (["replay", "--simulate", "--blocks", "1"], "--blocks: must be >= 2"),
                          (["replay", "--simulate", "--trials-per-block", "1"], ">= 3"),
                          (["replay", "--simulate", "--start-delay", "1e300"], "--start-delay"),
                          (["replay", "--simulate", "--speed", "1e-300"], "--speed"),
                          (["replay", "--simulate", "--marker-name", "a'\""], "both kinds"),
                          (["replay", "--dataset", "Blink", "--simulate"], "not both"),
                          (["replay", "--dataset", "Blink", "--blocks", "2"], "leave out --blocks")):
        assert main(argv) == 2
        err = capsys.readouterr().err
        assert message in err and len(err.strip().splitlines()) == 1
    assert main(["replay", str(tmp_path / "missing.fif")]) == 1
    assert "no such recording" in capsys.readouterr().err
    text = tmp_path / "notes.fif"
    text.write_text("not a recording\n")
    with pytest.raises(ValueError, match="notes.fif: not a raw EEG recording that MNE reads"):
        replay_mod.read_recording(text)
    if NO_LSL is None:
        assert main(["replay", str(path), "--wait", "0"]) == 1
        assert "no annotations" in capsys.readouterr().err


def _cli(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.join(os.path.dirname(__file__), "..", "src"), os.environ.get("PYTHONPATH", "")]))
    # Ctrl-C as a terminal sends it: a test run started in the background of a shell ignores
    # SIGINT, and a child inherits that (Python then never sees the signal).
    code = ("import signal, sys; signal.signal(signal.SIGINT, signal.default_int_handler); "
            "from kovani_bci.cli import main; sys.exit(main(sys.argv[1:]))")
    return subprocess.Popen([sys.executable, "-c", code, "replay", *args],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


@needs_lsl
def test_replay_command_runs_to_the_end_and_stops_on_ctrl_c():
    done = _cli("--simulate", "--blocks", "2", "--trials-per-block", "3", "--speed", "100",
                "--wait", "0", "--loopback", "--name", "t-cli")
    out, err = done.communicate(timeout=120)
    assert done.returncode == 0, err
    assert "'t-cli' (EEG)" in out and re.search(r"Replayed \d+ samples and 12 markers", out)

    waiting = _cli("--simulate", "--wait", "60", "--loopback", "--name", "t-cli-int")
    deadline = time.monotonic() + 60
    while "Waiting" not in waiting.stdout.readline() and time.monotonic() < deadline:
        pass
    waiting.send_signal(signal.SIGINT)
    _, err = waiting.communicate(timeout=30)
    assert waiting.returncode == 130 and err.strip() == "kovani-bci replay: interrupted"


@needs_lsl
def test_waiting_for_a_decoder_that_never_comes_ends():
    raw = _small_raw(n_channels=3)
    started = time.monotonic()
    with pytest.raises(TimeoutError, match="within 0.3 s"):
        replay_mod.replay(raw, wait=0.3, name="t-nobody", marker_name="t-nobody-markers")
    assert time.monotonic() - started < 5


def test_markers_stay_on_their_samples_in_cropped_files(tmp_path):
    # A ramp: the value of each sample is its index in the original recording.
    for meas_date in (None, 1_700_000_000):
        raw = mne.io.RawArray(np.arange(2000.0)[None].repeat(2, 0),
                              mne.create_info(2, 100.0, "eeg"), verbose="error")
        raw.set_meas_date(meas_date)
        raw.set_annotations(mne.Annotations([3.0, 12.5, 1.0], [0.1, 0.1, 0.1], ["a", "b", "c"]))
        path = tmp_path / "cropped_raw.fif"
        raw.crop(tmin=2.0).save(path, overwrite=True, verbose="error")
        loaded = replay_mod.read_recording(path)
        assert loaded.first_samp == 200
        samples, desc, _ = replay_mod.annotation_samples(loaded)
        assert list(desc) == ["a", "b"]                  # "c" lies before the data
        np.testing.assert_array_equal(loaded.get_data()[0, samples], [300.0, 1250.0])
