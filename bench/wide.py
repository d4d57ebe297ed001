"""The live loop at real feature counts: update, fit and prediction against the number of
features d, each next to its general path timed in the same run, and the figure of both.

Motor-imagery pipelines feed tangent-space features to the classifier: 22 EEG channels give
253 features, 64 give 2080. A decoder decides every 40-250 ms, so one update or prediction
must cost a few milliseconds. K=4 classes, 10 sweeps, 32-bit mode throughout.

Baselines:
- training: the same call on the general path, taken when the module's published kernels
  are replaced (bench.common.GeneralPath);
- prediction: the Monte-Carlo computation through S sampled coefficient sets, written here
  in plain JAX, jitted, fed as the module used to be (the record's arrays as stored, the
  same key and shapes); its probabilities are checked against the module's.
"""

from __future__ import annotations

import functools
import subprocess
import sys

import numpy as np

from bench.common import ROOT, TARGETS, GeneralPath, fit_args, paired_timings, summary, timings_within, trials

FEATURES = (16, 64, 253, 1000, 2080)
K, STEPS, N_FIT, S = 4, 10, 288, 100


@functools.lru_cache(maxsize=None)
def calibration(api, d):
    """Trials, labels and the model fitted on them (n=288, K=4, 10 sweeps), once per d."""
    X, y = trials(N_FIT, d, K)
    return X, y, api.fit(*fit_args(X, y, K, STEPS))


def against_general(api, name, fn, args):
    """The row of `fn` on the default path, with the general path's times beside it."""
    general_path = GeneralPath(api.learning)
    fast, first, general, general_first = paired_timings(fn, functools.partial(general_path.call, fn),
                                                          args.budget, args.repeat)
    return summary(name, fast, first_call=first, **{
        "general p50": float(np.median(general)), "general calls": int(len(general)),
        "general first_call": general_first, "vs general": float(np.median(fast) / np.median(general))})


def scenario_update_wide(api, args):
    rows = []
    for d in args.features:
        _, _, model = calibration(api, d)
        Xb, yb = trials(1, d, K, seed=1)
        rows.append(against_general(api, f"update 1 trial d={d}", functools.partial(api.update, model, Xb, yb), args))
    return rows


def scenario_update_batch(api, args):
    d = 253
    _, _, model = calibration(api, d)
    Xb, yb = trials(64, d, K, seed=2)
    return [against_general(api, f"update 64 trials d={d}", functools.partial(api.update, model, Xb, yb), args)]


def scenario_fit_wide(api, args):
    import warnings

    from sklearn.exceptions import ConvergenceWarning
    from sklearn.linear_model import LogisticRegression

    rows = []
    for d in args.features:
        X, y, _ = calibration(api, d)
        row = against_general(api, f"fit n={N_FIT} d={d}", functools.partial(api.fit, *fit_args(X, y, K, STEPS)), args)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ConvergenceWarning)
            t, _ = timings_within(lambda: LogisticRegression(solver="lbfgs", max_iter=200).fit(X, y),
                                  args.budget, args.repeat)
        row["sklearn lbfgs p50"] = float(np.median(t))
        row["vs sklearn"] = row["p50"] / row["sklearn lbfgs p50"]
        rows.append(row)
    return rows


# ---------------------------------------------------------------------------- prediction

@functools.lru_cache(maxsize=None)
def sets_form():
    """The Monte-Carlo probabilities through S coefficient sets, beta_s = m + L eps_s, jitted:
    S (K-1) d^2 work. Arguments as the module received them: the float64 trials and the
    record's arrays as stored, the seed as an np.int64."""
    import jax
    import jax.numpy as jnp

    from kovani_bci.kovani_math import kovani_softmax

    def proba(Xn, beta_mean, beta_cov_chol, seed, S, n_classes, ref_class, non_ref):
        dtype = beta_mean.dtype
        Xj = Xn.astype(dtype)
        eps = jax.random.normal(jax.random.PRNGKey(seed), shape=(S, n_classes - 1, beta_mean.shape[1]), dtype=dtype)
        beta_s = beta_mean[None] + jnp.einsum("kij,skj->ski", beta_cov_chol.astype(dtype), eps)
        X_aug = jnp.concatenate([Xj, jnp.ones((Xj.shape[0], 1), dtype)], axis=1)
        eta = jnp.einsum("nd,skd->skn", X_aug, beta_s)
        logits = jnp.zeros((S, Xj.shape[0], n_classes), dtype)
        logits = logits.at[:, :, np.asarray(non_ref)].set(jnp.transpose(eta, (0, 2, 1)))
        logits = logits.at[:, :, ref_class].set(0)
        return jnp.mean(jax.vmap(kovani_softmax)(logits), axis=0)
    return jax.jit(proba, static_argnums=(4, 5, 6, 7))


