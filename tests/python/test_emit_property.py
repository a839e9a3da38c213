"""Property: for random well-typed kernels, the emitted function compiles and computes the value
an independent evaluation of the kernel's syntax tree computes.

A kernel is a dataflow graph: every value the result depends on is computed, both operands of
`&&` and `||` and both branches of `if` included, so the evaluation below is strict."""
import math
import re

from hypothesis import given, strategies as st

import _tarvelon

# Value classes of the generated language: floats (f64 parameters, float literals), integers
# (i32 parameters, integer literals), complex numbers (c128 parameters, imaginary literals) and
# booleans.
F, I, C, B = "f", "i", "c", "b"
PARAM_DTYPE = {F: "f64", I: "i32", C: "c128", B: "bool"}
IMAGINARY_LITERALS = ["0.5", "2.0", "1.25", "0.1"]
FLOAT_LITERALS = ["0.5", "1.25", "2.0", "3.0", "0.1", "10.0", "1e-3"]
FLOAT_BUILTINS = {
    "sin": math.sin, "cos": math.cos, "tanh": math.tanh, "abs": abs, "exp": math.exp,
    "sqrt": math.sqrt, "log": math.log,
    "sigmoid": lambda x: 1.0 / (1.0 + math.exp(-x)),
    "relu": lambda x: x if x > 0 else 0.0,
    "softplus": lambda x: math.log(1.0 + math.exp(x)),
    "floor": math.floor, "ceil": math.ceil,
}


def select(cond, then_value, else_value):
    return then_value if cond else else_value


class Node:
    """A kernel expression as source text plus its meaning as a function of the environment."""

    def __init__(self, cls, text, meaning):
        self.cls, self.text, self.meaning = cls, text, meaning


def to_float(node):
    if node.cls == F:
        return node
    return Node(F, f"({node.text})@f64", lambda env, m=node.meaning: float(m(env)))


ARITH = {"+": lambda a, b: a + b, "-": lambda a, b: a - b, "*": lambda a, b: a * b}
COMPARE = {"<": lambda a, b: a < b, "<=": lambda a, b: a <= b, ">": lambda a, b: a > b,
           ">=": lambda a, b: a >= b, "==": lambda a, b: a == b, "!=": lambda a, b: a != b}


