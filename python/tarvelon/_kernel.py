"""Kernels compiled to Python callables, and the simplified form of a kernel's result."""
from __future__ import annotations

import builtins
import collections
import functools
import inspect
import itertools
import keyword
import linecache
import math
import operator
import sys
import threading
import types
import unicodedata
import weakref
from collections.abc import Callable
from typing import Any, NamedTuple

from tarvelon import _native, _typed
from tarvelon._diagnostics import Diagnostic, diagnostics_from, kernel_error


class Param(NamedTuple):
    """A kernel parameter: its name in the kernel source and its dtype name."""

    name: str
    dtype: str


class Kernel:
    """A compiled kernel: calling it computes the kernel in its declared dtypes.

    A call evaluates typed: every value is computed in its own dtype (integers wrap, floats
    round to their format) over NumPy arrays or scalars, which broadcast together; the result
    is a NumPy array, a NumPy scalar for all-scalar arguments, a tuple for a tuple kernel, and
    `out=` takes arrays of exactly the result dtype and shape. Called with a Dask array, it
    returns a lazy Dask array that the kernel computes block by block.

    `ufunc` is the kernel as a NumPy ufunc, which computes the same values but takes NumPy's
    casting rules for its arguments and `out=` instead of the call's own.

    `python` is the emitted Python function behind a converting layer: integer and bool
    parameters through `operator.index`, float parameters as `float()` converts a number,
    complex ones as `complex()` does; text is refused for every kind. An argument that does not
    convert raises TypeError naming the parameter. `raw` is a copy of the emitted function,
    without that layer.

    A kernel is immutable and may be shared: compiling the same source, name and flag returns
    the same object, and a pickled kernel is compiled again (through that cache) on loading.
    """

    __slots__ = ("source", "python_source", "optimize", "params", "dtype", "python", "_key",
                 "_raw", "_call", "_ufunc", "__name__", "__qualname__", "__signature__",
                 "__weakref__")

    source: str
    python_source: str
    optimize: bool
    params: tuple[Param, ...]
    dtype: str | tuple[str, ...]
    python: Callable[..., Any]
    _key: tuple[str, str, bool]
    _raw: Callable[..., Any]
    _call: Callable[..., Any]
    _ufunc: Any
    __name__: str
    __qualname__: str
    __signature__: inspect.Signature

    def __init__(self, *, source: str, name: str, optimize: bool, python_source: str,
                 raw: Callable[..., Any], call: Callable[..., Any], params: tuple[Param, ...],
                 dtype: str | tuple[str, ...], typed: Callable[..., Any],
                 signature: inspect.Signature) -> None:
        fields = {
            "source": source, "python_source": python_source, "optimize": optimize,
            "params": params, "dtype": dtype, "_key": (source, name, optimize), "_raw": raw,
            "python": call, "_call": typed, "_ufunc": None, "__name__": raw.__name__,
            "__qualname__": raw.__name__, "__signature__": signature,
        }
        for field, value in fields.items():
            object.__setattr__(self, field, value)

    def __call__(self, /, *args: Any, **kwargs: Any) -> Any:
        # Compiled kernels are of a subclass whose __call__ is the typed evaluator itself.
        return self._call(*args, **kwargs)

    @property
    def ufunc(self) -> Any:
        """The kernel as a NumPy ufunc, made on first use; ValueError for a kernel without typed
        meaning, as a call gives."""
        made = self._ufunc
        if made is None:
            # Made outside the lock, as compiling may take long; the first one made is kept.
            made = _typed.ufunc(*self._key)
            with _cache_lock:
                if self._ufunc is None:
                    object.__setattr__(self, "_ufunc", made)
                made = self._ufunc
        return made

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"a Kernel is immutable: cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"a Kernel is immutable: cannot delete {name!r}")

    def __reduce__(self) -> tuple[Callable[..., Kernel], tuple[str, str, bool]]:
        return _unpickle, self._key

    @property
    def raw(self) -> Callable[..., Any]:
        """The emitted function. Each access gives a copy with namespace of its own, since a
        function's attributes can be changed and the kernel is shared by every caller."""
        function = self._raw
        copy = types.FunctionType(function.__code__, dict(function.__globals__),
                                  function.__name__, function.__defaults__, function.__closure__)
        copy.__qualname__ = function.__qualname__
        return copy

    def __repr__(self) -> str:
        return f"<tarvelon.Kernel {self._describe()}{' optimized' if self.optimize else ''}>"

    def _describe(self) -> str:
        return _call_form(self.__name__, self.__signature__, self.params, self.dtype)