def scenario_predict_wide(api, args):
    rows = []
    for d in args.features:
        _, _, model = calibration(api, d)
        x1 = trials(1, d, K, seed=3)[0]
        p = model.params
        baseline = functools.partial(sets_form(), x1, p["beta_mean"], p["beta_cov_chol"], np.int64(1), S,
                                     int(p["n_classes"]), int(p["ref_class"]), tuple(p["non_ref_classes"].tolist()))
        fn = functools.partial(api.predict_proba, model, x1, S, 1)
        fast, first, sets, _ = paired_timings(fn, lambda: np.array(baseline()), args.budget, args.repeat)
        rows.append(summary(f"predict_proba S={S} d={d}", fast, first_call=first, **{
            "sets form p50": float(np.median(sets)), "vs sets form": float(np.median(fast) / np.median(sets)),
            "max |difference|": float(np.max(np.abs(fn() - np.array(baseline()))))}))
    return rows


# ---------------------------------------------------------------------------- memory

MEMORY_SCRIPT = r"""
import ctypes, sys, threading, time, resource, numpy as np
from kovani_bci.models.kovani_softmax import learning
from bench.common import fit_args, trials
d, K, n, steps = (int(a) for a in sys.argv[1:5])
libc = ctypes.CDLL("libc.so.6")
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()
def peak_of(call):
    call()  # compiles; a live loop pays this once
    libc.malloc_trim(0)  # what the first call freed goes back, so the baseline is honest
    base = rss(); peak = [base]; done = threading.Event()
    def watch():
        while not done.is_set():
            peak[0] = max(peak[0], rss()); time.sleep(0.001)
    watcher = threading.Thread(target=watch); watcher.start()
    result = call()
    done.set(); watcher.join()
    return max(peak[0], rss()) - base, result
X, y = trials(n, d, K)
fit_growth, model = peak_of(lambda: learning.kovani_softmax_fit(*fit_args(X, y, K, steps)))
Xb, yb = trials(1, d, K, seed=1)
update_growth, _ = peak_of(lambda: learning.kovani_softmax_update(model, Xb, yb))
print(fit_growth, update_growth, model.params["beta_cov_chol"].dtype.itemsize)
"""


def scenario_memory_wide(api, args):
    d = max(args.features)
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, str(d), str(K), str(N_FIT), str(STEPS)],
                         capture_output=True, text=True, check=True, cwd=str(ROOT)).stdout.split()
    fit_growth, update_growth, itemsize = map(int, out)
    unit = (d + 1) ** 2 * itemsize
    rows = []
    for name, growth in ((f"memory fit n={N_FIT} d={d}", fit_growth), (f"memory update 1 trial d={d}", update_growth)):
        per_class = growth / unit / (K - 1)
        rows.append({"name": name, "d x d array MiB": unit / 2**20, "peak over baseline MiB": growth / 2**20,
                     "in d x d arrays": growth / unit, "per class": per_class,
                     "target": "<= 4 d x d arrays per class", "holds": bool(per_class <= 4)})
    return rows


SCENARIOS = {
    "update_wide": scenario_update_wide,
    "update_batch": scenario_update_batch,
    "fit_wide": scenario_fit_wide,
    "predict_wide": scenario_predict_wide,
    "memory_wide": scenario_memory_wide,
}


# ---------------------------------------------------------------------------- figure

def figure(results, path):
    """Time against d, log-log: update, fit and prediction, the default path and its
    general path (or sets form), targets as crosses. Written only from the scenarios run."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = [("update_wide", "update, 1 trial", "general p50", "general path"),
              ("fit_wide", f"fit, n={N_FIT}", "general p50", "general path"),
              ("predict_wide", f"predict_proba, 1 trial, S={S}", "sets form p50", "through the coefficient sets")]
    panels = [p for p in panels if p[0] in results]
    if not panels:
        return False
    fig, axes = plt.subplots(1, len(panels), figsize=(4.2 * len(panels), 3.8), squeeze=False)
    for ax, (key, title, base_key, base_label) in zip(axes[0], panels):
        rows = results[key]
        d = [int(r["name"].rsplit("d=", 1)[1]) for r in rows]
        ax.loglog(d, [r["p50"] for r in rows], "o-", label="default path")
        ax.loglog(d, [r[base_key] for r in rows], "s--", label=base_label)
        if key == "fit_wide":
            ax.loglog(d, [r["sklearn lbfgs p50"] for r in rows], "^:", label="scikit-learn lbfgs")
        targets = [(x, TARGETS[r["name"]][1]) for x, r in zip(d, rows) if r["name"] in TARGETS]
        if targets:
            ax.loglog(*zip(*targets), "kx", markersize=8, label="target")
        ax.set_xticks(d, [str(x) for x in d], minor=False)
        ax.minorticks_off()
        ax.set_title(title)
        ax.set_xlabel("features d")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    axes[0][0].set_ylabel("seconds per call (p50)")
    fig.suptitle(f"K={K}, {STEPS} sweeps, 32-bit mode", fontsize=10)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return True
