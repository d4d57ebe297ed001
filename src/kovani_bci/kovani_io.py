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
(never read) by :meth:`KovaniModel.load`.

A valid file is a regular file holding a zip archive of at most ``MAX_MEMBERS`` members,
each an uncompressed, unencrypted ``.npy`` array (format 1.0 or 2.0, no pickled objects)
under a unique name, whose header declares exactly the data the member holds. Its record
passes :func:`validate_record`: the record rule that the native modules hold every record
to (class bookkeeping with ``non_ref_classes`` ascending, consistent shapes, real,
lower-triangular factors), and the limits of files: every entry in exactly its type of the
table above, the values in their ranges, finite coefficients, factors with a positive
diagonal, ``num_steps`` at most ``MAX_NUM_STEPS`` and ``class_counts`` summing to at most
``MAX_TRIALS``. ``save`` applies the same rules, so it never writes a file that ``load``
refuses.
"""

from __future__ import annotations

import contextlib
import errno
import io
import math
import numbers
import os
import secrets
import stat
import struct
import zipfile
import zlib
from typing import Any

import numpy as np

FORMAT_VERSION = 1
MODEL_TYPE = "kovani_softmax"
BACKEND = "pg_softmax_ref"
EXTRA_PREFIX = "estimator."

# Bounds shared with the estimator: sweeps per fit or update, and posterior draws.
MAX_NUM_STEPS = 10_000
MAX_POSTERIOR_SAMPLES = 100_000
# Trials a record may have absorbed in all: float64 counts them exactly, and an update
# adds to them far from the int64 limit.
MAX_TRIALS = 2**53

# What reading an archive will take on, whatever the archive claims.
MAX_MEMBERS = 256
MAX_DIRECTORY_BYTES = 1 << 20
MAX_HEADER_BYTES = 10_000
# Compressed members (feature files only): expansion beyond this ratio, and this size, is
# refused.
MAX_EXPANSION = 100
EXPANSION_FLOOR = 64 << 20

# The 15 entries of a softmax record, in the order the fit writes them, and the types of its
# scalars. The native modules write records of the same schema; tests/test_record_rule.py
# holds both to it.
INT_SCALARS = ("n_classes", "label_base", "ref_class", "rng_seed", "num_steps")
FLOAT_SCALARS = ("w_loc", "w_scale", "b_loc", "b_scale", "learning_rate")
PARAM_KEYS = (
    "backend", "n_classes", "label_base", "ref_class", "non_ref_classes", "beta_mean",
    "beta_cov_chol", "w_loc", "w_scale", "b_loc", "b_scale", "rng_seed", "learning_rate",
    "num_steps", "class_counts",
)
_META_KEYS = ("format_version", "model_type")


def record_scalar(key: str, value) -> np.ndarray:
    """``value`` as the 0-d array that the record stores under the scalar entry ``key``."""
    if key in INT_SCALARS:
        return np.array(value, dtype=np.int64)
    if key in FLOAT_SCALARS:
        return np.array(value, dtype=np.float64)
    raise KeyError(f"{key!r} is not a scalar setting of the record")


def finite_real(value) -> float | None:
    """``value`` as a float when it is a finite real number (not a bool), else None.

    Integers too large for a float (``10**400``) are None rather than an OverflowError, so
    that callers can name the parameter in their own ValueError.
    """
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        return None
    try:
        v = float(value)
    except OverflowError:
        return None
    return v if math.isfinite(v) else None


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

        The record is validated first, by the rules :meth:`load` applies, so a record that
        would not load is never written. The file is written to a temporary name beside
        ``path`` and then moved into place, so an existing file is never left half
        overwritten. ``path`` is used exactly as given (no ``.npz`` suffix is appended); a
        symbolic link is followed and its target replaced; a replaced file keeps its
        permission bits, a new one gets the mode ``open`` would give it.

        Raises
        ------
        ValueError
            If the record is incomplete or inconsistent, ``path`` is empty, or ``path`` is
            a directory, FIFO, device or socket (left as it is).
        OSError
            If the file cannot be written; the error names ``path``.
        """
        write_archive(path, self.to_arrays())

    @classmethod
    def load(cls, path: str | os.PathLike) -> "KovaniModel":
        """Read a model written by :meth:`save`.

        The archive's structure and each entry's header are checked before any data is
        read, nothing is unpickled, and the record is validated as a whole before a model
        is returned (see the module docstring for what a valid file holds).

        Raises
        ------
        FileNotFoundError
            If ``path`` does not exist.
        ValueError
            If the file is not a model archive or the record in it is invalid; the message
            names the file, the entry and what is wrong. A FIFO, device or directory is
            refused without being read.
        OSError
            If the file cannot be opened (no permission, for example).
        """
        with Archive(path) as archive:
            entries = {key: archive.read(key) for key in archive.names
                       if not key.startswith(EXTRA_PREFIX)}
        return cls.from_arrays(entries, source=archive.path)

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


