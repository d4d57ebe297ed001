"""What the monitor page and the report show of a session: numbers and Plotly figures.

:func:`session_view` reads a session file (opened read-only, see
:meth:`kovani_bci.live.session.Session.read_only`) and returns one JSON-ready dictionary:
the summary that ``kovani-bci online`` prints (:func:`kovani_bci.live.online.summarize`, the
same numbers), the overall accuracy and abstention rate, the figures (Plotly's figure
schema: ``data`` and ``layout``, drawn in the browser by the plotly.js that ships inside
the ``plotly`` package), the reports with the classes as they were learnt, and the
session's and classifier's settings. Figures are built as plain dictionaries: Plotly's
Python figure objects validate every property, which would cost the monitor tens of
milliseconds per trial on a machine that also runs the decoder.

Accuracy counts decided trials whose label is known, abstentions apart; the abstention rate
is over all decided trials. The confusion matrix and the reliability diagram use the
decided trials with a known label: the reliability diagram bins the top class probability
and plots each bin's mean against the share of trials whose top class was the label.
"""

from __future__ import annotations

import html
import io
import math
import time

import numpy as np

from kovani_bci.live.online import summarize

__all__ = ["session_view", "FIGURES"]

FIGURES = ("accuracy", "latency", "proba", "confusion", "reliability")
LAST_TRIALS = 20               # trials in the probabilities figure
ROLLING = 20                   # trials in the rolling accuracy
BINS = 10                      # reliability bins of the top class probability
_COLUMNS = ("seq", "number", "marker", "phase", "status", "label", "decision", "top_label",
            "proba", "received", "latency", "learn_step")
_PALETTE = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2",
            "#7f7f7f", "#bcbd22", "#17becf")


def _finite(x):
    """A float for JSON (NaN and infinities become None)."""
    return float(x) if x is not None and math.isfinite(x) else None


def _text(value) -> str:
    """A label or marker as text Plotly shows literally (it reads a few HTML tags)."""
    return html.escape(str(value), quote=False)


def _layout(title, **more):
    layout = dict(title=dict(text=title, font=dict(size=14), x=0.01, xanchor="left"),
                  margin=dict(l=55, r=15, t=40, b=80), height=300,
                  legend=dict(orientation="h", y=-0.3, yanchor="top", font=dict(size=11)),
                  paper_bgcolor="white", plot_bgcolor="#f7f7f9", uirevision="keep")
    layout.update(more)
    return layout


def _trial_number(row) -> int:
    return row["number"] if row["number"] is not None else row["seq"]


def session_view(session, model_cache=None) -> dict:
    """The page's contents for ``session`` (call inside :meth:`Session.snapshot` for one
    consistent state). ``model_cache``: a dict kept between calls, so that the classifier's
    settings are read again only when the model changed."""
    summary = summarize(session)
    settings = session.meta_json("settings") or {}
    rows = session.trials(_COLUMNS)
    reports = session.timed_reports()
    classes = _classes(rows)
    decided = [r for r in rows if r["status"] == "decided"]
    labelled = [r for r in decided if r["label"] is not None]
    answered = [r for r in labelled if r["decision"] != "abstain"]
    correct = sum(r["decision"] == r["label"] for r in answered)
    times = [r["received"] for r in rows if r["received"] is not None] + [t for t, _ in reports]
    start = min(times) if times else 0.0
    blocks = [dict(block=int(b), accuracy=_finite(a), decided=n, abstained=ab)
              for b, (a, n, ab) in summary["accuracy_by_block"].items()]
    numbers = dict(
        trials=summary["trials"], decided=summary["decided"], abstained=summary["abstained"],
        collected=summary["collected"], gaps=summary["gaps"], no_data=summary["no_data"],
        bad=summary["bad"] + summary["flat"],
        missed=summary["missed"], learnt=summary["learnt"], reports=summary["reports"],
        accuracy=correct / len(answered) if answered else None, accuracy_trials=len(answered),
        abstention_rate=summary["abstained"] / summary["decided"] if summary["decided"] else None,
        latency_ms_p50=_finite(summary["latency_ms_p50"]),
        latency_ms_p99=_finite(summary["latency_ms_p99"]),
        latency_ms_max=_finite(summary["latency_ms_max"]), blocks=blocks)
    block_trials = int(settings.get("block_trials", 45))
    figures = dict(accuracy=_accuracy_figure(decided, blocks, block_trials, len(classes)),
                   latency=_latency_figure(decided, start, numbers),
                   proba=_proba_figure(decided, classes),
                   confusion=_confusion_figure(labelled, classes),
                   reliability=_reliability_figure(labelled))
    return dict(session=session.path, phase=session.meta("phase"), generated=time.time(),
                summary=numbers, figures=figures, classes=classes,
                reports=_reports(reports, rows, start),
                settings=_settings(settings),
                classifier=_classifier(session, model_cache if model_cache is not None else {}))


