"""Prediction: plug-in and Monte-Carlo probabilities, labels, and posterior predictive samples.

The oracle is NumPy in float64. Random draws are reproduced from the seed with
`jax.random` directly, as documented: the Monte-Carlo noise comes from the unsplit key,
the sampling noise from the first of two split keys.
"""

import copy

import jax
import jax.numpy as jnp
import numpy as np
import pytest

from helpers import make_record, make_trials, model_of, rtol_for
from posterior import np_logits, np_sampled_probs, np_softmax, working_type
from kovani_bci.kovani_io import KovaniModel
from kovani_bci.models.kovani_softmax import inference, learning

proba = inference.kovani_softmax_predict_proba
predict = inference.kovani_softmax_predict
samples = inference.kovani_softmax_predict_samples

SEEDS = [0, -1, 2**31, 2**32 + 5, 2**62]


def close(got, want, x64_on):
    tol = rtol_for(x64_on)
    np.testing.assert_allclose(got, want, rtol=tol, atol=tol / 100)


@pytest.mark.parametrize("K, ref, label_base", [(2, 0, 0), (2, 1, 1), (3, 1, 0), (5, 4, 1), (5, 0, 0)])
def test_plug_in_probabilities_and_labels(x64, K, ref, label_base):
    record = make_record(K=K, ref_class=ref, F=3, label_base=label_base, seed=K + ref)
    X = np.random.default_rng(1).normal(size=(6, 3))
    want = np_softmax(np_logits(X, record["beta_mean"].astype(np.float64), record))
    got = proba(model_of(record), X, 1, 0)
    assert got.shape == (6, K) and got.dtype == (np.float64 if x64 else np.float32)
    close(got, want, x64)
    np.testing.assert_allclose(got.sum(axis=1), 1.0, rtol=1e-6)
    # The seed plays no part on the plug-in path, not even one that no key could hold.
    np.testing.assert_array_equal(proba(model_of(record), X, 1, 2**70), got)
    labels = predict(model_of(record), X, 1, 3)
    assert labels.dtype == np.int64
    np.testing.assert_array_equal(labels, want.argmax(axis=1) + label_base)


def test_plug_in_on_a_fitted_record_and_a_float32_record_in_64_bit_mode(enable_x64):
    X, y = make_trials(80, 4, 3, seed=3)
    model = learning.kovani_softmax_fit(X, y + 1, 3, 1, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 3)
    p = model.params
    want = np_softmax(np_logits(X, p["beta_mean"], p))
    close(proba(model, X, 1, 0), want, True)
    np.testing.assert_array_equal(predict(model, X, 1, 0), want.argmax(axis=1) + 1)
    # The working type is the record's: a float32 record computes in float32.
    record = make_record(K=4, ref_class=2, F=4, dtype=np.float32)
    got = proba(model_of(record), X, 1, 0)
    assert got.dtype == np.float32
    close(got, np_softmax(np_logits(X, record["beta_mean"].astype(np.float64), record)), False)
    # ...and draws its Monte-Carlo noise in float32.
    want = np_sampled_probs(record, X, 4, jax.random.PRNGKey(3)).mean(axis=0)
    close(proba(model_of(record), X, 4, 3), want, False)


@pytest.mark.parametrize("seed", SEEDS)
def test_monte_carlo_probabilities_use_the_unsplit_key(x64, seed):
    record = make_record(K=4, ref_class=2, F=3, seed=11)
    X = np.random.default_rng(2).normal(size=(5, 3))
    S = 6
    # The noise is drawn once per seed and kept: every call, a repeated seed after another
    # one's included, draws from its own seed's key.
    for s in (seed, seed + 1, seed):
        want = np_sampled_probs(record, X, S, jax.random.PRNGKey(s)).mean(axis=0)
        got = proba(model_of(record), X, S, s)
        assert got.shape == (5, 4)
        close(got, want, x64)
    np.testing.assert_allclose(got.sum(axis=1), 1.0, rtol=1e-6)
    np.testing.assert_array_equal(predict(model_of(record), X, S, seed), got.argmax(axis=1))


def test_seeds_beyond_64_bits_fail_as_prng_key_does():
    record = make_record(K=3, ref_class=0, F=2)
    X = np.zeros((2, 2))
    with pytest.raises(OverflowError):
        jax.random.PRNGKey(2**63)
    for seed in (2**63, -2**63 - 1):
        for f in (proba, samples):
            with pytest.raises(OverflowError):
                f(model_of(record), X, 3, seed)


