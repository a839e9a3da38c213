"""emit_python end to end: exact emitted texts, exact error texts, and emitted code that
computes what the kernel means."""
import cmath
import math

import pytest

import _tarvelon


def header(params):
    return f"import math\n\ndef _kernel({params}):\n"


EMITTED = [
    ("|x: f64| x * 2.0",
     header("x") + "    t0 = x\n    t1 = 2\n    t2 = float(t1)\n    t3 = (t0 * t2)\n"
     "    return t3\n"),
    ("|x: f64, n: i32|  # header\ny = x * 2.0\ny + n@f64",
     header("x, n") + "    t0 = x\n    t1 = n\n    t2 = 2\n    t3 = float(t2)\n"
     "    t4 = (t0 * t3)\n    t5 = float(t1)\n    t6 = (t4 + t5)\n    return t6\n"),
    ("|x: f32, lo: f32, hi: f32|\nif x < lo then lo else if x > hi then hi else x",
     header("x, lo, hi") + "    t0 = x\n    t1 = lo\n    t2 = hi\n    t3 = (t0 < t1)\n"
     "    t4 = (t0 > t2)\n    t5 = (t2 if t4 else t0)\n    t6 = (t1 if t3 else t5)\n"
     "    return t6\n"),
    ("|n: i32| relu(n@f64) - sigmoid(-1.5)",
     header("n") + "    t0 = n\n    t1 = float(t0)\n    t2 = (t1 if t1 > 0 else 0.0)\n"
     "    t3 = -1.5\n    t4 = (1.0 / (1.0 + math.exp(-t3)))\n    t5 = float(t4)\n"
     "    t6 = (t2 - t5)\n    return t6\n"),
    # An assignment nothing uses produces no line.
    ("|x: f64|\nunused = x * 3.0\nx", header("x") + "    t0 = x\n    return t0\n"),
    ("|z: c64| z * 2.0j + 1.5",
     header("z") + "    t0 = z\n    t1 = complex(0, 2)\n    t2 = (t0 * t1)\n    t3 = 1.5\n"
     "    t4 = complex(t3, 0.0)\n    t5 = (t2 + t4)\n    return t5\n"),
    ("|a: i32, b: i32|\nq = a // b\nr = a % b\n(q, r, q * b + r)",
     header("a, b") + "    t0 = a\n    t1 = b\n    t2 = (t0 // t1)\n    t3 = (t0 % t1)\n"
     "    t4 = (t2 * t1)\n    t5 = (t4 + t3)\n    return (t2, t3, t5)\n"),
    ("|p: bool, q: bool| !p && (q || true)",
     header("p, q") + "    t0 = p\n    t1 = q\n    t2 = (not t0)\n    t3 = True\n"
     "    t4 = (t1 or t3)\n    t5 = (t2 and t4)\n    return t5\n"),
    ("|x: f64| floor(x) ** ceil(0.5) % abs(e) + pi",
     header("x") + "    t0 = x\n    t1 = float(math.floor(t0))\n    t2 = 0.5\n"
     "    t3 = float(math.ceil(t2))\n    t4 = float(t3)\n    t5 = (t1 ** t4)\n"
     "    t6 = 2.718281828459045\n    t7 = abs(t6)\n    t8 = (t5 % t7)\n"
     "    t9 = 3.141592653589793\n    t10 = (t8 + t9)\n    return t10\n"),
    ("|x: f64| (x@f32@u8, 1e400, 1e400j, 0.1@f32)",
     header("x") + "    t0 = x\n    t1 = float(t0)\n    t2 = int(t1)\n    t3 = float('inf')\n"
     "    t4 = complex(0, float('inf'))\n    t5 = 0.1\n    return (t2, t3, t4, t5)\n"),
    # Parameter names that would break the function get a fresh name.
    ("|x: f64, x: f64| x", header("x, p1") + "    t1 = p1\n    return t1\n"),
    ("|class: f64, p0: f64| class + p0",
     header("p0_1, p0") + "    t0 = p0_1\n    t1 = p0\n    t2 = (t0 + t1)\n    return t2\n"),
    ("|math: f64| exp(math)", header("p0") + "    t0 = p0\n    t1 = math.exp(t0)\n    return t1\n"),
    ("|math: f64| math + 1.0",
     header("math") + "    t0 = math\n    t1 = 1\n    t2 = float(t1)\n    t3 = (t0 + t2)\n"
     "    return t3\n"),
    ("|t1: f64, y: f64| t1 + y",
     header("p0, y") + "    t0 = p0\n    t1 = y\n    t2 = (t0 + t1)\n    return t2\n"),
    ("|float: i32| float@f64", header("p0") + "    t0 = p0\n    t1 = float(t0)\n    return t1\n"),
]


