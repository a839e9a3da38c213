"""tarvelon.compile and tarvelon.simplify: the callable computes what the emitted text computes,
with arguments converted to their parameters' kinds, and failures raise KernelError."""
import cmath
import copy
import inspect
import os
import pickle
import subprocess
import sys
import threading
import traceback
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given

import _tarvelon
import tarvelon
from test_emit_property import kernels, outcome, same



def exec_emitted(source, name="_kernel"):
    namespace = {}
    exec(_tarvelon.emit_python(source, name), namespace)
    return namespace[name]


# Kernels and argument tuples already of their parameters' kinds.
KERNELS = [
    ("|x: f64, n: i32|\ny = x * 2.0\ny + n@f64", [(1.5, 2), (-0.25, -7)]),
    ("|a: i32, b: i32|\nq = a // b\nr = a % b\n(q, r, q * b + r)", [(7, 2), (-7, 2)]),
    ("|p: bool, q: bool| !p && (q || false)", [(True, False), (False, True)]),
    ("|z: c128, w: c64| z * w + 1.0", [(1 + 2j, 3 - 1j)]),
    ("|x: f64| if x > 0.0 then sqrt(abs(x)) else -x", [(4.0,), (-2.5,)]),
    ("|x: f32| sigmoid(x) + softplus(x) - tanh(x) * relu(x)", [(0.5,), (-3.0,)]),
    ("|u: u8, i: i8| (u + i, u@f32 / 3.0)", [(200, -100)]),
    ("|| 2 ** 10", [()]),
]
CASES = [(source, args) for source, arg_list in KERNELS for args in arg_list]


@pytest.mark.parametrize("source,args", CASES)
def test_callable_computes_what_the_emitted_text_computes(source, args):
    got = tarvelon.compile(source).python(*args)
    expected = exec_emitted(source)(*args)
    assert got == expected
    assert type(got) is type(expected)


@given(kernels())
def test_callable_agrees_with_the_emitted_text_on_random_kernels(kernel):
    source, args, _meaning = kernel
    got = outcome(tarvelon.compile(source, "k").python, args)
    assert same(got, outcome(exec_emitted(source, "k"), args))


# The optimizer takes kernels with a single result.
@pytest.mark.parametrize("source,args", [
    (s, a) for s, a in CASES if isinstance(tarvelon.compile(s).dtype, str)])
def test_optimized_callable_agrees_with_the_unoptimized_one(source, args):
    optimized = tarvelon.compile(source, optimize=True)
    got, expected = optimized.python(*args), tarvelon.compile(source).python(*args)
    assert cmath.isclose(got, expected, rel_tol=1e-12, abs_tol=1e-12)
    assert repr(optimized).endswith(" optimized>")


class Sneaky:
    """Mixed into a number type: arithmetic that would escape the kernel's own."""

    def __add__(self, other):
        return "not computed by the kernel"


class SneakyInt(Sneaky, int):
    pass


class SneakyFloat(Sneaky, float):
    pass


class SneakyComplex(Sneaky, complex):
    pass


CONVERTED = [
    # Subclasses of the numeric types are converted to the plain types first.
    ("|n: i32| n + 1", (SneakyInt(3),), 4),
    ("|x: f64| x + 1.0", (SneakyFloat(2.0),), 3.0),
    ("|z: c128| z + 1.0", (SneakyComplex(1, 2),), 2 + 2j),
    ("|x: f64| x", (3,), 3.0),
    # Python ints would multiply exactly; the parameter's kind makes it a float product.
    ("|x: f64, y: f64| x * y", (10**20, 10**20), 1e40),
    ("|z: c128| z", (2,), 2 + 0j),
    ("|z: c64| z", (np.float32(0.5),), 0.5 + 0j),
    ("|n: i32| n", (np.int32(5),), 5),
    ("|n: u64| n // 2", (True,), 0),
    ("|p: bool| p", (np.True_,), True),
    ("|p: bool| p", (1,), True),
    ("|p: bool| !p", (np.int8(0),), True),
    ("|x: f64| x", (Fraction(1, 4),), 0.25),
    ("|x: f64| -x", (0.0,), -0.0),
]


