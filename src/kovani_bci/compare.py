"""Cross-validated comparison with scikit-learn's LogisticRegression: ``kovani-bci compare``."""

from __future__ import annotations

import asyncio
import contextlib
import sys
import threading
import time

import numpy as np

from kovani_bci.metrics import expected_calibration_error

DATASETS = ("digits", "wine", "breast_cancer")
DASK_CONNECT_TIMEOUT = 10      # seconds to reach the scheduler before giving up
MAX_JOBS = 1024                # largest --n-jobs; the workers started are fewer still


def _load(name):
    from sklearn import datasets

    return getattr(datasets, f"load_{name}")(return_X_y=True)


def _log_loss(y, proba, classes):
    col = {c: j for j, c in enumerate(classes.tolist())}
    p = proba[np.arange(len(y)), [col[c] for c in y.tolist()]]
    return float(-np.mean(np.log(np.clip(p, 1e-15, 1.0))))


def run_compare(folds=5, num_steps=30, n_posterior_samples=100, datasets=DATASETS,
                markdown=False, out=None, seed=0, n_jobs=None, dask=None, progress=None):
    """Stratified k-fold accuracy, log loss and ECE of both classifiers on each data set.

    Both run in a pipeline after ``StandardScaler`` (fitted on the training folds). Returns
    a list of result rows (dicts with per-fold means and standard deviations).

    Every (data set, model, fold) is one joblib task, run in this process (``n_jobs`` None or
    1), in local worker processes (``n_jobs`` of them, -1: one per CPU; never more than
    there are tasks or CPUs, since each worker holds a JAX runtime of its own), or on the
    workers of the Dask scheduler at address ``dask`` (``n_jobs`` then caps the tasks in
    flight; all workers by default). The scheduler must answer within
    ``DASK_CONNECT_TIMEOUT`` seconds, before any work starts. The scores do not depend on
    where the folds ran; fit times do. Progress goes to ``progress`` (stderr by default).
    """
    if n_jobs is not None and (isinstance(n_jobs, bool) or not isinstance(n_jobs, int)
                               or not (n_jobs == -1 or 1 <= n_jobs <= MAX_JOBS)):
        raise ValueError(f"n_jobs must be -1 or an integer in [1, {MAX_JOBS}], got {n_jobs!r}")
    if dask is not None:
        reach_scheduler(dask, DASK_CONNECT_TIMEOUT)
    import jax
    from joblib import Parallel, delayed
    from sklearn.linear_model import LogisticRegression
    from sklearn.model_selection import StratifiedKFold
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler
    from tqdm.auto import tqdm

    from kovani_bci.estimator import KovaniSoftmaxClassifier

    out = sys.stdout if out is None else out
    progress = sys.stderr if progress is None else progress
    models = {
        "kovani_softmax": make_pipeline(StandardScaler(), KovaniSoftmaxClassifier(
            num_steps=num_steps, n_posterior_samples=n_posterior_samples, random_state=seed)),
        "LogisticRegression": make_pipeline(StandardScaler(),
                                            LogisticRegression(max_iter=2000)),
    }
    # Workers start with JAX's default precision; each task carries the caller's.
    x64 = bool(jax.config.jax_enable_x64)
    data, tasks = {}, []
    for name in datasets:
        X, y = data[name] = _load(name)
        cv = StratifiedKFold(n_splits=folds, shuffle=True, random_state=seed)
        for fold, (train, test) in enumerate(cv.split(X, y)):
            for model_name, template in models.items():
                tasks.append(delayed(_score_fold)((name, model_name, fold), template,
                                                  X[train], y[train], X[test], y[test], x64))

    scores = {}
    with _joblib_backend(n_jobs, dask, len(tasks)) as jobs:
        run = Parallel(n_jobs=jobs, return_as="generator_unordered")(tasks)
        with tqdm(run, total=len(tasks), file=progress, unit="fold", desc="compare") as bar:
            for key, result in bar:
                scores[key] = result

    rows = []
    for name in datasets:
        X, y = data[name]
        for model_name in models:
            acc, loss, ece, seconds = np.array(
                [scores[name, model_name, fold] for fold in range(folds)]).T
            rows.append(dict(dataset=name, n=len(y), d=X.shape[1], k=len(np.unique(y)),
                             model=model_name, accuracy=(np.mean(acc), np.std(acc)),
                             log_loss=(np.mean(loss), np.std(loss)),
                             ece=(np.mean(ece), np.std(ece)), fit_s=float(np.mean(seconds))))
    _print_table(rows, folds, markdown, out)
    return rows


