"""Typed evaluation through tarvelon.compile: what each operation computes in its dtype, how
arguments convert and broadcast, and the shape, dtype and destination of results."""
import _thread
import threading
import time

import numpy as np
import pytest

import tarvelon
from typed_reference import same_values

nan, inf = float("nan"), float("inf")
A = np.array


def values(kernel_source, *args):
    return tarvelon.compile(kernel_source, "k")(*args)


# One group per rule: (kernel, arguments, expected result with its NumPy dtype).
CASES = {
    "negation wraps integers and flips float signs": [
        ("|x: i8| -x", [A([-128, 5], np.int8)], A([-128, -5], np.int8)),
        ("|x: u8| -x", [A([1, 0], np.uint8)], A([255, 0], np.uint8)),
        ("|x: f32| -x", [A([0.0, nan], np.float32)], A([-0.0, nan], np.float32)),
    ],
    "logic computes both operands": [
        ("|p: bool, q: bool| (!p, p && q, p || q)", [A([True, False]), A([True, True])],
         (A([False, True]), A([True, False]), A([True, True]))),
    ],
    "integer arithmetic wraps": [
        ("|a: u8, b: u8| a + b", [A([200], np.uint8), A([100], np.uint8)], A([44], np.uint8)),
        ("|a: i8, b: i8| a * b", [A([100], np.int8), A([3], np.int8)], A([44], np.int8)),
        ("|a: u64, b: u64| a - b", [A([0], np.uint64), A([1], np.uint64)],
         A([2**64 - 1], np.uint64)),
        ("|a: i64| a + 1@i64", [A([2**63 - 1])], A([-2**63])),
    ],
    "bool arithmetic counts 0 and 1, the result is nonzero": [
        ("|p: bool, q: bool| (p + q, p - q, p * q)", [A([True, True, False]),
                                                       A([True, False, False])],
         (A([True, True, False]), A([False, True, False]), A([True, False, False]))),
    ],
    "narrow floats round once to their format": [
        ("|x: f16, y: f16| x + y", [A([1.0], np.float16), A([2.0**-11], np.float16)],
         A([1.0], np.float16)),
        ("|x: f16, y: f16| x * y", [A([300.0], np.float16), A([300.0], np.float16)],
         A([inf], np.float16)),
        ("|x: bf16, y: bf16| x + y", [A([1.0]), A([2.0**-8])], A([1.0], np.float32)),
        ("|x: bf16, y: bf16| x + y", [A([1.0]), A([3 * 2.0**-8])], A([1.015625], np.float32)),
        ("|x: f32| x + 0.1@f32", [A([0.0], np.float32)], A([0.1], np.float32)),
    ],
    "float division follows IEEE": [
        ("|x: f32, y: f32| x / y", [A([1.0, -1.0, 0.0], np.float32), A([0.0, 0.0, 0.0],
                                                                       np.float32)],
         A([inf, -inf, nan], np.float32)),
    ],
    "integer floor division and remainder take the divisor's sign; zero gives 0": [
        ("|a: i32, b: i32| (a // b, a % b)", [A([7, -7, 7, 5], np.int32),
                                               A([-2, 2, 0, 1], np.int32)],
         (A([-4, -4, 0, 5], np.int32), A([-1, 1, 0, 0], np.int32))),
        ("|a: i8, b: i8| (a // b, a % b)", [A([-128], np.int8), A([-1], np.int8)],
         (A([-128], np.int8), A([0], np.int8))),
        ("|a: u16, b: u16| (a // b, a % b)", [A([9], np.uint16), A([0], np.uint16)],
         (A([0], np.uint16), A([0], np.uint16))),
    ],
    "float remainder takes the divisor's sign; x % 0 is NaN": [
        ("|x: f64, y: f64| x % y", [A([5.5, -5.5, 1.0, 4.0]), A([-2.0, 2.0, 0.0, -2.0])],
         A([-0.5, 0.5, nan, -0.0])),
    ],
    "integer powers wrap; negative exponents cut toward zero": [
        ("|a: u8, b: u8| a ** b", [A([2, 3, 0], np.uint8), A([10, 5, 0], np.uint8)],
         A([0, 243, 1], np.uint8)),
        ("|a: i8, b: i8| a ** b", [A([3, 2, 1, -1, -1, 0], np.int8),
                                   A([5, -1, -5, -3, -2, -1], np.int8)],
         A([-13, 0, 1, -1, 1, 0], np.int8)),
    ],
    "float powers follow C pow": [
        ("|x: f64, y: f64| x ** y", [A([0.0, -8.0, 2.0, nan]), A([0.0, 1.0 / 3, -1.0, 0.0])],
         A([1.0, nan, 0.5, 1.0])),
    ],
    "comparisons follow IEEE; complex equality compares both parts": [
        ("|x: f32, y: f32| (x == y, x != y, x < y)", [A([nan, 1.0], np.float32),
                                                       A([nan, 2.0], np.float32)],
         (A([False, False]), A([True, True]), A([False, True]))),
        ("|z: c64, w: c64| z == w", [A([1 + 2j, 1 + 2j], np.complex64),
                                     A([1 + 3j, 1 + 2j], np.complex64)], A([False, True])),
    ],
    "a select computes both branches and never raises": [
        ("|c: bool, a: i32, b: i32| if c then a // b else a % b",
         [A([True, False]), A([7, 7], np.int32), A([0, 0], np.int32)], A([0, 0], np.int32)),
    ],
    "exact float builtins": [
        ("|x: f32| (abs(x), floor(x), ceil(x), relu(x))", [A([-0.0, -0.5, nan], np.float32)],
         (A([0.0, 0.5, nan], np.float32), A([-0.0, -1.0, nan], np.float32),
          A([-0.0, -0.0, nan], np.float32), A([0.0, 0.0, 0.0], np.float32))),
        ("|x: f64| sqrt(x)", [A([4.0, -1.0, -0.0, inf])], A([2.0, nan, -0.0, inf])),
    ],
    "composite builtins do not overflow": [
        ("|x: f32| (softplus(x), sigmoid(x))", [A([1000.0, -1000.0], np.float32)],
         (A([1000.0, 0.0], np.float32), A([1.0, 0.0], np.float32))),
    ],
    "integer builtins": [
        ("|x: i8| (abs(x), relu(x), floor(x), ceil(x))", [A([-128, -5, 7], np.int8)],
         (A([-128, 5, 7], np.int8), A([0, 0, 7], np.int8), A([-128, -5, 7], np.int8),
          A([-128, -5, 7], np.int8))),
        # Computed in f64, then cut to the integer: e**2 = 7.39; sqrt(-1) is NaN, which gives 0.
        ("|x: i32| (exp(x), sqrt(x))", [A([2, -1], np.int32)],
         (A([7, 0], np.int32), A([1, 0], np.int32))),
    ],
    "complex builtins": [
        ("|z: c128| abs(z)", [A([3 + 4j])], A([5 + 0j])),
        ("|z: c128| exp(z)", [A([0j])], A([1 + 0j])),
    ],
    "casts": [
        ("|p: bool| (p@f32, p@u8)", [A([True, False])],
         (A([1.0, 0.0], np.float32), A([1, 0], np.uint8))),
        ("|x: f32| x@bool", [A([nan, 0.0, -0.0, 0.5], np.float32)],
         A([True, False, False, True])),
        ("|z: c64| z@bool", [A([1j, 0j], np.complex64)], A([True, False])),
        ("|x: u16| x@u8", [A([300], np.uint16)], A([44], np.uint8)),
        ("|x: i32| x@f16", [A([70000, 2049], np.int32)], A([inf, 2048.0], np.float16)),
        ("|x: f64| x@f32", [A([1e300, 0.1])], A([inf, 0.1], np.float32)),
        ("|x: f64| x@bf16", [A([1.00390625, 1 + 2.0**-8 + 2.0**-40])],
         A([1.0, 1.0078125], np.float32)),
        ("|x: f32| x@i8", [A([300.7, -1e10, nan, -0.9, -128.9], np.float32)],
         A([127, -128, 0, 0, -128], np.int8)),
        ("|x: f64| x@u64", [A([-5.0, 1e30, 2.0**63])], A([0, 2**64 - 1, 2**63], np.uint64)),
        ("|z: c64| z@f32", [A([1.5 - 2j], np.complex64)], A([1.5], np.float32)),
        ("|x: f32| x@c128", [A([0.1], np.float32)], A([complex(np.float32(0.1))])),
    ],
}

