import copy
import types

import jax
import numpy as np
import pytest

import reference as ref
from helpers import check_update_against, make_record, make_trials, model_of, rtol_for
from kovani_bci.kovani_io import KovaniModel
from kovani_bci.models.kovani_softmax import learning

fit = learning.kovani_softmax_fit
update = learning.kovani_softmax_update

UNTOUCHED = ["label_base", "ref_class", "w_loc", "w_scale", "b_loc", "b_scale", "rng_seed",
             "learning_rate", "num_steps"]
REPLACED = ["backend", "n_classes", "non_ref_classes", "beta_mean", "beta_cov_chol", "class_counts"]


def check_against_reference(new, record, X, y, x64_on):
    *expected, factors = ref.update(record, X, y)
    L = check_update_against(new, expected, x64_on)
    np.testing.assert_allclose(L, factors, rtol=rtol_for(x64_on), atol=rtol_for(x64_on))


def batch(labels, F=3, seed=1):
    rng = np.random.default_rng(seed)
    return rng.normal(size=(len(labels), F)), np.asarray(labels)


@pytest.mark.parametrize("K, ref_class, label_base, lr, steps, labels", [
    (3, 0, 0, 1.0, 1, [0, 1, 2, 1, 2, 2]),       # no growth, undamped, one sweep
    (3, 0, 0, 1.0, 2, [0, 1, 2, 1, 2, 2]),       # the same batch, two sweeps
    (3, 0, 1, 0.5, 2, [2, 4, 6, 6, 1]),          # growth by 3 classes, one of them without trials
    (4, 2, 0, 0.7, 3, [2, 2, 2, 0, 2, 3, 2]),    # mostly reference-class trials
])
def test_update_matches_float64_reference(x64, K, ref_class, label_base, lr, steps, labels):
    record = make_record(K=K, ref_class=ref_class, label_base=label_base, lr=lr, steps=steps,
                         dtype=np.float64 if x64 else np.float32, seed=K + steps)
    X, y = batch(labels)
    new = update(model_of(record), X, y)
    check_against_reference(new, record, X, y, x64)
    assert int(new.params["ref_class"]) == ref_class  # even where the batch outnumbers it


def test_record_in_the_other_precision(x64):
    # A float64 record with the 64-bit mode off is narrowed to float32; a float32 record
    # with it on is widened, and then agrees tightly with the reference from its values.
    record = make_record(dtype=np.float32 if x64 else np.float64, lr=0.8, steps=2, seed=3)
    X, y = batch([0, 1, 2, 3, 1])
    check_against_reference(update(model_of(record), X, y), record, X, y, x64)


def test_fitted_model_then_two_updates_match_reference(x64):
    X, y = make_trials(40, 3, 3, seed=5)
    model = fit(X, y, 3, 0, 0.1, 1.5, -0.2, 2.0, 0, 0.9, 2)
    for labels, seed in (([1, 0, 2, 2], 6), ([3, 0, 1], 7)):
        Xb, yb = batch(labels, seed=seed)
        new = update(model, Xb, yb)
        check_against_reference(new, model.params, Xb, yb, x64)
        model = new
    assert int(model.params["n_classes"]) == 4


