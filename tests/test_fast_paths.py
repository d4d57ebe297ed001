"""The fast paths of the fit and the update against the general path and the float64 reference.

With the module's own kernels in place, a batch of fewer trials than coefficients is
worked in its own n-dimensional space (the record's factors carried through the batch's
rank-n change on the host), and an undamped fit of many trials carries the precision's
factor. A replaced kernel sends every call down the general path, which calls it exactly
as documented; a counting wrapper around the module's own kernel does that here, so
that both paths run on the same inputs.
"""

import contextlib

import jax
import numpy as np
import pytest

import reference as ref
from helpers import make_record, make_trials, model_of, rtol_for
from kovani_bci.models.kovani_softmax import learning

fit = learning.kovani_softmax_fit
update = learning.kovani_softmax_update


@pytest.fixture(autouse=True)
def on_the_cpu():
    """The fast paths with host loops are the CPU's forms (a call on an accelerator takes
    the forms that stay there), so these tests run on the CPU wherever the suite runs."""
    with jax.default_device(jax.devices("cpu")[0]):
        yield


@contextlib.contextmanager
def general_path(name="_pg_binary_update"):
    """Replaces one of the module's kernels by a counting wrapper of itself."""
    original, calls = getattr(learning, name), []

    def counting(*args):
        calls.append(np.shape(args[0]))
        return original(*args)
    setattr(learning, name, counting)
    try:
        yield calls
    finally:
        setattr(learning, name, original)


def covariances(L):
    L = np.asarray(L, np.float64)
    return L @ np.swapaxes(L, -1, -2)


def check_factors(L):
    """Lower-triangular with a positive diagonal: a Cholesky factor, as the record requires."""
    assert np.isfinite(L).all()
    assert np.all(np.triu(L, 1) == 0)
    assert np.all(np.diagonal(L, axis1=-2, axis2=-1) > 0)


def assert_close(got, want, rtol):
    """Agreement relative to the largest entry: entries near zero carry the rounding of the rest."""
    got, want = np.asarray(got, np.float64), np.asarray(want, np.float64)
    np.testing.assert_allclose(got, want, rtol=rtol, atol=rtol * np.abs(want).max())


# A batch of n trials pads to 1, 16, 32 or 64 rows; the update works in the batch's space
# where twice the padded rows fit in the coefficients (d = F + 1).
UPDATE_CASES = [
    # F, K, ref_class, label_base, lr, steps, labels (0-based, shifted by label_base)
    (40, 3, 0, 0, 1.0, 1, [1]),                          # one trial: 1 row of 41 coefficients
    (40, 3, 1, 1, 0.6, 3, [2, 0, 4, 4, 1]),              # classes 3, 4 added, damped, 3 sweeps
    (40, 4, 2, 0, 1.0, 2, [0, 1, 3, 2, 2, 1] * 3),       # 18 trials: 32 rows, general side
    (70, 5, 3, 1, 1.0, 2, list(range(5)) * 4),           # 20 trials: 32 rows of 71
    (70, 2, 0, 0, 0.6, 2, [0, 1, 2, 1, 0, 1, 1]),        # K = 2 grows to 3
]


@pytest.mark.parametrize("F, K, ref_class, label_base, lr, steps, labels", UPDATE_CASES)
def test_update_fast_path_equals_general_path_and_reference(x64, F, K, ref_class, label_base, lr, steps, labels):
    dtype = np.float64 if x64 else np.float32
    record = make_record(K=K, F=F, ref_class=ref_class, label_base=label_base, lr=lr, steps=steps, dtype=dtype,
                         seed=F + K)
    rng = np.random.default_rng(F * K)
    X, y = rng.normal(size=(len(labels), F)), np.asarray(labels) + label_base
    before = {k: np.copy(v) for k, v in record.items()}

    fast = update(model_of(record), X, y).params
    with general_path() as calls:
        general = update(model_of(record), X, y).params
    assert calls, "a replaced kernel is called"

    for key, value in before.items():  # the caller's record is untouched
        np.testing.assert_array_equal(record[key], value)
    for p in (fast, general):
        check_factors(p["beta_cov_chol"])
        assert p["beta_mean"].dtype == p["beta_cov_chol"].dtype == dtype
    for key in ("beta_mean", "beta_cov_chol"):
        assert fast[key].flags.writeable and not np.shares_memory(fast[key], record[key])
    np.testing.assert_array_equal(fast["non_ref_classes"], general["non_ref_classes"])
    np.testing.assert_array_equal(fast["class_counts"], general["class_counts"])

    # Same maths, other rounding; both agree with the float64 reference.
    tol = 1e-10 if x64 else 2e-4
    assert_close(fast["beta_mean"], general["beta_mean"], tol)
    assert_close(fast["beta_cov_chol"], general["beta_cov_chol"], tol)
    _, non_ref, counts, means, factors = ref.update(record, X, y)
    np.testing.assert_array_equal(fast["non_ref_classes"], non_ref)
    assert_close(fast["beta_mean"], means, rtol_for(x64))
    assert_close(fast["beta_cov_chol"], factors, rtol_for(x64))


