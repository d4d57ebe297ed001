"""The online decoder without LSL: markers and EEG chunks handed to it directly.

Each session is checked against an offline replay of what it recorded
(:func:`live_streams.check_session`).
"""

import copy
import json
import os

import numpy as np
import pytest

from kovani_bci.live.decoder import DecoderSettings, OnlineDecoder
from kovani_bci.live.session import Session, export_raw
from kovani_bci.live.vocabulary import one_hot_descriptions, parse_marker
from live_streams import SFREQ, check_session, feed, synthetic_session, trial_rows as _rows

SETTINGS = dict(tmax=1.0, calibration_trials=10, block_trials=10)


@pytest.fixture(scope="module")
def synthetic():
    return synthetic_session(n_blocks=3, trials_per_block=10)


def _decoder(path, session, resume=False, reports=None, **overrides):
    settings = DecoderSettings(sfreq=session.sfreq, channel_names=session.channel_names,
                               **{**SETTINGS, **overrides})
    return OnlineDecoder(Session(path, resume=resume), settings,
                         report=None if reports is None else reports.append)


def test_vocabulary():
    m = parse_marker("trial:left_hand#12")
    assert (m.kind, m.label, m.number) == ("trial", "left_hand", 12)
    assert parse_marker(b" label:feet ").label == "feet"
    assert parse_marker("trial").number is None and parse_marker("trial#3").number == 3
    for word in ("calibration", "online", "end"):
        assert parse_marker(word).kind == word
    for bad in ("trial:", "label", "label#2", "trial#0", "start", "trial:x#y", ""):
        assert parse_marker(bad).kind == "unknown", bad
    # mne-lsl's one-hot annotations: a zero-duration annotation is -1, not 0.
    names = ["end", "trial:left#1", "label:left#1"]
    assert one_hot_descriptions([0, -1, 0], names) == ["trial:left#1"]
    assert one_hot_descriptions([0.004, 0, 2.0], names) == ["end", "label:left#1"]
    assert one_hot_descriptions([0, 0, np.nan], names) == []


def test_window_is_cut_by_marker_timestamp(tmp_path):
    # Every sample holds its own index: the window's first sample is the one nearest the
    # marker's time, whatever the arrival order of markers and chunks.
    n = 2000
    data = np.repeat(np.arange(n, dtype=np.float64)[:, None], 2, axis=1)
    ts = 50.0 + np.arange(n) / SFREQ
    cut = []
    settings = DecoderSettings(sfreq=SFREQ, channel_names=["a", "b"], tmin=-0.25, tmax=0.5,
                               calibration_trials=100)
    dec = OnlineDecoder(Session(tmp_path / "s.sqlite", resume=False), settings)
    times = [51.0, 52.3001, 53.7, 55.0 + 0.4 / SFREQ, 56.0 + 0.6 / SFREQ]
    # Markers out of order, one long after its window (late), each before the EEG reaches it.
    # Trial 2's label comes within its window, before the trial is handled.
    dec.add_markers(["trial#2", "trial#1", "label:x#2"], [times[1], times[0], times[1] + 0.1])
    for k in range(0, n, 7):
        dec.add_samples(data[k:k + 7], ts[k:k + 7])
        if k == 1400:
            dec.add_markers(["trial#3", "trial#5", "trial#4"], [times[2], times[4], times[3]])
        dec.process()
    dec.finish()
    rows = _rows(tmp_path / "s.sqlite")
    for r in rows:
        w = np.frombuffer(r["epoch"], np.float64).reshape(2, -1)
        cut.append((r["number"], w[0, 0], w.shape[1]))
        assert r["window_end"] == ts[int(w[0, -1])]
    start = lambda t: round((t - 0.25 - 50.0) * SFREQ)            # noqa: E731
    assert sorted(cut) == [(i + 1, start(t), 96) for i, t in enumerate(times)]
    # Handled in the time order of the windows, whatever order the markers came in.
    assert [r["number"] for r in rows] == [1, 2, 3, 4, 5]
    assert [r["label"] for r in rows] == [None, "x", None, None, None]


