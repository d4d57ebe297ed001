"""`kovani-bci monitor` and `report`: the numbers of a recorded session, what the server
serves and refuses, and one-line errors. The page in a real browser: test_monitor_browser.py."""

import hashlib
import http.client
import io
import json
import re
import socket
import sqlite3
import threading

import numpy as np
import pytest

pytest.importorskip("plotly")

from kovani_bci.cli import main  # noqa: E402
from kovani_bci.live.monitor import Monitor, make_server  # noqa: E402
from kovani_bci.live.session import Session  # noqa: E402


def _state_of(report_path):
    text = open(report_path, encoding="utf-8").read()
    return json.loads(re.search(r"const STATE = (.*);\nrender\(STATE\);", text).group(1)), text


def _digest(path):
    return hashlib.sha256(open(path, "rb").read()).hexdigest()


def test_report_holds_the_numbers_online_printed(tmp_path):
    """A simulated session decoded over LSL: the report's numbers are the printed summary's,
    and its accuracy, confusion matrix and reliability bins are those of the trials."""
    from kovani_bci.live.lsl import liblsl_unavailable

    if liblsl_unavailable():
        pytest.skip(f"LSL unavailable: {liblsl_unavailable()}")
    path = tmp_path / "s.sqlite"
    out = io.StringIO()
    assert main(["online", "--simulate", "--session", str(path), "--blocks", "3",
                 "--trials-per-block", "10", "--speed", "20", "--tmax", "1",
                 "--reject-below", "0.55", "--warm-classes", "0"], out=out) == 0
    printed = out.getvalue()
    assert f"Follow the session in a browser: kovani-bci monitor {path}" in printed
    before = _digest(path)
    assert main(["report", str(path), "-o", str(tmp_path / "r.html")], out=io.StringIO()) == 0
    assert _digest(path) == before
    state, text = _state_of(tmp_path / "r.html")
    # Self-contained: no script, style or image fetched from anywhere.
    assert not re.search(r"<(script|link|img)[^>]+(src|href)=", text)
    n = state["summary"]
    trials = re.search(r"trials: (\d+) recorded \((\d+) calibration, (\d+) decided, (\d+) of "
                       r"them abstained; (\d+) not decoded for a gap in the EEG, (\d+) without "
                       r"EEG\); (\d+) missed", printed).groups()
    assert list(map(int, trials)) == [n[k] for k in ("trials", "collected", "decided",
                                                     "abstained", "gaps", "no_data", "missed")]
    blocks = re.findall(r"block (\d+): ([\d.]+|nan) on (\d+) trial\(s\), (\d+) abstained", printed)
    assert blocks == [(str(b["block"]), "nan" if b["accuracy"] is None else f"{b['accuracy']:.3f}",
                       str(b["decided"]), str(b["abstained"])) for b in n["blocks"]]
    p50, p99 = re.search(r"p50 ([\d.]+) ms, p99 ([\d.]+) ms", printed).groups()
    assert (p50, p99) == (f"{n['latency_ms_p50']:.2f}", f"{n['latency_ms_p99']:.2f}")
    # The views, against the trials read with NumPy.
    db = sqlite3.connect(path)
    rows = db.execute("SELECT label, decision, top_label, proba FROM trials "
                      "WHERE status = 'decided' AND label IS NOT NULL").fetchall()
    label, decision, top = (np.array([r[i] for r in rows]) for i in range(3))
    proba = [json.loads(r[3]) for r in rows]
    answered = decision != "abstain"
    assert answered.sum() > 5 and (~answered).any()
    assert n["accuracy"] == pytest.approx(np.mean(decision[answered] == label[answered]))
    assert n["abstention_rate"] == pytest.approx(n["abstained"] / n["decided"])
    confusion = state["figures"]["confusion"]["data"][0]
    for i, t in enumerate(confusion["y"]):
        for j, d in enumerate(confusion["x"]):
            assert confusion["z"][i][j] == np.sum((label == t) & (decision == d))
    conf = np.array([max(p.values()) for p in proba])
    bins = np.clip(np.floor(conf * 10), 0, 9)
    expected = [(conf[bins == b].mean(), np.mean((top == label)[bins == b]), (bins == b).sum())
                for b in np.unique(bins)]
    curve = state["figures"]["reliability"]["data"][1]
    np.testing.assert_allclose(np.array([curve["x"], curve["y"], curve["customdata"]]).T,
                               expected)
    # Plotly accepts every figure as it is.
    import plotly.graph_objects as go

    for figure in state["figures"].values():
        go.Figure(figure)
    assert dict(state["classifier"])["reject below"] == "0.55"


