"""The accelerator check in one go: the test suite on the accelerator, then the benchmarks
there and on the CPU side by side, and where the accelerator starts to pay.

    python -m bench.device --out DIR [--skip-tests] [--only SCENARIO ...] [--features 16 253 2080]

Builds nothing: run it where the package is installed (or on PYTHONPATH) and JAX sees an
accelerator. Without one it says so and exits with status 2. It writes DIR/device.md (the
table) and DIR/device.json (every number), and takes some 5 to 8 minutes:

1. `pytest` over tests/ with every call on the accelerator (KOVANI_TEST_DEVICE; the same
   tolerances as on the CPU);
2. `python -m bench --quick` three times: the default placement (small calls on the CPU,
   large ones on the accelerator), everything on the accelerator (`--device`), and the CPU
   alone (JAX_PLATFORMS=cpu), as the columns of one table;
3. fits and updates of growing work (n d^2 (K-1) sweeps) on the CPU and on the accelerator
   in one process, alternating: where the accelerator starts to win, which is what
   kovani_bci.placement.ACCELERATOR_MIN_WORK should be.

GPU memory is allocated as needed (XLA_PYTHON_CLIENT_PREALLOCATE=false, unless set), so
that the runs and their subprocesses share the device.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from bench.common import ROOT, fit_args, fmt, timings, trials

# The scenarios of the accelerator's table: the live loop, the wide calls at 16 and 253
# features (--quick) beside their general path, and the large fit.
SCENARIOS = ("predict", "update_wide", "update_batch", "fit_wide", "predict_wide", "fit_large")

# (kind, n, d): K=4 (8 at d=128), 10 sweeps; work n (d+1)^2 (K-1) 10.
CROSSOVER = [("fit", 288, 16), ("fit", 288, 64), ("fit", 288, 253), ("fit", 2000, 64), ("fit", 2000, 253),
             ("fit", 288, 1000), ("fit", 20000, 128), ("update", 1, 253), ("update", 64, 253), ("update", 256, 253),
             ("update", 1, 1000), ("update", 512, 1000)]


def accelerator():
    """JAX's default device where it is not the CPU, else None."""
    import jax
    device = jax.devices()[0]
    return None if device.platform == "cpu" else device


def run(command, env, timeout):
    t0 = time.perf_counter()
    out = subprocess.run(command, cwd=str(ROOT), env={**os.environ, **env}, capture_output=True, text=True,
                         timeout=timeout)
    return out, time.perf_counter() - t0


# Test modules that need a package at import (the others skip or fail one by one).
NEEDS_AT_IMPORT = {"hypothesis": ["tests/test_fuzz.py", "tests/test_cli_probe.py"]}
OPTIONAL = ("hypothesis", "sklearn", "matplotlib", "tqdm", "pyriemann", "moabb", "distributed", "threadpoolctl")


def test_suite(platform, timeout):
    import importlib.util

    missing = [name for name in OPTIONAL if importlib.util.find_spec(name) is None]
    ignored = [f"--ignore={path}" for name in missing for path in NEEDS_AT_IMPORT.get(name, [])]
    out, seconds = run([sys.executable, "-m", "pytest", "-q", "-rfE", "-p", "no:cacheprovider", *ignored, "tests"],
                       {"KOVANI_TEST_DEVICE": platform}, timeout)
    tail = out.stdout.strip().splitlines()[-1] if out.stdout.strip() else out.stderr[-500:]
    failures = [line for line in out.stdout.splitlines() if line.startswith(("FAILED", "ERROR"))]
    return {"returncode": out.returncode, "seconds": seconds, "summary": tail, "failures": failures,
            "missing packages": missing, "not run": [arg.split("=", 1)[1] for arg in ignored]}


def bench_run(label, extra_args, env, only, timeout):
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "bench.json"
        command = [sys.executable, "-m", "bench", "--quick", "--json", str(path), *extra_args]
        if only:
            command += ["--only", *only]
        out, seconds = run(command, env, timeout)
        if out.returncode != 0:
            print(f"{label}: python -m bench failed:\n{out.stderr[-2000:]}", file=sys.stderr)
        results = json.loads(path.read_text()) if path.exists() else {}
    return {"seconds": seconds, "header": out.stdout.splitlines()[0] if out.stdout else "",
            "rows": {row["name"]: row for rows in results.values() for row in rows}}