@st.composite
def expr(draw, cls, names, depth):
    """A random expression of value class `cls` over the bound `names` (name -> class)."""
    leaves = [n for n, c in names.items() if c == cls]
    if depth <= 0 or draw(st.integers(0, 3)) == 0:
        if leaves and draw(st.booleans()):
            name = draw(st.sampled_from(leaves))
            return Node(cls, name, lambda env: env[name])
        if cls == F:
            lit = draw(st.sampled_from(FLOAT_LITERALS))
            return Node(F, lit, lambda env: float(lit))
        if cls == I:
            value = draw(st.integers(1, 9))
            return Node(I, str(value), lambda env: value)
        if cls == C:
            im = draw(st.sampled_from(IMAGINARY_LITERALS))
            return Node(C, im + "j", lambda env: complex(0.0, float(im)))
        value = draw(st.booleans())
        return Node(B, "true" if value else "false", lambda env: value)
    sub = lambda c: expr(c, names, depth - 1)  # noqa: E731
    if cls == B:
        kind = draw(st.sampled_from(["cmp", "and", "or", "not"]))
        if kind == "cmp":
            op = draw(st.sampled_from(sorted(COMPARE)))
            a, b = draw(sub(draw(st.sampled_from([F, I])))), draw(sub(draw(st.sampled_from([F, I]))))
            return Node(B, f"({a.text} {op} {b.text})",
                        lambda env: COMPARE[op](a.meaning(env), b.meaning(env)))
        if kind == "not":
            a = draw(sub(B))
            return Node(B, f"(!{a.text})", lambda env: not a.meaning(env))
        a, b = draw(sub(B)), draw(sub(B))
        op = "&&" if kind == "and" else "||"
        logic = (lambda x, y: x and y) if kind == "and" else (lambda x, y: x or y)
        return Node(B, f"({a.text} {op} {b.text})",
                    lambda env: logic(a.meaning(env), b.meaning(env)))
    kinds = ["arith", "neg", "if"] + (["call", "div", "cast"] if cls != C else [])
    kind = draw(st.sampled_from(kinds))
    if kind == "arith":
        op = draw(st.sampled_from(sorted(ARITH)))
        if cls == I:
            a, b = draw(sub(I)), draw(sub(I))
        else:  # one operand of the result's class decides the result's class
            a = draw(sub(cls))
            b = draw(sub(draw(st.sampled_from([F, I] if cls == F else [C, F, I]))))
            if draw(st.booleans()):
                a, b = b, a
        return Node(cls, f"({a.text} {op} {b.text})",
                    lambda env: ARITH[op](a.meaning(env), b.meaning(env)))
    if kind == "neg":
        a = draw(sub(cls))
        return Node(cls, f"(-{a.text})", lambda env: -a.meaning(env))
    if kind == "if":
        c, a, b = draw(sub(B)), draw(sub(cls)), draw(sub(cls))
        return Node(cls, f"(if {c.text} then {a.text} else {b.text})",
                    lambda env: select(c.meaning(env), a.meaning(env), b.meaning(env)))
    if kind == "call":
        name = draw(st.sampled_from(sorted(FLOAT_BUILTINS)))
        a = to_float(draw(sub(draw(st.sampled_from([F, I])))))
        node = Node(F, f"{name}({a.text})", lambda env: FLOAT_BUILTINS[name](a.meaning(env)))
        return node if cls == F else Node(I, f"({node.text})@i32",
                                          lambda env: int(node.meaning(env)))
    if kind == "div":
        if cls == I:
            a, b = draw(sub(I)), draw(sub(I))
            op = draw(st.sampled_from(["//", "%"]))
            fn = (lambda x, y: x // y) if op == "//" else (lambda x, y: x % y)
            return Node(I, f"({a.text} {op} {b.text})", lambda env: fn(a.meaning(env), b.meaning(env)))
        a, b = draw(sub(F)), draw(sub(F))
        return Node(F, f"({a.text} / {b.text})", lambda env: a.meaning(env) / b.meaning(env))
    other = draw(sub(I if cls == F else F))
    if cls == F:
        return to_float(other)
    return Node(I, f"({other.text})@i32", lambda env: int(other.meaning(env)))


ARG_VALUES = {F: st.floats(-50, 50), I: st.integers(-20, 20), B: st.booleans(),
              C: st.builds(complex, st.floats(-50, 50), st.floats(-50, 50))}


@st.composite
def kernels(draw, values=ARG_VALUES):
    """A random kernel, arguments drawn from `values` (value class -> strategy), and its meaning."""
    classes = draw(st.lists(st.sampled_from([F, I, C, B]), min_size=1, max_size=3))
    names = {f"a{k}": c for k, c in enumerate(classes)}
    header = "|" + ", ".join(f"{n}: {PARAM_DTYPE[c]}" for n, c in names.items()) + "|"
    lines, lets = [], []
    for k in range(draw(st.integers(0, 2))):
        cls = draw(st.sampled_from([F, I, C, B]))
        node = draw(expr(cls, dict(names), 3))
        lines.append(f"v{k} = {node.text}")
        lets.append((f"v{k}", node))
        names[f"v{k}"] = cls
    result = draw(expr(draw(st.sampled_from([F, I, C, B])), names, 4))
    source = "\n".join([header, *lines, result.text])
    args = [draw(values[c]) for c in classes]

    # The kernel computes the assignments the result depends on, in line order, before the
    # result; one that nothing uses never runs. The order decides which error a kernel with two
    # faults raises.
    live = set(re.findall(r"\bv\d+\b", result.text))
    for name, node in reversed(lets):
        if name in live:
            live.update(re.findall(r"\bv\d+\b", node.text))

    def meaning(*call_args):
        env = {f"a{k}": v for k, v in enumerate(call_args)}
        for name, node in lets:
            if name in live:
                env[name] = node.meaning(env)
        return result.meaning(env)

    return source, args, meaning


def outcome(fn, args):
    try:
        return ("value", fn(*args))
    except (ArithmeticError, ValueError) as error:
        return ("raises", type(error))


def equal(x, y):
    if isinstance(x, complex) or isinstance(y, complex):
        x, y = complex(x), complex(y)
        return equal(x.real, y.real) and equal(x.imag, y.imag)
    if isinstance(x, float) and isinstance(y, float) and math.isnan(x) and math.isnan(y):
        return True
    return x == y


def same(a, b):
    if a[0] != b[0]:
        return False
    if a[0] == "raises":
        return a[1] is b[1]
    return equal(a[1], b[1])


@given(kernels())
def test_emitted_code_computes_the_independent_evaluation(kernel):
    source, args, meaning = kernel
    text = _tarvelon.emit_python(source, "k")
    namespace = {}
    exec(compile(text, "<kernel>", "exec"), namespace)
    got, want = outcome(namespace["k"], args), outcome(meaning, args)
    assert same(got, want), (source, args, text, got, want)
