"""Property: the typed evaluator computes what the NumPy reference computes node by node, bit for
bit where the operations are exact, and within the stated ulps for the float builtins."""
import numpy as np
import pytest
from hypothesis import assume, given, strategies as st

import tarvelon
from typed_reference import FLOATS, STORAGE, arrays, exact_kernels, narrow, same_values, ulps


def compiled(source):
    try:
        return tarvelon.compile(source, "k")
    except tarvelon.KernelError:
        assume(False)


@given(st.data())
def test_exact_kernels_match_the_reference_bit_for_bit(data):
    source, pdtypes, d, meaning = data.draw(exact_kernels())
    kernel = compiled(source)
    n = data.draw(st.integers(1, 12))
    args = [data.draw(arrays(pd, n)) for pd in pdtypes]
    got = kernel(*args)
    want = np.broadcast_to(meaning(*args), (n,))
    if d in ("c64", "c128"):
        # Only finite complex results are bit-identical; infinities may be recovered or not.
        finite = np.isfinite(want.real) & np.isfinite(want.imag)
        got, want = got[finite], want[finite]
    assert same_values(got, want, d), (source, args, got, want)


def _exact(fn):
    return lambda x: fn(x.astype(np.longdouble))


def _softplus(x):
    return np.where(x > 0, x + np.log1p(np.exp(-x)), np.log1p(np.exp(x)))


# builtin -> (the exact function in extended precision, the allowed error in ulps).
FLOAT_BUILTINS = {
    "exp": (np.exp, 1), "log": (np.log, 1), "sin": (np.sin, 1), "cos": (np.cos, 1),
    "tanh": (np.tanh, 1), "sigmoid": (lambda x: 1 / (1 + np.exp(-x)), 2),
    "softplus": (_softplus, 2),
}


@pytest.mark.parametrize("name", sorted(FLOAT_BUILTINS))
@pytest.mark.parametrize("d", FLOATS)
@given(data=st.data())
def test_float_builtins_are_within_their_ulps(name, d, data):
    exact, allowed = FLOAT_BUILTINS[name]
    x = data.draw(arrays(d, 16))
    got = tarvelon.compile(f"|x: {d}| {name}(x)", "k")(x)
    arg = narrow(x, d) if d == "bf16" else x
    with np.errstate(all="ignore"):
        want = exact(arg.astype(np.longdouble)).astype(np.float64)
    rounded = narrow(want, d).astype(np.float64)
    err = np.where(got.astype(np.float64) == rounded, 0.0, ulps(got, want, d))
    assert got.dtype == STORAGE[d]
    assert np.all(err <= allowed), (name, d, arg[err > allowed], got[err > allowed],
                                    want[err > allowed])
