"""The optimizing path of emit_python: exact results, and a differential property against the
constant-folded unoptimized kernel."""
import math

import numpy
import pytest
from hypothesis import given, strategies as st

import _tarvelon
import _tarvelon_testing
import tarvelon
from test_emit_property import B, C, F, I, kernels


def run(text, args, with_locals=False):
    """Executes an emitted function `k`; with `with_locals`, also returns its temporaries."""
    if with_locals:
        text = text.replace("\n    return ", "\n    return locals(), ")
    namespace = {}
    exec(compile(text, "<kernel>", "exec"), namespace)
    return namespace["k"](*args)


def outcome(text, args, with_locals=False):
    try:
        return ("value", run(text, args, with_locals))
    except (ArithmeticError, ValueError, TypeError) as error:
        return ("raises", type(error))


def raised_anywhere(text, args):
    """The exception types that any line of an emitted function raises when every line whose
    operands exist is run on its own. The language leaves the order of independent operands
    free, and the optimizer reorders them, so of two failing operands either may fail first."""
    namespace = {}
    exec(compile(text.split("\ndef ")[0], "<kernel>", "exec"), namespace)
    header, *lines = text.split("\ndef ")[1].splitlines()
    params = header[header.index("(") + 1:header.index(")")].split(", ")
    namespace.update(zip(params, args))
    raised = set()
    for line in lines:
        statement = line.strip()
        if statement.startswith("return"):
            continue
        try:
            exec(statement, namespace)
        except NameError:  # an operand failed before
            continue
        except (ArithmeticError, ValueError, TypeError) as error:
            raised.add(type(error))
    return raised


def magnitude(value):
    if isinstance(value, tuple):
        return max((magnitude(v) for v in value), default=0.0)
    if isinstance(value, (bool, int, float, complex)):
        m = abs(complex(value))
        return m if math.isfinite(m) else 0.0
    return 0.0


def close(x, y, scale):
    """Equal up to the rounding that reordering sums and products of size `scale` can cause.
    Integers and booleans compare exactly; NaN equals NaN."""
    if isinstance(x, tuple) or isinstance(y, tuple):
        return isinstance(x, tuple) and isinstance(y, tuple) and len(x) == len(y) and all(
            close(a, b, scale) for a, b in zip(x, y))
    if isinstance(x, complex) or isinstance(y, complex):
        x, y = complex(x), complex(y)
        return close(x.real, y.real, scale) and close(x.imag, y.imag, scale)
    if isinstance(x, float) or isinstance(y, float):
        x, y = float(x), float(y)
        if math.isnan(x) or math.isnan(y):
            return math.isnan(x) and math.isnan(y)
        return x == y or math.isclose(x, y, rel_tol=1e-12, abs_tol=1e-12 * scale)
    return x == y


# Quarter steps: sums and products of arguments and most literals are exact, so reordering them
# rarely changes a rounding, and never near a comparison.
QUARTERS = st.integers(-200, 200).map(lambda k: k / 4)
ARGS = {F: QUARTERS, I: st.integers(-20, 20), B: st.booleans(),
        C: st.builds(complex, QUARTERS, QUARTERS)}


@given(kernels(ARGS))
def test_the_optimized_kernel_computes_what_the_folded_kernel_computes(kernel):
    source, args, _ = kernel
    try:
        optimized = _tarvelon.emit_python(source, "k", optimize=True)
    except ValueError as error:
        assert str(error).startswith("optimization failed: only single-output"), (source, error)
        return
    reference = _tarvelon_testing.emit_folded(source)
    want = outcome(reference, args, with_locals=True)
    got = outcome(optimized, args)
    assert got[0] == want[0], (source, args, optimized, reference, got, want)
    if got[0] == "raises":
        assert got[1] is want[1] or got[1] in raised_anywhere(reference, args), (source, args, got, want)
        return
    temporaries, value = want[1]
    scale = max(magnitude(v) for v in temporaries.values())
    assert close(got[1], value, scale), (source, args, optimized, reference, got[1], value)


@pytest.mark.parametrize("source, body", [
    ("|x: f64| sigmoid(exp(x))", "    t1 = x\n    t2 = (1.0 / (1.0 + math.exp(-math.exp(t1))))\n    return t2\n"),
    ("|x: f64| log(sigmoid(x))", "    t1 = x\n    t2 = math.log(1.0 / (1.0 + math.exp(-t1)))\n    return t2\n"),
    ("|x: f64|\ny = x * 2.0\nz = log(exp(y))\n-(-z)", "    t0 = 2\n    t2 = x\n    t3 = (t2 * t0)\n    return t3\n"),
    # The README's example: the folded 2.0 is one constant, the sum's operands come back swapped.
    ("|x: f64, n: i32|\ny = x * 2.0\ny + n@f64",
     "    t1 = n\n    t2 = float(t1)\n    t3 = 2\n    t5 = x\n    t6 = (t5 * t3)\n    t7 = (t6 + t2)\n    return t7\n"),
])
def test_optimized_kernels(source, body):
    header = "import math\n\ndef k(x):\n" if "n: i32" not in source else "import math\n\ndef k(x, n):\n"
    assert _tarvelon.emit_python(source, "k", optimize=True) == header + body