def _call_form(name: str, signature: inspect.Signature, params: tuple[Param, ...],
               dtype: str | tuple[str, ...]) -> str:
    """The call form with dtypes, under the names the callable accepts: the kernel's own,
    except where a kernel name is no Python parameter name."""
    args = ", ".join(f"{n}: {p.dtype}" for n, p in zip(signature.parameters, params))
    result = dtype if isinstance(dtype, str) else f"({', '.join(dtype)})"
    return f"{name}({args}) -> {result}"


def compile(source: str, name: str = "_kernel", *, optimize: bool = False) -> Kernel:
    """Compiles a kernel to a callable. Compiling the same source, name and flag again returns
    the same kernel, also when several threads compile it at once. Raises KernelError for a
    kernel with errors, ValueError for a name that is not a Python identifier or is a
    keyword."""
    source, name = _text(source, "compile", "source"), check_name(name, "compile")
    return _compile_cached(source, name, _flag(optimize, "compile", "optimize"))


def _unpickle(source: str, name: str, optimize: bool) -> Kernel:
    return compile(source, name, optimize=optimize)


def simplify(source: str, *, optimize: bool = False, exact: bool = False) -> str:
    """The kernel's single result as simplified infix text. With exact=True the text reads back:
    the kernel's parameters with it as the result line compile to the same dtype and values.
    Raises KernelError for a kernel with errors or with a tuple result."""
    return simplify_reporting(source, optimize=optimize, exact=exact)[0]


def simplify_reporting(source: str, *, optimize: bool = False,
                       exact: bool = False) -> tuple[str, list[Diagnostic]]:
    """`simplify`, with every diagnostic of the kernel, from one compilation."""
    source = _text(source, "simplify", "source")
    optimize = _flag(optimize, "simplify", "optimize")
    exact = _flag(exact, "simplify", "exact")
    text, _params, _outputs, raw, _typed_call = _compiled(
        _native.simplify(source, optimize=optimize, exact=exact), source)
    return text, diagnostics_from(source, raw)


def emit(source: str, name: str = "_kernel", *, optimize: bool = False) -> str:
    """The emitted Python text of a kernel; KernelError for a kernel with errors."""
    return emit_reporting(source, name, optimize=optimize)[0]


def emit_reporting(source: str, name: str = "_kernel", *,
                   optimize: bool = False) -> tuple[str, list[Diagnostic]]:
    """`emit`, with every diagnostic of the kernel, from one compilation."""
    source, name = _text(source, "emit", "source"), check_name(name, "emit")
    optimize = _flag(optimize, "emit", "optimize")
    text, _params, _outputs, raw, _typed_call = _compiled(
        _native.compile(source, name, optimize=optimize), source)
    return text, diagnostics_from(source, raw)


def _compiled(result: _native._Compilation, source: str) -> tuple[
        str, tuple[tuple[str, str], ...], tuple[str, ...], tuple[_native._RawDiagnostic, ...],
        _native.Evaluator | None]:
    """The text, parameters, result dtypes, raw diagnostics and typed evaluator (when asked
    for) of a native compilation, or its KernelError."""
    _stage, raw, params, outputs, text, error, typed = result
    if error is not None or text is None:
        raise kernel_error(source, error or "", raw)
    return text, params, outputs, raw, typed


def check_name(name: object, function: str = "compile") -> str:
    """The name as a plain str. The emitted def line takes the name unchecked, so only an
    identifier may reach it."""
    name = _text(name, function, "name")
    if not name.isidentifier() or keyword.iskeyword(name):
        raise ValueError(f"kernel name {name!r} is not a Python identifier")
    return name


def _text(value: object, function: str, argument: str) -> str:
    """`value` as a plain str: a subclass's instance could carry state of its own into the
    shared kernel, or hash and compare unlike the text it holds."""
    if not isinstance(value, str):
        raise TypeError(f"{function}() argument '{argument}' must be str, not "
                        f"{type(value).__name__}")
    return value if type(value) is str else str.__str__(value)


def _flag(value: object, function: str, argument: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{function}() argument '{argument}' must be bool, not "
                        f"{type(value).__name__}")
    return value


# ---- the cache --------------------------------------------------------------------------------

_CACHE_SIZE = 256
_CacheKey = tuple[str, str, bool]
_cache: collections.OrderedDict[_CacheKey, Kernel] = collections.OrderedDict()
# Kernels being compiled, with the thread compiling each; guarded by _cache_lock like _cache.
_compiling: dict[_CacheKey, tuple[int, threading.Event]] = {}
_cache_lock = threading.Lock()


