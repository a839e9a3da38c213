"""Typed evaluation over arrays, timed in one run next to what a user would otherwise write:
NumPy by hand (out= wherever NumPy allows), numexpr (single-threaded, like the evaluator) when
installed, and the emitted Python function called once per element (at 10^3 elements only). The
memory floor is np.copyto of one input into the result.

Usage: PYTHONPATH=build/python python3 bench/arrays.py [--quick] [--no-table] [sizes...]
Each figure is the median of several runs, in microseconds; "vs numpy" is the evaluator's time
over NumPy's. numexpr widens i8 and has no f16: its i8 figure computes something else, and f16
is left empty.

After the table, the speed targets, each as a ratio of two figures of this run: the evaluator
on one thread and on the worker pool (each in a child process with TARVELON_NUM_THREADS set, since
the evaluator reads it once), against NumPy, numexpr on one thread, np.copyto and one np.add call,
each baseline timed in the same child right after the evaluator's figure; and one thread against
two, from short children run alternately. --quick shrinks the sizes (10^6 for 10^7, no 10^8) and
the time per figure.
"""
import json
import os
import subprocess
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
    # A kernel that returns its parameter costs no more than one that adds to it.
    "f32 x": ("|x: f32| x", lambda x, out: np.copyto(out, x), "x"),
    "f32 x + 1": ("|x: f32| x + 1.0@f32", lambda x, out: np.add(x, np.float32(1), out=out),
                  "x + 1"),
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


BUDGET = [0.5]  # seconds of runs per figure


def median_us(fn, n=None):
    """The median time of one call, in microseconds, over runs totalling about BUDGET seconds."""
    fn()
    start = time.perf_counter()
    fn()
    once = time.perf_counter() - start
    runs = max(3, min(2000, int(BUDGET[0] / max(once, 1e-7))))
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


def table(sizes):
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


def target_figures(big, scaling):
    """What the targets need, in microseconds, under this process's thread count. Each figure of
    the evaluator is taken right before the baselines it is compared with, so that a load that
    changes during the run moves both alike: the three f32 kernels, a + b * c, the f16 kernel,
    and `x` and `x + 1` in f32 at `big` elements with NumPy and numexpr, swish at each size of
    `scaling` with np.copyto at the largest, and a scalar and a 1,000-element swish with np.add."""
    rng = np.random.default_rng(1)
    figures = {}

    def time_kernel(key, source, n, by_hand=None, expression=None):
        kernel = tarvelon.compile(source, "k")
        args = inputs(kernel, n, rng)
        out = np.empty(n, STORAGE[kernel.dtype])
        figures[key] = median_us(lambda: kernel(*args, out=out))
        if by_hand is not None:
            figures[f"{key} numpy"] = median_us(lambda: by_hand(*args, out))
        if numexpr is not None and expression is not None:
            names = dict(zip("abc" if len(args) > 1 else "x", args))
            figures[f"{key} numexpr"] = median_us(
                lambda: numexpr.evaluate(expression, local_dict=names))
        return args, out

    for name in ("f32 swish", "f32 tanh-GELU", "f32 softplus", "f64 a + b * c", "f16 x * y + z",
                 "f32 x", "f32 x + 1"):
        source, by_hand, expression = TABLE[name]
        time_kernel(name, source, big, by_hand, expression)
    for n in scaling:
        args, out = time_kernel(f"swish {n}", TABLE["f32 swish"][0], n)
    figures[f"copy {max(scaling)}"] = median_us(lambda: np.copyto(out, args[0]))
    del args, out
    swish = tarvelon.compile(TABLE["f32 swish"][0], "k")
    scalar = np.float32(0.5)
    figures["swish scalar"] = median_us(lambda: swish(scalar))
    figures["add scalar"] = median_us(lambda: np.add(scalar, scalar))
    small = (rng.random(1000) * 8 - 4).astype(np.float32)
    figures["swish 1000"] = median_us(lambda: swish(small))
    figures["add 1000"] = median_us(lambda: np.add(small, small))
    return figures


def gelu_figure():
    """tanh-GELU in f32 at 10^6 elements, in microseconds, under this process's thread count."""
    kernel = tarvelon.compile(TABLE["f32 tanh-GELU"][0], "k")
    args = inputs(kernel, 10**6, np.random.default_rng(1))
    out = np.empty(10**6, np.float32)
    return median_us(lambda: kernel(*args, out=out))


