"""One online step of the classifier against refitting LogisticRegression on every trial so far.

    python -m bench.online_step [--sizes 300,16,2 300,42,2 300,253,3 600,253,3] [--rounds 60]

Per (trials, features, classes): three classifiers fitted on the first `trials` trials of
a simulated linear task (the defaults; ``w_scale=1`` with ``adaptation_rate="once"``; the
same with ``"sweeps"``), then rounds of one new trial each. A round times, one after the
other on the same trial: each classifier's online step (``predict_proba`` of the trial,
then ``partial_fit`` on it), scikit-learn's LogisticRegression refitted on all trials so
far, the functional update of one trial and the prediction of one trial with 100 draws
(on the ``"sweeps"`` classifier's record), and a 256 x 256 float64 NumPy matrix product as
the machine's yardstick. Interleaved so that all of them see the same load, each round
in a random order so that every item follows every other about as often; the table
gives medians and each step's ratio to the refit. Last, the classifier's own work: the
defaults' step with the compiled functions answering at once.
"""

from __future__ import annotations

import argparse
import json
import time
import warnings

import numpy as np
from sklearn.linear_model import LogisticRegression

from kovani_bci.estimator import KovaniSoftmaxClassifier
from kovani_bci.models.kovani_softmax import inference, learning

SIZES = ((300, 16, 2), (300, 42, 2), (300, 253, 3), (600, 253, 3))
SETTINGS = {
    "defaults": {},
    "w_scale=1, once": {"w_scale": 1.0, "adaptation_rate": "once"},
    "w_scale=1, sweeps": {"w_scale": 1.0, "adaptation_rate": "sweeps"},
}


def task(n, d, K, seed=0):
    """Trials of a linear K-class task whose classes overlap (about 70% separable)."""
    rng = np.random.default_rng(seed)
    W = rng.normal(size=(d, K)) / np.sqrt(d)
    X = rng.normal(size=(n, d))
    y = np.argmax(2.0 * X @ W + rng.gumbel(size=(n, K)), axis=1)
    return X, y


def elapsed(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def measure(n, d, K, rounds, warmup=5):
    X, y = task(n + warmup + rounds, d, K)
    clfs = {name: KovaniSoftmaxClassifier(random_state=0, **kw).fit(X[:n], y[:n])
            for name, kw in SETTINGS.items()}
    lr = LogisticRegression(max_iter=1000)
    A = np.random.default_rng(1).normal(size=(256, 256))
    times = {name: [] for name in (*SETTINGS, "LogisticRegression refit", "update", "predict_proba",
                                   "yardstick")}
    def refit(i):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            lr.fit(X[:i + 1], y[:i + 1])

    def step(clf, x, label):
        clf.predict_proba(x)
        clf.partial_fit(x, label)

    order = list(times)
    shuffle = np.random.default_rng(2)
    for r, i in enumerate(range(n, n + warmup + rounds)):
        x, label = X[i:i + 1], y[i:i + 1]
        record = clfs["w_scale=1, sweeps"].model_
        work = {name: (lambda clf=clf: step(clf, x, label)) for name, clf in clfs.items()}
        work.update({"LogisticRegression refit": lambda: refit(i),
                     "update": lambda: learning.kovani_softmax_update(record, x, label),
                     "predict_proba": lambda: inference.kovani_softmax_predict_proba(record, x, 100, 0),
                     "yardstick": lambda: A @ A})
        # Each round in its own order: what an item finds left by the one before it (cold
        # caches after the refit, BLAS threads still spinning after the matrix product)
        # differs by predecessor, and a fixed cycle would give every item the same one in
        # every round.
        row = {}
        for name in shuffle.permutation(order):
            row[name] = elapsed(work[name])
        if i >= n + warmup:
            for name, t in row.items():
                times[name].append(t)
    medians = {name: float(np.median(t)) for name, t in times.items()}
    medians["own work"] = own_work(X, y, n, rounds)
    return medians


def own_work(X, y, n, rounds):
    """The defaults' online step with the compiled functions answered instantly (the model
    passed back, one fixed prediction): what the classifier itself spends per step."""
    import kovani_bci.models.kovani_softmax as package
    clf = KovaniSoftmaxClassifier(random_state=0).fit(X[:n], y[:n])
    fixed = inference.kovani_softmax_predict_proba(clf.model_, X[:1], 100, 0)
    update = lambda model, X, y: model                  # noqa: E731
    predict = lambda model, X, S, seed: fixed.copy()    # noqa: E731
    # The stubs stand in for the package's own functions, so that the step takes the race's
    # one-call path as it does with the real ones.
    stubs = {(learning, "kovani_softmax_update"): update,
             (package, "kovani_softmax_update_fixed_prior"): update,
             (inference, "kovani_softmax_predict_proba"): predict,
             (package, "_RACE_FUNCTIONS"): (update, update, predict),
             (learning, "_race_update"): lambda once, sweeps, X, y, scored, S, seed, softmax:
                 (once, sweeps, fixed.copy())}
    saved = {key: getattr(*key) for key in stubs}
    try:
        for (module, name), stub in stubs.items():
            setattr(module, name, stub)
        times = [elapsed(lambda: (clf.predict_proba(X[i:i + 1]), clf.partial_fit(X[i:i + 1], y[i:i + 1])))
                 for i in range(n, len(y))]
    finally:
        for (module, name), fn in saved.items():
            setattr(module, name, fn)
    return float(np.median(times[5:]))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", nargs="+", default=[",".join(map(str, s)) for s in SIZES],
                        help="trials,features,classes triples")
    parser.add_argument("--rounds", type=int, default=60)
    parser.add_argument("--json", help="also write the medians (seconds) to this file")
    args = parser.parse_args(argv)
    results = []
    print("| trials, features, classes | " + " | ".join(SETTINGS)
          + " | LogisticRegression refit | update, 1 trial | predict_proba, 1 trial, 100 draws "
            "| classifier's own work | 256x256 matmul |")
    print("|---" * (len(SETTINGS) + 6) + "|")
    for size in args.sizes:
        n, d, K = map(int, size.split(","))
        med = measure(n, d, K, args.rounds)
        refit = med["LogisticRegression refit"]
        steps = [f"{med[name] * 1e3:.2f} ms ({med[name] / refit:.2f})" for name in SETTINGS]
        print(f"| {n}, {d}, {K} | " + " | ".join(steps)
              + f" | {refit * 1e3:.2f} ms | {med['update'] * 1e3:.2f} ms | "
                f"{med['predict_proba'] * 1e3:.2f} ms | {med['own work'] * 1e3:.2f} ms | "
                f"{med['yardstick'] * 1e3:.2f} ms |", flush=True)
        results.append({"trials": n, "features": d, "classes": K, **med})
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