ROWS = [pytest.param(*row, id=f"{group}-{k}") for group, rows in CASES.items()
        for k, row in enumerate(rows)]


@pytest.mark.parametrize("source,args,expected", ROWS)
def test_each_operation_computes_in_its_dtype(source, args, expected):
    got = values(source, *args)
    pairs = zip(got, expected) if isinstance(expected, tuple) else [(got, expected)]
    assert isinstance(got, tuple) == isinstance(expected, tuple)
    for g, e in pairs:
        assert g.dtype == e.dtype
        assert same_values(g, e, "c128" if e.dtype.kind == "c" else "f64"
                           if e.dtype.kind == "f" else "i64"), (g, e)


def test_the_two_meanings_differ_where_the_dtypes_matter():
    kernel = tarvelon.compile("|a: u8, b: u8| a + b", "k")
    assert kernel(200, 100) == np.uint8(44)
    assert kernel.python(200, 100) == 300


# ---- refusals --------------------------------------------------------------------------------

@pytest.mark.parametrize("source,operation", [
    ("|z: c64, w: c64| z < w", "`<` on c64"),
    ("|z: c128, w: c128| z % w", "`%` on c128"),
    ("|z: c64| relu(z)", "`relu` on c64"),
])
def test_a_kernel_without_typed_meaning_compiles_but_refuses_a_typed_call(source, operation):
    kernel = tarvelon.compile(source, "k")
    assert kernel.python_source
    with pytest.raises(ValueError) as info:
        kernel(*([1j] * len(kernel.params)))
    assert str(info.value) == f"k(): cannot evaluate {operation}"


