"""simplify(..., exact=True): the text is a result line that reads back. The kernel's parameters
with it as the result line compile without errors, declare the same result dtype and compute the
same values wherever neither kernel raises.

The generated kernels lean on what the display text cannot carry: whole and huge floats,
infinities and NaN, complex constants (also under a real suffix), integers that folding widens
or that leave their suffix's range, folded zero divisors, narrow float formats, and calls the
optimizer fuses."""

import math

import pytest
from hypothesis import assume, given, strategies as st

import _tarvelon
import _tarvelon_testing
import tarvelon
from tarvelon import _native
from test_emit_property import equal

F, I, B, C = "f", "i", "b", "c"
PARAMS = {"x": ("f64", F), "y": ("f32", F), "h": ("bf16", F), "n": ("i32", I), "k": ("u8", I),
          "p": ("bool", B), "z": ("c128", C)}
HEADER = "|" + ", ".join(f"{name}: {dtype}" for name, (dtype, _) in PARAMS.items()) + "|"
LITERALS = {
    F: ["2.0", "0.5", "1e300", "1e999", "(-1e999)", "(1e999 - 1e999)", "3.0@f32", "2.0@bf16",
        "0.1@f32", "65520.0", "(9223372036854775807 * 4)@f64", "(-0.0)"],
    I: ["3", "200@u8", "127@i8", "(-128@i8)", "9223372036854775807", "(3 ** 39)", "(2 ** 8@u8)",
        "(-9223372036854775807 - 1)", "(1 - 1)", "((-2.5)@u32)", "(100@i8 + 100@i8)"],
    B: ["true", "false"],
    C: ["0.5j", "2.0j@c64", "(1.0 + 2.0j)", "(-0.5j)", "(1e999j)", "0.5j@f64", "(-(2.0 + 0.0j))",
        "(-(0.0j))"],
}
CALLS = ["exp", "sin", "abs", "sigmoid", "floor", "log", "sqrt"]
ARGUMENTS = st.tuples(st.floats(-20, 20), st.floats(-20, 20), st.floats(-20, 20),
                      st.integers(-20, 20), st.integers(0, 255), st.booleans(),
                      st.complex_numbers(max_magnitude=10))


@st.composite
def expr(draw, cls, depth):
    leaves = [n for n, (_, c) in PARAMS.items() if c == cls]
    if depth <= 0 or draw(st.integers(0, 3)) == 0:
        return draw(st.sampled_from(leaves + LITERALS[cls]))

    def sub(c):
        return draw(expr(c, depth - 1))

    if cls == B:
        op = draw(st.sampled_from(["<", "==", "!=", "&&", "||"]))
        if op in ("&&", "||"):
            return f"({sub(B)} {op} {sub(B)})"
        side = draw(st.sampled_from([F, I]))
        return f"({sub(side)} {op} {sub(side)})"
    kind = draw(st.sampled_from(["arith", "neg", "if", "pow", "call", "cast", "fused"]))
    if kind == "arith":
        ops = {F: ["+", "-", "*", "/"], I: ["+", "-", "*", "//", "%"], C: ["+", "-", "*"]}[cls]
        return f"({sub(cls)} {draw(st.sampled_from(ops))} {sub(cls)})"
    if kind == "neg":
        return f"(-{sub(cls)})"
    if kind == "if":
        return f"(if {sub(B)} then {sub(cls)} else {sub(cls)})"
    if kind == "pow":
        exponent = draw(st.sampled_from(["2", "3", "39"] if cls == I else ["2.0", "0.5", "2"]))
        return f"({sub(cls)} ** {exponent})"
    if cls == F and kind == "call":
        return f"{draw(st.sampled_from(CALLS))}({sub(F)})"
    if cls == F and kind == "fused":
        return draw(st.sampled_from([f"sigmoid(exp({sub(F)}))", f"log(sigmoid({sub(F)}))"]))
    target = {F: ["f64", "f32", "f16"], I: ["i64", "u8", "i16"], C: ["c64", "c128"]}[cls]
    source = {F: I, I: F, C: F}[cls]
    return f"(({sub(draw(st.sampled_from([cls, source])))})@{draw(st.sampled_from(target))})"


@st.composite
def kernels(draw):
    lines = [HEADER]
    result = draw(expr(draw(st.sampled_from([F, I, B, C])), 3))
    if draw(st.booleans()):
        lines.append(f"a = {result}")
        result = draw(st.sampled_from(["a", "a * a", "a + a"]))
    return "\n".join([*lines, result])


def run(code, args):
    namespace = {}
    exec(compile(code, "<kernel>", "exec"), namespace)
    try:
        return ("value", namespace["k"](*args))
    except (ArithmeticError, ValueError, TypeError):
        return ("raises", None)


def same_value(got, want):
    """A constant that folding moved past i64 is a double, and the kernel adds it to integers
    without converting them while the text converts them explicitly: above 2^53 the two agree
    to the double's rounding, compounded over the steps computed in doubles (a cube of a
    rounded value and its square are already nine roundings apart)."""
    if equal(got, want):
        return True
    numbers = (int, float)
    if isinstance(got, numbers) and isinstance(want, numbers) and max(abs(got), abs(want)) > 2**53:
        if isinstance(got, int) and isinstance(want, int):
            # Powers of such integers pass any double's range; compared exactly, relatively.
            return abs(got - want) * 2**40 <= max(abs(got), abs(want))
        try:
            return math.isclose(float(got), float(want), rel_tol=2**-40)
        except OverflowError:
            return False
    return False


