"""An independent typed evaluation of kernels with NumPy, node by node, and random kernels for it.

Every node computes on NumPy arrays of its own dtype. `bf16` values are float32 arrays holding
exact bfloat16 values; `f16` and `bf16` operations compute in float32 and round once. Where NumPy
has no meaning or a different one (zero divisors, negative integer powers, float-to-integer
casts), the rules below are written out."""
import numpy as np
from hypothesis import strategies as st

# dtype name -> NumPy storage dtype (bf16 is carried as float32).
STORAGE = {
    "bool": np.bool_, "u8": np.uint8, "u16": np.uint16, "u32": np.uint32, "u64": np.uint64,
    "i8": np.int8, "i16": np.int16, "i32": np.int32, "i64": np.int64, "f16": np.float16,
    "bf16": np.float32, "f32": np.float32, "f64": np.float64, "c64": np.complex64,
    "c128": np.complex128,
}
INTS = ["u8", "u16", "u32", "u64", "i8", "i16", "i32", "i64"]
FLOATS = ["f16", "bf16", "f32", "f64"]
COMPLEX = ["c64", "c128"]
ALL = ["bool", *INTS, *FLOATS, *COMPLEX]
# Formats computed in float32 and rounded once.
NARROW = {"f16", "bf16"}


def kind(d):
    return "b" if d == "bool" else "i" if d in INTS else "f" if d in FLOATS else "c"


# ---- rounding and casts --------------------------------------------------------------------

def _f64_to_f32_odd(x):
    """float64 -> float32 rounded to odd, so that a second rounding to a narrower format is the
    correct single rounding."""
    with np.errstate(over="ignore"):  # beyond float32's range: infinity, as the rounding gives
        t = x.astype(np.float32)
    too_far = np.abs(t.astype(np.float64)) > np.abs(x)
    t = np.where(too_far, np.nextafter(t, np.float32(0)), t)
    inexact = (t.astype(np.float64) != x) & np.isfinite(x)
    bits = t.view(np.uint32) | inexact.astype(np.uint32)
    return np.where(np.isnan(x), np.float32(np.nan), bits.view(np.float32))


def to_bf16(x):
    """Any float array rounded to bfloat16 (to nearest, ties to even), as float32."""
    x = np.asarray(x)
    if x.dtype == np.float64:
        x = _f64_to_f32_odd(x)
    x = x.astype(np.float32)
    bits = x.view(np.uint32).astype(np.uint64)
    u = np.uint64
    rounded = ((bits + u(0x7FFF) + ((bits >> u(16)) & u(1))) & u(0xFFFF0000)).astype(np.uint32)
    return np.where(np.isnan(x), np.float32(np.nan), rounded.view(np.float32))


def narrow(x, d):
    """A float32 (or float64) result rounded to dtype d's format."""
    if d == "bf16":
        return to_bf16(x)
    with np.errstate(over="ignore"):  # beyond the format's range: infinity, as the rounding gives
        return np.asarray(x).astype(STORAGE[d])


def _float_to_int(x, d):
    info = np.iinfo(STORAGE[d])
    t = np.trunc(x.astype(np.float64))
    lo, hi = float(info.min), float(info.max)
    # 2**63 and 2**64 are the first floats above i64's and u64's maxima.
    top = 2.0 ** (64 if d == "u64" else 63) if d in ("i64", "u64") else hi + 1
    safe = np.where(np.isnan(t) | (t < lo) | (t >= top), 0, t)
    out = safe.astype(STORAGE[d])
    out = np.where(t < lo, STORAGE[d](info.min), out)
    out = np.where(t >= top, STORAGE[d](info.max), out)
    return np.where(np.isnan(t), STORAGE[d](0), out).astype(STORAGE[d])


def cast(x, src, dst):
    """The cast rules: bool 0/1, nonzero to bool, integers wrap, floats round once, floats to
    integers cut and saturate (NaN gives 0), complex to real takes the real part."""
    x = np.asarray(x)
    if dst == "bool":
        return x != 0
    if kind(src) == "c" and kind(dst) != "c":
        return cast(np.real(x), "f32" if src == "c64" else "f64", dst)
    if kind(dst) == "i":
        if kind(src) == "f":
            return _float_to_int(x, dst)
        return x.astype(STORAGE[dst])
    if dst == "bf16":
        return to_bf16(x.astype(np.float64))
    return x.astype(STORAGE[dst])


# ---- operations ----------------------------------------------------------------------------