# ---- arguments -------------------------------------------------------------------------------

CONVERTED = [
    # Python numbers by value, NumPy data under same_kind; bf16 through float32.
    ("|n: u8| n", (255,), np.uint8(255)),
    ("|n: i64| n", (True,), np.int64(1)),
    ("|p: bool| p", (2,), np.True_),
    ("|x: f16| x", (1 + 2**-12,), np.float16(1.0)),
    ("|x: f32| x", (np.float64(0.1),), np.float32(0.1)),
    ("|n: u8| n", (np.uint16(300),), np.uint8(44)),
    ("|x: bf16| x", (1.00390625,), np.float32(1.0)),
    # Just above a tie: rounding to float32 first would land on the tie and round down.
    ("|x: bf16| x", (1 + 2**-8 + 2**-40,), np.float32(1.0078125)),
    ("|x: bf16| x", (A(1 + 2**-8 + 2**-40),), np.float32(1.0078125)),
    ("|z: c64| z", (1,), np.complex64(1)),
    ("|x: f64| x", (2**70,), np.float64(2.0**70)),
    ("|n: u64| n", (2**64 - 1,), np.uint64(2**64 - 1)),
]


@pytest.mark.parametrize("source,args,expected", CONVERTED)
def test_scalar_arguments_convert_and_give_a_numpy_scalar(source, args, expected):
    got = values(source, *args)
    assert type(got) is type(expected)
    assert got == expected


REFUSED = [
    ("|n: u8| n", (256,), OverflowError, "k() argument 'n' (u8): 256 is out of range for u8"),
    ("|n: i8| n", (-129,), OverflowError, "k() argument 'n' (i8): -129 is out of range for i8"),
    ("|n: u64| n", (-1,), OverflowError, "k() argument 'n' (u64): -1 is out of range for u64"),
    ("|n: u8| n", ([1, 300],), OverflowError,
     "k() argument 'n' (u8): 300 is out of range for u8"),
    ("|n: i64| n", ([2**70],), OverflowError,
     "k() argument 'n' (i64): 1180591620717411303424 is out of range for i64"),
    ("|n: i32| n", (2.5,), TypeError, "k() argument 'n' (i32) must be an integer, not float"),
    ("|p: bool| p", ([0.5],), TypeError, "k() argument 'p' (bool) must be a bool or an integer, not float"),
    ("|x: f32| x", (1j,), TypeError, "k() argument 'x' (f32) must be a real number, not complex"),
    ("|x: f32| x", ("1.5",), TypeError,
     "k() argument 'x' (f32) must be a number or an array, not str"),
    ("|x: f32| x", (["1.5"],), TypeError, "k() argument 'x' (f32) must hold numbers, not <U3"),
    ("|x: f32| x", (None,), TypeError,
     "k() argument 'x' (f32) must be a number or an array, not NoneType"),
    ("|" + ", ".join(f"a{i}: f64" for i in range(32)) + "| a0", (0.0,) * 32, ValueError,
     "k(): typed evaluation takes at most 32 parameters and results together, this kernel has 33"),
    ("|n: i32| n", (A([1.0]),), TypeError,
     "k() argument 'n' (i32): cannot cast float64 data to int32 under the same_kind rule"),
    ("|x: f32| x", (np.complex64(1),), TypeError,
     "k() argument 'x' (f32): cannot cast complex64 data to float32 under the same_kind rule"),
    ("|p: bool| p", (A([1], np.int8),), TypeError,
     "k() argument 'p' (bool): cannot cast int8 data to bool under the same_kind rule"),
    ("|x: f64| x", (A(["a"]),), TypeError,
     "k() argument 'x' (f64): cannot cast <U1 data to float64 under the same_kind rule"),
    ("|x: f64, y: f64| x", (A([1.0, 2.0]), A([1.0, 2.0, 3.0])), ValueError,
     "k(): arguments could not be broadcast together with shapes (2,) (3,)"),
    ("|x: f64| x", (1.0, 2.0), TypeError, "k() takes 1 positional argument but 2 were given"),
    ("|x: f64, y: f64| x", (1.0,), TypeError, "k() missing required argument 'y'"),
]


