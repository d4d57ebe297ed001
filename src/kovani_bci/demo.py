"""A simulated motor-imagery session decoded online: ``kovani-bci demo``.

Calibrate on the first block, then decode every later trial before learning from it
(predict, then update), as a live decoder would; a third class first appears half-way
through the session. Prints per-block accuracy, log loss and calibration, the latencies of
the features, predict and update of a trial, and writes a figure.

Two feature sets: log-variances of band-passed channels (8 channels, 16 features), or the
Riemannian tangent-space features of real pipelines (22 channels, their covariance matrices
mapped to the tangent space at the calibration block's mean: 253 features), computed trial by
trial in the loop from transformers fitted once on the calibration block.
"""

from __future__ import annotations

import os
import sys
import time

import numpy as np

from kovani_bci.datasets import CLASS_NAMES, make_motor_imagery_epochs
from kovani_bci.features import channels_for, describe, make_featurizer
from kovani_bci.metrics import (accuracy_coverage_curve, area_under_risk_coverage_curve,
                                 expected_calibration_error, information_transfer_rate,
                                 reliability_curve, select_reject_threshold)

_WINDOW = 20          # trials in the running-accuracy window
_BINS = 10            # confidence bins of the calibration metrics
_TRIAL_SECONDS = 4.0  # a trial with its cue and rest, for the information transfer rate


def _log_loss(y, proba, classes):
    """Mean negative log probability of the true class (clipped at 1e-15, as scikit-learn)."""
    col = {c: j for j, c in enumerate(classes)}
    p = proba[np.arange(len(y)), [col[c] for c in y]]
    return float(-np.mean(np.log(np.clip(p, 1e-15, 1.0)))) if len(y) else float("nan")


def _describe_calibration_model(clf, Z_calib, y_calib, Z_later, seed, out):
    """The fitted record through the functional API: reference class, training accuracy,
    posterior spread of a few weights, and plug-in against Monte-Carlo probabilities for
    the later trial where averaging over the posterior changes them most."""
    from kovani_bci.models.kovani_softmax import kovani_softmax_predict_proba

    model, labels = clf.model_, clf.model_labels_
    p = model.params
    L = p["beta_cov_chol"].astype(np.float64)
    sd = np.sqrt(np.sum(L * L, axis=2))               # diagonal of L L^T, per class row
    row_class = labels[int(p["non_ref_classes"][0])]
    print(f"Calibration model: reference class '{labels[int(p['ref_class'])]}' (logit 0), "
          f"training accuracy {np.mean(clf.predict(Z_calib) == y_calib):.3f}; posterior sd of "
          f"the first 4 weights of '{row_class}': "
          + ", ".join(f"{v:.3f}" for v in sd[0, :4]) + f" (intercept {sd[0, -1]:.3f})", file=out)
    plug_in = kovani_softmax_predict_proba(model, Z_later, 1, seed)
    mc = kovani_softmax_predict_proba(model, Z_later, 1000, seed)
    i = int(np.argmax(np.abs(plug_in - mc).max(axis=1)))
    pairs = ", ".join(f"{labels[k]} {plug_in[i, k]:.3f} vs {mc[i, k]:.3f}" for k in range(len(labels)))
    print(f"Later trial where posterior uncertainty matters most, plug-in vs Monte-Carlo "
          f"(1000 draws): {pairs}", file=out)


