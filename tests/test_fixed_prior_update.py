"""The update that keeps the received posterior as the prior of every sweep."""

import copy

import numpy as np
import pytest

import reference as ref
from helpers import check_update_against, error_message, make_record, make_trials, model_of, rtol_for
from kovani_bci.kovani_io import KovaniModel
from kovani_bci.models.kovani_softmax import adaptation, learning
from test_update import REPLACED, UNTOUCHED, batch

update = adaptation.kovani_softmax_update_fixed_prior


def check_against_reference(new, record, X, y, x64_on):
    *expected, covs = ref.update_fixed_prior(record, X, y)
    L = check_update_against(new, expected, x64_on)
    np.testing.assert_allclose(L @ np.swapaxes(L, 1, 2), covs, rtol=rtol_for(x64_on), atol=rtol_for(x64_on))


@pytest.mark.parametrize("K, ref_class, label_base, lr, steps, labels", [
    (3, 0, 0, 1.0, 1, [0, 1, 2, 1, 2, 2]),            # no growth, one sweep
    (3, 0, 0, 1.0, 4, [0, 1, 2, 1, 2, 2]),            # the same batch, four sweeps
    (3, 0, 1, 0.5, 3, [2, 4, 6, 6, 1]),               # growth by 3 classes, one without trials
    (4, 2, 0, 0.7, 2, [2, 2, 2, 0, 2, 3, 2] * 3),     # 21 trials: the next padding bucket
])
def test_matches_float64_reference(x64, K, ref_class, label_base, lr, steps, labels):
    record = make_record(K=K, ref_class=ref_class, label_base=label_base, lr=lr, steps=steps,
                         dtype=np.float64 if x64 else np.float32, seed=K + steps)
    X, y = batch(labels)
    check_against_reference(update(model_of(record), X, y), record, X, y, x64)


def test_from_the_hyper_prior_it_is_the_fit(x64):
    # A record at the hyper-prior, updated with a batch, is the fit of that batch: the same
    # fixed prior, the same running approximation, the same class steps.
    X, y = make_trials(30, 3, 3, seed=2)
    y[:12] = 1                                       # class 1 the most frequent: the fit's reference
    fitted = learning.kovani_softmax_fit(X, y, 3, 0, 0.1, 1.5, -0.2, 2.0, 0, 0.8, 5)
    record = dict(fitted.params)
    scales = np.r_[np.full(3, 1.5), 2.0]
    record["beta_mean"] = np.tile(np.r_[np.full(3, 0.1), -0.2], (2, 1)).astype(fitted.params["beta_mean"].dtype)
    record["beta_cov_chol"] = np.tile(np.diag(scales), (2, 1, 1)).astype(record["beta_mean"].dtype)
    record["class_counts"] = np.zeros(3, np.int64)
    new = update(model_of(record), X, y)
    rtol = rtol_for(x64)
    np.testing.assert_allclose(new.params["beta_mean"], fitted.params["beta_mean"], rtol=rtol, atol=rtol)
    np.testing.assert_allclose(new.params["beta_cov_chol"], fitted.params["beta_cov_chol"], rtol=rtol, atol=rtol)
    np.testing.assert_array_equal(new.params["class_counts"], fitted.params["class_counts"])


def test_a_batch_counts_once_whatever_the_sweeps(enable_x64):
    # More sweeps only refine the approximation: the posterior precision converges instead
    # of gaining the batch once per sweep as the running-prior update does.
    X, y = make_trials(40, 3, 3, seed=4)
    record = make_record(K=3, lr=1.0, steps=20, seed=4)

    def precision(p):
        L = p["beta_cov_chol"]
        return np.linalg.inv(L @ np.swapaxes(L, 1, 2))

    fixed = [precision(update(model_of({**record, "num_steps": np.array(s)}), X, y).params) for s in (20, 40)]
    np.testing.assert_allclose(fixed[1], fixed[0], rtol=1e-2, atol=1e-2)
    prior_prec = precision(record)
    gained = [np.trace(precision(learning.kovani_softmax_update(
        model_of({**record, "num_steps": np.array(s)}), X, y).params)[0] - prior_prec[0]) for s in (20, 40)]
    assert gained[1] > 1.8 * gained[0]
    assert np.trace(fixed[0][0] - prior_prec[0]) < gained[0] / 10


