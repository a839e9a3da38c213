"""simplify_expr end to end: exact rendered texts in both modes and exact error texts."""
import warnings

import pytest

import _tarvelon

XYZ = "|x: f64, y: f64, z: f64| "
PQR = "|p: bool, q: bool, r: bool| "

RENDERED = [
    (XYZ + "x + y * z", "x + y * z"),
    (XYZ + "(x + y) * z", "(x + y) * z"),
    (XYZ + "x - (y - z)", "x - (y - z)"),
    (XYZ + "(x - y) - z", "x - y - z"),
    (XYZ + "if x > 0.0 then y else z", "if (x > 0) then y else z"),
    (XYZ + "-(x + 1.0)", "-(x + 1)"),
    (XYZ + "-(-x)", "-(-x)"),
    (PQR + "!!p", "!!p"),
    (PQR + "p && q || r", "p && q || r"),
    (PQR + "p && (q || r)", "p && (q || r)"),
    (XYZ + "(x + 1.0)@f32", "(x + 1)@f32"),
    ("|x: f32| x + 1", "x + 1"),
    (XYZ + "exp(x + 1.0)", "exp(x + 1)"),
    (XYZ + "sqrt(x) * -y", "sqrt(x) * -y"),
    # A shared node is written out at every use, parenthesised for its own position.
    (XYZ + "\na = x + y\na * a", "(x + y) * (x + y)"),
    (XYZ + "\na = x + y\na + a * a", "x + y + (x + y) * (x + y)"),
    # Mended: the base of ** and complex constants, as the language reads them back.
    (XYZ + "(-x) ** 2.0", "(-x) ** 2"),
    (XYZ + "-x ** 2.0", "-(x ** 2)"),
    (XYZ + "(x ** y) ** 2.0", "(x ** y) ** 2"),
    (XYZ + "x ** y ** 2.0", "x ** (y ** 2)"),
    (XYZ + "(-3.0) ** x", "(-3) ** x"),
    ("|z: c128| (1.0 + 2.0j) * z", "(1+2j) * z"),
    ("|z: c128| z - (1.0 - 2.0j)", "z - (1+-2j)"),
    ("|| 1.0 + 2.0j", "1+2j"),
    # Constants are folded without the optimizer too.
    (XYZ + "x + 2.0 * 3.0", "x + 6"),
    (XYZ + "if 1 < 2 then x else -x", "x"),
    (XYZ + "x ** 1 + y ** 0", "x + 1"),
]


@pytest.mark.parametrize("source, text", RENDERED)
def test_rendered_text(source, text):
    assert _tarvelon.simplify_expr(source) == text


def test_a_folded_overflow_stays_hidden():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert _tarvelon.simplify_expr("|| 200@u8 + 100@u8") == "300"


def squaring(lines):
    body = "".join(f"a{k} = a{k - 1} * a{k - 1}\n" for k in range(1, lines + 1))
    return f"|x: f64|\na0 = x\n{body}a{lines}"


ERRORS = [
    ("", "parse failed: syntax error: expected function header `|...|`"),
    ("|x: f64| (x, x)", "expected a single output expression, got 2"),
    ("|x: f64| (x, x, -x)", "expected a single output expression, got 3"),
    ("|| a", "lowering failed: undefined variable `a`"),
    # Each line doubles the text: 40 lines would be terabytes.
    (squaring(40),
     "rendered expression too large: 5497558138875 bytes, the limit is 67108864 bytes (64 MiB)"),
    (squaring(70),
     "rendered expression too large: at least 18446744073709551615 bytes, the limit is "
     "67108864 bytes (64 MiB)"),
]


@pytest.mark.parametrize("source, message", ERRORS)
def test_errors(source, message):
    with pytest.raises(ValueError) as info:
        _tarvelon.simplify_expr(source)
    assert info.value.args == (message,)


def test_optimizer_refuses_a_tuple_before_the_output_count_is_checked():
    for call in (_tarvelon.simplify_expr, _tarvelon.emit_python):
        with pytest.raises(ValueError) as info:
            call("|x: f64| (x, x)", optimize=True)
        assert info.value.args == (
            "optimization failed: only single-output DAG is currently supported by optimize",)


@pytest.mark.parametrize("source, text", RENDERED)
def test_optimized_text_is_a_str(source, text):
    assert isinstance(_tarvelon.simplify_expr(source, optimize=True), str)
