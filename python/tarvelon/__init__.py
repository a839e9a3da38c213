"""Compile tarvelon kernels to Python callables, with diagnostics that point into the source.

    >>> import tarvelon
    >>> scale = tarvelon.compile("|x: f64, n: i32|\\ny = x * 2.0\\ny + n@f64", "scale")
    >>> scale(1.5, 2)
    5.0
"""
import importlib
import importlib.machinery
import importlib.util
import sys
from types import ModuleType


def _load_native_modules() -> None:
    """Makes `tarvelon._native` and `tarvelon._tarvelon` importable. Both live in the one library
    of the top-level `_tarvelon` module, so the compiler is loaded once: `_native` is that same
    file loaded again under the package's name, which runs its own init function."""
    top: ModuleType = importlib.import_module("_tarvelon")
    name = f"{__name__}._native"
    loader = importlib.machinery.ExtensionFileLoader(name, top.__file__ or "")
    spec = importlib.util.spec_from_file_location(name, top.__file__, loader=loader)
    if spec is None:
        raise ImportError(f"cannot load {name} from {top.__file__}", name=name)
    native = importlib.util.module_from_spec(spec)
    loader.exec_module(native)
    for alias, module in ((f"{__name__}._tarvelon", top), (name, native)):
        sys.modules[alias] = module
        setattr(sys.modules[__name__], alias.rpartition(".")[2], module)


_load_native_modules()

from tarvelon._diagnostics import Diagnostic, KernelError, Label, Severity, Span, check
from tarvelon._kernel import Kernel, Param, compile, simplify
from tarvelon._tarvelon import __version__

__all__ = [
    "Diagnostic",
    "Kernel",
    "KernelError",
    "Label",
    "Param",
    "Severity",
    "Span",
    "__version__",
    "check",
    "compile",
    "simplify",
]

# Tracebacks and reprs name the public classes where users find them.
del importlib, sys, ModuleType, _load_native_modules

for _public in (Diagnostic, Kernel, KernelError, Label, Param, Severity, Span):
    _public.__module__ = __name__
del _public