def test_update_with_many_trials_in_few_of_many_coefficients(x64):
    # 60 trials (64 rows) in 151 coefficients: the factors are carried through 60 rank-1
    # terms in one pass. Stored factors with negative diagonal entries factor the same
    # covariance; the result is the Cholesky factor itself (positive diagonal).
    dtype = np.float64 if x64 else np.float32
    record = make_record(K=3, F=150, ref_class=2, lr=1.0, steps=1, dtype=dtype, seed=5)
    chol = record["beta_cov_chol"].copy()
    chol[:, :, [3, 77]] *= -1
    record["beta_cov_chol"] = chol
    X, y = make_trials(60, 150, 4, seed=6, separation=0.3)
    X *= 0.3  # unit-scale features of this many trials leave float32 a few digits only, on any path
    p = update(model_of(record), X, y).params
    check_factors(p["beta_cov_chol"])
    _, _, _, means, factors = ref.update(record, X, y)
    assert_close(p["beta_mean"], means, rtol_for(x64))
    # The reference refactorises, so its factors have a positive diagonal too.
    assert_close(p["beta_cov_chol"], factors, rtol_for(x64))


@pytest.mark.parametrize("n, F, lr, steps", [
    (1, 60, 0.6, 2),      # one trial: its own space in closed form
    (30, 60, 1.0, 2),     # fewer trials than coefficients: the trials' own space
    (30, 60, 0.6, 3),     # the same, damped
    (100, 200, 1.0, 1),   # 100 rank-1 terms from the diagonal prior factor
    (150, 110, 1.0, 2),   # undamped, many trials: the precision's factor
    (150, 110, 0.6, 2),   # damped, many trials: the general path
])
def test_fit_fast_paths_equal_general_path_and_reference(x64, n, F, lr, steps):
    X, y0 = make_trials(n, F, 3, seed=n + F, separation=0.3)
    args = (X, y0 + 1, 3, 1, 0.1, 0.3, -0.2, 2.0, 7, lr, steps)
    fast = fit(*args).params
    with general_path() as calls:
        general = fit(*args).params
    assert calls
    for p in (fast, general):
        check_factors(p["beta_cov_chol"])
    tol = 1e-9 if x64 else 1e-3
    assert_close(fast["beta_mean"], general["beta_mean"], tol)
    assert_close(covariances(fast["beta_cov_chol"]), covariances(general["beta_cov_chol"]), tol)
    _, _, _, means, covs = ref.fit(X, y0 + 1, 3, 1, 0.1, 0.3, -0.2, 2.0, lr, steps)
    assert_close(fast["beta_mean"], means, rtol_for(x64))
    assert_close(covariances(fast["beta_cov_chol"]), covs, rtol_for(x64))


def test_replaced_kernels_take_the_general_path(enable_x64):
    # A stored factor with a zero on its diagonal describes a covariance that is singular:
    # the general path needs its inverse (the prior precision) and comes out non-finite,
    # which is refused. The batch's own space needs no inverse and keeps that coefficient
    # where the record has it. The outcome tells which path a call took.
    record = make_record(K=3, F=40, seed=8)
    chol = record["beta_cov_chol"].copy()
    chol[0, 0, 0] = 0.0
    record["beta_cov_chol"] = chol
    X, y = np.random.default_rng(9).normal(size=(2, 40)), np.array([1, 2])
    model = model_of(record)

    fast = update(model, X, y).params
    assert np.isfinite(fast["beta_mean"]).all() and np.isfinite(fast["beta_cov_chol"]).all()
    assert fast["beta_mean"][0, 0] == record["beta_mean"][0, 0]
    assert np.all(fast["beta_cov_chol"][0, 0] == 0)

    for name in ("_pg_binary_update", "_pg_expected_omega"):
        with general_path(name) as calls:
            with pytest.raises(ValueError, match="non-finite posterior"):
                update(model, X, y)
        assert calls, name
    # Another of the module's own functions bound under the kernel's name is a replacement
    # too: the general path calls it as the kernel, and it refuses the arguments.
    original = learning._pg_expected_omega
    learning._pg_expected_omega = learning._pg_binary_update
    try:
        with pytest.raises(TypeError, match=r"_pg_binary_update\(\) takes exactly 7 positional arguments"):
            update(model, X, y)
    finally:
        learning._pg_expected_omega = original
    # The originals restored, the fast path is back.
    np.testing.assert_array_equal(update(model, X, y).params["beta_cov_chol"], fast["beta_cov_chol"])