def test_online_equals_offline_whatever_the_chunking(tmp_path, synthetic):
    a, b = tmp_path / "a.sqlite", tmp_path / "b.sqlite"
    feed(_decoder(a, synthetic), synthetic, chunk=10)
    # Other chunks, and every marker arriving 0.1 s after the EEG passed its time.
    feed(_decoder(b, synthetic), synthetic, chunk=37, delay=0.1)
    rows_a = check_session(a)
    rows_b = check_session(b)
    assert len(rows_a) == 30 and sum(r["status"] == "decided" for r in rows_a) == 20
    keys = ("number", "status", "label", "decision", "top_label", "proba", "learn_step")
    assert [[r[k] for k in keys] for r in rows_a] == [[r[k] for k in keys] for r in rows_b]
    # The third class (block 2) was added mid-session and is among the decisions' classes.
    assert set(json.loads(rows_a[-1]["proba"])) == set(synthetic.y)


def test_faults_are_reported_and_the_session_goes_on(tmp_path, synthetic):
    reports = []
    path = tmp_path / "s.sqlite"
    dec = _decoder(path, synthetic, reports=reports)
    onset = {int(text.split("#")[1]): off for off, text in synthetic.markers if "trial" in text}
    markers = list(synthetic.markers)
    # Markers before connection: trials 1-2 and their markers never reach the decoder.
    first = onset[3] - 0.3
    markers = [(off, text) for off, text in markers if off >= first]
    markers.append((onset[14] + 0.5, "stimulus:blink"))           # outside the vocabulary
    markers.append((onset[15] + 0.1, "trial:feet#15"))            # a trial number twice
    markers.sort()
    gap = slice(int(onset[16] * SFREQ) + 40, int(onset[16] * SFREQ) + 45)   # in trial 16
    keep = np.ones(len(synthetic.data), dtype=bool)
    keep[gap] = False
    keep[: int(first * SFREQ)] = False
    stop = int((onset[29] + 0.5) * SFREQ)                         # the EEG stops in trial 29
    keep[stop:] = False
    rest = feed(dec, synthetic, markers=markers, keep=keep, finish=False)
    # The rest of the markers come, the EEG does not: the session ends cleanly.
    dec.add_markers([t for _, t in rest], [1000.0 + o for o, _ in rest])
    dec.finish("the EEG stream stopped")
    rows = {r["number"]: r for r in check_session(path)}
    text = "\n".join(reports)
    assert "missed 2 trial(s) (#1-#2): published before the decoder connected" in text
    assert "'stimulus:blink'" in text and "not in the marker vocabulary" in text
    assert "trial #15 came twice" in text
    assert "EEG gap: 5 sample(s)" in text
    assert rows[16]["status"] == "gap" and rows[16]["learn_step"] is None
    assert rows[16]["label"] is not None      # its label is recorded, not learnt
    assert rows[29]["status"] == "no_data" and rows[30]["status"] == "no_data"
    assert rows[17]["status"] == "decided" and rows[28]["status"] == "decided"
    assert sorted(rows) == list(range(3, 31))
    assert all("\n" not in line for line in reports)


def test_resume_after_a_crash_keeps_every_recorded_trial(tmp_path, synthetic):
    reference = tmp_path / "ref.sqlite"
    feed(_decoder(reference, synthetic), synthetic)
    # A decoder that dies (never finishes, never closes) after trial 17's window ...
    path = tmp_path / "s.sqlite"
    onset = {int(text.split("#")[1]): off for off, text in synthetic.markers if "trial" in text}
    cut = int((onset[17] + 1.1) * SFREQ)
    dead = _decoder(path, synthetic)
    part = copy.copy(synthetic)
    part.data = synthetic.data[:cut]
    feed(dead, part, markers=[m for m in synthetic.markers if m[0] < cut / SFREQ])
    dead.session.close()        # as a killed process's lock goes
    # ... and is resumed while trials 18-21 pass by unseen.
    reports = []
    back = _decoder(path, synthetic, resume=True, reports=reports)
    resume_at = onset[22] - 0.3
    later = [(o, t) for o, t in synthetic.markers if o >= resume_at]
    feed(back, synthetic, markers=later,
         keep=np.arange(len(synthetic.data)) >= int(resume_at * SFREQ))
    rows = check_session(path)
    numbers = [r["number"] for r in rows]
    assert len(numbers) == len(set(numbers))
    assert sorted(numbers) == [n for n in range(1, 31) if not 18 <= n <= 21]
    assert "missed 4 trial(s) (#18-#21): published while the decoder was not receiving" in reports
    before = {r["number"]: r for r in _rows(reference)}
    # Trial 17 was decided before the crash; its label came while the decoder was down.
    for r in rows:
        if r["number"] <= 17:
            keys = ("status", "decision", "proba", "features", "decide_step")
            keys += ("label", "learn_step") if r["number"] < 17 else ()
            for key in keys:
                assert r[key] == before[r["number"]][key], (r["number"], key)


