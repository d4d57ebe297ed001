"""An amplifier-like LSL source: what a real acquisition program sends, unlike a replay.

It pushes small chunks in real time and lets liblsl stamp each one when it is pushed (its
last sample at the push time, the others back at the nominal rate), so the timestamps carry
the sender's scheduling delays; its crystal runs at ``rate`` Hz while the stream announces
``sfreq``; each push may be delayed further by up to ``jitter`` seconds. The markers are
stamped as a stimulus program on the same machine stamps them: with the LSL time at which
their sample was taken. Used by the tests and by ``python -m bench.live_latency``, in a
process of its own (:func:`spawn`), as a real acquisition program runs.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np


class Amplifier(threading.Thread):
    """Publish ``data`` (n_samples, n_channels) as an amplifier would, with ``markers``
    [(sample index, text)], on the streams ``<name>-eeg`` (float32) and ``<name>-markers``.

    Waits up to ``wait`` s for an inlet on both streams, then starts; ``t0`` is the LSL time
    at which sample 0 was taken (sample ``k`` at ``t0 + k / rate``).
    """

    def __init__(self, data, markers, *, sfreq, rate, chunk=10, jitter=0.0, name="kovani-amp",
                 channel_names=None, wait=30.0, seed=0):
        super().__init__(daemon=True)
        import pylsl

        self.data = np.asarray(data, dtype=np.float32)
        self.markers = sorted(markers, key=lambda m: m[0])
        self.rate, self.chunk, self.jitter, self.wait = float(rate), int(chunk), jitter, wait
        self.rng = np.random.default_rng(seed)
        n_ch = self.data.shape[1]
        info = pylsl.StreamInfo(f"{name}-eeg", "EEG", n_ch, sfreq, pylsl.cf_float32,
                                f"{name}-eeg-src")
        info.set_channel_labels(channel_names or [f"C{i + 1}" for i in range(n_ch)])
        self.eeg = pylsl.StreamOutlet(info, chunk_size=self.chunk)
        self.marker_outlet = pylsl.StreamOutlet(pylsl.StreamInfo(
            f"{name}-markers", "Markers", 1, pylsl.IRREGULAR_RATE, pylsl.cf_string,
            f"{name}-markers-src"))
        self.stop_event = threading.Event()
        self.done = threading.Event()
        self.t0 = None

    def run(self):
        import pylsl

        self.eeg.wait_for_consumers(self.wait)
        self.marker_outlet.wait_for_consumers(self.wait)
        self.t0 = t0 = pylsl.local_clock() + 0.05
        n, m = len(self.data), 0
        for k in range(0, n, self.chunk):
            if self.stop_event.is_set():
                break
            stop = min(k + self.chunk, n)
            # The chunk is complete when its last sample is taken; it is pushed then (plus
            # the sender's delay) and liblsl stamps it at that moment.
            due = t0 + (stop - 1) / self.rate + self.rng.uniform(0.0, self.jitter)
            delay = due - pylsl.local_clock()
            if delay > 0:
                time.sleep(delay)
            while m < len(self.markers) and self.markers[m][0] < stop:
                index, text = self.markers[m]      # str, or bytes sent as they are
                self.marker_outlet.push_sample([text], t0 + index / self.rate)
                m += 1
            self.eeg.push_chunk(self.data[k:stop])
        self.done.set()
        self.stop_event.wait(60)          # the outlets stay up, as a source gone quiet


def spawn(path, data, markers, **options):
    """Start an :class:`Amplifier` in a new process (data and markers saved to ``path``, an
    ``.npz`` file); it streams until terminated. ``options``: the class's keywords."""
    texts = [t.encode("utf-8") if isinstance(t, str) else t for _, t in markers]
    np.savez(path, data=np.asarray(data, dtype=np.float32),
             index=np.array([k for k, _ in markers], dtype=np.int64),
             texts=np.array([t.hex() for t in texts]),
             options=np.array(repr(options)))
    return subprocess.Popen([sys.executable, os.path.abspath(__file__), os.fspath(path)],
                            env=dict(os.environ))


def _main(path):
    import ast

    saved = np.load(path)
    markers = [(int(k), bytes.fromhex(str(t))) for k, t in zip(saved["index"], saved["texts"])]
    source = Amplifier(saved["data"], markers, **ast.literal_eval(str(saved["options"])))
    signal.signal(signal.SIGTERM, lambda *_: source.stop_event.set())
    source.start()
    while source.is_alive():
        source.join(0.2)


if __name__ == "__main__":
    _main(sys.argv[1])