# -- paths ------------------------------------------------------------------------------------

def _shown(path: str | bytes) -> str:
    return os.fsdecode(path)


def _naming(exc: OSError, shown: str) -> OSError:
    """``exc`` again, naming the caller's path (never an internal temporary file)."""
    if exc.errno is None:
        return OSError(f"{shown}: {exc}")
    return OSError(exc.errno, exc.strerror, shown)


def _file_kind(mode: int) -> str:
    for test, kind in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                       (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return kind
    return "not a regular file"


def _checked_path(path: str | os.PathLike) -> tuple[str | bytes, str]:
    path = os.fspath(path)
    if not path:
        raise ValueError("the path is empty; give a file name")
    return path, _shown(path)


def open_regular_file(path: str | os.PathLike):
    """Open a regular file for binary reading, without ever blocking on a FIFO or a device.

    Raises FileNotFoundError ("no such file: PATH") for a missing file, ValueError for an
    empty path, a directory, FIFO, device or socket, and OSError naming the path otherwise.
    """
    path, shown = _checked_path(path)
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        raise FileNotFoundError(f"no such file: {shown}") from None
    except OSError as exc:
        raise _naming(exc, shown) from None
    if not stat.S_ISREG(mode):
        raise ValueError(f"{shown}: is {_file_kind(mode)}, not a regular file")
    # Non-blocking, in case the path was swapped for a FIFO since the check above; the
    # type of what was actually opened decides.
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0)
    try:
        fd = os.open(path, flags)
    except OSError as exc:
        raise _naming(exc, shown) from None
    mode = os.fstat(fd).st_mode
    if not stat.S_ISREG(mode):
        os.close(fd)
        raise ValueError(f"{shown}: is {_file_kind(mode)}, not a regular file")
    return os.fdopen(fd, "rb")


def _create_beside(target: str | bytes) -> tuple[int, str | bytes]:
    """A new, empty file in the folder of ``target``, created with the mode ``open`` uses
    for new files (0o666 less the umask)."""
    directory, base = os.path.split(target)
    flags = (os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
             | getattr(os, "O_NOFOLLOW", 0))
    for _ in range(100):
        name = f".kovani-{secrets.token_hex(6)}.npz.tmp"
        tmp = os.path.join(directory, os.fsencode(name) if isinstance(base, bytes) else name)
        try:
            return os.open(tmp, flags, 0o666), tmp
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free temporary name in the folder", directory)


# -- archive helpers -------------------------------------------------------------------------

