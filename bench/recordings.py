"""Recorded EEG and MEG: learning curves and online runs against the usual BCI decoders.

    python -m bench.recordings --n-jobs 2      # the default run (38 minutes on 2 loaded cores)
    python -m bench.recordings --quick         # a smoke run (2 draws, 3 sizes; minutes)
    python -m bench.recordings --dask tcp://HOST:8786     # the draws on a Dask cluster

Data: the recorded sets of :func:`kovani_bci.datasets.load_recording`, their published
train/test split kept. Learning curves: for 5, 10, 20, 40 trials per class and all of the
train split, repeated random calibration sets drawn from the train split (the same draws for
every method and every feature set), features standardised on the calibration trials, every
method scored on the whole test split. Feature sets, as BCI practice chooses them:

- ``window means``: each channel's mean over consecutive windows (ERP-style downsampled
  signal; slow potentials, blinks, readiness potentials);
- ``log-variance``: each channel's log-variance in the delta, theta, alpha/mu and beta bands
  (band power; the alpha rhythm of closed eyes, motor rhythms);
- ``tangent space``: OAS covariance matrices mapped to the tangent space at their Riemannian
  mean over the calibration trials (pyRiemann); MDM classifies the covariances themselves;
- ``Xdawn tangent space``: covariances augmented with the class prototypes seen through
  Xdawn filters (pyRiemann's XdawnCovariances, the ERP standard), fitted on the calibration
  trials, then the tangent space; MDM on those covariances too.

Methods (``METHODS``; add a setting there and it appears in every table): this package's
defaults and ``w_scale=1``, LogisticRegression(C=1), LogisticRegressionCV (3 folds, log-loss
scoring), shrinkage LDA (lsqr, Ledoit-Wolf); MDM where covariances are the features.
Metrics: log loss, accuracy, top-label ECE (10 bins); mean over draws, and for every method
the standard error of its paired difference to the package's defaults.

Online: calibrate on 10 trials per class of the train split, then predict each test trial and
learn it, in a seeded random order (the files sort trials by class), against
LogisticRegression refitted on all trials so far after every trial and SGDClassifier
(log-loss, fitted on the calibration trials, then one ``partial_fit`` per trial).
"""

from __future__ import annotations

import argparse
import json
import time
import warnings
from pathlib import Path

import numpy as np

from bench.common import ROOT

SIZES = (5, 10, 20, 40, "all")
REFERENCE = "kovani defaults"
_FLOOR = 1e-15

# Windows of the window means, per recording (a few per second of trial, 40-140 features).
WINDOWS = {"Blink": 10, "EyesOpenShut": 4, "FingerMovements": 5, "HandMovementDirection": 8,
           "SelfRegulationSCP2": 6}
BANDS = ((1.0, 4.0), (4.0, 8.0), (8.0, 13.0), (13.0, 30.0))
# Feature sets per recording: eyes open or shut is a matter of rhythms, not of potentials.
FEATURE_SETS = {name: ("window means", "log-variance", "tangent space", "Xdawn tangent space")
                for name in WINDOWS}
FEATURE_SETS["EyesOpenShut"] = ("window means", "log-variance", "tangent space")
# The simple set each online run uses.
ONLINE_FEATURES = {name: "window means" for name in WINDOWS}
ONLINE_FEATURES["EyesOpenShut"] = "log-variance"
ONLINE_CALIBRATION = 10     # trials per class before the online trials


def _kovani(**settings):
    from kovani_bci import KovaniSoftmaxClassifier
    return KovaniSoftmaxClassifier(random_state=0, **settings)


def _lr():
    from sklearn.linear_model import LogisticRegression
    return LogisticRegression(C=1.0, max_iter=5000)


def _lr_cv():
    from sklearn.linear_model import LogisticRegressionCV
    return LogisticRegressionCV(cv=3, scoring="neg_log_loss", max_iter=5000)


def _slda():
    from sklearn.discriminant_analysis import LinearDiscriminantAnalysis
    return LinearDiscriminantAnalysis(solver="lsqr", shrinkage="auto")


#: Method name -> a factory of an unfitted scikit-learn classifier on the features.
METHODS = {
    REFERENCE: lambda: _kovani(),
    "kovani w_scale=1": lambda: _kovani(w_scale=1.0),
    "LR C=1": _lr,
    "LR-CV": _lr_cv,
    "sLDA": _slda,
}
#: The methods of METHODS that also run online (with partial_fit), before the online peers.
ONLINE_METHODS = (REFERENCE, "kovani w_scale=1")


# -- features ------------------------------------------------------------------------------------

