# (kind name, kind number, severity number, message, hint, (start, end), labels as
# (start, end, text)); spans are UTF-8 byte offsets into the source.
_RawDiagnostic = tuple[
    str, int, int, str, str | None, tuple[int, int] | None, tuple[tuple[int, int, str], ...]
]

class InternalFault(BaseException): ...

def analyze(
    source: str, /
) -> tuple[str, tuple[_RawDiagnostic, ...], tuple[tuple[str, str], ...], tuple[str, ...]]: ...

def simplify_exact(source: str, optimize: bool, /) -> str: ...
