"""The kovani-bci command line, end to end in a temporary folder, error paths included."""

import csv
import re

import numpy as np
import pytest

from kovani_bci.cli import main
from kovani_bci.estimator import KovaniSoftmaxClassifier
from kovani_bci.kovani_io import KovaniModel


def blobs(n_per_class, labels, n_features=3, seed=0):
    rng = np.random.default_rng(seed)
    centres = rng.normal(scale=6.0, size=(len(labels), n_features))
    X = np.concatenate([c + rng.normal(size=(n_per_class, n_features)) for c in centres])
    return X, np.repeat(np.asarray(labels), n_per_class)


def write_csv(path, X, y, header=True):
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        if header:
            w.writerow([f"f{j}" for j in range(X.shape[1])] + ["label"])
        for row, label in zip(X, y):
            w.writerow([*row, label])


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def test_fit_predict_update_info_round_trip(tmp_path, capsys):
    X, y = blobs(20, ["left", "right"])
    write_csv(tmp_path / "calib.csv", X, y)
    model = tmp_path / "model.npz"
    code, out, err = run(capsys, "fit", tmp_path / "calib.csv", "--out", model,
                         "--num-steps", 3, "--seed", 4, "--w-scale", 2)
    assert code == 0, err
    assert "fitted 2 classes on 40 trials" in out
    clf = KovaniSoftmaxClassifier.load(model)
    assert clf.classes_.tolist() == ["left", "right"]
    assert clf.get_params()["w_scale"] == 2.0 and clf.get_params()["random_state"] == 4

    code, out, err = run(capsys, "predict", model, tmp_path / "calib.csv")
    assert code == 0
    lines = out.splitlines()
    assert len(lines) == 40 and set(lines) <= {"left", "right"}
    assert np.mean(np.array(lines) == y) > 0.9
    assert err.startswith("accuracy ") and "on 40 labelled trials" in err
    # Unlabelled input: an .npz without y, and a CSV with only feature columns.
    np.savez(tmp_path / "new.npz", X=X[:5])
    code, out, err = run(capsys, "predict", model, tmp_path / "new.npz", "--proba")
    rows = list(csv.reader(out.splitlines()))
    assert code == 0 and err == ""
    assert rows[0] == ["prediction", "p_left", "p_right"]
    p = np.array([[float(v) for v in r[1:]] for r in rows[1:]])
    np.testing.assert_allclose(p.sum(axis=1), 1.0, atol=1e-5)
    assert [r[0] for r in rows[1:]] == np.where(p[:, 0] >= p[:, 1], "left", "right").tolist()
    np.savetxt(tmp_path / "features_only.csv", X[:5], delimiter=",")
    code, out, _ = run(capsys, "predict", model, tmp_path / "features_only.csv")
    assert code == 0 and out.splitlines() == [r[0] for r in rows[1:]]

    # An online update with a class the model has not seen.
    X2, y2 = blobs(5, ["left", "right", "feet"], seed=1)
    np.savez(tmp_path / "more.npz", X=X2, y=y2)
    code, out, err = run(capsys, "update", model, tmp_path / "more.npz", "--out",
                         tmp_path / "model2.npz")
    assert code == 0, err
    assert "updated with 15 trials; new classes: feet" in out
    grown = KovaniModel.load(tmp_path / "model2.npz")
    assert grown.params["class_counts"].tolist() == [25, 25, 5]
    assert KovaniModel.load(model).params["class_counts"].tolist() == [20, 20]

    code, out, _ = run(capsys, "info", tmp_path / "model2.npz")
    assert code == 0
    assert "left: 25, right: 25, feet: 5 (total 55)" in out
    assert "3; reference class left" in out and re.search(r"features +3\n", out)
    assert "weights N(0, 2^2)" in out and "3 sweeps" in out


