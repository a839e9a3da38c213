#!/usr/bin/env python3
"""Fits the f32 exp_sigmoid kernel's pieces: f(x) = 1 / (1 + e^-e^x) on SLOTS pieces of width
w = 20 / SLOTS, piece i centred on c = w (i - K), K the piece of x = 0, as
f = C_hi + (C_lo + t p(t)) with t = x - c, p of degree D - 1 with float coefficients and f(c)
as a pair of floats. f lies in [1/2, 1), where the ulp is 2^-24 throughout, so the fit is for
the least absolute error. The pieces cover [-16.5, 3.1]: to the left f exceeds 1/2 by less
than 0.3 ulp, to the right it rounds to 1.

    fit_exp_sigmoid_pieces.py D SLOTS

with the kernel's D SLOTS = 8 32 (AVX-512) and 11 16 (AVX2), prints the worst error of the fit
and a bound on the error before the last rounding, then the rows of the table (p's coefficients
from the highest degree, then C_lo and C_hi), then the worst error of the float evaluation
against f in double over ten million floats of [-16.5, 3.1]. Needs NumPy; deterministic."""
import sys

import numpy as np

from fit_softplus_pieces import f32, fit_floats
from fit_tanh_pieces import ulp

LO, HI = -16.5, 3.1
ULP = 2.0**-24


def layout(slots):
    width = 20 / slots
    return width, round(-LO / width)


def exact(x):
    return 1 / (1 + np.exp(-np.exp(x)))


def fit(degree, slots):
    width, k = layout(slots)
    rows = [[] for _ in range(degree + 2)]
    worst = 0.0
    for i in range(slots):
        c = width * (i - k)
        half = width / 2 * 1.001
        t = np.linspace(-half, half, 4001)
        y = exact(c + t)
        c_hi = f32(exact(c))
        c_lo = f32(exact(c) - c_hi)
        basis = np.stack([t ** (j + 1) for j in range(degree)], axis=1)
        cf, err = fit_floats(basis, y - c_hi - c_lo, np.full(len(t), 1 / ULP))
        worst = max(worst, err)
        for row, value in zip(rows, list(cf[::-1]) + [c_lo, c_hi]):
            row.append(value)
    return rows, worst


def error_bound(rows, slots, i):
    """The worst error of piece i in ulps before the last rounding, over a dense grid: the fit,
    the pair for f(c), each Horner step's rounding (2^-24 of |p_j|, times |t|^(j+1)), the
    rounding of C_lo + t p (half an ulp of it), and t's (2^-24 |t| times the slope f' <= 0.23)."""
    width, k = layout(slots)
    c = width * (i - k)
    t = np.linspace(-width / 2 * 1.001, width / 2 * 1.001, 20001)
    coefs = [row[i] for row in rows[:-2]]
    partial = [coefs[0] + 0 * t]
    for q in coefs[1:]:
        partial.append(partial[-1] * t + q)
    p = partial[-1]
    s = rows[-2][i] + t * p
    fit = np.abs(rows[-1][i] + s - exact(c + t))
    steps = sum(np.abs(pj) * np.abs(t) ** (j + 1) for j, pj in enumerate(reversed(partial)))
    rounding = steps * 2.0**-24 + ulp(s) / 2 + 0.23 * np.abs(t) * 2.0**-24
    return float(np.max(fit + rounding) / ULP)


def evaluate(rows, slots, x):
    width, k = layout(slots)
    xc = np.clip(x, np.float32(LO), np.float32(HI)).astype(np.float32)
    shifter = np.float32(1.5 * 2**23 + k)
    m = np.float32(xc.astype(np.float64) * np.float64(np.float32(1 / width)) + shifter)
    j = m - shifter
    t = np.float32(j.astype(np.float64) * -width + xc.astype(np.float64))
    slot = (m.view(np.int32) & (slots - 1)).astype(np.int64)
    coef = [np.float32(r)[slot] for r in rows]
    p = coef[0]
    for q in coef[1:-2]:
        p = np.float32(p.astype(np.float64) * t + q)
    s = np.float32(t.astype(np.float64) * p + coef[-2])
    return coef[-1] + s


def main():
    degree, slots = (int(v) for v in sys.argv[1:3])
    rows, worst_fit = fit(degree, slots)
    bound = max(error_bound(rows, slots, i) for i in range(slots))
    print(f"// worst error of the fit {worst_fit:.4f} ulp; before the last rounding {bound:.4f}")
    for row in rows:
        print("{" + ", ".join(float(np.float32(v)).hex().replace("0000000p", "p") + "f"
                              for v in row) + "},")
    rng = np.random.default_rng(1)
    x = rng.uniform(LO, HI, 10**7).astype(np.float32)
    err = np.abs(evaluate(rows, slots, x).astype(np.float64) - exact(x.astype(np.float64))) / ULP
    j = int(np.argmax(err))
    print(f"// worst error over 10^7 floats in [{LO}, {HI}]: {err[j]:.4f} ulp at "
          f"{float(x[j]).hex()}")


if __name__ == "__main__":
    main()