def _fake_session(path):
    """A session with a few trials and reports, as a decoder writes them (no classifier)."""
    s = Session(path, resume=False)
    s.set_meta(settings=dict(sfreq=128.0, channel_names=["C1", "C2"], block_trials=2),
               phase="online")
    for seq, (label, decision, p) in enumerate([("a", "a", 0.9), ("b", "a", 0.6),
                                                ("b", "abstain", 0.5)], 1):
        with s.transaction():
            s.write_trial(dict(seq=seq, number=seq, marker=f"trial#{seq}", marker_time=seq,
                               phase="online", status="decided", label=label,
                               decision=decision, top_label="a",
                               proba={"a": p, "<b>": 1 - p}, received=100.0 + seq,
                               latency=0.002 * seq))
            s.report(100.0 + seq, f"marker '</script><b>x#{seq}' ignored")
    return s


def _get(url, path, host=None, method="GET"):
    conn = http.client.HTTPConnection(url.split("/")[2], timeout=10)
    conn.putrequest(method, path, skip_host=host is not None)
    if host is not None:
        conn.putheader("Host", host)
    conn.endheaders()
    r = conn.getresponse()
    return r.status, r.read()


def test_server_follows_the_file_and_serves_only_its_routes(tmp_path):
    writer = _fake_session(tmp_path / "s.sqlite")
    server = make_server(tmp_path / "s.sqlite", port=0)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    url = server.url
    try:
        assert url.startswith("http://127.0.0.1:")
        status, page = _get(url, "/")
        assert status == 200 and b'src="plotly.min.js"' in page
        assert _get(url, "/plotly.min.js")[0] == 200
        status, body = _get(url, "/state.json")
        state = json.loads(body)
        assert state["summary"]["trials"] == 3 and state["summary"]["accuracy"] == 0.5
        assert state["reports"][0]["text"] == "marker '</script><b>x#1' ignored"
        # Unchanged file: only the version; a new trial: a new version with it.
        assert json.loads(_get(url, f"/state.json?since={state['version']}&wait=0.2")[1]) == \
            {"version": state["version"]}
        with writer.transaction():
            writer.write_trial(dict(seq=4, number=4, marker="trial#4", marker_time=4,
                                    phase="online", status="gap"))
        later = json.loads(_get(url, f"/state.json?since={state['version']}&wait=20")[1])
        assert later["version"] > state["version"] and later["summary"]["gaps"] == 1
        # Nothing outside its routes, no other method, no other Host.
        for path in ("/../s.sqlite", "/%2e%2e/%2e%2e/etc/passwd", "//etc/passwd",
                     "/plotly.min.js/../../s.sqlite", "/s.sqlite", "/index.html"):
            assert _get(url, path)[0] == 404, path
        assert _get(url, "/", method="POST")[0] == 501
        port = url.split(":")[2].rstrip("/")
        assert _get(url, "/state.json", host=f"attacker.example:{port}")[0] == 403
        assert _get(url, "/", host=f"localhost:{port}")[0] == 200
    finally:
        server.shutdown()
        server.server_close()
        server.monitor.close()
    writer.close()
    db = sqlite3.connect(tmp_path / "s.sqlite")
    assert db.execute("PRAGMA journal_mode").fetchone()[0] == "wal"


