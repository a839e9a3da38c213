#pragma once
// The f32 builtins that a single-precision exponential within 1 ulp cannot serve, computed in
// single precision over a full vector of floats for the AVX2 and AVX-512 units. Everything here
// has internal linkage and calls nothing from the standard library, so a unit compiled for a
// wider instruction set never lends its copy to baseline code.
//
// A 1-ulp single-precision exponential alone would cost up to 2 ulps of e^x / (1 + e^x) below
// zero. Here e^t comes as an unevaluated sum of two floats within 2^-32 relative, and the steps
// after it keep the low part through error-free sums and a corrected quotient until the one
// rounding to float. Every function's comment states what each step adds and the bound it proves;
// the accuracy test holds each one to it.

#include <cstddef>
#include <cstdint>

namespace tarvelon::eval::detail {
namespace {

/// `Vec::F` is a GCC vector of floats, `Vec::FI` and `Vec::FU` ones of as many signed and unsigned
/// 32-bit integers; `Vec` gives fused multiply-adds, clamps that keep a NaN of their second
/// operand, v 2^k rounded once, and a lookup of 16 floats by the low four bits of each lane.
template <class Vec>
struct CompositeF32 {
  using F = typename Vec::F;
  using FI = typename Vec::FI;
  using FU = typename Vec::FU;

  static F splat(float v) { return F{} + v; }
  static F fma(F a, F b, F c) { return Vec::fma(a, b, c); }
  /// c - a b, rounded once.
  static F fnma(F a, F b, F c) { return Vec::fnma(a, b, c); }
  static constexpr std::uint32_t kSign = 0x80000000u;

  static F ldexp(F v, FI k) { return Vec::ldexp(v, k); }
  /// 2^k for integers k in [-126, 127].
  static F pow2(FI k) { return (F)(((FU)k + 127u) << 23); }
  /// -|x|, no lower than `floor`; a NaN stays a NaN.
  static F neg_abs_at_least(F x, float floor) {
    return Vec::at_least(splat(floor), (F)((FU)x | kSign));
  }

  /// 2^(j/16) for j = 0..15 as a pair of floats, within 2^-47 together.
  static constexpr float kExp2Hi[16] = {
      0x1.000000p+0f, 0x1.0b5586p+0f, 0x1.172b84p+0f, 0x1.2387a6p+0f,
      0x1.306fe0p+0f, 0x1.3dea64p+0f, 0x1.4bfdaep+0f, 0x1.5ab07ep+0f,
      0x1.6a09e6p+0f, 0x1.7a1148p+0f, 0x1.8ace54p+0f, 0x1.9c4918p+0f,
      0x1.ae89fap+0f, 0x1.c199bep+0f, 0x1.d5818ep+0f, 0x1.ea4afap+0f};
  static constexpr float kExp2Lo[16] = {0.0f,
                                        0x1.9f3122p-25f,
                                        -0x1.c15742p-27f,
                                        0x1.ceac48p-25f,
                                        0x1.4636e2p-25f,
                                        0x1.824684p-25f,
                                        -0x1.593abcp-25f,
                                        -0x1.5bd5ecp-27f,
                                        0x1.9fcef4p-26f,
                                        -0x1.829fd0p-25f,
                                        0x1.15506ep-27f,
                                        0x1.51f848p-27f,
                                        -0x1.a94b14p-26f,
                                        -0x1.3d56b2p-27f,
                                        -0x1.822dbcp-27f,
                                        0x1.52486cp-27f};

