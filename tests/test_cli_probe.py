"""The command line under random bad files and options.

Each example damages a good CSV (cells, lines, bytes), a good model file (bytes, fields)
or the options, and runs a command. Whatever happens, the exit status is 0, 1 or 2, and a
failure leaves exactly one line on stderr, the command's error line. A success never drops
a trial: fit reports and predict prints every trial of the file. KOVANI_FUZZ_EXAMPLES
raises the example count (with fresh random examples) for a long run.
"""

import csv
import io
import os
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from kovani_bci.cli import main

LONG_RUN = "KOVANI_FUZZ_EXAMPLES" in os.environ
EXAMPLES = int(os.environ.get("KOVANI_FUZZ_EXAMPLES", "40"))
PROBE = settings(max_examples=EXAMPLES, deadline=None, database=None, derandomize=not LONG_RUN,
                 suppress_health_check=list(HealthCheck))

N_TRIALS = 24
RNG = np.random.default_rng(3)
X = np.concatenate([RNG.normal(size=(12, 3)), RNG.normal(size=(12, 3)) + 3])
Y = np.repeat(["left", "right"], 12)

CELLS = ["", " ", "x", "1e999", "-inf", "nan", "NaN", "1e308", "-1e308", "1_0", "0x10",
         "\u0661", '"', "1,2", "\ufeff1", "\u00e9", "9" * 400, "1e-400", "+", "-", ".", "1.",
         ".5", " 3 ", "true", "None", "f0", "label", "0", "-0"]
OPTIONS = ["0", "-1", "1", "2", "3", "10001", "99999999999", "99999999999999999999", "1e308",
           "nan", "inf", "-0", "abc", "", "100000", "100001", "0.5", "2**31", "1024", "1025",
           str(2**30), "-2", "fig.png", "fig.PDF", "fig.gifx", "/dev/null", "/dev/null.png",
           "none", "tangent-space"]


def csv_rows(header):
    rows = [[repr(float(v)) for v in x] + [label] for x, label in zip(X, Y)]
    return ([["f0", "f1", "f2", "label"]] if header else []) + rows


def as_text(rows):
    buf = io.StringIO()
    csv.writer(buf, lineterminator="\n").writerows(rows)
    return buf.getvalue()


@st.composite
def damaged_csv(draw):
    """(bytes, trials in the file if it is read at all)."""
    header = draw(st.booleans())
    rows = csv_rows(header)
    first = 1 if header else 0
    n = N_TRIALS
    for _ in range(draw(st.integers(0, 3))):
        kind = draw(st.sampled_from(["cell", "cell", "drop", "repeat", "extra", "blank"]))
        r = draw(st.integers(first, len(rows) - 1))
        if kind == "cell":
            rows[r][draw(st.integers(0, 3))] = draw(st.sampled_from(CELLS))
        elif kind == "drop" and n > 2:
            del rows[r]
            n -= 1
        elif kind == "repeat":
            rows.insert(r, list(rows[r]))
            n += 1
        elif kind == "extra":
            rows[r].append(draw(st.sampled_from(CELLS)))
        elif kind == "blank":
            rows.insert(r, [])
    data = as_text(rows).encode()
    tail = draw(st.sampled_from(["none", "bom", "bytes", "truncate"]))
    if tail == "bom":
        data = b"\xef\xbb\xbf" + data
    elif tail == "bytes":
        at = draw(st.integers(0, len(data) - 1))
        data = data[:at] + draw(st.sampled_from([b"\xff", b"\x00", b"\r", b'"', b"\n\n"])) + data[at:]
    elif tail == "truncate":
        data = data[:draw(st.integers(0, len(data)))]
    return data, n


@pytest.fixture(scope="module")
def model_file(tmp_path_factory):
    folder = tmp_path_factory.mktemp("probe")
    path = folder / "model.npz"
    (folder / "train.csv").write_text(as_text(csv_rows(True)))
    assert main(["fit", str(folder / "train.csv"), "--out", str(path), "--num-steps", "2"]) == 0
    return path


