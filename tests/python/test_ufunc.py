"""Kernel.ufunc: a NumPy ufunc that computes what the kernel's call computes, with NumPy's own
machinery for broadcasting, out=, where=, reductions and dispatch, and a lifetime of its own."""
import functools
import gc
import os
import pickle
import threading

import numpy as np
import pytest

import tarvelon
from tarvelon import _kernel
from test_typed_eval import CASES, assert_interrupted_within_a_second, nested_sines
from typed_reference import same_values

STORAGE = {"bool": np.bool_, "u8": np.uint8, "u16": np.uint16, "u32": np.uint32,
           "u64": np.uint64, "i8": np.int8, "i16": np.int16, "i32": np.int32, "i64": np.int64,
           "f16": np.float16, "bf16": np.float32, "f32": np.float32, "f64": np.float64,
           "c64": np.complex64, "c128": np.complex128}


def same(got, want):
    kinds = {"c": "c128", "f": "f64"}
    return same_values(got, want, kinds.get(np.asarray(want).dtype.kind, "i64"))


def results(value):
    return value if isinstance(value, tuple) else (value,)


@pytest.mark.parametrize("source,nin,nout,types", [
    ("|x: f32, y: f32| x * y + 1.0", 2, 1, ["ff->f"]),
    ("|a: u8, b: i64| (a + 1, b@f64, a > 3)", 2, 3, ["Bl->hd?"]),
    ("|x: bf16, h: f16, z: c64| (x + 1.0, h, z)", 3, 3, ["feF->feF"]),
    ("|| 1.5", 0, 1, ["->e"]),
])
def test_a_ufunc_has_one_loop_over_the_parameters_storage(source, nin, nout, types):
    ufunc = tarvelon.compile(source, "k").ufunc
    assert isinstance(ufunc, np.ufunc)
    assert (ufunc.__name__, ufunc.nin, ufunc.nout, ufunc.types) == ("k", nin, nout, types)


def storage_args(source, args):
    params = tarvelon.compile(source, "k").params
    return [np.asarray(a, STORAGE[p.dtype]) for a, p in zip(args, params)]


AGREEING = [pytest.param(source, args, id=f"{group}-{k}") for group, rows in CASES.items()
            for k, (source, args, _expected) in enumerate(rows)]


@pytest.mark.parametrize("source,args", AGREEING)
def test_the_ufunc_and_the_call_agree_on_data_of_the_parameter_dtypes(source, args):
    kernel = tarvelon.compile(source, "k")
    args = storage_args(source, args)
    for got, want in zip(results(kernel.ufunc(*args)), results(kernel(*args))):
        assert got.dtype == want.dtype and same(got, want), (got, want)


SPECIALS = [0.0, -0.0, 1.0, -1.5, 3e38, -3e38, 1e-40, float("inf"), float("-inf"), float("nan"),
            65504.0, 70000.0, 0.1, 300.7, -129.5]


def unaligned(column):
    """A copy of `column` one byte past an aligned address."""
    raw = np.zeros(column.nbytes + 1, np.uint8)
    copy = raw[1:].view(column.dtype)
    copy[...] = column
    return copy


@pytest.mark.parametrize("source", [
    "|x: f32| x * sigmoid(x)",
    "|x: f64, y: f64| (tanh(x) * y, x % y, x / y)",
    "|x: f16, y: f16, z: f16| x * y + z",
    "|x: bf16, y: bf16| softplus(x) - y",
    "|a: i8, b: i8| (a * b, a // b, a@u8)",
    "|x: f32| (x@i32, x@u8, x@bool)",
    "|z: c64, w: c64| z * w + exp(z)",
])
@pytest.mark.parametrize("optimize", [False, True])
def test_the_ufunc_and_the_call_agree_on_special_values_in_any_layout(source, optimize):
    if optimize and isinstance(tarvelon.compile(source, "k").dtype, tuple):
        pytest.skip("the optimizer takes kernels of one result")
    kernel = tarvelon.compile(source, "k", optimize=optimize)
    rng = np.random.default_rng(7)
    columns = []
    for param in kernel.params:
        dtype = STORAGE[param.dtype]
        with np.errstate(all="ignore"):
            if np.dtype(dtype).kind == "i":
                column = rng.integers(-128, 128, 600).astype(dtype)
            else:
                column = np.array(rng.choice(SPECIALS, 600), dtype)
                if np.dtype(dtype).kind == "c":
                    column = column + 1j * np.array(rng.choice(SPECIALS, 600), dtype)
        columns.append(column.astype(dtype))
    layouts = {"contiguous": lambda c: c, "strided": lambda c: np.repeat(c, 3)[::3],
               "reversed": lambda c: c[::-1].copy()[::-1], "2-d": lambda c: c.reshape(20, 30).T,
               "empty": lambda c: c.reshape(20, 30)[:, :0], "0-d": lambda c: c[7],
               "byte-swapped": lambda c: c.astype(c.dtype.newbyteorder()),
               "unaligned": unaligned}
    for name, layout in layouts.items():
        args = [layout(c) for c in columns]
        for got, want in zip(results(kernel.ufunc(*args)), results(kernel(*args))):
            assert same(got, want), (name, got, want)


