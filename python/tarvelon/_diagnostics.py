"""Diagnostics as records that point into the kernel source, and their compiler-style report."""
from __future__ import annotations

import dataclasses
import enum
import functools
import operator
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
        severity and message, the source line with the span underlined, labels and hint. A long
        source line is shown as a window of about 100 characters around the span."""
        return _render(self, _split(source), filename, color)


# How many diagnostics a report shows unless told otherwise: past that, a kernel with thousands
# of faults would bury the first ones, which are usually the cause of the rest.
DEFAULT_LIMIT = 50


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
               min_severity: Severity = Severity.ALLOW, limit: int | None = DEFAULT_LIMIT) -> str:
        """The compiler-style report of the diagnostics of at least `min_severity`, or of the
        message when there are none. At most `limit` diagnostics are shown, followed by
        "... and N more"; `None` or 0 shows them all."""
        shown = [d for d in self.diagnostics if d.severity >= min_severity]
        if not shown:
            return (f"{_paint('error', _SEVERITY_COLORS[Severity.ERROR], color)}: "
                    f"{escape(self.message)}")
        return report(shown, self.source, filename, color=color, limit=limit)


def check(source: str) -> list[Diagnostic]:
    """Every diagnostic of a kernel, notes and warnings included: the front end's when it
    rejects the kernel, else lowering's, errors first, each group in the order reported."""
    return diagnostics_from(source, _check_raw(source))


class CheckSummary(NamedTuple):
    """What a report of a kernel's diagnostics needs: the first of them as records, how many
    there are, and whether any is an error."""

    first: list[Diagnostic]
    total: int
    failed: bool


def check_summary(source: str, limit: int | None) -> CheckSummary:
    """As `check`, but building records only for the first `limit` diagnostics (all for `None`
    or 0), so that a kernel with a hundred thousand of them costs a report of `limit`."""
    raw = _check_raw(source)
    failed = any(severity >= Severity.ERROR for _k, _c, severity, *_rest in raw)
    return CheckSummary(diagnostics_from(source, raw[:limit] if limit else raw), len(raw), failed)


def _check_raw(source: str) -> Sequence[_native._RawDiagnostic]:
    if not isinstance(source, str):
        raise TypeError(f"check() argument 'source' must be str, not {type(source).__name__}")
    _stage, raw, _params, _outputs = _native.analyze(source)
    return raw


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
# Characters of a long source line shown around what a diagnostic points at; the cut ends are
# marked with the ellipsis, so every report line stays bounded whatever the source line's length.
_WINDOW = 100
_ELLIPSIS = "..."
_CONTEXT = 10


def report(diagnostics: Sequence[Diagnostic], source: str, filename: str | None = None, *,
           color: bool = False, limit: int | None = DEFAULT_LIMIT, total: int | None = None) -> str:
    """The reports of `diagnostics` (found in `source`), blank-line separated: the first `limit`
    of them (all for `None` or 0), then "... and N more", counting up to `total` when
    `diagnostics` are only the first of that many. The source is split once."""
    if limit is not None:
        if isinstance(limit, bool) or not hasattr(type(limit), "__index__"):
            raise TypeError(f"render() argument 'limit' must be int or None, not "
                            f"{type(limit).__name__}")
        limit = operator.index(limit)
    if limit is not None and limit < 0:
        raise ValueError(f"render() argument 'limit' must not be negative, not {limit}")
    shown = diagnostics[:limit] if limit else diagnostics
    lines = _split(source) if shown else ()
    parts = [_render(d, lines, filename, color) for d in shown]
    total = len(diagnostics) if total is None else total
    if len(shown) < total:
        parts.append(f"... and {total - len(shown)} more")
    return "\n\n".join(parts)


@functools.lru_cache(maxsize=1)
def _split(source: str) -> tuple[str, ...]:
    # Rendering the diagnostics of one source one by one splits it only once.
    return tuple(source.split("\n"))


def _paint(text: str, style: str, color: bool) -> str:
    return f"{style}{text}{_RESET}" if color else text


def _severity_word(severity: Severity) -> str:
    # A fatal diagnostic is an error that no policy can lower; the report calls both errors.
    return "error" if severity >= Severity.ERROR else severity.name.lower()


def _shown(char: str) -> str:
    """How one character of the source appears in a report: a tab as blanks, and whatever the
    terminal would act on or not show (control characters, CR, separators, bidirectional
    overrides) as its escape, so that the report shows the text as written."""
    if char == "\t":
        return " " * _TAB_WIDTH
    return char if char.isprintable() else repr(char)[1:-1]


def escape(text: str) -> str:
    """`text` as a report shows it: see `_shown`."""
    return text if text.isprintable() else "".join(map(_shown, text))