def test_record_building_leaves_the_old_model_alone():
    record = make_record(K=3, ref_class=0, steps=2, counts=[4, 3, 2], dtype=np.float32)
    before = copy.deepcopy(record)
    X, y = batch([3, 5, 0])
    X_before = X.copy()
    model = model_of(record)
    new = update(model, X, y)
    p = new.params
    assert isinstance(new, KovaniModel) and new is not model and new.model_type == "kovani_softmax"
    assert type(p) is dict and p is not record and list(p) == list(record)
    np.testing.assert_array_equal(p["non_ref_classes"], [1, 2, 3, 4, 5])
    np.testing.assert_array_equal(p["class_counts"], [5, 3, 2, 1, 0, 1])
    assert p["beta_mean"].shape == (5, 4) and p["beta_cov_chol"].shape == (5, 4, 4)
    for key in UNTOUCHED:
        assert p[key] is record[key]
    for key in REPLACED:
        assert p[key] is not record[key] and type(p[key]) is np.ndarray
    assert p["backend"].shape == () and p["backend"].item() == "pg_softmax_ref"
    assert model.params is record and list(record) == list(before)
    for key in record:
        assert record[key].dtype == before[key].dtype
        np.testing.assert_array_equal(record[key], before[key])
    np.testing.assert_array_equal(X, X_before)


def update_error(exc, record, X=None, y=None):
    return error_message(exc, update, model_of(record), *((X, y) if X is not None else batch([0, 1, 2])))


def test_errors_in_the_update_order_and_beyond():
    good = make_record()
    X, y = batch([0, 1, 2])
    without = lambda *keys: {k: v for k, v in good.items() if k not in keys}
    assert update_error(ValueError, {}, X[0], y) == "X must be 2D: (n_trials, n_features)"
    assert update_error(ValueError, {}, X, y[:, None]) == "y must be 1D: (n_trials,)"
    assert update_error(ValueError, {}, X, y[:2]) == "X and y must have same number of rows"
    assert update_error(KeyError, {}) == "label_base"
    assert update_error(ValueError, without("n_classes"), X, y - 1) == "y out of range for label_base"
    assert update_error(KeyError, without("num_steps")) == "num_steps"
    for lr in (0.0, 1.5, float("nan")):
        assert update_error(ValueError, {**good, "learning_rate": np.array(lr)}) == \
            "learning_rate must be in (0, 1]"
    assert update_error(ValueError, {**good, "num_steps": np.array(0)}) == "num_steps must be >= 1"
    # Beyond them: a batch of another width, records whose entries disagree, a hyper-prior
    # that cannot start an added class, a posterior that comes out non-finite.
    Xw, yw = batch([0, 1, 2], F=2)
    assert update_error(ValueError, good, Xw, yw) == \
        "X has 2 features, but the model has 3 (beta_mean has n_features + 1 columns)"
    assert update_error(ValueError, {**good, "non_ref_classes": np.array([1, 2, 3])}).startswith(
        "inconsistent model record")
    assert update_error(ValueError, {**good, "class_counts": np.zeros(2, np.int64)}).startswith(
        "inconsistent model record: class_counts of shape (2,)")
    message = update_error(ValueError, {**good, "w_scale": np.array(0.0)}, *batch([0, 3]))
    assert message.startswith("cannot add classes: the record's w_scale must be finite and > 0")
    update(model_of({**good, "w_scale": np.array(0.0)}), X, y)    # no growth: the prior is unused
    X_nan = X.copy()
    X_nan[0, 0] = np.nan
    assert update_error(ValueError, good, X_nan, y).startswith("update produced a non-finite posterior")