@pytest.mark.parametrize("source,args,expected", CONVERTED)
def test_arguments_are_converted_to_their_parameters_kind(source, args, expected):
    got = tarvelon.compile(source).python(*args)
    assert got == expected
    assert type(got) is type(expected)


class Text(str):
    pass


NOT_CONVERTIBLE = [
    # Text is refused by every kind, though float() and complex() would parse it.
    ("|x: f64| x", ("1.5",), "_kernel() argument 'x' (f64) must be a real number, not str"),
    ("|x: f32| x", ("nan",), "_kernel() argument 'x' (f32) must be a real number, not str"),
    ("|x: f64| x", (b"1.5",), "_kernel() argument 'x' (f64) must be a real number, not bytes"),
    ("|x: f64| x", (bytearray(b"1"),),
     "_kernel() argument 'x' (f64) must be a real number, not bytearray"),
    ("|z: c128| z", ("1+2j",), "_kernel() argument 'z' (c128) must be a number, not str"),
    ("|z: c64| z", (Text("1"),), "_kernel() argument 'z' (c64) must be a number, not Text"),
    ("|n: i64| n", ("1",), "_kernel() argument 'n' (i64) must be an integer, not str"),
    ("|p: bool| p", ("true",), "_kernel() argument 'p' (bool) must be a bool or an integer, not str"),
    ("|x: f64| x", (10**400,),
     "_kernel() argument 'x' (f64) must be a real number: int too large to convert to float"),
    ("|x: f64, n: i32| x", (1.0, 2.5), "_kernel() argument 'n' (i32) must be an integer, not float"),
    ("|p: bool| p", (0.0,), "_kernel() argument 'p' (bool) must be a bool or an integer, not float"),
    ("|z: c64| z", (None,), "_kernel() argument 'z' (c64) must be a number, not NoneType"),
    ("|TypeError: f64| TypeError", ("a",),
     "_kernel() argument 'TypeError' (f64) must be a real number, not str"),
    ("|class: f64| class", ([],), "_kernel() argument 'p0' (f64) must be a real number, not list"),
]


@pytest.mark.parametrize("source,args,message", NOT_CONVERTIBLE)
def test_an_argument_that_does_not_convert_names_its_parameter(source, args, message):
    with pytest.raises(TypeError) as info:
        tarvelon.compile(source).python(*args)
    assert str(info.value) == message


DESCRIBED = [
    ("|x: f64, n: i32| x", "scale", "(x, n)", "scale(x: f64, n: i32) -> f64"),
    ("|a: i32, b: i32| (a, b@f32)", "pair", "(a, b)", "pair(a: i32, b: i32) -> (i32, f32)"),
    # Names that are no Python parameter take the emitted function's names.
    ("|class: f64, x: f64| class", "f", "(p0, x)", "f(p0: f64, x: f64) -> f64"),
    ("|| 1", "_kernel", "()", "_kernel() -> i8"),
]


@pytest.mark.parametrize("source,name,signature,described", DESCRIBED)
def test_kernel_describes_itself(source, name, signature, described):
    kernel = tarvelon.compile(source, name)
    assert str(inspect.signature(kernel)) == signature
    assert repr(kernel) == f"<tarvelon.Kernel {described}>"
    assert kernel.__doc__.splitlines()[0] == described
    assert kernel.source == source
    assert kernel.python_source == _tarvelon.emit_python(source, name)
    assert kernel.raw.__name__ == kernel.__name__ == name


def test_params_and_dtype_use_the_kernels_own_names():
    kernel = tarvelon.compile("|class: f64, n: u8| (n, class)")
    assert kernel.params == (("class", "f64"), ("n", "u8"))
    assert kernel.params[1].dtype == "u8"
    assert kernel.dtype == ("u8", "f64")
    assert tarvelon.compile("|x: c64| x").dtype == "c64"


