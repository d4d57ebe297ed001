import os
import subprocess
import sys
import textwrap

SCRIPT = textwrap.dedent("""
    import time, numpy as np
    import kovani_bci
    from kovani_bci.models.kovani_softmax import learning
    X = np.random.default_rng(0).normal(size=(40, 3)); y = np.arange(40) % 3
    learning.kovani_softmax_fit(X, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 2)
""")


def test_environment_variable_fills_a_persistent_cache(tmp_path):
    env = dict(os.environ, KOVANI_BCI_COMPILATION_CACHE=str(tmp_path / "cache"))
    subprocess.run([sys.executable, "-c", SCRIPT], env=env, check=True)
    entries = list((tmp_path / "cache").iterdir())
    assert entries, "the fit's executable was not written to the cache folder"
    # A second process finds it and writes nothing new for the same shapes.
    subprocess.run([sys.executable, "-c", SCRIPT], env=env, check=True)
    assert sorted(p.name for p in (tmp_path / "cache").iterdir()) == sorted(p.name for p in entries)