def test_growth_example(enable_x64):
    record = make_record(K=3, ref_class=0, steps=1, counts=[4, 3, 2])
    before = copy.deepcopy(record)
    X, y = batch([3, 5])
    model = model_of(record)

    # Evaluated eagerly, the kernel sees each class step's concrete prior: the added rows
    # (classes 3, 4, 5: rows 2, 3, 4) start at the hyper-prior, the covariance held as a factor.
    original, seen = learning._pg_binary_update, []

    def recording(Xa, z, offset, m0, prec0, m, S):
        seen.append((np.asarray(z)[:2], np.asarray(m0), np.asarray(prec0), np.asarray(S)))
        return original(Xa, z, offset, m0, prec0, m, S)
    learning._pg_binary_update = recording
    try:
        with jax.disable_jit():
            eager = update(model, X, y)
    finally:
        learning._pg_binary_update = original
    assert len(seen) == 5
    prior_cov = np.diag([1.5**2] * 3 + [2.0**2])
    for row, (z, m0, prec0, S) in enumerate(seen[2:], start=2):
        np.testing.assert_allclose(m0, [0.1, 0.1, 0.1, -0.2], rtol=1e-12)
        np.testing.assert_allclose(S, prior_cov, rtol=1e-12, atol=1e-14)
        np.testing.assert_allclose(prec0, np.linalg.inv(prior_cov), rtol=1e-12, atol=1e-14)
        np.testing.assert_array_equal(z, [row == 2, row == 4])  # class 4 has an all-zero target

    new = update(model, X, y)
    p = new.params
    assert int(p["n_classes"]) == 6
    np.testing.assert_array_equal(p["non_ref_classes"], [1, 2, 3, 4, 5])
    assert p["beta_mean"].shape == (5, 4) and p["beta_cov_chol"].shape == (5, 4, 4)
    np.testing.assert_array_equal(p["class_counts"], [4, 3, 2, 1, 0, 1])
    assert p["class_counts"].dtype == p["non_ref_classes"].dtype == np.int64
    check_against_reference(new, record, X, y, True)
    # The compiled core equals the eager evaluation of the same steps up to rounding.
    np.testing.assert_allclose(p["beta_mean"], eager.params["beta_mean"], rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(p["beta_cov_chol"], eager.params["beta_cov_chol"], rtol=1e-12, atol=1e-12)

    # A new record and container; the old ones are unchanged and keep their objects.
    assert isinstance(new, KovaniModel) and new is not model and new.model_type == "kovani_softmax"
    assert type(p) is dict and p is not record and list(p) == list(record)
    assert model.params is record and list(record) == list(before)
    for key in record:
        assert record[key].dtype == before[key].dtype
        np.testing.assert_array_equal(record[key], before[key])
    for key in UNTOUCHED:
        assert p[key] is record[key]
    for key in REPLACED:
        assert p[key] is not record[key] and type(p[key]) is np.ndarray
    assert p["backend"].shape == () and p["backend"].dtype == object and p["backend"].item() == "pg_softmax_ref"
    assert p["n_classes"].shape == () and p["n_classes"].dtype == np.int64


def test_record_forms_and_untouched_inputs():
    record = make_record(dtype=np.float32)
    X, y = batch([0, 2, 1])
    X_before, y_before = X.copy(), y.copy()
    plain = update(model_of(record), X, y).params
    np.testing.assert_array_equal(X, X_before)
    np.testing.assert_array_equal(y, y_before)
    # A read-only mapping is copied into a plain dict, in its order.
    p = update(model_of(types.MappingProxyType(record)), X, y).params
    assert type(p) is dict and list(p) == list(record)
    np.testing.assert_array_equal(p["beta_mean"], plain["beta_mean"])
    # backend and rng_seed are never read; a missing backend is written at the end.
    partial = {k: v for k, v in record.items() if k not in ("backend", "rng_seed")}
    p = update(model_of(partial), X, y).params
    assert list(p) == [k for k in record if k not in ("backend", "rng_seed")] + ["backend"]
    # Labels are counted from the record's label_base.
    p = update(model_of({**record, "label_base": np.array(1)}), X, y + 1).params
    np.testing.assert_array_equal(p["beta_mean"], plain["beta_mean"])
    with pytest.raises(AttributeError, match="params"):
        update(object(), X, y)


def update_error(exc, record, X=None, y=None):
    if X is None:
        X, y = batch([0, 1, 2])
    with pytest.raises(exc) as info:
        update(model_of(record), X, y)
    return info.value.args[0]


def test_messages_and_their_order_against_key_errors():
    good = make_record()
    X, y = batch([0, 1, 2])
    without = lambda *keys: {k: v for k, v in good.items() if k not in keys}
    nothing = {}
    # Shape checks come before any read of the record.
    assert update_error(ValueError, nothing, X[0], y) == "X must be 2D: (n_trials, n_features)"
    assert update_error(ValueError, nothing, X, y[:, None]) == "y must be 1D: (n_trials,)"
    assert update_error(ValueError, nothing, X, y[:2]) == "X and y must have same number of rows"
    # Then each read in turn; a check runs as soon as what it needs has been read.
    assert update_error(KeyError, nothing) == "label_base"
    label_base_1 = {**without("n_classes"), "label_base": np.array(1)}
    assert update_error(ValueError, label_base_1) == "y out of range for label_base"
    assert update_error(ValueError, without("n_classes"), X, y - 1) == "y out of range for label_base"
    order = ["n_classes", "ref_class", "non_ref_classes", "w_loc", "w_scale", "b_loc", "b_scale",
             "learning_rate", "num_steps"]
    for key in order:  # the learning-rate and sweep checks come after all scalar reads
        record = {**without("beta_mean"), "learning_rate": np.array(0.0), "num_steps": np.array(0)}
        del record[key]
        assert update_error(KeyError, record) == key
    for lr in (0.0, -0.5, 1.5, float("nan")):
        assert update_error(ValueError, {**without("beta_mean"), "learning_rate": np.array(lr),
                                         "num_steps": np.array(0)}) == "learning_rate must be in (0, 1]"
    assert update_error(ValueError, {**without("beta_mean"), "num_steps": np.array(0)}) == \
        "num_steps must be >= 1"
    for key in ["beta_mean", "beta_cov_chol", "class_counts"]:
        assert update_error(KeyError, without(key)) == key
    # Labels far above the record's range are accepted and add classes; none are checked
    # against n_classes. An empty batch has no minimum: NumPy's error.
    assert int(update(model_of(good), X, np.array([0, 1, 9])).params["n_classes"]) == 10
    with pytest.raises(ValueError, match="zero-size array"):
        update(model_of(good), X[:0], y[:0])


def test_inconsistent_records_are_refused():
    good = make_record()
    message = update_error(ValueError, {**good, "non_ref_classes": np.array([1, 2, 3])})
    assert message.startswith("inconsistent model record") and "(2, 4, 4)" in message
    assert update_error(ValueError, {**good, "beta_cov_chol": good["beta_cov_chol"][:1]}).startswith(
        "inconsistent model record")
    # A batch of another width fails in the array operations, not with a check of ours.
    X, y = batch([0, 1, 2], F=2)
    with pytest.raises(TypeError):
        update(model_of(good), X, y)
    # Added classes start at the stored prior, so it must be usable when classes are added.
    X, y = batch([0, 1, 3])
    for key, value in [("w_scale", 0.0), ("b_scale", -1.0), ("w_scale", np.inf), ("b_loc", np.nan)]:
        message = update_error(ValueError, {**good, key: np.array(value)}, X, y)
        assert message.startswith(f"cannot add classes: the record's {key} must be")
    # Without growth the prior is not used, and such a record still updates.
    X, y = batch([0, 1, 2])
    update(model_of({**good, "w_scale": np.array(0.0)}), X, y)


def test_batches_are_padded_to_few_sizes(enable_x64, monkeypatch):
    record = make_record(K=4, lr=0.9, steps=2, seed=11)
    model = model_of(record)
    original, traced = learning._pg_binary_update, []

    def counting(*args):
        traced.append(args[0].shape[0])
        return original(*args)
    monkeypatch.setattr(learning, "_pg_binary_update", counting)
    rng = np.random.default_rng(12)
    for n in (1, 2, 3, 5, 17):
        X, y = rng.normal(size=(n, 3)), rng.integers(0, 4, n)
        check_against_reference(update(model, X, y), record, X, y, True)
    assert traced == [1, 16, 32]  # one trace per bucket; the padded rows change nothing
    for n in rng.integers(1, 65, 25):
        update(model, rng.normal(size=(n, 3)), rng.integers(0, 4, n))
    assert sorted(traced) == [1, 16, 32, 64]


def test_metadata():
    assert update.__doc__ == ("kovani_softmax_update(model: KovaniModel, X: np.ndarray, y: np.ndarray) "
                              "-> KovaniModel\n\nUpdate a softmax model with additional labeled observations.")
    assert update.__annotations__ == {"model": "KovaniModel", "X": "np.ndarray", "y": "np.ndarray",
                                      "return": "KovaniModel"}


def test_growth_is_bounded_before_anything_grows():
    """A label adds every class up to it, but an update adds at most 1000: one stray label
    of 30000 would grow 29 998 empty classes and run for minutes."""
    from kovani_bci.models.kovani_softmax.adaptation import kovani_softmax_update_fixed_prior

    record = make_record(K=3, label_base=1, steps=1)
    before = copy.deepcopy(record)
    X, _ = batch([0, 0])
    for fn in (update, kovani_softmax_update_fixed_prior):
        with pytest.raises(ValueError, match="^update: label 30000 would add 29997 classes to a "
                           r"model of 3; an update adds at most 1000 classes \(labels above "
                           r"1003 are refused\)$"):
            fn(model_of(record), X, np.array([2, 30000]))
        with pytest.raises(ValueError, match="label 1004 would add 1001 classes"):
            fn(model_of(record), X, np.array([1004, 1]))
    for key in before:
        np.testing.assert_array_equal(record[key], before[key])
    # The largest growth allowed runs (the labels are 1-based here).
    grown = update(model_of(record), X, np.array([1003, 2]))
    assert int(grown.params["n_classes"]) == 1003 and grown.params["beta_mean"].shape[0] == 1002