def in_child(threads, *what):
    """The child's figures (`--child` `what`...) with TARVELON_NUM_THREADS=threads (None: unset)."""
    env = {k: v for k, v in os.environ.items() if k != "TARVELON_NUM_THREADS"}
    if threads is not None:
        env["TARVELON_NUM_THREADS"] = str(threads)
    args = [sys.executable, __file__, "--child", str(BUDGET[0]), *map(str, what)]
    done = subprocess.run(args, env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def thread_speedup(rounds=5):
    """tanh-GELU at 10^6 on one thread over two threads: the median of `rounds` ratios, each of a
    one-thread child and a two-thread child run back to back. The machine's speed drifts over the
    minute a whole child takes; children of a fraction of a second each, alternated, see the same
    machine."""
    ratios = [in_child(1, "gelu") / in_child(2, "gelu") for _ in range(rounds)]
    print("tanh-GELU 10^6, 1 thread / 2 threads, each round:",
          " ".join(f"{r:.2f}" for r in ratios))
    return statistics.median(ratios)


def targets(quick):
    big = 10**6 if quick else 10**7
    scaling = [10**5, 10**6] if quick else [10**5, 10**6, 10**7, 10**8]
    one = in_child(1, big, ",".join(map(str, scaling)))
    pool = in_child(None, big, ",".join(map(str, scaling)))
    rows = []  # (target, measured ratio, required, how it compares)

    def check(text, ratio, need, at_least=True):
        ok = ratio >= need if at_least else ratio <= need
        rows.append((text, ratio, ("≥ " if at_least else "≤ ") + f"{need:g}", "met" if ok else
                     "MISSED"))

    exp = "10^6" if quick else "10^7"
    for name in ("f32 swish", "f32 tanh-GELU", "f32 softplus"):
        for label, figs in (("1 thread", one), ("pool", pool)):
            if f"{name} numexpr" in figs:
                check(f"{name} {exp}, {label}: numexpr / evaluator",
                      figs[f"{name} numexpr"] / figs[name], 5)
            check(f"{name} {exp}, {label}: numpy / evaluator", figs[f"{name} numpy"] / figs[name], 3)
    if "f64 a + b * c numexpr" in one:
        check(f"f64 a + b * c {exp}, 1 thread: numexpr / evaluator",
              one["f64 a + b * c numexpr"] / one["f64 a + b * c"], 1)
    check(f"f16 x * y + z {exp}, 1 thread: numpy / evaluator",
          one["f16 x * y + z numpy"] / one["f16 x * y + z"], 20)
    largest = max(scaling)
    check(f"f32 swish 10^{len(str(largest)) - 1}, pool: evaluator / np.copyto",
          pool[f"swish {largest}"] / pool[f"copy {largest}"], 1.25, at_least=False)
    check("f32 tanh-GELU 10^6: 1 thread / 2 threads", thread_speedup(), 1.7)
    check(f"f32 x {exp}, 1 thread: evaluator / same for x + 1", one["f32 x"] / one["f32 x + 1"], 1,
          at_least=False)
    check("swish scalar call / np.add scalar call", pool["swish scalar"] / pool["add scalar"], 2,
          at_least=False)
    check("swish 1,000 call / np.add 1,000 call", pool["swish 1000"] / pool["add 1000"], 2,
          at_least=False)
    reference = pool[f"swish {scaling[-1]}"] / scaling[-1]
    for n in scaling[:-1]:
        per = pool[f"swish {n}"] / n / reference
        rows.append((f"swish per element, pool: 10^{len(str(n)) - 1} / "
                     f"10^{len(str(scaling[-1])) - 1}", per, "0.8 to 1.2",
                     "met" if 0.8 <= per <= 1.2 else "MISSED"))
    print(f"\n{'target':62} {'ratio':>8}  {'needed':>10}")
    for text, ratio, need, verdict in rows:
        print(f"{text:62} {ratio:8.2f}  {need:>10}  {verdict}")
    print("\nfigures (microseconds): 1 thread", json.dumps(one))
    print("pool", json.dumps(pool))


def main(argv):
    if argv[:1] == ["--child"]:
        BUDGET[0] = float(argv[1])
        if argv[2] == "gelu":
            print(json.dumps(gelu_figure()))
        else:
            print(json.dumps(target_figures(int(argv[2]), [int(s) for s in argv[3].split(",")])))
        return
    quick = "--quick" in argv
    if quick:
        BUDGET[0] = 0.15
    sizes = [int(float(s)) for s in argv if not s.startswith("--")]
    if "--no-table" not in argv:
        table(sizes or ([10**3, 10**5] if quick else [10**3, 10**5, 10**7]))
    targets(quick)


if __name__ == "__main__":
    main(sys.argv[1:])
