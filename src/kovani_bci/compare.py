"""Cross-validated comparison with scikit-learn's LogisticRegression: ``kovani-bci compare``."""

from __future__ import annotations

import sys
import time

import numpy as np

from kovani_bci.metrics import expected_calibration_error

DATASETS = ("digits", "wine", "breast_cancer")


def _load(name):
    from sklearn import datasets

    return getattr(datasets, f"load_{name}")(return_X_y=True)


def _log_loss(y, proba, classes):
    col = {c: j for j, c in enumerate(classes.tolist())}
    p = proba[np.arange(len(y)), [col[c] for c in y.tolist()]]
    return float(-np.mean(np.log(np.clip(p, 1e-15, 1.0))))


def run_compare(folds=5, num_steps=30, n_posterior_samples=100, datasets=DATASETS,
                markdown=False, out=None, seed=0):
    """Stratified k-fold accuracy, log loss and ECE of both classifiers on each data set.

    Both run in a pipeline after ``StandardScaler`` (fitted on the training folds). Returns
    a list of result rows (dicts with per-fold means and standard deviations).
    """
    from sklearn.base import clone
    from sklearn.linear_model import LogisticRegression
    from sklearn.model_selection import StratifiedKFold
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    from kovani_bci.estimator import KovaniSoftmaxClassifier

    out = sys.stdout if out is None else out
    models = {
        "kovani_softmax": make_pipeline(StandardScaler(), KovaniSoftmaxClassifier(
            num_steps=num_steps, n_posterior_samples=n_posterior_samples, random_state=seed)),
        "LogisticRegression": make_pipeline(StandardScaler(),
                                            LogisticRegression(max_iter=2000)),
    }
    rows = []
    for name in datasets:
        X, y = _load(name)
        cv = StratifiedKFold(n_splits=folds, shuffle=True, random_state=seed)
        for model_name, template in models.items():
            acc, loss, ece, seconds = [], [], [], []
            for train, test in cv.split(X, y):
                model = clone(template)
                t0 = time.perf_counter()
                model.fit(X[train], y[train])
                seconds.append(time.perf_counter() - t0)
                proba = model.predict_proba(X[test])
                classes = model.classes_
                acc.append(np.mean(classes[np.argmax(proba, axis=1)] == y[test]))
                loss.append(_log_loss(y[test], proba, classes))
                ece.append(expected_calibration_error(y[test], proba, classes))
            rows.append(dict(dataset=name, n=len(y), d=X.shape[1], k=len(np.unique(y)),
                             model=model_name, accuracy=(np.mean(acc), np.std(acc)),
                             log_loss=(np.mean(loss), np.std(loss)),
                             ece=(np.mean(ece), np.std(ece)), fit_s=float(np.mean(seconds))))
    _print_table(rows, folds, markdown, out)
    return rows


def _print_table(rows, folds, markdown, out):
    def pm(v):
        return f"{v[0]:.3f} ± {v[1]:.3f}"

    if markdown:
        print(f"| data set (n, d, K) | model | accuracy | log loss | ECE | fit (s) |", file=out)
        print("|---|---|---|---|---|---|", file=out)
        for r in rows:
            print(f"| {r['dataset']} ({r['n']}, {r['d']}, {r['k']}) | {r['model']} | "
                  f"{pm(r['accuracy'])} | {pm(r['log_loss'])} | {pm(r['ece'])} | "
                  f"{r['fit_s']:.2f} |", file=out)
        return
    print(f"{folds}-fold stratified cross-validation, features standardised; mean ± sd over "
          "folds (ECE: 10 bins, top label)", file=out)
    header = (f"{'data set':<14} {'n':>5} {'d':>3} {'K':>3}  {'model':<19} {'accuracy':>13}  "
              f"{'log loss':>13}  {'ECE':>13}  {'fit s':>6}")
    print(header, file=out)
    print("-" * len(header), file=out)
    last = None
    for r in rows:
        lead = (f"{r['dataset']:<14} {r['n']:>5} {r['d']:>3} {r['k']:>3}" if r["dataset"] != last
                else " " * 28)
        last = r["dataset"]
        print(f"{lead}  {r['model']:<19} {pm(r['accuracy']):>13}  {pm(r['log_loss']):>13}  "
              f"{pm(r['ece']):>13}  {r['fit_s']:>6.2f}", file=out)