def fixed_features(rec, trials):
    """The features that need nothing fitted: name -> per-trial array."""
    from pyriemann.estimation import Covariances
    from kovani_bci.datasets import log_variance_features, window_mean_features
    return {"window means": window_mean_features(trials, WINDOWS[rec.name]),
            "log-variance": log_variance_features(trials, rec.sfreq, bands=BANDS),
            "covariances": Covariances(estimator="oas").fit_transform(trials)}


def _standardise(Xc, Xt):
    mu, sd = Xc.mean(0), Xc.std(0)
    sd[sd == 0] = 1.0
    return (Xc - mu) / sd, (Xt - mu) / sd


def calibration_features(kind, fixed, raw, cal, test, y_cal):
    """Features of the calibration and test trials, every statistic fitted on the calibration
    trials; and the covariances MDM uses (None for the simple sets)."""
    from pyriemann.tangentspace import TangentSpace
    if kind in ("window means", "log-variance"):
        return (*_standardise(fixed[kind][cal], fixed[kind][test]), None, None)
    if kind == "tangent space":
        Cc, Ct = fixed["covariances"][cal], fixed["covariances"][test]
    else:
        from pyriemann.estimation import XdawnCovariances
        xd = XdawnCovariances(nfilter=2, estimator="oas", xdawn_estimator="oas")
        Cc = xd.fit_transform(raw[cal], y_cal)
        Ct = xd.transform(raw[test])
    ts = TangentSpace(metric="riemann").fit(Cc)
    return (*_standardise(ts.transform(Cc), ts.transform(Ct)), Cc, Ct)


# -- metrics -------------------------------------------------------------------------------------

def scores(y, proba):
    from kovani_bci.metrics import expected_calibration_error
    proba = np.asarray(proba, np.float64)
    return {"log loss": float(-np.mean(np.log(np.maximum(proba[np.arange(len(y)), y], _FLOOR)))),
            "accuracy": float(np.mean(proba.argmax(1) == y)),
            "ECE": expected_calibration_error(y, proba, np.arange(proba.shape[1]))}


def _proba(model, X, n_classes):
    proba = np.zeros((len(X), n_classes))
    proba[:, np.asarray(model.classes_, int)] = model.predict_proba(X)
    return proba


# -- draws ---------------------------------------------------------------------------------------

def draws(y_train, size, repeats, seed):
    """Index sets into the train split: ``size`` trials of each class, ``repeats`` times
    (one set for "all")."""
    if size == "all":
        return [np.arange(len(y_train))]
    out = []
    for r in range(repeats):
        rng = np.random.default_rng([seed, size, r])
        out.append(np.sort(np.concatenate([rng.permutation(np.flatnonzero(y_train == k))[:size]
                                           for k in np.unique(y_train)])))
    return out


def run_draw(key, kind, fixed, raw, y, cal, test, n_classes, x64):
    """All methods on one calibration set: ``key`` and ``{method: scores}``."""
    from kovani_bci.compare import _x64_mode
    out = {}
    with _x64_mode(x64), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        Xc, Xt, Cc, Ct = calibration_features(kind, fixed, raw, cal, test, y[cal])
        for name, make in METHODS.items():
            out[name] = scores(y[test], _proba(make().fit(Xc, y[cal]), Xt, n_classes))
        if Cc is not None:
            from pyriemann.classification import MDM
            out["MDM"] = scores(y[test], _proba(MDM().fit(Cc, y[cal]), Ct, n_classes))
    return key, out


def _trials(rec):
    """The recording's train then test trials, and their labels as class indices."""
    raw = np.concatenate([rec.X_train, rec.X_test])
    y = np.array([rec.classes.index(c) for c in np.concatenate([rec.y_train, rec.y_test])])
    return raw, y


def learning_curve_tasks(recordings, sizes, repeats, x64):
    from joblib import delayed
    tasks = []
    for i, rec in enumerate(recordings):
        raw, y = _trials(rec)
        n_train, K = len(rec.y_train), len(rec.classes)
        test = np.arange(n_train, len(y))
        fixed = fixed_features(rec, raw)
        counts = np.bincount(y[:n_train], minlength=K)
        for size in sizes:
            if size != "all" and size > counts.min():
                continue
            for r, cal in enumerate(draws(y[:n_train], size, repeats, seed=i)):
                for kind in FEATURE_SETS[rec.name]:
                    need = {k: v for k, v in fixed.items()
                            if k == kind or (k == "covariances" and kind == "tangent space")}
                    tasks.append(delayed(run_draw)(
                        (rec.name, kind, size, r), kind, need,
                        raw if kind == "Xdawn tangent space" else None, y, cal, test, K, x64))
    return tasks


