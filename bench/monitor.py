"""The decoder's latency with the monitor page open, and how soon the page shows a trial.

    python -m bench.monitor [--minutes 2] [--speed 10] [--features log-variance]
                            [--repeats 2] [--screenshot docs/monitor.png]

Sessions as in :mod:`bench.live_latency` (22 channels at 250 Hz, a 2 s trial every 4 s,
replayed by a separate process, decoded in this one), alternately without and with
``kovani-bci monitor`` serving the session to a headless Chromium page (the system's
package; the monitor in its own process, started once the session file is there). Per
session: decision latency p50 and p99 over the decided trials; with the page, the delay
from each trial's decision (its push time, on the decoder's clock, mapped to the wall
clock) to the page's first render that counts it, for the trials decided once the page
was showing. ``--screenshot`` writes the page at the
end of the last session with the page open.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

from bench.live_latency import TRIAL_SECONDS, _session_shape

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _free_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _cpu_seconds(root):
    """CPU seconds (user + system) of process ``root`` and its descendants, from /proc."""
    parent, cpu = {}, {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            parent[int(entry)] = int(fields[1])
            cpu[int(entry)] = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    tree = {root}
    for _ in range(10):
        tree |= {pid for pid, ppid in parent.items() if ppid in tree}
    return sum(cpu.get(pid, 0.0) for pid in tree)


def run(features, minutes, speed, directory, page, tag, screenshot=None):
    import pylsl

    from kovani_bci.live.online import run_online
    from kovani_bci.live.session import Session

    sys.path.insert(0, os.path.join(ROOT, "tests"))
    from browser import Chromium

    n_blocks, per_block = _session_shape(minutes, False)
    name = f"bench-monitor-{tag}-{os.getpid()}"
    publisher = subprocess.Popen(
        [sys.executable, "-c", "import sys; from bench.live_latency import _publisher; "
         "_publisher(sys.argv[1], 0, int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), "
         "sys.argv[5])", features, str(n_blocks), str(per_block), str(speed), name],
        stdout=subprocess.DEVNULL, cwd=ROOT)
    path = os.path.join(directory, f"{tag}.sqlite")
    port = _free_port()
    held = {}

    def open_page():        # the session file is there: the monitor, then the page
        held["monitor"] = subprocess.Popen(
            [sys.executable, "-m", "kovani_bci.cli", "monitor", path, "--port", str(port)],
            stdout=subprocess.DEVNULL, env=dict(os.environ, PYTHONPATH=os.path.join(ROOT, "src")))
        import urllib.request

        for _ in range(200):
            try:
                urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=1).read()
                break
            except OSError:
                time.sleep(0.05)
        held["browser"] = Chromium(width=1400, height=1700)
        held["browser"].goto(f"http://127.0.0.1:{port}/")

    def ready():            # in a thread: the decoder starts at once
        if page:
            held["thread"] = threading.Thread(target=open_page, daemon=True)
            held["thread"].start()

    offset = time.time() - pylsl.local_clock()
    try:
        run_online(path, eeg_name=name, markers_name=f"{name}-markers", timeout=60,
                   features=features, tmin=0.0, tmax=TRIAL_SECONDS, calibration_trials=per_block,
                   block_trials=per_block, warm_classes=3, ready=ready, report=lambda _: None)
        delays = []
        if page:
            held["thread"].join(60)
            time.sleep(1.0)
            renders = held["browser"].evaluate("window.kovaniRenders")
            cpu = dict(monitor=_cpu_seconds(held["monitor"].pid),
                       browser=_cpu_seconds(held["browser"].process.pid))
            if screenshot:
                with open(screenshot, "wb") as f:
                    f.write(held["browser"].screenshot())
    finally:
        publisher.terminate()
        publisher.wait(60)
        if "browser" in held:
            held["browser"].close()
        if "monitor" in held:
            held["monitor"].terminate()
            held["monitor"].wait(10)
    session = Session.read_only(path)
    rows = session.trials(("seq", "status", "latency", "pushed"))
    session.close()
    latency = np.array([r["latency"] for r in rows if r["status"] == "decided"]) * 1e3
    if page:
        opened = renders[0][0] / 1e3 if renders else np.inf
        for k, r in enumerate(rows, 1):
            if r["pushed"] is not None and r["pushed"] + offset > opened:
                shown = [t / 1e3 for t, n in renders if n >= k]
                delays.append((min(shown) if shown else np.inf) - (r["pushed"] + offset))
    return dict(page=page, decided=len(latency), p50=np.percentile(latency, 50),
                p99=np.percentile(latency, 99), max=latency.max(),
                delay_p50=np.percentile(delays, 50) if delays else np.nan,
                delay_max=max(delays) if delays else np.nan,
                cpu=cpu if page else None)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m bench.monitor",
                                     description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=2.0, help="session length (2)")
    parser.add_argument("--speed", type=float, default=10.0, help="replay speed (10)")
    parser.add_argument("--features", default="log-variance",
                        choices=["log-variance", "tangent-space"])
    parser.add_argument("--repeats", type=int, default=2,
                        help="sessions without and with the page, alternately (2 each)")
    parser.add_argument("--screenshot", default=None, help="write the page here (PNG)")
    args = parser.parse_args(argv)

    from kovani_bci.live.lsl import use_loopback_config

    use_loopback_config()
    results = []
    with tempfile.TemporaryDirectory(prefix="kovani-monitor-bench-") as directory:
        for i in range(args.repeats):
            for page in (False, True):
                last = page and i == args.repeats - 1
                results.append(run(args.features, args.minutes, args.speed, directory, page,
                                   f"{i}-{int(page)}", args.screenshot if last else None))
                r = results[-1]
                print(f"{'page open ' if page else 'no page   '} decided {r['decided']:4d}  "
                      f"latency p50 {r['p50']:.2f} ms  p99 {r['p99']:.2f} ms  max "
                      f"{r['max']:.2f} ms" + (f"  page shows a trial after p50 "
                                              f"{r['delay_p50']:.2f} s, max {r['delay_max']:.2f} s"
                                              if page else "")
                      + (f"  CPU s: monitor {r['cpu']['monitor']:.1f}, browser "
                         f"{r['cpu']['browser']:.1f}" if page else ""), flush=True)
    load = os.getloadavg()
    print(f"({os.cpu_count()} CPUs; load average {load[0]:.1f} / {load[1]:.1f} / {load[2]:.1f} "
          "at the end)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
