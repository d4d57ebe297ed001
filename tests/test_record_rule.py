"""One rule for a valid record, held alike by every reader of a record and by model files.

A corpus of good records and of every kind of bad record under the rule -- the record's
structure: class bookkeeping, the shapes of the coefficient arrays and the counts,
lower-triangular factors, real coefficients -- goes through both updates, both prediction
entry points that read the posterior, KovaniModel.save, and KovaniModel.load of the same
entries written with np.savez: each accepts every good record and refuses every bad one
with ValueError. A reader checks what it reads: prediction never reads class_counts.
"""

import jax.numpy as jnp
import numpy as np
import pytest

from helpers import make_record, model_of
from kovani_bci.kovani_io import BACKEND, FORMAT_VERSION, MODEL_TYPE, PARAM_KEYS, KovaniModel
from kovani_bci.models.kovani_softmax import adaptation, inference, learning


def batch(record):
    """Three trials of the record's width, labelled with its first three classes."""
    width = max(np.shape(record["beta_mean"])[-1] - 1, 1)
    X = np.random.default_rng(0).normal(size=(3, width))
    return X, np.array([0, 1, 2]) + int(record["label_base"])


def update(record):
    return learning.kovani_softmax_update(model_of(record), *batch(record))


def update_fixed_prior(record):
    return adaptation.kovani_softmax_update_fixed_prior(model_of(record), *batch(record))


def proba(record):
    return inference.kovani_softmax_predict_proba(model_of(record), batch(record)[0], 3, 0)


def samples(record):
    return inference.kovani_softmax_predict_samples(model_of(record), batch(record)[0], 2, 0)


READERS = {"update": update, "update_fixed_prior": update_fixed_prior, "predict_proba": proba,
           "predict_samples": samples}
# Every reader reads n_classes, ref_class, non_ref_classes, beta_mean and beta_cov_chol;
# the updates read class_counts too.
READS_COUNTS = {"update", "update_fixed_prior"}


def save(record, tmp_path):
    path = tmp_path / "saved.npz"
    KovaniModel(model_type=MODEL_TYPE, params=record).save(path)
    return path


def load(record, tmp_path):
    """KovaniModel.load of the record's entries, written as they are (no check on the way)."""
    path = tmp_path / "written.npz"
    entries = {"format_version": np.array(FORMAT_VERSION), "model_type": np.array(MODEL_TYPE),
               **{k: np.array(str(v.item())) if k == "backend" else v for k, v in record.items()}}
    with open(path, "wb") as f:
        np.savez(f, **entries)
    return KovaniModel.load(path)


GOOD = make_record()  # 3 classes, reference 0, rows for classes 1 and 2, 3 features


def with_(**entries):
    return {**GOOD, **entries}


def good_records():
    fitted = learning.kovani_softmax_fit(*make_batch(40, 4, 3), 3, 0, 0.0, 1.0, 0.0, 5.0, 0, 1.0, 2).params
    X, y = make_batch(5, 4, 5, seed=1)
    grown = learning.kovani_softmax_update(model_of(fitted), X, y).params       # classes 3 and 4 added
    fixed = adaptation.kovani_softmax_update_fixed_prior(model_of(fitted), X, y).params
    return {
        "as the tests build it": GOOD,
        "float32": make_record(dtype=np.float32),
        "two classes": make_record(K=2, ref_class=1),
        "reference in the middle, labels from 1": make_record(K=4, ref_class=2, label_base=1),
        "as the fit writes it": fitted,
        "grown by the update": grown,
        "grown by the fixed-prior update": fixed,
        "wide, for the fast paths": make_record(K=3, F=40),
    }


def make_batch(n, F, K, seed=0):
    rng = np.random.default_rng(seed)
    return rng.normal(size=(n, F)), np.arange(n) % K


