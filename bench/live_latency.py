"""Latency of the online decoder on live LSL streams, end to end.

    python -m bench.live_latency [--minutes 30] [--speed 10] [--realtime-minutes 3]
                                 [--features log-variance tangent-space] [--out out]
                                 [--amplifier-minutes 3] [--figure docs/online.png] [--quick]

A simulated session of 22 channels at 250 Hz (a 2 s trial every 4 s) is replayed by
``kovani-bci replay``'s publisher in a separate process, and decoded by
:func:`kovani_bci.live.online.run_online` in this one, with the log-variance features (44)
and the tangent-space features (253), learning from every trial's label as it arrives (the
classifier compiled for up to 3 classes before the streams connect, as ``kovani-bci online``
does): one
session of ``--minutes`` replayed ``--speed`` times faster than real time (the timestamps
keep their nominal spacing), one of ``--realtime-minutes`` at real time. Per session:
decision latency (the local time of the push minus the local time at which the sample that
completed the trial's window was received) p50, p99 and max over the decided trials; trials
lost (not recorded, or recorded without a decision for a gap or missing data); CPU seconds
of the decoder process and of the publisher per second of EEG. A last row (``--amplifier-minutes``,
real time) decodes the tests' amplifier-like source instead of a replay: 8 channels, 500 Hz
announced and 501 Hz sent, chunks of 10 stamped by liblsl at push time, each push up to 0.8
sample late (a 2 s trial every 2.5 s, its first second decoded).

Every LSL stream stays on this machine (the loopback-only configuration; run it inside
``unshare -n`` where the machine allows). Writes ``OUT/live_latency.json`` and the figure:
running accuracy of the longest session (tangent-space where run) and the latency histograms.
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

SFREQ = 250.0
CHANNELS = 22
TRIAL_SECONDS, ITI = 2.0, 2.0
TRIALS_PER_BLOCK = 45
# The amplifier-like source: a clock 0.2% off the announced rate, push-time stamps, jitter.
AMP_CHANNELS, AMP_SFREQ, AMP_RATE, AMP_CHUNK, AMP_JITTER = 8, 500.0, 501.0, 10, 0.8 / 500
AMP_TRIAL_SECONDS, AMP_ITI, AMP_WINDOW = 2.0, 0.5, 1.0
_WINDOW = 20                       # trials in the running-accuracy window



def _recorded(path, expected):
    """The session's trials, those decided, their latencies (ms) and how many were lost."""
    from kovani_bci.live.session import Session

    session = Session(path, resume=True)
    try:
        rows = session.trials(("status", "label", "decision", "latency", "number"))
    finally:
        session.close()
    decided = [r for r in rows if r["status"] == "decided"]
    latency = np.array([r["latency"] for r in decided]) * 1e3
    lost = expected - sum(r["status"] in ("decided", "collected") for r in rows)
    return rows, decided, latency, lost

def _publisher(features, seed, n_blocks, trials_per_block, speed, name):
    """Run in the child process: replay the simulated session once a decoder connects."""
    import signal
    import threading

    from kovani_bci.live.lsl import use_loopback_config

    use_loopback_config()
    from kovani_bci.live.replay import replay, simulated_raw

    raw = simulated_raw(seed=seed, n_blocks=n_blocks, trials_per_block=trials_per_block,
                        features=features, n_channels=CHANNELS, sfreq=SFREQ, iti=ITI)
    # The streams stay open until the decoder is done with them (it sends SIGTERM then).
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    result = replay(raw, speed=speed, name=name, marker_name=f"{name}-markers", wait=300,
                    linger=600, stop=stop)
    print(json.dumps(dict(n_samples=result.n_samples, n_markers=result.n_markers,
                          seconds=raw.n_times / SFREQ, cpu=time.process_time())), flush=True)


