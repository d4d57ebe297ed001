"""The native boundary under arbitrary arguments: every call returns a result of the
documented shape and type or raises an exception; none ends the process.

The property tests draw argument values from a pool of awkward Python objects and arrays
and mix positional and keyword passing. Shapes are kept few and small, so that the
compiled cores are traced a handful of times, not once per example.
"""

import numpy as np
import pytest

from kovani_bci.models.kovani_softmax import learning


def test_repr_survives_a_rebound_qualname():
    # __qualname__ is an ordinary instance attribute; repr must not read a non-string as one.
    fn = learning._pg_expected_omega
    saved = fn.__qualname__
    try:
        for value in (5, None, b"bytes", ["a"]):
            fn.__qualname__ = value
            assert repr(fn) == f"<function {value}>"
    finally:
        fn.__qualname__ = saved
    assert repr(fn) == "<function _pg_expected_omega>"
