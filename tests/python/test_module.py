"""The module surface of _tarvelon: contents, argument binding and exception mapping."""
import sys
import tracemalloc
import types

import numpy
import pytest

import _tarvelon

KERNEL = "|x: f64| x"


class bool_:  # noqa: N801: named and placed like NumPy's boolean scalar, but not it
    def __bool__(self):
        return False


bool_.__module__ = "numpy"
EMITTED = "import math\n\ndef _kernel(x):\n    t0 = x\n    return t0\n"


def test_module_contents():
    public = [n for n in vars(_tarvelon) if not n.startswith("__")]
    assert public == ["simplify_expr", "emit_python"]
    assert _tarvelon.__version__ == "0.0.1"
    assert _tarvelon.__doc__ == ""


@pytest.mark.parametrize("name, signature", [
    ("emit_python", '(source, function_name="_kernel", *, optimize=False)'),
    ("simplify_expr", "(source, *, optimize=False)"),
])
def test_functions_publish_their_signatures(name, signature):
    fn = getattr(_tarvelon, name)
    assert fn.__text_signature__ == signature
    assert fn.__module__ == "_tarvelon"
    assert fn.__name__ == name


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((KERNEL,), {}),
        ((), {"source": KERNEL}),
        ((KERNEL, "_kernel"), {}),
        ((KERNEL,), {"function_name": "_kernel"}),
        ((), {"function_name": "_kernel", "source": KERNEL, "optimize": False}),
        ((KERNEL,), {"optimize": numpy.False_}),
    ],
)
def test_binding_accepts_every_legal_form(args, kwargs):
    assert _tarvelon.emit_python(*args, **kwargs) == EMITTED


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "emit_python() missing required argument 'source' (pos 1)"),
        ((), {"function_name": "f"}, "emit_python() missing required argument 'source' (pos 1)"),
        ((KERNEL, "f", True), {}, "emit_python() takes at most 2 positional arguments (3 given)"),
        ((KERNEL,), {"optimise": True}, "emit_python() got an unexpected keyword argument 'optimise'"),
        ((KERNEL,), {"source": KERNEL}, "emit_python() got multiple values for argument 'source'"),
        ((KERNEL, "f"), {"function_name": "g"},
         "emit_python() got multiple values for argument 'function_name'"),
        ((b"|x: f64| x",), {}, "emit_python() argument 'source' must be str, not bytes"),
        ((None,), {}, "emit_python() argument 'source' must be str, not NoneType"),
        ((KERNEL, 3), {}, "emit_python() argument 'function_name' must be str, not int"),
        ((KERNEL,), {"optimize": 1}, "emit_python() argument 'optimize' must be bool, not int"),
        ((KERNEL,), {"optimize": None}, "emit_python() argument 'optimize' must be bool, not NoneType"),
        ((KERNEL,), {"optimize": numpy.int8(1)},
         "emit_python() argument 'optimize' must be bool, not numpy.int8"),
        ((KERNEL,), {"optimize": "yes"}, "emit_python() argument 'optimize' must be bool, not str"),
        ((KERNEL,), {"optimize": bool_()}, "emit_python() argument 'optimize' must be bool, not bool_"),
    ],
)
def test_binding_failures_raise_type_error(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        _tarvelon.emit_python(*args, **kwargs)
    assert str(info.value) == message


class Interrupted(BaseException):
    pass


def numpy_standin(**attributes):
    """A module that takes NumPy's place in sys.modules."""
    module = types.ModuleType("numpy")
    vars(module).update(attributes)
    return module


def interrupt(name):
    """An interrupt arriving while NumPy's boolean type is looked up."""
    if name == "bool_":
        raise Interrupted(name)
    raise AttributeError(name)


@pytest.mark.parametrize(
    "standin, error",
    [
        # The look-up itself fails: that failure reaches the caller unchanged.
        (numpy_standin(__getattr__=interrupt), Interrupted),
        # NumPy without a boolean type: the argument is simply not a bool.
        (numpy_standin(), TypeError),
    ],
)
def test_looking_up_numpy_bool(monkeypatch, standin, error):
    monkeypatch.setitem(sys.modules, "numpy", standin)
    with pytest.raises(error):
        _tarvelon.emit_python(KERNEL, optimize=object())


@pytest.mark.parametrize("args, kwargs", [
    ((KERNEL,), {}),
    ((), {"source": KERNEL}),
    ((), {"optimize": False, "source": KERNEL}),
    ((KERNEL,), {"optimize": numpy.False_}),
])
def test_simplify_expr_binding_accepts_every_legal_form(args, kwargs):
    assert _tarvelon.simplify_expr(*args, **kwargs) == "x"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "simplify_expr() missing required argument 'source' (pos 1)"),
        ((), {"optimize": False}, "simplify_expr() missing required argument 'source' (pos 1)"),
        ((KERNEL, False), {}, "simplify_expr() takes at most 1 positional argument (2 given)"),
        ((KERNEL,), {"function_name": "f"},
         "simplify_expr() got an unexpected keyword argument 'function_name'"),
        ((KERNEL,), {"source": KERNEL}, "simplify_expr() got multiple values for argument 'source'"),
        ((b"|x: f64| x",), {}, "simplify_expr() argument 'source' must be str, not bytes"),
        ((KERNEL,), {"optimize": 1}, "simplify_expr() argument 'optimize' must be bool, not int"),
        ((KERNEL,), {"optimize": numpy.int8(1)},
         "simplify_expr() argument 'optimize' must be bool, not numpy.int8"),
        ((KERNEL,), {"optimize": bool_()},
         "simplify_expr() argument 'optimize' must be bool, not bool_"),
    ],
)
def test_simplify_expr_binding_failures_raise_type_error(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        _tarvelon.simplify_expr(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("flag", [True, numpy.True_, numpy.bool_(1)])
def test_a_true_flag_runs_the_optimizer(flag):
    assert _tarvelon.emit_python("|x: f64| -(-x)", optimize=flag) == (
        "import math\n\ndef _kernel(x):\n    t1 = x\n    return t1\n")


def test_errors_of_earlier_stages_come_before_the_optimizer():
    with pytest.raises(ValueError) as info:
        _tarvelon.emit_python("|| (1, 2)\n)", optimize=True)
    assert info.value.args[0].startswith("parse failed: ")


@pytest.mark.parametrize("fn, args", [
    (_tarvelon.emit_python, ("|x: f64| x\udc80",)),
    (_tarvelon.emit_python, (KERNEL, "f\ud800")),
    (_tarvelon.simplify_expr, ("|x: f64| x\udc80",)),
])
def test_lone_surrogates_raise_the_utf8_conversion_error(fn, args):
    with pytest.raises(UnicodeEncodeError):
        fn(*args)


def test_errors_are_value_errors_with_the_pipeline_text():
    with pytest.raises(ValueError) as info:
        _tarvelon.emit_python("")
    assert info.value.args == ("parse failed: syntax error: expected function header `|...|`",)


def test_the_function_name_is_passed_through_unchecked():
    assert _tarvelon.emit_python(KERNEL, "f").startswith("import math\n\ndef f(x):\n")
    assert _tarvelon.emit_python(KERNEL, "").startswith("import math\n\ndef (x):\n")
    assert _tarvelon.emit_python(KERNEL, "a\0b").startswith("import math\n\ndef a\0b(x):\n")


def test_repeated_calls_do_not_leak():
    calls = [
        lambda: _tarvelon.emit_python(KERNEL, "k"),
        lambda: _tarvelon.emit_python(""),
        lambda: _tarvelon.emit_python("|x: i32| x / 2"),
        lambda: _tarvelon.emit_python(KERNEL, optimize=numpy.False_),
        lambda: _tarvelon.emit_python(KERNEL, source=KERNEL),
        lambda: _tarvelon.emit_python(KERNEL, optimize=3),
        lambda: _tarvelon.emit_python("\udc80"),
        lambda: _tarvelon.simplify_expr("|x: f64|\na = x * x\n(a + 1.0) * a"),
        lambda: _tarvelon.simplify_expr("|x: f64| (x, x)"),
        lambda: _tarvelon.simplify_expr(KERNEL, optimize=True),
        lambda: _tarvelon.simplify_expr(KERNEL, optimize=1),
    ]

    def run(times):
        for _ in range(times):
            for call in calls:
                try:
                    call()
                except (ValueError, TypeError, UnicodeEncodeError):
                    pass

    run(10)
    tracemalloc.start()
    try:
        run(10)
        before = tracemalloc.get_traced_memory()[0]
        run(2000)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # 22,000 calls: one leaked object a call would be over 600 KB, while the interpreter's own
    # caches drift by a few KB between runs (more under the sanitizer).
    assert grown < 64_000


# ---- the package's native module, which shares `_tarvelon`'s library and binding ------------

from tarvelon import _native  # noqa: E402: the module's own surface is tested above

NATIVE_KERNELS = [
    "",
    "|x: f64|\ny = 2j\ny",
    "|| a + b",
    "|x: f64, n: u64|\ny = x@f32@i64 + n\n(z, y, x * 2)",
    "|x: f32|\ny = 0.1@f32\nx + y * 2",
    "|x: f64| (x, x * 2)",
    "|| 2 + 3 * 4",
]


def outcome(fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs), None
    except ValueError as error:
        return None, str(error)


@pytest.mark.parametrize("source", NATIVE_KERNELS)
@pytest.mark.parametrize("optimize", [False, True])
def test_one_native_compilation_gives_the_text_the_error_and_every_diagnostic(source, optimize):
    diagnosis = _native.analyze(source)
    emitted = _native.compile(source, "f", optimize=optimize)
    assert emitted[:4] == diagnosis
    assert emitted[4:6] == outcome(_tarvelon.emit_python, source, "f", optimize=optimize)
    assert emitted[6] is None
    simplified = _native.simplify(source, optimize=optimize)
    assert simplified[:4] == diagnosis
    assert simplified[4:6] == outcome(_tarvelon.simplify_expr, source, optimize=optimize)
    assert simplified[6] is None
    with_evaluator = _native.compile(source, "f", optimize=optimize, evaluator=True)
    assert with_evaluator[:6] == emitted[:6]
    assert (with_evaluator[6] is None) == (emitted[5] is not None)


# Each evaluator takes its arguments under the names the emitted def line gives the parameters,
# which differ from the kernel's own where those would break the Python function, and differ
# between the unoptimized and the optimized kernel when a clashing temporary is folded away.
@pytest.mark.parametrize("source, args, expected", [
    ("|x: i32, y: i32| x - y", (5, 1), 4),
    ("|t0: i32, y: i32|\nt1 = t0 * 2\nt1 - y", (3, 1), 5),
    ("|lambda: u8| lambda + 250@u8", (10,), 4),
    ("|x: f64| x < 1", (0.5,), True),
])
@pytest.mark.parametrize("optimize", [False, True])
def test_native_evaluator_binds_the_emitted_parameter_names(source, args, expected, optimize):
    *_, text, error, evaluator = _native.compile(source, "f", optimize=optimize, evaluator=True)
    assert error is None and evaluator.refusal is None
    namespace = {}
    exec(text, namespace)
    code = namespace["f"].__code__
    names = code.co_varnames[:code.co_argcount]
    assert evaluator(**dict(zip(names, args))) == expected
    assert evaluator(*args, out=None) == expected


def test_native_evaluator_comes_only_from_a_compilation():
    with pytest.raises(TypeError):
        _native.Evaluator()
    *_, evaluator = _native.compile("|z: c64| z < z", "cmp", evaluator=True)
    assert evaluator.refusal is not None
    with pytest.raises(ValueError, match=r"^cmp\(\): "):
        evaluator(1j)


@pytest.mark.parametrize("call, error, message", [
    (lambda: _native.compile(KERNEL, optimize=1), TypeError,
     "compile() argument 'optimize' must be bool, not int"),
    (lambda: _native.compile(KERNEL, "f", True), TypeError,
     "compile() takes at most 2 positional arguments (3 given)"),
    (lambda: _native.simplify(b"|| 1"), TypeError,
     "simplify() argument 'source' must be str, not bytes"),
    (lambda: _native.simplify(KERNEL, function_name="f"), TypeError,
     "simplify() got an unexpected keyword argument 'function_name'"),
    (lambda: _native.analyze(None), TypeError,
     "analyze() argument 'source' must be str, not NoneType"),
    (lambda: _native.analyze("\udc80"), UnicodeEncodeError, None),
])
def test_native_binding_failures_name_the_native_function(call, error, message):
    with pytest.raises(error) as info:
        call()
    if message is not None:
        assert str(info.value) == message


def test_native_module_contents():
    assert [n for n in vars(_native) if not n.startswith("__")] == [
        "InternalFault", "analyze", "compile", "simplify", "Evaluator", "RoutedCall", "ufunc",
        "routed_call"]
    assert issubclass(_native.InternalFault, BaseException)
    assert not issubclass(_native.InternalFault, Exception)
    assert (_native.compile.__text_signature__
            == '(source, function_name="_kernel", *, optimize=False, evaluator=False)')
    assert _native.__file__ == _tarvelon.__file__