def result_dtypes(source):
    return _native.analyze(source)[3]


@pytest.mark.parametrize("optimize", [False, True])
@given(data=st.data(), args=ARGUMENTS)
def test_exact_text_reads_back_as_the_same_computation(optimize, data, args):
    source = data.draw(kernels(), label="source")
    try:
        text = tarvelon.simplify(source, optimize=optimize, exact=True)
    except tarvelon.KernelError:
        assume(False)  # the kernel itself does not compile
    read_back = HEADER + "\n" + text
    # Compiles without errors (warnings such as precision loss are allowed) and declares the
    # kernel's result dtype.
    assert result_dtypes(read_back) == result_dtypes(source), (source, text)
    # The text stands for the kernel as simplified: its constants folded (in f64, saturating,
    # as the compiler folds them), and optimized when asked.
    reference = (_tarvelon.emit_python(source, "k", optimize=True) if optimize
                 else _tarvelon_testing.emit_folded(source))
    want = run(reference, args)
    got = run(_tarvelon.emit_python(read_back, "k"), args)
    assume(want[0] == "value" and got[0] == "value")
    assert same_value(got[1], want[1]), (source, text, args, got, want)


# The forms the display text gets wrong, each with its exact text.
@pytest.mark.parametrize("source, text", [
    ("|x: bf16| x * 2.0", "x@f32 * 2.0@f32"),
    ("|x: f64| x + 2.0", "x + 2.0@f64"),
    ("|| 1.0 + 2.0j@c64", "1.0@c64 + 2.0j@c64"),
    ("|| 1.0 - 2.0j", "1.0@c64 - 2.0j@c64"),
    ("|| 0.5j@f64", "0.5j@f64"),
    ("|| 1e999", "1e999@f16"),
    ("|| -1e999@f64", "-1e999@f64"),
    ("|| (1e999 - 1e999)@f32", "1e999@f32 - 1e999@f32"),
    ("|| 1e300", "1" + "0" * 300 + ".0@f64"),
    ("|| 9223372036854775807 * 2", "18446744073709552000.0@f64@i64"),
    ("|| -9223372036854775807 - 1", "-9223372036854775807@i64 - 1@i64"),
    ("|x: u8| x + (200@u8 + 100@u8)", "(x + 300@u16)@u8"),
    ("|| (-2.5)@u32", "-2@i64@u32"),
    ("|x: i8| x // (1 - 1)", "x // 0@i8@i8"),
    ("|x: f64| sigmoid(exp(x)) + log(sigmoid(x))", "sigmoid(exp(x)) + log(sigmoid(x))"),
    ("|| 3 ** 39", "4052555153018976267@i64@i8"),
    ("|x: f32| x * x < 2", "x * x < 2.0@f32"),
])
def test_exact_text(source, text):
    assert tarvelon.simplify(source, exact=True) == text


# Folded complex values whose parts are signed zeros, which a plain sum cannot write (-0 + 0 is
# +0), each with its text; the text must give back both parts bit for bit.
@pytest.mark.parametrize("source, text", [
    ("|| -(2.0 + 0.0j)", "-(2.0@f64@c64)"),
    ("|| -(-2.0 + 0.0j)", "-((-2.0@f64)@c64)"),
    ("|| -(0.0j)", "-(0.0@f64@c64)"),
    ("|| -(2.0j@c64)", "-0.0@c64 - 2.0j@c64"),
    ("|| 0.0 - 2.0j", "0.0@c64 - 2.0j@c64"),
    ("|| -(0.0@c64 - 3.0j@c64)", "-(0.0@c64 - 3.0j@c64)"),
    ("|| -(-2.0 - 3.0j)", "2.0@c64 + 3.0j@c64"),
    ("|| -(1e999 - 1e999 + 0.0j)", "-((1e999@f64 - 1e999@f64)@c64)"),
    ("|| -(1.0 + 0.0j@c128)", "-(1.0@f64@c128)"),
])
def test_exact_text_keeps_the_signs_of_complex_zeros(source, text):
    assert tarvelon.simplify(source, exact=True) == text
    bits = lambda z: (math.copysign(1.0, z.real), math.copysign(1.0, z.imag), repr(z))
    want = run(_tarvelon_testing.emit_folded(source), ())[1]
    got = run(_tarvelon.emit_python("||\n" + text, "k"), ())[1]
    assert bits(got) == bits(want)


def test_fused_calls_of_the_optimizer_read_back_as_the_calls_they_fuse():
    source = "|x: f64| sigmoid(exp(x)) * 2.0"
    assert tarvelon.simplify(source, optimize=True) == "exp_sigmoid(x) * 2"
    assert tarvelon.simplify(source, optimize=True, exact=True) == "sigmoid(exp(x)) * 2.0@f64"


@pytest.mark.parametrize("optimize", [1, None, "yes"])
def test_optimize_must_be_bool(optimize):
    with pytest.raises(TypeError, match="^simplify\\(\\) argument 'optimize' must be bool"):
        tarvelon.simplify("|x: f64| x", optimize=optimize, exact=True)