def _amplifier_source(seed, n_blocks, trials_per_block, name, directory):
    """Start the tests' amplifier-like source in a process of its own: the simulated session
    of AMP_CHANNELS channels at AMP_SFREQ Hz announced, sent at AMP_RATE Hz in chunks of
    AMP_CHUNK stamped by liblsl at push time, in real time, each push up to AMP_JITTER s late.
    Returns the process and the EEG's length in seconds."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(
        __file__))), "tests"))
    import amplifier

    from kovani_bci.live.replay import annotation_samples, simulated_raw

    raw = simulated_raw(seed=seed, n_blocks=n_blocks, trials_per_block=trials_per_block,
                        n_channels=AMP_CHANNELS, sfreq=AMP_SFREQ, iti=AMP_ITI)
    samples, texts, _ = annotation_samples(raw)
    child = amplifier.spawn(os.path.join(directory, f"{name}.npz"), raw.get_data().T,
                            [(int(k), str(t)) for k, t in zip(samples, texts)],
                            sfreq=AMP_SFREQ, rate=AMP_RATE, chunk=AMP_CHUNK,
                            jitter=AMP_JITTER, name=name, wait=300)
    return child, raw.n_times / AMP_RATE


def run_amplifier_session(minutes, directory, seed=0, quick=False):
    """Decode the amplifier-like source for about ``minutes``; return its measurements."""
    from kovani_bci.live.online import run_online

    trials = max(6, round(minutes * 60 / (AMP_TRIAL_SECONDS + AMP_ITI)))
    per_block = min(TRIALS_PER_BLOCK, max(3, trials // 4))
    n_blocks = max(2, round(trials / per_block))
    name = f"bench-amp-{os.getpid()}"
    child, eeg_seconds = _amplifier_source(seed, n_blocks, per_block, name, directory)
    path = os.path.join(directory, "amplifier.kovani")
    reports = []
    try:
        cpu0, wall0 = time.process_time(), time.perf_counter()
        summary = run_online(path, eeg_name=f"{name}-eeg", markers_name=f"{name}-markers",
                             timeout=60, tmin=0.0, tmax=AMP_WINDOW,
                             calibration_trials=per_block, block_trials=per_block, seed=seed,
                             warm_classes=3, report=reports.append)
        cpu, wall = time.process_time() - cpu0, time.perf_counter() - wall0
    finally:
        child.terminate()
        child.wait(30)
    expected = n_blocks * per_block
    rows, decided, latency, lost = _recorded(path, expected)
    q = np.percentile(latency, [50, 99]) if len(latency) else [np.nan, np.nan]
    return dict(
        features=f"amplifier ({AMP_CHANNELS} ch, {AMP_SFREQ:g} Hz sent at {AMP_RATE:g})",
        speed=1.0, minutes=eeg_seconds / 60, trials=expected, decided=len(decided),
        online_trials=expected - per_block, lost=int(lost), gaps=summary["gaps"],
        missed=summary["missed"], p50_ms=float(q[0]), p99_ms=float(q[1]),
        max_ms=float(latency.max()) if len(latency) else np.nan, wall_s=wall,
        decoder_cpu_per_eeg_s=cpu / eeg_seconds, publisher_cpu_per_eeg_s=float("nan"),
        accuracy=[dict(block=int(b), accuracy=a, decided=n)
                  for b, (a, n, _) in summary["accuracy_by_block"].items()],
        latency_ms=latency.tolist(), correct=[r["decision"] == r["label"] for r in decided],
        reports=reports[:20])


def _session_shape(minutes, quick):
    """(blocks, trials per block) of a session about ``minutes`` long."""
    trials = max(6, round(minutes * 60 / (TRIAL_SECONDS + ITI)))
    per_block = min(TRIALS_PER_BLOCK, max(3, trials // 4)) if quick or trials < 180 \
        else TRIALS_PER_BLOCK
    return max(2, round(trials / per_block)), per_block


def run_session(features, minutes, speed, directory, seed=0, quick=False):
    """Replay and decode one session; return its measurements."""
    from kovani_bci.live.online import run_online

    n_blocks, per_block = _session_shape(minutes, quick)
    name = f"bench-{features}-{speed:g}x-{os.getpid()}"
    child = subprocess.Popen(
        [sys.executable, "-c", "import sys; from bench.live_latency import _publisher; "
         "_publisher(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), "
         "float(sys.argv[5]), sys.argv[6])",
         features, str(seed), str(n_blocks), str(per_block), str(speed), name],
        stdout=subprocess.PIPE, text=True, env=dict(os.environ),
        cwd=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    path = os.path.join(directory, f"{features}-{speed:g}x.kovani")
    reports = []
    try:
        cpu0, wall0 = time.process_time(), time.perf_counter()
        summary = run_online(path, eeg_name=name, markers_name=f"{name}-markers", timeout=60,
                             features=features, tmin=0.0, tmax=TRIAL_SECONDS,
                             calibration_trials=per_block, block_trials=per_block, seed=seed,
                             warm_classes=3, report=reports.append)
        cpu, wall = time.process_time() - cpu0, time.perf_counter() - wall0
        child.terminate()
        out, _ = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    published = json.loads(out.strip().splitlines()[-1])
    expected = n_blocks * per_block
    rows, decided, latency, lost = _recorded(path, expected)
    eeg_seconds = published["seconds"]
    return dict(
        features=features, speed=speed, minutes=eeg_seconds / 60, trials=expected,
        decided=len(decided), lost=int(lost), gaps=summary["gaps"], missed=summary["missed"],
        p50_ms=float(np.percentile(latency, 50)), p99_ms=float(np.percentile(latency, 99)),
        max_ms=float(latency.max()), wall_s=wall,
        decoder_cpu_per_eeg_s=cpu / eeg_seconds,
        publisher_cpu_per_eeg_s=published["cpu"] / eeg_seconds,
        accuracy=[dict(block=int(b), accuracy=a, decided=n)
                  for b, (a, n, _) in summary["accuracy_by_block"].items()],
        latency_ms=latency.tolist(),
        correct=[r["decision"] == r["label"] for r in decided],
        reports=reports[:20])


def write_figure(results, path):
    """Running accuracy of one session and the latency histograms of all."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # Accuracy does not depend on the speed; the longest session shows it best.
    shown = max(results, key=lambda r: (r["trials"], r["features"] == "tangent-space",
                                        r["features"] == "log-variance"))
    fig, (ax, bx) = plt.subplots(1, 2, figsize=(13, 4.6))
    fig.suptitle("kovani-bci online: a simulated session replayed on LSL and decoded live "
                 f"({CHANNELS} channels at {SFREQ:g} Hz)")
    correct = np.asarray(shown["correct"], dtype=float)
    c = np.cumsum(np.insert(correct, 0, 0.0))
    n = np.arange(1, len(correct) + 1)
    lo = np.maximum(n - _WINDOW, 0)
    ax.plot(n, (c[n] - c[lo]) / (n - lo), label=f"last {_WINDOW} trials")
    ax.plot(n, c[n] / n, linestyle="--", label="since the online phase began")
    ax.set(title=f"Running accuracy ({shown['features']}, {shown['speed']:g}x real time)",
           xlabel="decided trial", ylabel="accuracy", ylim=(0, 1.02))
    ax.legend(loc="lower right", fontsize=8)
    every = np.concatenate([r["latency_ms"] for r in results])
    bins = np.geomspace(max(every.min() * 0.8, 1e-2), every.max() * 1.2, 40)
    for r in results:
        bx.hist(r["latency_ms"], bins=bins, alpha=0.5,
                label=f"{r['features']}, {r['speed']:g}x (p50 {r['p50_ms']:.2f}, "
                      f"p99 {r['p99_ms']:.2f} ms)")
    bx.set_xscale("log")
    bx.set(title="Window complete -> decision pushed", xlabel="milliseconds (log scale)",
           ylabel="trials")
    bx.legend(fontsize=8)
    fig.tight_layout()
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    fig.savefig(path, dpi=100)
    plt.close(fig)