def test_help_on_every_command(capsys):
    for argv in ([], ["demo"], ["fit"], ["predict"], ["update"], ["info"], ["compare"]):
        code, out, _ = run(capsys, *argv, "--help")
        assert code == 0 and out.startswith("usage: kovani-bci")
    code, _, err = run(capsys, "fit", "x.csv")                       # --out is required
    assert code == 2 and "the following arguments are required: --out" in err
    code, _, err = run(capsys, "launch")
    assert code == 2 and "invalid choice: 'launch'" in err


def test_errors_are_one_line_with_a_nonzero_status(tmp_path, capsys):
    X, y = blobs(10, [0, 1])
    np.savez(tmp_path / "good.npz", X=X, y=y)
    model = tmp_path / "model.npz"
    assert run(capsys, "fit", tmp_path / "good.npz", "--out", model, "--num-steps", 2)[0] == 0

    (tmp_path / "ragged.csv").write_text("1,2,a\n3,b\n")
    (tmp_path / "text.csv").write_text("f0,f1,label\n1,2,a\n3,x,b\n")
    (tmp_path / "empty.csv").write_text("f0,f1,label\n")
    (tmp_path / "data.txt").write_text("1 2 3\n")
    (tmp_path / "garbage.npz").write_bytes(b"not a zip at all")
    np.savez(tmp_path / "no_x.npz", features=X, y=y)
    np.savez(tmp_path / "rows.npz", X=X, y=y[:-1])
    np.savez(tmp_path / "no_y.npz", X=X)
    np.savez(tmp_path / "wide.npz", X=np.hstack([X, X]), y=y)
    np.savez(tmp_path / "one_class.npz", X=X, y=np.zeros(len(X)))
    np.savez(tmp_path / "nan.npz", X=np.full_like(X, np.nan), y=y)
    cases = [
        (["fit", tmp_path / "missing.csv", "--out", model], "no such file"),
        (["fit", tmp_path / "ragged.csv", "--out", model], "line 2 has 2 fields"),
        (["fit", tmp_path / "text.csv", "--out", model], "line 3, column 2: 'x' is not a number"),
        (["fit", tmp_path / "empty.csv", "--out", model], "no trials in the file"),
        (["fit", tmp_path / "data.txt", "--out", model], "unsupported file type '.txt'"),
        (["fit", tmp_path / "garbage.npz", "--out", model], "not an .npz archive"),
        (["fit", tmp_path / "no_x.npz", "--out", model], "no array 'X' \\(found: features, y\\)"),
        (["fit", tmp_path / "rows.npz", "--out", model], "'X' has 20 rows but 'y' has 19"),
        (["fit", tmp_path / "no_y.npz", "--out", model], "no labels"),
        (["fit", tmp_path / "one_class.npz", "--out", model], "at least 2 classes"),
        (["fit", tmp_path / "nan.npz", "--out", model], "NaN"),
        (["predict", tmp_path / "missing.npz", tmp_path / "good.npz"], "no such file"),
        (["predict", tmp_path / "garbage.npz", tmp_path / "good.npz"], "not an .npz archive"),
        (["predict", tmp_path / "good.npz", tmp_path / "good.npz"], "no 'format_version'"),
        (["predict", model, tmp_path / "wide.npz"], "6 feature columns, but the model expects 3"),
        (["update", model, tmp_path / "wide.npz", "--out", tmp_path / "m2.npz"],
         "6 feature columns, but the model expects 3"),
        (["update", model, tmp_path / "no_y.npz", "--out", tmp_path / "m2.npz"], "no labels"),
        (["info", tmp_path / "missing.npz"], "no such file"),
        (["fit", tmp_path / "good.npz", "--out", tmp_path / "no_dir" / "m.npz"],
         "No such file or directory"),
    ]
    for argv, message in cases:
        code, out, err = run(capsys, *argv)
        assert code == 1, (argv, err)
        assert len(err.strip().splitlines()) == 1, err
        assert err.startswith(f"kovani-bci {argv[0]}: error: ")
        assert re.search(message, err), (message, err)
    assert not (tmp_path / "m2.npz").exists()


