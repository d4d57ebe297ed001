"""Benchmarks of the live loop and of batch fitting, with baselines run in the same process.

    python -m bench                             # all scenarios, tables on stdout
    python -m bench --json out.json             # also write the tables as JSON
    python -m bench --only fit_small predict
    python -m bench --only update_wide fit_wide predict_wide --figure out/bench.png
    python -m bench --only fit_wide --features 16 64    # a quick look at small sizes
    python -m bench --quick --only update fit_small     # fewer calls, 16 and 253 features

Each scenario times repeated calls after warm-up and prints medians and percentiles, and
ratios against baselines measured in the same run: scikit-learn's LogisticRegression, an
independent NumPy float64 fit, the machine's own speed at the matrix products that
dominate a class step, and, for the *_wide scenarios (features 16 to 2080), the general
path of the same call (see bench/wide.py).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from bench import wide
from bench.common import ROOT, counting_compilations, fit_args, fmt, summary, timings, trials


# ---------------------------------------------------------------------------- scenarios

def scenario_predict(api, args):
    repeat = args.repeat
    X, y = trials(400, 16, 4)
    model = api.fit(*fit_args(X, y, 4, 10))
    x1 = X[:1]
    rows = []
    for S, name in [(1, "predict_proba S=1"), (100, "predict_proba S=100")]:
        t0 = time.perf_counter()
        api.predict_proba(model, x1, S, 1)
        first = time.perf_counter() - t0
        rows.append(summary(name, timings(lambda: api.predict_proba(model, x1, S, 1), repeat),
                            first_call=first))
    t0 = time.perf_counter()
    api.predict_samples(model, x1, 100, 1)
    first = time.perf_counter() - t0
    rows.append(summary("predict_samples S=100", timings(lambda: api.predict_samples(model, x1, 100, 1), repeat),
                        first_call=first))
    # Baseline: scikit-learn's predict_proba on one trial of an equally sized model.
    lr = sklearn_model(X, y)
    base = timings(lambda: lr.predict_proba(x1), repeat)
    for row in rows:
        row["vs sklearn predict_proba"] = row["p50"] / float(np.median(base))
    rows.append(summary("sklearn LogisticRegression.predict_proba (baseline)", base))
    return rows


def scenario_update(api, args):
    repeat = args.repeat
    X, y = trials(400, 16, 4)
    model = api.fit(*fit_args(X, y, 4, 10))
    Xb, yb = trials(200, 16, 4, seed=1)
    # Random batch sizes in a live loop: the compilations they cost, the first call's included.
    with counting_compilations() as compilations:
        t0 = time.perf_counter()
        api.update(model, Xb[:1], yb[:1])
        first = time.perf_counter() - t0
        for s in np.random.default_rng(0).permutation(64) + 1:
            api.update(model, Xb[:s], yb[:s])
    rows = [summary("update 1 trial", timings(lambda: api.update(model, Xb[:1], yb[:1]), repeat),
                    first_call=first)]
    rows[0]["compilations for sizes 1..64"] = compilations[0]
    return rows


def scenario_fit_small(api, args):
    repeat = args.repeat
    X, y = trials(500, 32, 4)
    args = fit_args(X, y, 4, 20)
    t0 = time.perf_counter()
    api.fit(*args)
    first = time.perf_counter() - t0
    t = timings(lambda: api.fit(*args), repeat, warmup=1)
    lr_t = timings(lambda: sklearn_model(X, y), max(3, repeat // 4), warmup=1)
    np_t = timings(lambda: numpy_fit(X, y, 4, 20), 3, warmup=0)
    ours = float(np.median(t))
    vs_sklearn = ours / float(np.median(lr_t))
    return [
        summary("fit n=500 (first call)", np.array([first])),
        summary("fit n=500 (second call)", t, **{
            "vs sklearn lbfgs": vs_sklearn,
            "vs numpy float64 reference": ours / float(np.median(np_t)),
            "target": "no slower than sklearn lbfgs", "holds": bool(vs_sklearn <= 1.0)}),
        summary("sklearn LogisticRegression.fit (baseline)", lr_t),
        summary("numpy float64 reference fit (baseline)", np_t),
    ]


def scenario_fit_large(api, args):
    repeat = args.repeat
    import jax
    import jax.numpy as jnp

    n, F, K, steps = 20000, 128, 8, 10
    X, y = trials(n, F, K, dtype=np.float32)
    args = fit_args(X, y, K, steps)
    api.fit(*args)
    t = timings(lambda: api.fit(*args), max(2, repeat // 50), warmup=0)
    d = F + 1
    # Flops of one class step's dense work: Xa S (n d^2), the weighted Gram (n d^2), the
    # logits (n d (K-1)), the factorisation and the covariance solve (~ d^3 / 3 + 2 d^3).
    step_flops = 2 * n * d * d * 2 + 2 * n * d * (K - 1) + (d**3) / 3 + 2 * d**3
    flops = step_flops * (K - 1) * steps
    # The machine's limit: the same dense products, jitted, at the same sizes and type.
    Xa = jnp.asarray(np.c_[X, np.ones(n, np.float32)])
    S = jnp.eye(d, dtype=jnp.float32)
    w = jnp.ones(n, jnp.float32)

    @jax.jit
    def dense(Xa, S, w):
        return jnp.sum(jnp.matmul(Xa, S) * Xa, axis=1), jnp.matmul(Xa.T, Xa * w[:, None])
    jax.block_until_ready(dense(Xa, S, w))
    dt = timings(lambda: jax.block_until_ready(dense(Xa, S, w)), 10)
    limit = 4 * n * d * d / float(np.median(dt))
    achieved = flops / float(np.median(t))
    row = summary("fit n=20000 F=128 K=8 float32", t, **{
        "GFLOP/s": achieved / 1e9, "machine GFLOP/s (dense products)": limit / 1e9,
        "share of machine": achieved / limit})
    row["target"] = "share >= 70%"
    row["holds"] = bool(achieved / limit >= 0.7)
    return [row, summary("dense products alone (baseline)", dt)]


MEMORY_SCRIPT = r"""
import threading, time, resource, numpy as np
from kovani_bci.models.kovani_softmax import learning
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()
rng = np.random.default_rng(0)
small = rng.normal(size=(50, 64)); ys = rng.integers(0, 4, 50)
learning.kovani_softmax_fit(small, ys, 4, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 2)
base = rss()
# The process's lifetime peak (ru_maxrss) may come from start-up; sample the fit's own.
peak = [base]
done = threading.Event()
def watch():
    while not done.is_set():
        peak[0] = max(peak[0], rss()); time.sleep(0.002)