@contextlib.contextmanager
def _x64_mode(enabled):
    import jax

    before = bool(jax.config.jax_enable_x64)
    if before != enabled:
        jax.config.update("jax_enable_x64", enabled)
    try:
        yield
    finally:
        if before != enabled:
            jax.config.update("jax_enable_x64", before)


def _score_fold(key, template, X_train, y_train, X_test, y_test, x64):
    """Fit a clone of ``template``; ``key`` and the accuracy, log loss, ECE and fit seconds
    on the test fold."""
    from sklearn.base import clone

    with _x64_mode(x64):
        model = clone(template)
        t0 = time.perf_counter()
        model.fit(X_train, y_train)
        seconds = time.perf_counter() - t0
        proba = model.predict_proba(X_test)
    classes = model.classes_
    accuracy = np.mean(classes[np.argmax(proba, axis=1)] == y_test)
    return key, (float(accuracy), _log_loss(y_test, proba, classes),
                 expected_calibration_error(y_test, proba, classes), seconds)


def reach_scheduler(address, timeout):
    """Check that a Dask scheduler answers at ``address`` within ``timeout`` seconds.

    ``distributed.Client`` waits for the scheduler's greeting without a bound (a port that
    accepts and stays silent hangs it), reads a length from whatever the port sends first
    (a server's banner became a request for exabytes), and a Client that failed to start
    stalls the interpreter's exit. So one connection with Dask's own handshake, bounded as
    a whole, comes first; it runs in a thread of its own, whatever event loop the caller
    runs.

    Raises
    ------
    ValueError
        If ``address`` is not a scheduler address.
    OSError
        If nothing answers in time, or what answers is not a Dask scheduler.
    """
    from distributed import comm as dask_comm
    from distributed.comm.addressing import parse_address, parse_host_port
    from distributed.comm.registry import get_backend

    try:
        scheme, location = parse_address(address)
        get_backend(scheme)
        if scheme in ("tcp", "tls", "ws", "wss"):
            parse_host_port(location)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"dask: {exc}; give a scheduler address such as "
                         "tcp://10.0.0.5:8786") from None

    async def greet():
        comm = await asyncio.wait_for(dask_comm.connect(address, timeout=timeout), timeout)
        await comm.close()

    failure = []

    def run():
        try:
            asyncio.run(greet())
        except BaseException as exc:  # noqa: BLE001 -- handed to the caller's thread
            failure.append(exc)

    # A daemon thread, waited for with a bound: a name lookup that hangs below asyncio
    # (getaddrinfo runs in a thread of its own) keeps neither this call nor the exit.
    thread = threading.Thread(target=run, name="kovani-dask-greeting", daemon=True)
    thread.start()
    thread.join(timeout + 1)
    exc = failure[0] if failure else None
    if thread.is_alive() or isinstance(exc, (asyncio.TimeoutError, TimeoutError)):
        raise OSError(f"Timed out trying to connect to {address} after {timeout} s: no Dask "
                      "scheduler answered")
    if exc is None:
        return
    if isinstance(exc, OSError):
        raise exc
    raise OSError(f"no Dask scheduler at {address}: what answered does not speak Dask's "
                  f"protocol ({type(exc).__name__})") from None


@contextlib.contextmanager
def _joblib_backend(n_jobs, dask_address, n_tasks):
    """joblib's configuration for the run; yields the ``n_jobs`` to give ``Parallel``.

    Local workers are loky processes, which start fresh interpreters: a forked copy of a
    process whose JAX runtime has started its threads can deadlock. Each holds its own JAX
    runtime, so there are never more of them than tasks or CPUs.
    """
    from joblib import cpu_count, parallel_config

    if dask_address is None:
        wanted = 1 if n_jobs is None else cpu_count() if n_jobs == -1 else n_jobs
        with parallel_config(backend="loky"):
            yield max(1, min(wanted, n_tasks, cpu_count()))
        return
    from distributed import Client

    with Client(dask_address, timeout=DASK_CONNECT_TIMEOUT, set_as_default=False) as client:
        with parallel_config(backend="dask", client=client):
            yield -1 if n_jobs is None else min(n_jobs, max(1, n_tasks))


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