def test_factor_with_entries_above_the_diagonal_is_refused_on_both_paths(enable_x64):
    # Not a Cholesky factor, as the record requires (the batch's own space would read its
    # lower triangle only): refused, whichever path the call would take.
    record = make_record(K=3, F=40, seed=10)
    chol = record["beta_cov_chol"].copy()
    chol[:, 2, 5] = 0.1
    record["beta_cov_chol"] = chol
    X, y = np.random.default_rng(11).normal(size=(1, 40)), np.array([2])
    with pytest.raises(ValueError, match="^invalid model record: beta_cov_chol must be lower triangular"):
        update(model_of(record), X, y)
    with general_path(), pytest.raises(ValueError, match="^invalid model record: beta_cov_chol must be lower"):
        update(model_of(record), X, y)


def test_thousand_one_trial_updates_in_float32_follow_float64():
    # Trial by trial from a short calibration, as a live loop runs; every 100 trials the
    # float32 posterior is compared with the same sequence run in float64.
    X, y = make_trials(1030, 39, 3, seed=7)

    def run(x64_on):
        before = jax.config.jax_enable_x64
        jax.config.update("jax_enable_x64", x64_on)
        try:
            model = fit(X[:30], y[:30], 3, 0, 0.0, 1.0, 0.0, 3.0, 0, 1.0, 3)
            kept = []
            for i in range(30, 1030):
                model = update(model, X[i:i + 1], y[i:i + 1])
                if (i - 29) % 100 == 0:
                    kept.append((model.params["beta_mean"], model.params["beta_cov_chol"]))
            return kept
        finally:
            jax.config.update("jax_enable_x64", before)

    for (m32, L32), (m64, L64) in zip(run(False), run(True)):
        assert m32.dtype == L32.dtype == np.float32 and m64.dtype == np.float64
        check_factors(L32)
        assert_close(m32, m64, 1e-3)
        assert_close(covariances(L32), covariances(L64), 2e-3)


def test_race_step_is_its_three_calls(x64):
    """The race of adaptation rates in one compiled call: bitwise the fixed-prior update of
    one posterior, the running update of another and a prediction, each as its published
    function gives it; None (and nothing run) where a part would not take its CPU form."""
    from kovani_bci.models.kovani_softmax import inference, kovani_softmax_update_fixed_prior
    softmax, proba = inference.kovani_softmax, inference.kovani_softmax_predict_proba
    for K, F, dtype in ((2, 42, np.float32), (4, 16, np.float64)):
        once = model_of(make_record(K=K, F=F, dtype=dtype, seed=1))
        sweeps = model_of(make_record(K=K, F=F, dtype=dtype, seed=2, steps=3))
        X, y = make_trials(3, F, K, seed=3)
        got = learning._race_update(once, sweeps, X[:1], y[:1], sweeps, 50, 7, softmax)
        want = (kovani_softmax_update_fixed_prior(once, X[:1], y[:1]), update(sweeps, X[:1], y[:1]),
                proba(sweeps, X[:1], 50, 7))
        for new, expected in zip(got[:2], want[:2]):
            assert new.params.keys() == expected.params.keys()
            for key in ("beta_mean", "beta_cov_chol", "class_counts", "n_classes", "non_ref_classes"):
                a, b = np.asarray(new.params[key]), np.asarray(expected.params[key])
                assert a.dtype == b.dtype
                np.testing.assert_array_equal(a, b)
        np.testing.assert_array_equal(got[2], want[2])
        assert got[2].dtype == want[2].dtype
        # One draw is the plug-in prediction; a replaced kernel takes the general path.
        assert learning._race_update(once, sweeps, X[:1], y[:1], sweeps, 1, 7, softmax) is None
        with general_path() as calls:
            assert learning._race_update(once, sweeps, X[:1], y[:1], sweeps, 50, 7, softmax) is None
        assert calls == []
