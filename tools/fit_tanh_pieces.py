#!/usr/bin/env python3
"""Fits the f32 tanh kernel's pieces and checks them by evaluating every float in [0, 9.75].

tanh a for a = |x| <= 9.75 is read from slots indexed by the bits of a: slot 0 serves a < 2^-k
as a + a p(a^2), p(v) = q_D v^D + ... + q_1 v (no constant, so tiny arguments give a itself);
slot i >= 1 serves the i-th piece of 2^m equal pieces per binade from 2^-k on, as
C + t p(t) with t = a - c, where the float c lies in the piece's binade (so t is exact) and is
chosen so that tanh c is within a small fraction of an ulp of the float C. Both forms end in one
fused multiply-add, fma(t, p, B) with B = a or C. Coefficients are fitted for the least error in
ulps of the result and then rounded to floats one at a time, refitting the rest.

    fit_tanh_pieces.py K M D SLOTS [TOP]

with the kernel's layouts K M D SLOTS TOP = 2 2 5 32 9.75 (AVX-512) and 2 1 6 8 3 (AVX2, whose
kernel reads tanh from an exponential from 3 on), prints the worst error of the fit and the
bound on the error before the last rounding, then the rows of the table (c, C, q_D .. q_0; slots
past the last piece repeat it), then the worst error of the float evaluation against tanh in
double over all floats in [0, TOP). Needs NumPy; deterministic; the last check takes minutes."""
import sys

import numpy as np

from fit_softplus_pieces import f32, fit_floats

CLAMP = 9.75  # tanh rounds to 1 from 9.011 on; 9.75 is still below 10, in the piece [8, 10)
SMALL_DEGREE = 5  # in a^2 below 2^-k: more only grows the top coefficients, not the accuracy


def ulp(y):
    """The float ulp of nonzero doubles y (normal range)."""
    return np.ldexp(1.0, np.frexp(np.abs(y))[1] - 24)


def near_float_centre(lo, hi):
    """A float c in [lo, hi) near the middle with tanh c within a sliver of an ulp of a float C."""
    mid = np.float32((lo + hi) / 2)
    best = None
    middle = np.tanh(np.float64(mid))
    for y in (f32(middle) + d * ulp(middle) for d in (-1, 0, 1)):
        if y >= 1:
            continue
        start = np.float32(np.arctanh(y))
        cands = np.arange(-4096, 4097, dtype=np.int64) + np.int64(start.view(np.int32))
        cs = cands.astype(np.int32).view(np.float32).astype(np.float64)
        cs = cs[(cs >= lo + (hi - lo) / 4) & (cs <= hi - (hi - lo) / 4)]
        if len(cs) == 0:
            continue
        ts = np.tanh(cs)
        off = np.abs(ts - f32(ts)) / ulp(ts)
        j = int(np.argmin(off))
        if best is None or off[j] < best[2]:
            best = (cs[j], f32(ts[j]), off[j])
    return best


def fit_slot(lo, hi, degree, small):
    """(c, C, coefficients q_D .. q_0, fit error in ulps) of one slot."""
    if small:
        a = np.linspace(hi * 1e-3, hi, 4001)
        y = np.tanh(a)
        v = a * a
        used = min(degree, SMALL_DEGREE)
        basis = np.stack([v**j * a for j in range(1, used + 1)], axis=1)
        cf, err = fit_floats(basis, y - a, 1 / ulp(y))
        return 0.0, 0.0, [0.0] * (degree - used) + [float(q) for q in cf[::-1]] + [0.0], err
    c, big_c, _ = near_float_centre(lo, hi)
    a = np.linspace(lo, hi, 4001)
    t = a - c
    y = np.tanh(a)
    basis = np.stack([t ** (j + 1) for j in range(degree + 1)], axis=1)
    cf, err = fit_floats(basis, y - big_c, 1 / ulp(y))
    return c, big_c, [float(q) for q in cf[::-1]], err


