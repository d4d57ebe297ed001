"""Measured goals of abstention, transfer between subjects and forgetting under drift.

    python -m bench.bci_goals [--only abstention transfer drift] [--out out] [--quick]

1. Abstention: area under the risk-coverage curve (AURC, lower is better) of the posterior
   predictive confidence (100 draws) against the plug-in estimate (1 draw) of the same fit
   and LogisticRegression's probabilities, 5-fold cross-validated on the simulator and on
   scikit-learn's digits, wine and breast_cancer data.
2. Transfer: five simulated subjects build a population model; for a sixth, accuracy on the
   60 trials that follow a calibration of n trials, calibrated from the population model or
   fresh, averaged over several sixth subjects.
3. Drift: online accuracy (predict each trial, then learn from it) with and without the
   forgetting option, on sessions with strong channel-gain drift and without drift.

The widening factor of 2 and the forgetting factor of 3 are chosen on tuning seeds that the
reported numbers do not use. Prints Markdown tables, writes figures and a JSON summary
under --out. Takes about 10 minutes on a 2-core machine (--quick: a smoke run).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time

import numpy as np

from kovani_bci.datasets import log_variance_features, make_subjects, simulate_trials
from kovani_bci.metrics import accuracy_coverage_curve, area_under_risk_coverage_curve

SFREQ = 128.0
THREE = ("left_hand", "right_hand", "feet")
TWO = ("left_hand", "right_hand")


def _balanced_labels(rng, classes, n):
    """Every run of len(classes) trials holds each class once, in random order."""
    blocks = -(-n // len(classes))
    return np.concatenate([rng.permutation(classes) for _ in range(blocks)])[:n]


def _features(labels, seed, **simulation):
    trials = simulate_trials(labels, random_state=seed, **simulation)
    return log_variance_features(trials, SFREQ)


def _classifier(**params):
    from kovani_bci.estimator import KovaniSoftmaxClassifier

    # The settings these goals were measured with (the defaults then): a fixed prior scale,
    # and every online batch counted num_steps times.
    return KovaniSoftmaxClassifier(**{"random_state": 0, "w_scale": 1.0, "adaptation_rate": "sweeps",
                                      **params})


# -- 1. abstention ---------------------------------------------------------------------------

SIMULATED_SESSIONS = 5


def _datasets(quick):
    """Name -> list of (X, y): several simulated sessions (one alone is noisy), one of each
    bundled data set."""
    from sklearn import datasets

    sessions = []
    for seed in range(1 if quick else SIMULATED_SESSIONS):
        y = _balanced_labels(np.random.default_rng(seed), THREE, 150 if quick else 300)
        sessions.append((_features(y, 1 + seed), y))
    data = {"simulator": sessions}
    for name in ["wine"] if quick else ["digits", "wine", "breast_cancer"]:
        data[name] = [getattr(datasets, f"load_{name}")(return_X_y=True)]
    return data


def goal_abstention(out_dir, quick=False):
    from sklearn.linear_model import LogisticRegression
    from sklearn.model_selection import StratifiedKFold
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    rows, curves = [], {}
    for name, sessions in _datasets(quick).items():
        scores = {"posterior predictive (100 draws)": [], "plug-in (1 draw)": [],
                  "LogisticRegression": []}
        pooled = {key: ([], []) for key in scores}
        folds = [(X, y, train, test) for X, y in sessions
                 for train, test in StratifiedKFold(n_splits=5, shuffle=True, random_state=0).split(X, y)]
        for X, y, train, test in folds:
            kovani = make_pipeline(StandardScaler(), _classifier(num_steps=30)).fit(X[train], y[train])
            logreg = make_pipeline(StandardScaler(), LogisticRegression(max_iter=5000)).fit(X[train], y[train])
            probas = {"posterior predictive (100 draws)": kovani.predict_proba(X[test])}
            kovani[-1].set_params(n_posterior_samples=1)
            probas["plug-in (1 draw)"] = kovani.predict_proba(X[test])
            probas["LogisticRegression"] = logreg.predict_proba(X[test])
            for key, proba in probas.items():
                classes = kovani.classes_ if key != "LogisticRegression" else logreg.classes_
                accuracy = np.mean(classes[np.argmax(proba, axis=1)] == y[test])
                scores[key].append((area_under_risk_coverage_curve(y[test], proba, classes), accuracy))
                pooled[key][0].append(y[test])
                pooled[key][1].append(proba)
        curves[name] = {key: accuracy_coverage_curve(np.concatenate(v[0]), np.concatenate(v[1]),
                                                     np.unique(sessions[0][1]))[:2]
                        for key, v in pooled.items()}
        keys = list(scores)
        aurc = np.array([[a for a, _ in scores[key]] for key in keys])      # (3, folds)
        accuracy = np.array([[a for _, a in scores[key]] for key in keys])
        X, y = sessions[0]
        row = dict(dataset=name, sessions=len(sessions), n=len(y), d=X.shape[1], k=len(np.unique(y)),
                   folds=aurc.shape[1], models=keys, aurc=aurc.mean(axis=1).tolist(),
                   accuracy=accuracy.mean(axis=1).tolist(), aurc_folds=aurc.tolist())
        # Paired over folds: predictive minus each of the other two.
        diff = aurc[0] - aurc[1:]
        row["diff"] = diff.mean(axis=1).tolist()
        row["diff_se"] = (diff.std(axis=1, ddof=1) / np.sqrt(aurc.shape[1])).tolist()
        rows.append(row)
    print("\n### Abstention: area under the risk-coverage curve (AURC, lower is better; 5-fold CV, "
          "mean over folds; accuracy in brackets)\n")
    print("| data set (n, d, K) | posterior predictive, 100 draws | plug-in, 1 draw | LogisticRegression "
          "| predictive minus plug-in (± s.e.) | predictive minus LogisticRegression | lower than both |")
    print("|---|---|---|---|---|---|---|")
    for r in rows:
        name = r["dataset"] + (f", {r['sessions']} sessions" if r["sessions"] > 1 else "")
        cells = [f"{a:.5f} ({acc:.3f})" for a, acc in zip(r["aurc"], r["accuracy"])]
        diffs = [f"{d:+.5f} ± {se:.5f}" for d, se in zip(r["diff"], r["diff_se"])]
        print(f"| {name} ({r['n']}, {r['d']}, {r['k']}) | " + " | ".join(cells + diffs)
              + f" | {_verdict(r['diff'])} |")
    _plot_accuracy_coverage(curves, os.path.join(out_dir, "accuracy_coverage.png"))
    return rows


def _verdict(diffs, others=("plug-in", "LogisticRegression")):
    """'yes', or 'no' with where the predictive confidence ties or loses."""
    if all(d < -1e-9 for d in diffs):
        return "yes"
    words = [("lower than " if d < -1e-9 else "tie with " if abs(d) <= 1e-9 else "higher than ") + o
             for d, o in zip(diffs, others)]
    return "**no**: " + ", ".join(words)


def _plot_accuracy_coverage(curves, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(curves), figsize=(3.6 * len(curves), 3.2), squeeze=False)
    for ax, (name, models) in zip(axes[0], curves.items()):
        for (key, (coverage, accuracy)), style in zip(models.items(), ("-", "--", ":")):
            ax.plot(coverage, accuracy, style, label=key)
        ax.set(title=name.split(" (")[0], xlabel="coverage", xlim=(0, 1))
        ax.grid(alpha=0.3)
    axes[0, 0].set_ylabel("accuracy of decided trials")
    axes[0, 0].legend(fontsize=7, loc="lower left")
    fig.suptitle("Accuracy against coverage (5-fold CV, pooled test folds)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


# -- 2. transfer ----------------------------------------------------------------------------

TRANSFER_N = (3, 6, 9, 12, 18, 24, 30, 45, 60, 90, 120)
TEST_TRIALS = 60


def _transfer_replication(rep, widenings, n_values, pop_trials=200):
    """Accuracy on the next TEST_TRIALS trials after n calibration trials, for a fresh fit
    and for fits from the population model of five other subjects (one per widening)."""
    subjects = make_subjects(6, random_state=1000 + rep)
    population = []
    for i, subject in enumerate(subjects[:5]):
        y = _balanced_labels(np.random.default_rng(10 * rep + i), THREE, pop_trials)
        X = _features(y, 10 * rep + i, subject=subject, drift=0.0)
        population.append((X - X.mean(axis=0), y))      # each subject centred on its own
    scale = np.concatenate([X for X, _ in population]).std(axis=0)
    pop_model = _classifier().fit(np.concatenate([X for X, _ in population]) / scale,
                                  np.concatenate([y for _, y in population]))

    y = _balanced_labels(np.random.default_rng(10 * rep + 9), THREE, max(n_values) + TEST_TRIALS)
    X = _features(y, 10 * rep + 9, subject=subjects[5], drift=0.0)
    acc = np.zeros((1 + len(widenings), len(n_values)))
    for k, n in enumerate(n_values):
        Z = (X - X[:n].mean(axis=0)) / scale                # centred on the calibration trials
        test = slice(n, n + TEST_TRIALS)
        acc[0, k] = np.mean(_classifier().fit(Z[:n], y[:n]).predict(Z[test]) == y[test])
        for w, widening in enumerate(widenings, start=1):
            clf = _classifier(prior_widening=widening).fit(Z[:n], y[:n], prior=pop_model)
            acc[w, k] = np.mean(clf.predict(Z[test]) == y[test])
    return acc


def _trials_to_reach(curve, n_values, level):
    """Smallest n from which the mean accuracy stays at or above `level` (None if never)."""
    above = curve >= level
    for k in range(len(n_values)):
        if above[k:].all():
            return n_values[k]
    return None


def goal_transfer(out_dir, quick=False):
    n_values = TRANSFER_N[:5] if quick else TRANSFER_N
    grid = (1.0, 4.0, 16.0)
    tune = range(100, 101 if quick else 104)
    tuning = np.mean([_transfer_replication(r, grid, n_values) for r in tune], axis=0)
    widening = grid[int(np.argmax(tuning[1:].mean(axis=1)))]
    reps = 2 if quick else 16
    acc = np.array([_transfer_replication(r, (widening,), n_values) for r in range(reps)])
    mean, sd = acc.mean(axis=0), acc.std(axis=0) / np.sqrt(reps)
    need = {name: _trials_to_reach(mean[i], n_values, 0.75) for i, name in enumerate(("fresh", "transfer"))}
    print(f"\n### Transfer: accuracy on the next {TEST_TRIALS} trials after n calibration trials "
          f"(3 classes, mean ± s.e. over {reps} sixth subjects; widening {widening:g}, chosen on "
          f"{len(tune)} other replications from {', '.join(f'{g:g}' for g in grid)})\n")
    print("| calibration trials | fresh fit | from the population model |")
    print("|---|---|---|")
    for k, n in enumerate(n_values):
        print(f"| {n} | {mean[0, k]:.3f} ± {sd[0, k]:.3f} | {mean[1, k]:.3f} ± {sd[1, k]:.3f} |")
    print(f"\nTrials from which the mean accuracy stays ≥ 0.75: fresh {need['fresh']}, "
          f"from the population model {need['transfer']}.")
    _plot_transfer(n_values, mean, sd, widening, reps, os.path.join(out_dir, "transfer.png"))
    return dict(n=list(n_values), fresh=mean[0].tolist(), transfer=mean[1].tolist(),
                fresh_se=sd[0].tolist(), transfer_se=sd[1].tolist(), widening=widening,
                tuning_widenings=list(grid), tuning=tuning.tolist(), replications=reps,
                trials_to_075=need)


def _plot_transfer(n_values, mean, sd, widening, reps, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(5.2, 3.4))
    for i, label in enumerate(("fresh fit", f"from the population model (widening {widening:g})")):
        ax.errorbar(n_values, mean[i], yerr=sd[i], marker="o", markersize=3, capsize=2, label=label)
    ax.axhline(0.75, color="grey", linestyle=":", linewidth=1)
    ax.axhline(1 / 3, color="black", linewidth=0.6, alpha=0.5)
    ax.set_xscale("log")
    ax.set_xticks(n_values, [str(n) for n in n_values], fontsize=7)
    ax.set(xlabel="calibration trials of the new subject", ylabel=f"accuracy, next {TEST_TRIALS} trials",
           title=f"New subject, 3 classes (mean ± s.e., {reps} subjects)")
    ax.title.set_fontsize(9)
    ax.legend(fontsize=7, loc="lower right")
    ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


# -- 3. drift -------------------------------------------------------------------------------

DRIFT_TRIALS, DRIFT_CALIBRATION, STRONG_DRIFT = 600, 40, 3.0


def _online_session(seed, drift, factors, n_trials=DRIFT_TRIALS):
    """Per forgetting factor, whether each online trial was decoded right (predicted before
    the decoder learnt from it)."""
    from sklearn.preprocessing import StandardScaler

    y = np.random.default_rng(seed).permutation(np.resize(np.array(TWO), n_trials))
    X = _features(y, seed, drift=drift)
    Z = StandardScaler().fit(X[:DRIFT_CALIBRATION]).transform(X)
    hits = np.zeros((len(factors), n_trials - DRIFT_CALIBRATION), dtype=bool)
    for f, factor in enumerate(factors):
        clf = _classifier(forgetting_factor=factor).fit(Z[:DRIFT_CALIBRATION], y[:DRIFT_CALIBRATION])
        for t, i in enumerate(range(DRIFT_CALIBRATION, n_trials)):
            hits[f, t] = clf.predict(Z[i:i + 1])[0] == y[i]
            clf.partial_fit(Z[i:i + 1], y[i:i + 1])
    return hits


def goal_drift(out_dir, quick=False):
    grid = (0.995, 0.99, 0.98)
    n_trials = 200 if quick else DRIFT_TRIALS
    tune = range(100, 101 if quick else 104)
    gain = {d: np.mean([_online_session(s, d, (1.0, *grid), n_trials).mean(axis=1) for s in tune], axis=0)
            for d in (STRONG_DRIFT, 0.0)}
    # The factor with the largest gain under drift among those that cost at most 0.5 points
    # without drift, on the tuning seeds.
    allowed = [i for i in range(len(grid)) if gain[0.0][0] - gain[0.0][1 + i] <= 0.005] or [0]
    factor = grid[max(allowed, key=lambda i: gain[STRONG_DRIFT][1 + i])]
    seeds = range(2 if quick else 20)
    rows, running = {}, {}
    for drift in (STRONG_DRIFT, 0.0):
        hits = np.array([_online_session(s, drift, (1.0, factor), n_trials) for s in seeds])
        per_seed = hits.mean(axis=2)                         # (seeds, 2)
        diff = per_seed[:, 1] - per_seed[:, 0]
        rows[drift] = dict(without=per_seed[:, 0].mean(), with_=per_seed[:, 1].mean(),
                           diff=diff.mean(), diff_se=diff.std(ddof=1) / np.sqrt(len(seeds)))
        running[drift] = hits.mean(axis=0)
    print(f"\n### Drift: online accuracy over {n_trials - DRIFT_CALIBRATION} trials after "
          f"{DRIFT_CALIBRATION} calibration trials (2 classes, mean over {len(seeds)} sessions; "
          f"forgetting factor {factor:g}, chosen on {len(tune)} other sessions from "
          f"{', '.join(f'{g:g}' for g in grid)})\n")
    print("| channel-gain drift | without forgetting | with forgetting | difference (± s.e.) |")
    print("|---|---|---|---|")
    for drift, r in rows.items():
        print(f"| {drift:g}{' (strong)' if drift else ' (none)'} | {r['without']:.4f} | {r['with_']:.4f} | "
              f"{100 * r['diff']:+.2f} ± {100 * r['diff_se']:.2f} points |")
    _plot_drift(running, factor, len(seeds), os.path.join(out_dir, "drift.png"))
    return dict(factor=factor, tuning_grid=list(grid),
                tuning={str(d): g.tolist() for d, g in gain.items()},
                results={str(d): r for d, r in rows.items()}, sessions=len(seeds))


def _plot_drift(running, factor, n_seeds, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    window = 40
    fig, ax = plt.subplots(figsize=(5.2, 3.2))
    for drift, hits in running.items():
        kernel = np.ones(window) / window
        trial = np.arange(window, hits.shape[1] + 1) + DRIFT_CALIBRATION
        for f, (style, label) in enumerate((("--", "without forgetting"),
                                            ("-", f"forgetting factor {factor:g}"))):
            ax.plot(trial, np.convolve(hits[f], kernel, mode="valid"), style,
                    color="tab:red" if drift else "tab:blue",
                    label=f"{label}, drift {drift:g}")
    low = min(np.convolve(row, np.ones(window) / window, mode="valid").min()
              for hits in running.values() for row in hits)
    ax.set(xlabel="trial", ylabel=f"accuracy (last {window} trials)", ylim=(low - 0.12, 1.0),
           title=f"Online decoding, mean over {n_seeds} sessions")
    ax.title.set_fontsize(9)
    ax.legend(fontsize=6, loc="lower center", ncol=2)
    ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


GOALS = {"abstention": goal_abstention, "transfer": goal_transfer, "drift": goal_drift}


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m bench.bci_goals", description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", nargs="+", choices=list(GOALS), default=list(GOALS))
    parser.add_argument("--out", default="out", help="folder for figures and bci_goals.json (out)")
    parser.add_argument("--quick", action="store_true", help="a small smoke run, not the reported numbers")
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, "bci_goals.json")
    summary = {}
    if os.path.exists(path) and not args.quick:             # the goals not rerun keep their numbers
        with open(path) as f:
            summary = json.load(f)
    for name in args.only:
        t0 = time.perf_counter()
        summary[name] = GOALS[name](args.out, quick=args.quick)
        print(f"\n({name}: {time.perf_counter() - t0:.0f} s)", file=sys.stderr)
    with open(path, "w") as f:
        json.dump(summary, f, indent=1, default=float)
    print(f"\nFigures and {path} written.", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
