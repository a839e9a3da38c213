#pragma once
// The composite builtins of f64 (sigmoid, softplus, exp_sigmoid, sigmoid_log) over GCC vectors of
// doubles, for the baseline unit and each wider one. Everything here has internal linkage, so a
// unit compiled for a wider instruction set never lends its copy to baseline code; it calls
// nothing from the standard library for the same reason.
//
// Plain double arithmetic on a 1-ulp exponential cannot be proven within 2 ulps: for x < 0,
// e^x / (1 + e^x) falls a binade below e^x, so the exponential's one ulp alone costs two. Here
// e^t comes as an unevaluated sum of two doubles (hi + lo) within 2^-56 relative, and the steps
// after it keep that precision until the one rounding to double: what the pair's 2^-56 adds to
// the half ulp of that rounding is at most 2^-56 * 2^53 = 1/8 ulp.

#include <cstddef>

namespace tarvelon::eval::detail {
namespace {

/// `Vec::D` is a GCC vector of doubles and `Vec::I` one of as many 64-bit integers.
template <class Vec>
struct CompositeF64 {
  using D = typename Vec::D;
  using I = typename Vec::I;

  /// hi + lo, with |lo| at most half an ulp of hi.
  struct Pair {
    D hi, lo;
  };

  static D splat(double v) { return D{} + v; }

  /// a + b exactly, when |a| >= |b| or a is zero.
  static Pair fast_two_sum(D a, D b) {
    const D s = a + b;
    return {s, b - (s - a)};
  }
  /// a + b exactly, whatever their magnitudes.
  static Pair two_sum(D a, D b) {
    const D s = a + b;
    const D bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
  }
  /// a * b exactly, for |a|, |b| far below 2^996: by a fused multiply-add where the unit has one
  /// (there the compiler may also fuse Veltkamp's split and break it), else by the split.
  static Pair two_prod(D a, D b) {
    const D p = a * b;
    if constexpr (requires { Vec::fma(a, b, p); }) return {p, Vec::fma(a, b, -p)};
    const D ca = a * 134217729.0;  // 2^27 + 1
    const D ah = ca - (ca - a);
    const D al = a - ah;
    const D cb = b * 134217729.0;
    const D bh = cb - (cb - b);
    const D bl = b - bh;
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
  }
  /// n / d within a few 2^-104 relative, for d in [1, 3]: q1 + (n - q1 d) / d, where n.hi - q1 d.hi
  /// cancels exactly.
  static Pair divide(Pair n, Pair d) {
    const D q1 = n.hi / d.hi;
    const Pair p = two_prod(q1, d.hi);
    const D rest = (((n.hi - p.hi) - p.lo) + n.lo) - q1 * d.lo;
    return fast_two_sum(q1, rest / d.hi);
  }

  /// 2^k for integers k in [-1022, 1023].
  static D pow2(I k) { return (D)((k + 1023) << 52); }
  /// v 2^k for k in [-1078, 0], rounded once: each half of the scaling stays a normal power of two.
  static D scale(D v, I k) {
    const I half = k >> 1;
    return v * pow2(half) * pow2(k - half);
  }