def write_archive(path: str | os.PathLike, arrays: dict[str, np.ndarray]) -> None:
    """Write ``arrays`` as an uncompressed ``.npz`` to ``path``, atomically, without pickle.

    The archive goes to a temporary file beside the destination and then replaces it, so
    readers see the old file or the new one, never a part. A symbolic link is followed and
    its target replaced (the link stays). A replaced file keeps its permission bits (and,
    where allowed, its owner and group); a new file gets the mode ``open`` would give it.
    Directories, FIFOs, devices and sockets are refused, never replaced.

    Raises
    ------
    ValueError
        If ``path`` is empty or names something other than a regular file, or an entry
        holds Python objects.
    OSError
        If the file cannot be written; the error names ``path``.
    """
    path, shown = _checked_path(path)
    for key, value in arrays.items():
        if value.dtype.hasobject:
            raise ValueError(f"entry {key!r} holds Python objects and cannot be stored "
                             "without pickle")
    target = os.path.realpath(path)
    try:
        old = os.stat(target)
    except FileNotFoundError:
        old = None
        if path.endswith(os.sep if isinstance(path, str) else os.fsencode(os.sep)):
            raise ValueError(f"{shown}: names a folder; give the model file's name") from None
    except OSError as exc:
        raise _naming(exc, shown) from None
    if old is not None:
        if not stat.S_ISREG(old.st_mode):
            raise ValueError(f"{shown}: is {_file_kind(old.st_mode)}, not a regular file; "
                             "it is left as it is")
        if not os.access(target, os.W_OK):
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), shown)
    tmp = None
    try:
        fd, tmp = _create_beside(target)
        with os.fdopen(fd, "wb") as f:
            if old is not None:
                with contextlib.suppress(OSError):
                    os.fchown(f.fileno(), old.st_uid, old.st_gid)
                os.fchmod(f.fileno(), stat.S_IMODE(old.st_mode))
            np.savez(f, **arrays)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, target)
        tmp = None
    except OSError as exc:
        raise _naming(exc, shown) from None
    finally:
        if tmp is not None:
            with contextlib.suppress(OSError):
                os.unlink(tmp)


class _DirectoryTooLarge(Exception):
    pass


class _CappedReads:
    """A file whose single reads can be capped. zipfile reads an archive's directory in one
    read of the size the archive claims; the cap keeps a forged claim from costing memory."""

    def __init__(self, f, cap: int | None) -> None:
        self._f, self.cap = f, cap
        self.size = os.fstat(f.fileno()).st_size

    def read(self, n: int | None = -1) -> bytes:
        if self.cap is not None:
            want = n if n is not None and n >= 0 else self.size - self._f.tell()
            if want > self.cap:
                raise _DirectoryTooLarge(want)
        return self._f.read(n)

    def seek(self, offset: int, whence: int = 0) -> int:
        return self._f.seek(offset, whence)

    def tell(self) -> int:
        return self._f.tell()

    def seekable(self) -> bool:
        return True


# Errors of zipfile and zlib for an archive whose structure or data is damaged.
_ZIP_ERRORS = (zipfile.BadZipFile, zipfile.LargeZipFile, EOFError, OSError, struct.error,
               zlib.error, NotImplementedError, UnicodeDecodeError)