def test_bad_files_and_ports_are_one_line(tmp_path, capsys):
    good = tmp_path / "good.sqlite"
    _fake_session(good).close()
    (tmp_path / "text.sqlite").write_text("not a database " * 100)
    sqlite3.connect(tmp_path / "other.sqlite").execute("CREATE TABLE t (x)")
    old = tmp_path / "old.sqlite"
    sqlite3.connect(old).executescript("CREATE TABLE meta (key, value); "
                                       "INSERT INTO meta VALUES ('format', 'old');")
    (tmp_path / "empty.sqlite").write_bytes(b"")
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen()
    port = str(busy.getsockname()[1])
    files = {p: _digest(p) for p in tmp_path.iterdir() if p.is_file()}
    cases = [
        (["monitor", str(tmp_path / "none.sqlite")], "none.sqlite: no such file"),
        (["monitor", str(tmp_path)], "a directory, not a session file"),
        (["monitor", str(tmp_path / "text.sqlite")], "not an SQLite database, not an online session"),
        (["report", str(tmp_path / "other.sqlite")], "not an online session of this version "
                                                      "(no table 'meta')"),
        (["report", str(tmp_path / "empty.sqlite")], "an empty file, not an online session"),
        (["monitor", str(old)], "not an online session of this version (no table"),
        (["monitor", str(good), "--port", port], f"port {port} on 127.0.0.1 is in use"),
        (["online", "--simulate", "--monitor", port], f"--monitor: port {port} on 127.0.0.1 "
                                                      "is in use"),
        (["report", str(good), "-o", str(good)], "the report would overwrite the session"),
        (["report", str(good), "-o", str(tmp_path / "no" / "r.html")], "cannot write"),
    ]
    try:
        for argv, message in cases:
            assert main(argv) == 1, argv
            err = capsys.readouterr().err
            assert err.count("\n") == 1 and message in err, (argv, err)
    finally:
        busy.close()
    assert {p: _digest(p) for p in files} == files
    # An empty session (no trial yet) is shown as it is.
    empty = tmp_path / "new.sqlite"
    Session(empty, resume=False).close()
    monitor = Monitor(empty)
    version, body = monitor.state()
    monitor.close()
    assert json.loads(body)["summary"]["trials"] == 0


def test_a_monitor_started_by_online_ends_with_it_even_when_it_is_killed(tmp_path):
    """``online --monitor`` cannot stop its monitor when it is killed with SIGKILL: the
    monitor ends by itself once the decoder's end of its standard input closes."""
    import os
    import signal
    import subprocess
    import sys
    import time

    Session(tmp_path / "s.sqlite", resume=False).close()
    parent = subprocess.Popen([sys.executable, "-c", (
        "import subprocess, sys, time\n"
        "p = subprocess.Popen([sys.executable, '-m', 'kovani_bci.cli', 'monitor', 's.sqlite',"
        " '--port', '0', '--until-stdin-closes'], stdin=subprocess.PIPE)\n"
        "print(p.pid, flush=True)\ntime.sleep(300)\n")], cwd=tmp_path, stdout=subprocess.PIPE,
        text=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    child = int(parent.stdout.readline())
    assert parent.stdout.readline().startswith("Monitoring s.sqlite at http://127.0.0.1:")
    os.kill(parent.pid, signal.SIGKILL)
    parent.wait()
    def running():      # an exited orphan may stay a zombie ("Z") until someone reaps it
        try:
            return open(f"/proc/{child}/stat").read().rsplit(")", 1)[1].split()[0] != "Z"
        except OSError:
            return False
    deadline = time.monotonic() + 60
    while running() and time.monotonic() < deadline:
        time.sleep(0.2)
    if running():
        os.kill(child, signal.SIGKILL)
        pytest.fail("the monitor outlived the process that started it")
