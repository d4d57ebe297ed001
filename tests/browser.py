"""Headless Chromium (the system's package) driven over the DevTools protocol on a pipe.

``--remote-debugging-pipe`` makes Chromium read commands from file descriptor 3 and write
answers to 4, each a JSON message ended by a NUL byte: no port, no driver binary, no
package beyond the browser. Background networking is off; the tests run it in a network
namespace with only loopback where the machine allows.
"""

from __future__ import annotations

import base64
import fcntl
import io
import json
import os
import shutil
import subprocess
import tempfile

import numpy as np

NAMES = ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable")


def find_chromium() -> str | None:
    return next((p for p in map(shutil.which, NAMES) if p), None)


class Chromium:
    """One headless browser with one page."""

    def __init__(self, width=1400, height=1400):
        exe = find_chromium()
        if exe is None:
            raise RuntimeError("no Chromium found (apt-get install chromium)")
        self._profile = tempfile.mkdtemp(prefix="kovani-chromium-")
        to_child, self._out = os.pipe()
        self._in, from_child = os.pipe()
        # Above any descriptor bash redirects into (3 and 4).
        a, b = (fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_child, from_child))
        os.close(to_child), os.close(from_child)
        flags = ["--headless", "--remote-debugging-pipe", "--disable-gpu",
                 "--disable-dev-shm-usage",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--disable-default-apps", "--disable-extensions",
                 "--no-first-run", "--no-default-browser-check", "--mute-audio",
                 "--hide-scrollbars", f"--user-data-dir={self._profile}",
                 f"--window-size={width},{height}"]
        if os.geteuid() == 0:
            flags.append("--no-sandbox")
        self.process = subprocess.Popen(
            ["bash", "-c", f'exec "$0" "$@" 3<&{a} 4>&{b} {a}<&- {b}>&-', exe, *flags,
             "about:blank"], pass_fds=(a, b), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(a), os.close(b)
        self._buffer, self._id = b"", 0
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self._session = self.call("Target.attachToTarget", targetId=target,
                                  flatten=True)["sessionId"]
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height,
                  deviceScaleFactor=1, mobile=False, session=True)

    def call(self, method, session=False, **params):
        self._id += 1
        message = dict(id=self._id, method=method, params=params)
        if session:
            message["sessionId"] = self._session
        os.write(self._out, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in self._buffer:
                chunk = os.read(self._in, 1 << 20)
                if not chunk:
                    raise RuntimeError("Chromium exited")
                self._buffer += chunk
            raw, self._buffer = self._buffer.split(b"\0", 1)
            answer = json.loads(raw)
            if answer.get("id") == self._id:
                if "error" in answer:
                    raise RuntimeError(f"{method}: {answer['error']}")
                return answer["result"]

    def goto(self, url):
        self.call("Page.navigate", url=url, session=True)

    def evaluate(self, expression):
        """The value of a JavaScript expression (promises awaited)."""
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True, session=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def screenshot(self) -> bytes:
        """The page as PNG bytes, all of it."""
        return base64.b64decode(self.call("Page.captureScreenshot", format="png",
                                          captureBeyondViewport=True, session=True)["data"])

    def close(self):
        try:
            self.call("Browser.close")
        except (RuntimeError, OSError):
            pass
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        for fd in (self._in, self._out):
            os.close(fd)
        shutil.rmtree(self._profile, ignore_errors=True)


def drawn(png: bytes, rect) -> tuple[float, int]:
    """(share of pixels that are not the background, number of distinct colours) in the
    rectangle ``rect`` = (x, y, width, height) of a screenshot."""
    from PIL import Image

    image = np.asarray(Image.open(io.BytesIO(png)).convert("RGB")).astype(np.int32)
    x, y, w, h = (int(round(v)) for v in rect)
    crop = image[y:y + h, x:x + w].reshape(-1, 3)
    colours, counts = np.unique(crop[:, 0] << 16 | crop[:, 1] << 8 | crop[:, 2],
                                return_counts=True)
    background = colours[np.argmax(counts)]
    return float(np.mean((crop[:, 0] << 16 | crop[:, 1] << 8 | crop[:, 2]) != background)), \
        len(colours)