def test_out_where_and_broadcasting_follow_numpy():
    kernel = tarvelon.compile("|x: f32, y: f32| x * y + 1.0", "k")
    x = np.arange(6, dtype=np.float32).reshape(2, 3)
    y = np.array([10, 20, 30], np.float32)
    want = kernel(x, y)
    out = np.full((2, 3), -1.0)
    assert kernel.ufunc(x, y, out=out) is out
    assert np.array_equal(out, want)
    masked = np.full((2, 3), -1.0, np.float32)
    kernel.ufunc(x, y, out=masked, where=x > 2)
    assert np.array_equal(masked, np.where(x > 2, want, -1.0))
    assert np.array_equal(kernel.ufunc(x, y, dtype=np.float32), want)
    # Output broadcast into a larger out= and into an input that is also the output.
    wide = np.empty((4, 2, 3), np.float32)
    assert np.array_equal(kernel.ufunc(x, y, out=wide)[3], want)
    kernel.ufunc(x, y, out=x)
    assert np.array_equal(x, want)


def test_an_output_overlapping_an_input_sees_the_inputs_before_the_call():
    kernel = tarvelon.compile("|x: i32, y: i32| x * 10 + y", "k")
    a = np.arange(8, dtype=np.int32)
    want = kernel(a[1:].copy(), a[:-1].copy())
    kernel.ufunc(a[1:], a[:-1], out=a[:-1])
    assert np.array_equal(a[:-1], want)


def test_reductions_apply_a_binary_kernel_in_order():
    kernel = tarvelon.compile("|acc: f64, x: f64| acc * 2.0 + x", "k")
    x = np.array([1.0, 2.0, 3.0, 4.0, 5.0])
    in_order = [x[0]]
    for value in x[1:]:
        in_order.append(in_order[-1] * 2 + value)
    assert kernel.ufunc.reduce(x) == in_order[-1]
    assert np.array_equal(kernel.ufunc.accumulate(x), in_order)
    grid = np.stack([x, x * 10])
    assert np.array_equal(kernel.ufunc.reduce(grid, axis=1), [in_order[-1], in_order[-1] * 10])
    assert np.array_equal(kernel.ufunc.outer(x[:2], x[:3]), x[:2, None] * 2 + x[None, :3])
    target = np.zeros(3)
    kernel.ufunc.at(target, [0, 0, 2], 1.0)
    assert np.array_equal(target, [3.0, 0.0, 1.0])
    with pytest.raises(ValueError):
        kernel.ufunc.reduce(np.array([]))


@pytest.mark.parametrize("call,error,message", [
    (lambda u: u(np.ones(2), 1.0), TypeError,
     "ufunc 'k' not supported for the input types, and the inputs could not be safely coerced "
     "to any supported types according to the casting rule ''safe''"),
    (lambda u: u(np.ones(2, np.float32), 1.0, out=np.empty(2, np.int32)), TypeError,
     "Cannot cast ufunc 'k' output from dtype('float32') to dtype('int32') with casting rule "
     "'same_kind'"),
    (lambda u: u(np.array([1.0], object), 1.0), TypeError, None),
])
def test_numpy_refuses_what_the_loop_cannot_take(call, error, message):
    ufunc = tarvelon.compile("|x: f32, y: f32| x * y", "k").ufunc
    with pytest.raises(error) as raised:
        call(ufunc)
    if message is not None:
        assert str(raised.value) == message