def summarise(results):
    """Rows per (recording, features, size, method): mean and paired standard error."""
    rows = []
    groups = {}
    for (rec, kind, size, r), per_method in results.items():
        groups.setdefault((rec, kind, size), {})[r] = per_method
    for (rec, kind, size), by_draw in groups.items():
        draws_ = sorted(by_draw)
        methods = list(by_draw[draws_[0]])
        for m in methods:
            row = {"recording": rec, "features": kind, "size": size, "method": m,
                   "draws": len(draws_)}
            for metric in ("log loss", "accuracy", "ECE"):
                v = np.array([by_draw[r][m][metric] for r in draws_])
                ref = np.array([by_draw[r][REFERENCE][metric] for r in draws_])
                row[metric] = float(v.mean())
                diff = v if m == REFERENCE else v - ref
                row[metric + " se"] = (float(diff.std(ddof=1) / np.sqrt(len(diff)))
                                       if len(diff) > 1 else 0.0)
            rows.append(row)
    order = {n: i for i, n in enumerate(WINDOWS)}
    sizes = {s: i for i, s in enumerate(SIZES)}
    rows.sort(key=lambda r: (order[r["recording"]], FEATURE_SETS[r["recording"]].index(
        r["features"]), sizes[r["size"]]))
    return rows


# -- online --------------------------------------------------------------------------------------

def run_online(key, X, y, cal, stream, n_classes, x64):
    """Predict-then-learn through ``stream`` after fitting on ``cal``: ``key`` and scores
    per method."""
    from sklearn.linear_model import SGDClassifier
    from kovani_bci.compare import _x64_mode
    Xc, Xs = _standardise(X[cal], X[stream])
    ys = y[stream]
    out = {}
    with _x64_mode(x64), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name in ONLINE_METHODS:
            clf = METHODS[name]().fit(Xc, y[cal])
            proba = []
            for t in range(len(ys)):
                proba.append(_proba(clf, Xs[t:t + 1], n_classes)[0])
                clf.partial_fit(Xs[t:t + 1], ys[t:t + 1])
            out[name] = scores(ys, np.array(proba))
        seen_X, seen_y, proba = list(Xc), list(y[cal]), []
        for t in range(len(ys)):
            proba.append(_proba(_lr().fit(np.array(seen_X), np.array(seen_y)), Xs[t:t + 1],
                                n_classes)[0])
            seen_X.append(Xs[t])
            seen_y.append(ys[t])
        out["LR C=1, refitted every trial"] = scores(ys, np.array(proba))
        sgd = SGDClassifier(loss="log_loss", random_state=0).fit(Xc, y[cal])
        proba = []
        for t in range(len(ys)):
            proba.append(_proba(sgd, Xs[t:t + 1], n_classes)[0])
            sgd.partial_fit(Xs[t:t + 1], ys[t:t + 1])
        out["SGD (log loss)"] = scores(ys, np.array(proba))
    return key, out


def online_tasks(recordings, repeats, most, x64):
    from joblib import delayed
    tasks = []
    for i, rec in enumerate(recordings):
        raw, y = _trials(rec)
        X = fixed_features(rec, raw)[ONLINE_FEATURES[rec.name]]
        n_train = len(rec.y_train)
        for r, cal in enumerate(draws(y[:n_train], ONLINE_CALIBRATION, repeats, seed=100 + i)):
            stream = n_train + np.random.default_rng([200 + i, r]).permutation(
                len(y) - n_train)[:most]
            tasks.append(delayed(run_online)((rec.name, r), X, y, cal, stream,
                                             len(rec.classes), x64))
    return tasks


def summarise_online(results):
    rows = []
    groups = {}
    for (rec, r), per_method in results.items():
        groups.setdefault(rec, {})[r] = per_method
    for rec in [n for n in WINDOWS if n in groups]:
        by_draw = groups[rec]
        for m in by_draw[min(by_draw)]:
            row = {"recording": rec, "features": ONLINE_FEATURES[rec], "method": m,
                   "draws": len(by_draw)}
            for metric in ("log loss", "accuracy", "ECE"):
                v = np.array([by_draw[r][m][metric] for r in sorted(by_draw)])
                ref = np.array([by_draw[r][REFERENCE][metric] for r in sorted(by_draw)])
                diff = v if m == REFERENCE else v - ref
                row[metric] = float(v.mean())
                row[metric + " se"] = (float(diff.std(ddof=1) / np.sqrt(len(diff)))
                                       if len(diff) > 1 else 0.0)
            rows.append(row)
    return rows


# -- running -------------------------------------------------------------------------------------

