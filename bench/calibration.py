"""Short calibration and adaptation: learning curves and online runs, against the usual decoders.

    python -m bench.calibration            # the full run (hours on 2 busy cores)
    python -m bench.calibration --quick    # fewer draws, sizes and online trials (minutes)

Learning curves: for each data set and calibration size (trials per class: 5, 10, 20, 40,
80, and all but the test trials), repeated random calibration sets, each decoder fitted on
the set and scored on held-out trials of the same data set. Features standardised on the
calibration set. Decoders:
- kovani w_scale="auto" (the default: the posterior at the exact mode, from the variational
  bound's scale upward by the Laplace evidence: kovani_bci.laplace.fit_above), the former
  "auto" (the sweeps at the bound's scale) and w_scale=1 (the default before that);
- scikit-learn's LogisticRegression (C=1) and LogisticRegressionCV (3-fold, log loss);
- pyRiemann's MDM, on the simulator's covariance matrices (where it applies).
Data sets: the simulator (kovani_bci.datasets; 2 and 3 classes -- it simulates three --
log-variance features of 8 channels in 2 bands (16), and tangent-space features of their
8 x 8 covariances (36)); scikit-learn's digits, wine and breast cancer.

Online runs (predict each trial, then learn it): on the simulator with and without drift
(3 classes, log-variance features) and on random labels at 16 and 253 features (3
classes), from a calibration of 60 trials, each adaptation rate of the estimator, with the
old defaults (w_scale=1, the running update) beside them.

Metrics: log loss, accuracy, top-label ECE (10 bins), and for online runs the share of
predictions above 0.99; each the mean over draws with its standard deviation (±).
"""

from __future__ import annotations

import argparse
import time
import warnings

import numpy as np

from bench.common import ROOT

SIZES = (5, 10, 20, 40, 80, "all")
_FLOOR = 1e-15


# -- data ----------------------------------------------------------------------------------------

def _simulated(n_classes, features, seed, n=600, drift=0.5):
    from kovani_bci import datasets
    names = np.array(datasets.CLASS_NAMES[:n_classes])
    rng = np.random.default_rng(seed)
    labels = rng.permutation(np.resize(names, n))
    trials = datasets.simulate_trials(labels, drift=drift, random_state=seed)
    y = np.searchsorted(np.sort(names), labels)
    covs = np.einsum("nct,ndt->ncd", trials, trials) / trials.shape[-1]
    if features == "log-variance":
        return datasets.log_variance_features(trials, 128.0), y, covs
    return covs, y, covs          # tangent space is fitted on the calibration set


def data_sets():
    """Name -> (X, y, covariances or None, feature kind)."""
    from sklearn.datasets import load_breast_cancer, load_digits, load_wine
    out = {}
    for k in (2, 3):
        for kind in ("log-variance", "tangent-space"):
            X, y, covs = _simulated(k, kind, seed=10 + k)
            out[f"simulator {k} classes, {kind}"] = (X, y, covs, kind)
    for name, load in (("digits", load_digits), ("wine", load_wine),
                       ("breast cancer", load_breast_cancer)):
        X, y = load(return_X_y=True)
        out[name] = (X.astype(np.float64), y, None, "plain")
    return out


def features_of(kind, X_cal, X_test):
    """The calibration and test features, standardised on the calibration set."""
    if kind == "tangent-space":
        from pyriemann.tangentspace import TangentSpace
        ts = TangentSpace().fit(X_cal)
        X_cal, X_test = ts.transform(X_cal), ts.transform(X_test)
    mu, sd = X_cal.mean(0), X_cal.std(0)
    sd[sd == 0] = 1.0
    return (X_cal - mu) / sd, (X_test - mu) / sd


def draw(y, per_class, rng, n_test):
    """A calibration set of `per_class` trials of each class ("all": every non-test trial)
    and the held-out test trials."""
    order = rng.permutation(len(y))
    test, rest = order[:n_test], order[n_test:]
    if per_class == "all":
        return rest, test
    cal = np.concatenate([rest[y[rest] == k][:per_class] for k in np.unique(y)])
    return cal, test


# -- metrics -------------------------------------------------------------------------------------