L = GOOD["beta_cov_chol"]
BAD_RECORDS = {
    # Class bookkeeping.
    "rows for classes [2, 1]": with_(non_ref_classes=np.array([2, 1])),
    "non_ref_classes listing the reference class": with_(non_ref_classes=np.array([0, 2])),
    "non_ref_classes listing a class twice": with_(non_ref_classes=np.array([1, 1])),
    "non_ref_classes beyond n_classes": with_(non_ref_classes=np.array([1, 7])),
    "non_ref_classes of two dimensions": with_(non_ref_classes=np.array([[1, 2]])),
    "n_classes above the rows": with_(n_classes=np.array(4), class_counts=np.arange(4)),
    "one class only": with_(n_classes=np.array(1), non_ref_classes=np.zeros(0, np.int64),
                            beta_mean=GOOD["beta_mean"][:0], beta_cov_chol=L[:0], class_counts=np.array([5])),
    "ref_class beyond n_classes": with_(ref_class=np.array(3)),
    "ref_class negative": with_(ref_class=np.array(-1)),
    # The shapes of the coefficients.
    "beta_mean missing a row": with_(beta_mean=GOOD["beta_mean"][:1]),
    "beta_mean of one dimension": with_(beta_mean=GOOD["beta_mean"][0]),
    "beta_mean without columns": with_(beta_mean=GOOD["beta_mean"][:, :0], beta_cov_chol=L[:, :0, :0]),
    "beta_cov_chol wider than beta_mean": with_(beta_cov_chol=np.tile(np.eye(5), (2, 1, 1))),
    "beta_cov_chol not square": with_(beta_cov_chol=L[:, :, :3]),
    "beta_cov_chol of two dimensions": with_(beta_cov_chol=L[0]),
    # The coefficients themselves.
    "beta_cov_chol non-zero above the diagonal": with_(beta_cov_chol=L + np.triu(np.full(L.shape[1:], 0.1), 1)),
    "beta_cov_chol a NaN above the diagonal": with_(beta_cov_chol=np.where(np.triu(np.ones(L.shape[1:]), 1) == 1,
                                                                        np.nan, L)),
    "complex beta_mean": with_(beta_mean=GOOD["beta_mean"] + 0.5j),
    "complex beta_cov_chol": with_(beta_cov_chol=L.astype(np.complex128)),
    # The counts, which the updates read.
    "class_counts one short": with_(class_counts=np.array([4, 4])),
    "class_counts of two dimensions": with_(class_counts=np.ones((3, 1), np.int64)),
}
COUNTS_ONLY = {"class_counts one short", "class_counts of two dimensions"}


@pytest.mark.parametrize("name", list(good_records()))
def test_every_reader_and_the_files_accept_every_good_record(tmp_path, name):
    record = good_records()[name]
    for reader_name, reader in READERS.items():
        result = reader(record)
        if isinstance(result, KovaniModel):
            # What the updates write is a good record too, under every check of the files.
            assert list(result.params) == list(PARAM_KEYS) and result.model_type == MODEL_TYPE
            assert result.params["backend"].item() == BACKEND
            result.save(tmp_path / f"{reader_name}.npz")
    loaded = KovaniModel.load(save(record, tmp_path))
    assert list(loaded.params) == list(record)
    assert list(load(record, tmp_path).params) == list(record)


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.parametrize("name", list(BAD_RECORDS))
def test_every_reader_and_the_files_refuse_every_bad_record(tmp_path, name):
    record = BAD_RECORDS[name]
    before = {k: v.copy() for k, v in record.items()}
    for reader_name, reader in READERS.items():
        if name in COUNTS_ONLY and reader_name not in READS_COUNTS:
            reader(record)  # prediction never reads class_counts
            continue
        with pytest.raises(ValueError, match="^(inconsistent|invalid) model record: "):
            reader(record)
    with pytest.raises(ValueError):
        save(record, tmp_path)
    assert not (tmp_path / "saved.npz").exists()
    with pytest.raises(ValueError, match="written.npz: "):
        load(record, tmp_path)
    for key, value in before.items():  # no reader changed the record
        np.testing.assert_array_equal(record[key], value)


def test_the_rows_of_classes_2_and_1(tmp_path):
    # The record of the issue: it predicted and updated without a word, then failed to save.
    record = BAD_RECORDS["rows for classes [2, 1]"]
    messages = set()
    for reader in READERS.values():
        with pytest.raises(ValueError) as info:
            reader(record)
        messages.add(str(info.value))
    assert messages == {"inconsistent model record: non_ref_classes must be in ascending order (row j of "
                        "beta_mean and beta_cov_chol belongs to class non_ref_classes[j]); got [2, 1]"}
    with pytest.raises(ValueError, match=r"in ascending order, got \[2, 1\]"):
        save(record, tmp_path)


def test_entries_in_another_type_are_read_converted_but_files_hold_the_record_types(tmp_path):
    # The readers read an entry as the record format reads it (integers as int64, the
    # coefficients in the working type), so a value of another type that converts is
    # read converted; a model file holds each entry in its own type, so save refuses it.
    converted = {
        "n_classes as int32": with_(n_classes=np.array(3, np.int32)),
        "ref_class as a Python int": with_(ref_class=0),
        "float32 factors under float64 means": with_(beta_cov_chol=L.astype(np.float32)),
        "coefficients as JAX arrays": with_(beta_mean=jnp.asarray(GOOD["beta_mean"]),
                                            beta_cov_chol=jnp.asarray(L)),
    }
    for name, record in converted.items():
        for reader in READERS.values():
            reader(record)
        with pytest.raises(ValueError, match="must be"):
            save(record, tmp_path)
