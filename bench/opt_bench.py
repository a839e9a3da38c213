"""emit_python with and without optimization, on the example kernels and on the optimizer's
worst cases, measured in the same run, with what the equality-saturation run did.

Usage: PYTHONPATH=build/python python3 bench/opt_bench.py [examples dir]
Each time is the median over several batches of the per-call time within a batch; the ratio is
optimized over unoptimized.
"""
import pathlib
import sys

import _tarvelon
import _tarvelon_testing
from emit_bench import per_call_ns

SUM8 = "|a: f64, b: f64, c: f64, d: f64, p: f64, q: f64, r: f64, s: f64| a + b + c + d + p + q + r + s"
WORST_CASES = [
    ("sum of 8", SUM8),
    ("product of 8", SUM8.replace("+", "*")),
    ("polynomial 40", "|x: f64| " + " + ".join(f"{k}.5 * x ** {k}" for k in range(40))),
]


def kernels(directory):
    for path in sorted(pathlib.Path(directory).glob("*.tvl")):
        yield path.name, path.read_text(encoding="utf-8")
    yield from WORST_CASES


def main(directory):
    print(f"{'kernel':<16}{'unoptimized':>14}{'optimized':>14}{'ratio':>9}{'iters':>7}{'e-nodes':>9}  stop")
    for name, source in kernels(directory):
        plain = per_call_ns(lambda: _tarvelon.emit_python(source))
        try:
            iterations, nodes, _, stop = _tarvelon_testing.optimize_stats(source)
        except ValueError:
            print(f"{name:<16}{plain / 1000:>11.2f} us   (not optimizable: several results)")
            continue
        optimized = per_call_ns(lambda: _tarvelon.emit_python(source, optimize=True))
        print(f"{name:<16}{plain / 1000:>11.2f} us{optimized / 1000:>11.2f} us{optimized / plain:>9.1f}"
              f"{iterations:>7}{nodes:>9}  {stop}")
    return 0


if __name__ == "__main__":
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
    default = pathlib.Path(__file__).resolve().parent.parent / "examples"
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else default))
