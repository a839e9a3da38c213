"""Structured diagnostics: spans as byte offsets, lines and columns as characters, and the
compiler-style report."""
import re

import pytest

import tarvelon
from tarvelon import Severity

# Comments and non-ASCII text before and inside the lines that have problems.
SOURCE = ("# señal — kernel\n"
          "|x: f64, n: i32|  # paramètres\n"
          "y = x * 2.0 # ×2\n"
          "w = 変数 + y\n"
          "w@f32@i64 + n // 0\n")

# kind, severity, the text under the span, (line, column, end line, end column), labels as
# (text under the label, label text, column, end column).
EXPECTED = [
    ("UndefinedVariable", Severity.ERROR, "変数", (4, 5, 4, 7), []),
    ("DivByZero", Severity.ERROR, "n // 0", (5, 13, 5, 19), []),
    ("ImplicitPromotion", Severity.NOTE, "x * 2.0", (3, 5, 3, 12),
     [("x", "left operand (f64)", 5, 6), ("2.0", "right operand (f16)", 9, 12)]),
    ("RedundantCast", Severity.WARNING, "w@f32@i64", (5, 1, 5, 10), []),
    ("ImplicitPromotion", Severity.NOTE, "n // 0", (5, 13, 5, 19),
     [("n", "left operand (i32)", 13, 14), ("0", "right operand (i8)", 18, 19)]),
    ("ImplicitPromotion", Severity.NOTE, "w@f32@i64 + n // 0", (5, 1, 5, 19),
     [("w@f32@i64", "left operand (i64)", 1, 10), ("n // 0", "right operand (i32)", 13, 19)]),
]


def under(source, span):
    return source.encode("utf-8")[span.start:span.end].decode("utf-8")


def summary(source, d):
    return (d.kind, d.severity, under(source, d.span), (d.line, d.column, d.end_line, d.end_column),
            [(under(source, l.span), l.text, l.column, l.end_column) for l in d.labels])


def test_check_reports_every_diagnostic_with_byte_spans_and_character_columns():
    assert [summary(SOURCE, d) for d in tarvelon.check(SOURCE)] == EXPECTED


def test_kernel_error_holds_the_failed_stages_diagnostics():
    with pytest.raises(tarvelon.KernelError) as info:
        tarvelon.compile(SOURCE)
    assert str(info.value) == "lowering failed: undefined variable `変数`; division by zero in //"
    assert list(info.value.diagnostics) == tarvelon.check(SOURCE)


CHECKED = [
    ("|x: f64, y: f64| x + y", []),
    ("|x: f64| x * 2", [("ImplicitPromotion", Severity.NOTE)]),
    ("|x: f64| x * 0.1@f32",
     [("FloatPrecisionLoss", Severity.WARNING), ("ImplicitPromotion", Severity.NOTE)]),
    ("|x: f64|\n\n  y = = x\ny", [("Syntax", Severity.FATAL)]),
    ("|if: f64| 1", [("ReservedIdentifier", Severity.ERROR)]),
]


@pytest.mark.parametrize("source,expected", CHECKED)
def test_check_includes_notes_and_warnings(source, expected):
    assert [(d.kind, d.severity) for d in tarvelon.check(source)] == expected


def test_codes_and_hints_come_from_the_catalogue():
    [d] = tarvelon.check("|| 300@u8")
    assert (d.code, d.message) == (7, "integer literal `300` is out of range for `u8`")
    assert d.hint == "adjust the literal value or choose a wider integer dtype that can represent it"


REPORTS = [
    # Wide characters take two columns; the underline stays beneath them.
    ("|x: f64| 変数 + z", "k.tvl",
     "error[UndefinedVariable]: undefined variable `変数`\n"
     " --> k.tvl:1:10\n"
     "  |\n"
     "1 | |x: f64| 変数 + z\n"
     "  |          ^^^^\n"
     "  = hint: ensure the variable is defined as a parameter or let-binding before use\n"
     "\n"
     "error[UndefinedVariable]: undefined variable `z`\n"
     " --> k.tvl:1:15\n"
     "  |\n"
     "1 | |x: f64| 変数 + z\n"
     "  |                 ^\n"
     "  = hint: ensure the variable is defined as a parameter or let-binding before use"),
    # A tab is shown as four blanks; a position at the end of the text gets one caret.
    ("\n" * 9 + "|x: f64|\n\ty = x\n", None,
     "error[Syntax]: syntax error: missing result expression after assignments\n"
     "  --> 11:2\n"
     "   |\n"
     "11 |     y = x\n"
     "   |     ^^^^^\n"
     "   = hint: check the surrounding tokens and parentheses for typos or missing separators"),
    ("|x: f64|", "-",
     "error[Syntax]: syntax error: missing function body\n"
     " --> -:1:9\n"
     "  |\n"
     "1 | |x: f64|\n"
     "  |         ^\n"
     "  = hint: check the surrounding tokens and parentheses for typos or missing separators"),
]


@pytest.mark.parametrize("source,filename,report", REPORTS)
def test_kernel_error_renders_a_compiler_style_report(source, filename, report):
    with pytest.raises(tarvelon.KernelError) as info:
        tarvelon.compile(source)
    assert info.value.render(filename) == report


def test_a_diagnostic_renders_its_labels_under_their_text():
    source = "|x: f64|\ny = x * 2.0 # ×2\ny"
    [note] = tarvelon.check(source)
    assert note.render(source) == (
        "note[ImplicitPromotion]: implicit promotion in *: f64 + f16 -> f64\n"
        " --> 2:5\n"
        "  |\n"
        "2 | y = x * 2.0 # ×2\n"
        "  |     ^^^^^^^\n"
        "  |     - left operand (f64)\n"
        "  |         --- right operand (f16)\n"
        "  = hint: cast the right operand from f16 to f64 using `@f64`")


