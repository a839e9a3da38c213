"""Typed evaluation: the native evaluator that computes a kernel in its declared dtypes over
NumPy arrays and scalars."""
from __future__ import annotations

from collections.abc import Callable
from typing import Any

from tarvelon import _native


def evaluator(source: str, optimize: bool, name: str,
              raw: Callable[..., Any]) -> Callable[..., Any]:
    """The typed evaluator of a kernel, taking the arguments under the emitted function's
    parameter names and `out=` as a keyword. A kernel the evaluator refuses still gives a
    callable, which raises ValueError naming the operation and the dtype."""
    code = raw.__code__
    names = code.co_varnames[:code.co_argcount]
    try:
        return _native.Evaluator(source, optimize, name, names)
    except ImportError as error:
        reason = str(error)

        def needs_numpy(*_args: Any, **_kwargs: Any) -> Any:
            raise ImportError(f"{name}(): typed evaluation needs NumPy ({reason}); "
                              "`.python` computes the kernel without it")

        return needs_numpy
