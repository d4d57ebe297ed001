"""The HTML of the monitor page and of the report: one template, two ways of getting data.

The live page loads ``plotly.min.js`` from the monitor and asks ``state.json`` for a state
newer than the one it shows (the monitor answers when the file changes, or after
``WAIT_S``); the report holds plotly.js and one state inline. Every text that comes from the
session (labels, markers, reports, settings) is set as text, never parsed as HTML.
"""

WAIT_S = 10          # a request for a newer state waits this long at most
RETRY_MS = 1000      # after a failed request
MIN_RENDER_MS = 400  # the page draws at most once in this time (a trial every 0.2 s at 20x)

TEMPLATE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>kovani-bci session</title>
<style>
body { font-family: system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; margin: 0;
       background: #eef0f4; color: #222; }
header { background: #23324a; color: white; padding: 10px 18px; display: flex;
         align-items: baseline; gap: 18px; flex-wrap: wrap; }
header h1 { font-size: 18px; margin: 0; font-weight: 600; }
header .path { font-family: monospace; font-size: 13px; opacity: 0.85; }
#status { margin-left: auto; font-size: 13px; }
#status.stale { color: #ffb4a8; }
.tiles { display: flex; flex-wrap: wrap; gap: 10px; padding: 12px 18px 0; }
.tile { background: white; border-radius: 6px; padding: 8px 14px; min-width: 120px;
        box-shadow: 0 1px 2px rgba(0,0,0,0.08); }
.tile .v { font-size: 24px; font-weight: 600; }
.tile .k { font-size: 12px; color: #666; }
.grid { display: grid; grid-template-columns: repeat(auto-fit, minmax(520px, 1fr));
        gap: 12px; padding: 12px 18px; }
.card { background: white; border-radius: 6px; padding: 6px;
        box-shadow: 0 1px 2px rgba(0,0,0,0.08); min-width: 0; }
.card h2 { font-size: 14px; margin: 6px 8px; font-weight: 600; }
.chart { height: 300px; }
table { border-collapse: collapse; font-size: 12.5px; width: 100%; }
td { padding: 3px 8px; border-bottom: 1px solid #eee; vertical-align: top; }
td:first-child { color: #555; white-space: nowrap; }
#reports { max-height: 300px; overflow-y: auto; }
#reports td:first-child { font-family: monospace; text-align: right; }
tr.gap td:last-child { color: #b25400; } tr.missed td:last-child { color: #c0262d; }
tr.marker td:last-child { color: #7a4fa6; } tr.class td:last-child { color: #1b7a3a; }
</style>
__PLOTLY__
</head>
<body>
<header><h1>kovani-bci session</h1><span class="path" id="path"></span>
<span id="phase"></span><span id="status">loading</span></header>
<div class="tiles">
 <div class="tile"><div class="v" id="n-trials">-</div><div class="k">trials recorded</div></div>
 <div class="tile"><div class="v" id="n-decided">-</div><div class="k">decided</div></div>
 <div class="tile"><div class="v" id="accuracy">-</div><div class="k" id="accuracy-k">accuracy</div></div>
 <div class="tile"><div class="v" id="abstention">-</div><div class="k">abstention rate</div></div>
 <div class="tile"><div class="v" id="latency">-</div><div class="k">latency p50 / p99 (ms)</div></div>
 <div class="tile"><div class="v" id="n-lost">-</div><div class="k">gaps / bad or flat / no data / missed</div></div>
</div>
<div class="grid">
 <div class="card"><div class="chart" id="fig-accuracy"></div></div>
 <div class="card"><div class="chart" id="fig-proba"></div></div>
 <div class="card"><div class="chart" id="fig-confusion"></div></div>
 <div class="card"><div class="chart" id="fig-reliability"></div></div>
 <div class="card"><div class="chart" id="fig-latency"></div></div>
 <div class="card"><h2>Accuracy by block</h2><table id="blocks"></table></div>
 <div class="card"><h2>Reports</h2><div id="reports"><table></table></div></div>
 <div class="card"><h2>Classifier</h2><table id="classifier"></table>
  <h2>Session settings</h2><table id="settings"></table></div>
</div>
<script>
"use strict";
const FIGURES = __FIGURES__;
const WAIT_S = __WAIT_S__, RETRY_MS = __RETRY_MS__, MIN_RENDER_MS = __MIN_RENDER_MS__;
window.kovaniRenders = [];
function fmt(x, digits) { return x === null || x === undefined ? "-" : x.toFixed(digits); }
function set(id, text) { document.getElementById(id).textContent = text; }
const drawn = {};
function changed(key, value) {     // skip the work of drawing what did not change
  const text = JSON.stringify(value);
  if (drawn[key] === text) return false;
  drawn[key] = text;
  return true;
}
function rows(table, entries, classes) {
  if (!changed(table.id || table.parentNode.id, [entries, classes])) return;
  const body = document.createElement("tbody");
  entries.forEach((cells, i) => {
    const tr = document.createElement("tr");
    if (classes) tr.className = classes[i];
    cells.forEach(c => { const td = document.createElement("td"); td.textContent = c;
                         tr.appendChild(td); });
    body.appendChild(tr);
  });
  table.replaceChildren(body);
}
function render(s) {
  const n = s.summary;
  set("path", s.session);
  set("phase", s.phase ? "phase: " + s.phase : "");
  set("n-trials", n.trials);
  set("n-decided", n.decided + " (" + n.collected + " calibration)");
  set("accuracy", fmt(n.accuracy, 3));
  set("accuracy-k", "accuracy on " + n.accuracy_trials + " labelled decided trials");
  set("abstention", fmt(n.abstention_rate, 3));
  set("latency", fmt(n.latency_ms_p50, 2) + " / " + fmt(n.latency_ms_p99, 2));
  set("n-lost", n.gaps + " / " + n.bad + " / " + n.no_data + " / " + n.missed);
  for (const name of FIGURES) {
    const f = s.figures[name];
    if (changed(name, f)) Plotly.react("fig-" + name, f.data, f.layout,
                 {displayModeBar: false, responsive: true});
  }
  rows(document.getElementById("blocks"),
       [["block", "accuracy", "decided", "abstained"]].concat(
         n.blocks.map(b => [b.block, fmt(b.accuracy, 3), b.decided, b.abstained])));
  const reports = s.reports.slice().reverse();
  rows(document.querySelector("#reports table"),
       reports.map(r => ["+" + r.time.toFixed(1) + " s", r.text]), reports.map(r => r.kind));
  rows(document.getElementById("classifier"), s.classifier);
  rows(document.getElementById("settings"), s.settings);
  window.kovaniRenders.push([Date.now(), n.trials]);
}
__BOOT__
</script>
</body>
</html>
"""

LIVE_BOOT = """
let version = null;
async function poll() {
  try {
    const r = await fetch("state.json" + (version === null ? "" :
                          "?since=" + version + "&wait=" + WAIT_S), {cache: "no-store"});
    if (!r.ok) throw new Error("HTTP " + r.status);
    const s = await r.json();
    if (s.version !== version && s.summary) { render(s); version = s.version; }
    const st = document.getElementById("status");
    st.className = ""; st.textContent = "live · checked " + new Date().toLocaleTimeString();
    // At most one drawing per MIN_RENDER_MS: a fast replay's trials are drawn together.
    setTimeout(poll, s.summary ? MIN_RENDER_MS : 0);
  } catch (e) {
    const st = document.getElementById("status");
    st.className = "stale"; st.textContent = "the monitor is not answering (" + e.message + ")";
    setTimeout(poll, RETRY_MS);
  }
}
poll();
"""

REPORT_BOOT = """
const STATE = __STATE__;
render(STATE);
set("status", "report written " + new Date(STATE.generated * 1000).toLocaleString());
"""
