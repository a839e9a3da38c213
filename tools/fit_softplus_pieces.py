#!/usr/bin/env python3
"""Fits the f32 softplus kernel's pieces: l(v) = log(1 + e^v) on 32 pieces of width 3/4 over
[-23.625, 0.375], piece i a polynomial of degree 6 in t = v + 3i/4 with float coefficients and
the constant as a pair of floats, each for least relative error. Prints the rows of
`kSoftplusPieces` (t^6 .. t^1, then the constant's low and high parts) and the worst relative
error of the fit. Needs NumPy; deterministic."""
import numpy as np

WIDTH, DEGREE, PIECES = 0.75, 6, 32


def f32(v):
    return np.float64(np.float32(v))


def lawson(basis, y, w, iters=400):
    """The coefficients c minimising max |w (y - basis c)|, by iteratively reweighted least
    squares."""
    u = np.ones(len(y)) / len(y)
    for _ in range(iters):
        s = np.sqrt(u)
        c, *_ = np.linalg.lstsq(basis * (s * w)[:, None], y * s * w, rcond=None)
        u = u * np.abs(w * (y - basis @ c))
        u /= u.sum()
    return c


def fit_floats(basis, y, w, span=6, sweeps=3):
    """Float coefficients: rounded one at a time, lowest first, refitting the rest, then a
    search of a few ulps around each."""
    cf = []
    for j in range(basis.shape[1]):
        rest = y - (basis[:, :j] @ np.array(cf) if j else 0)
        cf.append(f32(lawson(basis[:, j:], rest, w)[0]))
    cf = np.array(cf)
    err = lambda c: np.max(np.abs(w * (y - basis @ c)))
    best = err(cf)
    for _ in range(sweeps):
        for j in range(len(cf)):
            for d in range(-span, span + 1):
                v = np.float32(cf[j])
                for _ in range(abs(d)):
                    v = np.nextafter(v, np.float32(np.inf if d > 0 else -np.inf))
                trial = cf.copy()
                trial[j] = np.float64(v)
                e = err(trial)
                if e < best:
                    best, cf = e, trial
    return cf, best


def main():
    rows = [[] for _ in range(DEGREE + 2)]
    worst = 0.0
    for i in range(PIECES):
        lo = -WIDTH / 2
        hi = 0.0 if i == 0 else WIDTH / 2
        t = np.linspace(lo, hi, 3001)
        y = np.log1p(np.exp(t - WIDTH * i))
        w = 1 / y
        basis = np.stack([t**j for j in range(DEGREE + 1)], axis=1)
        c0 = lawson(basis, y, w)[0]
        c0_hi = f32(c0)
        c0_lo = f32(c0 - c0_hi)
        cf, e = fit_floats(basis[:, 1:], y - c0_hi - c0_lo, w)
        worst = max(worst, e)
        for j in range(DEGREE):
            rows[j].append(cf[DEGREE - 1 - j])
        rows[DEGREE].append(c0_lo)
        rows[DEGREE + 1].append(c0_hi)
    print(f"// worst relative error 2^{np.log2(worst):.2f}")
    for row in rows:
        print("{" + ", ".join(float(v).hex().replace("0000000p", "p") + "f" for v in row) + "},")


if __name__ == "__main__":
    main()