class Archive:
    """An ``.npz`` archive opened for reading, one entry at a time, each header before its data.

    Opening checks the file and the archive's directory without reading any entry: a
    regular file (a FIFO or device is refused, never opened for a blocking read), at most
    ``MAX_MEMBERS`` members, every member a ``.npy`` array with a unique name, not
    encrypted, stored without compression (``allow_compressed`` admits deflated members
    that expand at most ``MAX_EXPANSION`` times, or to ``EXPANSION_FLOOR`` bytes), and the
    members' data inside the file without overlapping. :meth:`read` then checks an entry's
    ``.npy`` header (no pickled objects, a size that equals the data the member holds)
    before it reads any data, so no entry costs more memory than its share of the file
    (or its capped expansion).

    Every refusal is a ValueError that names the file and the entry.
    """

    def __init__(self, path: str | os.PathLike, *, allow_compressed: bool = False) -> None:
        self.path = _shown(os.fspath(path))
        self._file = open_regular_file(path)
        try:
            self._members = self._open(allow_compressed)
        except BaseException:
            self._file.close()
            raise

    def _refuse(self, message: str) -> ValueError:
        return ValueError(f"{self.path}: {message}")

    def _open(self, allow_compressed: bool) -> dict[str, zipfile.ZipInfo]:
        magic = self._file.read(4)
        if magic not in (b"PK\x03\x04", b"PK\x05\x06"):
            what = "a single .npy array" if magic.startswith(b"\x93NUM") else "not a zip file"
            raise self._refuse(f"not an .npz archive ({what})")
        self._file.seek(0)
        capped = _CappedReads(self._file, MAX_DIRECTORY_BYTES)
        try:
            self._zip = zipfile.ZipFile(capped)
        except _DirectoryTooLarge as exc:
            raise self._refuse(f"the archive claims a directory of {exc.args[0]} bytes; a "
                               f"model or feature file has at most {MAX_MEMBERS} entries"
                               ) from None
        except _ZIP_ERRORS as exc:
            raise self._refuse(f"damaged .npz archive ({exc})") from None
        capped.cap = None
        infos = self._zip.infolist()
        if len(infos) > MAX_MEMBERS:
            raise self._refuse(f"the archive has {len(infos)} members; at most {MAX_MEMBERS} "
                               "are read")
        size = capped.size
        members: dict[str, zipfile.ZipInfo] = {}
        for info in infos:
            name = info.filename
            if not name.endswith(".npy"):
                raise self._refuse(f"member {name!r} is not a .npy array (its name lacks the "
                                   ".npy suffix)")
            key = name[:-4]
            if key in members:
                raise self._refuse(f"entry {key!r} appears more than once")
            if info.flag_bits & 0x1:
                raise self._refuse(f"entry {key!r} is encrypted")
            if info.compress_type == zipfile.ZIP_STORED:
                if info.compress_size != info.file_size:
                    raise self._refuse(f"damaged .npz archive (entry {key!r} is stored but "
                                       "its sizes disagree)")
            elif info.compress_type == zipfile.ZIP_DEFLATED and allow_compressed:
                cap = max(EXPANSION_FLOOR, MAX_EXPANSION * info.compress_size)
                if info.file_size > cap:
                    raise self._refuse(f"entry {key!r} would expand from "
                                       f"{info.compress_size} to {info.file_size} bytes; "
                                       f"more than {MAX_EXPANSION} times is refused")
            elif info.compress_type == zipfile.ZIP_DEFLATED:
                raise self._refuse(f"entry {key!r} is compressed; model files hold "
                                   "uncompressed entries only, as save writes them")
            else:
                raise self._refuse(f"entry {key!r} uses compression method "
                                   f"{info.compress_type}, which is not supported")
            if info.header_offset + info.compress_size > size:
                raise self._refuse(f"damaged .npz archive (entry {key!r} extends past the "
                                   "end of the file)")
            members[key] = info
        if sum(info.compress_size for info in infos) > size:
            raise self._refuse("damaged .npz archive (its entries overlap)")
        return members

    @property
    def names(self) -> list[str]:
        """The entry names (without the ``.npy`` suffix), in file order."""
        return list(self._members)

    def _header(self, key: str, f) -> tuple[tuple[int, ...], np.dtype, int]:
        """Read an entry's ``.npy`` header; return its shape, dtype and length in bytes."""
        lead = f.read(8)
        if len(lead) < 8 or lead[:6] != b"\x93NUMPY":
            raise self._refuse(f"entry {key!r} is not a .npy array")
        version = (lead[6], lead[7])
        if version not in ((1, 0), (2, 0)):
            raise self._refuse(f"entry {key!r} uses .npy format version {version[0]}."
                               f"{version[1]}; versions 1.0 and 2.0 are read")
        width = 2 if version == (1, 0) else 4
        raw = f.read(width)
        length = int.from_bytes(raw, "little")
        if len(raw) < width or length > MAX_HEADER_BYTES:
            raise self._refuse(f"entry {key!r} has a .npy header of {length} bytes; at most "
                               f"{MAX_HEADER_BYTES} are read")
        header = f.read(length)
        if len(header) < length:
            raise self._refuse(f"entry {key!r} ends inside its .npy header")
        parse = (np.lib.format.read_array_header_1_0 if version == (1, 0)
                 else np.lib.format.read_array_header_2_0)
        try:
            shape, _, dtype = parse(io.BytesIO(raw + header), max_header_size=MAX_HEADER_BYTES)
        except Exception as exc:  # noqa: BLE001 -- NumPy's parser fails in many ways
            # (ValueError, SyntaxError, tokenize's TokenError, RecursionError ...) on at
            # most MAX_HEADER_BYTES of text; every one means the same to the caller.
            raise self._refuse(f"entry {key!r} has an unreadable .npy header "
                               f"({type(exc).__name__}: {str(exc)[:200]})") from None
        if dtype.hasobject:
            raise self._refuse(f"entry {key!r} holds pickled Python objects, which are never "
                               "loaded")
        if any(n < 0 for n in shape) or dtype.itemsize == 0:
            raise self._refuse(f"entry {key!r} declares an impossible array: shape {shape}, "
                               f"dtype {dtype}")
        return shape, dtype, 8 + width + length

    def read(self, key: str) -> np.ndarray:
        """The array stored under ``key``, read after its header has been checked."""
        info = self._members[key]
        try:
            with self._zip.open(info) as f:
                shape, dtype, offset = self._header(key, f)
            nbytes = math.prod(shape) * dtype.itemsize
            if info.file_size != offset + nbytes:
                raise self._refuse(f"entry {key!r} declares {nbytes} bytes of data (shape "
                                   f"{shape}, dtype {dtype}) but holds "
                                   f"{info.file_size - offset}")
            with self._zip.open(info) as f:
                array = np.lib.format.read_array(f, allow_pickle=False,
                                                 max_header_size=MAX_HEADER_BYTES)
                if f.read(1):
                    raise zipfile.BadZipFile(f"entry {key!r} holds more than its array")
        except _ZIP_ERRORS as exc:
            raise self._refuse(f"damaged .npz archive (entry {key!r}: {exc})") from None
        return array

    def close(self) -> None:
        if hasattr(self, "_zip"):
            self._zip.close()
        self._file.close()

    def __enter__(self) -> "Archive":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()