def _in_f32(fn, d):
    """A float function of dtype d: f16 and bf16 compute in float32 and round once."""
    if d in NARROW:
        return lambda *xs: narrow(fn(*(x.astype(np.float32) for x in xs)), d)
    return lambda *xs: fn(*xs).astype(STORAGE[d])


def _bool_arith(fn):
    return lambda a, b: fn(a.astype(np.int8), b.astype(np.int8)) != 0


def _unit_divisor(a, b):
    """Where the divisor is 0, or -1 for a signed dtype (where NumPy's `min // -1` overflows),
    and the divisor with those places replaced by 1."""
    special = (b == 0) | ((b == -1) if a.dtype.kind == "i" else False)
    return special, np.where(special, 1, b).astype(a.dtype)


def _int_floordiv(a, b):
    special, safe = _unit_divisor(a, b)
    by_minus_one = np.negative(a) if a.dtype.kind == "i" else a
    return np.where(special, np.where(b == 0, 0, by_minus_one), np.floor_divide(a, safe)) \
        .astype(a.dtype)


def _int_remainder(a, b):
    special, safe = _unit_divisor(a, b)
    return np.where(special, 0, np.remainder(a, safe)).astype(a.dtype)


def _int_power(a, b):
    """The exact power reduced modulo 2**bits; a negative exponent cuts toward zero."""
    unsigned = np.dtype(a.dtype.str.replace("i", "u"))
    base = a.astype(unsigned)
    e = b.astype(unsigned)
    negative = b < 0 if a.dtype.kind == "i" else np.zeros(b.shape, bool)
    e = np.where(negative, 0, e).astype(unsigned)
    result = np.ones(np.broadcast(a, b).shape, unsigned)
    for _ in range(a.dtype.itemsize * 8):
        result = np.where(e & 1, result * base, result).astype(unsigned)
        base = (base * base).astype(unsigned)
        e = (e >> 1).astype(unsigned)
    result = result.astype(a.dtype)
    odd = (b & 1) == 1
    cut = np.where(a == 1, 1, np.where(a == -1, np.where(odd, -1, 1), 0)).astype(a.dtype)
    return np.where(negative, cut, result).astype(a.dtype)


def _float_remainder(a, b):
    return np.remainder(a, b)


def binary(op, d):
    """The NumPy meaning of `a op b` on two arrays of dtype d."""
    k = kind(d)
    if op in ("==", "!=", "<", "<=", ">", ">="):
        return {"==": np.equal, "!=": np.not_equal, "<": np.less, "<=": np.less_equal,
                ">": np.greater, ">=": np.greater_equal}[op]
    if op in ("&&", "||"):
        return np.logical_and if op == "&&" else np.logical_or
    if k == "b":
        return _bool_arith({"+": np.add, "-": np.subtract, "*": np.multiply}[op])
    if k == "i":
        return {"+": np.add, "-": np.subtract, "*": np.multiply, "//": _int_floordiv,
                "%": _int_remainder, "**": _int_power}[op]
    fn = {"+": np.add, "-": np.subtract, "*": np.multiply, "/": np.divide,
          "%": _float_remainder, "**": np.power}[op]
    return _in_f32(fn, d) if k == "f" else fn


def _relu(x):
    return np.where(x > 0, x, np.zeros_like(x))


EXACT_FLOAT_BUILTINS = {"abs": np.abs, "sqrt": np.sqrt, "floor": np.floor, "ceil": np.ceil,
                        "relu": _relu}


def builtin(name, d):
    """The NumPy meaning of an exact builtin on dtype d."""
    k = kind(d)
    if k == "f":
        return _in_f32(EXACT_FLOAT_BUILTINS[name], d)
    if name == "abs":
        return np.abs if k == "i" else (lambda x: x)
    if name == "relu":
        return (lambda x: np.maximum(x, 0).astype(x.dtype)) if k == "i" else (lambda x: x)
    if name in ("floor", "ceil"):
        return lambda x: x
    # sqrt of an integer: computed in f64, then cut to the integer dtype.
    return lambda x: cast(np.sqrt(x.astype(np.float64)), "f64", d)


# ---- comparison of results -----------------------------------------------------------------