def test_demo_writes_the_table_and_the_figure(tmp_path, capsys):
    figure = tmp_path / "figs" / "demo.png"
    code, out, err = run(capsys, "demo", "--blocks", 2, "--trials-per-block", 12,
                         "--figure", figure, "--seed", 3)
    assert code == 0, err
    assert "online acc" in out and "static acc" in out and "log loss" in out
    assert "predict" in out and "update" in out and "p99" in out
    assert f"Figure: {figure}" in out
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "12/12" in err or "trials" in err


def test_demo_options_are_checked_before_the_session(tmp_path, capsys, monkeypatch):
    """Sessions the demo cannot run, and figures it cannot write, are usage errors that name
    the option, found before the session runs (not after minutes of it)."""
    import os

    import kovani_bci.demo

    ran = []
    monkeypatch.setattr(kovani_bci.demo, "run_demo", lambda **kwargs: ran.append(kwargs))
    os.mkfifo(tmp_path / "fifo.png")
    (tmp_path / "file").write_text("")
    cases = [
        (["--blocks", "1"], "argument --blocks: must be >= 2, got 1"),
        (["--trials-per-block", "1"], "argument --trials-per-block: must be >= 3, got 1"),
        (["--trials-per-block", "2"], "argument --trials-per-block: must be >= 3, got 2"),
        (["--figure", tmp_path / "demo.gifx"], "argument --figure: '" + str(tmp_path / "demo.gifx")
         + "' must end in one of .png, .pdf"),
        (["--figure", tmp_path / "fifo.png"], "is a FIFO, not a file to write a figure to"),
        (["--figure", tmp_path], "argument --figure: "),
        (["--figure", tmp_path / "file" / "sub" / "demo.png"], "is not a directory"),
    ]
    for argv, message in cases:
        code, out, err = run(capsys, "demo", *argv)
        assert code == 2 and out == "", (argv, err)
        one_error_line(err, "demo")
        assert message in err, (message, err)
    assert ran == []
    for figure in ("none", tmp_path / "new" / "demo.PDF", tmp_path / "file.svg"):
        assert run(capsys, "demo", "--blocks", "2", "--trials-per-block", "3", "--figure", figure)[0] == 0
    assert len(ran) == 3 and ran[0]["n_blocks"] == 2 and ran[0]["trials_per_block"] == 3
    # The library function names its own parameters.
    monkeypatch.undo()
    with pytest.raises(ValueError, match="n_blocks must be at least 2, got 1"):
        kovani_bci.demo.run_demo(n_blocks=1, figure_path=None)
    with pytest.raises(ValueError, match="trials_per_block must be at least 3, got 2"):
        kovani_bci.demo.run_demo(trials_per_block=2, figure_path=None)


def test_compare_prints_both_models(capsys):
    code, out, err = run(capsys, "compare", "--datasets", "wine", "--folds", 2,
                         "--num-steps", 2, "--posterior-samples", 10, "--markdown")
    assert code == 0, err
    rows = [line for line in out.splitlines() if line.startswith("| wine")]
    assert [r.split("|")[2].strip() for r in rows] == ["kovani_softmax", "LogisticRegression"]
    accuracy = float(rows[0].split("|")[3].split("±")[0])
    assert accuracy > 0.85


def one_error_line(err, command):
    """The whole of stderr is one line, the command's error line."""
    assert err.endswith("\n") and err.count("\n") == 1, err
    assert err.startswith(f"kovani-bci {command}: error: "), err


