#pragma once
// The f32 builtins that a single-precision exponential within 1 ulp cannot serve, computed in
// single precision over a full vector of floats for the AVX2 and AVX-512 units. Everything here
// has internal linkage and calls nothing from the standard library, so a unit compiled for a
// wider instruction set never lends its copy to baseline code.
//
// A 1-ulp single-precision exponential alone would cost up to 2 ulps of e^x / (1 + e^x) below
// zero. tanh, softplus and exp_sigmoid take e^t as an unevaluated sum of two floats within 2^-32
// relative and keep the low part through error-free sums and a corrected quotient until the one
// rounding to float, for about half an ulp. sigmoid spends more of its 2-ulp bound on speed: it
// keeps e^t's low part but lets one sum round. Every function's comment states what each step adds
// and the bound it proves; the accuracy test holds each one to it.

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
  /// The polynomial with coefficients `c`, highest degree first, at x.
  template <std::size_t N>
  static F horner(F x, const float (&c)[N]) {
    F p = splat(c[0]);
    for (std::size_t i = 1; i < N; ++i) p = fma(p, x, splat(c[i]));
    return p;
  }
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

  /// 2^(j/N - [j > 0]) for j = 0..N-1 as a pair of floats, N = `Vec::kExpTableSize` (16 or 8):
  /// the entries of 2^(j/16) above, halved past the first, so that they pair with 2^floor.
  static constexpr int kN = Vec::kExpTableSize;
  struct Pow2Table {
    float hi[kN], lo[kN];
  };
  static constexpr Pow2Table kPow2 = [] {
    Pow2Table t{};
    for (int j = 0; j < kN; ++j) {
      const int from = j * (16 / kN);
      t.hi[j] = j == 0 ? 1.0f : kExp2Hi[from] / 2;
      t.lo[j] = j == 0 ? 0.0f : kExp2Lo[from] / 2;
    }
    return t;
  }();
  /// (1 - e^-s) / s for |s| <= ln2 / (2N), highest degree first: the degree-2 (N = 16) or
  /// degree-3 (N = 8) polynomial of least relative error in e^-s with float coefficients,
  /// within 2^-29.2 (2^-32.4) of e^-s once multiplied out as 1 - s q(s).
  static constexpr float kExpTail16[] = {0x1.55559ap-3f, -0x1.00021ep-1f, 1.0f};
  static constexpr float kExpTail8[] = {-0x1.555664p-5f, 0x1.555c6ep-3f, -0x1.0p-1f, 1.0f};

  /// 1 / (1 + e^-x), with x clamped to [-104, 20]: beyond, the result rounds to 0 or to 1.
  ///
  /// -x = k ln2 + s with k a multiple of 1/N and |s| <= ln2/(2N) (and 2^-17 for the rounded
  /// 1/ln2). With j = N (k - floor(k)),
  /// T = 2^(j/N - [j > 0]) from the table and a = 2^floor(-k), e^-x = T e^s / a, so the result
  /// is a / (a + p) with p = T e^s in [0.51, 1.02]: a reciprocal put back by a power of two.
  /// x + k ln2_hi is exact (a multiple of 2^-29 below 2^-5, or of 2^-28 below 2^-4), and folding
  /// in k ln2_lo rounds s by at most 2^-30 (2^-29 for N = 8), which moves p as much relative.
  /// p = ph + pl: ph = RN(T - u q) with u = RN(T s), and pl = (T - ph) - u q (exact, as T - ph
  /// is, before its rounding at 2^-48) + T_lo. So p carries q's 2^-29.2 (2^-32.4), u's and q's
  /// roundings times |s q| <= 0.022 (0.044) relative, and s's rounding: together under 0.1 2^-24
  /// (0.13 2^-24). a + ph rounds once, by at most 2^-24 relative. The reciprocal of sh + pl is
  /// corrected once from a first one within 2^-14 relative (2^-22 after a Newton step where the
  /// instruction gives 12 bits): off by its square, 2^-28, and by 2^-37 from the residual's
  /// roundings. The result moves by p / (a + p) <= 1 of p's error and by all of the sum's, so
  /// before its last rounding it is within 2^-24 (1 + 0.13 + 0.0625) relative, under 1.2 ulp
  /// (a result in [2^e, 2^(e+1)) has ulp 2^(e-23)), and within 1.7 ulp after. Where the result
  /// turns subnormal (x below -87.3), the reciprocal rounded to 24 bits is put back by 2^floor,
  /// which rounds again: the first rounding costs a quarter of the final ulp and the error
  /// before it at most 0.6 of it (the result is below 2^-126, its ulp 2^-149): within 1.35 ulp.
  static F sigmoid(F x) {
    constexpr bool kWide = kN == 16;
    const F xc = Vec::at_most(splat(20.0f), Vec::at_least(splat(-104.0f), x));
    const F shifter = splat(kWide ? 0x1.8p19f : 0x1.8p20f);  // k N in the low bits
    const F m = fma(xc, splat(-0x1.715476p+0f), shifter);
    const F nk = shifter - m;  // -k
    F r = fnma(nk, splat(0x1.62e43p-1f), xc);
    r = fma(nk, splat(0x1.05c61p-29f), r);  // -s
    const F th = Vec::lookup(kPow2.hi, m);
    const F q = kWide ? horner(r, kExpTail16) : horner(r, kExpTail8);
    const F u = th * r;
    const F ph = fnma(u, q, th);
    const F pl = fnma(u, q, th - ph) + Vec::lookup(kPow2.lo, m);
    const F sh = Vec::exp2_floor(nk) + ph;
    const F inv = Vec::reciprocal(sh);
    const F res = fnma(inv, pl, fnma(inv, sh, splat(1.0f)));
    return Vec::scale_floor(fma(res, inv, inv), nk);
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
