import jax
import numpy as np
import pytest

import reference as ref
from helpers import make_trials, rtol_for
from kovani_bci.kovani_io import KovaniModel
from kovani_bci.models.kovani_softmax import learning

fit = learning.kovani_softmax_fit

RECORD_KEYS = ["backend", "n_classes", "label_base", "ref_class", "non_ref_classes", "beta_mean",
               "beta_cov_chol", "w_loc", "w_scale", "b_loc", "b_scale", "rng_seed", "learning_rate",
               "num_steps", "class_counts"]


def check_against_reference(model, X, y, K, label_base, hyper, lr, steps, x64_on):
    r, non_ref, counts, means, covs = ref.fit(X, y, K, label_base, *hyper, lr, steps)
    p = model.params
    assert int(p["ref_class"]) == r
    np.testing.assert_array_equal(p["non_ref_classes"], non_ref)
    np.testing.assert_array_equal(p["class_counts"], counts)
    rtol = rtol_for(x64_on)
    np.testing.assert_allclose(p["beta_mean"], means, rtol=rtol, atol=rtol)
    L = p["beta_cov_chol"].astype(np.float64)
    np.testing.assert_allclose(L @ np.swapaxes(L, 1, 2), covs, rtol=rtol, atol=rtol)


@pytest.mark.parametrize("K, label_base, lr, steps", [
    (2, 0, 1.0, 1), (3, 1, 0.5, 3), (5, 0, 1.0, 4), (5, 1, 0.5, 2)])
def test_fit_matches_float64_reference(x64, K, label_base, lr, steps):
    X, y0 = make_trials(60, 4, K, seed=K, separation=0.8)
    y = y0 + label_base
    hyper = (0.1, 1.5, -0.2, 2.0)
    model = fit(X, y, K, label_base, hyper[0], hyper[1], hyper[2], hyper[3], 7, lr, steps)
    assert model.params["beta_mean"].dtype == (np.float64 if x64 else np.float32)
    check_against_reference(model, X, y, K, label_base, hyper, lr, steps, x64)


def test_fit_edge_shapes_match_reference(x64):
    # A class without trials, and a model of intercepts only (no features).
    X, y = make_trials(30, 3, 3, seed=4)
    y = np.where(y == 1, 0, y)  # class 1 has no trials
    hyper = (0.0, 1.0, 0.5, 1.0)
    model = fit(X, y, 3, 0, *hyper, 0, 1.0, 2)
    assert model.params["class_counts"][1] == 0
    check_against_reference(model, X, y, 3, 0, hyper, 1.0, 2, x64)

    X0 = np.zeros((25, 0))
    y0 = np.arange(25) % 2
    model = fit(X0, y0, 2, 0, *hyper, 0, 0.7, 3)
    assert model.params["beta_mean"].shape == (1, 1)
    check_against_reference(model, X0, y0, 2, 0, hyper, 0.7, 3, x64)


def test_record_layout():
    X, y = make_trials(40, 3, 3, seed=2)
    X_before, y_before = X.copy(), y.copy()
    model = fit(X, y + 1, 3, 1, 0.0, 2.0, 0.0, 3.0, 42, 0.5, 2)
    assert isinstance(model, KovaniModel) and model.model_type == "kovani_softmax"
    p = model.params
    assert type(p) is dict and list(p) == RECORD_KEYS
    assert all(type(v) is np.ndarray for v in p.values())
    assert p["backend"].dtype == object and p["backend"].shape == () and p["backend"].item() == "pg_softmax_ref"
    for key in ["n_classes", "label_base", "ref_class", "rng_seed", "num_steps"]:
        assert p[key].dtype == np.int64 and p[key].shape == ()
    for key in ["w_loc", "w_scale", "b_loc", "b_scale", "learning_rate"]:
        assert p[key].dtype == np.float64 and p[key].shape == ()
    assert (int(p["n_classes"]), int(p["label_base"]), int(p["rng_seed"]), int(p["num_steps"])) == (3, 1, 42, 2)
    assert (float(p["w_scale"]), float(p["b_scale"]), float(p["learning_rate"])) == (2.0, 3.0, 0.5)
    assert p["non_ref_classes"].dtype == p["class_counts"].dtype == np.int64
    assert p["beta_mean"].shape == (2, 4) and p["beta_cov_chol"].shape == (2, 4, 4)
    assert p["beta_cov_chol"].dtype == p["beta_mean"].dtype
    L = p["beta_cov_chol"]
    assert np.all(np.triu(L, 1) == 0) and np.all(np.diagonal(L, axis1=1, axis2=2) > 0)
    np.testing.assert_array_equal(X, X_before)
    np.testing.assert_array_equal(y, y_before)


def test_reference_class_and_label_conversion():
    X = np.random.default_rng(0).normal(size=(12, 2))
    y = np.array([0] * 5 + [1] * 5 + [2] * 2)  # tie between 0 and 1: lowest index wins
    p = fit(X, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 1).params
    assert int(p["ref_class"]) == 0
    np.testing.assert_array_equal(p["non_ref_classes"], [1, 2])
    # Fractional labels are truncated toward zero.
    p = fit(X[:4], np.array([1.0, 2.9, 2.0, 0.0]), 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 1).params
    np.testing.assert_array_equal(p["class_counts"], [1, 1, 2])
    # K = 2 keeps one coefficient row.
    p = fit(X[:4], np.array([1, 2, 2, 1]), 2, 1, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 1).params
    assert p["beta_mean"].shape[0] == 1 and list(p["non_ref_classes"]) == [1]


