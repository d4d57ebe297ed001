"""Bad records handed to the update and to prediction.

Where the documented behaviour gives an error (a missing key, a model without `params`,
an unconvertible entry), that error comes, in its documented order. Beyond that, entries
that disagree with one another, or coefficients of a type that cannot be meant, raise a
ValueError of their own after every documented read and check -- never a crash, a wrong
record or silently wrong probabilities. A failed call changes nothing.
"""

import types

import numpy as np
import pytest

from helpers import make_trials
from kovani_bci.kovani_io import KovaniModel
from kovani_bci.models.kovani_softmax import inference, learning

pytestmark = pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")

X, Y = make_trials(6, 2, 3, seed=3)
Y = np.array([0, 1, 2, 0, 1, 2])
GOOD = learning.kovani_softmax_fit(X, Y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 1).params


def update(params):
    return learning.kovani_softmax_update(KovaniModel(model_type="kovani_softmax", params=params), X, Y)


def proba(params, S=1):
    return inference.kovani_softmax_predict_proba(KovaniModel(model_type="kovani_softmax", params=params), X, S, 0)


def predict(params, S=1):
    return inference.kovani_softmax_predict(KovaniModel(model_type="kovani_softmax", params=params), X, S, 0)


def samples(params, S=1):
    return inference.kovani_softmax_predict_samples(KovaniModel(model_type="kovani_softmax", params=params), X, S, 0)


CALLS = [update, proba, lambda p: proba(p, 3), predict, samples, lambda p: samples(p, 3)]
PREDICTION = CALLS[1:]


def refused(call, params, exc=ValueError):
    """The call raises `exc` and leaves the record as it was; returns the message."""
    before = {k: np.copy(v) if isinstance(v, np.ndarray) else v for k, v in params.items()}
    with pytest.raises(exc) as info:
        call(params)
    assert list(params) == list(before)
    for k, v in before.items():
        if isinstance(v, np.ndarray):
            np.testing.assert_array_equal(params[k], v)
        else:
            assert params[k] is v
    return str(info.value)


def with_(**entries):
    return {**GOOD, **entries}


def test_documented_errors_for_missing_keys_and_containers():
    for call in CALLS:
        for key in ("n_classes", "ref_class", "non_ref_classes", "beta_mean", "beta_cov_chol"):
            params = {k: v for k, v in GOOD.items() if k != key}
            assert refused(call, params, KeyError) == repr(key)
    for call, key in ((update, "label_base"), (predict, "label_base"), (samples, "label_base"),
                      (update, "class_counts")):
        assert refused(call, {k: v for k, v in GOOD.items() if k != key}, KeyError) == repr(key)
    for call in CALLS:
        for params in (None, [1, 2], "record", 5):
            with pytest.raises(TypeError):
                call(params)
    # A model without `params`: the attribute error.
    with pytest.raises(AttributeError):
        learning.kovani_softmax_update(object(), X, Y)
    for f in (inference.kovani_softmax_predict_proba, inference.kovani_softmax_predict,
              inference.kovani_softmax_predict_samples):
        with pytest.raises(AttributeError):
            f(object(), X, 1, 0)


def test_a_read_only_mapping_is_accepted():
    # Readers index `params`; the update copies it into a plain dict.
    view = types.MappingProxyType(dict(GOOD))
    new = update(view)
    assert type(new.params) is dict and list(new.params) == list(GOOD)
    np.testing.assert_array_equal(proba(view), proba(GOOD))


def test_entries_that_disagree_are_refused_for_every_reader():
    R = GOOD["beta_mean"].shape[0]
    cases = {
        "expected beta_mean of shape (R, d_aug)": [
            with_(beta_mean=GOOD["beta_mean"][:1]),
            with_(beta_cov_chol=GOOD["beta_cov_chol"][:, :2]),
            with_(beta_cov_chol=GOOD["beta_cov_chol"][0]),
            with_(non_ref_classes=np.array([[1, 2]])),
            with_(non_ref_classes=np.array([1, 2, 3])),
            with_(beta_mean=GOOD["beta_mean"][0]),
        ],
        "n_classes is 5 but non_ref_classes has 2 entries (expected n_classes - 1)": [
            with_(n_classes=np.array(5)),
        ],
        "n_classes is 4611686018427387904 but": [with_(n_classes=np.array(2**62))],
        "ref_class 3 is not a class index below n_classes 3": [with_(ref_class=np.array(3))],
        "ref_class -1 is not a class index": [with_(ref_class=np.array(-1))],
        "non_ref_classes must list every class index below n_classes 3 except ref_class 0, once each; got [1, 1]": [
            with_(non_ref_classes=np.array([1, 1])),
        ],
        "got [0, 2]": [with_(non_ref_classes=np.array([0, 2]))],  # lists the reference class
        "got [1, 7]": [with_(non_ref_classes=np.array([1, 7]))],
    }
    assert R == 2
    for fragment, records in cases.items():
        for params in records:
            for call in CALLS:
                message = refused(call, params)
                assert message.startswith("inconsistent model record: ") and fragment in message, message