def test_csv_first_row_byte_order_mark_and_bad_cells(tmp_path, capsys):
    X, y = blobs(20, ["left", "right"], seed=5)
    rows = [",".join([*map(repr, map(float, r)), lab]) for r, lab in zip(X, y)]
    model = tmp_path / "m.npz"

    def fit(text, encoding="utf-8"):
        path = tmp_path / "t.csv"
        path.write_bytes(text.encode(encoding) if isinstance(text, str) else text)
        return run(capsys, "fit", path, "--out", model, "--num-steps", 2)

    # A spreadsheet's byte-order mark is not data: all 40 trials, with or without a header.
    for text in ("\n".join(rows), "f0,f1,f2,label\n" + "\n".join(rows)):
        code, out, err = fit(text, "utf-8-sig")
        assert code == 0 and "on 40 trials" in out, err
    code, out, _ = run(capsys, "predict", model, tmp_path / "t.csv")
    assert code == 0 and len(out.splitlines()) == 40
    # A typo in row 1 is an error, as in any other row; only column names make a header.
    typo = rows[0].replace(rows[0].split(",")[1], "0.5x", 1)
    header_like = "a,b,1.5,left"
    numeric_names = "0,1,2,label"
    cases = [
        (typo + "\n" + "\n".join(rows[1:]), r"line 1, column 2: '0\.5x' is not a number"),
        (header_like + "\n" + "\n".join(rows), r"line 1, column 1: 'a' is not a number"),
        ("\n".join(rows[:3] + ["1,inf,2,left"] + rows[3:]),
         r"line 4, column 2: 'inf' is not a finite number"),
        ("\n".join(rows[:3] + ["nan,1,2,left"]), r"line 4, column 1: 'nan' is not a finite"),
        ("\n".join(rows[:3] + ["1,1e999,2,left"]), r"line 4, column 2: '1e999' is not a finite"),
        ("\n".join(rows[:3] + ["1,1_000,2,left"]), r"line 4, column 2: '1_000' is not a number"),
        ("f0,f1,label\n" + "\n".join(rows), "the header on line 1 has 3 fields; the first "
                                            "trial has 4"),
        ("\n".join(rows[:3] + ["1,2,3,"]), "line 4: the label is empty"),
        (numeric_names + "\n1,2,3,0\n4,5,6,1", "line 1: label 'label' is text, but the label "
                                               "on line 2 is a number"),
        ("1,2,3,0\n4,5,6,99999999999999999999", "line 2: label '99999999999999999999' is out"),
        ("1,2,3,0\n4,5,6,nan", "line 2: label 'nan' is not a finite number"),
        (b"1,2,3,a\n4,5,\xff,b\n", "not UTF-8 text"),
        ("1,2,3,a\n4,5,6,b\n7,8,\"9\n", "unexpected end of data|EOF"),
        ("\n\n  \n", "no trials in the file"),
    ]
    for text, message in cases:
        code, _, err = fit(text)
        assert code == 1, (text[:40], err)
        one_error_line(err, "fit")
        assert re.search(message, err), (message, err)
    # Unlabelled trials for predict: the last column is a feature, checked like the others.
    np.savetxt(tmp_path / "features.csv", X[:3], delimiter=",")
    with open(tmp_path / "features.csv", "a") as f:
        f.write("1,2,-inf\n")
    code, _, err = run(capsys, "predict", model, tmp_path / "features.csv")
    assert code == 1 and re.search(r"line 4, column 3: '-inf' is not a finite number", err), err


def test_every_failure_is_one_line_with_status_1(tmp_path, capsys, monkeypatch):
    import warnings

    import kovani_bci.cli as cli

    X, y = blobs(10, [0, 1])
    np.savez(tmp_path / "good.npz", X=X, y=y)
    model = tmp_path / "model.npz"
    assert run(capsys, "fit", tmp_path / "good.npz", "--out", model, "--num-steps", 2)[0] == 0
    for exc, shown in [(MemoryError(), "out of memory$"),
                       (MemoryError("needs 90 GiB"), "out of memory: needs 90 GiB"),
                       (OverflowError("int too large"), "OverflowError: int too large"),
                       (AttributeError("no attribute 'x'"), "AttributeError: no attribute"),
                       (NotImplementedError(), "NotImplementedError$"),
                       (RuntimeError("first\nsecond"), "RuntimeError: first$"),
                       (KeyError("n_classes"), "KeyError: 'n_classes'"),
                       (ValueError("x" * 5000), "x{1000} \\.\\.\\.$")]:
        def failing(args, out, exc=exc):
            warnings.warn("overflow encountered in cast", RuntimeWarning)
            raise exc
        monkeypatch.setattr(cli, "cmd_info", failing)
        code, out, err = run(capsys, "info", model)
        assert code == 1 and out == ""
        one_error_line(err, "info")
        assert re.search(shown, err.rstrip("\n")), err
    # After a success, warnings come as one line each, after the output.
    def warning_only(args, out):
        warnings.warn("first\nsecond", UserWarning)
        print("done", file=out)
    monkeypatch.setattr(cli, "cmd_info", warning_only)
    code, out, err = run(capsys, "info", model)
    assert code == 0 and out == "done\n" and err == "kovani-bci info: warning: first\n"


