"""compare's folds through joblib: local worker processes and a local Dask cluster give the
serial run's scores; bad cluster settings end with one line."""

import io
import os
import socket
import sys

import pytest

pytest.importorskip("distributed")

from distributed import Client, LocalCluster, get_task_stream  # noqa: E402

from kovani_bci import compare  # noqa: E402
from kovani_bci.cli import main  # noqa: E402

# Two equal folds: one training size, so each worker compiles the fit once.
SMALL = dict(datasets=("wine",), folds=2, num_steps=3, n_posterior_samples=10)
SMALL_ARGV = ["compare", "--datasets", "wine", "--folds", "2", "--num-steps", "3",
              "--posterior-samples", "10", "--markdown"]


def scores(rows):
    return [(r["dataset"], r["model"], r["accuracy"], r["log_loss"], r["ece"]) for r in rows]


def without_fit_times(table):
    """The Markdown table's rows less their last column (fit seconds differ between runs)."""
    return [line.rsplit("|", 2)[0] for line in table.splitlines() if line.startswith("|")]


def test_workers_give_the_serial_scores(tmp_path, capsys, enable_x64):
    # 64-bit mode on: a worker that computed in JAX's default (32-bit) precision would give
    # other log losses, so equality also shows that the caller's precision travelled along.
    serial_out = io.StringIO()
    serial = compare.run_compare(**SMALL, out=serial_out, progress=io.StringIO())

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None, local_directory=str(tmp_path)) as cluster, \
            Client(cluster) as client:
        progress = io.StringIO()
        with get_task_stream(client) as stream:
            on_cluster = compare.run_compare(**SMALL, dask=cluster.scheduler_address,
                                             out=io.StringIO(), progress=progress)
        worker_pids = set(client.run(os.getpid).values())
    assert scores(on_cluster) == scores(serial)
    assert len(worker_pids) == 2 and os.getpid() not in worker_pids
    assert len({task["worker"] for task in stream.data}) == 2      # both workers had folds
    assert "4/4" in progress.getvalue()

    # The command line, with two local (loky) worker processes.
    assert main([*SMALL_ARGV, "--n-jobs", "2"]) == 0
    captured = capsys.readouterr()
    serial_table = io.StringIO()
    compare._print_table(serial, 2, True, serial_table)
    assert without_fit_times(captured.out) == without_fit_times(serial_table.getvalue())
    assert "4/4" in captured.err


def test_cluster_errors_are_one_line(capsys, monkeypatch):
    monkeypatch.setattr(compare, "DASK_CONNECT_TIMEOUT", 1)
    with socket.socket() as s:                         # a port where nothing listens
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    cases = [
        (["--dask", f"tcp://127.0.0.1:{port}"], 1, f"Timed out trying to connect to "
                                                  f"tcp://127.0.0.1:{port}"),
        (["--n-jobs", "0"], 2, "argument --n-jobs: must be >= 1, got 0"),
        (["--n-jobs", "two"], 2, "argument --n-jobs: 'two' is not an integer"),
    ]
    for extra, status, message in cases:
        assert main([*SMALL_ARGV, *extra]) == status
        err = capsys.readouterr().err
        assert message in err and err.strip().splitlines()[-1].startswith(
            "kovani-bci compare: error: ")
    monkeypatch.setitem(sys.modules, "distributed", None)
    assert main([*SMALL_ARGV, "--dask", "tcp://127.0.0.1:8786"]) == 1
    err = capsys.readouterr().err
    assert err == ("kovani-bci compare: error: this needs the package 'distributed', which is "
                   "not installed: pip install 'kovani_bci[cluster]'\n")