def crossover(platform):
    """Fits and updates of growing work on the CPU and on the accelerator, alternating."""
    import jax

    from kovani_bci.models.kovani_softmax import learning
    cpu, other = jax.devices("cpu")[0], jax.devices(platform)[0]
    rows = []
    for kind, n, d in CROSSOVER:
        K, steps = (8, 10) if d == 128 else (4, 10)
        X, y = trials(max(n, 288), d, K)
        base = learning.kovani_softmax_fit(*fit_args(X, y, K, steps))
        Xb, yb = trials(n, d, K, seed=1)
        call = ((lambda: learning.kovani_softmax_fit(*fit_args(Xb, yb, K, steps))) if kind == "fit"
                else (lambda: learning.kovani_softmax_update(base, Xb, yb)))
        devices = {"cpu": cpu, "accelerator": other}
        once = {}
        for role, device in devices.items():
            with jax.default_device(device):
                call()  # compiles
                once[role] = timings(call, 1, warmup=0)[0]
        times = {role: [] for role in devices}
        for _ in range(max(1, min(10, int(1.0 / max(once.values()))))):
            for role, device in devices.items():
                with jax.default_device(device):
                    times[role].append(timings(call, 1, warmup=0)[0])
        cpu_t, acc_t = float(np.median(times["cpu"])), float(np.median(times["accelerator"]))
        work = n * (d + 1) ** 2 * (K - 1) * steps
        rows.append({"call": f"{kind} n={n} d={d} K={K}", "work": float(work), "cpu": cpu_t, "accelerator": acc_t,
                     "accelerator faster": bool(acc_t < cpu_t)})
    return rows


def markdown(report):
    lines = [f"# Accelerator check: {report['device']}", "", report["header_auto"], ""]
    tests = report.get("tests")
    if tests:
        lines += [f"Test suite on the accelerator: {tests['summary']} ({tests['seconds']:.0f} s); "
                  f"packages missing here: {', '.join(tests['missing packages']) or 'none'}; "
                  f"not run: {', '.join(tests['not run']) or 'none'}", ""]
        lines += [f"- {line}" for line in tests["failures"]] + ([""] if tests["failures"] else [])
    runs = report["bench"]
    lines += ["| row | default placement | all on the accelerator | CPU alone |", "|---|---|---|---|"]
    for name, row in runs["auto"]["rows"].items():
        if "p50" not in row:
            continue
        cells = [fmt(runs[key]["rows"][name]["p50"]) if name in runs[key]["rows"] else "–"
                 for key in ("auto", "accelerator", "cpu")]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    lines += ["", "Where the accelerator pays (p50; work = n (d+1)^2 (K-1) sweeps):", "",
              "| call | work | CPU | accelerator |", "|---|---|---|---|"]
    for row in report["crossover"]:
        lines.append(f"| {row['call']} | {row['work']:.2g} | {fmt(row['cpu'])} | {fmt(row['accelerator'])}"
                     f"{' (faster)' if row['accelerator faster'] else ''} |")
    lines += ["", f"Suggested ACCELERATOR_MIN_WORK: {report['suggested_min_work']}"]
    return "\n".join(lines) + "\n"


def suggested_min_work(rows):
    """The smallest work from which the accelerator wins every call measured, or None."""
    wins = sorted(rows, key=lambda r: r["work"])
    for i, row in enumerate(wins):
        if all(r["accelerator faster"] for r in wins[i:]):
            return row["work"]
    return None


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m bench.device", description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, required=True, help="folder for device.md and device.json")
    parser.add_argument("--skip-tests", action="store_true", help="benchmarks only")
    parser.add_argument("--only", nargs="*", default=list(SCENARIOS),
                        help=f"benchmark scenarios (default: {' '.join(SCENARIOS)}; see python -m bench --help)")
    parser.add_argument("--test-timeout", type=float, default=300, help="seconds for the test suite")
    args, extra = parser.parse_known_args(argv)   # the rest goes to python -m bench (--features 16 253 2080)
    os.environ.setdefault("XLA_PYTHON_CLIENT_PREALLOCATE", "false")
    device = accelerator()
    if device is None:
        print("python -m bench.device: JAX sees no accelerator here (its default device is the CPU); "
              "nothing to compare. Run `python -m bench` for the CPU alone.", file=sys.stderr)
        return 2
    platform = device.platform
    args.out.mkdir(parents=True, exist_ok=True)
    report = {"device": f"{device.device_kind} ({platform}), {len(os.sched_getaffinity(0))} CPUs"}
    print(f"accelerator: {report['device']}", flush=True)
    if not args.skip_tests:
        report["tests"] = test_suite(platform, args.test_timeout)
        print(f"tests: {report['tests']['summary']}", flush=True)
    report["bench"] = {
        "auto": bench_run("default placement", extra, {}, args.only, 150),
        "accelerator": bench_run("accelerator", ["--device", platform, *extra], {}, args.only, 150),
        "cpu": bench_run("cpu", extra, {"JAX_PLATFORMS": "cpu"}, args.only, 150),
    }
    report["header_auto"] = report["bench"]["auto"]["header"]
    print("benchmarks done", flush=True)
    report["crossover"] = crossover(platform)
    report["suggested_min_work"] = suggested_min_work(report["crossover"])
    (args.out / "device.json").write_text(json.dumps(report, indent=2, default=str))
    text = markdown(report)
    (args.out / "device.md").write_text(text)
    print(text)
    tests = report.get("tests")
    return 1 if tests and tests["returncode"] != 0 else 0


if __name__ == "__main__":
    sys.exit(main())
