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


FLAG = textwrap.dedent("""
    import sys, jax
    if sys.argv[1] == "started":
        jax.numpy.ones(2).sum()
    import kovani_bci.models.kovani_softmax
    print(jax.config.values["jax_cpu_enable_async_dispatch"])
""")


def test_cpu_calls_run_inline_unless_chosen_otherwise():
    env = {k: v for k, v in os.environ.items() if k != "KOVANI_BCI_ASYNC_DISPATCH"}

    def flag(case, **extra):
        out = subprocess.run([sys.executable, "-c", FLAG, case], env=dict(env, **extra),
                             check=True, capture_output=True, text=True).stdout
        return out.split()[-1]

    assert flag("fresh") == "False"
    assert flag("fresh", KOVANI_BCI_ASYNC_DISPATCH="0") == "False"
    # The environment's choice stands, and a backend already running keeps its dispatch.
    assert flag("fresh", KOVANI_BCI_ASYNC_DISPATCH="1") == "True"
    assert flag("started") == "True"
