#!/usr/bin/env python3
"""Fits the f32 softplus kernel's pieces: l(v) = log(1 + e^v) on 32 pieces of width 3/4 over
[-23.625, 0], piece i serving v = c + t, c = -3i/4, as C + t P(t) with C the float nearest l(c)
and P of degree 5 with float coefficients, for least relative error. C's own rounding is part of
what the fit sees, so the kernel needs no low part of the constant.

Prints the worst relative error of the fit, the bounds on the error before the last rounding
(of l where x <= 0, in ulps of l; of x + l where x > 0, in ulps of the result), then the rows of
`kSoftplusPieces` (P's coefficients from the highest degree, then C). Needs NumPy;
deterministic."""
import numpy as np

WIDTH, DEGREE, PIECES = 0.75, 6, 32
# A piece reaches past its half-width by the rounded 4/3 that picks it (under 2^-20).
REACH = 1.001


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


def ulp(y):
    return 2.0 ** (np.floor(np.log2(np.abs(y))) - 23)


def grid(i, points):
    half = WIDTH / 2 * REACH
    return np.linspace(-half, 0.0 if i == 0 else half, points)


def l(v):
    return np.log1p(np.exp(v))


def fit_piece(i):
    """P's coefficients from t^1 up, C, and the fit's worst relative error."""
    t = grid(i, 3001)
    y = l(t - WIDTH * i)
    c = f32(l(-WIDTH * i))
    basis = np.stack([t**j for j in range(1, DEGREE + 1)], axis=1)
    cf, err = fit_floats(basis, y - c, 1 / y)
    return cf, c, err


def error_bounds(cf, c, i):
    """Piece i's worst errors before the last rounding, over a dense grid: the fit and each
    Horner step's rounding (2^-24 of |p_j|, reaching l times |t|^(j+1)), in ulps of l; and for
    x = -v > 0, that plus l's own rounding, in ulps of x + l."""
    t = grid(i, 200001)
    v = t - WIDTH * i
    y = l(v)
    partial = [cf[-1] + 0 * t]
    for q in cf[-2::-1]:
        partial.append(partial[-1] * t + q)
    approx = c + t * partial[-1]
    steps = sum(np.abs(pj) * np.abs(t) ** (j + 1) for j, pj in enumerate(reversed(partial)))
    before = (np.abs(approx - y) + steps * 2.0**-24) / ulp(y)
    inside = v < 0
    r = -v[inside] + y[inside]
    positive = (before[inside] + 0.5) * ulp(y[inside]) / ulp(r)
    return float(before.max()), float(positive.max()) if inside.any() else 0.0


def main():
    rows = [[] for _ in range(DEGREE + 1)]
    worst = bound = bound_positive = 0.0
    for i in range(PIECES):
        cf, c, err = fit_piece(i)
        b, bp = error_bounds(cf, c, i)
        worst, bound, bound_positive = max(worst, err), max(bound, b), max(bound_positive, bp)
        for j in range(DEGREE):
            rows[j].append(cf[DEGREE - 1 - j])
        rows[DEGREE].append(c)
    print(f"// worst relative error 2^{np.log2(worst):.2f}; before the last rounding "
          f"{bound:.3f} ulp (x <= 0), {bound_positive:.3f} ulp (x > 0)")
    for row in rows:
        print("{" + ", ".join(float(v).hex().replace("0000000p", "p") + "f" for v in row) + "},")


if __name__ == "__main__":
    main()
