"""Hostile model files, made on the fly: each lies about its contents in its own way.

`build_corpus(folder)` writes the files and returns the cases: the path, the reader to use
("model": KovaniModel.load, "archive": read_archive, "features": an Archive that admits
compressed entries), and the exception type and message expected. Nothing here is a
committed binary; every byte is made by NumPy and zipfile, then patched where a case needs
a field no writer would produce.
"""

from __future__ import annotations

import io
import os
import socket
import struct
import warnings
import zipfile
from dataclasses import dataclass

import numpy as np

from helpers import make_record

PARAMS = make_record(K=3, F=4, ref_class=1, dtype=np.float32)


def model_entries():
    """The archive entries of a valid model file, as save writes them."""
    entries = {"format_version": np.array(1, dtype=np.int64),
               "model_type": np.array("kovani_softmax")}
    for key, value in PARAMS.items():
        entries[key] = np.array(str(value.item())) if key == "backend" else value.copy()
    return entries


def npy_bytes(array):
    buf = io.BytesIO()
    np.lib.format.write_array(buf, np.asanyarray(array), allow_pickle=True)
    return buf.getvalue()


def npy_header(header: str, version=(1, 0)):
    """A .npy header with the given dictionary text, padded as NumPy pads it."""
    width = 2 if version == (1, 0) else 4
    text = header.encode("latin1")
    pad = 64 - (10 + len(text) + 1) % 64
    text = text + b" " * pad + b"\n"
    return b"\x93NUMPY" + bytes(version) + len(text).to_bytes(width, "little") + text


def zip_bytes(members, compression=zipfile.ZIP_STORED):
    """A zip of (name, data) members in order; duplicate names are kept."""
    buf = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")                    # zipfile warns of duplicates
        with zipfile.ZipFile(buf, "w", compression) as z:
            for name, data in members:
                z.writestr(zipfile.ZipInfo(name, (1980, 1, 1, 0, 0, 0)), data,
                           compress_type=compression)
    return buf.getvalue()


def model_zip(entries=None, replace=None, extra=()):
    """A model file of `entries` (a valid record by default), with the raw member data of
    some entries replaced and extra (name, data) members appended."""
    entries = model_entries() if entries is None else entries
    replace = replace or {}
    members = [(f"{k}.npy", replace[k] if k in replace else npy_bytes(v))
               for k, v in entries.items()]
    return zip_bytes(members + list(extra))


def patch_member(data: bytes, name: str, *, local: dict, central: dict) -> bytes:
    """Overwrite little-endian fields (offset: (format, value)) in the local and the
    central header of member `name`."""
    out = bytearray(data)
    raw = name.encode()
    for signature, name_at, fields in ((b"PK\x03\x04", 30, local), (b"PK\x01\x02", 46, central)):
        at = out.find(signature)
        while at >= 0:
            if out[at + name_at:at + name_at + len(raw)] == raw:
                for offset, (fmt, value) in fields.items():
                    struct.pack_into("<" + fmt, out, at + offset, value)
            at = out.find(signature, at + 1)
    return bytes(out)