def _classes(rows) -> list:
    """Every class in the order the session met it (labels, decisions, probabilities)."""
    seen = {}
    for r in rows:
        for c in (r["proba"] or {}):
            seen.setdefault(c, None)
        if r["label"] is not None:
            seen.setdefault(r["label"], None)
    return list(seen)


# -- figures ------------------------------------------------------------------------------------

def _accuracy_figure(decided, blocks, block_trials, n_classes):
    x, running, rolling, abstention = [], [], [], []
    hits, n, window, abstained = 0, 0, [], 0
    for k, r in enumerate(decided, 1):
        abstained += r["decision"] == "abstain"
        if r["label"] is not None and r["decision"] != "abstain":
            ok = r["decision"] == r["label"]
            hits, n = hits + ok, n + 1
            window = (window + [ok])[-ROLLING:]
        x.append(_trial_number(r))
        running.append(hits / n if n else None)
        rolling.append(sum(window) / len(window) if window else None)
        abstention.append(abstained / k)
    data = [
        dict(type="bar", name="accuracy by block",
             x=[(b["block"] + 0.5) * block_trials + 0.5 for b in blocks],
             y=[b["accuracy"] for b in blocks], width=block_trials * 0.9,
             marker=dict(color="rgba(31,119,180,0.18)"),
             customdata=[[b["block"], b["decided"], b["abstained"]] for b in blocks],
             hovertemplate="block %{customdata[0]}: %{y:.3f} on %{customdata[1]} trial(s), "
                           "%{customdata[2]} abstained<extra></extra>"),
        dict(type="scatter", mode="lines", name="running accuracy", x=x, y=running,
             line=dict(color=_PALETTE[0], width=2.5)),
        dict(type="scatter", mode="lines", name=f"last {ROLLING} trials", x=x, y=rolling,
             line=dict(color=_PALETTE[2], width=1.5)),
        dict(type="scatter", mode="lines", name="abstention rate", x=x, y=abstention,
             line=dict(color=_PALETTE[3], width=1.5, dash="dot")),
    ]
    shapes = []
    if n_classes >= 2:
        shapes.append(dict(type="line", xref="paper", x0=0, x1=1, y0=1 / n_classes,
                           y1=1 / n_classes, line=dict(color="#999", dash="dash", width=1)))
    return dict(data=data, layout=_layout(
        "Running accuracy (labelled decided trials) and abstention rate",
        xaxis=dict(title=dict(text="trial")), yaxis=dict(range=[0, 1.02]), shapes=shapes,
        bargap=0))


def _latency_figure(decided, start, numbers):
    pts = [(r["received"] - start, r["latency"] * 1e3, _trial_number(r)) for r in decided
           if r["latency"] is not None and r["received"] is not None]
    x = [p[0] for p in pts]
    data = [dict(type="scatter", mode="markers", name="decision latency", x=x,
                 y=[p[1] for p in pts], customdata=[p[2] for p in pts],
                 marker=dict(size=5, color=_PALETTE[0]),
                 hovertemplate="trial #%{customdata}: %{y:.2f} ms<extra></extra>")]
    for key, name, color in (("latency_ms_p50", "p50", _PALETTE[2]),
                             ("latency_ms_p99", "p99", _PALETTE[3])):
        value = numbers[key]
        if value is not None and x:
            data.append(dict(type="scatter", mode="lines", name=f"{name} {value:.2f} ms",
                             x=[min(x), max(x)], y=[value, value],
                             line=dict(color=color, dash="dash", width=1.5)))
    p50, p99 = numbers["latency_ms_p50"], numbers["latency_ms_p99"]
    title = "Decision latency (window complete → decision pushed)"
    if p50 is not None:
        title = f"Decision latency: p50 {p50:.2f} ms, p99 {p99:.2f} ms"
    return dict(data=data, layout=_layout(
        title, xaxis=dict(title=dict(text="seconds since the session started")),
        yaxis=dict(title=dict(text="ms"), rangemode="tozero")))


