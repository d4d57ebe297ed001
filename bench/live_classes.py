"""Decision latency of the online decoder while a session adds classes.

    python -m bench.live_classes [--new-classes 10] [--speed 1] [--quick]

A session of 8 channels at 128 Hz (log-variance, a 1 s window every 1.5 s): 10 calibration
trials of two classes, then online trials among which ``--new-classes`` labels appear one by
one (each on two trials), the rest of the trials drawn from the classes known. The EEG and
markers are handed to an :class:`~kovani_bci.live.decoder.OnlineDecoder` paced at
``--speed`` times real time from the ``online`` marker on (the calibration goes as fast as
it can, and the compiling it starts is let finish); each chunk counts as received when it is
due, so time the
decoder spends elsewhere (compiling for a new class) shows in the latency of the trials
that wait for it. Two runs, each in a fresh process (nothing compiled, no compilation
cache): the larger model's functions compiled in the background (the decoder's default),
and compiled inline after each new class (``background_warm=False``, the earlier
behaviour). Prints decision latency p50, p99 and max, and the trials over 20 ms.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

SFREQ, CHANNELS, WINDOW, ITI = 128.0, 8, 1.0, 0.5


def _session(n_new, seed=0):
    """(data (n, channels), markers [(seconds, text)]) of the session."""
    rng = np.random.default_rng(seed)
    labels = ["c0", "c1"] * 5
    known = ["c0", "c1"]
    online = []
    for k in range(n_new):
        online += [f"c{k + 2}", known[rng.integers(len(known))], f"c{k + 2}"]
        known.append(f"c{k + 2}")
    online += [known[i] for i in rng.integers(len(known), size=6)]
    period = WINDOW + ITI
    n = int((1.0 + period * (len(labels) + len(online)) + 2.0) * SFREQ)
    data = rng.standard_normal((n, CHANNELS))
    markers = [(0.1, "calibration")]
    for i, label in enumerate(labels + online):
        onset, number = 1.0 + i * period, i + 1
        gain = 1.0 + (int(label[1:]) % CHANNELS == np.arange(CHANNELS))
        k = int(onset * SFREQ)
        data[k:k + int(WINDOW * SFREQ)] *= gain
        if i < len(labels):
            markers.append((onset, f"trial:{label}#{number}"))
            continue
        if i == len(labels):
            markers.append((onset - 0.2, "online"))
        markers.append((onset, f"trial#{number}"))
        markers.append((onset + WINDOW + 0.2, f"label:{label}#{number}"))
    markers.append((n / SFREQ - 0.5, "end"))
    return data, sorted(markers)


def run(n_new, speed, background):
    """In this process: decode the paced session; return the latencies (ms) and reports."""
    from kovani_bci.live.decoder import DecoderSettings, OnlineDecoder
    from kovani_bci.live.session import Session

    data, markers = _session(n_new)
    reports = []
    with tempfile.TemporaryDirectory() as d:
        settings = DecoderSettings(sfreq=SFREQ, channel_names=[f"C{i}" for i in range(CHANNELS)],
                                   tmax=WINDOW, calibration_trials=10, max_classes=2 + n_new)
        dec = OnlineDecoder(Session(os.path.join(d, "s.sqlite"), resume=False), settings,
                            report=reports.append, background_warm=background, warm_classes=3)
        chunk, m = 8, 0
        online = int(next(o for o, t in markers if t == "online") * SFREQ)
        start = None
        for a in range(0, len(data), chunk):
            b = min(a + chunk, len(data))
            if a >= online and start is None:
                # Calibration as fast as it goes; its fit (and the compiling it starts) done,
                # the online part runs paced.
                if dec._warmer is not None:
                    dec._warmer.join()
                start = time.perf_counter() - a / SFREQ / speed
            due = time.perf_counter() if start is None else start + (b - 1) / SFREQ / speed
            time.sleep(max(0.0, due - time.perf_counter()))
            ts = 100.0 + np.arange(a, b) / SFREQ
            new = []
            while m < len(markers) and 100.0 + markers[m][0] <= ts[-1]:
                new.append(markers[m])
                m += 1
            if new:
                dec.add_markers([t for _, t in new], [100.0 + o for o, _ in new], due)
            dec.add_samples(data[a:b], ts, due)
            dec.process()
            if dec.finished:
                break
        dec.finish()
        dec.close()
        latency = [x.latency * 1e3 for x in dec.decisions]
        classes = len(dec.clf.classes_)
        dec.session.close()
    return dict(latency_ms=latency, classes=classes, reports=reports[:10])


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m bench.live_classes")
    parser.add_argument("--new-classes", type=int, default=10)
    parser.add_argument("--speed", type=float, default=1.0)
    parser.add_argument("--quick", action="store_true", help="3 new classes, 4x real time")
    parser.add_argument("--child", choices=["background", "inline"], help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.quick:
        args.new_classes, args.speed = 3, 4.0
    if args.child:
        print(json.dumps(run(args.new_classes, args.speed, args.child == "background")))
        return
    env = {k: v for k, v in os.environ.items() if k != "KOVANI_BCI_COMPILATION_CACHE"}
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    print(f"| compiling for a new class | new classes | decided | p50 | p99 | max | over 20 ms |")
    print("|---|---|---|---|---|---|---|")
    for mode in ("background", "inline"):
        out = subprocess.run([sys.executable, "-m", "bench.live_classes", "--child", mode,
                              "--new-classes", str(args.new_classes), "--speed",
                              str(args.speed)], capture_output=True, text=True, env=env,
                             cwd=root, check=True).stdout
        r = json.loads(out.strip().splitlines()[-1])
        lat = np.array(r["latency_ms"])
        p50, p99 = np.percentile(lat, [50, 99])
        print(f"| {mode} | {r['classes'] - 2} | {len(lat)} | {p50:.1f} ms | {p99:.1f} ms | "
              f"{lat.max():.1f} ms | {int((lat > 20).sum())} |", flush=True)


if __name__ == "__main__":
    main()
