"""Cost of forgetting per partial_fit call, and how often it takes the clamping SVD.

    python -m bench.forgetting [--features 64 253 500] [--calls 100]

Per feature count d: a fresh float32 fit on 60 trials of 3 classes, then one-trial
partial_fit calls with forgetting_factor=0.98 and without forgetting (1.0). A row whose
posterior is no wider than the hyper-prior is tempered by factor products; only a row
wider than it by more than the rounding of its stored type goes through the SVD. For
comparison the same calls with the clamp tolerance of 1e-12 (too tight for float32
factors: rounding leaves eigenvalues of 1 + 1e-6 at 253 features).
"""

from __future__ import annotations

import argparse
import contextlib

import numpy as np

from bench.common import timings
from kovani_bci import adaptation
from kovani_bci.estimator import KovaniSoftmaxClassifier


@contextlib.contextmanager
def counted_clamps(fixed_tolerance=None):
    """Count rows that take the SVD; optionally force the clamp tolerance."""
    count = [0]
    clamped, within = adaptation._tempered_clamped, adaptation._tempered_within

    def counting(*args):
        count[0] += 1
        return clamped(*args)

    def tolerance(W, delta, factor, rounding):
        return within(W, delta, factor, rounding if fixed_tolerance is None else fixed_tolerance)

    adaptation._tempered_clamped, adaptation._tempered_within = counting, tolerance
    try:
        yield count
    finally:
        adaptation._tempered_clamped, adaptation._tempered_within = clamped, within


def measure(d, calls, factor, fixed_tolerance=None):
    rng = np.random.default_rng(0)
    X, y = rng.normal(size=(60 + calls + 3, d)), np.arange(60 + calls + 3) % 3
    clf = KovaniSoftmaxClassifier(forgetting_factor=factor, random_state=0).fit(X[:60], y[:60])
    rows = iter(range(60, len(y)))

    def step():
        i = next(rows)
        clf.partial_fit(X[i:i + 1], y[i:i + 1])

    with counted_clamps(fixed_tolerance) as count:
        times = timings(step, calls, warmup=3)
    return times, count[0], 2 * (calls + 3)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--features", type=int, nargs="+", default=[64, 253, 500])
    parser.add_argument("--calls", type=int, default=100)
    args = parser.parse_args(argv)
    print("| d | setting | p50 | p90 | rows through the SVD |")
    print("|---|---|---|---|---|")
    for d in args.features:
        for label, factor, tol in (("forgetting 0.98", 0.98, None),
                                   ("forgetting 0.98, tolerance 1e-12", 0.98, 1e-12),
                                   ("no forgetting", 1.0, None)):
            times, clamped, rows = measure(d, args.calls, factor, tol)
            print(f"| {d} | {label} | {np.median(times) * 1e3:.1f} ms | "
                  f"{np.percentile(times, 90) * 1e3:.1f} ms | {clamped} of {rows} |", flush=True)


if __name__ == "__main__":
    main()