def test_metadata():
    assert update.__doc__.startswith(
        "kovani_softmax_update_fixed_prior(model: KovaniModel, X: np.ndarray, y: np.ndarray) -> KovaniModel\n\n")
    assert update.__annotations__ == {"model": "KovaniModel", "X": "np.ndarray", "y": "np.ndarray",
                                      "return": "KovaniModel"}
    assert update.__module__ == "kovani_bci.models.kovani_softmax.adaptation"
    with pytest.raises(TypeError, match=r"takes exactly 3 positional arguments \(2 given\)"):
        update(model_of(make_record()), np.zeros((1, 3)))


# A batch of up to 16 trials pads to 16 rows, one of 17 to 32 to 32; where twice the padded
# rows fit in the coefficients (d = F + 1) the update works in the batch's own space.
@pytest.mark.parametrize("F, K, ref_class, label_base, lr, steps, labels", [
    (40, 3, 0, 0, 1.0, 1, [1]),                        # one trial: 16 rows of 41 coefficients
    (40, 3, 1, 1, 0.6, 3, [2, 0, 4, 4, 1]),            # classes 3 and 4 added, damped, 3 sweeps
    (70, 4, 2, 0, 1.0, 2, [0, 1, 3, 2, 2, 1] * 3),     # 18 trials: 32 rows of 71
])
def test_the_batch_space_matches_float64_reference(x64, F, K, ref_class, label_base, lr, steps, labels):
    record = make_record(K=K, F=F, ref_class=ref_class, label_base=label_base, lr=lr, steps=steps,
                         dtype=np.float64 if x64 else np.float32, seed=F + K)
    rng = np.random.default_rng(F * K)
    X, y = 0.5 * rng.normal(size=(len(labels), F)), np.asarray(labels) + label_base
    before = copy.deepcopy(record)
    check_against_reference(update(model_of(record), X, y), record, X, y, x64)
    for key in record:
        np.testing.assert_array_equal(record[key], before[key])


def test_from_the_hyper_prior_it_is_the_fit_in_the_trials_space(x64):
    # 12 trials of 40 features: the fit and the update both work in the trials' own space.
    X, y = make_trials(12, 40, 3, seed=6, separation=0.5)
    y[:5] = 1
    fitted = learning.kovani_softmax_fit(X, y, 3, 0, 0.1, 1.5, -0.2, 2.0, 0, 0.8, 4)
    dtype = fitted.params["beta_mean"].dtype
    record = dict(fitted.params)
    record["beta_mean"] = np.tile(np.r_[np.full(40, 0.1), -0.2], (2, 1)).astype(dtype)
    record["beta_cov_chol"] = np.tile(np.diag(np.r_[np.full(40, 1.5), 2.0]), (2, 1, 1)).astype(dtype)
    record["class_counts"] = np.zeros(3, np.int64)
    new = update(model_of(record), X, y)
    rtol = rtol_for(x64)
    np.testing.assert_allclose(new.params["beta_mean"], fitted.params["beta_mean"], rtol=rtol, atol=rtol)
    np.testing.assert_allclose(new.params["beta_cov_chol"], fitted.params["beta_cov_chol"], rtol=rtol, atol=rtol)


def test_which_space_a_batch_takes():
    # A stored factor with a zero on its diagonal describes a singular covariance: the
    # record's space needs its inverse (the fixed prior's precision) and comes out
    # non-finite, which is refused; the batch's own space needs no inverse and keeps that
    # coefficient where the record has it. The outcome tells which space a call took.
    for F, batch_space in ((3, False), (30, False), (31, True), (40, True)):
        record = make_record(K=3, F=F, seed=8, dtype=np.float32)
        record["beta_cov_chol"] = record["beta_cov_chol"].copy()
        record["beta_cov_chol"][0, 0, 0] = 0.0
        X, y = np.random.default_rng(9).normal(size=(2, F)), np.array([1, 2])
        if batch_space:
            p = update(model_of(record), X, y).params
            assert p["beta_mean"][0, 0] == record["beta_mean"][0, 0]
            assert np.all(p["beta_cov_chol"][0, 0] == 0)
        else:
            with pytest.raises(ValueError, match="non-finite posterior"):
                update(model_of(record), X, y)
