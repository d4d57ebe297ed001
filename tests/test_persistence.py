"""Saving and loading models: exact round trips and a plain-words error for every bad file."""

import os
import re
import zipfile

import numpy as np
import pytest

from helpers import make_record
from kovani_bci.kovani_io import PARAM_KEYS, KovaniModel


def make_model(**kw):
    # The cases below name the entries of a float32 record of 3 classes and 4 features
    # whose reference class is 1.
    kw = {"K": 3, "F": 4, "ref_class": 1, "dtype": np.float32, **kw}
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
    model = make_model(K=k, ref_class=ref, dtype=dtype)
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


# -- where save writes ---------------------------------------------------------------------------

def test_save_refuses_what_is_not_a_regular_file_and_leaves_it(tmp_path):
    import socket
    import stat

    fifo = tmp_path / "fifo.npz"
    os.mkfifo(fifo)
    link = tmp_path / "link_to_fifo.npz"
    link.symlink_to(fifo)
    sock = tmp_path / "sock.npz"
    s = socket.socket(socket.AF_UNIX)
    s.bind(str(sock))
    s.close()
    folder = tmp_path / "folder.npz"
    folder.mkdir()
    cases = [(fifo, "is a FIFO"), (link, "is a FIFO"), (sock, "is a socket"),
             (folder, "is a directory")]
    device = tmp_path / "null.npz"
    try:
        os.mknod(device, stat.S_IFCHR | 0o666, os.makedev(1, 3))
        cases.append((device, "is a character device"))
    except PermissionError:
        pass                                               # creating devices needs root
    model = make_model()
    for path, message in cases:
        with pytest.raises(ValueError, match=f"{re.escape(str(path))}: {message}.*left as it is"):
            model.save(path)
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode) and os.path.islink(link)
    assert stat.S_ISSOCK(os.lstat(sock).st_mode) and folder.is_dir() and not any(folder.iterdir())
    if device.exists():
        assert stat.S_ISCHR(os.lstat(device).st_mode)
    assert not [n for n in os.listdir(tmp_path) if n.startswith(".kovani-")]


def test_save_through_a_symlink_replaces_the_target_and_keeps_the_link(tmp_path):
    (tmp_path / "models").mkdir()
    target = tmp_path / "models" / "current.npz"
    make_model(seed=1).save(target)
    link = tmp_path / "latest.npz"
    link.symlink_to(os.path.join("models", "current.npz"))
    model = make_model(seed=2)
    model.save(link)
    assert os.path.islink(link) and os.readlink(link) == os.path.join("models", "current.npz")
    assert_same_record(model.params, KovaniModel.load(target).params)
    # A dangling link: the file is created where it points, as open() would.
    dangling = tmp_path / "next.npz"
    dangling.symlink_to(tmp_path / "models" / "next.npz")
    model.save(dangling)
    assert os.path.islink(dangling)
    assert_same_record(model.params, KovaniModel.load(tmp_path / "models" / "next.npz").params)
    assert sorted(os.listdir(tmp_path / "models")) == ["current.npz", "next.npz"]


def test_save_keeps_permission_bits_and_new_files_follow_the_umask(tmp_path):
    path = tmp_path / "m.npz"
    for mode in (0o644, 0o640, 0o604):
        path.write_bytes(b"old")
        os.chmod(path, mode)
        make_model().save(path)
        assert os.stat(path).st_mode & 0o7777 == mode
    old_umask = os.umask(0o027)
    try:
        for umask in (0o022, 0o077, 0o002):
            os.umask(umask)
            fresh = tmp_path / f"new{umask:o}.npz"
            make_model().save(fresh)
            assert os.stat(fresh).st_mode & 0o777 == 0o666 & ~umask
    finally:
        os.umask(old_umask)


def test_save_errors_name_the_callers_path(tmp_path, monkeypatch):
    model = make_model()
    missing = tmp_path / "no_dir" / "m.npz"
    with pytest.raises(FileNotFoundError) as info:
        model.save(missing)
    assert info.value.filename == str(missing) and ".kovani-" not in str(info.value)
    (tmp_path / "plain").write_text("x")
    under_a_file = tmp_path / "plain" / "m.npz"
    with pytest.raises(OSError) as info:
        model.save(under_a_file)
    assert str(under_a_file) in str(info.value) and ".kovani-" not in str(info.value)
    monkeypatch.chdir(tmp_path)
    for empty in ("", b""):
        with pytest.raises(ValueError, match="the path is empty"):
            model.save(empty)
    with pytest.raises(ValueError, match="the path is empty"):
        KovaniModel.load("")
    with pytest.raises(ValueError, match="names a folder"):
        model.save("new_folder/")
    assert sorted(os.listdir(tmp_path)) == ["plain"]


@pytest.mark.skipif(os.geteuid() == 0, reason="root may write read-only files")
def test_save_does_not_replace_a_read_only_file(tmp_path):
    path = tmp_path / "m.npz"
    path.write_bytes(b"keep")
    os.chmod(path, 0o444)
    with pytest.raises(PermissionError, match=re.escape(str(path))):
        make_model().save(path)
    assert path.read_bytes() == b"keep"


def test_files_written_by_earlier_versions_still_load(tmp_path):
    # Earlier versions wrote the archive with np.savez straight from to_arrays().
    model = make_model(K=4, ref_class=0, dtype=np.float64)
    path = tmp_path / "old.npz"
    with open(path, "wb") as f:
        np.savez(f, **model.to_arrays(), **{"estimator.n_posterior_samples": np.array(7)})
    assert_same_record(model.params, KovaniModel.load(path).params)