def test_determinism_and_seed_dependence():
    record = make_record(K=3, ref_class=1, F=2, seed=5)
    X = np.random.default_rng(3).normal(size=(4, 2))
    for f, S in ((proba, 2), (samples, 30)):
        a, b, c = f(model_of(record), X, S, 7), f(model_of(record), X, S, 7), f(model_of(record), X, S, 8)
        np.testing.assert_array_equal(a, b)
        assert not np.array_equal(a, c)


@pytest.mark.parametrize("seed", [0, 2**32 + 5])
def test_samples_draw_from_the_split_keys(x64, seed):
    record = make_record(K=3, ref_class=1, F=2, seed=9, label_base=1)
    X = np.random.default_rng(4).normal(size=(4, 2))
    S = 40
    key_eps, key_cat = jax.random.split(jax.random.PRNGKey(seed), 2)
    probs = np_sampled_probs(record, X, S, key_eps)
    dtype = working_type(record)
    logp = jnp.log(jnp.asarray(probs, dtype) + jnp.finfo(dtype).eps)
    keys = jax.random.split(key_cat, S)
    want = np.asarray(jax.vmap(lambda k, lp: jax.random.categorical(k, lp, axis=-1))(keys, logp)) + 1
    got = samples(model_of(record), X, S, seed)
    assert got.shape == (S, 4) and got.dtype == np.int64
    assert got.min() >= 1 and got.max() <= 3
    if x64:
        np.testing.assert_array_equal(got, want)
    else:
        # float32 rounding may move a draw that sits on a boundary, very rarely.
        assert np.mean(got == want) >= 0.99


def test_label_frequencies_follow_the_predictive_probabilities(x64):
    record = make_record(K=3, ref_class=0, F=2, seed=21, scale=1.5)
    X = np.array([[0.5, -1.0], [0.0, 0.0], [2.0, 1.0]])
    S = 4000
    draws = samples(model_of(record), X, S, 13)
    freq = np.stack([(draws == c).mean(axis=0) for c in range(3)], axis=1)  # (n, K)

    # Given the coefficient draws (noise of the first split key), each label is a
    # categorical draw with probabilities (p + eps) / (1 + K eps).
    key_eps, _ = jax.random.split(jax.random.PRNGKey(13), 2)
    q = np_sampled_probs(record, X, S, key_eps)
    se = np.sqrt((q * (1 - q)).sum(axis=0)) / S
    assert np.all(np.abs(freq - q.mean(axis=0)) <= 4 * se + 1e-6)

    # Against the Monte-Carlo probabilities: both estimate the predictive probability.
    mc = proba(model_of(record), X, S, 13).astype(np.float64)
    se2 = np.sqrt(2 * mc * (1 - mc) / S)
    assert np.all(np.abs(freq - mc) <= 4 * se2 + 1e-6)
    assert mc.min() > 0.05  # every cell of the check above has a real spread
    # ...and it tells the predictive distribution from the plug-in one.
    plug_in = proba(model_of(record), X, 1, 0)
    assert np.any(np.abs(freq - plug_in) > 4 * se2)


def test_samples_stay_valid_when_probabilities_underflow():
    # Logits of +-1e4: the other classes get probability exactly 0; eps keeps the log finite.
    record = make_record(K=3, ref_class=0, F=1, seed=2)
    record["beta_mean"] = np.array([[1e4, 0.0], [-1e4, 0.0]])
    record["beta_cov_chol"] = np.zeros((2, 2, 2))
    X = np.array([[1.0], [-1.0]])
    draws = samples(model_of(record), X, 50, 0)
    np.testing.assert_array_equal(draws, np.tile([1, 2], (50, 1)))


