"""docs/language.md says what the compiler does: its kernels compile, its diagnostic examples
trigger their diagnostic, and its promotion table is the compiler's."""
import pathlib
import re

import pytest

import tarvelon

DOC = (pathlib.Path(__file__).resolve().parents[2] / "docs" / "language.md").read_text()
BEFORE_DIAGNOSTICS, _, DIAGNOSTICS = DOC.partition("\n## Diagnostics\n")
DIAGNOSTICS = DIAGNOSTICS.partition("\n## ")[0]
KERNEL = re.compile(r"```tarvelon\n(.*?)```", re.S)
SECTION = re.compile(r"^### `(\w+)`\n\nCode (\d+), (\w+)\.(.*?)(?=^### |\Z)", re.S | re.M)

SECTIONS = SECTION.findall(DIAGNOSTICS)
EXAMPLES = [(kind, int(code), severity, example) for kind, code, severity, body in SECTIONS
            for example in KERNEL.findall(body)]


@pytest.mark.parametrize("source", KERNEL.findall(BEFORE_DIAGNOSTICS))
def test_the_documents_kernels_compile(source):
    tarvelon.compile(source)


def test_every_diagnostic_kind_has_a_section_in_catalogue_order():
    assert [int(code) for _kind, code, _severity, _body in SECTIONS] == list(range(19))


@pytest.mark.parametrize("kind,code,severity,source", EXAMPLES)
def test_each_diagnostic_example_triggers_its_diagnostic(kind, code, severity, source):
    first = tarvelon.check(source)[0]
    assert (first.kind, first.code, first.severity.name.lower()) == (kind, code, severity)


def promotion_table():
    rows = [line for line in BEFORE_DIAGNOSTICS.splitlines() if line.startswith("| **")]
    header = next(line for line in BEFORE_DIAGNOSTICS.splitlines() if line.startswith("| | bool"))
    columns = [c.strip() for c in header.strip("|").split("|")][1:]
    for row in rows:
        cells = [c.strip() for c in row.strip("|").split("|")]
        for column, cell in zip(columns, cells[1:]):
            yield cells[0].strip("*"), column, cell


PROMOTIONS = list(promotion_table())


def test_the_promotion_table_is_complete():
    assert len(PROMOTIONS) == 15 * 15


@pytest.mark.parametrize("a,b,result", PROMOTIONS)
def test_the_promotion_table_is_the_compilers(a, b, result):
    source = f"|a: {a}, b: {b}| a + b"
    if result == "—":
        assert [d.kind for d in tarvelon.check(source)] == ["TypeMismatch"]
    else:
        assert tarvelon.compile(source).dtype == result