def _proba_figure(decided, classes):
    last = decided[-LAST_TRIALS:]
    x = [f"#{_trial_number(r)}" for r in last]
    about = [f"decided {_text(r['decision'])}, true label "
             f"{'not known yet' if r['label'] is None else _text(r['label'])}" for r in last]
    data = [dict(type="bar", name=_text(c), x=x, y=[(r["proba"] or {}).get(c, 0.0) for r in last],
                 customdata=about, marker=dict(color=_PALETTE[i % len(_PALETTE)]),
                 hovertemplate=f"{_text(c)}: %{{y:.3f}}<br>%{{customdata}}<extra></extra>")
            for i, c in enumerate(classes)]
    # Above each bar: the decided class's initial, green when right, red when wrong, grey
    # while the label is not known; "–" for an abstention.
    marks, colours = [], []
    for r in last:
        if r["decision"] == "abstain":
            marks.append("–")
        else:
            marks.append(_text(str(r["decision"])[:1].upper()))
        colours.append("#888" if r["label"] is None or r["decision"] == "abstain" else
                       "#1b7a3a" if r["decision"] == r["label"] else "#c0262d")
    data.append(dict(type="scatter", mode="text", x=x, y=[1.06] * len(last), text=marks,
                     textfont=dict(color=colours, size=13), showlegend=False,
                     customdata=about, hovertemplate="%{customdata}<extra></extra>",
                     cliponaxis=False))
    return dict(data=data, layout=_layout(
        f"Last {LAST_TRIALS} decisions: class probabilities (letter: decided class, green "
        "right, red wrong)", barmode="stack",
        yaxis=dict(range=[0, 1.12], tickvals=[0, 0.25, 0.5, 0.75, 1]),
        xaxis=dict(type="category", tickfont=dict(size=10))))


def _confusion_figure(labelled, classes):
    columns = classes + (["abstain"] if any(r["decision"] == "abstain" for r in labelled)
                         else [])
    index = {c: i for i, c in enumerate(columns)}
    z = np.zeros((len(classes), len(columns)), dtype=int)
    for r in labelled:
        if r["label"] in index and r["decision"] in index:
            z[index[r["label"]], index[r["decision"]]] += 1
    data = [dict(type="heatmap", z=z.tolist(), x=[_text(c) for c in columns],
                 y=[_text(c) for c in classes], colorscale=[[0, "#f4f8fc"], [1, "#1f5fa8"]],
                 texttemplate="%{z}",
                 showscale=False, hovertemplate="true %{y}, decided %{x}: %{z}<extra></extra>")]
    return dict(data=data, layout=_layout(
        "Confusion matrix of the online decisions",
        xaxis=dict(title=dict(text="decided"), type="category"),
        yaxis=dict(title=dict(text="true label"), type="category", autorange="reversed",
                   automargin=True)))


def reliability(labelled, bins=BINS):
    """``(mean top probability, share correct, count)`` per non-empty bin of the top class
    probability, and the expected calibration error (count-weighted mean gap)."""
    conf = np.array([max(r["proba"].values()) for r in labelled if r["proba"]], dtype=float)
    hit = np.array([r["top_label"] == r["label"] for r in labelled if r["proba"]], dtype=float)
    which = np.minimum((conf * bins).astype(int), bins - 1)
    out = []
    for b in range(bins):
        m = which == b
        if m.any():
            out.append((float(conf[m].mean()), float(hit[m].mean()), int(m.sum())))
    ece = (sum(n * abs(c - a) for c, a, n in out) / len(conf)) if len(conf) else None
    return out, ece