def test_input_forms_zero_trials_and_checks():
    record = make_record(K=3, ref_class=2, F=2)
    m = model_of(record)
    X = [[1, 2], [3, -4]]
    for S in (1, 3):
        ref_p = proba(m, np.asarray(X, np.float64), S, 4)
        np.testing.assert_array_equal(proba(m, X, S, 4), ref_p)  # nested lists
        np.testing.assert_array_equal(proba(m, np.asarray(X, np.int32), S, 4), ref_p)  # integers
        empty = proba(m, np.zeros((0, 2)), S, 4)
        assert empty.shape == (0, 3) and empty.dtype.kind == "f"
        assert predict(m, np.zeros((0, 2)), S, 4).shape == (0,)
        assert predict(m, np.zeros((0, 2)), S, 4).dtype == np.int64
    assert samples(m, np.zeros((0, 2)), 5, 0).shape == (5, 0)
    assert samples(m, X, 1, 0).shape == (1, 2)

    for f in (proba, predict, samples):
        for bad in (np.zeros(2), np.zeros((1, 1, 2)), [1.0, 2.0]):
            with pytest.raises(ValueError, match=r"^X must be 2D: \(n_trials, n_features\)$"):
                f(m, bad, 1, 0)
        for S in (0, -3):
            with pytest.raises(ValueError, match="^num_posterior_samples must be >= 1$"):
                f(m, X, S, 0)
        # The dimension check comes first.
        with pytest.raises(ValueError, match="^X must be 2D"):
            f(m, np.zeros(2), 0, 0)
        # Both checks come before the record is read.
        with pytest.raises(ValueError, match="^X must be 2D"):
            f(object(), np.zeros(2), 1, 0)
        # A feature count that does not match the model fails in JAX's shape checks.
        for S in (1, 2):
            with pytest.raises((TypeError, ValueError)):
                f(m, np.zeros((2, 3)), S, 0)


def test_argument_conventions():
    m = model_of(make_record(K=3, ref_class=1, F=2))
    X = np.ones((2, 2))
    np.testing.assert_array_equal(proba(m, X, 3.0, 5), proba(m, X, 3, 5))
    np.testing.assert_array_equal(proba(m, X, 1.9, 5), proba(m, X, 1, 0))  # truncated: plug-in
    np.testing.assert_array_equal(samples(m, X, np.int32(4), np.int64(5)), samples(m, X, 4, 5.5))
    np.testing.assert_array_equal(
        predict(model=m, X=X, num_posterior_samples=2, rng_seed=1), predict(m, X, 2, 1))
    with pytest.raises(TypeError) as info:
        proba(m, X, "3", 0)
    assert str(info.value) == "Argument 'num_posterior_samples' has incorrect type (expected int, got str)"
    with pytest.raises(TypeError) as info:
        samples(m, X, 2, None)
    assert str(info.value) == "Argument 'rng_seed' has incorrect type (expected int, got NoneType)"
    with pytest.raises(TypeError) as info:
        predict(m, X, 2)
    assert str(info.value) == "kovani_softmax_predict() takes exactly 4 positional arguments (3 given)"


def test_ties_go_to_the_lowest_class():
    record = make_record(K=4, ref_class=0, F=2, label_base=1)
    record["beta_mean"] = np.zeros((3, 3))  # every class at logit 0
    X = np.random.default_rng(0).normal(size=(3, 2))
    np.testing.assert_array_equal(predict(model_of(record), X, 1, 0), [1, 1, 1])
    record["beta_mean"] = np.array([[0.0, 0.0, -1.0], [0.0, 0.0, 2.0], [0.0, 0.0, 2.0]])  # classes 2, 3
    np.testing.assert_array_equal(predict(model_of(record), X, 1, 0), [3, 3, 3])


class LoggedRecord(dict):
    """A record that notes every key read from it."""

    def __init__(self, *args):
        super().__init__(*args)
        self.reads = []

    def __getitem__(self, key):
        self.reads.append(key)
        return super().__getitem__(key)


READS = ["n_classes", "ref_class", "non_ref_classes", "beta_mean", "beta_cov_chol"]


def test_record_reads_their_order_and_missing_keys():
    X = np.ones((2, 2))
    for f, S, tail in ((proba, 1, []), (proba, 3, []), (predict, 2, ["label_base"]), (samples, 2, ["label_base"])):
        record = LoggedRecord(make_record(K=3, ref_class=1, F=2))
        f(model_of(record), X, S, 0)
        assert record.reads == READS + tail

    for missing in READS:
        for f in (proba, predict, samples):
            record = LoggedRecord(make_record(K=3, ref_class=1, F=2))
            del record[missing]
            with pytest.raises(KeyError) as info:
                f(model_of(record), X, 2, 0)
            assert info.value.args == (missing,)
            assert record.reads == READS[:READS.index(missing) + 1]

    # label_base is read only once the probabilities or draws exist.
    record = make_record(K=3, ref_class=1, F=2)
    del record["label_base"]
    assert proba(model_of(record), X, 2, 0).shape == (2, 3)
    for f in (predict, samples):
        logged = LoggedRecord(record)
        with pytest.raises(KeyError, match="label_base"):
            f(model_of(logged), X, 2, 0)
        assert logged.reads == READS + ["label_base"]
    with pytest.raises(AttributeError):
        proba(object(), X, 1, 0)