def run(capsys, argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    assert code in (0, 1, 2), (argv, code, err)
    if code:
        assert err.endswith("\n") and err.count("\n") == 1, (argv, err)
        assert err.startswith(f"kovani-bci {argv[0]}: error: "), (argv, err)
    return code, out, err


@PROBE
@given(csv_file=damaged_csv(), command=st.sampled_from(["fit", "predict", "update"]))
def test_probe_damaged_csv(tmp_path_factory, model_file, capsys, csv_file, command):
    data, n = csv_file
    folder = tmp_path_factory.mktemp("csv")
    path = folder / "trials.csv"
    path.write_bytes(data)
    argv = {"fit": ["fit", path, "--out", folder / "m.npz", "--num-steps", 2],
            "predict": ["predict", model_file, path],
            "update": ["update", model_file, path, "--out", folder / "m.npz"]}[command]
    code, out, err = run(capsys, argv)
    if code == 0 and command == "fit":
        assert f" on {n} trials " in out, (out, data[:200])
    if code == 0 and command == "predict":
        assert len(out.splitlines()) == n, (out, data[:200])
    if code == 0 and command == "update":
        assert f"updated with {n} trials" in out
    if code:
        assert not (folder / "m.npz").exists()


@PROBE
@given(command=st.sampled_from(["fit", "predict", "demo", "compare"]),
       options=st.lists(st.tuples(st.sampled_from(
           ["--num-steps", "--posterior-samples", "--seed", "--w-loc", "--w-scale", "--b-scale",
            "--learning-rate", "--blocks", "--trials-per-block", "--figure", "--features",
            "--folds", "--n-jobs", "--reject-below", "--proba", "--bogus"]),
           st.sampled_from(OPTIONS)), min_size=1, max_size=3))
@example(command="demo", options=[("--blocks", "1")])
@example(command="demo", options=[("--trials-per-block", "2")])
@example(command="demo", options=[("--figure", "fig.gifx")])
@example(command="compare", options=[("--n-jobs", str(2**30))])
def test_probe_options(tmp_path_factory, model_file, capsys, monkeypatch, command, options):
    import kovani_bci.cli as cli

    folder = tmp_path_factory.mktemp("opts")
    features = folder / "trials.csv"
    features.write_text(as_text(csv_rows(False)))
    # The demo and the comparison are long runs: parse their options, do not run them, but
    # keep what they would have run with: options that parse must make a run that can work.
    started = []
    monkeypatch.setattr(cli, "cmd_demo", lambda args, out: started.append(args))
    monkeypatch.setattr(cli, "cmd_compare", lambda args, out: started.append(args))
    base = {"fit": ["fit", features, "--out", folder / "m.npz"],
            "predict": ["predict", model_file, features], "demo": ["demo"],
            "compare": ["compare"]}[command]
    argv = list(base)
    for name, value in options:
        argv += [name] if name == "--proba" else [f"{name}={value}"]
    code, out, err = run(capsys, argv)
    if code == 0 and command == "predict":
        header = "--proba" in argv or any(a.startswith("--reject-below") for a in argv)
        assert len(out.splitlines()) == N_TRIALS + header
    for args in started:
        if command == "demo":
            assert args.blocks >= 2 and args.trials_per_block >= 3, argv
            assert args.figure == "none" or args.figure.lower().endswith((".png", ".pdf")), argv
            assert args.figure != "/dev/null.png" or not os.path.exists("/dev/null.png")
        else:
            assert args.n_jobs in (None, -1) or 1 <= args.n_jobs <= 1024, argv


def test_probe_damaged_model_files(model_file, tmp_path, capsys):
    """Seeded random damage to a good model file: flipped bytes, cut files, patched
    fields. `info` and `predict` answer with a result or one error line."""
    good = model_file.read_bytes()
    features = tmp_path / "trials.csv"
    features.write_text(as_text(csv_rows(True)))
    rng = np.random.default_rng(0)
    n_examples = max(EXAMPLES, 60)
    seen = set()
    for i in range(n_examples):
        data = bytearray(good)
        kind = ("flip", "cut", "field")[i % 3]
        if kind == "flip":
            for at in rng.integers(0, len(data), size=rng.integers(1, 4)):
                data[at] ^= 1 << int(rng.integers(0, 8))
        elif kind == "cut":
            data = data[:int(rng.integers(0, len(data)))]
        else:
            # A 16- or 32-bit field of a zip header set to an extreme value.
            headers = [m.start() for m in re.finditer(b"PK(\x01\x02|\x03\x04|\x05\x06)", data)]
            at = int(rng.choice(headers)) + int(rng.integers(4, 30))
            width = int(rng.choice([2, 4]))
            value = int(rng.choice([0, 1, 2**(8 * width) - 1, 2**(8 * width - 1), 99]))
            data[at:at + width] = value.to_bytes(width, "little")
        path = tmp_path / f"damaged{i}.npz"
        path.write_bytes(bytes(data))
        for argv in (["info", path], ["predict", path, features]):
            code, out, err = run(capsys, argv)
            seen.add(code)
            if code == 0 and argv[0] == "predict":
                assert len(out.splitlines()) == N_TRIALS
    assert 1 in seen