def test_arguments_bind_by_keyword_and_raw_skips_the_conversion():
    kernel = tarvelon.compile("|x: f64, n: i32| x - n@f64")
    assert kernel.python(n=1, x=4) == 3.0
    assert kernel.raw(4, 1) == 3
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'n'"):
        kernel.python(1.0)


@pytest.mark.parametrize("name", ["scale", "math", "float", "complex", "_raw", "ﬁ", "match"])
def test_any_identifier_names_a_working_kernel(name):
    # The body refers to math, float and complex; a kernel of that name must not hide them.
    kernel = tarvelon.compile("|_raw: i32, z: c64| exp(_raw@f64) + z + 1.5", name)
    assert kernel.python(0, 1j) == 2.5 + 1j


@pytest.mark.parametrize("name", ["", "1x", "a b", "f(x)", "class", "None", "x\ndef y"])
def test_a_name_that_is_no_identifier_is_refused(name):
    with pytest.raises(ValueError) as info:
        tarvelon.compile("|x: f64| x", name)
    assert str(info.value) == f"kernel name {name!r} is not a Python identifier"
    assert not isinstance(info.value, tarvelon.KernelError)


@pytest.mark.parametrize("call,message", [
    (lambda: tarvelon.compile("|x: f64| x", None),
     "compile() argument 'name' must be str, not NoneType"),
    (lambda: tarvelon.compile(b"|x: f64| x"), "compile() argument 'source' must be str, not bytes"),
    (lambda: tarvelon.compile("|x: f64| x", optimize=1),
     "compile() argument 'optimize' must be bool, not int"),
    (lambda: tarvelon.compile("|x: f64| x", optimize=np.True_),
     "compile() argument 'optimize' must be bool, not bool_"),
    (lambda: tarvelon.simplify("|x: f64| x", optimize="yes"),
     "simplify() argument 'optimize' must be bool, not str"),
    (lambda: tarvelon.simplify(None), "simplify() argument 'source' must be str, not NoneType"),
])
def test_wrong_argument_types_name_the_packages_function(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_a_traceback_from_inside_a_kernel_shows_the_emitted_line():
    kernel = tarvelon.compile("|a: i32, b: i32|\nq = a // b\nq + 1", "quotient")
    with pytest.raises(ZeroDivisionError) as info:
        kernel.python(1, 0)
    frame = traceback.extract_tb(info.value.__traceback__)[-1]
    assert (frame.name, frame.line) == ("quotient", "t2 = (t0 // t1)")
    assert frame.lineno == kernel.python_source.splitlines().index("    t2 = (t0 // t1)") + 1


def test_an_error_inside_the_kernel_is_not_blamed_on_an_argument():
    with pytest.raises(ValueError, match="^math domain error$"):
        tarvelon.compile("|x: f64| log(x)").python(-1.0)


def test_compiling_again_returns_the_cached_kernel():
    source = "|x: f64| x * 3.0"
    kernel = tarvelon.compile(source, "triple")
    assert tarvelon.compile(source, "triple") is kernel
    assert tarvelon.compile(source, "other") is not kernel


FAILING = [
    ("", ["Syntax"]),
    ("|x: f64|\n# comment\ny = 2j + x\ny", ["IntImaginary"]),
    ("|x: f64| z + y", ["UndefinedVariable", "UndefinedVariable"]),
    # Warnings and notes of the failed stage come along, after its errors.
    ("|x: f64|\ny = x@f32@i64\nz", ["UndefinedVariable", "RedundantCast"]),
]


@pytest.mark.parametrize("source,kinds", FAILING)
def test_kernel_error_carries_the_module_message_and_the_stage_diagnostics(source, kinds):
    with pytest.raises(ValueError) as module_error:
        _tarvelon.emit_python(source)
    with pytest.raises(tarvelon.KernelError) as info:
        tarvelon.compile(source)
    assert str(info.value) == str(module_error.value)
    assert [d.kind for d in info.value.diagnostics] == kinds


@pytest.mark.parametrize("source", ["|x: f64| x * 1.0 + 0.0", "|a: i32, b: i32| (a + 2) * b"])
def test_simplify_returns_the_modules_text(source):
    assert tarvelon.simplify(source) == _tarvelon.simplify_expr(source)


@pytest.mark.parametrize("source,message,kinds", [
    ("|x: f64| z", "lowering failed: undefined variable `z`", ["UndefinedVariable"]),
    # A failure after lowering has no diagnostics to point at.
    ("|x: f64| (x, x)", "expected a single output expression, got 2", []),
])
def test_simplify_failures_raise_kernel_error(source, message, kinds):
    with pytest.raises(tarvelon.KernelError) as info:
        tarvelon.simplify(source)
    assert str(info.value) == message
    assert [d.kind for d in info.value.diagnostics] == kinds


def test_copies_of_text_compile_to_the_same_kernel_holding_plain_text():
    kernel = tarvelon.compile(Text("|x: f64| x * 5.0"), Text("quintuple"))
    assert tarvelon.compile("|x: f64| x * 5.0", "quintuple") is kernel
    assert type(kernel.source) is str


@pytest.mark.parametrize("attribute", ["source", "python_source", "params", "dtype", "optimize",
                                       "raw", "__name__", "__doc__", "__signature__", "other"])
def test_a_kernel_is_immutable(attribute):
    source = "|x: f64| x * 4.0"
    kernel = tarvelon.compile(source)
    with pytest.raises(AttributeError):
        setattr(kernel, attribute, "mutated")
    with pytest.raises(AttributeError):
        delattr(kernel, attribute)
    assert tarvelon.compile(source).source == source
    assert not hasattr(kernel, "__dict__")


def test_changing_the_raw_function_leaves_the_shared_kernel_alone():
    kernel = tarvelon.compile("|x: f64| sqrt(x)")
    raw = kernel.raw
    raw.__globals__["math"] = None
    raw.__code__ = (lambda x: -1).__code__
    assert (kernel(4.0), kernel.raw(4.0)) == (2.0, 2.0)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_a_kernel_pickles_by_value_and_loads_as_the_cached_kernel(protocol):
    kernel = tarvelon.compile("|a: i32, b: f64| (a, b)", "pair", optimize=False)
    assert pickle.loads(pickle.dumps(kernel, protocol)) is kernel
    assert copy.copy(kernel) is kernel and copy.deepcopy(kernel) is kernel


def test_a_pickled_kernel_loads_in_another_process():
    kernel = tarvelon.compile("|x: f64| x * 2.0 + 1.0", "affine", optimize=True)
    program = ("import pickle, sys; k = pickle.load(sys.stdin.buffer); "
               "print(k.__name__, k.optimize, k(2))")
    result = subprocess.run([sys.executable, "-c", program], input=pickle.dumps(kernel),
                            capture_output=True, timeout=60, env={**os.environ, "PYTHONPATH": ":".join(sys.path)})
    assert (result.returncode, result.stdout, result.stderr) == (0, b"affine True 5.0\n", b"")


@pytest.mark.parametrize("source,outcome", [
    ("|x: f64|\n" + "x = x + 1.5\n" * 3000 + "x", tarvelon.Kernel),
    ("|x: f64|\n" + "x = x + 1.5\n" * 3000 + "zz", tarvelon.KernelError),
])
def test_threads_compiling_one_kernel_at_once_get_one_object(source, outcome):
    threads, start = 8, threading.Barrier(8)
    results = []

    def compile_it():
        start.wait()
        try:
            results.append(tarvelon.compile(source, "racing"))
        except tarvelon.KernelError as error:
            results.append(error)

    workers = [threading.Thread(target=compile_it) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert all(isinstance(result, outcome) for result in results) and len(results) == threads
    if outcome is tarvelon.Kernel:
        assert len({id(result) for result in results}) == 1