def execute(tasks, n_jobs, dask, label):
    from joblib import Parallel
    from kovani_bci.compare import _joblib_backend, reach_scheduler, DASK_CONNECT_TIMEOUT
    if dask is not None:
        reach_scheduler(dask, DASK_CONNECT_TIMEOUT)
    out = {}
    started = time.monotonic()
    with _joblib_backend(n_jobs, dask, len(tasks)) as jobs:
        for i, (key, result) in enumerate(
                Parallel(n_jobs=jobs, return_as="generator_unordered")(tasks), start=1):
            out[key] = result
            if i % max(1, len(tasks) // 10) == 0 or i == len(tasks):
                print(f"  {label}: {i}/{len(tasks)} ({time.monotonic() - started:.0f} s)",
                      flush=True)
    return out


# -- output --------------------------------------------------------------------------------------

def _cell(row, metric, digits=3):
    return f"{row[metric]:.{digits}f} ± {row[metric + ' se']:.{digits}f}"


def markdown_curves(rows, metric):
    methods = list(dict.fromkeys(r["method"] for r in rows))
    lines = ["| recording | features | per class | " + " | ".join(methods) + " |",
             "|---|---|---|" + "---|" * len(methods)]
    better = min if metric != "accuracy" else max
    for key in dict.fromkeys((r["recording"], r["features"], r["size"]) for r in rows):
        cells = {r["method"]: r for r in rows if (r["recording"], r["features"], r["size"]) == key}
        best = better(c[metric] for c in cells.values())
        out = []
        for m in methods:
            if m not in cells:
                out.append("–")
                continue
            text = _cell(cells[m], metric)
            out.append(f"**{text}**" if cells[m][metric] == best else text)
        lines.append(f"| {key[0]} | {key[1]} | {key[2]} | " + " | ".join(out) + " |")
    return "\n".join(lines)


def markdown_online(rows):
    lines = ["| recording | features | method | log loss | accuracy | ECE |",
             "|---|---|---|---|---|---|"]
    for r in rows:
        lines.append(f"| {r['recording']} | {r['features']} | {r['method']} | "
                     f"{_cell(r, 'log loss')} | {_cell(r, 'accuracy')} | {_cell(r, 'ECE')} |")
    return "\n".join(lines)


def markdown_at(rows, size):
    """One size: a row per (recording, features), a column per method, cells "log loss ±
    paired SE (accuracy %)"; the lowest log loss of the row in bold."""
    rows = [r for r in rows if r["size"] == size]
    methods = list(dict.fromkeys(r["method"] for r in rows))
    lines = ["| recording | features | " + " | ".join(methods) + " |",
             "|---|---|" + "---|" * len(methods)]
    for key in dict.fromkeys((r["recording"], r["features"]) for r in rows):
        cells = {r["method"]: r for r in rows if (r["recording"], r["features"]) == key}
        best = min(c["log loss"] for c in cells.values())
        out = []
        for m in methods:
            if m not in cells:
                out.append("–")
                continue
            c = cells[m]
            se = f" ± {c['log loss se']:.3f}" if c["draws"] > 1 else ""
            text = f"{c['log loss']:.3f}{se} ({100 * c['accuracy']:.0f}%)"
            out.append(f"**{text}**" if c["log loss"] == best else text)
        lines.append(f"| {key[0]} | {key[1]} | " + " | ".join(out) + " |")
    return "\n".join(lines)


def markdown_online_wide(rows):
    methods = list(dict.fromkeys(r["method"] for r in rows))
    lines = ["| recording (features) | " + " | ".join(methods) + " |",
             "|---|" + "---|" * len(methods)]
    for rec in dict.fromkeys(r["recording"] for r in rows):
        cells = {r["method"]: r for r in rows if r["recording"] == rec}
        best = min(c["log loss"] for c in cells.values())
        out = []
        for m in methods:
            c = cells[m]
            text = (f"{c['log loss']:.3f} ± {c['log loss se']:.3f} "
                    f"({100 * c['accuracy']:.0f}%)")
            out.append(f"**{text}**" if c["log loss"] == best else text)
        lines.append(f"| {rec} ({cells[methods[0]]['features']}) | " + " | ".join(out) + " |")
    return "\n".join(lines)


def figure(rows, path):
    """Log loss against calibration size, one panel per recording, on the feature set where
    some method does best with all trials; the dotted line is chance."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    recs = list(dict.fromkeys(r["recording"] for r in rows))
    fig, axes = plt.subplots(2, 3, figsize=(13, 7.5))
    for ax, rec in zip(axes.flat, recs):
        mine = [r for r in rows if r["recording"] == rec]
        sizes = list(dict.fromkeys(r["size"] for r in mine))
        kind = min((r for r in mine if r["size"] == sizes[-1]),
                   key=lambda r: r["log loss"])["features"]
        chance = np.log(4 if rec == "HandMovementDirection" else 2)
        for m in dict.fromkeys(r["method"] for r in mine):
            pts = [r for r in mine if r["method"] == m and r["features"] == kind]
            if not pts:
                continue
            x = [sizes.index(r["size"]) for r in pts]
            ax.errorbar(x, [r["log loss"] for r in pts], yerr=[r["log loss se"] for r in pts],
                        marker="o", ms=3, capsize=2, label=m)
        ax.axhline(chance, color="grey", lw=0.8, ls=":")
        ax.set_ylim(0, 2 * chance)
        ax.set_xticks(range(len(sizes)), [str(s) for s in sizes])
        ax.set_title(f"{rec} ({kind})", fontsize=9)
        ax.set_xlabel("calibration trials per class")
        ax.set_ylabel("test log loss")
    handles, labels = max((ax.get_legend_handles_labels() for ax in axes.flat),
                          key=lambda hl: len(hl[1]))
    for ax in list(axes.flat)[len(recs):]:
        ax.axis("off")
    list(axes.flat)[-1].legend(handles, labels, loc="center", fontsize=9,
                               title="error bars: paired SE against kovani defaults")
    fig.tight_layout()
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    print(f"figure: {path}")


def main(argv=None):
    from kovani_bci.datasets import RECORDINGS, load_recording
    parser = argparse.ArgumentParser(prog="python -m bench.recordings",
                                     description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="2 draws at 5 and 20 per class and all, 60 online trials")
    parser.add_argument("--draws", type=lambda t: max(2, int(t)), default=None,
                        help="draws per size, at least 2 for a standard error (10)")
    parser.add_argument("--recordings", nargs="+", choices=RECORDINGS, default=list(RECORDINGS))
    parser.add_argument("--only", nargs="+", choices=("curves", "online"),
                        default=("curves", "online"))
    parser.add_argument("--n-jobs", type=int, default=None, help="local worker processes")
    parser.add_argument("--dask", metavar="ADDRESS", default=None,
                        help="run the draws on the workers of this Dask scheduler")
    parser.add_argument("--out", default=str(ROOT / "out"), help="folder of the tables")
    parser.add_argument("--figure", default=str(ROOT / "docs" / "recordings.png"))
    parser.add_argument("--tables", metavar="JSON", default=None,
                        help="print the compact tables of an earlier run's recordings.json")
    args = parser.parse_args(argv)
    if args.tables:
        saved = json.loads(Path(args.tables).read_text())
        if saved["curves"]:
            figure(saved["curves"], args.figure)
        for size in dict.fromkeys(r["size"] for r in saved["curves"]):
            print(f"\n### {size} trials per class\n\n" + markdown_at(saved["curves"], size))
        if saved["online"]:
            print("\n### Online\n\n" + markdown_online_wide(saved["online"]))
        return 0
    import jax
    x64 = bool(jax.config.jax_enable_x64)
    sizes = (5, 20, "all") if args.quick else SIZES
    repeats = args.draws or (2 if args.quick else 10)
    online_repeats, most = (1, 60) if args.quick else (3, None)
    recordings = [load_recording(n) for n in args.recordings]
    started = time.monotonic()
    curves, online, text = [], [], []
    if "curves" in args.only:
        tasks = learning_curve_tasks(recordings, sizes, repeats, x64)
        curves = summarise(execute(tasks, args.n_jobs, args.dask, "learning curves"))
        for metric in ("log loss", "accuracy", "ECE"):
            text.append(f"## Learning curves: {metric} (mean ± paired standard error of the "
                        f"difference to {REFERENCE}; {repeats} draws, 1 for all)\n\n"
                        + markdown_curves(curves, metric))
    if "online" in args.only:
        tasks = online_tasks(recordings, online_repeats, most, x64)
        online = summarise_online(execute(tasks, args.n_jobs, args.dask, "online"))
        text.append(f"## Online, predict then learn after {ONLINE_CALIBRATION} trials per class "
                    f"({online_repeats} orders)\n\n" + markdown_online(online))
    report = "\n\n".join(text)
    print("\n" + report)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "recordings.md").write_text(report + "\n")
    (out / "recordings.json").write_text(json.dumps({"curves": curves, "online": online},
                                                    indent=1))
    if curves:
        figure(curves, args.figure)
    print(f"\n{time.monotonic() - started:.0f} s; tables in {out / 'recordings.md'}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
