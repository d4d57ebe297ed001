"""The ``kovani-bci`` command line: fit, predict, update and inspect models; demo; compare.

Feature files are ``.npz`` archives with arrays ``X`` (n_trials, n_features) and ``y``
(n_trials,), or ``.csv`` files with one trial per row and the label in the last column (an
optional header row is skipped). Models are classifier files written by
:meth:`KovaniSoftmaxClassifier.save`; plain model files load too.
"""

from __future__ import annotations

import argparse
import csv
import os
import sys
import time

import numpy as np

PROG = "kovani-bci"


class CommandError(Exception):
    """A problem with the user's input, reported as one line without a traceback."""


# -- feature files ---------------------------------------------------------------------------

def _parse_labels(fields):
    """CSV label strings as int64 if all are integers, float64 if all are numbers, else str."""
    for kind in (int, float):
        try:
            return np.array([kind(f) for f in fields])
        except ValueError:
            continue
    return np.array(fields, dtype=str)


def _read_csv(path):
    with open(path, newline="") as f:
        rows = [(i, row) for i, row in enumerate(csv.reader(f), start=1)
                if row and any(cell.strip() for cell in row)]
    if not rows:
        raise CommandError(f"{path}: no trials in the file")

    def numeric(row):
        try:
            [float(c) for c in row[:-1]]
            return True
        except ValueError:
            return False

    if not numeric(rows[0][1]):
        rows = rows[1:]                                   # a header row
        if not rows:
            raise CommandError(f"{path}: no trials in the file, only a header")
    width = len(rows[0][1])
    X = np.empty((len(rows), width - 1))
    labels = []
    for r, (line, row) in enumerate(rows):
        if len(row) != width:
            raise CommandError(f"{path}: line {line} has {len(row)} fields; the first trial "
                               f"has {width}")
        for c, cell in enumerate(row[:-1]):
            try:
                X[r, c] = float(cell)
            except ValueError:
                raise CommandError(f"{path}: line {line}, column {c + 1}: {cell.strip()!r} "
                                   "is not a number") from None
        labels.append(row[-1].strip())
    return X, labels


def load_features(path, *, n_features=None, need_labels=True):
    """Read a feature file; return ``(X, y)`` with ``y`` None for an unlabelled file.

    ``n_features``, when given, decides whether a CSV's last column is a label (one column
    more than the model's features) or a feature (exactly the model's features).
    """
    from kovani_bci.kovani_io import read_archive

    if not os.path.exists(path):
        raise CommandError(f"no such file: {path}")
    suffix = os.path.splitext(path)[1].lower()
    if suffix == ".npz":
        try:
            entries = read_archive(path)
        except ValueError as exc:
            raise CommandError(str(exc)) from None
        if "X" not in entries:
            raise CommandError(f"{path}: no array 'X' (found: {', '.join(entries) or 'none'})")
        X, y = entries["X"], entries.get("y")
        if X.ndim != 2 or X.dtype.kind not in "biuf":
            raise CommandError(f"{path}: 'X' must be a 2-D numeric array (n_trials, "
                               f"n_features), got dtype {X.dtype} with shape {X.shape}")
        if y is not None:
            if y.ndim != 1 or y.dtype.kind not in "biufU":
                raise CommandError(f"{path}: 'y' must be a 1-D array of labels, got dtype "
                                   f"{y.dtype} with shape {y.shape}")
            if len(y) != len(X):
                raise CommandError(f"{path}: 'X' has {len(X)} rows but 'y' has {len(y)} "
                                   "labels")
    elif suffix == ".csv":
        try:
            X, labels = _read_csv(path)
        except (OSError, UnicodeDecodeError) as exc:
            raise CommandError(f"{path}: cannot read as CSV ({exc})") from None
        if n_features is not None and X.shape[1] + 1 == n_features:
            # Every column is a feature: the "label" column was the last feature.
            try:
                last = np.array([float(v) for v in labels])
            except ValueError:
                raise CommandError(f"{path}: the last column is not numeric, so it is a "
                                   f"label column, leaving {X.shape[1]} features; the model "
                                   f"expects {n_features}") from None
            X, y = np.column_stack([X, last]), None
        else:
            y = _parse_labels(labels)
    else:
        raise CommandError(f"{path}: unsupported file type {suffix or '(no suffix)'!r}; use "
                           ".npz (arrays X and y) or .csv (label in the last column)")
    if len(X) == 0:
        raise CommandError(f"{path}: no trials in the file")
    if n_features is not None and X.shape[1] != n_features:
        raise CommandError(f"{path}: {X.shape[1]} feature columns, but the model expects "
                           f"{n_features}")
    if need_labels and y is None:
        raise CommandError(f"{path}: no labels (an .npz needs an array 'y'; a .csv needs the "
                           "label in its last column)")
    return np.asarray(X, dtype=np.float64), y


def _load_classifier(path):
    from kovani_bci.estimator import KovaniSoftmaxClassifier

    try:
        return KovaniSoftmaxClassifier.load(path)
    except FileNotFoundError:
        raise CommandError(f"no such file: {path}") from None


