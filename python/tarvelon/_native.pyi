from collections.abc import Callable
from typing import Any, final

# (kind name, kind number, severity number, message, hint, (start, end), labels as
# (start, end, text)); spans are UTF-8 byte offsets into the source.
_RawDiagnostic = tuple[
    str, int, int, str, str | None, tuple[int, int] | None, tuple[tuple[int, int, str], ...]
]

class InternalFault(BaseException): ...

def analyze(
    source: str, /
) -> tuple[str, tuple[_RawDiagnostic, ...], tuple[tuple[str, str], ...], tuple[str, ...]]: ...

# What `analyze` returns, then the text made (None after an error), the error's message (None
# when the compilation succeeded) and the typed evaluator (None unless asked for and the
# compilation succeeded).
_Compilation = tuple[
    str,
    tuple[_RawDiagnostic, ...],
    tuple[tuple[str, str], ...],
    tuple[str, ...],
    str | None,
    str | None,
    Evaluator | None,
]

def compile(
    source: str, function_name: str = "_kernel", *, optimize: bool = False, evaluator: bool = False
) -> _Compilation: ...
def simplify(source: str, *, optimize: bool = False, exact: bool = False) -> _Compilation: ...

@final
class Evaluator:
    """A kernel compiled for typed evaluation over NumPy arrays; calling it evaluates it."""

    def __call__(self, *args: object, out: object = None, **kwargs: object) -> Any: ...
    @property
    def refusal(self) -> str | None: ...

def ufunc(source: str, function_name: str = "_kernel", *, optimize: bool = False) -> Any: ...
def routed_call(
    evaluator: Evaluator, deferred: Callable[[tuple[Any, ...], dict[str, Any] | None], Any], /
) -> RoutedCall: ...
@final
class RoutedCall:
    """A kernel's call: the typed evaluator, or the deferred path when an argument is a Dask
    collection."""

    def __call__(self, *args: object, **kwargs: object) -> Any: ...