def test_inputs_are_left_unchanged():
    X, y = make_trials(30, 3, 3, seed=1)
    model = learning.kovani_softmax_fit(X, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 2)
    params = model.params
    before = {k: v.copy() for k, v in params.items()}
    ids = {k: id(v) for k, v in params.items()}
    X_before = X.copy()
    for f in (proba, predict, samples):
        for S in (1, 3):
            f(model, X, S, 0)
    assert model.params is params and list(params) == list(before)
    for k, v in params.items():
        assert id(v) == ids[k] and v.dtype == before[k].dtype
        np.testing.assert_array_equal(v, before[k])
    np.testing.assert_array_equal(X, X_before)
    # Results are fresh arrays that the caller may write.
    out = proba(model, X, 1, 0)
    assert out.flags.writeable and out.flags.owndata


def test_compiled_core_is_reused_and_follows_the_module(monkeypatch):
    record = make_record(K=3, ref_class=1, F=2, seed=4)
    m = model_of(record)
    rng = np.random.default_rng(0)
    X1, X2 = rng.normal(size=(4, 2)), rng.normal(size=(4, 2))
    traces = []
    original = inference.kovani_softmax

    def counting_softmax(logits):
        traces.append(logits.shape)
        return original(logits)

    monkeypatch.setattr(inference, "kovani_softmax", counting_softmax)
    for f, S in ((proba, 1), (proba, 3), (samples, 3)):
        before = len(traces)
        f(m, X1, S, 0)
        f(m, X2, S, 1)
        assert len(traces) == before + 1  # traced on the first call only
    proba(m, rng.normal(size=(5, 2)), 1, 0)  # a new shape traces again
    assert len(traces) == 4

    # Replacing a collaborator on the module takes effect on the next call.
    def uniform(logits):
        return jnp.full_like(logits, 1.0 / logits.shape[-1])

    monkeypatch.setattr(inference, "kovani_softmax", uniform)
    for S in (1, 3):
        np.testing.assert_allclose(proba(m, X1, S, 0), np.full((4, 3), 1 / 3), rtol=1e-6)
    monkeypatch.setattr(inference, "kovani_softmax", original)

    logits_from_beta = inference._logits_from_beta

    def doubled(*args):
        return 2 * logits_from_beta(*args)

    monkeypatch.setattr(inference, "_logits_from_beta", doubled)
    want = np_softmax(2 * np_logits(X1, record["beta_mean"], record))
    np.testing.assert_allclose(proba(m, X1, 1, 0), want, rtol=1e-5, atol=1e-7)
    np.testing.assert_array_equal(predict(m, X1, 1, 0), want.argmax(axis=1))


def test_module_contents_and_metadata():
    names = [k for k in vars(inference) if not k.startswith("__")]
    assert names == ["jax", "jnp", "np", "KovaniModel", "kovani_softmax", "_logits_from_beta",
                     "kovani_softmax_predict_proba", "kovani_softmax_predict",
                     "kovani_softmax_predict_samples"]
    from kovani_bci.kovani_math import kovani_softmax
    from kovani_bci.models import kovani_softmax as package
    assert inference.kovani_softmax is kovani_softmax and inference.KovaniModel is KovaniModel
    signature = "(model: KovaniModel, X: np.ndarray, int num_posterior_samples: int, int rng_seed: int) -> np.ndarray"
    for f, summary in ((proba, "Predict class probabilities for Bayesian multinomial softmax regression."),
                       (predict, "Predict the most likely class label for each row of X."),
                       (samples, "Draw label samples from the posterior predictive distribution.")):
        assert f.__doc__ == f"{f.__name__}{signature}\n\n{summary}"
        assert f.__annotations__ == {"model": "KovaniModel", "X": "np.ndarray", "num_posterior_samples": "int",
                                     "rng_seed": "int", "return": "np.ndarray"}
        assert f.__module__ == "kovani_bci.models.kovani_softmax.inference"
        assert getattr(package, f.__name__) is f
