import jax
import jax.numpy as jnp
import numpy as np
import pytest

import reference as ref
from helpers import rtol_for
from kovani_bci.models.kovani_softmax import learning


@pytest.mark.parametrize("np_dtype, x64_type", [
    (np.float64, "float64"), (np.float32, "float32"), (np.int64, "float32"), (np.int32, "float32"),
    (np.bool_, "float32"), (np.float16, "float32")])
def test_working_type_follows_input_and_64_bit_flag(x64, np_dtype, x64_type):
    got = learning._jax_dtype_from_numpy(np.zeros(2, np_dtype))
    assert got is (getattr(jnp, x64_type) if x64 else jnp.float32)


def test_expected_omega(x64):
    dtype = jnp.float64 if x64 else jnp.float32
    c = jnp.array([0.0, -3.0, 1e-12, 0.5, 4.0, 1e4], dtype)
    got = learning._pg_expected_omega(c)
    assert got.dtype == dtype
    assert got[0] == got[1] == 0.25  # negatives are floored like zero, not mirrored
    want = ref.expected_omega(np.maximum(np.asarray(c, np.float64), float(jnp.finfo(dtype).eps)))
    np.testing.assert_allclose(got, want, rtol=rtol_for(x64) * 10)
    np.testing.assert_allclose(got[-1], 0.5 / 1e4, rtol=1e-6)


def kernel_inputs(n, d, dtype, seed=0):
    rng = np.random.default_rng(seed)
    Xa = np.c_[rng.normal(size=(n, d - 1)), np.ones(n)]
    A = rng.normal(size=(d, d))
    S = A @ A.T / d + 0.1 * np.eye(d)
    prec0 = np.diag(rng.uniform(0.5, 2.0, d))
    args = (Xa, rng.integers(0, 2, n).astype(float), rng.normal(size=n), rng.normal(size=d), prec0,
            rng.normal(size=d), S)
    return args, tuple(jnp.asarray(a, dtype) for a in args)


@pytest.mark.parametrize("n", [0, 1, 40])
def test_binary_update_matches_reference(x64, n):
    dtype = jnp.float64 if x64 else jnp.float32
    host, dev = kernel_inputs(n, 5, dtype, seed=n)
    m_new, S_new = learning._pg_binary_update(*dev)
    assert m_new.dtype == S_new.dtype == dtype
    want_m, want_S = ref.pg_binary_update(*host)
    tol = rtol_for(x64)
    np.testing.assert_allclose(m_new, want_m, rtol=tol, atol=tol)
    np.testing.assert_allclose(S_new, want_S, rtol=tol, atol=tol)
    if n == 0:  # no trials: the prior comes back
        np.testing.assert_allclose(m_new, host[3], rtol=tol, atol=tol)
        np.testing.assert_allclose(np.asarray(S_new) @ host[4], np.eye(5), atol=tol)
    np.testing.assert_allclose(S_new, np.asarray(S_new).T, atol=tol)


def test_binary_update_depends_on_m_and_S_only_through_c(enable_x64):
    host, dev = kernel_inputs(30, 4, jnp.float64, seed=3)
    Xa, z, offset, m0, prec0, m, S = dev
    # Flipping the sign of the predictor mean about the offset leaves every c_t unchanged.
    m_mirror = -m
    off = jnp.zeros_like(offset)
    a = learning._pg_binary_update(Xa, z, off, m0, prec0, m, S)
    b = learning._pg_binary_update(Xa, z, off, m0, prec0, m_mirror, S)
    np.testing.assert_array_equal(a[0], b[0])
    np.testing.assert_array_equal(a[1], b[1])


def test_kernels_trace_under_jit_and_fori_loop(x64):
    dtype = jnp.float64 if x64 else jnp.float32
    host, dev = kernel_inputs(20, 3, dtype, seed=1)
    eager = learning._pg_binary_update(*dev)
    jitted = jax.jit(learning._pg_binary_update)(*dev)
    tol = rtol_for(x64)
    np.testing.assert_allclose(jitted[0], eager[0], rtol=tol, atol=tol)

    def body(_, m):
        return learning._pg_binary_update(dev[0], dev[1], dev[2], dev[3], dev[4], m, dev[6])[0]
    looped = jax.lax.fori_loop(0, 2, body, dev[5])
    m1 = ref.pg_binary_update(*host)[0]
    m2 = ref.pg_binary_update(*host[:5], m1, host[6])[0]
    np.testing.assert_allclose(looped, m2, rtol=tol, atol=tol)


def test_binary_update_reads_expected_omega_from_the_module(monkeypatch):
    _, dev = kernel_inputs(10, 3, jnp.float32)
    seen = []

    def spy(c):
        seen.append(c.shape)
        return jnp.full_like(c, 0.25)
    monkeypatch.setattr(learning, "_pg_expected_omega", spy)
    learning._pg_binary_update(*dev)
    assert seen == [(10,)]