def read_archive(path: str | os.PathLike) -> dict[str, np.ndarray]:
    """Read every entry of an ``.npz`` archive in file order, refusing pickled content.

    The archive is checked as :class:`Archive` describes before any entry is read.

    Raises
    ------
    FileNotFoundError
        If ``path`` does not exist.
    ValueError
        Naming the file and the entry, for anything that is not a plain archive of plain
        arrays.
    OSError
        If the file cannot be opened (no permission, for example).
    """
    with Archive(path) as archive:
        return {key: archive.read(key) for key in archive.names}


# -- validation --------------------------------------------------------------------------------

def _describe(a: np.ndarray) -> str:
    return f"dtype {a.dtype} with shape {a.shape}"


def _listing(a: np.ndarray) -> str:
    """An integer array for a message: in full when short, else its ends and its length."""
    if a.size <= 12:
        return str(a.tolist())
    return f"[{', '.join(map(str, a[:3].tolist()))}, ..., {a[-1]}] ({a.size} entries)"


def _row_blocks(n_rows: int, row_bytes: int, budget: int = 1 << 24):
    """Slices over ``n_rows`` rows, each block about ``budget`` bytes of work at most."""
    step = max(1, budget // max(1, row_bytes))
    for start in range(0, n_rows, step):
        yield slice(start, min(start + step, n_rows))


def validate_record(model_type: Any, params: Any) -> None:
    """Check a softmax record as a whole; raise ValueError saying what is wrong.

    Checks, in order: the model type; the set of keys (all 15, no others); each entry's
    dtype and rank; then the values and the shapes against each other, sizes first, so
    that nothing of the size a record merely claims is built before the arrays it holds
    confirm it; then the coefficients (finite, with lower-triangular factors whose
    diagonal is positive) and the bounds of ``num_steps`` and ``class_counts``.

    The record's structure -- ``n_classes`` >= 2, ``ref_class`` a class, ``non_ref_classes``
    every other class once in ascending order, the shapes of ``beta_mean``,
    ``beta_cov_chol`` and ``class_counts``, real coefficients and lower-triangular factors
    -- is the rule the native readers hold every record to as well (they read entries of
    other types converted); the exact types and the limits of the values hold for files.
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
    for key in INT_SCALARS:
        if p[key].dtype != np.int64 or p[key].shape != ():
            raise ValueError(f"{key!r} must be an int64 scalar, got {_describe(p[key])}")
    for key in FLOAT_SCALARS:
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

    _check_structure(p)
    k, d = int(p["n_classes"]), beta.shape[1]
    counts = p["class_counts"]
    if (counts < 0).any():
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
    steps = int(p["num_steps"])
    if steps < 1:
        raise ValueError(f"'num_steps' must be at least 1, got {steps}")
    if steps > MAX_NUM_STEPS:
        raise ValueError(f"'num_steps' must be at most {MAX_NUM_STEPS}, got {steps}")
    # Summed in floating point: an int64 sum could itself wrap.
    if counts.sum(dtype=np.float64) > MAX_TRIALS:
        raise ValueError(f"'class_counts' must sum to at most {MAX_TRIALS} trials (2**53), "
                         f"got {counts.sum(dtype=np.float64):.4g}")
    if not np.isfinite(beta).all():
        raise ValueError("'beta_mean' must be finite")
    diagonal = np.diagonal(chol, axis1=1, axis2=2)
    if not (np.isfinite(diagonal).all() and (diagonal > 0).all()):
        raise ValueError("'beta_cov_chol' must have a finite, positive diagonal (it holds "
                         "Cholesky factors)")
    # Row slices are views: the factors are scanned once, without copies of their size.
    for rows in _row_blocks(k - 1, d * d * chol.itemsize):
        block = chol[rows]
        if any(block[:, i, i + 1:].any() for i in range(d - 1)):
            raise ValueError("'beta_cov_chol' must be lower triangular (it holds Cholesky "
                             "factors); it has non-zero entries above the diagonal")
        if not np.isfinite(block).all():
            raise ValueError("'beta_cov_chol' must be finite")


def _check_structure(p: dict) -> None:
    """The record rule on entries of known kinds: ``n_classes``, ``ref_class`` and
    ``non_ref_classes`` against each other, then the shapes of the coefficients and the
    counts, sizes first (nothing of the size ``n_classes`` claims is built before the arrays
    that are there confirm it)."""
    beta, chol = p["beta_mean"], p["beta_cov_chol"]
    k = int(p["n_classes"])
    if k < 2:
        raise ValueError(f"'n_classes' must be at least 2, got {k}")
    if int(p["label_base"]) not in (0, 1):
        raise ValueError(f"'label_base' must be 0 or 1, got {int(p['label_base'])}")
    ref = int(p["ref_class"])
    if not 0 <= ref < k:
        raise ValueError(f"'ref_class' must lie in [0, {k}) for {k} classes, got {ref}")
    non_ref = p["non_ref_classes"]
    # The length first: only then is a range of k classes no larger than the array itself.
    if non_ref.shape != (k - 1,) or not np.array_equal(non_ref, np.delete(np.arange(k), ref)):
        raise ValueError(f"'non_ref_classes' must list the {k - 1} classes other than the "
                         f"reference class {ref} in ascending order, got {_listing(non_ref)}")
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


def check_record_rule(params: Any) -> None:
    """Hold a record handed to a function (not read from a file) to the record rule.

    Entries may be held in any type that converts (an int32 ``n_classes``, float32 factors
    beside float64 means); the exact types and the limits of values are for files
    (:func:`validate_record`). Checks every entry is there, each scalar is a 0-d integer
    or real array and each array has its rank, then the structure, sizes first. Raises
    ValueError saying what is wrong.
    """
    if not isinstance(params, dict):
        raise ValueError(f"params must be a dict, got {type(params).__name__}")
    missing = [k for k in PARAM_KEYS if k not in params]
    if missing:
        raise ValueError("the record lacks the entries " + ", ".join(map(repr, missing)))
    p = {k: np.asarray(params[k]) for k in PARAM_KEYS if k != "backend"}
    kinds = {**dict.fromkeys(INT_SCALARS, ("iu", 0)), **dict.fromkeys(FLOAT_SCALARS, ("iuf", 0)),
             "non_ref_classes": ("iu", 1), "class_counts": ("iu", 1),
             "beta_mean": ("iuf", 2), "beta_cov_chol": ("iuf", 3)}
    for key, (kind, ndim) in kinds.items():
        if p[key].dtype.kind not in kind or p[key].ndim != ndim:
            what = "integer" if kind == "iu" else "real"
            raise ValueError(f"{key!r} must be a {ndim}-D {what} array, got {_describe(p[key])}")
    _check_structure(p)