def _compile_cached(source: str, name: str, optimize: bool) -> Kernel:
    """The cached kernel, compiled on a miss by the first thread that asks; others asking for
    the same kernel meanwhile wait for it, and threads compiling other kernels go on. The lock
    is held only around the tables, never while compiling."""
    key = (source, name, optimize)
    me = threading.get_ident()
    while True:
        with _cache_lock:
            kernel = _cache.get(key)
            if kernel is not None:
                _cache.move_to_end(key)
                return kernel
            owner, done = _compiling.setdefault(key, (me, threading.Event()))
        if owner == me:
            break
        # A failed compile is not cached: the waiters then try it themselves and get its error.
        done.wait()
    try:
        kernel = _build(source, name, optimize)
        with _cache_lock:
            _cache[key] = kernel
            if len(_cache) > _CACHE_SIZE:
                _cache.popitem(last=False)
    finally:
        with _cache_lock:
            del _compiling[key]
        done.set()
    return kernel


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


def _as_float(value: Any) -> float:
    # float() as it converts a number; unlike float() it takes no text to parse.
    return math.ldexp(value, 0)


def _as_complex(value: Any) -> complex:
    if isinstance(value, str):
        raise TypeError(f"expected a number, not {type(value).__name__}")
    return complex(value)


# Per dtype kind: the conversion applied on the way in, and what the parameter needs, for the
# TypeError of an argument that does not convert.
_CONVERSIONS: dict[str, tuple[Callable[[Any], Any], str]] = {
    "bool": (_as_bool, "a bool or an integer"),
    "int": (operator.index, "an integer"),
    "float": (_as_float, "a real number"),
    "complex": (_as_complex, "a number"),
}


# The conversion kind of each dtype.
_KINDS = {
    "bool": "bool",
    **dict.fromkeys(["u8", "u16", "u32", "u64", "i8", "i16", "i32", "i64"], "int"),
    **dict.fromkeys(["f16", "bf16", "f32", "f64"], "float"),
    **dict.fromkeys(["c64", "c128"], "complex"),
}


def _build(source: str, name: str, optimize: bool) -> Kernel:
    """Compiles a kernel: the one place a Kernel is made."""
    # One compilation gives both the Python text and the typed evaluator's program.
    text, params, outputs, _raw, evaluator = _compiled(
        _native.compile(source, name, optimize=optimize, evaluator=True), source)
    assert evaluator is not None
    number = next(_file_numbers)
    namespace: dict[str, Any] = {"__name__": "tarvelon.kernels"}
    raw = _define(text, name, f"<tarvelon kernel {name} #{number}>", namespace)
    # A kernel named like something its body uses ("math", "float") has hidden it only while
    # its def was in the namespace.
    namespace["math"] = math
    kernel_params = tuple(Param(*p) for p in params)
    call = _converting_call(raw, name, kernel_params, f"<tarvelon kernel {name} #{number} call>")
    dtype: str | tuple[str, ...] = outputs[0] if len(outputs) == 1 else tuple(outputs)
    typed = _typed.evaluator(evaluator, name, functools.partial(_on_dask, (source, name, optimize)))
    # A class of its own per kernel lets a call go straight to the typed evaluator, without a
    # frame of Kernel.__call__ in between; it also carries the kernel's docstring.
    signature = inspect.signature(call)
    doc = (f"{_call_form(raw.__name__, signature, kernel_params, dtype)}\n\n"
           "Compiled tarvelon kernel; `.source` holds its text and `.python_source` the emitted "
           "Python.")
    kernel_class = type("Kernel", (Kernel,),
                        {"__slots__": (), "__call__": staticmethod(typed), "__doc__": doc})
    kernel: Kernel = kernel_class(source=source, name=name, optimize=optimize, python_source=text,
                                  raw=raw, call=call, params=kernel_params, dtype=dtype,
                                  typed=typed, signature=signature)
    return kernel


def _on_dask(key: _CacheKey, args: tuple[Any, ...], kwargs: dict[str, Any] | None) -> Any:
    # Looked up by key, not held: the kernel's class holding its own kernel would be a cycle.
    return _typed.on_dask(_compile_cached(*key), args, kwargs)


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
            except TypeError:
                raise TypeError(f"{name}() argument '{arg}' ({param.dtype}) must be {needs}, "
                                f"not {type(value).__name__}") from None
            except (ValueError, OverflowError) as error:
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