def session_epochs(features="log-variance", seed=0, n_blocks=4, trials_per_block=45, *,
                   n_channels=None, sfreq=128.0):
    """The demo's simulated session as raw trials: :func:`make_motor_imagery_epochs` with the
    demo's schedule (the late class first appears in block ``max(1, n_blocks // 2)``) and the
    montage of the feature set (``channels_for(features)`` channels unless ``n_channels``)."""
    n_channels = channels_for(features) if n_channels is None else n_channels
    return make_motor_imagery_epochs(n_blocks=n_blocks, trials_per_block=trials_per_block,
                                     late_block=max(1, n_blocks // 2), n_channels=n_channels,
                                     sfreq=sfreq, random_state=seed)


def _session_and_features(features, seed, n_blocks, trials_per_block):
    """The simulated trials and a feature map fitted on the calibration block (block 0).

    Returns ``(epochs, featurizer, description)``: ``featurizer.transform(trials)`` turns raw
    trials into standardised features, with every statistic fixed at calibration.
    """
    epochs = session_epochs(features, seed, n_blocks, trials_per_block)
    calib = epochs.block == 0
    featurizer = make_featurizer(features, epochs.sfreq).fit(epochs.trials[calib])
    return epochs, featurizer, describe(features, epochs.trials.shape[1])


def run_demo(seed=0, figure_path=os.path.join("out", "demo.png"), n_blocks=4,
             trials_per_block=45, out=None, progress=None, features="log-variance"):
    """Run the online session; return a dict of the per-trial results and the summary.

    ``features`` is ``"log-variance"`` (8 channels, 16 features) or ``"tangent-space"``
    (22 channels, 253 features; needs pyRiemann).
    """
    from sklearn.base import clone
    from tqdm.auto import tqdm

    from kovani_bci.estimator import KovaniSoftmaxClassifier

    # Block 0 calibrates on two classes; the third arrives in a later block, which then
    # needs a trial of each of the three.
    if not 2 <= n_blocks:
        raise ValueError(f"n_blocks must be at least 2, got {n_blocks!r}")
    if not 3 <= trials_per_block:
        raise ValueError(f"trials_per_block must be at least 3, got {trials_per_block!r}")
    out = sys.stdout if out is None else out
    progress = sys.stderr if progress is None else progress
    epochs, featurizer, description = _session_and_features(features, seed, n_blocks,
                                                             trials_per_block)
    late_block = epochs.late_block
    trials, y, block = epochs.trials, epochs.y, epochs.block
    calib, online = np.flatnonzero(block == 0), np.flatnonzero(block > 0)
    print(f"Simulated motor-imagery session (seed {seed}): {len(y)} trials in {n_blocks} "
          f"blocks, {description}.", file=out)
    print(f"Calibrating on block 0 ({len(calib)} trials: "
          f"{', '.join(sorted(set(y[calib])))}); '{epochs.late_class}' first appears in "
          f"block {late_block}.", file=out)

    # Feature statistics (standardisation, the tangent point) are the calibration block's,
    # fixed afterwards: the loop below computes each trial's features as it arrives.
    Z = featurizer.transform(trials)
    clf = KovaniSoftmaxClassifier(num_steps=5, n_posterior_samples=100, random_state=seed)
    clf.fit(Z[calib], y[calib])
    static = clone(clf).fit(Z[calib], y[calib])          # the same decoder, never updated
    _describe_calibration_model(clf, Z[calib], y[calib], Z[online], seed, out)

    # Compile both paths once before timing (a live system does this before the session).
    warm = clone(clf).fit(Z[calib], y[calib])
    warm.predict_proba(Z[:1])
    warm.partial_fit(Z[:1], y[:1])

    classes = np.array(sorted(CLASS_NAMES))
    proba = np.zeros((len(online), len(classes)))
    known = np.zeros(len(online), dtype=bool)       # was the true class known when decoded?
    t_features = np.zeros(len(online))
    t_predict = np.zeros(len(online))
    t_update = np.zeros(len(online))
    print(f"Decoding {len(online)} trials online (features, predict, then update with the "
          "true label):", file=progress)
    hits = 0
    with tqdm(total=len(online), file=progress, unit="trial", leave=True) as bar:
        for n, i in enumerate(online):
            t0 = time.perf_counter()
            z = featurizer.transform(trials[i:i + 1])
            t1 = time.perf_counter()
            p = clf.predict_proba(z)[0]
            t2 = time.perf_counter()
            proba[n, np.searchsorted(classes, clf.classes_)] = p
            known[n] = y[i] in clf.classes_
            hits += clf.classes_[np.argmax(p)] == y[i]
            t3 = time.perf_counter()
            clf.partial_fit(z, y[i:i + 1])
            t4 = time.perf_counter()
            t_features[n], t_predict[n], t_update[n] = t1 - t0, t2 - t1, t4 - t3
            bar.set_postfix_str(f"accuracy so far {hits / (n + 1):.2f}", refresh=False)
            bar.update()

    y_on = y[online]
    pred = classes[np.argmax(proba, axis=1)]
    correct = pred == y_on
    static_correct = static.predict(Z[online]) == y_on

    print("", file=out)
    header = (f"{'block':>5}  {'trials':>6}  {'classes':<28} {'online acc':>10}  "
              f"{'static acc':>10}  {'log loss':>8}  {'ECE':>5}")
    print(header, file=out)
    print("-" * len(header), file=out)
    blocks = [(str(b), block[online] == b) for b in range(1, n_blocks)]
    blocks.append(("all", np.ones(len(online), dtype=bool)))
    summary = {}
    for name, m in blocks:
        scored = m & known
        loss = _log_loss(y_on[scored], proba[scored], classes)
        ece = expected_calibration_error(y_on[scored], proba[scored], classes, _BINS)
        present = ", ".join(sorted(set(y_on[m]))) if name != "all" else "(online trials)"
        summary[name] = dict(accuracy=float(correct[m].mean()),
                             static_accuracy=float(static_correct[m].mean()),
                             log_loss=loss, ece=ece)
        print(f"{name:>5}  {m.sum():>6}  {present:<28} {correct[m].mean():>10.3f}  "
              f"{static_correct[m].mean():>10.3f}  {loss:>8.3f}  {ece:>5.3f}", file=out)
    unseen = int((~known).sum())
    print(f"(log loss and ECE leave out the {unseen} trial(s) whose class the decoder had not "
          "seen yet; 'static' is the calibration model without updates)", file=out)
    _describe_abstention(y_on[known], proba[known], classes, out)

    print("", file=out)
    print(f"{'latency (ms)':<14} {'p50':>7} {'p90':>7} {'p99':>7} {'max':>7}", file=out)
    for name, t in (("features", t_features), ("predict", t_predict), ("update", t_update)):
        q = np.percentile(t * 1e3, [50, 90, 99])
        print(f"{name:<14} {q[0]:>7.2f} {q[1]:>7.2f} {q[2]:>7.2f} {t.max() * 1e3:>7.2f}",
              file=out)
    print(f"(features: one trial's {Z.shape[1]} features from its raw signals; predict: one "
          "trial, 100 posterior draws; update: one trial, 5 sweeps; the first call of each "
          "after a new class compiles for the larger model)", file=out)

    result = dict(y=y_on, proba=proba, classes=classes, block=block[online], correct=correct,
                  static_correct=static_correct, known=known, t_features=t_features,
                  t_predict=t_predict, t_update=t_update, summary=summary,
                  late_class=epochs.late_class, late_block=late_block,
                  features=features, n_features=Z.shape[1])
    if figure_path and figure_path.lower() != "none":
        write_figure(result, figure_path)
        print(f"\nFigure: {figure_path}", file=out)
    return result


def _describe_abstention(y, proba, classes, out):
    """What abstaining on unsure trials would have given on the online trials."""
    if len(y) == 0:
        return
    choice = select_reject_threshold(y, proba, classes, trial_seconds=_TRIAL_SECONDS)
    accuracy = float(np.mean(classes[np.argmax(proba, axis=1)] == y))
    _, full = information_transfer_rate(accuracy, len(classes), _TRIAL_SECONDS)
    print(f"Abstaining: area under the risk-coverage curve {area_under_risk_coverage_curve(y, proba, classes):.3f}; "
          f"rejecting trials below p = {choice.threshold:.2f} decides {choice.coverage:.0%} of them at "
          f"accuracy {choice.accuracy:.3f}, {choice.bits_per_minute:.1f} bits/min against "
          f"{full:.1f} deciding all (Wolpaw, {_TRIAL_SECONDS:g} s per trial; threshold chosen on "
          "these same trials, so optimistic)", file=out)


def _running_mean(values, window):
    c = np.cumsum(np.insert(values.astype(float), 0, 0.0))
    n = np.arange(1, len(values) + 1)
    lo = np.maximum(n - window, 0)
    return (c[n] - c[lo]) / (n - lo)


def write_figure(result, path):
    """Running accuracy, true-class probability, reliability diagram and latency histograms."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    y, proba, classes = result["y"], result["proba"], result["classes"]
    trial = np.arange(1, len(y) + 1)
    fig, axes = plt.subplots(2, 3, figsize=(17, 8.5))
    fig.suptitle("kovani-bci demo: simulated motor-imagery session decoded online "
                 f"({result['n_features']} {result['features']} features)")

    ax = axes[0, 0]
    ax.plot(trial, _running_mean(result["correct"], _WINDOW), label="online updates")
    ax.plot(trial, _running_mean(result["static_correct"], _WINDOW), label="calibration only",
            linestyle="--")
    first_late = int(np.argmax(y == result["late_class"])) + 1
    blocks = result["block"]
    chance = np.array([1 / len(set(y[blocks == b])) for b in blocks])
    ax.step(trial, chance, where="mid", color="black", linewidth=0.7, alpha=0.5,
            label="chance")
    for b in np.unique(blocks):
        first = trial[blocks == b][0]
        if first > 1:
            ax.axvline(first - 0.5, color="grey", linewidth=0.8, alpha=0.6)
        ax.text(first + 1, 1.035, f"block {b}", fontsize=8, color="grey")
    ax.axvline(first_late, color="tab:red", linestyle=":",
               label=f"'{result['late_class']}' first appears")
    ax.set(title=f"Running accuracy (last {_WINDOW} trials)", xlabel="online trial",
           ylabel="accuracy", ylim=(0, 1.09))
    ax.legend(loc="lower left", fontsize=8)

    ax = axes[0, 1]
    col = {c: j for j, c in enumerate(classes)}
    p_true = proba[np.arange(len(y)), [col[c] for c in y]]
    for c in classes:
        m = y == c
        ax.scatter(trial[m], p_true[m], s=12, label=c)
    ax.axvline(first_late, color="tab:red", linestyle=":")
    ax.set(title="Predicted probability of the true class", xlabel="online trial",
           ylabel="p(true class)", ylim=(-0.02, 1.02))
    ax.legend(loc="lower right", fontsize=8)

    ax = axes[1, 0]
    k = result["known"]
    conf, acc, count = reliability_curve(y[k], proba[k], classes, _BINS)
    edges = np.linspace(0, 1, _BINS + 1)
    used = count > 0
    ax.bar(edges[:-1][used], acc[used], width=1 / _BINS, align="edge", alpha=0.6,
           edgecolor="black", label="accuracy per bin")
    ax.plot(conf[used], acc[used], "o-", color="tab:orange", label="(mean confidence, accuracy)")
    ax.plot([0, 1], [0, 1], color="black", linewidth=0.8, linestyle="--",
            label="perfect calibration")
    for x, a, n in zip(edges[:-1][used], acc[used], count[used]):
        ax.text(x + 0.5 / _BINS, min(a + 0.02, 0.97), str(n), ha="center", fontsize=7)
    ece = result["summary"]["all"]["ece"]
    ax.set(title=f"Reliability of online predictions (ECE {ece:.3f})",
           xlabel="confidence (top-class probability)", ylabel="accuracy", xlim=(0, 1),
           ylim=(0, 1))
    ax.legend(loc="upper left", fontsize=8)

    ax = axes[1, 1]
    times = {name: result[f"t_{name}"] * 1e3 for name in ("features", "predict", "update")}
    lo = max(min(t.min() for t in times.values()) * 0.8, 1e-3)
    bins = np.geomspace(lo, max(t.max() for t in times.values()) * 1.2, 40)
    for name, t in times.items():
        ax.hist(t, bins=bins, alpha=0.5, label=f"{name} (median {np.median(t):.2f} ms)")
    ax.set_xscale("log")
    ax.set(title="Latency per trial", xlabel="milliseconds (log scale)", ylabel="trials")
    ax.legend(fontsize=8)

    _abstention_panels(axes[0, 2], axes[1, 2], y[k], proba[k], classes)
    fig.tight_layout()
    directory = os.path.dirname(path)
    if directory:
        os.makedirs(directory, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def _abstention_panels(ax_curve, ax_itr, y, proba, classes):
    """Accuracy against coverage of the online predictions, and the information transfer
    rate each confidence threshold would give, the best one marked."""
    if len(y) == 0:
        return
    coverage, accuracy, thresholds = accuracy_coverage_curve(y, proba, classes)
    choice = select_reject_threshold(y, proba, classes, trial_seconds=_TRIAL_SECONDS)
    ax_curve.plot(coverage, accuracy, drawstyle="steps-post", label="decided trials")
    ax_curve.plot([choice.coverage], [choice.accuracy], "o", color="tab:red",
                  label=f"reject below p = {choice.threshold:.2f}")
    ax_curve.set(title="Abstaining when unsure: accuracy against coverage",
                 xlabel="coverage (share of trials decided)", ylabel="accuracy of decided trials",
                 xlim=(0, 1.02), ylim=(max(0.0, accuracy.min() - 0.05), 1.01))
    ax_curve.legend(loc="lower left", fontsize=8)

    _, per_minute = information_transfer_rate(accuracy, len(classes), _TRIAL_SECONDS, coverage)
    # Every threshold below the least confidence decides every trial.
    ax_itr.plot(np.r_[thresholds, 0.0], np.r_[per_minute, per_minute[-1]], drawstyle="steps-post")
    ax_itr.axvline(choice.threshold, color="tab:red", linestyle=":",
                   label=f"best: {choice.bits_per_minute:.1f} bits/min")
    ax_itr.set(title=f"Information transfer rate (Wolpaw, {_TRIAL_SECONDS:g} s per trial)",
               xlabel="confidence threshold (reject below)", ylabel="bits per minute", xlim=(0, 1))
    ax_itr.legend(loc="lower left", fontsize=8)


if __name__ == "__main__":
    from kovani_bci.cli import main

    sys.exit(main(["demo", *sys.argv[1:]]))