@pytest.mark.parametrize("source,args,error,message", REFUSED)
def test_an_argument_that_does_not_convert_names_its_parameter(source, args, error, message):
    with pytest.raises(error) as info:
        values(source, *args)
    assert type(info.value) is error
    assert str(info.value) == message


# Every way a call binds its arguments, each computing x - n for x = 4, n = 1 (or refused):
# positional arguments are read where they lie, anything with a keyword is bound by name.
BINDINGS = [
    ((4.0, 1), {}, None),
    ((), {"n": 1, "x": 4.0}, None),
    ((4.0,), {"n": 1}, None),
    ((4.0, 1), {"out": "array"}, None),
    ((), {"out": "array", "x": 4.0, "n": 1}, None),
    ((1.0,), {"x": 2.0, "n": 1}, "k() got multiple values for argument 'x'"),
    ((1.0, 1), {"y": 2}, "k() got an unexpected keyword argument 'y'"),
    ((1.0, 1, 2), {}, "k() takes 2 positional arguments but 3 were given"),
    ((), {"n": 1}, "k() missing required argument 'x'"),
    ((4.0,), {"out": "array"}, "k() missing required argument 'n'"),
]


@pytest.mark.parametrize("args,kwargs,refusal", BINDINGS)
def test_arguments_bind_by_position_and_keyword(args, kwargs, refusal):
    kernel = tarvelon.compile("|x: f64, n: i32| x - n@f64", "k")
    out = np.zeros((), np.float64)
    kwargs = {key: out if value == "array" else value for key, value in kwargs.items()}
    if refusal is not None:
        with pytest.raises(TypeError) as info:
            kernel(*args, **kwargs)
        assert str(info.value) == refusal
        return
    result = kernel(*args, **kwargs)
    assert result == 3.0
    if "out" in kwargs:
        assert result is out


# ---- shapes, strides and results -------------------------------------------------------------

def test_arguments_broadcast_and_any_layout_computes_the_same():
    kernel = tarvelon.compile("|x: f32, y: f64, n: i16| x * y + n@f64", "k")
    x = np.arange(24, dtype=np.float32).reshape(4, 6)
    y = np.linspace(-1, 1, 6)
    want = x.astype(np.float64) * y + 3
    assert kernel(x, y, 3).shape == (4, 6)
    np.testing.assert_array_equal(kernel(x, y, 3), want)
    np.testing.assert_array_equal(kernel(x.T, y[:, None], np.int16(3)),
                                  x.T.astype(np.float64) * y[:, None] + 3)
    strided = np.arange(48, dtype=np.float32)[::2].reshape(4, 6)
    np.testing.assert_array_equal(kernel(strided, y, [3] * 6), strided * y + 3)
    big = np.arange(3 * 10**5, dtype=np.float32)[::-3]
    np.testing.assert_array_equal(kernel(big, 2.0, 1), big.astype(np.float64) * 2 + 1)


@pytest.mark.parametrize("shape", [(0,), (3, 0), ()])
def test_empty_and_zero_dimensional_arguments(shape):
    kernel = tarvelon.compile("|x: f64| (x * 2.0, x@i8)", "k")
    x = np.ones(shape)
    doubled, cut = kernel(x)
    if shape == ():
        assert (type(doubled), type(cut)) == (np.float64, np.int8)
    else:
        assert (doubled.shape, cut.shape, cut.dtype) == (shape, shape, np.int8)