@pytest.mark.parametrize("source", [
    "|x: f64| 0.5j@f64 + x", "|| 0.5j@bool", "|| 0.5j@i32", "|| 1.5j@f16 * 2.0j", "|n: i32| 2.0j@f64 * n",
])
def test_imaginary_literals_with_a_real_suffix_optimize_to_what_they_compute(source):
    args = (1.5,) if "x:" in source else (3,) if "n:" in source else ()
    assert run(_tarvelon.emit_python(source, "k", optimize=True), args) == run(
        _tarvelon.emit_python(source, "k"), args)


@pytest.mark.parametrize("source, message", [
    ("|x: f64| (x, x)", "optimization failed: only single-output DAG is currently supported by optimize"),
    ("", "parse failed: syntax error: expected function header `|...|`"),
    ("|x: f64| y", "lowering failed: undefined variable `y`"),
])
def test_optimizing_failures(source, message):
    with pytest.raises(ValueError) as info:
        _tarvelon.emit_python(source, optimize=numpy.True_)
    assert info.value.args == (message,)


DEPTH = 1_000_000
LARGE_KERNELS = [
    ("deep negation", "|x: f64| " + "-(" * DEPTH + "x" + ")" * DEPTH),
    ("deep parentheses", "|x: f64| " + "(" * DEPTH + "x" + ")" * DEPTH),
    ("long sum", "|x: f64| x" + " + x" * DEPTH),
    ("many lines", "|x: f64|\na0 = x\n" + "".join(f"a{i + 1} = a{i} * 1.5 + x\n" for i in range(100_000)) + "a100000"),
]


@pytest.mark.parametrize("name, source", LARGE_KERNELS, ids=[k[0] for k in LARGE_KERNELS])
def test_large_kernels_optimize_within_the_limits(name, source):
    text = _tarvelon.emit_python(source, "k", optimize=True)
    assert text.startswith("import math\n\ndef k(x):\n")
    # The e-graph is over its node limit from the start, so nothing is rewritten: each node of
    # the kernel is still there.
    if name == "deep negation":
        assert text.count(" = -t") == DEPTH


# Constants of a narrow float dtype that a cast widens: one past the format's range is the
# infinity it is when the kernel runs, optimized or not; one in range keeps the value the emitted
# Python computes with.
@pytest.mark.parametrize("source, typed, python", [
    ("|x: f64| x + 1e40@f32", math.inf, math.inf),
    ("|x: f64| x + 3.4e38@f32 * 2.0@f32", math.inf, math.inf),
    ("|x: f64| x - 70000.0@f16", -math.inf, -math.inf),
    ("|x: f64| x + (1e40j@c64)@c128", complex(1.0, math.inf), complex(1.0, math.inf)),
    ("|x: f64| x + 65520.0@f32@f16", math.inf, math.inf),
    ("|x: f64| x + 65504.0@f16", 65505.0, 65505.0),
    ("|x: f64| x * (0.1 / (0.5 / 1.25))", None, 0.25),
])
def test_folding_widens_narrow_float_constants_as_they_run(source, typed, python):
    if typed is not None:
        for optimize in (False, True):
            assert tarvelon.compile(source, optimize=optimize)(1.0) == typed, optimize
    assert run(_tarvelon.emit_python(source, "k", optimize=True), (1.0,)) == python


# Integer powers that no integer constant holds: folded or optimized, the kernel computes them as
# it does unoptimized (a negative exponent gives a float, of zero a ZeroDivisionError).
@pytest.mark.parametrize("source", ["|| 2 ** -1", "|| (-3) ** -3", "|| 0 ** -1", "|| 3 ** 100",
                                    "|n: i64| n + 2 ** 130"])
def test_integer_powers_beyond_a_constant_run_as_written(source):
    want = outcome(_tarvelon.emit_python(source, "k"), (1,) if "n" in source else ())
    for text in (_tarvelon.emit_python(source, "k", optimize=True),
                 _tarvelon_testing.emit_folded(source)):
        assert outcome(text, (1,) if "n" in source else ()) == want