def _table(results):
    lines = ["| features | session | speed | trials | decided | lost | p50 (ms) | p99 (ms) | "
             "max (ms) | decoder CPU s / EEG s | replay CPU s / EEG s |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    for r in results:
        lines.append(f"| {r['features']} | {r['minutes']:.1f} min | {r['speed']:g}x | "
                     f"{r['trials']} | {r['decided']} | {r['lost']} | {r['p50_ms']:.2f} | "
                     f"{r['p99_ms']:.2f} | {r['max_ms']:.2f} | "
                     f"{r['decoder_cpu_per_eeg_s']:.3f} | {r['publisher_cpu_per_eeg_s']:.3f} |")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m bench.live_latency",
                                     description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=30.0,
                        help="length of the fast session (30)")
    parser.add_argument("--speed", type=float, default=10.0, help="its replay speed (10)")
    parser.add_argument("--realtime-minutes", type=float, default=3.0,
                        help="length of the real-time session (3; 0 to skip)")
    parser.add_argument("--features", nargs="+", default=["log-variance", "tangent-space"],
                        choices=["log-variance", "tangent-space"])
    parser.add_argument("--out", default="out", help="directory of live_latency.json (out)")
    parser.add_argument("--figure", default=os.path.join("out", "online.png"),
                        help="the figure's path (out/online.png); 'none' to skip")
    parser.add_argument("--amplifier-minutes", type=float, default=3.0,
                        help="length of the amplifier-like source's session, real time "
                             "(3; 0 to skip)")
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: 2 minutes at 20x, 1 minute at real time")
    args = parser.parse_args(argv)
    if args.quick:
        args.minutes, args.speed, args.realtime_minutes = 2.0, 20.0, 1.0
        args.amplifier_minutes = min(args.amplifier_minutes, 1.0)

    from kovani_bci.live.lsl import use_loopback_config

    use_loopback_config()           # before liblsl loads; the publisher inherits it
    runs = [(args.minutes, args.speed)]
    if args.realtime_minutes > 0:
        runs.append((args.realtime_minutes, 1.0))
    results = []
    with tempfile.TemporaryDirectory(prefix="kovani-live-bench-") as directory:
        for features in args.features:
            for minutes, speed in runs:
                print(f"{features}: {minutes:g} minutes at {speed:g}x ...", file=sys.stderr,
                      flush=True)
                results.append(run_session(features, minutes, speed, directory,
                                           quick=args.quick))
        if args.amplifier_minutes > 0:
            print(f"amplifier-like source: {args.amplifier_minutes:g} minutes at real time ...",
                  file=sys.stderr, flush=True)
            results.append(run_amplifier_session(args.amplifier_minutes, directory,
                                                 quick=args.quick))
    load = os.getloadavg()
    print(_table(results))
    print(f"\n({os.cpu_count()} CPUs; load average {load[0]:.1f} / {load[1]:.1f} / "
          f"{load[2]:.1f} at the end; goals: p50 <= 5 ms, p99 <= 20 ms, no trial lost)")
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "live_latency.json"), "w", encoding="utf-8") as f:
        json.dump(dict(results=results, cpus=os.cpu_count(), load_average=load), f, indent=1)
    if args.figure.lower() != "none":
        write_figure(results, args.figure)
        print(f"Figure: {args.figure}", file=sys.stderr)
    return 0 if all(r["lost"] == 0 for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
