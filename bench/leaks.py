"""Leak check: many calls of every published function, successful and failing ones.

    python -m bench.leaks                 # 20 000 calls per case
    python -m bench.leaks --calls 2000 --only kovani_softmax_update

Each published function runs in a child process of its own, so a crash is counted rather
than ending the run. In the child every case (a successful call, a call refused by the
argument parser, and one that fails late, after the record reads or the compiled core)
is called --calls times. After a warm-up (the first tenth), resident memory, the
interpreter's allocated blocks and the number of objects the garbage collector tracks are
sampled at regular intervals; the leak slope is the least-squares slope of each against
the call count, per call. A leak of a single small object per call shows as about one
block and one object per call and 50 or more bytes per call; flat means well below that.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import time
import warnings

import numpy as np

SAMPLES = 20


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def cases(name):
    """(case, thunk, expected exception or None) for the function `name`."""
    import jax.numpy as jnp

    from kovani_bci.kovani_io import KovaniModel
    from kovani_bci.models.kovani_softmax import inference, learning

    rng = np.random.default_rng(0)
    X = rng.normal(size=(12, 3))
    y = np.arange(12) % 3
    model = learning.kovani_softmax_fit(X, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 2)
    nan_record = KovaniModel(model_type="kovani_softmax",
                             params={**model.params, "beta_mean": np.full_like(model.params["beta_mean"], np.nan)})
    X_nan = X.copy()
    X_nan[0, 0] = np.nan
    Xa = jnp.asarray(np.c_[X, np.ones(12)], jnp.float32)
    d = Xa.shape[1]
    pg = (Xa, jnp.asarray(y == 1, jnp.float32), jnp.zeros(12), jnp.zeros(d), jnp.eye(d), jnp.zeros(d), jnp.eye(d))
    beta = jnp.asarray(model.params["beta_mean"])
    non_ref = model.params["non_ref_classes"]
    L, I = learning, inference
    table = {
        "_jax_dtype_from_numpy": [(lambda: L._jax_dtype_from_numpy(X), None),
                                  (lambda: L._jax_dtype_from_numpy(None), AttributeError)],
        "_pg_expected_omega": [(lambda: L._pg_expected_omega(pg[2] + 1.5), None),
                               (lambda: L._pg_expected_omega(np.arange(3)), ValueError)],
        "_pg_binary_update": [(lambda: L._pg_binary_update(*pg), None),
                              (lambda: L._pg_binary_update(*pg[:3], jnp.zeros(d + 1), *pg[4:]), TypeError)],
        "_build_logits": [(lambda: L._build_logits(Xa, beta, non_ref, 0, 3), None),
                          (lambda: L._build_logits(Xa[:, :2], beta, non_ref, 0, 3), TypeError)],
        "kovani_softmax_fit": [(lambda: L.kovani_softmax_fit(X, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 2), None),
                               # after the compiled core: the posterior is not finite
                               (lambda: L.kovani_softmax_fit(X_nan, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 2),
                                ValueError)],
        "kovani_softmax_update": [(lambda: L.kovani_softmax_update(model, X[:4], y[:4]), None),
                                  (lambda: L.kovani_softmax_update(nan_record, X[:4], y[:4]), ValueError)],
        "_logits_from_beta": [(lambda: I._logits_from_beta(Xa[:, :3], beta, non_ref, 0, 3), None),
                              (lambda: I._logits_from_beta(Xa, beta, non_ref, 0, 3), TypeError)],
        "kovani_softmax_predict_proba": [(lambda: I.kovani_softmax_predict_proba(model, X, 1, 0), None),
                                         (lambda: I.kovani_softmax_predict_proba(model, X, 10, 1), None),
                                         (lambda: I.kovani_softmax_predict_proba(model, X_nan, 10, 1), ValueError)],
        "kovani_softmax_predict": [(lambda: I.kovani_softmax_predict(model, X, 1, 0), None),
                                   (lambda: I.kovani_softmax_predict(nan_record, X, 1, 0), ValueError)],
        "kovani_softmax_predict_samples": [(lambda: I.kovani_softmax_predict_samples(model, X, 10, 2), None),
                                           (lambda: I.kovani_softmax_predict_samples(model, X_nan, 10, 2),
                                            ValueError)],
    }
    fn = getattr(L, name, None) or getattr(I, name)
    out = []
    for i, (thunk, exc) in enumerate(table[name]):
        label = "ok" if exc is None else "fails"
        if exc is None and sum(e is None for _, e in table[name]) > 1:
            label = f"ok#{i + 1}"
        out.append((label, thunk, exc))
    # Refused by the argument parser, before any body runs.
    out.append(("bad args", lambda: fn(*range(len(fn.__signature__.parameters) + 1)), TypeError))
    return out


def slope(xs, ys):
    return float(np.polyfit(np.asarray(xs, float), np.asarray(ys, float), 1)[0])


def run_case(thunk, exc, calls):
    warmup = max(calls // 10, 1)
    every = max((calls - warmup) // SAMPLES, 1)
    # Preallocated, so that the measurement itself allocates nothing that stays.
    points = np.zeros((SAMPLES + 2, 4))
    taken = 0
    busy = 0.0
    for i in range(1, calls + 1):
        start = time.perf_counter()
        try:
            thunk()
        except Exception as e:  # noqa: BLE001 -- the case's expected failure
            if exc is None or not isinstance(e, exc):
                raise
        else:
            if exc is not None:
                raise AssertionError(f"expected {exc.__name__}")
        busy += time.perf_counter() - start
        if i >= warmup and (i - warmup) % every == 0 and taken < len(points):
            gc.collect()
            points[taken] = (i, rss_bytes(), sys.getallocatedblocks(), len(gc.get_objects()))
            taken += 1
    n, rss, blocks, objects = points[:taken].T
    return {"calls": calls, "us_per_call": 1e6 * busy / calls, "rss_per_call": slope(n, rss),
            "blocks_per_call": slope(n, blocks), "objects_per_call": slope(n, objects),
            "rss_growth": float(rss[-1] - rss[0])}


def child(name, calls):
    warnings.simplefilter("ignore")
    for label, thunk, exc in cases(name):
        result = run_case(thunk, exc, calls)
        print(json.dumps({"function": name, "case": label, **result}), flush=True)


FUNCTIONS = ["_jax_dtype_from_numpy", "_pg_expected_omega", "_pg_binary_update", "_build_logits",
             "kovani_softmax_fit", "kovani_softmax_update", "_logits_from_beta", "kovani_softmax_predict_proba",
             "kovani_softmax_predict", "kovani_softmax_predict_samples"]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=20_000, help="calls per case (default 20000)")
    parser.add_argument("--only", nargs="*", choices=FUNCTIONS, help="these functions only")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        return child(args.child, args.calls)

    print(f"{'function':32s} {'case':9s} {'calls':>7s} {'us/call':>8s} {'RSS B/call':>11s} "
          f"{'blocks/call':>12s} {'objects/call':>13s} {'RSS growth':>11s}")
    total, crashes, failures = 0, 0, 0
    for name in args.only or FUNCTIONS:
        proc = subprocess.run([sys.executable, "-m", "bench.leaks", "--child", name, "--calls", str(args.calls)],
                              capture_output=True, text=True)
        for line in proc.stdout.splitlines():
            r = json.loads(line)
            total += r["calls"]
            print(f"{r['function']:32s} {r['case']:9s} {r['calls']:7d} {r['us_per_call']:8.1f} "
                  f"{r['rss_per_call']:11.2f} {r['blocks_per_call']:12.4f} {r['objects_per_call']:13.4f} "
                  f"{r['rss_growth'] / 1024:9.0f}kB", flush=True)
        if proc.returncode < 0:
            crashes += 1
            print(f"{name}: CRASHED (signal {-proc.returncode})\n{proc.stderr[-2000:]}")
        elif proc.returncode != 0:
            failures += 1
            print(f"{name}: FAILED\n{proc.stderr[-2000:]}")
    print(f"\ncalls made: {total}   crashes: {crashes}   failed runs: {failures}")
    return 1 if crashes or failures else 0


if __name__ == "__main__":
    sys.exit(main())
