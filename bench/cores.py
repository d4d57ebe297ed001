"""Every benchmark row on all of the machine's cores and pinned to one, in one run.

    python -m bench.cores                                  # every scenario, 3 rounds
    python -m bench.cores --only update update_batch --rounds 5 --markdown out/cores.md

Each round runs `python -m bench --quick` once with the process's CPUs as they are and once
under `taskset -c 0` (XLA and the BLAS libraries size their thread pools to the CPUs a
process may use), the two alternating so that both see the same load on a shared machine.
The table gives each row's median p50 over the rounds and the ratio all cores / one core:
above 1, more cores made it slower.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

from bench.common import ROOT, fmt
from bench.run import SCENARIOS

# The memory scenarios measure bytes, not time.
TIMED = [name for name in SCENARIOS if not name.startswith("memory")]


def run_bench(scenarios, pinned, extra):
    """{row name: p50} of one `python -m bench --quick` run."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "bench.json"
        command = [sys.executable, "-m", "bench", "--quick", "--json", str(out), "--only", *scenarios, *extra]
        if pinned:
            command = ["taskset", "-c", "0", *command]
        subprocess.run(command, cwd=str(ROOT), check=True, stdout=subprocess.DEVNULL)
        results = json.loads(out.read_text())
    return {row["name"]: row["p50"] for rows in results.values() for row in rows if "p50" in row}


def table(times_all, times_one, n_cpus):
    lines = [f"| row | {n_cpus} CPUs p50 | 1 CPU p50 | ratio |", "|---|---|---|---|"]
    for name in times_all:
        if name not in times_one:
            continue
        a, b = float(np.median(times_all[name])), float(np.median(times_one[name]))
        lines.append(f"| {name} | {fmt(a)} | {fmt(b)} | {a / b:.2f} |")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m bench.cores", description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", nargs="*", choices=TIMED, help="scenarios to run (default: every timed one)")
    parser.add_argument("--rounds", type=int, default=3, help="runs in each setting; the table shows medians")
    parser.add_argument("--markdown", type=Path, help="also write the table here")
    args, extra = parser.parse_known_args(argv)
    if shutil.which("taskset") is None:
        print("python -m bench.cores: taskset (util-linux) is needed to pin a run to one CPU", file=sys.stderr)
        return 1
    scenarios = args.only or TIMED
    n_cpus = len(os.sched_getaffinity(0))
    times_all, times_one = {}, {}
    for r in range(args.rounds):
        for pinned, times in ((False, times_all), (True, times_one)):
            for name, p50 in run_bench(scenarios, pinned, extra).items():
                times.setdefault(name, []).append(p50)
        print(f"round {r + 1} of {args.rounds} done", file=sys.stderr)
    text = table(times_all, times_one, n_cpus)
    print(text)
    if args.markdown:
        args.markdown.parent.mkdir(parents=True, exist_ok=True)
        args.markdown.write_text(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