def test_option_values_out_of_range_are_usage_errors(tmp_path, capsys):
    X, y = blobs(10, [0, 1])
    np.savez(tmp_path / "good.npz", X=X, y=y)
    model = tmp_path / "model.npz"
    assert run(capsys, "fit", tmp_path / "good.npz", "--out", model, "--num-steps", 2)[0] == 0
    fit = ["fit", tmp_path / "good.npz", "--out", tmp_path / "m2.npz"]
    cases = [
        (["predict", model, tmp_path / "good.npz", "--posterior-samples", "99999999999"],
         "argument --posterior-samples: must be <= 100000, got 99999999999"),
        ([*fit, "--posterior-samples", "99999999999999999999"], "must be <= 100000"),
        ([*fit, "--posterior-samples", "0"], "must be >= 1, got 0"),
        ([*fit, "--num-steps", "10001"], "argument --num-steps: must be <= 10000"),
        ([*fit, "--num-steps", "2.5"], "'2.5' is not an integer"),
        ([*fit, "--w-loc", "nan"], "argument --w-loc: must be a finite number, got 'nan'"),
        ([*fit, "--b-scale", "1e999"], "must be a finite number, got '1e999'"),
        ([*fit, "--learning-rate", "fast"], "'fast' is not a number"),
        ([*fit, "--seed", "-1"], "argument --seed: must be >= 0"),
        ([*fit, "--seed", str(2**70)], "must be <= 4294967295"),
        (["demo", "--blocks", "99999999999"], "argument --blocks: must be <= 100"),
        (["compare", "--folds", "1"], "argument --folds: must be >= 2"),
        (["fit", tmp_path / "good.npz"], "the following arguments are required: --out"),
        (["info"], "the following arguments are required: MODEL"),
        ([*fit, "--bogus"], "unrecognized arguments: --bogus"),
    ]
    for argv, message in cases:
        code, out, err = run(capsys, *argv)
        assert code == 2 and out == "", (argv, err)
        one_error_line(err, argv[0])
        assert message in err, (message, err)
    assert not (tmp_path / "m2.npz").exists()
    # Values at the bounds are accepted.
    code, _, err = run(capsys, "predict", model, tmp_path / "good.npz", "--posterior-samples",
                       "100000")
    assert code == 0, err


def test_the_interpreter_prints_nothing_but_the_error_line(tmp_path):
    """Real processes: no RuntimeWarning from NumPy or JAX before the error line, and no
    blocking read of a FIFO given as a model."""
    import os
    import subprocess
    import sys

    import kovani_bci

    X, y = blobs(10, [0, 1])
    X[3, 1] = 1e308
    write_csv(tmp_path / "huge.csv", X, y)
    X[3, 1] = 1.0
    write_csv(tmp_path / "fine.csv", X, y)
    os.mkfifo(tmp_path / "fifo.npz")
    src = os.path.dirname(os.path.dirname(kovani_bci.__file__))
    env = {**os.environ, "PYTHONPATH": src, "PYTHONWARNINGS": "default"}
    out = str(tmp_path / "m.npz")
    for argv in (["fit", "huge.csv", "--out", out],
                 ["fit", "fine.csv", "--out", out, "--w-loc", "1e308", "--b-loc=-1e308"],
                 ["info", "fifo.npz"]):
        done = subprocess.run([sys.executable, "-m", "kovani_bci.cli", *argv], cwd=tmp_path,
                              env=env, capture_output=True, text=True, timeout=300)
        assert done.returncode == 1, done.stderr
        one_error_line(done.stderr, argv[0])