@pytest.mark.parametrize("source,message", [
    ("|a: c64, b: c64| a < b", "k(): cannot evaluate `<` on c64"),
    ("|" + ", ".join(f"x{i}: f64" for i in range(32)) + "| x0 + x31",
     "k(): typed evaluation takes at most 32 parameters and results together, this kernel has "
     "33"),
])
def test_a_kernel_the_call_refuses_refuses_its_ufunc_alike(source, message):
    kernel = tarvelon.compile(source, "k")
    with pytest.raises(ValueError) as by_ufunc:
        kernel.ufunc
    with pytest.raises(ValueError) as by_call:
        kernel(*[1.0] * len(kernel.params))
    assert str(by_ufunc.value) == str(by_call.value) == message


def test_a_ufunc_does_not_pickle_but_its_kernel_does():
    kernel = tarvelon.compile("|x: f32| x + 1.0", "k")
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(kernel.ufunc)
    assert pickle.loads(pickle.dumps(kernel)).ufunc is kernel.ufunc


def test_the_ufunc_outlives_its_kernel_and_the_cache():
    source = "|x: f32| x * 3.0 + 0.5"
    ufunc = tarvelon.compile(source, "outliving").ufunc
    with _kernel._cache_lock:
        _kernel._cache.pop((source, "outliving", False))
    gc.collect()
    assert np.array_equal(ufunc(np.arange(3, dtype=np.float32)), [0.5, 3.5, 6.5])


def test_threads_share_one_ufunc_made_once():
    kernel = tarvelon.compile("|x: f32, y: f32| tanh(x) * y + 0.25", "shared")
    x = np.linspace(-3, 3, 100_000, dtype=np.float32)
    want = kernel(x, x)
    made, failures = [], []
    start = threading.Barrier(8)

    def work():
        start.wait()
        made.append(kernel.ufunc)
        for _ in range(20):
            if not same(kernel.ufunc(x, x), want):
                failures.append(1)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
    assert all(u is made[0] for u in made)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(bool(os.environ.get("TARVELON_SANITIZED")),
                    reason="the sanitizer's quarantine keeps freed memory resident by design")
def test_ufuncs_made_and_dropped_leave_no_memory_behind():
    def churn(first, count):
        for i in range(first, first + count):
            kernel = tarvelon.compile(f"|x: f64| tanh(x * {i}.5) + x", "churned")
            kernel.ufunc(np.ones(300))
            with _kernel._cache_lock:
                _kernel._cache.pop(kernel._key)
        gc.collect()

    churn(0, 500)
    settled = resident_bytes()
    churn(500, 3000)
    grown = resident_bytes() - settled
    # A kept program of even 1 KB a ufunc would show as 3 MB here.
    assert grown < 1024 * 1024, f"resident memory grew by {grown} bytes over 3000 ufuncs"


def nested_sines_of_two(count):
    body = "a + b"
    for _ in range(count):
        body = f"sin({body})"
    return tarvelon.compile(f"|a: f32, b: f32| {body}", "k")


@pytest.mark.parametrize("prepare", [
    lambda: functools.partial(nested_sines(200).ufunc, where=np.ones(4 * 10**6, bool)),
    lambda: nested_sines_of_two(200).ufunc.reduce,
], ids=["masked call", "reduction"])
def test_ctrl_c_interrupts_a_long_ufunc_loop(prepare):
    assert_interrupted_within_a_second(prepare(), np.ones(4 * 10**6, np.float32))
    assert nested_sines(200).ufunc(np.float32(0)) == 0


@pytest.mark.parametrize("source,args", [
    ("|x: f32, y: f32| x * y", (np.float32([3e38, 0.0]), np.float32([10.0, 0.0]))),
    ("|x: f32| x / 0.0", (np.float32([1.0, 0.0]),)),
    ("|x: f64| softplus(x)", (np.array([1000.0, -1000.0]),)),
    ("|x: f32| x@i8", (np.float32([1e10, float("nan")]),)),
])
def test_the_ufunc_neither_raises_nor_warns_like_the_call(source, args):
    kernel = tarvelon.compile(source, "k")
    with np.errstate(all="raise"):
        assert same(kernel.ufunc(*args), kernel(*args))
