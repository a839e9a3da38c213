"""emit_python latency per call on the example kernels, next to CPython's own compile() of the
emitted function, and simplify_expr in both modes, all measured in the same run.

Usage: PYTHONPATH=build/python python3 bench/emit_bench.py [examples dir]
Each figure is the median over several batches of the per-call time within a batch.
"""
import pathlib
import statistics
import sys
import time

import _tarvelon

BATCHES = 15
TARGET_BATCH_SECONDS = 0.02


def per_call_ns(fn):
    calls = 1
    while True:  # size the batch so that timer resolution does not matter
        start = time.perf_counter_ns()
        for _ in range(calls):
            fn()
        if time.perf_counter_ns() - start > TARGET_BATCH_SECONDS * 1e9:
            break
        calls *= 2
    samples = []
    for _ in range(BATCHES):
        start = time.perf_counter_ns()
        for _ in range(calls):
            fn()
        samples.append((time.perf_counter_ns() - start) / calls)
    return statistics.median(samples)


def simplify_ns(source, optimize):
    """simplify_expr's time per call, or None when the kernel fails in that mode (a tuple result,
    or no optimizer in the pipeline yet)."""
    try:
        _tarvelon.simplify_expr(source, optimize=optimize)
    except ValueError:
        return None
    return per_call_ns(lambda: _tarvelon.simplify_expr(source, optimize=optimize))


def cell(ns):
    return f"{'-':>14}" if ns is None else f"{ns / 1000:>11.2f} us"


def main(directory):
    rows = []
    for path in sorted(pathlib.Path(directory).glob("*.tvl")):
        source = path.read_text(encoding="utf-8")
        emitted = _tarvelon.emit_python(source, path.stem)
        emit = per_call_ns(lambda: _tarvelon.emit_python(source, path.stem))
        comp = per_call_ns(lambda: compile(emitted, "<kernel>", "exec"))
        rows.append((path.name, emit, comp, simplify_ns(source, False), simplify_ns(source, True)))
    print(f"{'kernel':<16}{'emit_python':>14}{'compile()':>14}{'ratio':>8}"
          f"{'simplify':>14}{'simplify opt':>14}")
    for name, emit, comp, plain, optimized in rows:
        print(f"{name:<16}{emit / 1000:>11.2f} us{comp / 1000:>11.2f} us{emit / comp:>8.3f}"
              f"{cell(plain)}{cell(optimized)}")
    slowest = max(emit / comp for _, emit, comp, _, _ in rows)
    print(f"worst ratio emit_python / compile(): {slowest:.3f}")
    return 0 if slowest < 1 else 1


if __name__ == "__main__":
    default = pathlib.Path(__file__).resolve().parent.parent / "examples"
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else default))
