"""Typed evaluation: the native evaluator that computes a kernel in its declared dtypes over
NumPy arrays and scalars."""
from __future__ import annotations

from collections.abc import Callable
from typing import Any

from tarvelon import _native


def evaluator(compiled: _native.Evaluator, name: str) -> Callable[..., Any]:
    """The call of a kernel's typed evaluator, as the compilation made it: it takes the
    arguments under the emitted function's parameter names and `out=` as a keyword, and raises
    ValueError naming the operation and the dtype for a kernel without typed meaning. Without
    NumPy, a callable that says so."""
    try:
        import numpy  # noqa: F401  (the evaluator imports it on its first call)
    except ImportError as error:
        reason = str(error)

        def needs_numpy(*_args: Any, **_kwargs: Any) -> Any:
            raise ImportError(f"{name}(): typed evaluation needs NumPy ({reason}); "
                              "`.python` computes the kernel without it")

        return needs_numpy
    return compiled
