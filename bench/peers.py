"""What a user would otherwise do, timed next to tarvelon in one run: CPython's own compile() of
the hand-written function (the floor of writing the kernel by hand) and, when SymPy is installed,
parse_expr + lambdify and simplify + lambdify.

Usage: PYTHONPATH=build/python python3 bench/peers.py [examples dir]
Each figure is the median over several batches of the per-call time within a batch; ratios are
against compile() of the hand-written function.
"""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import _tarvelon  # noqa: E402
from emit_bench import per_call_ns  # noqa: E402

try:
    import sympy
    from sympy.parsing.sympy_parser import parse_expr
except ImportError:  # SymPy is optional: its columns are left empty
    sympy = None

SUM8_PARAMS = ["a", "b", "c", "d", "p", "q", "r", "s"]
POLY40 = "0.5" + "".join(f" + {k}.5 * x ** {k}" for k in range(1, 40))

# name: (kernel text, equivalent hand-written Python function, SymPy expression and symbols)
TABLE = {
    "gelu (tanh)": (
        "|x: f64|\nc = 0.7978845608028654\ninner = c * (x + 0.044715 * x * x * x)\n0.5 * x * (1.0 + tanh(inner))",
        "import math\ndef f(x):\n    return 0.5 * x * (1.0 + math.tanh(0.7978845608028654 * (x + 0.044715 * x * x * x)))\n",
        ("0.5 * x * (1 + tanh(0.7978845608028654 * (x + 0.044715 * x**3)))", "x"),
    ),
    "softplus": (
        "|x: f64| softplus(x)",
        "import math\ndef f(x):\n    return math.log(1.0 + math.exp(x))\n",
        ("log(1 + exp(x))", "x"),
    ),
    "sigmoid of exp": (
        "|x: f64| sigmoid(exp(x))",
        "import math\ndef f(x):\n    return 1.0 / (1.0 + math.exp(-math.exp(x)))\n",
        ("1 / (1 + exp(-exp(x)))", "x"),
    ),
    "horner 8": (
        "|x: f64| ((((((((2.0 * x - 3.0) * x + 0.5) * x - 7.0) * x + 1.5) * x - 2.0) * x + 4.0) * x - 1.0) * x + 6.0)",
        "def f(x):\n    return ((((((((2.0 * x - 3.0) * x + 0.5) * x - 7.0) * x + 1.5) * x - 2.0) * x + 4.0) * x - 1.0) * x + 6.0)\n",
        ("((((((((2.0 * x - 3.0) * x + 0.5) * x - 7.0) * x + 1.5) * x - 2.0) * x + 4.0) * x - 1.0) * x + 6.0)", "x"),
    ),
    "sum of 8": (
        "|" + ", ".join(f"{p}: f64" for p in SUM8_PARAMS) + "| " + " + ".join(SUM8_PARAMS),
        "def f(" + ", ".join(SUM8_PARAMS) + "):\n    return " + " + ".join(SUM8_PARAMS) + "\n",
        (" + ".join(SUM8_PARAMS), " ".join(SUM8_PARAMS)),
    ),
    "product of 8": (
        "|" + ", ".join(f"{p}: f64" for p in SUM8_PARAMS) + "| " + " * ".join(SUM8_PARAMS),
        "def f(" + ", ".join(SUM8_PARAMS) + "):\n    return " + " * ".join(SUM8_PARAMS) + "\n",
        (" * ".join(SUM8_PARAMS), " ".join(SUM8_PARAMS)),
    ),
    # The optimizer's largest e-graph among these: every grouping of a 40-term sum. SymPy's
    # simplify takes seconds on it, so its columns are left empty.
    "polynomial 40": (
        "|x: f64| " + POLY40,
        "def f(x):\n    return " + POLY40 + "\n",
        None,
    ),
}

# The examples with their hand-written equivalents.
EXAMPLES = {
    "clamp.tvl": "def clamp(x, lo, hi):\n    return lo if x < lo else (hi if x > hi else x)\n",
    "divmod.tvl": "def divmod_(a, b):\n    q = a // b\n    r = a % b\n    return (q, r, q * b + r == a)\n",
    "gelu.tvl": "import math\ndef gelu(x):\n    c = 0.7978845608028654\n    inner = c * (x + 0.044715 * x * x * x)\n"
                "    return 0.5 * x * (1.0 + math.tanh(inner))\n",
    "horner.tvl": "def horner(x):\n    return ((2.0 * x - 3.0) * x + 0.5) * x - 7.0\n",
    "rotate.tvl": "import math\ndef rotate(z, theta):\n    return z * (math.cos(theta) + 1j * math.sin(theta))\n",
    "softplus.tvl": "import math\ndef softplus(x):\n    return x if x > 20.0 else math.log(1.0 + math.exp(x))\n",
    "swish.tvl": "import math\ndef swish(x, beta):\n    xf = float(x)\n    return xf * (1.0 / (1.0 + math.exp(-(beta * xf))))\n",
}


def optional(fn):
    try:
        fn()
    except ValueError:
        return None
    return per_call_ns(fn)


def row(name, source, hand_written, sympy_case):
    times = {
        "emit": per_call_ns(lambda: _tarvelon.emit_python(source)),
        "emit -O": optional(lambda: _tarvelon.emit_python(source, optimize=True)),
        "simplify": optional(lambda: _tarvelon.simplify_expr(source)),
        "simplify -O": optional(lambda: _tarvelon.simplify_expr(source, optimize=True)),
        "compile()": per_call_ns(lambda: compile(hand_written, "<kernel>", "exec")),
        "sympy": None,
        "sympy simplify": None,
    }
    if sympy is not None and sympy_case is not None:
        text, names = sympy_case
        symbols = sympy.symbols(names)
        times["sympy"] = per_call_ns(lambda: sympy.lambdify(symbols, parse_expr(text), "math"))
        times["sympy simplify"] = per_call_ns(
            lambda: sympy.lambdify(symbols, sympy.simplify(parse_expr(text)), "math"))
    return name, times


def main(directory):
    rows = [row(name, *case) for name, case in TABLE.items()]
    for path in sorted(pathlib.Path(directory).glob("*.tvl")):
        if path.name in EXAMPLES:
            rows.append(row(path.name, path.read_text(encoding="utf-8"), EXAMPLES[path.name], None))
    columns = list(rows[0][1])
    print("median time per call in microseconds (ratio to compile() of the hand-written function)")
    print(f"{'kernel':<16}" + "".join(f"{c:>20}" for c in columns))
    worst = 0.0
    for name, times in rows:
        base = times["compile()"]
        cells = []
        for c in columns:
            t = times[c]
            cells.append(f"{'-':>20}" if t is None else f"{t / 1000:>11.2f} ({t / base:>5.2f})")
        print(f"{name:<16}" + "".join(cells))
        worst = max(worst, times["emit"] / base)
    print(f"worst ratio of unoptimized emit_python to compile(): {worst:.3f}")
    return 0


if __name__ == "__main__":
    default = pathlib.Path(__file__).resolve().parent.parent / "examples"
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else default))