def same_values(got, want, d):
    """Bit-identical, except that any NaN matches any NaN."""
    got, want = np.asarray(got), np.asarray(want)
    if got.dtype != want.dtype or got.shape != want.shape:
        return False
    if kind(d) == "c":
        return (same_values(got.real, want.real, "f64")
                and same_values(got.imag, want.imag, "f64"))
    if kind(d) == "f":
        both_nan = np.isnan(got) & np.isnan(want)
        g = got.view(np.uint16 if got.itemsize == 2 else np.uint32 if got.itemsize == 4
                     else np.uint64)
        w = want.view(g.dtype)
        return bool(np.all(both_nan | (g == w)))
    return bool(np.array_equal(got, want))


# Per float dtype: significand digits, least normal exponent, greatest finite value.
FORMATS = {"f16": (11, -14, 65504.0), "bf16": (8, -126, 3.3895313892515355e38),
           "f32": (24, -126, 3.4028234663852886e38), "f64": (53, -1022, 1.7976931348623157e308)}


def ulps(got, want, d):
    """The distance from `got` to the exact value `want` in units of the last place of dtype d
    at `want`; 0 where both are the same infinity or both NaN. An infinity counts as one ulp
    beyond the greatest finite value."""
    digits, min_exp, top = FORMATS[d]
    got, want = np.asarray(got, np.float64), np.asarray(want, np.float64)
    _, e = np.frexp(np.minimum(np.abs(want), top))
    spacing = np.ldexp(1.0, np.maximum(e - 1, min_exp) - (digits - 1))
    top_ulp = np.ldexp(1.0, int(np.frexp(top)[1]) - digits)
    # One ulp past f64's greatest finite value is itself an infinity, and the product is computed
    # for every element, the finite ones too.
    with np.errstate(over="ignore", invalid="ignore"):
        beyond = np.sign(got) * (top + top_ulp)
    got = np.where(np.isinf(got) & np.isfinite(want), beyond, got)
    with np.errstate(all="ignore"):
        err = np.abs(got - want) / spacing
    same = (got == want) | (np.isnan(got) & np.isnan(want))
    return np.where(same, 0.0, np.where(np.isnan(err), np.inf, err))


# ---- random values and kernels -------------------------------------------------------------

def special_values(d):
    """Zeros, negatives, the dtype's extremes, NaN, infinities, subnormals and -0.0."""
    if d == "bool":
        return [False, True]
    if kind(d) == "i":
        info = np.iinfo(STORAGE[d])
        return sorted({0, 1, 2, 3, 7, int(info.max), int(info.max) - 1, int(info.min),
                       *([-1, -2, -7, int(info.min) + 1] if d.startswith("i") else [])})
    part = {"f16": np.float16, "bf16": np.float32, "f32": np.float32, "f64": np.float64,
            "c64": np.float32, "c128": np.float64}[d]
    info = np.finfo(part)
    values = [0.0, -0.0, 1.0, -1.0, 0.5, -2.5, 3.0, float(info.max), -float(info.max),
              float(info.tiny), float(info.tiny) / 4, -float(info.tiny) / 2, float(info.eps),
              np.inf, -np.inf, np.nan, 1e30, 65504.0, 100.0, -7.0]
    if d == "bf16":
        values.append(1.00390625)  # halfway between two bfloat16 values: ties to even
    return values


def arrays(d, n):
    """An array of n values of parameter dtype d, mixing special and random values."""
    specials = special_values(d)
    if kind(d) == "c":
        part = st.sampled_from(specials) | st.floats(-1e6, 1e6, width=32 if d == "c64" else 64)
        elements = st.builds(complex, part, part)
    elif kind(d) == "f":
        width = 16 if d == "f16" else 64 if d == "f64" else 32
        elements = st.sampled_from(specials) | st.floats(width=width)
    elif d == "bool":
        elements = st.booleans()
    else:
        info = np.iinfo(STORAGE[d])
        elements = st.sampled_from(specials) | st.integers(int(info.min), int(info.max))
    return st.lists(elements, min_size=n, max_size=n).map(lambda xs: _array(xs, d))


def _array(xs, d):
    with np.errstate(over="ignore"):  # values beyond f16 become infinities
        return np.array(xs, dtype=STORAGE[d])


class Node:
    """An expression: its source text, its dtype and its meaning over the argument arrays."""

    def __init__(self, text, dtype, meaning):
        self.text, self.dtype, self.meaning = text, dtype, meaning


