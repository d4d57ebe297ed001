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


class FakeServer:
    """A TCP server on the loopback interface that accepts and then stays silent, or
    first sends `banner` (another protocol's greeting)."""

    def __init__(self, banner=b""):
        import threading

        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen()
        self.address = f"tcp://127.0.0.1:{self.sock.getsockname()[1]}"
        self.banner, self.clients = banner, []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                client, _ = self.sock.accept()
            except OSError:
                return
            self.clients.append(client)
            if self.banner:
                client.sendall(self.banner)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.sock.close()
        for client in self.clients:
            client.close()


def test_a_port_that_is_no_scheduler_ends_in_one_line_within_the_timeout(capsys, monkeypatch):
    """A silent port once hung compare with no output, and a banner became a request for
    exabytes; both now end in one line within the connect timeout."""
    import time

    monkeypatch.setattr(compare, "DASK_CONNECT_TIMEOUT", 1)
    cases = [(b"", "Timed out trying to connect to {} after 1 s: no Dask scheduler answered"),
             (b"SSH-2.0-OpenSSH_9.6\r\n", "no Dask scheduler at {}: what answered does not "
                                          "speak Dask's protocol"),
             (b"\xff" * 64, "no Dask scheduler at {}: what answered does not speak")]
    for banner, message in cases:
        with FakeServer(banner) as server:
            start = time.monotonic()
            assert main([*SMALL_ARGV, "--dask", server.address]) == 1
            assert time.monotonic() - start < 4
        err = capsys.readouterr().err
        assert err.startswith(f"kovani-bci compare: error: {message.format(server.address)}"), err
        assert err.count("\n") == 1, err


def test_a_malformed_address_ends_in_one_line_and_nothing_after():
    """A Client that failed to start stalled the interpreter's exit for 20 s and printed a
    traceback from its __del__: the address is refused before any Client exists."""
    import subprocess
    import time

    import kovani_bci

    src = os.path.dirname(os.path.dirname(kovani_bci.__file__))
    env = {**os.environ, "PYTHONPATH": src}
    for address, message in [("nonsense", "dask: missing port number in address 'nonsense'; "
                                          "give a scheduler address such as tcp://10.0.0.5:8786"),
                             ("foo://x:1", "dask: unknown address scheme 'foo'")]:
        start = time.monotonic()
        done = subprocess.run([sys.executable, "-m", "kovani_bci.cli", "compare", "--dask",
                               address], env=env, capture_output=True, text=True, timeout=60)
        assert time.monotonic() - start < 15
        assert done.returncode == 1 and done.stdout == ""
        assert done.stderr.startswith(f"kovani-bci compare: error: {message}"), done.stderr
        assert done.stderr.count("\n") == 1, done.stderr


def test_local_workers_never_outnumber_the_tasks_or_the_cpus(monkeypatch, capsys):
    import joblib

    asked = []

    class Serial(joblib.Parallel):            # records the worker count, runs in-process
        def __init__(self, n_jobs=None, **kwargs):
            asked.append(n_jobs)
            super().__init__(n_jobs=1, **kwargs)

    monkeypatch.setattr(joblib, "Parallel", Serial)
    quiet = dict(out=io.StringIO(), progress=io.StringIO())
    for n_jobs in (12, -1, 3):
        compare.run_compare(**SMALL, n_jobs=n_jobs, **quiet)          # 4 tasks
    cpus = joblib.cpu_count()
    assert asked == [min(4, cpus), min(4, cpus), min(3, cpus)]
    for bad in (0, -2, 2**30, 1025, 2.0, True):
        with pytest.raises(ValueError, match=r"n_jobs must be -1 or an integer in \[1, 1024\]"):
            compare.run_compare(**SMALL, n_jobs=bad, **quiet)
    for text in ("1025", str(2**30), "-2"):
        assert main([*SMALL_ARGV, "--n-jobs", text]) == 2
        err = capsys.readouterr().err
        assert err.startswith("kovani-bci compare: error: argument --n-jobs: ") and err.count("\n") == 1
    assert len(asked) == 3
