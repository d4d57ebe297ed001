"""``kovani-bci monitor``: a page that follows a session file; ``kovani-bci report``: the same
views as one self-contained HTML file.

The monitor opens the session read-only (:meth:`Session.read_only`) and serves three routes
with the standard library's threading HTTP server: ``/`` (the page), ``/plotly.min.js``
(plotly.js, shipped inside the ``plotly`` package) and ``/state.json`` (the view of
:func:`kovani_bci.live.view.session_view`). The view is computed again only when the file
changed (SQLite's ``data_version``), once however many pages poll. A page asks for a state
newer than the one it shows (``state.json?since=VERSION&wait=SECONDS``); the request is
answered as soon as the file changes, so a trial reaches the page within about
``CHECK_SECONDS`` plus the time to draw it. Nothing else is served:
no file is read from a request's path. Requests must name this server as their ``Host``
(a page of another site cannot read the session through a name that resolves to
loopback). The server binds loopback unless another interface is asked for.
"""

from __future__ import annotations

import errno
import json
import os
import socket
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

from kovani_bci.live import page
from kovani_bci.live.session import Session
from kovani_bci.live.view import FIGURES, session_view

__all__ = ["Monitor", "MonitorError", "make_server", "write_report", "DEFAULT_PORT"]

DEFAULT_PORT = 8765
CHECK_SECONDS = 0.05        # how often a waiting request looks at the file
MAX_WAIT_SECONDS = 30.0     # the longest a request for a newer state waits
_LOOPBACK = ("127.0.0.1", "localhost", "[::1]", "::1")


class MonitorError(Exception):
    """A port that cannot be served, or a report that cannot be written; one line."""


def plotly_js() -> str:
    """plotly.js as shipped inside the ``plotly`` package (no network)."""
    try:
        from plotly.offline import get_plotlyjs
    except ModuleNotFoundError:
        raise MonitorError("plotly is not installed: pip install 'kovani_bci[monitor]'") from None
    return get_plotlyjs()


def _json(value) -> str:
    """JSON that is safe inside a ``<script>`` element."""
    return (json.dumps(value, separators=(",", ":"), allow_nan=False)
            .replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")
            .replace("\u2028", "\\u2028").replace("\u2029", "\\u2029"))


def _html(plotly_tag: str, boot: str) -> str:
    return (page.TEMPLATE.replace("__PLOTLY__", plotly_tag)
            .replace("__FIGURES__", _json(list(FIGURES)))
            .replace("__WAIT_S__", str(page.WAIT_S))
            .replace("__RETRY_MS__", str(page.RETRY_MS))
            .replace("__MIN_RENDER_MS__", str(page.MIN_RENDER_MS)).replace("__BOOT__", boot))


class Monitor:
    """A session file followed read-only: :meth:`state` is its current view."""

    def __init__(self, path):
        self.session = Session.read_only(path)
        self._lock = threading.Lock()
        self._data_version = None
        self._version = 0
        self._body = None
        self._model_cache = {}

    def view(self) -> dict:
        with self._lock, self.session.snapshot():
            return session_view(self.session, self._model_cache)

    def state(self) -> tuple[int, bytes]:
        """``(version, JSON bytes)``; the version changes with the file's contents."""
        with self._lock:
            current = self.session.data_version()
            if self._body is None or current != self._data_version:
                with self.session.snapshot():
                    view = session_view(self.session, self._model_cache)
                self._version += 1
                view["version"] = self._version
                self._body = json.dumps(view, separators=(",", ":"),
                                        allow_nan=False).encode()
                self._data_version = current
            return self._version, self._body

    def wait(self, since: str, seconds: float) -> tuple[int, bytes]:
        """:meth:`state` once its version is not ``since``, or after ``seconds``; the file is
        looked at every ``CHECK_SECONDS`` meanwhile (a page learns of a trial at once)."""
        deadline = time.monotonic() + seconds
        while True:
            version, body = self.state()
            if str(version) != since or time.monotonic() >= deadline:
                return version, body
            time.sleep(CHECK_SECONDS)

    def close(self):
        self.session.close()