def test_starting_model_abstention_and_labels_without_numbers(tmp_path, synthetic):
    """A session started from a classifier file (its posterior the prior of the calibration
    fit), abstaining below reject_below, with labels that carry no trial number (each goes
    to the latest trial without one)."""
    first = tmp_path / "first.sqlite"
    feed(_decoder(first, synthetic), synthetic)
    model, _ = Session(first, resume=True, read_only=True).model()
    model_file = tmp_path / "model.npz"
    model.save(model_file)
    start_counts = dict(zip(model.model_labels_.tolist(),
                            model.model_.params["class_counts"].tolist()))
    other = synthetic_session(n_blocks=3, trials_per_block=10, seed=5)
    unnumbered = [(off, text.split("#")[0]) for off, text in other.markers]
    path = tmp_path / "s.sqlite"
    reports = []
    feed(_decoder(path, other, reports=reports, start_model=str(model_file), reject_below=0.95,
                  calibration_trials=4), other, markers=unnumbered)
    rows = check_session(path, start_counts=start_counts)
    assert [r["status"] for r in rows[:4]] == ["collected"] * 4
    assert all(r["number"] is None for r in rows)
    decided = [r for r in rows if r["status"] == "decided"]
    assert len(decided) == 20 and all(r["label"] == y for r, y in zip(rows, other.y))
    abstained = [r for r in decided if r["decision"] == "abstain"]
    assert 0 < len(abstained) < len(decided)
    assert any(line.startswith("fitted on 4 labelled trial(s)") for line in reports)


def _amplifier_stamps(n, sfreq, rate, chunk, jitter, rng, t0=100.0):
    """Timestamps as liblsl gives a chunk pushed without one: its last sample at the push
    time (the sample's true time plus a delay), the others back at the nominal rate."""
    ts = np.empty(n)
    for k in range(0, n, chunk):
        stop = min(k + chunk, n)
        pushed = t0 + (stop - 1) / rate + rng.uniform(0, jitter)
        ts[k:stop] = pushed - (stop - 1 - np.arange(k, stop)) / sfreq
    return ts


