"""The model container shared by the training and prediction modules, and its file format.

A model file is an uncompressed NumPy ``.npz`` archive that needs no pickle to read:

==================  ==========  ===================  ==========================================
entry               dtype       shape                content
==================  ==========  ===================  ==========================================
``format_version``  int64       ()                   ``FORMAT_VERSION`` (currently 1)
``model_type``      str         ()                   ``"kovani_softmax"``
``backend``         str         ()                   ``"pg_softmax_ref"`` (0-d object in memory)
``n_classes``       int64       ()                   K >= 2
``label_base``      int64       ()                   0 or 1
``ref_class``       int64       ()                   reference class index in [0, K)
``non_ref_classes`` int64       (K-1,)               the other class indices, ascending
``beta_mean``       float32/64  (K-1, d_aug)         posterior means; d_aug = n_features + 1
``beta_cov_chol``   as above    (K-1, d_aug, d_aug)  lower Cholesky factors of the covariances
``w_loc``           float64     ()                   prior mean of the feature weights
``w_scale``         float64     ()                   prior scale of the feature weights, > 0
``b_loc``           float64     ()                   prior mean of the intercepts
``b_scale``         float64     ()                   prior scale of the intercepts, > 0
``rng_seed``        int64       ()                   seed recorded at fit time
``learning_rate``   float64     ()                   damping factor in (0, 1]
``num_steps``       int64       ()                   sweeps per fit or update, >= 1
``class_counts``    int64       (K,)                 trials absorbed per class index, >= 0
==================  ==========  ===================  ==========================================

The parameter entries are written in the record's own key order and read back in file order,
so a round trip keeps the order and every bit of every array. Entries whose names start with
``estimator.`` belong to :class:`kovani_bci.KovaniSoftmaxClassifier` files and are skipped
by :meth:`KovaniModel.load`.
"""

from __future__ import annotations

import math
import os
import tempfile
import zipfile
from typing import Any

import numpy as np

FORMAT_VERSION = 1
MODEL_TYPE = "kovani_softmax"
BACKEND = "pg_softmax_ref"
EXTRA_PREFIX = "estimator."

# The 15 entries of a softmax record, in the order the fit writes them.
_INT_SCALARS = ("n_classes", "label_base", "ref_class", "rng_seed", "num_steps")
_FLOAT_SCALARS = ("w_loc", "w_scale", "b_loc", "b_scale", "learning_rate")
PARAM_KEYS = (
    "backend", "n_classes", "label_base", "ref_class", "non_ref_classes", "beta_mean",
    "beta_cov_chol", "w_loc", "w_scale", "b_loc", "b_scale", "rng_seed", "learning_rate",
    "num_steps", "class_counts",
)
_META_KEYS = ("format_version", "model_type")