@pytest.mark.parametrize("source, expected", EMITTED)
def test_emitted_text(source, expected):
    assert _tarvelon.emit_python(source) == expected


def test_function_name_is_used_in_the_def_line():
    assert _tarvelon.emit_python("|x: f64| x", "f") == (
        "import math\n\ndef f(x):\n    t0 = x\n    return t0\n")


ERRORS = [
    ("", "parse failed: syntax error: expected function header `|...|`"),
    ("|x: f64|", "parse failed: syntax error: missing function body"),
    # The first failing stage decides: the syntax error hides the type error before it.
    ("|x: i32|\ny = x / 2\n2j",
     "parse failed: integer imaginary literal `2j` is not supported; use float form `2.0j` instead"),
    ("|x: i32| x / 2", "lowering failed: type mismatch in /: cannot promote i32 and i8"),
    ("|| a + b", "lowering failed: undefined variable `a`; undefined variable `b`"),
    ("|x: f64| foo(x)", "lowering failed: undefined function `foo`"),
    ("|x: f64| exp_sigmoid(x)", "lowering failed: undefined function `exp_sigmoid`"),
    ("|x: f64| exp(x, x)", "lowering failed: wrong argument count for `exp`: expected 1, got 2"),
    ("|x: f64| sin()", "lowering failed: wrong argument count for `sin`: expected 1, got 0"),
    ("|x: f64| (x, x) + 1",
     "lowering failed: expected 1 value, but expression produced 2"),
    ("|x: f64| 300@u8", "lowering failed: integer literal `300` is out of range for `u8`"),
    ("|x: f64| -1@u64", "lowering failed: integer literal `-1` is out of range for `u64`"),
    ("|x: i32| x // 0", "lowering failed: division by zero in //"),
    ("|x: i32| x % 0", "lowering failed: division by zero in %"),
    ("|x: f64| x // 2", "lowering failed: type mismatch in //: cannot promote f64 and i8"),
    ("|h: bf16, n: i32| h * n", "lowering failed: type mismatch in *: cannot promote bf16 and i32"),
    ("|x: i32| if x then 1 else 2",
     "lowering failed: type mismatch in if_cond: cannot promote i32 and bool"),
    ("|x: i32| !x", "lowering failed: type mismatch in not: cannot promote i32 and bool"),
    ("|p: bool| -p", "lowering failed: type mismatch in neg: cannot promote bool and bool"),
    ("|x: i32| x && true", "lowering failed: type mismatch in and: cannot promote i32 and bool"),
    ("|p: bool| p || 1", "lowering failed: type mismatch in or: cannot promote bool and i8"),
    # Source text quoted in a message keeps every character, NUL included.
    ("|x: f\x0064| x", "parse failed: unknown type `f\x0064`"),
    ("|x: f64|\na = zz\nb = a + yy\nfoo(b) + exp(a, b)",
     "lowering failed: undefined variable `zz`; undefined variable `yy`; undefined function "
     "`foo`; wrong argument count for `exp`: expected 1, got 2"),
]


@pytest.mark.parametrize("source, message", ERRORS)
def test_error_text(source, message):
    with pytest.raises(ValueError) as info:
        _tarvelon.emit_python(source)
    assert info.value.args == (message,)


@pytest.mark.parametrize("source", [
    "|x: f64| x@f32@i64",      # sequential casts: a warning
    "|x: f32| 0.1@f32 + x",    # precision loss: a warning
    "|x: u64, y: i32| x + y",  # unsafe promotion: a warning
    "|x: f32| x + 1",          # implicit promotion: a note
])
def test_warnings_and_notes_are_not_errors(source):
    assert _tarvelon.emit_python(source).startswith("import math\n\ndef _kernel(")


def load(source, name="_kernel"):
    namespace = {}
    exec(compile(_tarvelon.emit_python(source, name), "<kernel>", "exec"), namespace)
    return namespace[name]


def gelu(x):
    return 0.5 * x * (1.0 + math.tanh(math.sqrt(2.0 / math.pi) * (x + 0.044715 * x ** 3)))


