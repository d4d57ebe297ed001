"""Monte-Carlo prediction by either form of the sampled scores.

With few trials the scores go through the trials (x.m + (L^T x).eps), with many through the
S coefficient sets (x.(m + L eps)); the choice follows the shapes, the noise is the same.
Both are checked against the float64 NumPy computation of the coefficient sets, against
each other on the same trials (a trial's probabilities do not depend on the other
trials), and through the labels drawn from them.
"""

import jax
import jax.numpy as jnp
import numpy as np
import pytest

from helpers import make_record, model_of, rtol_for
from kovani_bci.models.kovani_softmax import inference
from posterior import np_sampled_probs, working_type

proba = inference.kovani_softmax_predict_proba
samples = inference.kovani_softmax_predict_samples


def wide_record(K, ref, n_features, **kwargs):
    """A record whose logits stay of order one at any feature count (trials of unit scale)."""
    return make_record(K=K, ref_class=ref, F=n_features, scale=1.5 / np.sqrt(n_features + 1), **kwargs)


def trials(n, n_features, seed=0):
    return np.random.default_rng(seed).normal(size=(n, n_features))


# Trial counts on both sides of the switch (2 n <= S goes through the trials).
SIZES = {2: [1, 2], 100: [1, 50, 51]}


@pytest.mark.parametrize("K, ref, n_features", [(2, 1, 3), (3, 2, 260), (4, 1, 253), (5, 3, 3)])
def test_both_forms_match_the_float64_computation_and_each_other(x64, K, ref, n_features):
    record = wide_record(K, ref, n_features, seed=K)
    model = model_of(record)
    X = trials(51, n_features, seed=K)
    tol = rtol_for(x64)
    for S, sizes in SIZES.items():
        seed = 2**32 + K
        want = np_sampled_probs(record, X, S, jax.random.PRNGKey(seed)).mean(axis=0)
        got = {n: proba(model, X[:n], S, seed) for n in sizes}
        for n, p in got.items():
            np.testing.assert_allclose(p, want[:n], rtol=tol, atol=tol / 100)
            np.testing.assert_allclose(p.sum(axis=1), 1.0, rtol=1e-6)
        # The same trials by the other form: equal to rounding in the working type.
        last = got[sizes[-1]]
        for n in sizes[:-1]:
            np.testing.assert_allclose(got[n], last[:n], rtol=1e-11 if x64 else 2e-5, atol=1e-13 if x64 else 1e-7)


def categorical_draws(record, X, S, seed):
    """Labels drawn as documented from float64 probabilities: split key, eps, one key per sample."""
    key_eps, key_cat = jax.random.split(jax.random.PRNGKey(seed), 2)
    dtype = working_type(record)
    probs = jnp.asarray(np_sampled_probs(record, X, S, key_eps), dtype)
    logp = jnp.log(probs + jnp.finfo(dtype).eps)
    keys = jax.random.split(key_cat, S)
    return np.asarray(jax.vmap(lambda k, lp: jax.random.categorical(k, lp, axis=-1))(keys, logp))


def test_samples_keep_their_draws_on_both_forms(x64):
    record = wide_record(4, 2, 253, seed=3, label_base=1)
    S = 40
    X = trials(21, 253, seed=5)
    want = categorical_draws(record, X, S, 9) + 1
    for n in (1, 20, 21):  # through the trials, at the switch, through the sets
        got = samples(model_of(record), X[:n], S, 9)
        assert got.shape == (S, n) and got.dtype == np.int64
        if x64:
            np.testing.assert_array_equal(got, want[:, :n])
        else:
            # float32 rounding may move a draw that sits on a boundary, very rarely.
            assert np.mean(got == want[:, :n]) >= 0.99


def test_label_frequencies_at_many_features_follow_the_monte_carlo_probabilities(x64):
    record = wide_record(3, 1, 253, seed=8)
    X = trials(2, 253, seed=2)
    S = 4000
    draws = samples(model_of(record), X, S, 21)
    freq = np.stack([(draws == c).mean(axis=0) for c in range(3)], axis=1)
    mc = proba(model_of(record), X, S, 21).astype(np.float64)
    assert mc.min() > 0.05  # every cell below has a real spread
    se = np.sqrt(2 * mc * (1 - mc) / S)
    assert np.all(np.abs(freq - mc) <= 4 * se + 1e-6)


def test_large_factors_in_any_layout_and_type_give_the_same_results(x64):
    # (2, 521, 521) factors, over a MiB even in float32: handed to the core aligned.
    record = wide_record(3, 0, 520, seed=4)
    X = trials(2, 520, seed=6)
    L = record["beta_cov_chol"]
    L_before = L.copy()
    padded = np.zeros(L.shape[:2] + (L.shape[2] + 3,))
    padded[:, :, 1:-2] = L
    # A read-only array whose data starts 8 bytes past NumPy's own alignment.
    shifted = np.frombuffer(memoryview(np.zeros(L.nbytes + 8, np.uint8))[8:], np.float64).reshape(L.shape)
    shifted[...] = L
    shifted.flags.writeable = False
    layouts = {
        "as stored": L,
        "device array": jnp.asarray(L),
        "Fortran order": np.asfortranarray(L),
        "strided view": padded[:, :, 1:-2],
        "read-only, shifted by 8 bytes": shifted,
        "float32 factors": L.astype(np.float32),
    }
    results = {}
    for name, factors in layouts.items():
        model = model_of({**record, "beta_cov_chol": factors})
        # The last through the trials: NumPy factors are carried on the host, a device
        # array's in the core.
        results[name] = (proba(model, X, 3, 1), samples(model, X, 3, 1), proba(model, X, 1, 0),
                         proba(model, X[:1], 3, 1))
    want = results.pop("as stored")
    for name, got in results.items():
        if name == "float32 factors" and x64:
            # Rounded factors in float64 arithmetic: close, not equal. In 32-bit mode the
            # working type is float32 either way, and the stored factors round the same.
            np.testing.assert_allclose(got[0], want[0], rtol=1e-5)
            continue
        for g, w in zip(got[:3], want):
            np.testing.assert_array_equal(g, w, err_msg=name)
        np.testing.assert_allclose(got[3], want[3], rtol=1e-12 if x64 else 1e-5, err_msg=name)
        if name != "device array":
            np.testing.assert_array_equal(got[3], want[3], err_msg=name)
    np.testing.assert_allclose(want[3], want[0][:1], rtol=1e-12 if x64 else 1e-5)
    np.testing.assert_array_equal(L, L_before)
    assert L.flags.writeable and L.dtype == np.float64
    np.testing.assert_allclose(want[0], np_sampled_probs(record, X, 3, jax.random.PRNGKey(1)).mean(axis=0),
                               rtol=rtol_for(x64), atol=rtol_for(x64) / 100)


def test_factors_of_a_type_jax_cannot_take_are_refused_on_both_paths():
    # The plug-in path never reads the factors but still hands their element type to the core.
    record = make_record(K=3, ref_class=1, F=2)
    record["beta_cov_chol"] = record["beta_cov_chol"].astype(object)
    for S in (1, 2):
        with pytest.raises(TypeError):
            proba(model_of(record), np.ones((2, 2)), S, 0)