  /// e^(t + tl) = 2^m (hi + lo) for |t| <= 150 and |tl| <= 2^-19, hi + lo within 2^-32 relative,
  /// hi in [0.978, 1.96] and |lo| < 2^-23. For tanh, which cancels 1 - e^t, `r` and `c` give
  /// e^t - 1 = r + c directly where k = 0.
  ///
  /// k = round(t 16/ln2), m = k >> 4, j = k & 15, and t + tl - k ln2/16 = r + rl: with a fused
  /// multiply-add t - k L_hi is exact (|r| < 2^-5 and both terms are multiples of 2^-29), and
  /// rl = tl + k |L_lo| is within 2^-40 (|rl| < 2^-18.9). e^(r + rl) - 1 - r is
  /// c = rl (1 + r) + r^2 (1/2 + rl/2 + r/6 + r^2/24): the series left out, r^5/120 + rl^2/2 +
  /// rl r^3/6, is below 2^-34.4 for |r| <= 1.0002 ln2/32, and c's roundings (r^2, q, the constant
  /// 1/2 + rl/2 and c itself, half an ulp of 1/2 times r^2 or of c < 2^-12) below 2^-34.2.
  /// With T = Th + Tl = 2^(j/16) (Th <= 1.92), e^(r + rl) T = Th (1 + r + c) + Tl (1 + r) +
  /// Tl c, where hi = RN(Th (1 + RN(r + c))) and lo = [Th (1 + r) - hi] + [Th c + Tl (1 + r)]:
  /// each bracket one fused multiply-add below 2^-11, rounded at 2^-36, their sum below 2^-23
  /// rounded at 2^-48, and Tl c < 2^-36 left out. In all, 1.92 (2^-34.4 + 2^-34.2) + 3 2^-36 <
  /// 2^-32.05 against hi + lo >= 0.978.
  struct Exp {
    F hi, lo;
    FI m;
    FI k;
    F r, c;
  };
  static Exp exp_pair(F t, F tl) {
    const F shifter = splat(0x1.8p23f);
    const F shifted = fma(t, splat(0x1.715476p+4f), shifter);  // k in the low bits
    const F k = shifted - shifter;
    const FI ki = (FI)((FU)shifted - (FU)shifter);
    const F r = fma(k, splat(-0x1.62e43p-5f), t);
    const F rl = fma(k, splat(0x1.05c61p-33f), tl);
    const F th = Vec::table16(kExp2Hi, ki);
    const F tlo = Vec::table16(kExp2Lo, ki);
    const F q =
        fma(fma(r, splat(1.0f / 24), splat(1.0f / 6)), r, fma(rl, splat(0.5f), splat(0.5f)));
    const F c = fma(r * r, q, fma(rl, r, rl));
    const F hi = fma(th, r + c, th);
    const F lo = fma(th, r, th - hi) + fma(th, c, fma(tlo, r, tlo));
    return {hi, lo, ki >> 4, ki, r, c};
  }

  /// 1 / (1 + e) = inv (1 + rest) to 2^-44 relative, for 1 + e = sh + sl with |sl| <= 2^-22 sh:
  /// inv = RN(1 / sh), whose residual 1 - inv sh is exact by a fused multiply-add.
  struct Reciprocal {
    F inv, rest;
  };
  static Reciprocal reciprocal(F sh, F sl) {
    const F inv = splat(1.0f) / sh;
    return {inv, fnma(inv, sl, fnma(inv, sh, splat(1.0f)))};
  }
  /// 1 + e for 0 <= e = e_hi + e_lo <= 1 + 2^-23, as sh + sl: 1 - sh and (1 - sh) + e_hi are
  /// exact (a fast two-sum), and adding e_lo rounds at 2^-24 of |sl| <= 2^-23.
  static Reciprocal inverse_one_plus(F e_hi, F e_lo) {
    const F sh = 1.0f + e_hi;
    return reciprocal(sh, ((1.0f - sh) + e_hi) + e_lo);
  }

