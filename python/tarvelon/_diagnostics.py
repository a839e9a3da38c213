"""Diagnostics as records that point into the kernel source, and their compiler-style report."""
from __future__ import annotations

import dataclasses
import enum
import unicodedata
from collections.abc import Iterable, Sequence
from typing import NamedTuple

from tarvelon import _native


class Severity(enum.IntEnum):
    """How serious a diagnostic is under the default policy; ERROR and FATAL stop a kernel."""

    ALLOW = 0
    NOTE = 1
    WARNING = 2
    ERROR = 3
    FATAL = 4


class Span(NamedTuple):
    """A half-open range [start, end) of UTF-8 byte offsets into the source as given."""

    start: int
    end: int


@dataclasses.dataclass(frozen=True, slots=True)
class Label:
    """A secondary annotation of a diagnostic. Lines and columns count from 1; a column
    counts characters, and the end position is just past the labelled text."""

    span: Span
    text: str
    line: int
    column: int
    end_line: int
    end_column: int


@dataclasses.dataclass(frozen=True, slots=True)
class Diagnostic:
    """One problem found in a kernel. `kind` is the catalogue name (e.g. "UndefinedVariable"),
    `code` its number in the catalogue. Diagnostics that refer to no source position have no
    span and no line or column."""

    kind: str
    code: int
    severity: Severity
    message: str
    hint: str | None
    span: Span | None
    labels: tuple[Label, ...]
    line: int | None
    column: int | None
    end_line: int | None
    end_column: int | None

    def render(self, source: str, filename: str | None = None, *, color: bool = False) -> str:
        """The compiler-style report of this diagnostic in `source` (the text it was found in):
        severity and message, the source line with the span underlined, labels and hint."""
        return _render(self, source.split("\n"), filename, color)


class KernelError(ValueError):
    """A kernel the compiler rejected. `str(error)` is the compiler's message; `diagnostics`
    holds every diagnostic of the stage that failed (empty when that stage reports only a
    message, as the optimizer does)."""

    def __init__(self, message: str, diagnostics: Sequence[Diagnostic] = (), source: str = ""):
        super().__init__(message)
        self.message = message
        self.diagnostics: tuple[Diagnostic, ...] = tuple(diagnostics)
        self.source = source

    def render(self, filename: str | None = None, *, color: bool = False,
               min_severity: Severity = Severity.ALLOW) -> str:
        """The compiler-style report of the diagnostics of at least `min_severity`, or of the
        message when there are none."""
        shown = [d for d in self.diagnostics if d.severity >= min_severity]
        if not shown:
            return f"{_paint('error', _SEVERITY_COLORS[Severity.ERROR], color)}: {self.message}"
        lines = self.source.split("\n")
        return "\n\n".join(_render(d, lines, filename, color) for d in shown)


def check(source: str) -> list[Diagnostic]:
    """Every diagnostic of a kernel, notes and warnings included: the front end's when it
    rejects the kernel, else lowering's, errors first, each group in the order reported."""
    if not isinstance(source, str):
        raise TypeError(f"check() argument 'source' must be str, not {type(source).__name__}")
    _stage, raw, _params, _outputs = _native.analyze(source)
    return diagnostics_from(source, raw)


def kernel_error(source: str, message: str,
                 raw: Sequence[_native._RawDiagnostic]) -> KernelError:
    """The KernelError of a failed compilation of `source`: the compiler's `message`, and the
    diagnostics of the stage that failed; when the front end and lowering both accepted the
    kernel the failure came from a later stage, which has no diagnostics to show."""
    diagnostics = diagnostics_from(source, raw)
    if not any(d.severity >= Severity.ERROR for d in diagnostics):
        diagnostics = []
    return KernelError(message, diagnostics, source)


def diagnostics_from(source: str, raw: Sequence[_native._RawDiagnostic]) -> list[Diagnostic]:
    """Diagnostic records for the native module's tuples, with positions located in `source`."""
    offsets: list[int] = []
    for _kind, _code, _severity, _message, _hint, span, labels in raw:
        if span is not None:
            offsets += span
        for start, end, _text in labels:
            offsets += (start, end)
    where = _locate(source.encode("utf-8"), offsets)
    out = []
    for kind, code, severity, message, hint, span, labels in raw:
        located: tuple[int | None, ...] = (None,) * 4
        if span is not None:
            located = (*where[span[0]], *where[span[1]])
        out.append(Diagnostic(
            kind=kind, code=code, severity=Severity(severity), message=message, hint=hint,
            span=Span(*span) if span is not None else None,
            labels=tuple(Label(Span(s, e), text, *where[s], *where[e]) for s, e, text in labels),
            line=located[0], column=located[1], end_line=located[2], end_column=located[3]))
    return out