class KovaniModel:
    """A fitted model: its family tag and its parameter record.

    Parameters
    ----------
    model_type : str
        The model family, ``"kovani_softmax"``.
    params : dict
        The parameter record. It is kept as given (the same dict object), never copied
        or changed by the container.
    """

    __slots__ = ("model_type", "params")

    def __init__(self, *, model_type: str, params: dict[str, Any]) -> None:
        self.model_type = model_type
        self.params = params

    def __repr__(self) -> str:
        p = self.params
        try:
            k = int(p["n_classes"])
            d = int(p["beta_mean"].shape[-1]) - 1
            dtype = p["beta_mean"].dtype
            return (f"KovaniModel(model_type={self.model_type!r}, n_classes={k}, "
                    f"n_features={d}, ref_class={int(p['ref_class'])}, dtype={dtype})")
        except Exception:
            keys = ", ".join(map(str, p)) if hasattr(p, "keys") else type(p).__name__
            return f"KovaniModel(model_type={self.model_type!r}, params=[{keys}])"

    # -- persistence ---------------------------------------------------------------------

    def save(self, path: str | os.PathLike) -> None:
        """Write the model to ``path`` as an ``.npz`` archive (see the module docstring).

        The record is validated first, so an inconsistent record is never written. The file
        is written to a temporary name beside ``path`` and then moved into place, so an
        existing file is never left half overwritten. ``path`` is used exactly as given (no
        ``.npz`` suffix is appended).

        Raises
        ------
        ValueError
            If the record is incomplete or inconsistent.
        """
        write_archive(path, self.to_arrays())

    @classmethod
    def load(cls, path: str | os.PathLike) -> "KovaniModel":
        """Read a model written by :meth:`save`.

        The file is opened with ``allow_pickle=False``, and the record is validated as a
        whole before a model is returned: every entry present, no unknown entry, dtypes and
        shapes as documented and consistent with each other, class bookkeeping coherent.

        Raises
        ------
        FileNotFoundError
            If ``path`` does not exist.
        ValueError
            If the file is not a model archive or the record in it is invalid; the message
            says which entry is wrong and why.
        """
        entries = read_archive(path)
        return cls.from_arrays(entries, source=os.fspath(path))

    def to_arrays(self) -> dict[str, np.ndarray]:
        """The archive entries of this model, metadata first, then the record in its order."""
        validate_record(self.model_type, self.params)
        out: dict[str, np.ndarray] = {
            "format_version": np.array(FORMAT_VERSION, dtype=np.int64),
            "model_type": np.array(self.model_type, dtype=str),
        }
        for key, value in self.params.items():
            if key == "backend":
                out[key] = np.array(str(np.asarray(value, dtype=object).item()), dtype=str)
            else:
                out[key] = np.asarray(value)
        return out

    @classmethod
    def from_arrays(cls, entries: dict[str, np.ndarray], source: str = "record") -> "KovaniModel":
        """Build a model from archive entries (as :func:`read_archive` returns them)."""
        try:
            version = entries.get("format_version")
            if version is None:
                raise ValueError("it has no 'format_version' entry; it is not a kovani_bci "
                                 "model file")
            if version.dtype.kind not in "iu" or version.shape != ():
                raise ValueError(f"'format_version' must be an integer scalar, got "
                                 f"{_describe(version)}")
            if int(version) != FORMAT_VERSION:
                raise ValueError(f"format version {int(version)} is not supported (this "
                                 f"version of kovani_bci reads version {FORMAT_VERSION})")
            mtype = entries.get("model_type")
            if mtype is None:
                raise ValueError("it has no 'model_type' entry")
            if mtype.dtype.kind != "U" or mtype.shape != ():
                raise ValueError(f"'model_type' must be a text scalar, got {_describe(mtype)}")
            params: dict[str, Any] = {}
            for key, value in entries.items():
                if key in _META_KEYS or key.startswith(EXTRA_PREFIX):
                    continue
                if key == "backend":
                    if value.dtype.kind != "U" or value.shape != ():
                        raise ValueError(f"'backend' must be a text scalar, got "
                                         f"{_describe(value)}")
                    value = np.array(str(value.item()), dtype=object)
                params[key] = value
            validate_record(str(mtype.item()), params)
        except ValueError as exc:
            raise ValueError(f"{source}: {exc}") from None
        return cls(model_type=str(mtype.item()), params=params)


# -- archive helpers -------------------------------------------------------------------------

def write_archive(path: str | os.PathLike, arrays: dict[str, np.ndarray]) -> None:
    """Write ``arrays`` as an uncompressed ``.npz`` to ``path``, atomically, without pickle."""
    path = os.fspath(path)
    for key, value in arrays.items():
        if value.dtype.hasobject:
            raise ValueError(f"entry {key!r} holds Python objects and cannot be stored "
                             "without pickle")
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".kovani-", suffix=".npz.tmp", dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            np.savez(f, **arrays)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def read_archive(path: str | os.PathLike) -> dict[str, np.ndarray]:
    """Read every entry of an ``.npz`` archive in file order, refusing pickled content.

    Raises FileNotFoundError for a missing file and ValueError, naming the file, for
    anything that is not a readable archive of plain arrays.
    """
    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError(f"no such file: {path}")
    if os.path.isdir(path):
        raise ValueError(f"{path}: is a directory, not an .npz file")
    with open(path, "rb") as f:
        magic = f.read(4)
        if magic[:4] not in (b"PK\x03\x04", b"PK\x05\x06"):
            what = "a single .npy array" if magic.startswith(b"\x93NUM") else "not a zip file"
            raise ValueError(f"{path}: not an .npz archive ({what})")
        f.seek(0)
        entries: dict[str, np.ndarray] = {}
        try:
            with np.load(f, allow_pickle=False) as archive:
                for key in archive.files:
                    try:
                        entries[key] = archive[key]
                    except ValueError as exc:
                        if "allow_pickle" in str(exc) or "Object arrays" in str(exc):
                            raise ValueError(f"entry {key!r} holds pickled Python objects, "
                                             "which are never loaded") from None
                        raise ValueError(f"entry {key!r} cannot be read ({exc})") from None
        except (zipfile.BadZipFile, EOFError, OSError) as exc:
            raise ValueError(f"{path}: damaged .npz archive ({exc})") from None
        except ValueError as exc:
            raise ValueError(f"{path}: {exc}") from None
    return entries


# -- validation --------------------------------------------------------------------------------

def _describe(a: np.ndarray) -> str:
    return f"dtype {a.dtype} with shape {a.shape}"