  /// 1 / (1 + e^-x), with -x clamped to [-20, 104]: beyond, the result rounds to 1 or to 0.
  ///
  /// 1 + e^-x = 2^m (hi + lo + 2^-m): 2^-m + hi is an exact fast two-sum once ordered by size, and
  /// adding lo rounds at 2^-46 of the sum. The result, 2^-m / that, moves by e^-x / (1 + e^-x) <= 1
  /// times the exponential's 2^-32; the corrected reciprocal adds 2^-44. So the result is within
  /// 0.5 + 2^24 2^-31.99 < 0.504 ulp, and 2^-m put back rounds no further. A result that turns
  /// subnormal (x below -87.3) rounds a second time there, the first rounding costing at most a
  /// quarter of its final ulp: 0.754 ulp.
  static F sigmoid(F x) {
    const Exp e = exp_pair(Vec::at_most(splat(104.0f), Vec::at_least(splat(-20.0f), -x)), F{});
    const F a = ldexp(splat(1.0f), -e.m);  // 1 + e^-x = 2^m (hi + lo + a)
    const F big = Vec::at_least(a, e.hi), small = Vec::at_most(a, e.hi);
    const F sh = big + small;
    const Reciprocal w = reciprocal(sh, ((big - sh) + small) + e.lo);
    return ldexp(fma(w.rest, w.inv, w.inv), -e.m);
  }

  /// sigmoid(e^x) = 1 / (1 + v) with v = e^-u, u = e^x. x is clamped to [-87, 4]: below, u <
  /// 2^-125 and the result rounds to 1/2; above, v < 2^-78 and it rounds to 1.
  ///
  /// u = 2^m (hi + lo) within 2^-32 is renormalised by a fast two-sum, so the second reduction
  /// takes its low part (below 2^-19 for u <= e^4). v's error is its own 2^-32 plus u's absolute
  /// error, 2^-32 u; the result moves by v / (1 + v) <= 1/2 of the first and u v / (1 + v) <= 0.28
  /// of the second: within 0.5 + 2^24 (0.78 2^-32 + 2^-44) < 0.504 ulp.
  static F exp_sigmoid(F x) {
    const Exp u = exp_pair(Vec::at_most(splat(4.0f), Vec::at_least(splat(-87.0f), x)), F{});
    const F uh = ldexp(u.hi, u.m), ul = ldexp(u.lo, u.m);
    const F sum = uh + ul;
    const Exp v = exp_pair(-sum, sum - uh - ul);
    const Reciprocal w = inverse_one_plus(ldexp(v.hi, v.m), ldexp(v.lo, v.m));
    return fma(w.rest, w.inv, w.inv);
  }