class _Handler(BaseHTTPRequestHandler):
    server_version = "kovani-bci-monitor"
    protocol_version = "HTTP/1.1"

    def do_GET(self):           # noqa: N802 -- the server's naming
        self._serve(body=True)

    def do_HEAD(self):          # noqa: N802
        self._serve(body=False)

    def _serve(self, body):
        server = self.server
        if not server.host_allowed(self.headers.get("Host", "")):
            return self._send(403, b"forbidden: unknown Host\n", "text/plain", body)
        url = urlsplit(self.path)
        if url.path == "/":
            return self._send(200, server.page, "text/html; charset=utf-8", body)
        if url.path == "/plotly.min.js":
            return self._send(200, server.plotly, "text/javascript; charset=utf-8", body,
                              cache="max-age=86400")
        if url.path == "/state.json":
            query = parse_qs(url.query)
            since = query.get("since", [""])[0]
            try:
                wait = float(query.get("wait", ["0"])[0])
            except ValueError:
                wait = 0.0
            wait = min(wait, MAX_WAIT_SECONDS) if wait > 0 else 0.0      # NaN too
            try:
                version, data = server.monitor.wait(since, wait)
            except Exception as exc:    # noqa: BLE001 -- the page says so; the terminal is quiet
                return self._send(500, f"the session cannot be read: {exc}\n".encode(),
                                  "text/plain; charset=utf-8", body)
            if since == str(version):
                data = json.dumps({"version": version}).encode()
            return self._send(200, data, "application/json", body)
        return self._send(404, b"not found\n", "text/plain", body)

    def _send(self, status, data, kind, body, cache="no-store"):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", cache)
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        self.end_headers()
        if body:
            self.wfile.write(data)

    def log_message(self, format, *args):       # quiet: the terminal is the decoder's too
        pass


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def host_allowed(self, host: str) -> bool:
        if self.any_host:
            return True
        name, _, port = host.rpartition(":")
        if not name or port != str(self.server_port):
            return False
        return name in self.names


class _Server6(_Server):
    address_family = socket.AF_INET6


def make_server(path, port=DEFAULT_PORT, host="127.0.0.1"):
    """A server of the monitor page for the session at ``path`` (not started: call its
    ``serve_forever``; ``server.url`` is the page's address, ``port=0`` takes a free port).

    Raises
    ------
    SessionError
        If ``path`` is not a session file.
    MonitorError
        If the port cannot be served.
    """
    plotly = plotly_js().encode()
    monitor = Monitor(path)
    server_class = _Server6 if ":" in host else _Server
    try:
        server = server_class((host, port), _Handler)
    except OSError as exc:
        monitor.close()
        if exc.errno == errno.EADDRINUSE:
            raise MonitorError(f"port {port} on {host} is in use; choose another with "
                               "--port") from None
        raise MonitorError(f"cannot serve on {host} port {port}: {exc.strerror or exc}") from None
    server.monitor, server.plotly = monitor, plotly
    server.page = _html('<script src="plotly.min.js"></script>', page.LIVE_BOOT).encode()
    server.any_host = host in ("", "0.0.0.0", "::")
    shown = f"[{host}]" if ":" in host else host
    server.names = set(_LOOPBACK) | {shown}
    server.url = f"http://{shown if host not in ('', '0.0.0.0', '::') else '127.0.0.1'}:" \
                 f"{server.server_port}/"
    return server


def write_report(path, out) -> str:
    """Write the views of the session at ``path`` as one HTML file ``out`` (plotly.js
    inline: it opens with no network). Returns ``out``."""
    out = os.fspath(out)
    if os.path.exists(out) and os.path.samefile(out, path):
        raise MonitorError(f"{out}: the report would overwrite the session")
    js = plotly_js()
    monitor = Monitor(path)
    try:
        view = monitor.view()
    finally:
        monitor.close()
    html = _html(f"<script>{js}</script>",
                 page.REPORT_BOOT.replace("__STATE__", _json(view)))
    directory = os.path.dirname(os.path.abspath(out))
    try:
        fd, tmp = tempfile.mkstemp(prefix=".report-", suffix=".html", dir=directory)
    except OSError as exc:
        raise MonitorError(f"cannot write {out}: {exc.strerror or exc}") from None
    try:
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(html)
        os.replace(tmp, out)
    except BaseException:
        os.unlink(tmp)
        raise
    return out
