"""Typed evaluation: the native evaluator that computes a kernel in its declared dtypes over
NumPy arrays and scalars, the kernel as a NumPy ufunc, and a kernel over Dask arrays, block by
block. NumPy is imported by the first typed use, Dask only when an argument is a Dask array."""
from __future__ import annotations

import importlib
import importlib.util
import inspect
import sys
from collections.abc import Callable, Sequence
from typing import Any, Protocol

from tarvelon import _native

# NumPy's dtype that stores each kernel dtype at the evaluator's boundary.
STORAGE = {
    "bool": "bool", "u8": "uint8", "u16": "uint16", "u32": "uint32", "u64": "uint64",
    "i8": "int8", "i16": "int16", "i32": "int32", "i64": "int64", "f16": "float16",
    "bf16": "float32", "f32": "float32", "f64": "float64", "c64": "complex64",
    "c128": "complex128",
}


# Set once NumPy has been found: it stays importable for the life of the process.
_numpy_found = False


def numpy_missing() -> bool:
    """Whether NumPy cannot be imported. Looks for it without importing it, so that compiling a
    kernel for its Python text never loads NumPy. Looking walks sys.path, a few hundred
    microseconds that every compile would pay: NumPy loaded or found once is not looked for
    again, while a missing one is, in case it turns up on the path."""
    global _numpy_found
    if _numpy_found or sys.modules.get("numpy") is not None:
        return False
    try:
        _numpy_found = importlib.util.find_spec("numpy") is not None
    except (ImportError, ValueError):
        return True
    return not _numpy_found


def needs_numpy(name: str) -> ImportError:
    return ImportError(f"{name}(): typed evaluation needs NumPy, which cannot be imported; "
                       "`.python` computes the kernel without it", name="numpy")


# Takes a call with a Dask array: its positional arguments and its keywords (None for none).
Deferred = Callable[[tuple[Any, ...], dict[str, Any] | None], Any]


def evaluator(compiled: _native.Evaluator, name: str, deferred: Deferred) -> Callable[..., Any]:
    """The call of a kernel's typed evaluator, as the compilation made it: it takes the
    arguments under the emitted function's parameter names and `out=` as a keyword, and raises
    ValueError naming the operation and the dtype for a kernel without typed meaning. A call
    with a Dask array goes to `deferred(args, kwargs)` instead. Without NumPy, a callable that
    says so."""
    if numpy_missing():
        def without_numpy(*_args: Any, **_kwargs: Any) -> Any:
            raise needs_numpy(name)

        return without_numpy
    return _native.routed_call(compiled, deferred)


def ufunc(source: str, name: str, optimize: bool) -> Any:
    """The kernel as a new NumPy ufunc named `name`."""
    if numpy_missing():
        raise needs_numpy(name)
    return _native.ufunc(source, name, optimize=optimize)


class Kernel(Protocol):
    """What the Dask path reads of a compiled kernel. The kernel's own module builds on this one,
    so this one names only the shape it needs."""

    @property
    def _key(self) -> tuple[str, str, bool]: ...
    @property
    def params(self) -> Sequence[Any]: ...
    @property
    def dtype(self) -> str | tuple[str, ...]: ...
    @property
    def __signature__(self) -> inspect.Signature: ...
    def __call__(self, /, *args: Any, **kwargs: Any) -> Any: ...


def _with(values: Sequence[Any], slots: Sequence[int], arrays: Sequence[Any]) -> list[Any]:
    """`values` with `arrays` in place at `slots`."""
    values = list(values)
    for slot, array in zip(slots, arrays):
        values[slot] = array
    return values


class Blocks:
    """The kernel over one block of each array argument, its other arguments fixed. Pickles by
    value with the kernel, which compiles again where it is loaded."""

    __slots__ = ("kernel", "values", "slots")

    def __init__(self, kernel: Kernel, values: tuple[Any, ...], slots: tuple[int, ...]) -> None:
        self.kernel, self.values, self.slots = kernel, values, slots

    def __call__(self, *blocks: Any) -> Any:
        import numpy

        result = self.kernel(*_with(self.values, self.slots, blocks))
        # Blocks of zero dimensions give NumPy scalars, where Dask keeps arrays.
        if isinstance(result, tuple):
            return tuple(numpy.asarray(r) for r in result)
        return numpy.asarray(result)


def on_dask(kernel: Kernel, args: tuple[Any, ...], kwargs: dict[str, Any] | None) -> Any:
    """`kernel(*args, **kwargs)` where an argument is a Dask array: a lazy Dask array (a tuple of
    them for a tuple kernel) that the kernel computes block by block. Dask and NumPy arrays
    broadcast together; numbers and NumPy scalars go to every block as they are, so they keep
    the call's by-value rules; lists become NumPy arrays."""
    # Dask ships no type information.
    dask: Any = importlib.import_module("dask")
    da: Any = importlib.import_module("dask.array")
    import numpy

    name = kernel._key[1]
    kwargs = dict(kwargs or {})
    if kwargs.pop("out", None) is not None:
        raise TypeError(f"{name}(): out= cannot take the result when an argument is a Dask "
                        "array; the result is a new Dask array")
    names = list(kernel.__signature__.parameters)
    if len(args) > len(names):
        raise TypeError(f"{name}() takes {len(names)} positional argument"
                        f"{'' if len(names) == 1 else 's'} but {len(args)} were given")
    bound = dict(zip(names, args))
    for key, value in kwargs.items():
        if key not in names:
            raise TypeError(f"{name}() got an unexpected keyword argument '{key}'")
        if key in bound:
            raise TypeError(f"{name}() got multiple values for argument '{key}'")
        bound[key] = value
    values: list[Any] = []
    arrays: list[Any] = []
    slots: list[int] = []
    for slot, (arg, param) in enumerate(zip(names, kernel.params)):
        if arg not in bound:
            raise TypeError(f"{name}() missing required argument '{arg}'")
        value = bound[arg]
        if isinstance(value, (list, tuple)):
            value = numpy.asarray(value)
        if isinstance(value, da.Array) or (isinstance(value, numpy.ndarray) and value.ndim > 0):
            arrays.append(value)
            slots.append(slot)
            value = None
        elif dask.is_dask_collection(value):
            raise TypeError(f"{name}() argument '{arg}' ({param.dtype}) must be a number or an "
                            f"array, not {type(value).__name__}")
        values.append(value)
    # The arguments' dtypes and the numbers' values meet the call's rules now, over no elements,
    # rather than as an error from inside the first block computed.
    kernel(*_with(values, slots, [numpy.empty(0, array.dtype) for array in arrays]))
    outputs = (kernel.dtype,) if isinstance(kernel.dtype, str) else kernel.dtype
    dtypes = [numpy.dtype(STORAGE[d]) for d in outputs]
    signature = ",".join(["()"] * len(arrays)) + "->" + ",".join(["()"] * len(outputs))
    # One shape and one chunking for all, as the blocks of every array must line up.
    arrays = list(da.broadcast_arrays(*arrays))
    return da.apply_gufunc(Blocks(kernel, tuple(values), tuple(slots)), signature, *arrays,
                           output_dtypes=dtypes if len(outputs) > 1 else dtypes[0])