@pytest.mark.filterwarnings("ignore:Limited .* annotation")   # the restart's overlapping stamps
def test_windows_follow_the_effective_rate_of_a_jittered_clock(tmp_path):
    """Push-time stamps from a clock off its nominal rate: every window starts at the sample
    taken nearest its marker on the true clock (each sample holds its index); late chunks
    and a burst are not gaps; samples really missing, a timestamp that is NaN and a clock that
    restarts are reported, and only the windows they touch are lost."""
    rng = np.random.default_rng(3)
    for sfreq, rate, chunk, jitter, tmin, tmax in [(500.0, 501.0, 10, 0.8 / 500, 0.0, 1.0),
                                                   (250.0, 250.5, 8, 0.004, -0.5, 2.0)]:
        n = int(70 * sfreq)
        data = np.repeat(np.arange(n, dtype=np.float64)[:, None], 2, axis=1)
        ts = _amplifier_stamps(n, sfreq, rate, chunk, jitter, rng)
        late = slice(int(12 * sfreq), int(12 * sfreq) + chunk)
        ts[late] += 0.03                       # one chunk 30 ms late
        burst = np.arange(int(20 * sfreq), int(20.2 * sfreq))
        ts[burst] = np.maximum(ts[burst], ts[burst[-1]] - (burst[-1] - burst) / sfreq)
        ts[int(45.3 * sfreq)] = np.nan         # a sample without a time
        ts[int(58 * sfreq):] -= 30.0           # the source restarts on another clock
        keep = np.ones(n, dtype=bool)
        keep[int(33.1 * sfreq):int(33.1 * sfreq) + 25] = False    # 25 samples never come
        # Each window's first sample on the true clock, up to 0.3 sample off its marker.
        starts = np.round(np.arange(2.0, 68.0, 2.0) * rate) + rng.uniform(-0.3, 0.3, 33)
        after = starts >= 58 * sfreq            # sent once the source has restarted
        times = 100.0 + starts / rate - tmin - np.where(after, 30.0, 0.0)
        reports = []
        settings = DecoderSettings(sfreq=sfreq, channel_names=["a", "b"], tmin=tmin,
                                   tmax=tmax, calibration_trials=100)
        path = tmp_path / f"{sfreq:g}.sqlite"
        dec = OnlineDecoder(Session(path, resume=False), settings, report=reports.append,
                            record_raw=True)
        idx = np.flatnonzero(keep)
        names = np.array([f"trial#{i + 1}" for i in range(len(times))])
        dec.add_markers(names[~after], times[~after])
        for k in range(0, len(idx), 37):
            rows = idx[k:k + 37]
            if idx[k] <= 58 * sfreq < idx[k] + 37:
                dec.add_markers(names[after], times[after])
            dec.add_samples(data[rows], ts[rows])
            dec.process()
        dec.finish()
        # The raw recording is written, the sample without a time left out.
        assert export_raw(dec.session, tmp_path / f"{sfreq:g}.fif", sfreq=sfreq,
                          channel_names=["a", "b"], trial_seconds=tmax)
        rows = _rows(path)
        assert len(rows) == len(times)
        status = {}
        for r, start in zip(sorted(rows, key=lambda r: r["number"]), starts):
            first = round(start)
            span = (first, first + settings.n_samples)
            status[r["number"]] = r["status"]
            if r["status"] == "collected":
                w = np.frombuffer(r["epoch"], np.float64).reshape(2, -1)[0]
                np.testing.assert_array_equal(w, np.arange(*span), err_msg=str(r["number"]))
            elif r["status"] == "gap":   # only the trials over the missing or untimed samples
                assert any(span[0] <= int(x * sfreq) < span[1] for x in (33.1, 45.3))
            else:                        # over the restart
                assert r["status"] == "no_data" and span[1] > 58 * sfreq, r
        assert list(status.values()).count("collected") >= len(times) - 5, status
        text = "\n".join(reports)
        assert text.count("EEG gap") == 1 and "EEG gap: 25 sample(s)" in text, text
        assert "1 sample(s) without a valid timestamp" in text
        assert text.count("went back by 30.") == 1, text
        assert all(line.startswith(("EEG gap", "EEG:", "EEG timestamps", "trial #", "marker"))
                   for line in reports), text


def test_bad_samples_and_markers_are_refused_and_the_session_goes_on(tmp_path, synthetic):
    """Windows with NaN, infinite or beyond-float32 samples, or flat, are reported and
    neither decided nor learnt from (in calibration too: the session fits, and resumes);
    markers that are not UTF-8, trial numbers beyond the bound and the reserved label are
    refused; a trial keeps the first label that comes for it, whatever the timing; the
    summary's missed trials cost nothing for a huge number; a session in which no window
    could be used says so."""
    from kovani_bci.live.online import summarize

    on = {int(text.split("#")[1]): off for off, text in synthetic.markers
          if text.startswith("trial")}
    k = {n: int(round(off * SFREQ)) for n, off in on.items()}
    session = copy.copy(synthetic)
    session.data = synthetic.data.copy()
    session.data[k[2] + 5, 1] = np.nan                 # calibration
    session.data[k[4] + 9, 0] = 1e39                   # calibration, beyond float32
    session.data[k[12] + 3, 2] = np.inf                # online
    session.data[k[14]:k[14] + 128] = 0.25             # online, flat
    wrong = str(next(c for c in set(synthetic.y) if c != synthetic.y[14]))
    other = str(next(c for c in set(synthetic.y) if c != synthetic.y[2]))
    markers = sorted(synthetic.markers + [
        (on[3] + 0.1, b"trial:left\xff#31"), (on[3] + 0.2, "trial#99999999999999999999"),
        (on[5] + 0.1, "label:abstain#5"), (on[5] + 0.2, "trial:abstain"),
        (on[3] + 0.3, f"label:{other}#3"),              # within calibration trial 3's window
        (on[15] + 0.3, f"label:{wrong}#15"),            # within online trial 15's window
        (on[30] + 0.1, "trial#30000000")], key=lambda m: m[0])
    path = tmp_path / "s.sqlite"
    reports = []
    feed(_decoder(path, session, reports=reports), session, markers=markers)
    rows = {r["number"]: r for r in check_session(path)}
    text = "\n".join(reports)
    assert [rows[n]["status"] for n in (2, 4, 12, 14)] == ["bad", "bad", "bad", "flat"]
    assert all(rows[n]["learn_step"] is None and rows[n]["decision"] is None
               for n in (2, 4, 12, 14))
    assert rows[3]["label"] == synthetic.y[2] and rows[15]["label"] == wrong
    assert f"label {other!r} for trial #3 ignored: the trial's marker" in text
    assert f"label:{synthetic.y[14]}#15' ignored: trial #15 already has the label" in text
    assert "'trial:left\\\\xff#31' at LSL time" in text and "not valid UTF-8" in text
    assert text.count("trial numbers run to 1000000000") == 1
    assert text.count("reserved for the decoder's abstentions") == 2
    assert sorted(rows) == list(range(1, 31)) + [30000000]
    summary = summarize(Session(path, resume=True))
    assert summary["missed"] == 30000000 - 31 and summary["missed_ranges"] == [(31, 29999999)]
    assert summary["failure"] is None and summary["bad"] == 3 and summary["flat"] == 1
    _decoder(path, session, resume=True)                # resumes: the fit left them out
    # Nothing usable at all: the summary says why.
    flat = copy.copy(synthetic)
    flat.data = np.zeros_like(synthetic.data)
    feed(_decoder(tmp_path / "flat.sqlite", flat), flat)
    assert summarize(Session(tmp_path / "flat.sqlite", resume=True))["failure"] == \
        "no trial could be decoded: every window was flat"