# -- commands ---------------------------------------------------------------------------------

def cmd_fit(args, out):
    from kovani_bci.estimator import KovaniSoftmaxClassifier

    X, y = load_features(args.features)
    clf = KovaniSoftmaxClassifier(w_loc=args.w_loc, w_scale=args.w_scale, b_loc=args.b_loc,
                                  b_scale=args.b_scale, learning_rate=args.learning_rate,
                                  num_steps=args.num_steps,
                                  n_posterior_samples=args.posterior_samples,
                                  random_state=args.seed)
    clf.fit(X, y)
    clf.save(args.out)
    print(f"fitted {len(clf.classes_)} classes on {len(X)} trials x {X.shape[1]} features; "
          f"training accuracy {clf.score(X, y):.3f}; wrote {args.out}", file=out)


def cmd_update(args, out):
    clf = _load_classifier(args.model)
    X, y = load_features(args.features, n_features=clf.n_features_in_)
    before = list(clf.classes_)
    clf.partial_fit(X, y)
    clf.save(args.out)
    added = [c for c in clf.model_labels_.tolist() if c not in before]
    note = f"; new classes: {', '.join(map(str, added))}" if added else ""
    print(f"updated with {len(X)} trials{note}; wrote {args.out}", file=out)


def cmd_predict(args, out):
    clf = _load_classifier(args.model)
    if args.posterior_samples is not None:
        clf.set_params(n_posterior_samples=args.posterior_samples)
    X, y = load_features(args.features, n_features=clf.n_features_in_, need_labels=False)
    proba = clf.predict_proba(X)
    pred = clf.classes_[np.argmax(proba, axis=1)]
    writer = csv.writer(out, lineterminator="\n")
    if args.reject_below is not None:
        _write_with_abstentions(writer, clf, pred, proba, args)
    elif args.proba:
        writer.writerow(["prediction", *[f"p_{c}" for c in clf.classes_]])
        for label, row in zip(pred, proba):
            writer.writerow([label, *[f"{p:.6f}" for p in row]])
    else:
        for label in pred:
            writer.writerow([label])
    if y is not None:
        if y.dtype.kind != clf.classes_.dtype.kind and not (
                y.dtype.kind in "iuf" and clf.classes_.dtype.kind in "iuf"):
            y = y.astype(str)
            pred = pred.astype(str)
        print(f"accuracy {np.mean(pred == y):.3f} on {len(y)} labelled trials", file=sys.stderr)
        if args.reject_below is not None:
            decided = proba.max(axis=1) >= args.reject_below
            kept = (f"accuracy {np.mean(pred[decided] == y[decided]):.3f} on the decided trials"
                    if decided.any() else "no trial decided")
            print(f"decided {decided.sum()} of {len(y)} trials (coverage {decided.mean():.3f}); "
                  f"{kept}", file=sys.stderr)


def _write_with_abstentions(writer, clf, pred, proba, args):
    """A header row, then per trial its label (and probabilities) and 1 where the decoder
    abstains (top-class probability below --reject-below), else 0."""
    rejected = proba.max(axis=1) < args.reject_below
    columns = [f"p_{c}" for c in clf.classes_] if args.proba else []
    writer.writerow(["prediction", *columns, "abstained"])
    for label, row, no in zip(pred, proba, rejected):
        values = [f"{p:.6f}" for p in row] if args.proba else []
        writer.writerow([label, *values, int(no)])


def cmd_info(args, out):
    from kovani_bci.kovani_io import FORMAT_VERSION

    clf = _load_classifier(args.model)
    p = clf.model_.params
    labels = clf.model_labels_.tolist()
    counts = p["class_counts"].tolist()
    ref = labels[int(p["ref_class"])]
    rows = [
        ("file", f"{args.model} (format version {FORMAT_VERSION})"),
        ("model", f"{clf.model_.model_type}, backend {p['backend'].item()}, "
                  f"{p['beta_mean'].dtype}"),
        ("classes", f"{len(labels)}; reference class {ref!s}"),
        ("features", str(clf.n_features_in_)),
        ("trials", ", ".join(f"{c!s}: {n}" for c, n in zip(labels, counts))
         + f" (total {sum(counts)})"),
        ("prior", f"weights N({float(p['w_loc']):g}, {float(p['w_scale']):g}^2), "
                  f"intercepts N({float(p['b_loc']):g}, {float(p['b_scale']):g}^2)"),
        ("updates", f"{int(p['num_steps'])} sweeps, learning rate "
                    f"{float(p['learning_rate']):g}"),
        ("prediction", f"{clf.n_posterior_samples} posterior samples, seed {int(p['rng_seed'])}"),
    ]
    width = max(len(k) for k, _ in rows)
    for key, value in rows:
        print(f"{key:<{width}}  {value}", file=out)


def cmd_demo(args, out):
    from kovani_bci.demo import run_demo

    run_demo(seed=args.seed, figure_path=args.figure, n_blocks=args.blocks,
             trials_per_block=args.trials_per_block, out=out)


def cmd_compare(args, out):
    from kovani_bci.compare import run_compare

    run_compare(folds=args.folds, num_steps=args.num_steps,
                n_posterior_samples=args.posterior_samples, datasets=args.datasets,
                markdown=args.markdown, out=out)