def _literal(draw, d):
    k = kind(d)
    if k == "b":
        value = draw(st.booleans())
        return Node("true" if value else "false", d, lambda env: np.array([value]))
    if k == "i":
        info = np.iinfo(STORAGE[d])
        # A literal is at most i64's maximum.
        value = draw(st.sampled_from([0, 1, 2, 3, 5, 7, 100, min(int(info.max), 2**63 - 1)]))
        return Node(f"{value}@{d}", d, lambda env: np.array([value], STORAGE[d]))
    if k == "f":
        value = draw(st.sampled_from(["0.5", "1.5", "2.0", "3.0", "0.25", "10.0"]))
        return Node(f"{value}@{d}", d, lambda env: narrow(np.array([float(value)]), d))
    value = draw(st.sampled_from(["0.5", "2.0", "1.25"]))
    return Node(f"{value}j@{d}", d,
                lambda env: np.array([complex(0.0, float(value))], STORAGE[d]))


@st.composite
def exact_expr(draw, d, params, depth):
    """A random expression of dtype d whose every operation the evaluator computes exactly."""
    k = kind(d)
    if depth <= 0 or draw(st.integers(0, 5)) == 0:
        own = [name for name, pd in params if pd == d]
        if own and draw(st.integers(0, 3)) > 0:
            name = draw(st.sampled_from(own))
            return Node(name, d, lambda env: env[name])
        if draw(st.integers(0, 2)) > 0:
            name, pd = draw(st.sampled_from(params))
            if pd != d:
                return Node(f"{name}@{d}", d, lambda env: cast(env[name], pd, d))
        return _literal(draw, d)
    sub = lambda dd: exact_expr(dd, params, depth - 1)  # noqa: E731
    ops = ["+", "-", "*", "if", "cast"]
    if k != "b":
        ops += ["neg"]
    if k == "b":
        ops += ["cmp", "cmp", "&&", "||", "!"]
    if k == "i":
        ops += ["//", "%", "**", "abs", "relu", "floor", "sqrt"]
    if k == "f":
        ops += ["/", "%", "abs", "sqrt", "floor", "ceil", "relu"]
    op = draw(st.sampled_from(ops))
    if op in ("+", "-", "*", "/", "//", "%", "**", "&&", "||"):
        a, b = draw(sub(d)), draw(sub(d))
        fn = binary(op, d)
        return Node(f"({a.text} {op} {b.text})", d,
                    lambda env: fn(a.meaning(env), b.meaning(env)))
    if op == "cmp":
        e = draw(st.sampled_from(ALL))
        cmp = draw(st.sampled_from(["==", "!="] if kind(e) == "c" else
                                   ["==", "!=", "<", "<=", ">", ">="]))
        a, b = draw(sub(e)), draw(sub(e))
        fn = binary(cmp, e)
        return Node(f"({a.text} {cmp} {b.text})", d,
                    lambda env: fn(a.meaning(env), b.meaning(env)))
    if op == "!":
        a = draw(sub(d))
        return Node(f"(!{a.text})", d, lambda env: np.logical_not(a.meaning(env)))
    if op == "neg":
        a = draw(sub(d))
        return Node(f"(-{a.text})", d, lambda env: np.negative(a.meaning(env)))
    if op == "if":
        c, a, b = draw(sub("bool")), draw(sub(d)), draw(sub(d))
        return Node(f"(if {c.text} then {a.text} else {b.text})", d,
                    lambda env: np.where(c.meaning(env), a.meaning(env), b.meaning(env))
                    .astype(STORAGE[d]))
    if op == "cast":
        e = draw(st.sampled_from([e for e in ALL if e != d]))
        a = draw(sub(e))
        return Node(f"({a.text})@{d}", d, lambda env: cast(a.meaning(env), e, d))
    a = draw(sub(d))
    fn = builtin(op, d)
    return Node(f"{op}({a.text})", d, lambda env: fn(a.meaning(env)))


@st.composite
def exact_kernels(draw, dtypes=ALL):
    """(source, parameter dtypes, result dtype, meaning over argument arrays)."""
    pdtypes = draw(st.lists(st.sampled_from(dtypes), min_size=1, max_size=3))
    params = [(f"a{k}", pd) for k, pd in enumerate(pdtypes)]
    d = draw(st.sampled_from(pdtypes) | st.sampled_from(dtypes))
    node = draw(exact_expr(d, params, 4))
    header = "|" + ", ".join(f"{n}: {pd}" for n, pd in params) + "|"

    def meaning(*args):
        env = {name: (to_bf16(arg) if pd == "bf16" else arg.astype(STORAGE[pd]))
               for (name, pd), arg in zip(params, args)}
        with np.errstate(all="ignore"):
            return np.asarray(node.meaning(env)).astype(STORAGE[d])

    return f"{header} {node.text}", pdtypes, d, meaning