def _reliability_figure(labelled):
    points, ece = reliability(labelled)
    total = max(sum(n for _, _, n in points), 1)
    data = [dict(type="scatter", mode="lines", name="perfectly calibrated", x=[0, 1], y=[0, 1],
                 line=dict(color="#999", dash="dash", width=1)),
            dict(type="scatter", mode="lines+markers", name="top class",
                 x=[p[0] for p in points], y=[p[1] for p in points],
                 customdata=[p[2] for p in points],
                 marker=dict(size=[6 + 24 * math.sqrt(p[2] / total) for p in points],
                             color=_PALETTE[1]),
                 hovertemplate="confidence %{x:.3f}: %{y:.3f} correct on %{customdata} "
                               "trial(s)<extra></extra>")]
    title = "Reliability of the top class probability"
    if ece is not None:
        title += f" (calibration error {ece:.3f})"
    return dict(data=data, layout=_layout(
        title, xaxis=dict(title=dict(text="top class probability"), range=[0, 1.02]),
        yaxis=dict(title=dict(text="share correct"), range=[0, 1.02])))


# -- reports and settings -------------------------------------------------------------------------

def _kind(text: str) -> str:
    if text.startswith("missed"):
        return "missed"
    if "gap" in text or "not decoded" in text or "stopped" in text or "went back" in text:
        return "gap"
    if text.startswith(("marker", "label")) or "came twice" in text or "ignored" in text:
        return "marker"
    return "info"


def _reports(reports, rows, start):
    """The session's reports, and one line for each class the classifier learnt after its
    first fit (the first trial of a new label), in time order."""
    out = [dict(time=t - start, text=text, kind=_kind(text)) for t, text in reports]
    first_fit = min((r["learn_step"] for r in rows if r["learn_step"] is not None), default=None)
    known = set()
    for r in sorted((r for r in rows if r["learn_step"] is not None),
                    key=lambda r: r["learn_step"]):
        if r["label"] not in known:
            known.add(r["label"])
            if r["learn_step"] != first_fit and r["received"] is not None:
                out.append(dict(time=r["received"] - start, kind="class",
                                text=f"new class {r['label']!r}: first learnt from trial "
                                     f"#{_trial_number(r)}"))
    out.sort(key=lambda e: e["time"])
    return out


def _settings(settings):
    out = []
    for key, value in settings.items():
        if key == "channel_names":
            names = ", ".join(map(str, value[:12])) + (" ..." if len(value) > 12 else "")
            out.append(["channels", f"{len(value)}: {names}"])
        elif key == "reject_below" and value is None:
            out.append([key, "the classifier's own"])
        else:
            out.append([key, "none" if value is None else str(value)])
    return out


def _classifier(session, cache):
    """The classifier's settings, read from the classifier file in the session (no JAX)."""
    data, step = session.model_bytes()
    if data is None:
        return []
    if cache.get("step") == step and cache.get("size") == len(data):
        return cache["rows"]
    from kovani_bci.empirical_bayes import AUTO, RATES
    from kovani_bci.kovani_io import EXTRA_PREFIX

    with np.load(io.BytesIO(data), allow_pickle=False) as f:
        get = lambda key: f[key] if key in f.files else None       # noqa: E731
        labels = get(EXTRA_PREFIX + "class_labels")
        labels = (labels.tolist() if labels is not None
                  else list(range(int(get("n_classes")))))
        counts = get("class_counts").tolist()
        scale = float(get("w_scale"))
        auto_scale = get(EXTRA_PREFIX + "w_scale") is not None
        rate = get(EXTRA_PREFIX + "adaptation_rate")
        rate = "sweeps" if rate is None else str(rate)
        losses = get(EXTRA_PREFIX + "rate_losses")
        reject = get(EXTRA_PREFIX + "reject_below")
        forgetting = get(EXTRA_PREFIX + "forgetting_factor")
        samples = get(EXTRA_PREFIX + "n_posterior_samples")
        rows = [
            ["classes", ", ".join(f"{c} ({n} trials)" for c, n in zip(labels, counts))],
            ["scale (w_scale)", (f"auto: {scale:.4g} now" if auto_scale else f"{scale:.4g}")],
            ["adaptation rate", rate + (f": leading {RATES[int(np.argmin(losses))]!r}"
                                        if rate == AUTO and losses is not None else "")],
            ["reject below", "0 (never abstains)" if reject is None or float(reject) == 0
             else f"{float(reject):g}"],
            ["forgetting factor", "1" if forgetting is None else f"{float(forgetting):g}"],
            ["sweeps per update", str(int(get("num_steps")))],
            ["learning rate", f"{float(get('learning_rate')):g}"],
            ["posterior samples", "" if samples is None else str(int(samples))],
            ["model after step", str(step)],
        ]
    cache.update(step=step, size=len(data), rows=rows)
    return rows