X = rng.normal(size=(100000, 64)); y = rng.integers(0, 4, 100000)
watcher = threading.Thread(target=watch); watcher.start()
learning.kovani_softmax_fit(X, y, 4, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 2)
done.set(); watcher.join()
print(base, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024, max(peak[0], rss()), X.nbytes)
"""


def scenario_memory(api, args):
    repeat = args.repeat
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT],
                         capture_output=True, text=True, check=True).stdout.split()
    base, lifetime_peak, peak, x_bytes = map(int, out)
    # The baseline is the warmed-up interpreter and JAX, before X exists; X itself counts.
    growth = peak - base
    row = {"name": "memory fit n=100000 F=64", "X MiB": x_bytes / 2**20,
           "baseline RSS MiB": base / 2**20, "process lifetime peak MiB": lifetime_peak / 2**20,
           "peak RSS MiB": peak / 2**20, "peak over baseline, in X sizes": growth / x_bytes,
           "target": "peak over baseline < 4x X", "holds": bool(growth < 4 * x_bytes)}
    return [row]


SCENARIOS = {
    "predict": scenario_predict,
    "update": scenario_update,
    "fit_small": scenario_fit_small,
    "fit_large": scenario_fit_large,
    "memory": scenario_memory,
    **wide.SCENARIOS,
}


# ---------------------------------------------------------------------------- baselines

def sklearn_model(X, y):
    from sklearn.linear_model import LogisticRegression
    return LogisticRegression(solver="lbfgs", max_iter=200).fit(X, y)


def numpy_fit(X, y, K, steps):
    sys.path.insert(0, str(ROOT / "tests"))
    import reference
    return reference.fit(X, y, K, 0, 0.0, 1.0, 0.0, 1.0, 1.0, steps)


class Api:
    def __init__(self):
        from kovani_bci.models.kovani_softmax import inference, learning
        self.learning, self.inference = learning, inference
        self.fit = learning.kovani_softmax_fit
        self.update = learning.kovani_softmax_update
        self.predict_proba = getattr(inference, "kovani_softmax_predict_proba", None)
        self.predict_samples = getattr(inference, "kovani_softmax_predict_samples", None)


# ---------------------------------------------------------------------------- output

def print_table(title, rows):
    print(f"\n== {title}")
    for row in rows:
        parts = [f"{row['name']}"]
        for key, value in row.items():
            if key == "name":
                continue
            if key in ("p50", "p90", "p99", "mean") or key.endswith(("p50", "first_call")):
                parts.append(f"{key} {fmt(value)}")
            elif isinstance(value, float):
                parts.append(f"{key} {value:.3g}")
            else:
                parts.append(f"{key} {value}")
        print("  " + " | ".join(parts))


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m bench", description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", nargs="*", choices=list(SCENARIOS), help="scenarios to run")
    parser.add_argument("--repeat", type=int, default=200, help="timed calls per measurement (at most)")
    parser.add_argument("--features", type=int, nargs="+", default=list(wide.FEATURES),
                        help="feature counts of the *_wide scenarios")
    parser.add_argument("--budget", type=float, default=2.0,
                        help="seconds of timed calls per measurement of the *_wide scenarios")
    parser.add_argument("--json", type=Path, help="also write the tables to this JSON file")
    parser.add_argument("--figure", type=Path, help="write the time-against-features figure (PNG) here")
    parser.add_argument("--device", help="run every scenario inside jax.default_device of this platform's "
                        "first device (\"gpu\", \"cpu\", ...); default: the placement's own choice")
    parser.add_argument("--quick", action="store_true",
                        help="a quick look: at most 30 timed calls, 0.3 s per measurement, features 16 and 253")
    args = parser.parse_args(argv)
    if args.quick:
        args.repeat, args.budget = min(args.repeat, 30), min(args.budget, 0.3)
        if args.features == list(wide.FEATURES):
            args.features = [16, 253]
    import jax
    api = Api()
    results = {}
    device = jax.devices(args.device)[0] if args.device else None
    print(f"python {sys.version.split()[0]}, jax {jax.__version__}, numpy {np.__version__}, "
          f"{len(os.sched_getaffinity(0))} CPUs, 64-bit mode {'on' if jax.config.jax_enable_x64 else 'off'}, "
          f"default device {jax.devices()[0]}, running on {device or 'the placement default'}")
    for name in args.only or SCENARIOS:
        with jax.default_device(device) if device else contextlib.nullcontext():
            results[name] = SCENARIOS[name](api, args)
        print_table(name, results[name])
        if args.json:  # written as it goes: a long run interrupted keeps what it measured
            args.json.write_text(json.dumps(results, indent=2))
    if args.figure and wide.figure(results, args.figure):
        print(f"\nfigure: {args.figure}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