def _locate(data: bytes, offsets: Iterable[int]) -> dict[int, tuple[int, int]]:
    """(line, column) of each byte offset, both from 1, the column counting characters. One
    pass over the source for all offsets, so a kernel with many diagnostics stays linear."""
    where: dict[int, tuple[int, int]] = {}
    line, column, pos = 1, 1, 0
    for offset in sorted(set(offsets)):
        target = min(offset, len(data))
        newlines = data.count(b"\n", pos, target)
        if newlines:
            line += newlines
            pos = data.rfind(b"\n", pos, target) + 1
            column = 1
        column += len(data[pos:target].decode("utf-8", "replace"))
        pos = target
        where[offset] = (line, column)
    return where


# ---- the report -------------------------------------------------------------------------------

_RESET = "\033[0m"
_BOLD = "\033[1m"
_SEVERITY_COLORS = {
    Severity.ALLOW: "\033[1;37m",
    Severity.NOTE: "\033[1;36m",
    Severity.WARNING: "\033[1;33m",
    Severity.ERROR: "\033[1;31m",
    Severity.FATAL: "\033[1;31m",
}
_GUTTER_COLOR = "\033[1;34m"
_TAB_WIDTH = 4


def _paint(text: str, style: str, color: bool) -> str:
    return f"{style}{text}{_RESET}" if color else text


def _severity_word(severity: Severity) -> str:
    # A fatal diagnostic is an error that no policy can lower; the report calls both errors.
    return "error" if severity >= Severity.ERROR else severity.name.lower()


def _width(char: str) -> int:
    """Terminal columns taken by one character, so that underlines stay under their text."""
    if char == "\t":
        return _TAB_WIDTH
    if unicodedata.combining(char):
        return 0
    return 2 if unicodedata.east_asian_width(char) in ("W", "F") else 1


def _display(text: str) -> str:
    return text.replace("\t", " " * _TAB_WIDTH)


def _underline(line_text: str, first: int, last: int | None, mark: str) -> str:
    """Blanks up to character `first` (from 1), then `mark` under the characters up to `last`
    (exclusive; None: to the end of the line), at least one mark."""
    start = first - 1
    stop = len(line_text) if last is None else last - 1
    pad = sum(_width(c) for c in line_text[:start])
    marks = max(1, sum(_width(c) for c in line_text[start:stop]))
    return " " * pad + mark * marks


def _render(d: Diagnostic, lines: Sequence[str], filename: str | None, color: bool) -> str:
    style = _SEVERITY_COLORS[d.severity]
    out = [_paint(f"{_severity_word(d.severity)}[{d.kind}]", style, color)
           + _paint(f": {d.message}", _BOLD, color)]
    gutter = 0
    if d.line is not None and d.column is not None:
        # Underlines grouped by the source line they sit under: the span's, then the labels'.
        marks: dict[int, list[tuple[str, str]]] = {}
        end = d.end_column if d.end_line == d.line else None
        marks[d.line] = [(_underline(_line(lines, d.line), d.column, end, "^"), style)]
        for label in d.labels:
            end = label.end_column if label.end_line == label.line else None
            text = _underline(_line(lines, label.line), label.column, end, "-") + " " + label.text
            marks.setdefault(label.line, []).append((text, _GUTTER_COLOR))
        gutter = len(str(max(marks)))
        bar = _paint(" " * gutter + " |", _GUTTER_COLOR, color)
        place = f"{d.line}:{d.column}" if filename is None else f"{filename}:{d.line}:{d.column}"
        out.append(_paint(" " * gutter + "-->", _GUTTER_COLOR, color) + " " + place)
        out.append(bar)
        for number in sorted(marks):
            number_text = _paint(f"{number:>{gutter}} |", _GUTTER_COLOR, color)
            out.append(f"{number_text} {_display(_line(lines, number))}".rstrip())
            out += [f"{bar} {_paint(text, mark_style, color)}" for text, mark_style in marks[number]]
    if d.hint:
        out.append(f"{' ' * gutter} = {_paint('hint', _BOLD, color)}: {d.hint}")
    return "\n".join(out)


def _line(lines: Sequence[str], number: int) -> str:
    text = lines[number - 1] if 0 < number <= len(lines) else ""
    return text[:-1] if text.endswith("\r") else text
