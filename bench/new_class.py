"""Teaching a calibrated decoder a new command: which protocols keep the old classes.

    python -m bench.new_class [--seeds 10] [--trials 10]

Two cases, each over several seeds:

* blobs: three well-separated Gaussian classes in 4 dimensions; calibrate on two (30
  trials each), teach the third, score on 60 fresh trials of every class;
* simulator: a motor-imagery session from ``kovani_bci.datasets`` (16 log-variance
  features, drifting gains); calibrate on block 0 (left and right hand), teach "feet" from
  block 1, score on the rest of block 1 (all three classes), without further learning.

Protocols for the new class's trials: one batch of them alone, the same batch mixed with
as many recent trials of the old classes (which those classes then absorb twice), and the
trials alone one at a time; each with ``replay_per_class`` 0 (off) and a few sizes; and, for
reference, a batch fit on the calibration and the new trials together. Prints mean and
minimum accuracy over the seeds, over all three classes and on the old ones.
"""

from __future__ import annotations

import argparse
import warnings

import numpy as np

from kovani_bci.datasets import make_motor_imagery_session
from kovani_bci.estimator import KovaniSoftmaxClassifier

REPLAY = (0, 5, 10, 20)


def blobs_case(seed, n_teach):
    rng = np.random.default_rng(seed)
    centres = rng.normal(scale=4.0, size=(3, 4))

    def draw(label, n):
        return centres[label] + rng.normal(size=(n, 4)), np.full(n, label)

    parts = [draw(c, 30) for c in (0, 1)]
    X_cal = np.concatenate([p[0] for p in parts])
    y_cal = np.concatenate([p[1] for p in parts])
    order = rng.permutation(len(y_cal))
    X_new, y_new = draw(2, n_teach)
    tests = [draw(c, 60) for c in range(3)]
    return (X_cal[order], y_cal[order], X_new, y_new,
            np.concatenate([t[0] for t in tests]), np.concatenate([t[1] for t in tests]))


def simulator_case(seed, n_teach):
    s = make_motor_imagery_session(n_blocks=4, trials_per_block=90, late_block=1,
                                   random_state=seed)
    cal = s.block == 0
    mu, sd = s.X[cal].mean(axis=0), s.X[cal].std(axis=0)
    Z = (s.X - mu) / sd
    teach = np.flatnonzero((s.block == 1) & (s.y == s.late_class))[:n_teach]
    test = np.setdiff1d(np.flatnonzero(s.block == 1), teach)
    return Z[cal], s.y[cal], Z[teach], s.y[teach], Z[test], s.y[test]


def run_protocol(case, protocol, replay, seed):
    X_cal, y_cal, X_new, y_new, X_test, y_test = case
    clf = KovaniSoftmaxClassifier(replay_per_class=replay, random_state=seed)
    if protocol == "batch fit on all":
        clf.fit(np.concatenate([X_cal, X_new]), np.concatenate([y_cal, y_new]))
    else:
        clf.fit(X_cal, y_cal)
    if protocol == "alone, one batch":
        clf.partial_fit(X_new, y_new)
    elif protocol == "alone, one at a time":
        for i in range(len(y_new)):
            clf.partial_fit(X_new[i:i + 1], y_new[i:i + 1])
    elif protocol == "mixed with old trials":   # the old trials are absorbed a second time
        X_old, y_old = X_cal[-len(y_new):], y_cal[-len(y_new):]
        clf.partial_fit(np.concatenate([X_new, X_old]), np.concatenate([y_new, y_old]))
    pred = clf.predict(X_test)
    old = np.isin(y_test, y_cal)
    return np.mean(pred == y_test), np.mean(pred[old] == y_test[old])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=10)
    parser.add_argument("--trials", type=int, default=10, help="trials of the new class")
    args = parser.parse_args(argv)
    warnings.filterwarnings("ignore")
    protocols = ("alone, one batch", "alone, one at a time", "mixed with old trials",
                 "batch fit on all")
    print(f"{'case':<10} {'protocol':<22} {'replay':>6}  {'acc (mean)':>10}  {'acc (min)':>9}"
          f"  {'old classes':>11}")
    for name, make in (("blobs", blobs_case), ("simulator", simulator_case)):
        cases = [make(seed, args.trials) for seed in range(args.seeds)]
        for protocol in protocols:
            for replay in REPLAY if protocol.startswith("alone") else (0,):
                acc = np.array([run_protocol(c, protocol, replay, seed)
                                for seed, c in enumerate(cases)])
                print(f"{name:<10} {protocol:<22} {replay:>6}  {acc[:, 0].mean():>10.3f}  "
                      f"{acc[:, 0].min():>9.3f}  {acc[:, 1].mean():>11.3f}", flush=True)


if __name__ == "__main__":
    main()
