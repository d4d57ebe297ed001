"""Saving and loading models: exact round trips and a plain-words error for every bad file."""

import os
import zipfile

import numpy as np
import pytest

from kovani_bci.kovani_io import PARAM_KEYS, KovaniModel


def make_record(k=3, n_features=4, ref=1, dtype=np.float32, seed=0):
    """A consistent record built by hand, independent of the fitting code."""
    rng = np.random.default_rng(seed)
    d = n_features + 1
    chol = np.tril(rng.normal(size=(k - 1, d, d)))
    diagonal = np.einsum("kii->ki", chol)
    diagonal[:] = np.abs(diagonal) + 0.1                 # Cholesky factors: positive diagonal
    chol = chol.astype(dtype)
    return {
        "backend": np.array("pg_softmax_ref", dtype=object),
        "n_classes": np.array(k, dtype=np.int64),
        "label_base": np.array(0, dtype=np.int64),
        "ref_class": np.array(ref, dtype=np.int64),
        "non_ref_classes": np.array([c for c in range(k) if c != ref], dtype=np.int64),
        "beta_mean": rng.normal(size=(k - 1, d)).astype(dtype),
        "beta_cov_chol": chol,
        "w_loc": np.array(0.25),
        "w_scale": np.array(1.5),
        "b_loc": np.array(-0.5),
        "b_scale": np.array(3.0),
        "rng_seed": np.array(12345, dtype=np.int64),
        "learning_rate": np.array(0.7),
        "num_steps": np.array(4, dtype=np.int64),
        "class_counts": rng.integers(0, 20, size=k).astype(np.int64),
    }


def make_model(**kw):
    return KovaniModel(model_type="kovani_softmax", params=make_record(**kw))


def assert_same_record(a, b):
    assert list(a) == list(b)
    for key in a:
        if key == "backend":
            assert b[key].dtype == object and b[key].shape == ()
            assert type(b[key].item()) is str and b[key].item() == a[key].item()
        else:
            assert b[key].dtype == a[key].dtype and b[key].shape == a[key].shape
            assert b[key].tobytes() == a[key].tobytes()


@pytest.mark.parametrize("k, ref, dtype", [(2, 0, np.float32), (4, 2, np.float64),
                                           (3, 2, np.float32)])
def test_round_trip_is_exact(tmp_path, k, ref, dtype):
    model = make_model(k=k, ref=ref, dtype=dtype)
    # Values that a lossy format would damage: signed zero, subnormals, NaN payloads.
    model.params["beta_mean"].flat[0] = -0.0
    model.params["beta_mean"].flat[1] = np.finfo(dtype).smallest_subnormal
    before = {key: v.copy() for key, v in model.params.items()}
    path = tmp_path / "model.kvm"
    model.save(path)
    assert sorted(os.listdir(tmp_path)) == ["model.kvm"]   # no suffix appended, no temp left
    loaded = KovaniModel.load(str(path))
    assert loaded.model_type == "kovani_softmax"
    assert_same_record(model.params, loaded.params)
    assert_same_record(before, model.params)              # saving changed nothing
    with zipfile.ZipFile(path) as z:                      # documented layout, no pickle
        names = [n.removesuffix(".npy") for n in z.namelist()]
    assert names == ["format_version", "model_type", *PARAM_KEYS]
    with np.load(path, allow_pickle=False) as f:
        assert f["backend"].dtype.kind == "U" and int(f["format_version"]) == 1


def test_round_trip_keeps_a_nonstandard_key_order(tmp_path):
    params = make_record()
    reordered = dict(reversed(list(params.items())))
    KovaniModel(model_type="kovani_softmax", params=reordered).save(tmp_path / "m.npz")
    loaded = KovaniModel.load(tmp_path / "m.npz")
    assert list(loaded.params) == list(reordered)
    assert_same_record(reordered, loaded.params)


def test_save_refuses_an_invalid_record_and_keeps_the_old_file(tmp_path):
    path = tmp_path / "m.npz"
    make_model().save(path)
    original = path.read_bytes()
    bad = make_record()
    del bad["class_counts"]
    with pytest.raises(ValueError, match="lacks the entries 'class_counts'"):
        KovaniModel(model_type="kovani_softmax", params=bad).save(path)
    with pytest.raises(ValueError, match="model type must be 'kovani_softmax'"):
        KovaniModel(model_type="other", params=make_record()).save(path)
    bad = make_record()
    bad["backend"] = np.array("pg_softmax_ref")          # a str array, not the object array
    with pytest.raises(ValueError, match="0-d object array holding a str"):
        KovaniModel(model_type="kovani_softmax", params=bad).save(path)
    assert path.read_bytes() == original
    assert sorted(os.listdir(tmp_path)) == ["m.npz"]


def _write_entries(path, mutate):
    entries = make_model().to_arrays()
    mutate(entries)
    with open(path, "wb") as f:
        np.savez(f, **entries)


def _drop(key):
    return lambda e: e.pop(key)


def _set(key, value):
    def mutate(e):
        e[key] = value
    return mutate


def _seq(*fns):
    def mutate(e):
        for fn in fns:
            fn(e)
    return mutate