def test_colour_only_adds_escape_sequences():
    with pytest.raises(tarvelon.KernelError) as info:
        tarvelon.compile(SOURCE)
    coloured = info.value.render("k.tvl", color=True)
    assert "\033[1;31merror[UndefinedVariable]" in coloured
    assert re.sub("\033\\[[0-9;]*m", "", coloured) == info.value.render("k.tvl")


def test_a_failure_without_diagnostics_renders_its_message():
    error = tarvelon.KernelError("optimization failed: out of luck")
    assert (error.render(), error.diagnostics) == ("error: optimization failed: out of luck", ())


def test_check_refuses_what_is_not_text():
    with pytest.raises(TypeError):
        tarvelon.check(b"|x: f64| x")


def rows_under_the_caret(report):
    """For each source row of a report, the shown text above its carets (the row and its caret
    row in ASCII), with whether the row was cut on the left and on the right."""
    lines = report.split("\n")
    found = []
    for row, marks in zip(lines, lines[1:]):
        if "^" not in marks or not re.match(r"\s*\d+ \| ", row):
            continue
        text, marks = row.split(" | ", 1)[1], marks.split(" | ", 1)[1]
        first, last = marks.index("^"), marks.rindex("^") + 1
        found.append((text[first:last], text.startswith("..."), text.endswith("...")))
    return found


ZZ = "undefined variable `zz`"
LONG = "x + " * 60
WINDOWED = [
    # source, the message to look at, the text over the carets, cut on the left, on the right
    ("|x: f64| " + LONG + "zz" + " + x" * 60, ZZ, "zz", True, True),
    ("|x: f64| zz" + " + x" * 60, ZZ, "zz", False, True),
    ("|x: f64| " + LONG + "zz", ZZ, "zz", True, False),
    ("|x: f64| " + LONG + "zz\r\n", ZZ, "zz", True, False),
    # What the terminal would act on is shown escaped, and the caret moves past its escape.
    ("|x: f64| x +\x0b\x0c zz\r", ZZ, "zz", False, False),
    ("|x: f64| x\x00", "syntax error: lex error", "\\x00", False, False),
    # A span wider than the window is marked from its start to the cut, ellipsis included.
    ("|x: f64| " + LONG + "zz + 1", "implicit promotion in +: f64 + i8 -> f64",
     (LONG + "zz + 1")[:91] + "...", False, True),
]


@pytest.mark.parametrize("source,message,marked,cut_left,cut_right", WINDOWED)
def test_a_long_line_is_shown_as_a_window_with_the_caret_under_the_span(
        source, message, marked, cut_left, cut_right):
    [d] = [d for d in tarvelon.check(source) if d.message == message]
    rows = rows_under_the_caret(d.render(source))
    assert rows == [(marked, cut_left, cut_right)]


def test_wide_characters_and_escapes_keep_the_caret_under_the_span():
    source = "|x: f64| x" + " + x" * 30 + " + 変数 + y\x85" + " + x" * 30
    [wide, y] = tarvelon.check(source)
    assert wide.render(source).split("\n")[3:5] == [
        "1 | ... x + x + x + x + x + x + x + x + x + x + x + x + 変数 + y\\x85 + x + x + x + x + x"
        " + x + x + x + x + x + x...",
        "  |                                                     ^^^^"]
    with pytest.raises(tarvelon.KernelError) as info:
        tarvelon.compile(source)
    assert info.value.render("k\033[2J.tvl").split("\n")[1] == " --> k\\x1b[2J.tvl:1:134"


def test_a_report_is_bounded_by_its_window_and_its_count():
    # Thousands of diagnostics on one line of 40 KB: each used to reprint the whole line.
    source = "|x: f64|\n" + " x * 2 +" * 5000 + " zz"
    with pytest.raises(tarvelon.KernelError) as info:
        tarvelon.compile(source)
    diagnostics = info.value.diagnostics
    report = info.value.render()
    assert max(map(len, report.split("\n"))) < 120
    assert report.endswith(f"\n\n... and {len(diagnostics) - 50} more")
    assert report.count("\n\n") == 50


@pytest.mark.parametrize("limit,shown", [(None, 3), (0, 3), (1, 1), (2, 2), (3, 3), (4, 3)])
def test_render_limit_shows_that_many_then_counts_the_rest(limit, shown):
    source = "|x: f64| a + b + c"
    with pytest.raises(tarvelon.KernelError) as info:
        tarvelon.compile(source)
    report = info.value.render(limit=limit)
    assert report.count("error[UndefinedVariable]") == shown
    assert report.endswith(f"... and {3 - shown} more" if shown < 3 else "before use")


@pytest.mark.parametrize("limit,error", [(-1, ValueError), (1.5, TypeError), (True, TypeError)])
def test_render_refuses_a_limit_that_is_no_count(limit, error):
    with pytest.raises(error):
        tarvelon.KernelError("m", tarvelon.check("|x: f64| y"), "|x: f64| y").render(limit=limit)


# The records of a report's first diagnostics, built without those of the rest.
@pytest.mark.parametrize("source, failed", [("|x: f64| a + b + c + d + e", True),
                                            ("|x: f64|\n" + " x * 2 +" * 5 + " x", False)])
@pytest.mark.parametrize("limit", [None, 0, 1, 3, 50])
def test_a_check_summary_is_the_first_diagnostics_and_their_count(source, failed, limit):
    from tarvelon._diagnostics import check_summary
    every = tarvelon.check(source)
    summary = check_summary(source, limit)
    assert summary.first == every[:limit or None]
    assert (summary.total, summary.failed) == (len(every), failed)