def error_bound(lo, hi, c, big_c, coefs, small):
    """The worst error of one slot in ulps before the last rounding, over a dense grid: the fit
    (with C for tanh c and the float coefficients), plus each Horner step's rounding, half an ulp
    of |p_j| <= 2^-24 |p_j|, carried to the result times |t| v^j, plus, in slot 0, the rounding
    of v = a^2 carried through p. First order; the second is below 2^-40 of the result."""
    a = np.linspace(max(lo, hi * 1e-4), hi, 20001)
    t = a - c
    v = a * a if small else t
    partial = [coefs[0] + 0 * v]
    for q in coefs[1:]:
        partial.append(partial[-1] * v + q)
    p = partial[-1]
    y = np.tanh(a)
    exact = a + a * p if small else big_c + t * p
    fit = np.abs(exact - y)
    steps = sum(np.abs(pj) * np.abs(v) ** j for j, pj in enumerate(reversed(partial[:-1]), 1))
    rounding = np.abs(t) * (np.abs(p) + steps) * 2.0**-24
    if small:
        slope = sum(j * q * v ** (j - 1) for j, q in enumerate(reversed(coefs)) if j > 0)
        rounding += a * np.abs(slope) * v * 2.0**-24
    return float(np.max((fit + rounding) / ulp(y)))


def fma32(a, b, c):
    return np.float32(a.astype(np.float64) * b.astype(np.float64) + c.astype(np.float64))


def evaluate(rows, k, m, a):
    """The kernel's float arithmetic on float32 arguments a in [0, CLAMP]."""
    shift = 23 - m
    base = (np.float32(2.0**-k).view(np.int32) >> shift) - 1
    idx = np.maximum((a.view(np.int32) >> shift) - base, 0)
    small = a < np.float32(2.0**-k)
    t = a - np.float32(rows[0])[idx]
    v = np.where(small, a * a, t)
    coef = [np.float32(r)[idx] for r in rows[2:]]
    p = coef[0]
    for q in coef[1:]:
        p = fma32(p, v, q)
    return fma32(t, p, np.where(small, a, np.float32(rows[1])[idx]))


def main():
    k, m, degree, slots = (int(v) for v in sys.argv[1:5])
    top = float(sys.argv[5]) if len(sys.argv) > 5 else CLAMP
    pieces = [(0.0, 2.0**-k)]
    e = -k
    while 2.0**e < top:
        for i in range(2**m):
            lo = 2.0**e * (1 + i / 2**m)
            if lo >= top:
                break
            pieces.append((lo, min(2.0**e * (1 + (i + 1) / 2**m), top)))
        e += 1
    assert len(pieces) <= slots, f"{len(pieces)} pieces need more than {slots} slots"
    rows = [[] for _ in range(degree + 3)]
    worst_fit, worst_bound = 0.0, [0.0, 0.0]
    for i, (lo, hi) in enumerate(pieces):
        c, big_c, cf, err = fit_slot(lo, hi, degree, i == 0)
        worst_fit = max(worst_fit, err)
        bound = error_bound(lo, hi, c, big_c, cf, i == 0)
        worst_bound[i > 0] = max(worst_bound[i > 0], bound)
        for row, value in zip(rows, [c, big_c] + cf):
            row.append(value)
    for row in rows:
        row += [row[-1]] * (slots - len(pieces))
    print(f"// worst error of the fit {worst_fit:.4f} ulp; before the last rounding, slot 0 "
          f"{worst_bound[0]:.4f} ulp, the pieces {worst_bound[1]:.4f}")
    for row in rows:
        print("{" + ", ".join(float(np.float32(v)).hex().replace("0000000p", "p") + "f"
                              for v in row) + "},")
    worst, at = 0.0, 0.0
    last = np.nextafter(np.float32(top), np.float32(0)) if top < CLAMP else np.float32(CLAMP)
    last = int(last.view(np.int32))
    for start in range(1, last + 1, 1 << 24):
        bits = np.arange(start, min(start + (1 << 24), last + 1), dtype=np.int32)
        a = bits.view(np.float32)
        got = evaluate(rows, k, m, a).astype(np.float64)
        want = np.tanh(a.astype(np.float64))
        err = np.abs(got - want) / ulp(np.maximum(want, 2.0**-126))
        j = int(np.argmax(err))
        if err[j] > worst:
            worst, at = float(err[j]), float(a[j])
    print(f"// worst error over every float in [0, {top}]: {worst:.4f} ulp at {at.hex()}")


if __name__ == "__main__":
    main()