def validate_record(model_type: Any, params: Any) -> None:
    """Check a softmax record as a whole; raise ValueError saying what is wrong.

    Checks, in order: the model type; the set of keys (all 15, no others); each entry's
    dtype and rank; then the values and the shapes against each other.
    """
    if model_type != MODEL_TYPE:
        raise ValueError(f"model type must be {MODEL_TYPE!r}, got {model_type!r}")
    if not isinstance(params, dict):
        raise ValueError(f"params must be a dict, got {type(params).__name__}")
    missing = [k for k in PARAM_KEYS if k not in params]
    if missing:
        raise ValueError("the record lacks the entries " + ", ".join(map(repr, missing)))
    extra = [k for k in params if k not in PARAM_KEYS]
    if extra:
        raise ValueError("the record has unknown entries " + ", ".join(map(repr, extra)))
    p = {k: params[k] for k in PARAM_KEYS}
    for key, value in p.items():
        if not isinstance(value, np.ndarray):
            raise ValueError(f"entry {key!r} must be a NumPy array, got {type(value).__name__}")

    backend = p["backend"]
    if backend.dtype != object or backend.shape != () or not isinstance(backend.item(), str):
        raise ValueError(f"'backend' must be a 0-d object array holding a str, got "
                         f"{_describe(backend)}")
    if backend.item() != BACKEND:
        raise ValueError(f"'backend' must be {BACKEND!r}, got {backend.item()!r}")
    for key in _INT_SCALARS:
        if p[key].dtype != np.int64 or p[key].shape != ():
            raise ValueError(f"{key!r} must be an int64 scalar, got {_describe(p[key])}")
    for key in _FLOAT_SCALARS:
        if p[key].dtype != np.float64 or p[key].shape != ():
            raise ValueError(f"{key!r} must be a float64 scalar, got {_describe(p[key])}")
    for key in ("non_ref_classes", "class_counts"):
        if p[key].dtype != np.int64 or p[key].ndim != 1:
            raise ValueError(f"{key!r} must be a 1-D int64 array, got {_describe(p[key])}")
    beta, chol = p["beta_mean"], p["beta_cov_chol"]
    if beta.dtype not in (np.float32, np.float64) or beta.ndim != 2:
        raise ValueError(f"'beta_mean' must be a 2-D float32 or float64 array, got "
                         f"{_describe(beta)}")
    if chol.dtype != beta.dtype or chol.ndim != 3:
        raise ValueError(f"'beta_cov_chol' must be a 3-D array of the dtype of 'beta_mean' "
                         f"({beta.dtype}), got {_describe(chol)}")

    k = int(p["n_classes"])
    if k < 2:
        raise ValueError(f"'n_classes' must be at least 2, got {k}")
    if int(p["label_base"]) not in (0, 1):
        raise ValueError(f"'label_base' must be 0 or 1, got {int(p['label_base'])}")
    ref = int(p["ref_class"])
    if not 0 <= ref < k:
        raise ValueError(f"'ref_class' must lie in [0, {k}) for {k} classes, got {ref}")
    expected = [c for c in range(k) if c != ref]
    if p["non_ref_classes"].tolist() != expected:
        raise ValueError(f"'non_ref_classes' must list the {k - 1} classes other than the "
                         f"reference class {ref} in ascending order, got "
                         f"{p['non_ref_classes'].tolist()}")
    if beta.shape[0] != k - 1 or beta.shape[1] < 1:
        raise ValueError(f"'beta_mean' must have {k - 1} rows (one per non-reference class) "
                         f"and at least one column, got shape {beta.shape}")
    d = beta.shape[1]
    if chol.shape != (k - 1, d, d):
        raise ValueError(f"'beta_cov_chol' must have shape {(k - 1, d, d)} to match "
                         f"'beta_mean' {beta.shape}, got {chol.shape}")
    if p["class_counts"].shape != (k,):
        raise ValueError(f"'class_counts' must have {k} entries, one per class, got "
                         f"{p['class_counts'].shape[0]}")
    if (p["class_counts"] < 0).any():
        raise ValueError("'class_counts' must not be negative")
    for key in ("w_loc", "b_loc"):
        if not math.isfinite(float(p[key])):
            raise ValueError(f"{key!r} must be finite, got {float(p[key])}")
    for key in ("w_scale", "b_scale"):
        v = float(p[key])
        if not (math.isfinite(v) and v > 0):
            raise ValueError(f"{key!r} must be a finite number > 0, got {v}")
    lr = float(p["learning_rate"])
    if not 0 < lr <= 1:
        raise ValueError(f"'learning_rate' must lie in (0, 1], got {lr}")
    if int(p["num_steps"]) < 1:
        raise ValueError(f"'num_steps' must be at least 1, got {int(p['num_steps'])}")
