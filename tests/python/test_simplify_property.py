"""Property: the text simplify_expr returns reads back, as the result line of a kernel with the
same parameters, as an expression that computes what the kernel computes.

The generated kernels stress precedence: every operator, prefix operators, powers on either
side, conditionals, calls, explicit casts and assignments used several times. Texts the language
cannot read back by design are left out: non-finite constants, floats so large that their
whole-number text is no integer literal the language accepts, fused calls, and texts whose
dtypes differ once the invisible casts are gone (a folded float constant that is whole, a folded
zero divisor), which fail to lower. The optimizer returns every cast as one the compiler
inserted, which the text does not show, so kernels for the optimizing mode truncate no float to
an integer, and no call of theirs takes an argument with a cast in it: `exp(n@f64)` would read
back as `exp(n)`, the integer builtin. A text that does not parse is always a failure."""
import re

import pytest
from hypothesis import assume, given, strategies as st

import _tarvelon
from test_emit_property import equal

F, I, B = "f", "i", "b"
PARAMS = {"x": F, "y": F, "n": I, "m": I, "p": B, "q": B}
DTYPE = {F: "f64", I: "i32", B: "bool"}
HEADER = "|" + ", ".join(f"{name}: {DTYPE[c]}" for name, c in PARAMS.items()) + "|"
# Not whole numbers: a whole float constant renders like an integer and reads back as one.
FLOAT_LITERALS = ["0.5", "1.25", "0.1", "2.5", "0.75", "3.5"]
FLOAT_CALLS = ["exp", "sin", "cos", "tanh", "abs", "sigmoid", "relu", "softplus", "floor", "ceil"]
NAME = re.compile(r"\b(?!true\b|false\b|if\b|then\b|else\b)[a-z]\w*\b(?!\()")
ARGUMENTS = st.tuples(st.floats(-50, 50), st.floats(-50, 50), st.integers(-20, 20),
                      st.integers(-20, 20), st.booleans(), st.booleans())


@st.composite
def expr(draw, cls, names, depth, truncate, casts=True):
    """Fully parenthesised source text of value class `cls` over the bound `names`; float to
    integer casts only with `truncate`, and no casts at all without `casts`."""
    leaves = [n for n, c in names.items() if c == cls]
    if depth <= 0 or draw(st.integers(0, 4)) == 0:
        if leaves and draw(st.booleans()):
            return draw(st.sampled_from(leaves))
        if cls == F:
            return draw(st.sampled_from(FLOAT_LITERALS))
        if cls == I:
            return str(draw(st.integers(1, 9)))
        return draw(st.sampled_from(["true", "false"]))

    def sub(c, d=depth - 1, casts=casts):
        return draw(expr(c, names, d, truncate, casts))

    if cls == B:
        kind = draw(st.sampled_from(["cmp", "&&", "||", "!", "if"]))
        if kind == "cmp":
            op = draw(st.sampled_from(["<", "<=", ">", ">=", "==", "!="]))
            return f"({sub(draw(st.sampled_from([F, I])))} {op} {sub(draw(st.sampled_from([F, I])))})"
        if kind == "!":
            return f"(!{sub(B)})"
        if kind == "if":
            return f"(if {sub(B)} then {sub(B)} else {sub(B)})"
        return f"({sub(B)} {kind} {sub(B)})"
    kinds = ["arith", "arith", "neg", "if", "pow"] + (["cast"] if casts else [])
    kind = draw(st.sampled_from(kinds + (["other"] if cls == F or truncate else [])))
    if kind == "arith":
        op = draw(st.sampled_from(["+", "-", "*"] + (["/"] if cls == F else ["//", "%"])))
        operands = [sub(cls), sub(cls)]
        if cls == F and op != "/" and draw(st.booleans()):
            operands[draw(st.integers(0, 1))] = sub(I)
        return f"({operands[0]} {op} {operands[1]})"
    if kind == "neg":
        return f"(-{sub(cls)})"
    if kind == "if":
        return f"(if {sub(B)} then {sub(cls)} else {sub(cls)})"
    if kind == "pow":
        # A shallow base and a small exponent keep folded integer powers exact in f64.
        exponent = draw(st.sampled_from(["2", "3"] if cls == I else ["2.0", "3.0", "0.5", "2"]))
        return f"({sub(cls, min(depth - 1, 1))} ** {exponent})"
    if kind == "other" and cls == F:
        return f"{draw(st.sampled_from(FLOAT_CALLS))}({sub(F, casts=casts and truncate)})"
    if kind == "other":
        # Shallow, so that the value stays far inside i64 and folding it needs no saturation.
        return f"(({sub(F, min(depth - 1, 1))})@i32)"
    operand = sub(I)
    if cls == F and not NAME.search(operand):
        # A constant operand folds to a whole float, which the text shows as an integer.
        operand = f"({operand} + {draw(st.sampled_from([n for n, c in names.items() if c == I]))})"
    return f"(({operand})@f64)" if cls == F else f"(({operand})@i64)"


@st.composite
def kernels(draw, truncate):
    names = dict(PARAMS)
    lines = []
    for k in range(draw(st.integers(0, 3))):
        cls = draw(st.sampled_from([F, I, B]))
        lines.append(f"v{k} = {draw(expr(cls, dict(names), 3, truncate))}")
        names[f"v{k}"] = cls
    result = draw(expr(draw(st.sampled_from([F, I, B])), names, 4, truncate))
    return "\n".join([HEADER, *lines, result])


def run(source, args, optimize):
    namespace = {}
    code = _tarvelon.emit_python(source, "k", optimize=optimize)
    exec(compile(code, "<kernel>", "exec"), namespace)
    try:
        return ("value", namespace["k"](*args))
    except (ArithmeticError, ValueError, TypeError) as error:
        return ("raises", type(error))


def same_value(got, want):
    """The renderer shows only the conversions written in the source, so the text read back may
    compute in integers a value the kernel converted to a double; above 2^53 the two differ by
    the double's rounding, so such a pair is compared as doubles."""
    if isinstance(got, int) != isinstance(want, int) and float in (type(got), type(want)):
        try:
            return float(got) == float(want)
        except OverflowError:
            return False
    return equal(got, want)


@pytest.mark.parametrize("optimize", [False, True])
@given(data=st.data(), args=ARGUMENTS)
def test_rendered_text_reads_back_as_the_same_computation(optimize, data, args):
    source = data.draw(kernels(truncate=not optimize), label="source")
    try:
        text = _tarvelon.simplify_expr(source, optimize=optimize)
    except ValueError:
        assume(False)  # the kernel itself does not lower
    assume(not re.search(r"\b(inf|NaN|exp_sigmoid|sigmoid_log|\d{19,})\b", text))
    want = run(source, args, optimize)
    # Folding drops computations the kernel performs strictly (both branches of a constant
    # condition), and with them errors the kernel raises.
    assume(want[0] == "value")
    read_back = HEADER + "\n" + text
    try:
        got = run(read_back, args, False)
    except ValueError as error:
        assert not str(error).startswith("parse failed"), (source, text, str(error))
        assume(False)
    assert got[0] == "value" and same_value(got[1], want[1]), (source, text, args, got, want)
