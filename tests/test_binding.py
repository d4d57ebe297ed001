"""Argument conventions of the published functions, and what they carry for Python tools."""

import inspect
import pickle
import pydoc
import weakref

import jax
import numpy as np
import pytest

from kovani_bci.models.kovani_softmax import learning

fit = learning.kovani_softmax_fit
X = np.zeros((4, 2))
Y = np.array([0, 1, 0, 1])
GOOD = dict(X=X, y=Y, n_classes=2, label_base=0, w_loc=0.0, w_scale=1.0, b_loc=0.0, b_scale=1.0,
            rng_seed=0, learning_rate=1.0, num_steps=1)


def call(*args, **kwargs):
    with pytest.raises(TypeError) as info:
        fit(*args, **kwargs)
    return str(info.value)


def test_argument_count_and_keyword_messages():
    positional = list(GOOD.values())
    assert call() == "kovani_softmax_fit() takes exactly 11 positional arguments (0 given)"
    assert call(*positional[:3]) == "kovani_softmax_fit() takes exactly 11 positional arguments (3 given)"
    assert call(*positional, 1) == "kovani_softmax_fit() takes exactly 11 positional arguments (12 given)"
    # With keywords, a missing parameter is reported by the count supplied before it.
    kw = dict(GOOD)
    del kw["b_loc"]
    assert call(**kw) == "kovani_softmax_fit() takes exactly 11 positional arguments (6 given)"
    assert call(*positional[:2], **{k: GOOD[k] for k in list(GOOD)[2:9]}) == \
        "kovani_softmax_fit() takes exactly 11 positional arguments (9 given)"
    assert call(**GOOD, bogus=1) == "kovani_softmax_fit() got an unexpected keyword argument 'bogus'"
    assert call(*positional[:3], **{**{k: GOOD[k] for k in list(GOOD)[3:]}, "X": X}) == \
        "kovani_softmax_fit() got multiple values for keyword argument 'X'"
    one = learning._pg_expected_omega
    with pytest.raises(TypeError, match=r"^_pg_expected_omega\(\) takes exactly 1 positional argument \(2 given\)$"):
        one(1.0, 2.0)


def test_non_string_keywords_are_refused():
    # The interpreter rejects non-string keys before the call for ordinary call syntax.
    with pytest.raises(TypeError, match="keywords must be strings"):
        fit(**{1: 2})


def test_int_and_float_conversion_in_parameter_order():
    base = dict(GOOD)
    assert int(fit(**{**base, "n_classes": 2.9}).params["n_classes"]) == 2  # truncated
    assert int(fit(**{**base, "num_steps": np.int32(2)}).params["num_steps"]) == 2
    assert int(fit(**{**base, "rng_seed": np.array(5)}).params["rng_seed"]) == 5
    assert float(fit(**{**base, "w_loc": np.float32(0.5)}).params["w_loc"]) == 0.5
    assert call(**{**base, "n_classes": "3"}) == \
        "Argument 'n_classes' has incorrect type (expected int, got str)"
    assert call(**{**base, "num_steps": None}) == \
        "Argument 'num_steps' has incorrect type (expected int, got NoneType)"
    assert call(**{**base, "rng_seed": 1j}) == \
        "Argument 'rng_seed' has incorrect type (expected int, got complex)"
    # The interpreter's own float conversion error.
    with pytest.raises(TypeError, match="must be real number, not str"):
        fit(**{**base, "w_scale": "1"})
    # Conversions run in parameter order, all before any check of the body.
    assert call(**{**base, "X": np.zeros(3), "n_classes": "x", "rng_seed": "y"}).startswith("Argument 'n_classes'")
    assert call(**{**base, "n_classes": 1, "w_scale": -1.0, "rng_seed": "y"}).startswith("Argument 'rng_seed'")


def test_function_metadata_for_tools():
    f = learning._pg_binary_update
    assert f.__name__ == f.__qualname__ == "_pg_binary_update"
    assert f.__module__ == "kovani_bci.models.kovani_softmax.learning"
    assert all(isinstance(v, str) for v in f.__annotations__.values())
    assert fit.__annotations__ == {
        "X": "np.ndarray", "y": "np.ndarray", "n_classes": "int", "label_base": "Literal[0, 1]",
        "w_loc": "float", "w_scale": "float", "b_loc": "float", "b_scale": "float",
        "rng_seed": "int", "learning_rate": "float", "num_steps": "int", "return": "KovaniModel"}
    sig = inspect.signature(fit)
    assert list(sig.parameters) == list(GOOD)
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in sig.parameters.values())
    assert sig.return_annotation == "KovaniModel"
    text = pydoc.render_doc(fit, renderer=pydoc.plaintext)
    # The rendered signature (3.13 splits long ones over lines), then the doc string.
    assert text.split("\n")[2].startswith("kovani_softmax_fit(") and "num_steps: 'int'" in text
    assert "Fit Bayesian multinomial softmax regression using Polya-Gamma VI." in text
    assert pickle.loads(pickle.dumps(fit)) is fit
    ref = weakref.ref(fit)
    assert ref() is fit
    with pytest.raises(TypeError):
        type(fit)()


def test_module_loads_its_collaborators_then_functions_in_order():
    names = [k for k in vars(learning) if not k.startswith("__")]
    assert names == ["Literal", "jax", "jnp", "np", "KovaniModel", "_jax_dtype_from_numpy",
                     "_pg_expected_omega", "_pg_binary_update", "_build_logits",
                     "kovani_softmax_fit", "kovani_softmax_update", "kovani_softmax_evidence",
                     "_race_update"]
    from kovani_bci.kovani_io import KovaniModel
    assert learning.KovaniModel is KovaniModel
    assert learning.jnp is jax.numpy
