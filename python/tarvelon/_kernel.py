"""Kernels compiled to Python callables, and the simplified form of a kernel's result."""
from __future__ import annotations

import builtins
import functools
import inspect
import itertools
import keyword
import linecache
import math
import operator
import sys
import unicodedata
import weakref
from collections.abc import Callable
from typing import Any, NamedTuple

from tarvelon import _native, _tarvelon, _typed
from tarvelon._diagnostics import kernel_error


class Param(NamedTuple):
    """A kernel parameter: its name in the kernel source and its dtype name."""

    name: str
    dtype: str


class Kernel:
    """A compiled kernel: calling it computes the kernel in its declared dtypes.

    A call evaluates typed: every value is computed in its own dtype (integers wrap, floats
    round to their format) over NumPy arrays or scalars, which broadcast together; the result
    is a NumPy array, a NumPy scalar for all-scalar arguments, a tuple for a tuple kernel, and
    `out=` takes arrays of exactly the result dtype and shape.

    `python` is the emitted Python function behind a converting layer: integer and bool
    parameters through `operator.index`, float parameters through `float()`, complex ones
    through `complex()`; an argument that does not convert raises TypeError naming the
    parameter. `raw` is the emitted function itself, without that layer.
    """

    __name__: str
    __qualname__: str
    __signature__: inspect.Signature

    def __init__(self, *, source: str, optimize: bool, python_source: str,
                 raw: Callable[..., Any], call: Callable[..., Any], params: tuple[Param, ...],
                 dtype: str | tuple[str, ...], typed: Callable[..., Any]) -> None:
        self.source = source
        self.python_source = python_source
        self.optimize = optimize
        self.raw = raw
        self.python = call
        self.params = params
        self.dtype = dtype
        self._call = typed
        self.__name__ = self.__qualname__ = raw.__name__
        self.__signature__ = inspect.signature(call)
        self.__doc__ = (f"{self._describe()}\n\nCompiled tarvelon kernel; `.source` holds its "
                        "text and `.python_source` the emitted Python.")

    def __call__(self, /, *args: Any, **kwargs: Any) -> Any:
        # Compiled kernels are of a subclass whose __call__ is the typed evaluator itself.
        return self._call(*args, **kwargs)

    def __repr__(self) -> str:
        return f"<tarvelon.Kernel {self._describe()}{' optimized' if self.optimize else ''}>"

    def _describe(self) -> str:
        """The call form with dtypes, under the names the callable accepts: the kernel's own,
        except where a kernel name is no Python parameter name."""
        names = self.__signature__.parameters
        args = ", ".join(f"{n}: {p.dtype}" for n, p in zip(names, self.params))
        result = self.dtype if isinstance(self.dtype, str) else f"({', '.join(self.dtype)})"
        return f"{self.__name__}({args}) -> {result}"


def compile(source: str, name: str = "_kernel", *, optimize: bool = False) -> Kernel:
    """Compiles a kernel to a callable. Compiling the same source, name and flag again returns
    the same kernel. Raises KernelError for a kernel with errors, ValueError for a name that is
    not a Python identifier or is a keyword."""
    check_name(name)
    if not isinstance(source, str):
        raise TypeError(f"compile() argument 'source' must be str, not {type(source).__name__}")
    return _compile_cached(source, name, optimize)


def simplify(source: str, *, optimize: bool = False) -> str:
    """The kernel's single result as simplified infix text. Raises KernelError for a kernel with
    errors or with a tuple result."""
    try:
        text: str = _tarvelon.simplify_expr(source, optimize=optimize)
    except UnicodeError:
        raise
    except ValueError as error:
        raise kernel_error(source, error) from None
    return text


def emit(source: str, name: str = "_kernel", *, optimize: bool = False) -> str:
    """The emitted Python text of a kernel; KernelError for a kernel with errors."""
    check_name(name)
    try:
        return _tarvelon.emit_python(source, name, optimize=optimize)
    except UnicodeError:
        raise
    except ValueError as error:
        raise kernel_error(source, error) from None


def check_name(name: object) -> None:
    """The emitted def line takes the name unchecked, so only an identifier may reach it."""
    if not isinstance(name, str):
        raise TypeError(f"kernel name must be str, not {type(name).__name__}")
    if not name.isidentifier() or keyword.iskeyword(name):
        raise ValueError(f"kernel name {name!r} is not a Python identifier")


# ---- building the callable --------------------------------------------------------------------

_file_numbers = itertools.count(1)


def _as_bool(value: Any) -> bool:
    if value is True or value is False:
        return bool(value)
    # NumPy's boolean scalar is a truth value but no longer an index.
    numpy = sys.modules.get("numpy")
    if numpy is not None and type(value) is numpy.bool_:
        return bool(value)
    return operator.index(value) != 0


