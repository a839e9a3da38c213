"""Typed evaluation over arrays, timed in one run next to what a user would otherwise write:
NumPy by hand (out= wherever NumPy allows), numexpr (single-threaded, like the evaluator) when
installed, and the emitted Python function called once per element (at 10^3 elements only). The
memory floor is np.copyto of one input into the result.

Usage: PYTHONPATH=build/python python3 bench/arrays.py [sizes...]
Each figure is the median of several runs, in microseconds; "vs numpy" is the evaluator's time
over NumPy's. numexpr widens i8 and has no f16: its i8 figure computes something else, and f16
is left empty.
"""
import pathlib
import statistics
import sys
import time

import numpy as np

import tarvelon

try:
    import numexpr
    numexpr.set_num_threads(1)
except ImportError:  # numexpr is optional: its column is left empty
    numexpr = None

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
STORAGE = {"bool": np.bool_, "u8": np.uint8, "u16": np.uint16, "u32": np.uint32,
           "u64": np.uint64, "i8": np.int8, "i16": np.int16, "i32": np.int32, "i64": np.int64,
           "f16": np.float16, "bf16": np.float32, "f32": np.float32, "f64": np.float64,
           "c64": np.complex64, "c128": np.complex128}


def swish_np(x, out):
    np.negative(x, out=out)
    np.exp(out, out=out)
    out += 1
    np.divide(x, out, out=out)


def gelu_np(x, out):
    np.multiply(x, x, out=out)
    out *= x
    out *= np.float32(0.044715)
    out += x
    out *= np.float32(0.7978845608028654)
    np.tanh(out, out=out)
    out += 1
    out *= x
    out *= np.float32(0.5)


def softplus_np(x, out):
    np.exp(x, out=out)
    np.log1p(out, out=out)


def fma_np(a, b, c, out):
    np.multiply(b, c, out=out)
    out += a


# name: (kernel, NumPy by hand or None, numexpr expression or None)
TABLE = {
    "f32 swish": ("|x: f32| x * sigmoid(x)", swish_np, "x / (1 + exp(-x))"),
    "f32 tanh-GELU": (
        "|x: f32|\nc = 0.7978845608028654@f32\n"
        "0.5@f32 * x * (1.0@f32 + tanh(c * (x + 0.044715@f32 * x * x * x)))",
        gelu_np, "0.5 * x * (1 + tanh(0.7978845608028654 * (x + 0.044715 * x * x * x)))"),
    "f32 softplus": ("|x: f32| softplus(x)", softplus_np, "log1p(exp(x))"),
    "f64 a + b * c": ("|a: f64, b: f64, c: f64| a + b * c", fma_np, "a + b * c"),
    "f16 x * y + z": ("|a: f16, b: f16, c: f16| a * b + c", fma_np, None),
    "i8 x * y + z (wrapping)": ("|a: i8, b: i8, c: i8| a * b + c", fma_np, "a * b + c"),
}


def inputs(kernel, n, rng):
    """Random arguments of the kernel's parameter dtypes: floats in [-4, 4), integers over their
    range, complex numbers with both parts in [-4, 4)."""
    args = []
    for _name, dtype in kernel.params:
        t = np.dtype(STORAGE[dtype])
        if t.kind == "f":
            args.append((rng.random(n) * 8 - 4).astype(t))
        elif t.kind == "c":
            args.append((rng.random(n) * 8 - 4 + 1j * (rng.random(n) * 8 - 4)).astype(t))
        elif t.kind == "b":
            args.append(rng.random(n) < 0.5)
        else:
            info = np.iinfo(t)
            # Nonzero, so that a divisor never hides the work behind a zero.
            values = rng.integers(int(info.min), int(info.max), n, dtype=t, endpoint=True)
            args.append(np.where(values == 0, t.type(1), values).astype(t))
    return args


def median_us(fn, n):
    """The median time of one call, in microseconds, over runs totalling about half a second."""
    fn()
    start = time.perf_counter()
    fn()
    once = time.perf_counter() - start
    runs = max(3, min(200, int(0.5 / max(once, 1e-6))))
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e6


def row(name, source, by_hand, expression, n, rng):
    kernel = tarvelon.compile(source, "k")
    args = inputs(kernel, n, rng)
    dtypes = kernel.dtype if isinstance(kernel.dtype, tuple) else (kernel.dtype,)
    outs = tuple(np.empty(n, STORAGE[d]) for d in dtypes)
    out = outs[0] if len(outs) == 1 else outs
    figures = {"evaluator": median_us(lambda: kernel(*args, out=out), n)}
    if by_hand is not None:
        figures["numpy"] = median_us(lambda: by_hand(*args, outs[0]), n)
    if numexpr is not None and expression is not None:
        names = dict(zip("abc" if len(args) > 1 else "x", args))
        figures["numexpr"] = median_us(lambda: numexpr.evaluate(expression, local_dict=names), n)
    if n <= 10**3:
        lists = [a.tolist() for a in args]
        call = kernel.python

        def loop():
            for values in zip(*lists):
                call(*values)

        figures["python loop"] = median_us(loop, n)
    figures["copy"] = median_us(lambda: np.copyto(outs[0], args[0], casting="unsafe"), n)
    return figures


def examples():
    for path in sorted(EXAMPLES.glob("*.tvl")):
        yield f"example {path.stem}", path.read_text(), None, None


COLUMNS = ["evaluator", "numpy", "numexpr", "python loop", "copy"]


def main(sizes):
    rng = np.random.default_rng(0)
    print(f"{'kernel':26} {'n':>9} " + " ".join(f"{c:>12}" for c in COLUMNS) + "   vs numpy")
    cases = [(name, *spec) for name, spec in TABLE.items()] + list(examples())
    for name, source, by_hand, expression in cases:
        for n in sizes:
            figures = row(name, source, by_hand, expression, n, rng)
            cells = " ".join(f"{figures[c]:12.1f}" if c in figures else f"{'-':>12}"
                             for c in COLUMNS)
            ratio = (f"{figures['evaluator'] / figures['numpy']:9.2f}x" if "numpy" in figures
                     else "")
            print(f"{name:26} {n:>9} {cells}  {ratio}", flush=True)


if __name__ == "__main__":
    main([int(float(s)) for s in sys.argv[1:]] or [10**3, 10**5, 10**7])