def scores(y, proba):
    from kovani_bci.metrics import expected_calibration_error
    proba = np.asarray(proba, np.float64)
    p_true = proba[np.arange(len(y)), y]
    return {"log loss": float(-np.mean(np.log(np.maximum(p_true, _FLOOR)))),
            "accuracy": float(np.mean(proba.argmax(1) == y)),
            "ECE": expected_calibration_error(y, proba, np.arange(proba.shape[1])),
            "> 0.99": float(np.mean(proba.max(1) > 0.99))}


def full_proba(model, X, n_classes):
    """predict_proba with a column for every class (a class absent from calibration: 0)."""
    proba = np.zeros((len(X), n_classes))
    proba[:, model.classes_.astype(int)] = model.predict_proba(X)
    return proba


# -- decoders ------------------------------------------------------------------------------------

def decoders(with_mdm):
    from sklearn.linear_model import LogisticRegression, LogisticRegressionCV
    from kovani_bci import KovaniSoftmaxClassifier
    out = {
        "kovani auto": lambda: KovaniSoftmaxClassifier(w_scale="auto", random_state=0),
        "kovani former auto": lambda: former_auto(random_state=0),
        "kovani w_scale=1": lambda: KovaniSoftmaxClassifier(w_scale=1.0, random_state=0),
        "LR C=1": lambda: LogisticRegression(C=1.0, max_iter=2000),
        "LR CV": lambda: LogisticRegressionCV(cv=3, scoring="neg_log_loss", max_iter=2000),
    }
    if with_mdm:
        from pyriemann.classification import MDM
        out["MDM"] = MDM
    return out


def former_auto(**settings):
    """The classifier whose w_scale="auto" is the former one: the sweeps at the scale of the
    highest variational bound (kovani_bci.empirical_bayes.fit_auto_w_scale)."""
    from kovani_bci import KovaniSoftmaxClassifier
    clf = KovaniSoftmaxClassifier(**settings)
    clf._auto_fit = "bound"
    return clf


