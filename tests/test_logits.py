import jax.numpy as jnp
import numpy as np
import pytest

from kovani_bci.models.kovani_softmax import learning

build_logits = learning._build_logits
RNG = np.random.default_rng(0)
XA = np.c_[RNG.normal(size=(5, 3)), np.ones(5)]
BETA = RNG.normal(size=(3, 4))


def test_columns_follow_the_class_list_with_the_reference_at_zero(x64):
    dtype = np.float64 if x64 else np.float32
    X_aug, beta = jnp.asarray(XA, dtype), jnp.asarray(BETA, dtype)
    eta = XA @ BETA.T
    rtol = 1e-12 if x64 else 1e-5
    # Classes 0, 2, 4 from the rows; class 1 is the reference; class 3 is listed nowhere.
    logits = build_logits(X_aug, beta, jnp.array([0, 2, 4]), 1, 5)
    assert logits.shape == (5, 5) and logits.dtype == dtype
    expected = np.zeros((5, 5))
    expected[:, [0, 2, 4]] = eta
    np.testing.assert_allclose(logits, expected, rtol=rtol, atol=rtol)
    assert np.all(np.asarray(logits)[:, [1, 3]] == 0)
    # The reference column is written last: zero even where the list names it too.
    logits = build_logits(X_aug, beta, np.array([0, 1, 2]), 1, 3)
    assert np.all(np.asarray(logits)[:, 1] == 0)
    np.testing.assert_allclose(np.asarray(logits)[:, [0, 2]], eta[:, [0, 2]], rtol=rtol, atol=rtol)


def test_empty_design_types_and_argument_conversion(enable_x64):
    # n = 0 gives an empty (0, K) matrix in the design's type.
    empty = build_logits(jnp.zeros((0, 4), jnp.float32), jnp.asarray(BETA[:2]), np.array([0, 2]), 1, 3)
    assert empty.shape == (0, 3) and empty.dtype == jnp.float32
    # The result takes the element type of X_aug, whatever that of the coefficients.
    mixed = build_logits(jnp.asarray(XA, jnp.float32), jnp.asarray(BETA), np.array([1, 2, 3]), 0, 4)
    assert mixed.dtype == jnp.float32
    # Integer parameters are converted on entry, by position or by keyword.
    a = build_logits(jnp.asarray(XA), jnp.asarray(BETA[:2]), np.array([0, 2]), 1.0, np.int32(3))
    b = build_logits(X_aug=jnp.asarray(XA), beta_mean=jnp.asarray(BETA[:2]), non_ref_classes=[0, 2],
                     ref_class=1, n_classes=3)
    np.testing.assert_array_equal(a, b)
    with pytest.raises(TypeError) as info:
        build_logits(jnp.asarray(XA), jnp.asarray(BETA[:2]), np.array([0, 2]), 1, "3")
    assert str(info.value) == "Argument 'n_classes' has incorrect type (expected int, got str)"


def test_metadata():
    assert build_logits.__doc__ == (
        "_build_logits(X_aug: jax.Array, beta_mean: jax.Array, non_ref_classes: jax.Array, "
        "int ref_class: int, int n_classes: int) -> jax.Array")
    assert build_logits.__annotations__ == {
        "X_aug": "jax.Array", "beta_mean": "jax.Array", "non_ref_classes": "jax.Array",
        "ref_class": "int", "n_classes": "int", "return": "jax.Array"}