def test_resumes_at_random_instants_follow_the_stimulus_programs_phase(tmp_path):
    """Killed at random instants (one kill spans the 'online' marker) and resumed each time
    after trials went by unseen: every trial after calibration that a decoder saw whole is
    decided, and the session still equals its offline replay."""
    synthetic = synthetic_session(n_blocks=4, trials_per_block=10, seed=3)
    onset = {int(text.split("#")[1]): off for off, text in synthetic.markers if "trial" in text}
    rng = np.random.default_rng(7)
    # (kill, resume) instants in seconds: the first kill in calibration, resumed online.
    kills = [(onset[6] + rng.uniform(0, 1.5), onset[13] - 0.3)]
    for n in (17, 24, 31):
        kill = onset[n] + rng.uniform(0, 1.5)
        kills.append((kill, kill + rng.uniform(0.5, 4.0)))
    spans = [(0.0, kills[0][0])] + [(kills[i][1], kills[i + 1][0]) for i in range(3)]
    spans.append((kills[-1][1], np.inf))
    path = tmp_path / "s.sqlite"
    times = np.arange(len(synthetic.data)) / SFREQ
    reports = []
    for i, (start, stop) in enumerate(spans):
        dec = _decoder(path, synthetic, resume=i > 0, reports=reports)
        feed(dec, synthetic, markers=[m for m in synthetic.markers if start <= m[0] < stop],
             keep=(times >= start) & (times < stop), finish=stop == np.inf)
        dec.session.close()          # killed: nothing more is written
    rows = {r["number"]: r for r in check_session(path)}
    seen = [n for n, t in onset.items() if n > 10 and any(
        a <= t and t + 1.0 < b for a, b in spans)]
    assert len(seen) >= 15
    assert [n for n in seen if rows[n]["status"] != "decided"] == []
    assert any("the 'online' marker was missed; the session goes online" in line
               for line in reports)


def test_max_classes_bounds_the_classes_a_session_learns(tmp_path, synthetic):
    reports = []
    path = tmp_path / "s.sqlite"
    feed(_decoder(path, synthetic, reports=reports, max_classes=2), synthetic)
    rows = check_session(path)
    late = set(synthetic.y) - set(synthetic.y[:10])         # the class of block 2
    refused = [r for r in rows if r["label"] in late]
    assert refused and all(r["learn_step"] is None for r in refused)
    assert all(set(json.loads(r["proba"])) == set(synthetic.y[:10]) for r in rows
               if r["status"] == "decided")
    assert sum("recorded, not learnt: the session has its maximum of 2 classes" in line
               for line in reports) == len(refused)