  /// log(1 + e^x) = max(x, 0) + log(1 + e), e = e^-|x|, with log(1 + e) = 2 atanh(s),
  /// s = e / (2 + e) <= 1/3, and atanh(s) = s (1 + u g(u)), u = s^2 <= 1/9.
  ///
  /// s = 2^m (sh + sl): 2 + e as a pair (as for 1 + e), the quotient of the pairs corrected
  /// through the residual and renormalised (|sl| <= 2^-24 sh), within 2^-32 (e's error, moved by
  /// 2 / (2 + e) <= 1) + 2^-44. g is the polynomial of degree 4 through the Chebyshev points of
  /// [0, 1/9], within 2^-26.1 of (atanh(s)/s - 1)/u there, 2^-24.2 more with its float
  /// coefficients, and Horner's roundings add 2^-24.4. The tail sh u g + sl carries g's 1.92
  /// 2^-24, u's 3 2^-24 (from s^2 by sh^2, rounded), and 2^-24 each for sh u, the sl u g left out
  /// and its own rounding: 7.92 2^-24 relative of a tail 2 s u g at most 0.0265 where the
  /// result's ulp is 2^-24 (at x = 0; smaller against the ulp elsewhere), so 0.21 ulp. For x < 0
  /// the result is 2^(m+1) RN(sh + tail): 0.5 + 0.21 + 0.004 < 0.715 ulp, and 0.754 where it turns
  /// subnormal (a second rounding, the tail negligible there). For x >= 0, x + 2^(m+1) sh is an
  /// exact two-sum and the rest, at most 0.0265, rounds once more (2^-24 of it, 0.0265 ulp) before
  /// the last addition: < 0.745 ulp. From x = 2^24 on, the result is x.
  static constexpr float kAtanhTail[] = {0x1.dba260p-4f, 0x1.bc8cf8p-4f, 0x1.24c926p-3f,
                                         0x1.9998d4p-3f, 0x1.555556p-2f};
  static F softplus(F x) {
    const Exp e = exp_pair(neg_abs_at_least(x, -104.0f), F{});
    const F scale = pow2(e.m > -126 ? e.m : FI{} - 126);
    const F eh = e.hi * scale, el = e.lo * scale;
    const F dh = 2.0f + eh;
    const F dl = ((2.0f - dh) + eh) + el;
    const F inv = splat(1.0f) / dh;
    const F q = e.hi * inv;
    const F q_lo = fnma(q, dl, fnma(q, dh, e.hi) + e.lo) * inv;
    const F sh = q + q_lo;  // a fast two-sum: |q_lo| <= 2^-22 q
    const F sl = (q - sh) + q_lo;
    const F s = sh * scale;
    const F u = s * s;
    F g = splat(kAtanhTail[0]);
    for (std::size_t i = 1; i < sizeof kAtanhTail / sizeof(float); ++i) {
      g = fma(g, u, splat(kAtanhTail[i]));
    }
    const F tail = fma(sh * u, g, sl);  // 2^-m (log(1 + e) / 2 - sh)
    const F negative = ldexp(sh + tail, e.m + 1);
    const F twice = scale + scale;
    const F b = sh * twice;
    const F sum = x + b;
    const F bb = sum - x;
    const F err = (x - (sum - bb)) + (b - bb);
    const F positive = sum + (err + tail * twice);
    const F general = x < 0.0f ? negative : positive;
    return x >= 0x1p24f ? x : general;  // the two-sum of an infinite x is NaN
  }
  static F sigmoid_log(F x) { return -softplus(-x); }

  /// tanh |x| = n / (2 - n) with n = 1 - e^-2|x| in [0, 1), the sign of x put back (so -0 stays
  /// -0). Beyond |x| = 20, |x| counts as 20: tanh rounds to 1 from 9.01 on.
  ///
  /// Where k = 0 (|x| <= ln2/64), n = -(r + c) as a pair, within 2^-28 relative: the series left
  /// out is r^4/120 < 2^-29 of r, and c's roundings 2^-34.2 / |r| at most 2^-28.9 of it. Elsewhere
  /// 1 - 2^m hi is an exact two-sum and n's pair carries the exponential's absolute error,
  /// 2^-32 e, which is 2^-32 e / (1 - e) of n; tanh moves by 2 / (2 - n) times that,
  /// 2^-32 2e / (1 - e^2) = 2^-32 / sinh(2|x|) <= 2^-26.47 at the smallest such |x|. The quotient
  /// of pairs adds 2^-44: within 0.5 + 2^24 2^-26.47 < 0.68 ulp (0.57 for k = 0); the bound is 1.
  static F tanh(F x) {
    const F a = (F)((FU)x & ~kSign);
    const Exp e = exp_pair(Vec::at_least(splat(-40.0f), a * -2.0f), F{});
    const F scale = pow2(e.m);
    const F eh = e.hi * scale;
    const F d = 1.0f - eh;
    const auto near = e.k == 0;
    const F big = near ? -e.r : d;
    const F small = near ? -e.c : ((1.0f - d) - eh) - e.lo * scale;
    const F nh = big + small;  // a fast two-sum: |small| <= |big| / 40
    const F nl = (big - nh) + small;
    const F den = 2.0f - nh;
    const F den_lo = ((2.0f - den) - nh) - nl;
    const F inv = splat(1.0f) / den;
    const F q = nh * inv;
    const F y = fma(fnma(q, den_lo, fnma(q, den, nh) + nl), inv, q);
    return (F)((FU)y | ((FU)x & kSign));
  }
};

}  // namespace
}  // namespace tarvelon::eval::detail
