"""The marker vocabulary of an online session.

Markers are strings on the marker stream (one string channel, irregular rate), each stamped
with the LSL time of its event. mne-lsl's player sends annotation descriptions this way with
``annotations_encoding="string"``; its default "one-hot" annotation stream (one float channel
per description, the value the annotation's duration, -1 for a duration of 0, 0 elsewhere)
is read too: the description is the name of each channel whose value is non-zero.

============================  =================================================================
marker                        meaning
============================  =================================================================
``calibration``               the calibration phase starts (where a session starts unless a
                              starting model is given): trials are learnt from, never decided
``online``                    the online phase starts: every trial is decided, its decision
                              pushed, and then it is learnt from once its label is known
``trial:<label>``             a trial whose label is known at its onset
``trial``                     a trial whose label comes later
``label:<label>``             the label (feedback) of a trial that came without one
``end``                       the session is over: finish, write everything, summarise
anything else                 reported on one line, recorded as ignored; the session goes on
============================  =================================================================

``trial``, ``trial:<label>`` and ``label:<label>`` may end in ``#<n>``, the stimulus
program's running trial number from 1 (``trial:left#12``, ``trial#13``, ``label:feet#13``):
a label then belongs to trial ``n``, and the numbers tell the decoder which trials it never
saw (published before it connected, or while it was down). Without a number, ``label:``
belongs to the most recent trial that has no label yet. A label never seen before adds a
class. Labels are text; surrounding white space is not part of a marker.

Refused (reported, recorded as ignored; the session goes on): a marker that is not valid
UTF-8 (reported with its bytes escaped), a trial number beyond :data:`MAX_TRIAL_NUMBER`, and
the label ``abstain``, which the decision stream reserves for abstentions. A trial takes the
first label that comes for it (from its own marker or a ``label:`` marker, whatever their
timing); a different label after it is reported and ignored.

The vocabulary is written here rather than taken from a library because LSL leaves the
meaning of marker strings to each application.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

import numpy as np

__all__ = ["Marker", "parse_marker", "one_hot_descriptions", "PHASES", "MAX_TRIAL_NUMBER",
           "RESERVED_LABEL"]

PHASES = ("calibration", "online")
MAX_TRIAL_NUMBER = 10 ** 9          # trial numbers run from 1 to this
RESERVED_LABEL = "abstain"          # the decision stream's word for an abstention
_NUMBERED = re.compile(r"^(?P<kind>trial|label)(?::(?P<label>[^#]*))?(?:#(?P<number>[0-9]+))?$")


@dataclass(frozen=True)
class Marker:
    """One parsed marker.

    ``kind`` is ``"calibration"``, ``"online"``, ``"trial"``, ``"label"``, ``"end"`` or
    ``"unknown"`` (outside the vocabulary; ``problem`` says why). ``label`` is the label
    text or None, ``number`` the stimulus program's trial number or None, ``text`` the
    marker as received.
    """

    kind: str
    text: str
    label: str | None = None
    number: int | None = None
    problem: str | None = None


def parse_marker(text) -> Marker:
    """Read one marker string (bytes are decoded as UTF-8)."""
    if isinstance(text, bytes):
        try:
            text = text.decode("utf-8")
        except UnicodeDecodeError:
            return Marker("unknown", text.decode("utf-8", errors="backslashreplace"),
                          problem="not valid UTF-8")
    text = str(text)
    word = text.strip()
    if word in PHASES or word == "end":
        return Marker(word, text)
    m = _NUMBERED.match(word)
    if m is None:
        return Marker("unknown", text, problem="not in the marker vocabulary")
    kind, label, number = m["kind"], m["label"], m["number"]
    if label is not None:
        label = label.strip()
        if not label:
            return Marker("unknown", text, problem=f"'{kind}:' without a label")
    if kind == "label" and label is None:
        return Marker("unknown", text, problem="'label' needs a label: 'label:<label>'")
    if label == RESERVED_LABEL:
        return Marker("unknown", text, problem=f"the label {RESERVED_LABEL!r} is reserved for "
                                               "the decoder's abstentions")
    if number is not None:
        number = int(number) if len(number) <= 12 else MAX_TRIAL_NUMBER + 1
        if number < 1:
            return Marker("unknown", text, problem="trial numbers start at 1")
        if number > MAX_TRIAL_NUMBER:
            return Marker("unknown", text, problem=f"trial numbers run to {MAX_TRIAL_NUMBER}")
    return Marker(kind, text, label, number)


def one_hot_descriptions(values, names) -> list[str]:
    """The descriptions of one sample of a one-hot annotation stream.

    Parameters
    ----------
    values : array-like of shape (n_channels,)
        The sample: an annotation's duration on its description's channel (-1 for a
        duration of 0), 0 on the others.
    names : sequence of str, length n_channels
        The channel names, which are the descriptions.

    Returns
    -------
    list of str
        The name of every channel whose value is non-zero (and not NaN), in channel order.
        A zero-duration annotation is -1, not 0, so it is found like any other.
    """
    values = np.asarray(values, dtype=np.float64).reshape(-1)
    if len(values) != len(names):
        raise ValueError(f"a one-hot sample has {len(values)} values for {len(names)} "
                         "channel names")
    return [name for name, v in zip(names, values) if v != 0 and not np.isnan(v)]