  /// e^t = 2^k (hi + lo) for t <= 0, hi + lo within 2^-56 relative of e^(t - k ln2) in
  /// [0.70, 1.42]. Below t = -746, t counts as -746: e^t is then below half the smallest
  /// subnormal, and so is every composite result it is a factor of.
  ///
  /// t - k ln2 = r_hi + r_lo is exact to 2^-100: ln2 is split 32 + 42 + 53 bits, so k ln2_hi and
  /// k ln2_mid are exact for |k| < 2^11, and t - k ln2_hi cancels exactly. e^r is
  /// 1 + r + r^2/2 + r^3 (1/6 + ... + r^12/15!) with r^2 exact as a pair; the series remainder
  /// is below 0.35^16 / 16! < 2^-68, the tail's roundings below 2^-58, and r_lo enters as
  /// r_lo (1 + r + r^2/2), off by r_lo r^3 / 6 < 2^-62.
  struct Exp {
    Pair m;
    I k;
  };
  static Exp exp_nonpositive(D t) {
    t = t < -746.0 ? splat(-746.0) : t;
    const D shifter = splat(0x1.8p52);
    const D shifted = t * 1.4426950408889634 + shifter;  // k in the low bits
    const D k = shifted - shifter;
    const D a = t - k * 0x1.62e42fee00000p-1;
    const Pair r0 = two_sum(a, -(k * 0x1.a39ef35793800p-33));
    const Pair r = fast_two_sum(r0.hi, r0.lo - k * 0x1.1d9cc01f97b58p-75);
    const D x = r.hi;
    // 1/15!, 1/14!, ..., 1/3!
    constexpr double kInverseFactorials[] = {
        1.0 / 1307674368000, 1.0 / 87178291200, 1.0 / 6227020800, 1.0 / 479001600, 1.0 / 39916800,
        1.0 / 3628800,       1.0 / 362880,      1.0 / 40320,      1.0 / 5040,      1.0 / 720,
        1.0 / 120,           1.0 / 24,          1.0 / 6};
    D q = D{};
    for (const double c : kInverseFactorials) q = q * x + c;
    const Pair sq = two_prod(x, x);
    const Pair one_r = fast_two_sum(splat(1.0), x);
    const Pair with_sq = two_sum(one_r.hi, sq.hi * 0.5);
    const D low =
        one_r.lo + with_sq.lo + sq.lo * 0.5 + sq.hi * x * q + r.lo * (1.0 + x + 0.5 * sq.hi);
    return {fast_two_sum(with_sq.hi, low), (I)shifted - (I)shifter};
  }

  /// 1 + e for e = 2^k m <= 1 as a pair; where 2^k m.lo underflows, it is far below the pair's
  /// precision.
  static Pair one_plus(const Exp& e, double one) {
    const Pair s = fast_two_sum(splat(one), scale(e.m.hi, e.k));
    return fast_two_sum(s.hi, s.lo + scale(e.m.lo, e.k));
  }

  static D neg_abs(D x) { return (D)((I)x | (I)(-D{})); }
  static D keep_nan(D x, D r) { return x != x ? x : r; }

  /// 1 / (1 + e) for x >= 0 and e / (1 + e) for x < 0, with e = e^-|x|: the quotient of pairs,
  /// then 2^k put back once, so a subnormal result rounds twice, the first time by at most a
  /// quarter of its final ulp (0.76 ulp in all, measured).
  static D sigmoid(D x) {
    const Exp e = exp_nonpositive(neg_abs(x));
    const Pair den = one_plus(e, 1.0);
    const auto positive = x >= 0.0;
    const Pair num = {positive ? splat(1.0) : e.m.hi, positive ? D{} : e.m.lo};
    const Pair q = divide(num, den);
    const D r = q.hi + q.lo;
    return keep_nan(x, positive ? r : scale(r, e.k));
  }

  /// max(x, 0) + log(1 + e) with e = e^-|x|. log(1 + e) = 2 atanh(s) with s = e / (2 + e) <= 1/3:
  /// 2 s as a pair plus 2 s^3 (1/3 + s^2/5 + ... + s^30/33) in doubles, whose remainder is below
  /// 9^-17 / 35 < 2^-58 relative and whose roundings stay below 2^-57 of the result. Where e is
  /// below 2^-57 and x <= 0, log(1 + e) is e itself to 2^-58, and e, rounded once, is the result
  /// (the pair's arithmetic would underflow there).
  static D softplus(D x) {
    const Exp e = exp_nonpositive(neg_abs(x));
    const Pair s = divide({scale(e.m.hi, e.k), scale(e.m.lo, e.k)}, one_plus(e, 2.0));
    const D u = s.hi * s.hi;
    D p = splat(1.0 / 33);
    for (int j = 31; j >= 3; j -= 2) p = p * u + 1.0 / j;
    const Pair log1p = fast_two_sum(2.0 * s.hi, 2.0 * s.hi * u * p);
    const D keep = x > 0.0 ? x : D{};
    const Pair sum = two_sum(keep, log1p.hi);
    const D general = sum.hi + (sum.lo + (log1p.lo + 2.0 * s.lo));
    const D tiny = scale(e.m.hi, e.k);
    // the pair's sum of an infinite x is NaN; an infinite x is its own result
    return keep_nan(x, x < -40.0 ? tiny : x == __builtin_inf() ? x : general);
  }

  static D sigmoid_log(D x) { return -softplus(-x); }
};

}  // namespace
}  // namespace tarvelon::eval::detail