BAD_RECORDS = [
    (_drop("format_version"), "no 'format_version' entry"),
    (_set("format_version", np.array(2)), "format version 2 is not supported"),
    (_set("format_version", np.array(1.0)), "'format_version' must be an integer scalar"),
    (_drop("model_type"), "no 'model_type' entry"),
    (_set("model_type", np.array("kovani_tree")), "model type must be 'kovani_softmax'"),
    (_set("model_type", np.array([1, 2])), "'model_type' must be a text scalar"),
    *[(_drop(key), f"lacks the entries '{key}'") for key in PARAM_KEYS],
    (_set("extra", np.zeros(2)), "unknown entries 'extra'"),
    (_set("backend", np.array(3)), "'backend' must be a text scalar"),
    (_set("backend", np.array("other")), "'backend' must be 'pg_softmax_ref'"),
    (_set("n_classes", np.array(3.0)), "'n_classes' must be an int64 scalar"),
    (_set("num_steps", np.array([4], dtype=np.int64)), "'num_steps' must be an int64 scalar"),
    (_set("label_base", np.array(0, dtype=np.int32)), "'label_base' must be an int64 scalar"),
    (_set("w_scale", np.array(2, dtype=np.int64)), "'w_scale' must be a float64 scalar"),
    (_set("learning_rate", np.array(0.5, dtype=np.float32)), "'learning_rate' must be a float64"),
    (_set("non_ref_classes", np.array([0.0, 2.0])), "'non_ref_classes' must be a 1-D int64"),
    (_set("class_counts", np.ones((3, 1), dtype=np.int64)), "'class_counts' must be a 1-D int64"),
    (_set("beta_mean", np.zeros((2, 5), dtype=np.int64)), "'beta_mean' must be a 2-D float32"),
    (_set("beta_mean", np.zeros(5, dtype=np.float32)), "'beta_mean' must be a 2-D float32"),
    (_set("beta_cov_chol", np.zeros((2, 5, 5))), "dtype of 'beta_mean' \\(float32\\)"),
    (_set("n_classes", np.array(1)), "'n_classes' must be at least 2"),
    (_set("label_base", np.array(2)), "'label_base' must be 0 or 1"),
    (_set("ref_class", np.array(3)), "'ref_class' must lie in \\[0, 3\\)"),
    (_set("non_ref_classes", np.array([2, 0])), "in ascending order, got \\[2, 0\\]"),
    (_set("non_ref_classes", np.array([0, 1])), "other than the reference class 1"),
    (_set("beta_mean", np.zeros((3, 5), dtype=np.float32)), "'beta_mean' must have 2 rows"),
    (_set("beta_cov_chol", np.zeros((2, 4, 4), dtype=np.float32)),
     "'beta_cov_chol' must have shape \\(2, 5, 5\\)"),
    (_set("class_counts", np.zeros(4, dtype=np.int64)), "'class_counts' must have 3 entries"),
    (_set("class_counts", np.array([1, -1, 0])), "'class_counts' must not be negative"),
    (_set("w_loc", np.array(np.inf)), "'w_loc' must be finite"),
    (_set("w_scale", np.array(0.0)), "'w_scale' must be a finite number > 0"),
    (_set("b_scale", np.array(np.nan)), "'b_scale' must be a finite number > 0"),
    (_set("learning_rate", np.array(0.0)), "'learning_rate' must lie in \\(0, 1\\]"),
    (_set("learning_rate", np.array(1.5)), "'learning_rate' must lie in \\(0, 1\\]"),
    (_set("num_steps", np.array(0)), "'num_steps' must be at least 1"),
    (_seq(_set("n_classes", np.array(4)), _set("non_ref_classes", np.array([0, 2, 3]))),
     "'beta_mean' must have 3 rows"),
]


@pytest.mark.parametrize("mutate, message", BAD_RECORDS)
def test_load_reports_an_invalid_record(tmp_path, mutate, message):
    path = tmp_path / "bad.npz"
    _write_entries(path, mutate)
    with pytest.raises(ValueError, match=message) as info:
        KovaniModel.load(path)
    assert str(path) in str(info.value)


def test_load_reports_files_that_are_not_model_archives(tmp_path):
    missing = tmp_path / "missing.npz"
    with pytest.raises(FileNotFoundError, match="no such file"):
        KovaniModel.load(missing)
    with pytest.raises(ValueError, match="is a directory"):
        KovaniModel.load(tmp_path)
    text = tmp_path / "notes.npz"
    text.write_text("w_loc,w_scale\n0,1\n")
    with pytest.raises(ValueError, match="not an .npz archive \\(not a zip file\\)"):
        KovaniModel.load(text)
    single = tmp_path / "single.npy"
    np.save(single, np.zeros(3))
    with pytest.raises(ValueError, match="a single .npy array"):
        KovaniModel.load(single)
    good = tmp_path / "good.npz"
    make_model().save(good)
    truncated = tmp_path / "truncated.npz"
    truncated.write_bytes(good.read_bytes()[:300])
    with pytest.raises(ValueError, match="damaged .npz archive"):
        KovaniModel.load(truncated)
    pickled = tmp_path / "pickled.npz"
    _write_entries(pickled, _set("beta_mean", np.array([{"x": 1}], dtype=object)))
    with pytest.raises(ValueError, match="'beta_mean' holds pickled Python objects"):
        KovaniModel.load(pickled)