def learning_curves(sizes, repeats, n_test=200):
    rows = []
    for name, (X, y, covs, kind) in data_sets().items():
        K = len(np.unique(y))
        test_size = min(n_test, len(y) // 3)
        for size in sizes:
            if size != "all" and size * K > len(y) - test_size:
                continue
            results = {}
            for r in range(repeats):
                cal, test = draw(y, size, np.random.default_rng(1000 * r + 7), test_size)
                Xc, Xt = features_of(kind, X[cal], X[test])
                for dec, make in decoders(covs is not None).items():
                    if dec == "MDM":
                        model = make().fit(covs[cal], y[cal])
                        proba = full_proba(model, covs[test], K)
                    else:
                        t = time.perf_counter()
                        with warnings.catch_warnings():
                            warnings.simplefilter("ignore")
                            model = make().fit(Xc, y[cal])
                        proba = full_proba(model, Xt, K)
                    results.setdefault(dec, []).append(scores(y[test], proba))
            for dec, runs in results.items():
                rows.append({"data": name, "size": size, "decoder": dec, **_spread(runs)})
            print(f"  {name}, {size} per class: done", flush=True)
    return rows


def _spread(runs):
    out = {}
    for key in runs[0]:
        values = np.array([r[key] for r in runs])
        out[key] = float(values.mean())
        out[key + " sd"] = float(values.std(ddof=1)) if len(values) > 1 else 0.0
    return out


# -- online --------------------------------------------------------------------------------------

def online_streams(n_online, seed):
    """Name -> (X, y): 60 calibration trials, then the online ones."""
    n = 60 + n_online
    rng = np.random.default_rng(seed)
    out = {}
    for drift in (0.0, 1.5):
        X, y, _ = _simulated(3, "log-variance", seed=seed, n=n, drift=drift)
        out[f"simulator, drift {drift}"] = (X, y)
    for F in (16, 253):
        out[f"random labels, {F} features"] = (rng.normal(size=(n, F)), rng.integers(0, 3, n))
    return out


ONLINE = {
    "auto rate": dict(adaptation_rate="auto"),
    "once": dict(adaptation_rate="once"),
    "sweeps (defined update)": dict(adaptation_rate="sweeps"),
    "former auto scale, auto rate": dict(adaptation_rate="auto", former=True),
    "old defaults (w_scale=1, sweeps)": dict(adaptation_rate="sweeps", w_scale=1.0),
}


def online_runs(n_online, repeats):
    from kovani_bci import KovaniSoftmaxClassifier
    rows = []
    for r in range(repeats):
        for name, (X, y) in online_streams(n_online, seed=100 + r).items():
            Xc = X[:60]
            mu, sd = Xc.mean(0), Xc.std(0)
            X = (X - mu) / sd
            for label, settings in ONLINE.items():
                settings = dict(settings)
                make = former_auto if settings.pop("former", False) else KovaniSoftmaxClassifier
                clf = make(random_state=0, **settings).fit(X[:60], y[:60])
                proba, times = [], []
                for t in range(60, len(y)):
                    proba.append(full_proba(clf, X[t:t + 1], 3)[0])
                    start = time.perf_counter()
                    clf.partial_fit(X[t:t + 1], y[t:t + 1])
                    times.append(time.perf_counter() - start)
                s = scores(y[60:], np.array(proba))
                s["partial_fit ms"] = 1e3 * float(np.median(times))
                rows.append({"stream": name, "decoder": label, "run": r, **s})
        print(f"  online draw {r + 1}/{repeats}: done", flush=True)
    merged = []
    for key in dict.fromkeys((row["stream"], row["decoder"]) for row in rows):
        runs = [{k: v for k, v in row.items() if k not in ("stream", "decoder", "run")}
                for row in rows if (row["stream"], row["decoder"]) == key]
        merged.append({"stream": key[0], "decoder": key[1], **_spread(runs)})
    return merged


# -- cost ----------------------------------------------------------------------------------------

def cost(repeat):
    """Median ms of a fit at 20 trials and 253 features (auto against a fixed scale), and of
    a one-trial partial_fit at 253 features (the defaults against the running update with a
    fixed scale, the former defaults), 3 classes, timed in turns after warm-up."""
    from kovani_bci import KovaniSoftmaxClassifier
    rng = np.random.default_rng(0)
    X, y = rng.normal(size=(400, 253)), rng.integers(0, 3, 400)
    fits = {"fit, w_scale=1": KovaniSoftmaxClassifier(w_scale=1.0, random_state=0),
            "fit, w_scale=auto": KovaniSoftmaxClassifier(random_state=0),
            "fit, former w_scale=auto": former_auto(random_state=0)}
    learners = {"partial_fit, w_scale=1 + sweeps (former defaults)":
                KovaniSoftmaxClassifier(w_scale=1.0, adaptation_rate="sweeps", random_state=0),
                "partial_fit, once": KovaniSoftmaxClassifier(adaptation_rate="once", random_state=0),
                "partial_fit, defaults (auto rate)": KovaniSoftmaxClassifier(random_state=0)}
    for clf in learners.values():
        clf.fit(X[:60], y[:60])
    times = {name: [] for name in (*fits, *learners)}
    for i in range(repeat + 3):
        for name, clf in fits.items():
            start = time.perf_counter()
            clf.fit(X[:20], y[:20])
            times[name].append(time.perf_counter() - start)
        for name, clf in learners.items():
            start = time.perf_counter()
            clf.partial_fit(X[60 + i:61 + i], y[60 + i:61 + i])
            times[name].append(time.perf_counter() - start)
    return {name: 1e3 * float(np.median(t[3:])) for name, t in times.items()}


# -- output --------------------------------------------------------------------------------------

def _cell(row, key, digits=3):
    return f"{row[key]:.{digits}f} ± {row[key + ' sd']:.{digits}f}"


def print_tables(curves, online):
    if curves:
        print_curves(curves)
    if online:
        print_online(online)


def print_curves(curves):
    print("\n## Learning curves (log loss on held-out trials; mean ± sd over draws)\n")
    decs = list(dict.fromkeys(r["decoder"] for r in curves))
    print("| data | per class | " + " | ".join(decs) + " |")
    print("|---|---|" + "---|" * len(decs))
    for key in dict.fromkeys((r["data"], r["size"]) for r in curves):
        cells = {r["decoder"]: r for r in curves if (r["data"], r["size"]) == key}
        best = min(c["log loss"] for c in cells.values())
        out = []
        for d in decs:
            if d not in cells:
                out.append("–")
                continue
            text = _cell(cells[d], "log loss")
            out.append(f"**{text}**" if cells[d]["log loss"] == best else text)
        print(f"| {key[0]} | {key[1]} | " + " | ".join(out) + " |")
    print("\n## Learning curves: accuracy (mean over draws)\n")
    print("| data | per class | " + " | ".join(decs) + " |")
    print("|---|---|" + "---|" * len(decs))
    for key in dict.fromkeys((r["data"], r["size"]) for r in curves):
        cells = {r["decoder"]: r for r in curves if (r["data"], r["size"]) == key}
        print(f"| {key[0]} | {key[1]} | " + " | ".join(
            f"{cells[d]['accuracy']:.3f}" if d in cells else "–" for d in decs) + " |")


def print_online(online):
    print("\n## Online, predict then learn (after 60 calibration trials)\n")
    print("| stream | decoder | log loss | accuracy | ECE | > 0.99 | partial_fit ms |")
    print("|---|---|---|---|---|---|---|")
    for r in online:
        print(f"| {r['stream']} | {r['decoder']} | {_cell(r, 'log loss')} | "
              f"{_cell(r, 'accuracy')} | {_cell(r, 'ECE')} | {r['> 0.99']:.3f} | "
              f"{r['partial_fit ms']:.2f} |")
    print(f"\nchance log loss: 2 classes {np.log(2):.3f}, 3 classes {np.log(3):.3f}")


def print_cost(ms):
    print("\n## Cost (median ms, 3 classes, 253 features)\n")
    print("| call | ms | ratio |")
    print("|---|---|---|")
    base_fit = ms["fit, w_scale=1"]
    base_update = ms["partial_fit, w_scale=1 + sweeps (former defaults)"]
    for name, value in ms.items():
        base = base_fit if name.startswith("fit") else base_update
        print(f"| {name} | {value:.2f} | {value / base:.2f} |")


def figure(curves, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    names = list(dict.fromkeys(r["data"] for r in curves))
    cols = 4
    fig, axes = plt.subplots((len(names) + cols - 1) // cols, cols, figsize=(16, 7.5),
                             squeeze=False)
    for ax, name in zip(axes.flat, names):
        rows = [r for r in curves if r["data"] == name]
        sizes = list(dict.fromkeys(r["size"] for r in rows))
        for dec in dict.fromkeys(r["decoder"] for r in rows):
            pts = [r for r in rows if r["decoder"] == dec]
            x = [sizes.index(r["size"]) for r in pts]
            m = np.array([r["log loss"] for r in pts])
            s = np.array([r["log loss sd"] for r in pts])
            ax.errorbar(x, m, yerr=s, label=dec, capsize=2, marker="o", ms=3)
        ax.set_xticks(range(len(sizes)), [str(s) for s in sizes])
        ax.set_title(name, fontsize=9)
        ax.set_xlabel("calibration trials per class")
        ax.set_ylabel("log loss")
        ax.set_yscale("log")
    for ax in list(axes.flat)[len(names):]:
        ax.axis("off")
    axes.flat[0].legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"\nfigure: {path}")


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m bench.calibration",
                                     description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="2 draws, sizes 5, 10, 20 and all, 150 online trials")
    parser.add_argument("--figure", default=str(ROOT / "docs" / "calibration.png"))
    parser.add_argument("--only", choices=("curves", "online", "cost"), nargs="*",
                        default=("curves", "online", "cost"))
    args = parser.parse_args(argv)
    sizes, repeats, n_online, online_repeats = ((5, 10, 20, "all"), 2, 150, 1) if args.quick \
        else (SIZES, 8, 600, 3)
    curves, online, ms = [], [], {}
    if "curves" in args.only:
        print(f"learning curves: sizes {sizes}, {repeats} draws", flush=True)
        curves = learning_curves(sizes, repeats)
    if "online" in args.only:
        print(f"online: {n_online} trials, {online_repeats} draws", flush=True)
        online = online_runs(n_online, online_repeats)
    if "cost" in args.only:
        ms = cost(20 if args.quick else 100)
    print_tables(curves, online)
    if ms:
        print_cost(ms)
    if curves:
        figure(curves, args.figure)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