def fit_error(**overrides):
    args = dict(X=np.zeros((3, 2)), y=np.array([0, 1, 1]), n_classes=2, label_base=0, w_loc=0.0,
                w_scale=1.0, b_loc=0.0, b_scale=1.0, rng_seed=0, learning_rate=1.0, num_steps=1)
    args.update(overrides)
    with pytest.raises(ValueError) as info:
        fit(**args)
    return str(info.value)


def test_entry_checks_and_their_order():
    nan = float("nan")
    assert fit_error(X=np.zeros(3)) == "X must be 2D: (n_trials, n_features)"
    assert fit_error(X=np.zeros(3), y=np.zeros((3, 1))) == "X must be 2D: (n_trials, n_features)"
    assert fit_error(y=np.zeros((3, 1))) == "y must be 1D: (n_trials,)"
    assert fit_error(y=np.array([0, 1])) == "X and y must have same number of rows"
    assert fit_error(y=np.array([0, 1]), n_classes=1) == "X and y must have same number of rows"
    assert fit_error(n_classes=1) == "n_classes must be >= 2"
    assert fit_error(n_classes=1, label_base=2) == "n_classes must be >= 2"
    assert fit_error(label_base=2) == "label_base must be 0 or 1"
    assert fit_error(label_base=2, w_scale=0.0) == "label_base must be 0 or 1"
    for bad in (0.0, -1.0, nan):
        assert fit_error(w_scale=bad, b_scale=bad) == "w_scale must be > 0"
        assert fit_error(b_scale=bad, learning_rate=bad) == "b_scale must be > 0"
    for bad in (0.0, 1.5, nan, -0.1):
        assert fit_error(learning_rate=bad, num_steps=0) == "learning_rate must be in (0, 1]"
    assert fit_error(num_steps=0, y=np.array([0, 1, 5])) == "num_steps must be >= 1"
    # Non-finite priors would give a model of NaNs; they are refused after the checks above.
    inf = float("inf")
    assert fit_error(w_scale=inf, y=np.array([0, 1, 5])) == "w_scale must be finite"
    assert fit_error(b_scale=inf) == "b_scale must be finite"
    assert fit_error(w_loc=nan, b_scale=inf) == "w_loc must be finite"
    assert fit_error(b_loc=-inf) == "b_loc must be finite"
    assert fit_error(w_loc=inf, num_steps=0) == "num_steps must be >= 1"
    assert fit_error(y=np.array([0, 1, 2])) == "y out of range for n_classes/label_base"
    assert fit_error(y=np.array([0, 1, 2]), label_base=1) == "y out of range for n_classes/label_base"
    assert fit_error(y=np.array([-1, 0, 1])) == "y out of range for n_classes/label_base"
    # label_base given as 1.0 or True compares equal to 1 and is stored as an integer.
    model = fit(np.zeros((3, 2)), np.array([1, 2, 2]), 2, True, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 1)
    assert model.params["label_base"].dtype == np.int64 and int(model.params["label_base"]) == 1
    # With no trials the range check's minimum has nothing to reduce: NumPy's error.
    with pytest.raises(ValueError, match="zero-size array"):
        fit(np.zeros((0, 2)), np.zeros(0, int), 2, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 1)


def test_compiled_core_is_reused_and_follows_the_module(monkeypatch):
    X, y = make_trials(30, 2, 3, seed=9)
    traced = []
    original = learning._pg_binary_update

    def counting(*args):
        traced.append(args[0].shape)
        return original(*args)
    monkeypatch.setattr(learning, "_pg_binary_update", counting)
    first = fit(X, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 3)
    assert len(traced) == 1  # traced once: the class loop body is traced, not unrolled
    second = fit(X + 1.0, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 3)
    assert len(traced) == 1  # same shapes: the compiled core is reused
    assert not np.array_equal(first.params["beta_mean"], second.params["beta_mean"])

    def halved(Xa, z, offset, m0, prec0, m, S):
        m_new, S_new = original(Xa, z, offset, m0, prec0, m, S)
        return m_new * 0.5, S_new
    monkeypatch.setattr(learning, "_pg_binary_update", halved)
    third = fit(X + 1.0, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 1)
    monkeypatch.setattr(learning, "_pg_binary_update", original)
    plain = fit(X + 1.0, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 1)
    np.testing.assert_allclose(third.params["beta_mean"][0], 0.5 * plain.params["beta_mean"][0], rtol=1e-5)


def test_fit_learns_separable_classes():
    X, y = make_trials(300, 4, 3, seed=1, separation=3.0)
    p = fit(X, y, 3, 0, 0.0, 5.0, 0.0, 5.0, 0, 1.0, 15).params
    logits = np.zeros((len(y), 3))
    logits[:, p["non_ref_classes"]] = np.c_[X, np.ones(len(y))] @ p["beta_mean"].T
    assert np.mean(logits.argmax(1) == y) > 0.9