# Per dtype kind: the conversion applied on the way in, and what the parameter needs, for the
# TypeError of an argument that does not convert.
_CONVERSIONS: dict[str, tuple[Callable[[Any], Any], str]] = {
    "bool": (_as_bool, "a bool or an integer"),
    "int": (operator.index, "an integer"),
    "float": (float, "a real number"),
    "complex": (complex, "a number"),
}


# The conversion kind of each dtype.
_KINDS = {
    "bool": "bool",
    **dict.fromkeys(["u8", "u16", "u32", "u64", "i8", "i16", "i32", "i64"], "int"),
    **dict.fromkeys(["f16", "bf16", "f32", "f64"], "float"),
    **dict.fromkeys(["c64", "c128"], "complex"),
}


@functools.lru_cache(maxsize=256, typed=True)
def _compile_cached(source: str, name: str, optimize: bool) -> Kernel:
    text = emit(source, name, optimize=optimize)
    _stage, _diagnostics, params, outputs = _native.analyze(source)
    number = next(_file_numbers)
    namespace: dict[str, Any] = {"__name__": "tarvelon.kernels"}
    raw = _define(text, name, f"<tarvelon kernel {name} #{number}>", namespace)
    # A kernel named like something its body uses ("math", "float") has hidden it only while
    # its def was in the namespace.
    namespace["math"] = math
    kernel_params = tuple(Param(*p) for p in params)
    call = _converting_call(raw, name, kernel_params, f"<tarvelon kernel {name} #{number} call>")
    typed = _typed.evaluator(source, optimize, name, raw)
    # A class of its own per kernel lets a call go straight to the typed evaluator, without a
    # frame of Kernel.__call__ in between.
    kernel_class = type("Kernel", (Kernel,), {"__call__": staticmethod(typed)})
    kernel: Kernel = kernel_class(source=source, optimize=optimize, python_source=text, raw=raw,
                                  call=call, params=kernel_params,
                                  dtype=outputs[0] if len(outputs) == 1 else tuple(outputs),
                                  typed=typed)
    return kernel


def _define(text: str, name: str, filename: str, namespace: dict[str, Any]) -> Callable[..., Any]:
    """Runs a generated def in `namespace` and returns the function, taking its name out of the
    namespace again. The text is kept in linecache under `filename`, so tracebacks show the
    generated lines, for as long as the function lives."""
    exec(builtins.compile(text, filename, "exec"), namespace)
    # Python reads identifiers in NFKC form, so the def bound the normalized name.
    function: Callable[..., Any] = namespace.pop(unicodedata.normalize("NFKC", name))
    linecache.cache[filename] = (len(text), None, text.splitlines(True), filename)
    weakref.finalize(function, _forget_text, filename)
    return function


def _forget_text(filename: str) -> None:
    linecache.cache.pop(filename, None)


def _converting_call(raw: Callable[..., Any], name: str, params: tuple[Param, ...],
                     filename: str) -> Callable[..., Any]:
    """A function with the emitted function's parameters that converts each argument and calls
    it. The happy path is one generated call; only a failure looks for the argument at fault."""
    code = raw.__code__
    names = code.co_varnames[:code.co_argcount]
    taken = {*names, unicodedata.normalize("NFKC", name)}

    def fresh(base: str) -> str:
        while base in taken:
            base += "_"
        taken.add(base)
        return base

    helpers: dict[str, Any] = {"__name__": "tarvelon.kernels"}
    raw_name = fresh("_raw")
    helpers[raw_name] = raw
    explain = fresh("_explain")
    conversions: dict[str, str] = {}
    for kind in sorted({_KINDS[param.dtype] for param in params}):
        conversions[kind] = fresh(f"_to_{kind}")
        helpers[conversions[kind]] = _CONVERSIONS[kind][0]
    converted = [f"{conversions[_KINDS[p.dtype]]}({arg})" for arg, p in zip(names, params)]

    def explain_failure(*args: Any) -> None:
        """Raises TypeError for the first argument that does not convert; returns when all do
        (the failure then came from inside the kernel)."""
        for arg, value, param in zip(names, args, params):
            convert, needs = _CONVERSIONS[_KINDS[param.dtype]]
            try:
                convert(value)
            except (TypeError, ValueError, OverflowError) as error:
                raise TypeError(f"{name}() argument '{arg}' ({param.dtype}) must be {needs}: "
                                f"{error}") from None

    helpers[explain] = explain_failure
    # Held under a fresh name too: a parameter may be called TypeError.
    failures = fresh("_failures")
    helpers[failures] = (TypeError, ValueError, OverflowError)
    arglist = ", ".join(names)
    text = (f"def {name}({arglist}):\n"
            f"    try:\n"
            f"        return {raw_name}({', '.join(converted)})\n"
            f"    except {failures}:\n"
            f"        {explain}({arglist})\n"
            f"        raise\n")
    return _define(text, name, filename, helpers)
