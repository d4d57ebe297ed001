"""The model container shared by the training and prediction modules."""

from __future__ import annotations

from typing import Any


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