def _width(char: str) -> int:
    """Terminal columns taken by one character as shown, so that underlines stay under it."""
    if not char.isprintable():
        return len(_shown(char))
    if unicodedata.combining(char):
        return 0
    return 2 if unicodedata.east_asian_width(char) in ("W", "F") else 1


def _text_width(text: str) -> int:
    return sum(map(_width, text))


class _Shown(NamedTuple):
    """The part [start, stop) of a source line's first `length` characters that a report shows
    (the rest of `text`, if any, is the CR of a CRLF line end)."""

    text: str
    length: int
    start: int
    stop: int

    def display(self) -> str:
        cut_left = _ELLIPSIS if self.start > 0 else ""
        cut_right = _ELLIPSIS if self.stop < self.length else ""
        return cut_left + escape(self.text[self.start:self.stop]) + cut_right

    def underline(self, first: int, last: int | None, mark: str) -> str:
        """Blanks up to character `first` (from 1), then `mark` under the characters up to
        `last` (exclusive; None: to the end of the line), at least one mark; text cut from the
        window is marked under its ellipsis."""
        begin = first - 1
        end = self.length if last is None else last - 1
        left = len(_ELLIPSIS) if self.start > 0 else 0
        if begin < self.start:
            pad, marks = 0, left
            begin = self.start
        else:
            pad = left + _text_width(self.text[self.start:min(begin, self.stop)])
            marks = 0
        if begin < self.stop:
            marks += _text_width(self.text[begin:min(end, self.stop)])
        if self.stop < self.length and end > self.stop:
            marks += len(_ELLIPSIS)
        return " " * pad + mark * max(1, marks)


def _window(lines: Sequence[str], number: int, first: int, last: int | None) -> _Shown:
    """Line `number` (from 1) cut to a window that holds the characters `first` up to `last`
    (as in `underline`), or as much of their start as fits."""
    text = lines[number - 1] if 0 < number <= len(lines) else ""
    # Slicing the CR off would copy the line, and a line can be megabytes long.
    length = len(text) - 1 if text.endswith("\r") else len(text)
    if length <= _WINDOW:
        return _Shown(text, length, 0, length)
    begin = min(first - 1, length)
    # A span wider than the window shows its start, with a little of what comes before it.
    end = length if last is None else last - 1
    end = max(begin + 1, min(end, begin + _WINDOW - 2 * _CONTEXT))
    start = max(0, min(begin - (_WINDOW - (end - begin)) // 2, length - _WINDOW))
    return _Shown(text, length, start, start + _WINDOW)


def _render(d: Diagnostic, lines: Sequence[str], filename: str | None, color: bool) -> str:
    style = _SEVERITY_COLORS[d.severity]
    out = [_paint(f"{_severity_word(d.severity)}[{d.kind}]", style, color)
           + _paint(f": {escape(d.message)}", _BOLD, color)]
    gutter = 0
    if d.line is not None and d.column is not None:
        # Underlines grouped by the source line they sit under: the span's, then the labels'.
        # Each line's window is placed around the first thing underlined on it.
        shown: dict[int, _Shown] = {}
        marks: dict[int, list[tuple[str, str]]] = {}

        def underline(line: int, column: int, end_line: int | None, end_column: int | None,
                      mark: str) -> str:
            end = end_column if end_line == line else None
            if line not in shown:
                shown[line] = _window(lines, line, column, end)
            return shown[line].underline(column, end, mark)

        marks[d.line] = [(underline(d.line, d.column, d.end_line, d.end_column, "^"), style)]
        for label in d.labels:
            text = (underline(label.line, label.column, label.end_line, label.end_column, "-")
                    + " " + escape(label.text))
            marks.setdefault(label.line, []).append((text, _GUTTER_COLOR))
        gutter = len(str(max(marks)))
        bar = _paint(" " * gutter + " |", _GUTTER_COLOR, color)
        place = f"{d.line}:{d.column}"
        if filename is not None:
            place = f"{escape(str(filename))}:{place}"
        out.append(_paint(" " * gutter + "-->", _GUTTER_COLOR, color) + " " + place)
        out.append(bar)
        for number in sorted(marks):
            number_text = _paint(f"{number:>{gutter}} |", _GUTTER_COLOR, color)
            out.append(f"{number_text} {shown[number].display()}".rstrip())
            out += [f"{bar} {_paint(text, mark_style, color)}" for text, mark_style in marks[number]]
    if d.hint:
        out.append(f"{' ' * gutter} = {_paint('hint', _BOLD, color)}: {escape(d.hint)}")
    return "\n".join(out)