def with_bomb(archive: bytes, name: str, n_bytes: int) -> bytes:
    """`archive` with a member `name` appended whose header declares a float64 array of
    n_bytes, all zeros, deflated as it streams (the test never holds the expanded data)."""
    buf = io.BytesIO(archive)
    with zipfile.ZipFile(buf, "a") as z:
        info = zipfile.ZipInfo(name, (1980, 1, 1, 0, 0, 0))
        info.compress_type = zipfile.ZIP_DEFLATED
        with z.open(info, "w", force_zip64=True) as f:
            f.write(npy_header(f"{{'descr': '<f8', 'fortran_order': False, "
                               f"'shape': ({n_bytes // 8},), }}"))
            chunk = bytes(1 << 22)
            for _ in range(n_bytes // len(chunk)):
                f.write(chunk)
    return buf.getvalue()


def with_entries(**changes):
    entries = model_entries()
    entries.update(changes)
    return entries


def chol_with(fn):
    chol = PARAMS["beta_cov_chol"].copy()
    fn(chol)
    return chol


@dataclass
class Case:
    name: str
    path: str
    reader: str
    error: str          # the exception's type name
    match: str          # a regex its message must match


# (name, entries or bytes, error type, message) for records that are well-formed archives
TAMPERED = [
    ("n_classes_2_62", with_entries(n_classes=np.array(2**62)), "'non_ref_classes' must list"),
    ("n_classes_1e8", with_entries(n_classes=np.array(10**8)), "'non_ref_classes' must list"),
    ("non_ref_long", with_entries(non_ref_classes=np.arange(10**6)), r"\(1000000 entries\)"),
    ("chol_above_diagonal", with_entries(beta_cov_chol=chol_with(
        lambda c: c.__setitem__((0, 0, 3), 0.5))), "lower triangular"),
    ("chol_zero_diagonal", with_entries(beta_cov_chol=chol_with(
        lambda c: c.__setitem__((1, 2, 2), 0.0))), "positive diagonal"),
    ("chol_negative_diagonal", with_entries(beta_cov_chol=chol_with(
        lambda c: c.__setitem__((1, 0, 0), -1.0))), "positive diagonal"),
    ("chol_nan_below", with_entries(beta_cov_chol=chol_with(
        lambda c: c.__setitem__((0, 3, 1), np.nan))), "'beta_cov_chol' must be finite"),
    ("chol_inf_diagonal", with_entries(beta_cov_chol=chol_with(
        lambda c: c.__setitem__((0, 1, 1), np.inf))), "positive diagonal"),
    ("beta_nan", with_entries(beta_mean=np.full((2, 5), np.nan, np.float32)),
     "'beta_mean' must be finite"),
    ("beta_inf", with_entries(beta_mean=np.full((2, 5), -np.inf, np.float32)),
     "'beta_mean' must be finite"),
    ("beta_big_endian", with_entries(beta_mean=PARAMS["beta_mean"].astype(">f4")),
     "'beta_mean' must be a 2-D float32 or float64"),
    ("num_steps_1e9", with_entries(num_steps=np.array(10**9)), "at most 10000"),
    ("counts_near_int64_max", with_entries(class_counts=np.array([2**62, 2**62, 2**62])),
     "sum to at most"),
    ("counts_wrapping_sum", with_entries(class_counts=np.array([2**63 - 1] * 3)),
     "sum to at most"),
    ("counts_negative", with_entries(class_counts=np.array([1, -5, 2])), "not be negative"),
]


def build_corpus(folder) -> list[Case]:
    folder = os.fspath(folder)
    cases: list[Case] = []

    def add(name, data, error, match, reader="model"):
        path = os.path.join(folder, name + ".npz")
        with open(path, "wb") as f:
            f.write(data)
        cases.append(Case(name, path, reader, error, match))

    good = model_zip()
    add("good", good, "", "")
    fortran = with_entries(beta_cov_chol=np.asfortranarray(PARAMS["beta_cov_chol"]))
    add("good_fortran_order", model_zip(fortran), "", "")

    for name, entries, match in TAMPERED:
        add(name, model_zip(entries), "ValueError", match)

    # Zip bombs: deflated entries, whether the loader would use them or not.
    bomb = with_bomb(good, "estimator.junk.npy", 1 << 30)
    assert len(bomb) < 4 << 20
    add("bomb_ignored_entry", bomb, "ValueError", "'estimator.junk' is compressed")
    add("bomb_ignored_entry_archive", bomb, "ValueError", "'estimator.junk' is compressed",
        reader="archive")
    add("bomb_feature_entry", bomb, "ValueError", "would expand from .* to 1073741952 bytes",
        reader="features")
    add("compressed_param", zip_bytes([(f"{k}.npy", npy_bytes(v))
                                       for k, v in model_entries().items()],
                                      zipfile.ZIP_DEFLATED),
        "ValueError", "'format_version' is compressed")

    # Odd members.
    add("member_without_suffix", model_zip(extra=[("notes.txt", b"hello")]), "ValueError",
        "member 'notes.txt' is not a .npy array")
    add("method_99", patch_member(good, "w_loc.npy", local={8: ("H", 99)},
                                  central={10: ("H", 99)}),
        "ValueError", "'w_loc' uses compression method 99")
    add("bzip2", zip_bytes([(f"{k}.npy", npy_bytes(v)) for k, v in model_entries().items()],
                           zipfile.ZIP_BZIP2),
        "ValueError", "uses compression method 12")
    add("encrypted", patch_member(good, "beta_mean.npy", local={6: ("H", 1)},
                                  central={8: ("H", 1)}),
        "ValueError", "'beta_mean' is encrypted")
    huge = npy_header("{'descr': '<f8', 'fortran_order': False, 'shape': (4294967296,), }")
    add("header_32_gib", model_zip(replace={"beta_mean": huge + bytes(40)}), "ValueError",
        "'beta_mean' declares 34359738368 bytes")
    add("header_32_gib_ignored", model_zip(extra=[("estimator.x.npy", huge)]), "ValueError",
        "'estimator.x' declares 34359738368 bytes", reader="archive")
    add("data_longer_than_header", model_zip(replace={
        "w_loc": npy_bytes(np.array(0.25)) + bytes(8)}), "ValueError",
        "'w_loc' declares 8 bytes of data .* holds 16")
    dup = model_zip(extra=[("beta_mean.npy", npy_bytes(np.zeros((2, 5), np.float32)))])
    add("duplicate_member", dup, "ValueError", "'beta_mean' appears more than once")
    many = zip_bytes([(f"a{i}.npy", npy_bytes(np.zeros(1))) for i in range(300)])
    add("too_many_members", many, "ValueError", "has 300 members", reader="archive")
    add("pickled_object", model_zip(replace={
        "beta_mean": npy_bytes(np.array([{"x": 1}, None], dtype=object))}), "ValueError",
        "'beta_mean' holds pickled Python objects")
    long_header = (b"\x93NUMPY\x01\x00" + (60000).to_bytes(2, "little")
                   + b"{" + b" " * 59998 + b"\n")
    add("header_too_long", model_zip(replace={"w_loc": long_header}), "ValueError",
        "'w_loc' has a .npy header of 60000 bytes")
    add("header_garbage", model_zip(replace={"w_loc": npy_header("{'descr': <f8 !!")}),
        "ValueError", "'w_loc' has an unreadable .npy header")
    nested = "{'descr': '<f8', 'fortran_order': False, 'shape': " + "(" * 3000 + ")" * 3000 + "}"
    add("header_deeply_nested", model_zip(replace={"w_loc": npy_header(nested)}), "ValueError",
        "'w_loc' has an unreadable .npy header")
    add("header_not_a_dict", model_zip(replace={"w_loc": npy_header("[1, 2, 3]")}),
        "ValueError", "'w_loc' has an unreadable .npy header")
    add("npy_version_3", model_zip(replace={"w_loc": npy_header(
        "{'descr': '<f8', 'fortran_order': False, 'shape': (), }", version=(3, 0)) + bytes(8)}),
        "ValueError", "'w_loc' uses .npy format version 3.0")
    add("negative_shape", model_zip(replace={"w_loc": npy_header(
        "{'descr': '<f8', 'fortran_order': False, 'shape': (-1,), }")}), "ValueError",
        "'w_loc' declares an impossible array")
    add("zero_itemsize", model_zip(replace={"model_type": npy_header(
        "{'descr': '|V0', 'fortran_order': False, 'shape': (4611686018427387904,), }")}),
        "ValueError", "'model_type' declares an impossible array")
    add("not_npy_data", model_zip(replace={"w_loc": b"just some bytes"}), "ValueError",
        "'w_loc' is not a .npy array")

    # Damaged structure.
    at = good.find(b"PK\x01\x02")
    add("truncated", good[: len(good) // 2], "ValueError", "damaged .npz archive")
    flipped = bytearray(good)
    flipped[good.find(b"beta_cov_chol.npy") + 200] ^= 0xFF
    add("bad_crc", bytes(flipped), "ValueError", "damaged .npz archive.*'beta_cov_chol'")
    renamed = bytearray(good)
    first = renamed.find(b"format_version.npy")
    renamed[first:first + 6] = b"FORMAT"                     # local name only
    add("local_name_differs", bytes(renamed), "ValueError", "damaged .npz archive")
    add("member_past_the_end", patch_member(good, "class_counts.npy",
                                            local={18: ("I", 10**6), 22: ("I", 10**6)},
                                            central={20: ("I", 10**6), 24: ("I", 10**6)}),
        "ValueError", "'class_counts' extends past the end")
    names = [(f"{'n' * 4000}{i}.npy", npy_bytes(np.zeros(1))) for i in range(300)]
    add("directory_over_1_mib", zip_bytes(names), "ValueError", "claims a directory of",
        reader="archive")
    # Member a's sizes stretched over member b: their data overlap.
    overlap = zip_bytes([("a.npy", npy_bytes(np.zeros(4))), ("b.npy", npy_bytes(np.zeros(10**5)))])
    stretch = overlap.find(b"PK\x01\x02") - overlap.find(b"PK\x03\x04")
    add("overlapping_members", patch_member(
        overlap, "a.npy", local={18: ("I", stretch), 22: ("I", stretch)},
        central={20: ("I", stretch), 24: ("I", stretch)}), "ValueError", "entries overlap",
        reader="archive")
    eocd = good.rfind(b"PK\x05\x06")
    big_dir = bytearray(good)
    struct.pack_into("<I", big_dir, eocd + 12, 2**31)
    add("directory_claims_2_gib", bytes(big_dir), "ValueError",
        "damaged .npz archive|claims a directory")
    assert at > 0
    add("empty_file", b"", "ValueError", r"not an .npz archive \(not a zip file\)")
    add("text_file", b"w_loc,w_scale\n0,1\n", "ValueError", "not a zip file")
    add("single_npy", npy_bytes(np.zeros(3)), "ValueError", "a single .npy array")

    # Paths that are not regular files.
    fifo = os.path.join(folder, "fifo.npz")
    os.mkfifo(fifo)
    cases.append(Case("fifo", fifo, "model", "ValueError", "is a FIFO, not a regular file"))
    cases.append(Case("fifo_archive", fifo, "archive", "ValueError", "is a FIFO"))
    cases.append(Case("character_device", "/dev/null", "model", "ValueError",
                      "is a character device"))
    sock_path = os.path.join(folder, "sock.npz")
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(sock_path)
    sock.close()
    cases.append(Case("socket", sock_path, "model", "ValueError", "is a socket"))
    cases.append(Case("directory", folder, "model", "ValueError", "is a directory"))
    link = os.path.join(folder, "loop.npz")
    os.symlink(link, link)
    cases.append(Case("symlink_loop", link, "model", "OSError",
                      "Too many levels of symbolic links: '" + link))
    cases.append(Case("missing", os.path.join(folder, "missing.npz"), "model",
                      "FileNotFoundError", "no such file: "))
    cases.append(Case("empty_path", "", "model", "ValueError", "the path is empty"))
    return cases


def prior_with(**changes):
    """The valid record's entries with `changes`; None removes an entry."""
    params = {k: v.copy() for k, v in PARAMS.items()}
    params.update(changes)
    return {k: v for k, v in params.items() if v is not None}


# (name, record, message) of records handed to fit as a prior (KovaniModel(params=...)):
# each lies about its size or lacks an entry, and is refused before anything of the
# claimed size is built. Types that convert are accepted, as by every function.
TAMPERED_PRIORS = [
    ("n_classes_1e8", prior_with(n_classes=np.array(10**8)), "'non_ref_classes' must list"),
    ("n_classes_2_62", prior_with(n_classes=np.array(2**62)), "'non_ref_classes' must list"),
    ("n_classes_1e8_all_arrays_short", prior_with(n_classes=np.array(10**8),
                                                  non_ref_classes=np.delete(np.arange(10**3), 1)),
     "'non_ref_classes' must list"),
    ("n_classes_one", prior_with(n_classes=np.array(1)), "'n_classes' must be at least 2"),
    ("n_classes_text", prior_with(n_classes=np.array("3")), "'n_classes' must be a 0-D integer"),
    ("n_classes_float", prior_with(n_classes=np.array(3.0)), "'n_classes' must be a 0-D integer"),
    ("no_class_counts", prior_with(class_counts=None), "lacks the entries 'class_counts'"),
    ("no_beta_mean", prior_with(beta_mean=None), "lacks the entries 'beta_mean'"),
    ("counts_short", prior_with(class_counts=np.array([1, 2])), "'class_counts' must have 3"),
    ("beta_rows_short", prior_with(beta_mean=PARAMS["beta_mean"][:1]), "'beta_mean' must have 2 rows"),
    ("chol_2d", prior_with(beta_cov_chol=PARAMS["beta_cov_chol"][0]), "'beta_cov_chol' must be a 3-D"),
    ("ref_class_outside", prior_with(ref_class=np.array(5)), r"'ref_class' must lie in \[0, 3\)"),
]
