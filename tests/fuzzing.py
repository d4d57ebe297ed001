"""Awkward arguments for the published functions, and calls built from them.

A call is made from a function's valid arguments with a few of them replaced by awkward
values, split at random between positional and keyword passing, and sometimes broken on
purpose (a parameter dropped, one too many, an unknown or a repeated keyword).
"""

from __future__ import annotations

import math
from decimal import Decimal
from fractions import Fraction

import jax.numpy as jnp
import numpy as np
from hypothesis import strategies as st

from kovani_bci.kovani_io import KovaniModel


class NoNumber:
    """No number protocol, no array interface."""


class HugeIndex:
    def __index__(self):
        return 2**100


class BadFloat:
    def __float__(self):
        raise RuntimeError("no float for you")


class BadInt:
    def __int__(self):
        return "not an int"


class BadArray:
    def __array__(self, dtype=None, copy=None):
        raise RuntimeError("no array for you")


class FakeArray:
    """Claims the attributes of an array without being one."""
    shape = (3, 2)
    dtype = np.float32
    ndim = 2
    T = None


SCALARS = [
    None, "3", "", b"3", {}, {"a": 1}, [], (), NoNumber(), HugeIndex(), BadFloat(), BadInt(),
    BadArray(), FakeArray(), True, False, 0, 1, 2, 3, -1, 2**31, 2**63, 2**100, -2**70,
    0.0, -0.0, 0.5, 1.5, -2.5, math.nan, math.inf, -math.inf, 1e308, 5e-324, 1 + 2j,
    Decimal("1.5"), Fraction(3, 2), np.int8(3), np.uint64(2**64 - 1), np.int64(-2**63),
    np.float16(0.5), np.float32(math.nan), np.float64(math.inf), np.bool_(True),
    np.complex128(1j), np.datetime64("2026-12-08"), np.str_("2"),
]
ZERO_DIM = [np.array(2), np.array(2.5), np.array(math.nan), np.array("x"), np.array(None, object),
            np.array([1]), np.array(2**40)]
RAGGED = [[[1, 2], [3]], [[1, 2], [3, [4]]], [[[]]], [[1, "a"]], [[None, 1]] * 6, [[1.0, 2.0]] * 6,
          [0, 1, 2, 0, 1, 2], [[1, 2]] * 6 + [[3]]]
DTYPES = [np.bool_, np.int8, np.int32, np.int64, np.uint8, np.uint64, np.float16, np.float32,
          np.float64, np.complex64, np.complex128, object, "U3", "S3", "M8[s]", "m8[s]"]
# Few shapes, so that the compiled cores are traced a few times, not once per example.
SHAPES = [(), (0,), (6,), (3,), (0, 2), (6, 2), (3, 2), (2, 2), (6, 1, 2), (1, 300), (6, 300)]
# Labels made from these stay small or fail fast: 2**31 classes exceed memory, NaN and the
# infinities turn into out-of-range integers.
FILLS = [0, 1, 2, -1, 2.7, math.nan, math.inf, -math.inf, 1e300, 2**31]


def make_array(dtype, shape, fill, as_jax):
    with np.errstate(all="ignore"):
        try:
            a = np.full(shape, fill).astype(dtype)
        except (TypeError, ValueError, OverflowError):
            a = np.zeros(shape, dtype)
    if as_jax and a.dtype.kind in "biufc":
        return jnp.asarray(a)
    return a


def awkward():
    return st.one_of(
        st.sampled_from(SCALARS),
        st.sampled_from(ZERO_DIM),
        st.sampled_from(RAGGED),
        st.builds(make_array, st.sampled_from(DTYPES), st.sampled_from(SHAPES), st.sampled_from(FILLS),
                  st.booleans()),
    )


FAULTS = ["drop", "extra", "unknown", "repeat"]


@st.composite
def calls(draw, params, good, extra_values=()):
    """(positional, keywords, fault, arguments) for a function with parameter names
    `params` and valid arguments `good()`; `fault` is None for a well-formed call."""
    args = good()
    values = awkward() if not extra_values else st.one_of(awkward(), st.sampled_from(extra_values))
    for name in draw(st.lists(st.sampled_from(params), max_size=3, unique=True)):
        args[name] = draw(values)
    n_positional = draw(st.integers(0, len(params)))
    positional = [args[p] for p in params[:n_positional]]
    keywords = {p: args[p] for p in draw(st.permutations(params[n_positional:]))}
    fault = draw(st.sampled_from([None] * 8 + FAULTS))
    if fault == "drop":
        if keywords:
            del keywords[draw(st.sampled_from(sorted(keywords)))]
        else:
            positional.pop()
    elif fault == "extra":
        positional.append(0)
    elif fault == "unknown":
        keywords["bogus"] = 0
    elif fault == "repeat":
        if not positional:
            positional.append(args[params[0]])
        else:
            keywords[params[draw(st.integers(0, n_positional - 1))]] = 0
    return positional, keywords, fault, args


def fingerprint(value):
    """What a call could change of an argument: array bytes, dict and list contents."""
    if isinstance(value, np.ndarray):
        return ("ndarray", value.dtype.str, value.shape, value.flags.writeable,
                value.tobytes() if value.dtype != object else tuple(map(id, value.ravel())))
    if isinstance(value, KovaniModel):
        return ("model", value.model_type, id(value.params), fingerprint(value.params))
    if isinstance(value, dict):
        return ("dict", tuple((k, fingerprint(v)) for k, v in value.items()))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, tuple(fingerprint(v) for v in value))
    return ("object", id(value))


def invoke(fn, positional, keywords, fault):
    """Calls fn; returns (result, None) or (None, exception). Argument faults must raise
    TypeError before anything else runs; no call may raise SystemError (a C-level fault)
    or a BaseException that is not an Exception, and none may change its arguments."""
    before = [fingerprint(v) for v in (*positional, *keywords.values())]
    try:
        result, error = fn(*positional, **keywords), None
    except Exception as e:  # noqa: BLE001 -- any exception is an acceptable outcome
        result, error = None, e
    assert not isinstance(error, SystemError), repr(error)
    if fault is not None:
        assert isinstance(error, TypeError), f"argument fault {fault!r} gave {error!r}"
    after = [fingerprint(v) for v in (*positional, *keywords.values())]
    assert before == after, "an argument was modified"
    return result, error