def test_session_files_in_use_or_not_ours_are_refused_before_anything_is_written(
        tmp_path, synthetic):
    import shutil
    import sqlite3

    from kovani_bci.live.session import SessionError

    path = tmp_path / "s.sqlite"
    dec = _decoder(path, synthetic)
    onset = {int(text.split("#")[1]): off for off, text in synthetic.markers if "trial" in text}
    part = copy.copy(synthetic)
    part.data = synthetic.data[:int((onset[14] + 1.5) * SFREQ)]
    feed(dec, part, markers=[m for m in synthetic.markers if m[0] < onset[14] + 1.5],
         finish=False)
    with pytest.raises(SessionError, match="another decoder has this session open"):
        Session(path, resume=True)
    dec.session.close()
    renamed = lambda: [*synthetic.channel_names[:-1], "X8"]    # noqa: E731
    for names, message in ((renamed(), "channels differ: missing 'C8'; new 'X8'"),
                           (synthetic.channel_names[:4], "4 channels, the session's 8")):
        with pytest.raises(ValueError, match=message):
            OnlineDecoder(Session(path, resume=True),
                          DecoderSettings(sfreq=SFREQ, channel_names=names, **SETTINGS))

    def variant(name, sql=None, content=None):
        target = tmp_path / name
        if content is not None:
            target.write_bytes(content)
            return target
        shutil.copyfile(path, target)
        with sqlite3.connect(target) as db:
            db.execute(*sql)
        db.close()
        return target

    reference = json.loads(Session(path, resume=True, read_only=True).meta("reference"))
    late = max(r["seq"] for r in _rows(path) if r["learn_step"] is not None)
    foreign = tmp_path / "foreign.sqlite"
    with sqlite3.connect(foreign) as db:
        db.execute("CREATE TABLE notes (x TEXT)")
    db.close()
    for target, message in [
            (variant("empty.sqlite", content=b""), "an empty file, not an online session"),
            (variant("text.sqlite", content=b"not a database\n" * 10), "not an SQLite"),
            (foreign, "no table 'meta'"),
            (variant("json.sqlite", ("UPDATE meta SET value = '{x' WHERE key = 'settings'",)),
             "'settings' is not valid JSON"),
            (variant("model.sqlite", ("UPDATE model SET bytes = x'00'",)),
             "its classifier cannot be read"),
            (variant("epoch.sqlite", ("UPDATE trials SET epoch = x'0011' WHERE seq = ?",
                                      (reference[0],))),
             f"the window of trial {reference[0]} .* is damaged")]:
        before = target.read_bytes()
        with pytest.raises(SessionError, match=f"^{target}: .*{message}"):
            _decoder(target, synthetic, resume=True)
        assert target.read_bytes() == before and not os.path.exists(f"{target}-wal")
    # A damaged blob of a trial that resume does not need is no obstacle.
    damaged = variant("old.sqlite", ("UPDATE trials SET features = x'00', epoch = NULL "
                                     "WHERE seq = ?", (late,)))
    assert _decoder(damaged, synthetic, resume=True).clf is not None


def test_a_resume_takes_a_corrected_starting_model(tmp_path, synthetic):
    from kovani_bci.estimator import KovaniSoftmaxClassifier

    X = np.random.default_rng(0).standard_normal((6, 16))
    model, wrong = tmp_path / "m.npz", tmp_path / "wrong.npz"
    KovaniSoftmaxClassifier(num_steps=1).fit(X, ["left_hand", "right_hand"] * 3).save(model)
    KovaniSoftmaxClassifier(num_steps=1).fit(X[:, :3], [0, 1] * 3).save(wrong)
    path = tmp_path / "s.sqlite"
    with pytest.raises(ValueError, match="takes 3 features; log-variance features of 8 "
                                         "channels are 16"):
        _decoder(path, synthetic, start_model=str(wrong))
    path.unlink()
    dec = _decoder(path, synthetic, start_model=str(model), calibration_trials=4)
    part = copy.copy(synthetic)
    part.data = synthetic.data[:int(2.5 * SFREQ)]         # two trials, no fit yet
    feed(dec, part, finish=False)
    dec.session.close()
    moved = tmp_path / "moved.npz"
    model.rename(moved)
    with pytest.raises(ValueError, match="--model: no such file"):
        _decoder(path, synthetic, resume=True)
    back = _decoder(path, synthetic, resume=True, start_model=str(moved))
    assert back.settings.start_model == str(moved) and back.clf is None
    times = np.arange(len(synthetic.data)) / SFREQ
    feed(back, synthetic, markers=[m for m in synthetic.markers if 2.5 <= m[0] < 10.0],
         keep=(times >= 2.5) & (times < 10.0))
    assert back.clf is not None and Session(path, resume=True, read_only=True).meta_json(
        "settings")["start_model"] == str(moved)
