"""Hostile model files: every one ends in a clear error, within bounded memory and time.

The corpus (tests/hostile_files.py) is generated here, not committed. The loads run in a
child process under an address-space limit, since a file that could exhaust memory would
take the test run down with it; the child imports only NumPy and the file-format module.
"""

import builtins
import json
import os
import re
import stat
import subprocess
import sys

import numpy as np
import pytest

import kovani_bci
from hostile_files import PARAMS, TAMPERED, TAMPERED_PRIORS, build_corpus
from kovani_bci.kovani_io import KovaniModel

# Far below what the worst files would cost unchecked (1 GiB bombs, 2**62 classes), far
# above what the interpreter and NumPy need.
MEMORY_LIMIT = 640 << 20

CHILD = r"""
import json, resource, sys
limit = int(sys.argv[1])
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
from kovani_bci.kovani_io import Archive, KovaniModel, read_archive

def features(path):
    with Archive(path, allow_compressed=True) as archive:
        return {key: archive.read(key) for key in archive.names}

readers = {"model": KovaniModel.load, "archive": read_archive, "features": features}
for line in sys.stdin:
    reader, path = json.loads(line)
    try:
        readers[reader](path)
        outcome = ["", ""]
    except BaseException as exc:
        outcome = [type(exc).__name__, str(exc)]
    print(json.dumps(outcome), flush=True)
"""


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    return build_corpus(tmp_path_factory.mktemp("hostile"))


def test_every_hostile_file_ends_in_a_clear_error_under_a_memory_limit(corpus):
    src = os.path.dirname(os.path.dirname(kovani_bci.__file__))
    env = {**os.environ, "PYTHONPATH": src, "OPENBLAS_NUM_THREADS": "1"}
    feed = "".join(json.dumps([case.reader, case.path]) + "\n" for case in corpus)
    try:
        done = subprocess.run([sys.executable, "-c", CHILD, str(MEMORY_LIMIT)], input=feed,
                              capture_output=True, text=True, env=env, timeout=300)
    except subprocess.TimeoutExpired as exc:
        finished = (exc.stdout or b"").count(b"\n")
        pytest.fail(f"loading {corpus[finished].name!r} did not finish")
    assert done.returncode == 0, done.stderr
    outcomes = [json.loads(line) for line in done.stdout.splitlines()]
    assert len(outcomes) == len(corpus)
    for case, (error, message) in zip(corpus, outcomes):
        assert error == case.error, (case.name, error, message)
        assert re.search(case.match, message), (case.name, message)
        if error and case.path:
            assert case.path in message, (case.name, message)
        assert ".tmp" not in message


def test_the_classifier_and_the_command_line_refuse_the_corpus(corpus, capsys):
    from kovani_bci.cli import main
    from kovani_bci.estimator import KovaniSoftmaxClassifier

    for case in corpus:
        if case.reader != "model":
            continue
        if case.error:
            with pytest.raises(getattr(builtins, case.error), match=re.escape(case.path) or None) as info:
                KovaniSoftmaxClassifier.load(case.path)
            assert type(info.value).__name__ == case.error, case.name
        else:
            KovaniSoftmaxClassifier.load(case.path)
        code = main(["info", case.path])
        err = capsys.readouterr().err
        assert code == (1 if case.error else 0), (case.name, err)
        if case.error:
            assert err.count("\n") == 1 and err.startswith("kovani-bci info: error: "), err
    assert stat.S_ISFIFO(os.stat([c.path for c in corpus if c.name == "fifo"][0]).st_mode)


@pytest.mark.parametrize("name, entries, match", TAMPERED, ids=[t[0] for t in TAMPERED])
def test_save_refuses_what_load_refuses(tmp_path, name, entries, match):
    params = {k: v for k, v in entries.items() if k not in ("format_version", "model_type")}
    params["backend"] = np.array(str(params["backend"]), dtype=object)
    path = tmp_path / "m.npz"
    with pytest.raises(ValueError, match=match):
        KovaniModel(model_type="kovani_softmax", params=params).save(path)
    assert os.listdir(tmp_path) == []


def test_fit_refuses_tampered_priors_before_building_anything():
    """A prior's record claiming 10**8 classes over arrays of 3 once built label arrays of
    the claimed size (minutes, gigabytes) before any check; a missing entry was a bare
    KeyError. The record rule comes first now."""
    from kovani_bci.estimator import KovaniSoftmaxClassifier

    rng = np.random.default_rng(0)
    X, y = rng.normal(size=(6, 4)), np.array([0, 1, 2, 0, 1, 2])
    for name, params, match in TAMPERED_PRIORS:
        prior = KovaniModel(model_type="kovani_softmax", params=params)
        with pytest.raises(ValueError, match="^prior: invalid model record: .*" + match):
            KovaniSoftmaxClassifier(num_steps=1).fit(X, y, prior=prior)
    # Entries held in other types that convert are read converted, as by every function.
    converted = {**PARAMS, "n_classes": np.array(3, np.int32),
                 "class_counts": PARAMS["class_counts"].astype(np.int32)}
    clf = KovaniSoftmaxClassifier(num_steps=1).fit(
        X, y, prior=KovaniModel(model_type="kovani_softmax", params=converted))
    assert clf.classes_.tolist() == [0, 1, 2]