def test_a_kernel_without_parameters_gives_a_scalar():
    assert values("|| 200@u8 + 100@u8") == np.uint8(44)


def test_out_receives_the_result_and_may_alias_an_input():
    kernel = tarvelon.compile("|x: f32, y: f32| x * y + 1.0@f32", "k")
    x = np.arange(10, dtype=np.float32)
    out = np.empty(10, np.float32)
    assert kernel(x, x, out=out) is out
    np.testing.assert_array_equal(out, x * x + 1)
    want = x * x[::-1] + 1
    assert kernel(x, x[::-1], out=x) is x
    np.testing.assert_array_equal(x, want)
    pair = tarvelon.compile("|a: i32| (a + 1@i32, a@f64)", "pair")
    outs = (np.empty(3, np.int32), np.empty(3))
    assert pair(A([1, 2, 3], np.int32), out=outs) is outs
    np.testing.assert_array_equal(outs[0], [2, 3, 4])


OUT_REFUSED = [
    (np.empty(3, np.float64), TypeError, "k(): out has dtype float64, the result is float32"),
    (np.empty(4, np.float32), ValueError,
     "k(): out has shape (4,), the result has shape (3,)"),
    (np.empty((1, 3), np.float32), ValueError,
     "k(): out has shape (1, 3), the result has shape (3,)"),
    ([0.0] * 3, TypeError, "k(): out must be a NumPy array, not list"),
    ((np.empty(3, np.float32),) * 2, ValueError, "k(): out must hold 1 array, not 2"),
    (np.empty(3, np.float32).newbyteorder(), TypeError,
     "k(): out has dtype >f4, the result is float32"),
]


@pytest.mark.parametrize("out,error,message", OUT_REFUSED)
def test_out_must_have_exactly_the_result_dtype_and_shape(out, error, message):
    with pytest.raises(error) as info:
        tarvelon.compile("|x: f32| x", "k")(A([1, 2, 3], np.float32), out=out)
    assert str(info.value) == message


def test_out_must_be_writeable():
    out = np.empty(3, np.float32)
    out.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        tarvelon.compile("|x: f32| x", "k")(A([1, 2, 3], np.float32), out=out)


# ---- threads and interruption ----------------------------------------------------------------

def test_many_threads_share_one_kernel():
    kernel = tarvelon.compile("|x: f32, n: u8| tanh(x) * n@f32 + (n * n)@f32", "k")
    x = np.linspace(-5, 5, 50_000, dtype=np.float32)
    n = (np.arange(50_000) % 256).astype(np.uint8)
    want = kernel(x, n)
    results = [None] * 8

    def work(k):
        results[k] = all(np.array_equal(kernel(x, n), want) for _ in range(5))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * 8


def nested_sines(count):
    """A kernel of `count` nested sines: costly per element, whatever the array."""
    body = "x"
    for _ in range(count):
        body = f"sin({body})"
    return tarvelon.compile(f"|x: f32| {body}", "k")


def assert_interrupted_within_a_second(run, *args):
    """Ctrl-C, sent 50 ms into `run(*args)`, ends it with KeyboardInterrupt within a second."""
    timer = threading.Timer(0.05, _thread.interrupt_main)
    timer.start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        run(*args)
    assert time.monotonic() - start < 1.0
    timer.join()


def test_other_threads_run_while_a_kernel_computes():
    kernel = nested_sines(40)
    x = np.ones(2 * 10**6, np.float32)
    worker = threading.Thread(target=kernel, args=(x,))
    start = time.monotonic()
    worker.start()
    ticks = [start]
    while worker.is_alive():
        time.sleep(0.001)
        ticks.append(time.monotonic())
    worker.join()
    took = ticks[-1] - start
    # Holding the lock for the whole call would leave one gap as long as the call.
    assert max(b - a for a, b in zip(ticks, ticks[1:])) < took / 2, took


def test_ctrl_c_interrupts_a_long_evaluation():
    # Two hundred nested sines over 4 million elements take seconds; the interrupt comes within
    # a million elements.
    assert_interrupted_within_a_second(nested_sines(200), np.ones(4 * 10**6, np.float32))