SEMANTICS = [
    ("|x: f64|\nc = 0.7978845608028654\n0.5 * x * (1.0 + tanh(c * (x + 0.044715 * x * x * x)))",
     gelu, [(-3.0,), (-0.5,), (0.0,), (0.75,), (4.0,)], 1e-12),
    ("|x: f64| if x > 20.0 then x else softplus(x)",
     lambda x: x if x > 20 else math.log1p(math.exp(x)), [(-5.0,), (0.0,), (3.0,), (50.0,)], 1e-12),
    ("|x: f64| ((2.0 * x - 3.0) * x + 0.5) * x - 7.0",
     lambda x: 2 * x ** 3 - 3 * x ** 2 + 0.5 * x - 7, [(-2.0,), (0.0,), (1.5,), (10.0,)], 1e-9),
    ("|x: f64, lo: f64, hi: f64| if x < lo then lo else if x > hi then hi else x",
     lambda x, lo, hi: min(max(x, lo), hi), [(-1.0, 0.0, 1.0), (0.5, 0.0, 1.0), (3.0, 0.0, 1.0)], 0),
    ("|z: c128, theta: f64| z * (cos(theta) + 1.0j * sin(theta))",
     lambda z, theta: z * cmath.exp(1j * theta), [(1 + 2j, 0.5), (-3j, math.pi)], 1e-12),
    ("|a: i32, b: i32|\nq = a // b\nr = a % b\n(q, r, q * b + r == a)",
     lambda a, b: (math.floor(a / b), a - b * math.floor(a / b), True),
     [(17, 5), (-17, 5), (17, -5), (0, 3)], 0),
    ("|n: i64, x: f64| (n@f64 * x)@i32", lambda n, x: math.trunc(n * x),
     [(3, 2.5), (-3, 2.5), (7, -0.1)], 0),
    # Large float constants become Python ints, which must keep the double's exact value.
    ("|x: f64| (x == 1e23, x < 1e23, x > -1e300)", lambda x: (x == 1e23, x < 1e23, x > -1e300),
     [(1e23,), (-1e300,)], 0),
    ("|x: f64| (sigmoid(x), relu(x), floor(x), ceil(x), abs(x))",
     lambda x: (1 / (1 + math.exp(-x)), max(x, 0.0), math.floor(x), math.ceil(x), abs(x)),
     [(-2.5,), (0.0,), (1.25,)], 1e-15),
]


def close(got, want, tol):
    if isinstance(want, tuple):
        return len(got) == len(want) and all(close(g, w, tol) for g, w in zip(got, want))
    return got == want if tol == 0 else abs(got - want) <= tol * max(1.0, abs(want))


@pytest.mark.parametrize("source, reference, cases, tol", SEMANTICS)
def test_emitted_code_computes_the_kernel(source, reference, cases, tol):
    fn = load(source)
    for args in cases:
        got, want = fn(*args), reference(*args)
        assert close(got, want, tol), (args, got, want)


@pytest.mark.parametrize("source, value", [
    ("|x: f64| 2.5@i32", 2),
    ("|x: f64| -2.5@i32", -2),
    ("|x: f64| 1e300@u8", 2 ** 63 - 1),
    ("|x: f64| 0.5@bool", True),
    ("|x: f64| 0.0@bool", False),
    ("|x: f64| 3@bool", True),
    ("|x: f64| 0@bool", False),
    # Within its own kind, or widening to float or complex, a literal keeps its value.
    ("|x: f64| 3@f32", 3),
    ("|x: f64| 2.5@c64", 2.5),
])
def test_a_literal_with_a_suffix_of_another_kind_takes_a_value_of_that_kind(source, value):
    got = load(source)(1.0)
    assert got == value and type(got) is type(value), (got, value)


def test_renamed_parameters_keep_their_positions():
    fn = load("|x: f64, x: f64, t0: f64, math: f64| x - t0 + exp(math)")
    assert fn(100.0, 2.0, 0.5, 0.0) == 2.5


def test_deeply_nested_kernel():
    depth = 200_000
    source = "|x: f64| " + "-(" * depth + "x" + ")" * depth
    text = _tarvelon.emit_python(source)
    assert text.endswith(f"    t{depth} = -t{depth - 1}\n    return t{depth}\n")


def test_constants_without_a_python_literal_keep_their_values():
    fn = load("|x: f64| (x * -0.0, -0.0j, 1e400 - x, 1e400j * x, -1e400j)")
    zero, czero, inf, cinf, cneg = fn(1.0)
    assert math.copysign(1.0, zero) == -1.0
    assert math.copysign(1.0, czero.real) == -1.0 and math.copysign(1.0, czero.imag) == -1.0
    assert inf == math.inf
    assert math.isinf(cinf.imag) and math.isnan(cinf.real)  # 0 * inf in the real part
    assert cneg.imag == -math.inf
