"""The monitor page in headless Chromium, following a session that a live decoder writes."""

import os
import subprocess
import sys
import time
import urllib.request

import pytest

from browser import NAMES, Chromium, drawn, find_chromium
from kovani_bci.live.lsl import liblsl_unavailable

_why = liblsl_unavailable()
pytestmark = [
    pytest.mark.skipif(find_chromium() is None,
                       reason="no browser for the monitor's page tests: none of "
                              f"{', '.join(NAMES)} is installed (apt-get install chromium)"),
    pytest.mark.skipif(_why is not None, reason=f"LSL unavailable: {_why}"),
    pytest.mark.timeout(240)]

pytest.importorskip("plotly")

from kovani_bci.cli import main  # noqa: E402
from live_streams import Pusher, synthetic_session, trial_rows  # noqa: E402

SRC = os.path.dirname(os.path.dirname(os.path.abspath(__import__("kovani_bci").__file__)))
CHARTS = ("accuracy", "latency", "proba", "confusion", "reliability")


def _free_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_page_follows_a_live_session(tmp_path):
    """`online --monitor` on a replayed session: the page's trial count follows the file,
    its accuracy is the trials', and the charts are drawn; the session's report opens
    from its file."""
    synthetic = synthetic_session(n_blocks=3, trials_per_block=10, seed=2)
    port, path = _free_port(), tmp_path / "s.sqlite"
    url = f"http://127.0.0.1:{port}/"
    pusher = Pusher(synthetic, name="kovani-monitor", speed=3.0)
    online = subprocess.Popen(
        [sys.executable, "-m", "kovani_bci.cli", "online", "--session", str(path),
         "--eeg", "kovani-monitor-eeg", "--markers", "kovani-monitor-markers",
         "--decisions", "kovani-monitor-dec", "--warm-classes", "0", "--stall-timeout", "5",
         "--tmax", "1", "--calibration-trials", "10", "--block-trials", "10",
         "--reject-below", "0.55", "--monitor", str(port)],
        env=dict(os.environ, PYTHONPATH=SRC), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        text=True)
    pusher.start()
    browser = Chromium(width=1400, height=1700)
    try:
        deadline = time.monotonic() + 120
        while online.poll() is None and time.monotonic() < deadline:
            try:
                urllib.request.urlopen(url, timeout=2).read()
                break
            except OSError:
                time.sleep(0.1)
        browser.goto(url)
        while online.poll() is None and time.monotonic() < deadline:
            time.sleep(0.1)
        out, err = online.communicate(timeout=30)
        page = browser.evaluate(
            "({renders: window.kovaniRenders,"
            "  trials: document.getElementById('n-trials').textContent,"
            "  accuracy: document.getElementById('accuracy').textContent,"
            f"  charts: {list(CHARTS)}.map(name => {{"
            "    const e = document.getElementById('fig-' + name), r = e.getBoundingClientRect();"
            "    return [name, [r.x, r.y, r.width, r.height], e.querySelectorAll("
            "      '.trace, .hm, image').length, e.data.length]; })})")
        png = browser.screenshot()
        # The report of the finished session, opened from its file with no server.
        assert main(["report", str(path), "-o", str(tmp_path / "r.html")]) == 0
        browser.goto((tmp_path / "r.html").as_uri())
        while not browser.evaluate("window.kovaniRenders && window.kovaniRenders.length"):
            time.sleep(0.1)
        report = browser.evaluate("[document.getElementById('n-trials').textContent, "
                                  "document.querySelectorAll('.main-svg .trace').length]")
    finally:
        browser.close()
        pusher.stop_event.set()
        if online.poll() is None:
            online.kill()
    assert online.returncode == 0, err
    assert f"The session's monitor page: {url}" in out and f"Monitoring {path} at {url}" in out
    rows = trial_rows(path)
    # Followed: the page drew the counts as the file grew, up to the last one. (How soon it
    # draws a trial is measured by bench/monitor.py.)
    shown = [n for _, n in page["renders"]]
    assert len(set(shown)) >= 5 and shown == sorted(shown), shown
    answered = [r for r in rows if r["status"] == "decided" and r["label"] is not None
                and r["decision"] != "abstain"]
    assert page["trials"] == str(len(rows)) == str(shown[-1])
    accuracy = sum(r["decision"] == r["label"] for r in answered) / len(answered)
    assert page["accuracy"] == f"{accuracy:.3f}"
    assert report[0] == str(len(rows)) and report[1] >= len(CHARTS)
    # Drawn: each chart's SVG has traces with data, and its pixels are far from blank.
    for name, rect, traces, n_data in page["charts"]:
        share, colours = drawn(png, rect)
        assert traces > 0 and n_data > 0 and share > 0.1 and colours > 50, (name, share,
                                                                           colours)