def test_documented_checks_come_before_the_consistency_checks():
    # The update's learning-rate check runs after the scalar reads, before the arrays are read.
    bad = with_(learning_rate=np.array(0.0), beta_mean=GOOD["beta_mean"][:1])
    assert refused(update, bad) == "learning_rate must be in (0, 1]"
    # A key missing among the reads is reported, not the disagreement of what was read.
    bad = {k: v for k, v in with_(n_classes=np.array(5)).items() if k != "beta_cov_chol"}
    for call in CALLS:
        assert refused(call, bad, KeyError) == "'beta_cov_chol'"
    # Prediction's argument checks come first of all.
    with pytest.raises(ValueError, match="^num_posterior_samples must be >= 1$"):
        inference.kovani_softmax_predict_proba(KovaniModel(model_type="x", params=with_(n_classes=np.array(5))),
                                               X, 0, 0)


def test_class_counts_must_match_the_class_count():
    for counts in (np.array([5]), np.ones(4, np.int64), np.ones((3, 1), np.int64), np.array(3)):
        message = refused(update, with_(class_counts=counts))
        assert message.startswith("inconsistent model record: class_counts of shape "), message
    # Prediction never reads class_counts.
    assert proba(with_(class_counts=np.array([5]))).shape == (6, 3)


def test_coefficients_of_the_wrong_type():
    mean, chol = GOOD["beta_mean"], GOOD["beta_cov_chol"]
    # Complex coefficients: the imaginary part would be dropped, or give complex probabilities.
    for params in (with_(beta_mean=mean + 1j), with_(beta_cov_chol=chol.astype(np.complex64))):
        for call in CALLS:
            assert refused(call, params).startswith("invalid model record: ")
    # Prediction works in beta_mean's element type: an integer or boolean one would truncate
    # the trials, an object or string one cannot be computed with.
    for bad in (np.round(mean * 10).astype(np.int64), mean > 0, mean.astype(object), mean.astype(str)):
        for call in PREDICTION:
            message = refused(call, with_(beta_mean=bad))
            assert message.startswith("invalid model record: beta_mean must be a floating-point array"), message
    # The update converts the stored arrays to its working type, values kept: integers and
    # decimal strings are numbers there.
    as_ints = np.round(mean * 10).astype(np.int64)
    np.testing.assert_array_equal(update(with_(beta_mean=as_ints)).params["beta_mean"],
                                  update(with_(beta_mean=as_ints.astype(np.float64))).params["beta_mean"])
    update(with_(beta_mean=mean.astype(str)))
    # Scalars that do not convert fail in NumPy's conversion.
    for call in CALLS:
        refused(call, with_(n_classes=np.array([3, 3])), TypeError)
        refused(call, with_(ref_class="zero"), ValueError)
        refused(call, with_(beta_mean=None), (ValueError, TypeError))


def test_non_finite_coefficients_are_refused():
    for key in ("beta_mean", "beta_cov_chol"):
        for bad in (np.nan, np.inf):
            arr = GOOD[key].copy()
            # Below the diagonal of a factor: one above it breaks the record's rule first.
            arr.flat[1 if key == "beta_mean" else arr.shape[-1]] = bad
            params = with_(**{key: arr})
            assert "non-finite posterior" in refused(update, params)
            for call in (lambda p: proba(p, 3), lambda p: predict(p, 3), lambda p: samples(p, 3), samples):
                assert refused(call, params).startswith("prediction produced non-finite class probabilities")
            # The plug-in estimate uses the means alone: a bad factor does not enter it.
            if key == "beta_mean":
                refused(proba, params)
            else:
                np.testing.assert_array_equal(proba(params), proba(GOOD))
    # NaN trials likewise: no label is drawn or picked from NaN probabilities.
    Xn = X.copy()
    Xn[0, 0] = np.nan
    model = KovaniModel(model_type="kovani_softmax", params=GOOD)
    for f in (inference.kovani_softmax_predict_proba, inference.kovani_softmax_predict,
              inference.kovani_softmax_predict_samples):
        for S in (1, 3):
            with pytest.raises(ValueError, match="^prediction produced non-finite class probabilities"):
                f(model, Xn, S, 0)


def test_sizes_beyond_memory_are_refused_before_the_core():
    model = KovaniModel(model_type="kovani_softmax", params=GOOD)
    for f in (inference.kovani_softmax_predict_proba, inference.kovani_softmax_predict_samples):
        with pytest.raises(MemoryError, match=r"needs at least .* GiB for the coefficient samples"):
            f(model, X, 2**62, 0)
    import jax.numpy as jnp

    with pytest.raises(MemoryError, match=r"^_logits_from_beta needs at least"):
        inference._logits_from_beta(jnp.ones((3, 2)), jnp.ones((2, 3)), np.array([1, 2]), 0, 2**62)


def test_label_base_is_still_read_last():
    # predict_samples reads label_base after its draws and refuses non-finite
    # probabilities only then, so a record without label_base reports the missing key.
    Xn = X.copy()
    Xn[0, 0] = np.nan
    params = {k: v for k, v in GOOD.items() if k != "label_base"}
    with pytest.raises(KeyError, match="label_base"):
        inference.kovani_softmax_predict_samples(KovaniModel(model_type="x", params=params), Xn, 2, 0)