# -- argument parsing -------------------------------------------------------------------------

def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be >= 1, got {value}")
    return value


def _probability(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not 0 <= value <= 1:
        raise argparse.ArgumentTypeError(f"must be in [0, 1], got {text}")
    return value


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG, description="Bayesian softmax decoding for brain-computer interfaces.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("demo", help="simulated motor-imagery session, decoded online",
                       description="Simulate a motor-imagery session, calibrate on the first "
                       "block, decode the rest trial by trial with online updates (one class "
                       "appears only later), print a summary table and write a figure.")
    p.add_argument("--seed", type=int, default=0, help="simulation seed (default 0)")
    p.add_argument("--figure", default=os.path.join("out", "demo.png"),
                   help="where to write the PNG figure (default out/demo.png); 'none' to skip")
    p.add_argument("--blocks", type=_positive_int, default=4, help="blocks (default 4)")
    p.add_argument("--trials-per-block", type=_positive_int, default=45,
                   help="trials per block (default 45)")
    p.set_defaults(func=cmd_demo)

    p = sub.add_parser("fit", help="fit a classifier to a feature file",
                       description="Fit a classifier to labelled trials and save it.")
    p.add_argument("features", metavar="FEATURES", help=".npz (X, y) or .csv (label last)")
    p.add_argument("--out", required=True, metavar="MODEL", help="model file to write")
    p.add_argument("--w-loc", type=float, default=0.0, help="prior mean of weights (0)")
    p.add_argument("--w-scale", type=float, default=1.0, help="prior scale of weights (1)")
    p.add_argument("--b-loc", type=float, default=0.0, help="prior mean of intercepts (0)")
    p.add_argument("--b-scale", type=float, default=10.0, help="prior scale of intercepts (10)")
    p.add_argument("--learning-rate", type=float, default=1.0, help="damping in (0, 1] (1)")
    p.add_argument("--num-steps", type=_positive_int, default=10, help="sweeps (10)")
    p.add_argument("--posterior-samples", type=_positive_int, default=100,
                   help="posterior draws for probabilities (100)")
    p.add_argument("--seed", type=int, default=0, help="seed of the posterior draws (0)")
    p.set_defaults(func=cmd_fit)

    p = sub.add_parser("predict", help="predict labels (or probabilities) for trials",
                       description="Print one predicted label per trial as CSV; with --proba "
                       "also the class probabilities. Labelled input also reports accuracy "
                       "on stderr.")
    p.add_argument("model", metavar="MODEL", help="model file")
    p.add_argument("features", metavar="FEATURES", help=".npz (X[, y]) or .csv")
    p.add_argument("--proba", action="store_true", help="also print class probabilities")
    p.add_argument("--posterior-samples", type=_positive_int, default=None,
                   help="override the model's number of posterior draws")
    p.add_argument("--reject-below", type=_probability, default=None, metavar="P",
                   help="abstain on trials whose top-class probability is below P (in [0, 1]): "
                   "the output gains a header row and an 'abstained' column (1: abstained)")
    p.set_defaults(func=cmd_predict)

    p = sub.add_parser("update", help="update a model online with new labelled trials",
                       description="Update a model with labelled trials (new labels add "
                       "classes) and save the result.")
    p.add_argument("model", metavar="MODEL", help="model file to start from")
    p.add_argument("features", metavar="FEATURES", help=".npz (X, y) or .csv (label last)")
    p.add_argument("--out", required=True, metavar="MODEL2", help="model file to write")
    p.set_defaults(func=cmd_update)

    p = sub.add_parser("info", help="describe a model file",
                       description="Print the classes, counts, prior and settings of a model.")
    p.add_argument("model", metavar="MODEL", help="model file")
    p.set_defaults(func=cmd_info)

    p = sub.add_parser("compare", help="compare with LogisticRegression on bundled data",
                       description="Five-fold cross-validated accuracy, log loss and expected "
                       "calibration error on scikit-learn's digits, wine and breast_cancer "
                       "data, against LogisticRegression (features standardised).")
    p.add_argument("--folds", type=_positive_int, default=5, help="CV folds (5)")
    p.add_argument("--num-steps", type=_positive_int, default=30, help="sweeps (30)")
    p.add_argument("--posterior-samples", type=_positive_int, default=100,
                   help="posterior draws for probabilities (100)")
    p.add_argument("--datasets", nargs="+", default=["digits", "wine", "breast_cancer"],
                   choices=["digits", "wine", "breast_cancer"], help="which data sets")
    p.add_argument("--markdown", action="store_true", help="print a Markdown table")
    p.set_defaults(func=cmd_compare)
    return parser


def main(argv=None, out=None):
    """Run the command line; return the exit status (0 ok, 1 bad input, 2 bad usage)."""
    out = sys.stdout if out is None else out
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:
        return 0 if exc.code is None else exc.code
    try:
        args.func(args, out)
    except (CommandError, ValueError, OSError) as exc:
        message = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        print(f"{PROG} {args.command}: error: {message}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
