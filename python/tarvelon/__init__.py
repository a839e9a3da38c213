"""Compile tarvelon kernels to Python callables, with diagnostics that point into the source.

    >>> import tarvelon
    >>> scale = tarvelon.compile("|x: f64, n: i32|\\ny = x * 2.0\\ny + n@f64", "scale")
    >>> scale(1.5, 2)
    5.0
"""
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
for _public in (Diagnostic, Kernel, KernelError, Label, Param, Severity, Span):
    _public.__module__ = __name__
del _public
