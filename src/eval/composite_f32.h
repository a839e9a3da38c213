#pragma once
// The f32 builtins that a single-precision exponential within 1 ulp cannot serve, computed in
// single precision over a full vector of floats for the AVX2 and AVX-512 units. Everything here
// has internal linkage and calls nothing from the standard library, so a unit compiled for a
// wider instruction set never lends its copy to baseline code.
//
// A 1-ulp single-precision exponential alone would cost up to 2 ulps of e^x / (1 + e^x) below
// zero. tanh and exp_sigmoid read their values from polynomial pieces that each end in one
// rounding, for 0.62 ulp (0.74 on AVX2) and 0.72 (0.94). sigmoid and softplus spend more of their
// 2-ulp bound on speed: sigmoid carries e^t's low part but lets one sum round, and softplus reads
// log(1 + e^v) from polynomial pieces. Every function's comment states what each step adds and
// the bound it proves; the accuracy test holds each one to it.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace tarvelon::eval::detail {
namespace {

/// `Vec::F` is a GCC vector of floats, `Vec::FI` and `Vec::FU` ones of as many signed and unsigned
/// 32-bit integers; `Vec` gives fused multiply-adds, clamps that keep a NaN of their second
/// operand, lookups of 32 floats by the low five bits of each lane and of `Vec::kPieceSlots` by
/// an index, tanh's table of `Vec::kTanhSlots`, and the exponential's table and scaling for
/// sigmoid.
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

  /// `Vec::kExpTableSize`: 16, or 8 for `sigmoid_narrow`.
  static constexpr int kN = Vec::kExpTableSize;
  /// 2^(j/16 - [j > 0]) for j = 0..15 as a pair of floats: the entries of 2^(j/16) above, halved
  /// past the first, so that they pair with 2^floor.
  struct Pow2Table {
    float hi[16], lo[16];
  };
  static constexpr Pow2Table kPow2 = [] {
    Pow2Table t{};
    for (int j = 0; j < 16; ++j) {
      t.hi[j] = j == 0 ? 1.0f : kExp2Hi[j] / 2;
      t.lo[j] = j == 0 ? 0.0f : kExp2Lo[j] / 2;
    }
    return t;
  }();
  /// (1 - e^-s) / s for |s| <= ln2 / 32 (ln2 / 16), highest degree first: the degree-2 (16
  /// entries) or degree-3 (8 entries) polynomial of least relative error in e^-s with float
  /// coefficients, within 2^-29.2 (2^-32.4) of e^-s once multiplied out as 1 - s q(s).
  static constexpr float kExpTail16[] = {0x1.55559ap-3f, -0x1.00021ep-1f, 1.0f};
  static constexpr float kExpTail8[] = {-0x1.555664p-5f, 0x1.555c6ep-3f, -0x1.0p-1f, 1.0f};

  /// 1 / (1 + e^-x), with x clamped to [-104, 20]: beyond, the result rounds to 0 or to 1. With
  /// the 8-entry table, `sigmoid_narrow` computes it in fewer steps and proves its own margins.
  ///
  /// With the 16-entry table: -x = k ln2 + s with k a multiple of 1/16 and |s| <= ln2/32 (and
  /// 2^-17 for the rounded 1/ln2). With j = 16 (k - floor(k)), T = 2^(j/16 - [j > 0]) from the
  /// table and a = 2^floor(-k), e^-x = T e^s / a, so the result is a / (a + p) with p = T e^s in
  /// [0.51, 1.02]: a reciprocal put back by a power of two. x + k ln2_hi is exact (a multiple of
  /// 2^-29 below 2^-5), and folding in k ln2_lo rounds s by at most 2^-30, which moves p as much
  /// relative. p = ph + pl: ph = RN(T - u q(-s)) with u = RN(-T s), and pl = (T - ph) - u q
  /// (exact, as T - ph is, before its rounding at 2^-48) + T_lo. So p carries q's 2^-29.2, u's
  /// and q's roundings times |s q| <= 0.022 relative, and s's rounding: together under 0.1 2^-24.
  /// a + ph rounds once, by at most 2^-24 relative. The reciprocal of sh + pl is corrected once
  /// from a first one within 2^-14 relative: off by its square, 2^-28, and by 2^-37 from the
  /// residual's roundings. The result moves by p / (a + p) <= 1 of p's error and by all of the
  /// sum's, so before its last rounding it is within 2^-24 (1 + 0.1 + 0.0625) relative, under 1.2
  /// ulp (a result in [2^e, 2^(e+1)) has ulp 2^(e-23)), and within 1.7 ulp after. Where the
  /// result turns subnormal (x below -87.3), the reciprocal rounded to 24 bits is put back by
  /// 2^floor, which rounds again: the first rounding costs a quarter of the final ulp and the
  /// error before it at most 0.6 of it (the result is below 2^-126, its ulp 2^-149): within 1.35
  /// ulp.
  static F sigmoid(F x) {
    if constexpr (kN == 8) {
      return sigmoid_narrow(x);
    } else {
      const F xc = Vec::at_most(splat(20.0f), Vec::at_least(splat(-104.0f), x));
      const F shifter = splat(0x1.8p19f);  // k N in the low bits
      const F m = fma(xc, splat(-0x1.715476p+0f), shifter);
      const F nk = shifter - m;  // -k
      F r = fnma(nk, splat(0x1.62e43p-1f), xc);
      r = fma(nk, splat(0x1.05c61p-29f), r);  // -s
      const F th = Vec::lookup(kPow2.hi, m);
      const F q = horner(r, kExpTail16);
      const F u = th * r;
      const F ph = fnma(u, q, th);
      const F pl = fnma(u, q, th - ph) + Vec::lookup(kPow2.lo, m);
      const F sh = Vec::exp2_floor(nk) + ph;
      const F inv = Vec::reciprocal(sh);
      const F res = fnma(inv, pl, fnma(inv, sh, splat(1.0f)));
      return Vec::scale_floor(fma(res, inv, inv), nk);
    }
  }

  /// 2^(32 - j/8) for j = 0..7 as a pair of floats: the pairs of 2^(i/16) above, scaled exactly.
  struct NarrowTable {
    float hi[8], lo[8];
  };
  static constexpr NarrowTable kPow2Narrow = [] {
    NarrowTable t{};
    for (int j = 0; j < 8; ++j) {
      const int from = (16 - 2 * j) % 16;  // 2^(-j/8) = 2^(from/16 - [j > 0])
      const float scale = j == 0 ? 0x1p32f : 0x1p31f;
      t.hi[j] = kExp2Hi[from] * scale;
      t.lo[j] = kExp2Lo[from] * scale;
    }
    return t;
  }();

  /// sigmoid with the 8-entry table, where a power of two built from the bits that index it costs
  /// less than a floor and a conversion. x = n ln2 + r with n = F + j/8 (F an integer, j in 0..7)
  /// and |r| <= ln2/16 (and 2^-17 for the rounded 1/ln2), so e^-x = 2^-F 2^(-j/8) e^-r. x - n
  /// ln2_hi is exact (a multiple of 2^-28 below 2^-4), and folding in n ln2_lo rounds r by at most
  /// 2^-29. m = 1.5 2^20 + 159 + n holds 8 (159 + n) in its low eleven bits: j in the lowest three
  /// indexes the table, and F + 159, in [8, 187], lies in the exponent field of m's bits shifted
  /// up by 20, which with the three bits below it cleared are those of a = 2^(F+32). With T =
  /// 2^(32 - j/8) from the table, the result is a / (a + p), p = T e^-r in 2^32 [0.52, 1.045]:
  /// the scale 2^32 keeps a, the sum and its reciprocal normal wherever x is.
  ///
  /// p = ph + pl as in `sigmoid` (th - ph is exact, ph lying within 5 % of th), except that e^-r =
  /// 1 - r q(r) reads q by Horner's rule, ((c0 r + c1) r + c2) r + 1: its last step rounds by
  /// 2^-24, the one before (a value near 1/2) by 2^-25, which reaches q times |r| < 2^-4.5, and
  /// the first by 2^-27 times r^2 < 2^-9, together 1.03 2^-24. Three steps in a row take no
  /// longer than the two halves they replace where four vectors are computed side by side, and
  /// save the product r^2. p carries q's 2^-32.4, r's 2^-29, and the roundings of u and q, 2.03
  /// of 2^-24, times |r q| <= 0.044: under 0.13 2^-24 relative. a + ph rounds once, by at most
  /// 2^-24 relative.
  ///
  /// inv = rcp(sh) is within 1.5 2^-12 of 1 / sh. With d = 1 - inv (sh + pl) (so |d| < 2^-11.4),
  /// 1 / (sh + pl) = inv (1 + d + d^2 + d^3 / (1 - d)). d, computed as RN(RN(1 - inv sh) - inv
  /// pl), and t = RN(d + d^2) each round by 2^-24 of at most 2^-11.4, and the dropped term is below
  /// 2^-34.2: inv (1 + t) is within 2^-32.9 relative. The result moves by p's error and the sum's
  /// as in `sigmoid`: before its last rounding, inv (1 + t) is within 2^-24 (1 + 0.13 + 0.002)
  /// relative, under 1.14 ulp, and it is within 1.64 ulp once rounded and put back by a, exactly
  /// while the result is normal. Where the result turns subnormal, the product rounds again: as in
  /// `sigmoid`, the first rounding costs a quarter of the final ulp and the error before it at
  /// most 0.57 of it: within 1.32 ulp. Over every f32 argument the worst error is 1.56 ulp.
  static F sigmoid_narrow(F x) {
    const F xc = Vec::at_most(splat(20.0f), Vec::at_least(splat(-104.0f), x));
    const F shifter = splat(0x1.8p20f + 159.0f);
    const F m = fma(xc, splat(0x1.715476p+0f), shifter);
    const F n = m - shifter;
    F r = fnma(n, splat(0x1.62e43p-1f), xc);
    r = fma(n, splat(0x1.05c61p-29f), r);
    const float(&c)[4] = kExpTail8;
    const F q = fma(fma(fma(splat(c[0]), r, splat(c[1])), r, splat(c[2])), r, splat(c[3]));
    const F th = Vec::lookup(kPow2Narrow.hi, m);
    const F u = th * r;
    const F ph = fnma(u, q, th);
    const F pl = fnma(u, q, th - ph) + Vec::lookup(kPow2Narrow.lo, m);
    const F a = (F)(((FI)m << 20) & static_cast<int>(0xff800000u));
    const F sh = a + ph;
    const F inv = Vec::reciprocal(sh);
    const F d = fnma(inv, pl, fnma(inv, sh, splat(1.0f)));
    return a * fma(fma(d, d, d), inv, inv);
  }

  /// sigmoid(e^x), which lies in [1/2, 1) where the ulp is 2^-24 throughout, read from
  /// `Vec::kPieceSlots` pieces of width w = 20 / slots (5/8 on AVX-512, 5/4 on AVX2): piece i
  /// serves x within w/2 of c = w (i - K), K = 26 or 13 the piece of 0, as C_hi + (C_lo + t p(t))
  /// with t = x - c, p of degree 7 or 10 and C_hi + C_lo the value at c, fitted by
  /// tools/fit_exp_sigmoid_pieces.py. x is clamped to [-16.5, 3.1]: from there on the result
  /// exceeds 1/2 by less than 0.29 ulp, or rounds to 1.
  ///
  /// The piece is found by one rounding of x / w to an integer j, so t = x - j w is exact by a
  /// fused multiply-add (a multiple of x's ulp below w/2 when j != 0, x itself when j = 0); 1 / w
  /// rounded to a float moves a piece's edge by less than 2^-20, which the fit covers. The fit is
  /// within 0.0082 ulp (0.027 on AVX2). The slope f' = u e^-u / (1 + e^-u)^2, u = e^x, stays
  /// below 0.23, so |t p| <= 0.23 w/2 and C_lo + t p rounds by at most 2^-28 (2^-27); each
  /// Horner step rounds by 2^-24 of its value, which reaches the result times |t|^(j+1). Summed
  /// point by point over a dense grid of every piece, fit and roundings stay within 0.214 ulp
  /// (0.433): within 0.72 ulp (0.94) after the last sum rounds. Over every f32 argument against
  /// f in double the worst errors are 0.608 and 0.715 ulp. NaN stays NaN; -inf gives 1/2, inf 1.
  static F exp_sigmoid(F x) {
    constexpr int kSlots = Vec::kPieceSlots;
    static_assert(kSlots == 16 || kSlots == 32, "fitted for 16 or 32 pieces");
    constexpr float kWidth = 20.0f / kSlots;
    const auto& rows = exp_sigmoid_rows<kSlots>();
    constexpr std::size_t kLast = std::size(rows) - 1;
    const F xc = Vec::at_most(splat(3.1f), Vec::at_least(splat(-16.5f), x));
    const F shifter = splat(0x1.8p23f + (kSlots == 32 ? 26 : 13));
    const F m = fma(xc, splat(1 / kWidth), shifter);  // the piece in the low bits
    const F t = fma(m - shifter, splat(-kWidth), xc);
    const auto piece = [&](std::size_t row) { return Vec::lookup_slot(rows[row], (FI)m); };
    F p = piece(0);
    for (std::size_t row = 1; row < kLast - 1; ++row) p = fma(p, t, piece(row));
    return piece(kLast) + fma(t, p, piece(kLast - 1));
  }
  template <int Slots>
  static constexpr const auto& exp_sigmoid_rows() {
    if constexpr (Slots == 32) {
      return kExpSigmoidPieces32;
    } else {
      return kExpSigmoidPieces16;
    }
  }
  /// Rows: p's coefficients from the highest degree, then C_lo and C_hi.
  static constexpr float kExpSigmoidPieces32[10][32] = {
      {0x1.a3a7fap-32f,  -0x1.27032cp-30f, -0x1.60dfc0p-31f, 0x1.61afd4p-30f,  0x1.3a137ep-31f,
       0x1.418d04p-33f,  -0x1.f5b4d2p-31f, 0x1.595f36p-32f,  0x1.02ea40p-33f,  0x1.9522fep-32f,
       -0x1.e07c56p-33f, -0x1.4effd0p-30f, 0x1.da6040p-30f,  -0x1.8b1a80p-31f, 0x1.056488p-29f,
       0x1.fec998p-28f,  0x1.17aabep-25f,  -0x1.23a23cp-26f, 0x1.e2c97ep-24f,  -0x1.0951a6p-23f,
       0x1.1f4390p-23f,  -0x1.673550p-22f, -0x1.0c04fep-19f, -0x1.925ff8p-17f, -0x1.4071e8p-15f,
       0x1.3ac4ccp-14f,  0x1.3d308ep-10f,  -0x1.8bdea2p-8f,  0x1.12fa28p-7f,   -0x1.1976a6p-8f,
       0x1.ed2454p-11f,  -0x1.0f51c2p-14f},
      {-0x1.cd88cep-36f, -0x1.34d412p-35f, 0x1.8ef414p-36f, 0x1.bcf672p-37f,  -0x1.0281f4p-35f,
       -0x1.2891e8p-33f, 0x1.7026f4p-33f,  0x1.787878p-32f, 0x1.8247c0p-31f,  0x1.4994fep-29f,
       -0x1.a627aep-31f, 0x1.b3b324p-27f,  0x1.30c202p-26f, 0x1.18d680p-25f,  0x1.6a5c68p-24f,
       -0x1.2064cep-26f, 0x1.932c2ep-23f,  0x1.9bc67ep-22f, 0x1.217b60p-24f,  0x1.8c23bap-20f,
       0x1.31ae64p-20f,  -0x1.3f80f6p-19f, 0x1.ba04c6p-18f, -0x1.be517cp-16f, -0x1.beef92p-14f,
       -0x1.1285e4p-12f, 0x1.82be16p-9f,   -0x1.a6d66ap-8f, 0x1.29e2c2p-7f,   -0x1.523210p-8f,
       0x1.4b4e66p-10f,  0x1.5d8766p-15f},
      {-0x1.a2a970p-35f, 0x1.2b9022p-32f, 0x1.ffd2b4p-33f, -0x1.d9eb4ap-35f, 0x1.157af4p-32f,
       0x1.6cbad6p-31f,  0x1.96a36cp-30f, 0x1.450bf4p-29f, 0x1.35df3ap-28f,  0x1.2056c8p-27f,
       0x1.10adb8p-26f,  0x1.0034bap-25f, 0x1.d73cbcp-25f, 0x1.bbd79cp-24f,  0x1.9d1456p-23f,
       0x1.80f960p-22f,  0x1.6566eap-21f, 0x1.5225eap-20f, 0x1.371f5ep-19f,  0x1.254f82p-18f,
       0x1.0892c4p-17f,  0x1.c66b42p-17f, 0x1.1fb784p-16f, -0x1.37c9a0p-16f, -0x1.4b078ep-12f,
       -0x1.7af4e4p-10f, 0x1.af25b6p-10f, 0x1.6290fep-7f,  -0x1.6e862ap-6f,  0x1.f1e372p-7f,
       -0x1.e31fccp-9f,  -0x1.4b90a4p-17f},
      {0x1.9bec94p-33f, 0x1.7e2940p-32f, 0x1.5dc116p-31f, 0x1.47e952p-30f, 0x1.338478p-29f,
       0x1.205102p-28f, 0x1.0adacap-27f, 0x1.f265ecp-27f, 0x1.d16496p-26f, 0x1.b12228p-25f,
       0x1.9873e4p-24f, 0x1.785dc4p-23f, 0x1.60a8b2p-22f, 0x1.4978d0p-21f, 0x1.32b0c8p-20f,
       0x1.227d5cp-19f, 0x1.0cd338p-18f, 0x1.f5c22ep-18f, 0x1.d818d4p-17f, 0x1.b417aap-16f,
       0x1.9646d2p-15f, 0x1.73ac86p-14f, 0x1.3372c4p-13f, 0x1.69d6fep-13f, -0x1.3bd052p-12f,
       -0x1.b24b90p-9f, -0x1.d961c8p-8f, 0x1.c0c1c0p-6f,  -0x1.3b47b2p-6f, -0x1.3f1bd2p-9f,
       0x1.0002d2p-8f,  0x1.8285fap-19f},
      {0x1.f8a6f4p-31f, 0x1.d11d4ep-30f, 0x1.b4e10cp-29f, 0x1.9a2968p-28f, 0x1.7e6a46p-27f,
       0x1.65019ap-26f, 0x1.4d5b4ep-25f, 0x1.37806cp-24f, 0x1.22f81ap-23f, 0x1.0fcdaep-22f,
       0x1.fbc81cp-22f, 0x1.da5306p-21f, 0x1.bb17cap-20f, 0x1.9de538p-19f, 0x1.82a1c0p-18f,
       0x1.692960p-17f, 0x1.515e2ap-16f, 0x1.3b1d28p-15f, 0x1.264c9ep-14f, 0x1.12b132p-13f,
       0x1.ffd638p-13f, 0x1.d9a8d4p-12f, 0x1.ac0158p-11f, 0x1.6178f0p-10f, 0x1.777d0ap-10f,
       -0x1.9244f0p-9f, -0x1.685758p-6f, -0x1.872b28p-9f, 0x1.a48ed2p-5f,  -0x1.9d282ap-6f,
       -0x1.552412p-9f, -0x1.36998ap-20f},
      {0x1.f5de16p-29f, 0x1.d4d050p-28f, 0x1.b5f2cap-27f, 0x1.991836p-26f, 0x1.7e2426p-25f,
       0x1.64f694p-24f, 0x1.4d747ep-23f, 0x1.377cfcp-22f, 0x1.22f7f2p-21f, 0x1.0fcd88p-20f,
       0x1.fbc868p-20f, 0x1.da58eep-19f, 0x1.bb1872p-18f, 0x1.9de7ccp-17f, 0x1.82a448p-16f,
       0x1.692876p-15f, 0x1.515f26p-14f, 0x1.3b2400p-13f, 0x1.265a60p-12f, 0x1.12e5dcp-11f,
       0x1.008e9ep-10f, 0x1.ddd14cp-10f, 0x1.b986cep-9f,  0x1.8cd71cp-8f,  0x1.419f36p-7f,
       0x1.3d8534p-7f,  -0x1.2fe0b4p-6f, -0x1.2da806p-4f, 0x1.513736p-6f,  0x1.35079ap-5f,
       0x1.335ca6p-10f, 0x1.10bc8cp-22f},
      {0x1.786b04p-27f,  0x1.5fa0f4p-26f, 0x1.487620p-25f, 0x1.32d222p-24f, 0x1.1e9bf8p-23f,
       0x1.0bba84p-22f,  0x1.f42ee4p-22f, 0x1.d33b7ap-21f, 0x1.b473d6p-20f, 0x1.97b346p-19f,
       0x1.7cd79cp-18f,  0x1.63c0e4p-17f, 0x1.4c5146p-16f, 0x1.366ce6p-15f, 0x1.21f9b6p-14f,
       0x1.0edf60p-13f,  0x1.fa0e38p-13f, 0x1.d8b700p-12f, 0x1.b99024p-11f, 0x1.9c7072p-10f,
       0x1.8127aap-9f,   0x1.676918p-8f,  0x1.4e8636p-7f,  0x1.34913cp-6f,  0x1.13b978p-5f,
       0x1.b73238p-5f,   0x1.b12b4ep-5f,  -0x1.46b65ep-5f, -0x1.d4bd1cp-4f, -0x1.af7864p-6f,
       -0x1.6da34ap-12f, -0x1.0ed8aep-25f},
      {0x1.786bf0p-26f, 0x1.5f9fc4p-25f, 0x1.4875cap-24f, 0x1.32d278p-23f, 0x1.1e9c10p-22f,
       0x1.0bba88p-21f, 0x1.f42ed4p-21f, 0x1.d33b7cp-20f, 0x1.b473d6p-19f, 0x1.97b346p-18f,
       0x1.7cd79cp-17f, 0x1.63c0e2p-16f, 0x1.4c5146p-15f, 0x1.366ce6p-14f, 0x1.21f9b8p-13f,
       0x1.0edf6ap-12f, 0x1.fa0e76p-12f, 0x1.d8b7c8p-11f, 0x1.b992b6p-10f, 0x1.9c78cep-9f,
       0x1.8142f0p-8f,  0x1.67c1fap-7f,  0x1.4fa788p-6f,  0x1.383b4cp-5f,  0x1.1f7118p-4f,
       0x1.fea66ep-4f,  0x1.92a946p-3f,  0x1.bb49f2p-3f,  0x1.9a7daap-4f,  0x1.39b3d0p-7f,
       0x1.0598bap-14f, 0x1.7abb02p-29f},
      {0x1.786beep-26f,  -0x1.40c07cp-26f, 0x1.21d728p-26f,  0x1.9693c0p-26f,  0x1.e9c0fap-26f,
       0x1.7750e6p-26f,  -0x1.7a2582p-26f, 0x1.9dbe00p-27f,  -0x1.c614fcp-26f, -0x1.32e5dep-28f,
       0x1.af36aap-26f,  -0x1.f8e850p-27f, -0x1.75cad8p-26f, -0x1.319356p-26f, -0x1.918ec4p-27f,
       -0x1.26a386p-29f, -0x1.74c600p-28f, 0x1.7b8278p-32f,  -0x1.bdee8cp-28f, -0x1.9d5db8p-27f,
       0x1.e176ccp-30f,  0x1.ba757ap-27f,  0x1.01442ap-26f,  -0x1.1b6496p-26f, 0x1.601686p-28f,
       0x1.295794p-27f,  -0x1.454ba8p-26f, 0x1.b5f808p-26f,  0x1.cc2424p-26f,  -0x1.ff29fap-26f,
       0x1.ce9352p-28f,  -0x1.1ee6c0p-33f},
      {0x1.000000p-1f, 0x1.000002p-1f, 0x1.000002p-1f, 0x1.000004p-1f, 0x1.000008p-1f,
       0x1.000010p-1f, 0x1.000020p-1f, 0x1.00003ap-1f, 0x1.00006ep-1f, 0x1.0000ccp-1f,
       0x1.00017cp-1f, 0x1.0002c8p-1f, 0x1.000532p-1f, 0x1.0009b4p-1f, 0x1.001220p-1f,
       0x1.0021dcp-1f, 0x1.003f42p-1f, 0x1.00762ep-1f, 0x1.00dccap-1f, 0x1.019c7cp-1f,
       0x1.030298p-1f, 0x1.059f7ep-1f, 0x1.0a8040p-1f, 0x1.139750p-1f, 0x1.246c7ep-1f,
       0x1.42ec58p-1f, 0x1.764d50p-1f, 0x1.bb85ccp-1f, 0x1.f0d9cep-1f, 0x1.ff3f4ap-1f,
       0x1.ffff54p-1f, 0x1.000000p+0f},
  };
  static constexpr float kExpSigmoidPieces16[13][16] = {
      {-0x1.765adcp-37f, 0x1.7102bap-39f, -0x1.796db8p-35f, -0x1.630e32p-37f, 0x1.a82696p-35f,
       -0x1.9c54e6p-29f, 0x1.59eca0p-27f, 0x1.f9cf00p-25f, 0x1.7e86dap-24f, -0x1.101282p-22f,
       0x1.f6a264p-25f, 0x1.f99f14p-18f, 0x1.3a6878p-15f, -0x1.6f0a5cp-14f, 0x1.1fa920p-10f,
       0x1.9611f0p-12f},
      {-0x1.63c282p-36f, 0x1.da3e26p-36f, -0x1.1ec1f2p-35f, 0x1.55a9fcp-35f, -0x1.2c8fd4p-38f,
       0x1.2271a6p-33f, -0x1.a34972p-33f, 0x1.b2528ap-32f, -0x1.58005cp-28f, -0x1.26ecdap-26f,
       -0x1.0c550cp-26f, 0x1.fd4c90p-30f, -0x1.13c662p-23f, -0x1.7817c0p-12f, -0x1.344a7cp-9f,
       0x1.26ecc8p-13f},
      {0x1.c0723ap-37f, -0x1.84dfc6p-39f, 0x1.b97ee0p-35f, 0x1.f8e452p-37f, -0x1.7c3e90p-35f,
       0x1.c4e962p-29f, -0x1.726018p-27f, -0x1.0ef6b0p-24f, -0x1.9b9742p-24f, 0x1.2e162cp-22f,
       -0x1.171fcep-24f, -0x1.24e5dep-17f, -0x1.8d1ebcp-15f, -0x1.87ef0cp-14f, -0x1.094bf0p-8f,
       -0x1.803bb6p-10f},
      {0x1.6265d6p-36f, -0x1.abecc8p-36f, 0x1.4e66d0p-35f, -0x1.fba2b2p-37f, 0x1.7649b6p-34f,
       0x1.70502ep-33f, 0x1.3ee8c4p-30f, 0x1.ac8ed0p-29f, 0x1.1b4c5cp-26f, 0x1.e262b6p-25f,
       0x1.e58996p-24f, -0x1.8261bcp-20f, -0x1.64d424p-15f, 0x1.53b370p-10f, 0x1.1f94d6p-7f,
       0x1.f72f4ap-11f},
      {-0x1.585618p-40f, 0x1.21240ep-36f, 0x1.1a74eep-35f, 0x1.8b8444p-33f, 0x1.6ded58p-31f,
       0x1.0838c0p-30f, 0x1.a12c3ap-27f, 0x1.c15220p-25f, 0x1.20344ep-23f, 0x1.db7640p-23f,
       0x1.20eaaep-20f, 0x1.449cdcp-19f, -0x1.07ce28p-13f, 0x1.7ea65cp-9f, 0x1.44b43cp-7f,
       0x1.9ac17cp-10f},
      {0x1.a29522p-36f, 0x1.fa6912p-34f, 0x1.8c100ap-32f, 0x1.673192p-30f, 0x1.364768p-28f,
       0x1.0f6a6ep-26f, 0x1.d82a74p-25f, 0x1.9c99bcp-23f, 0x1.670abep-21f, 0x1.38869cp-19f,
       0x1.08b250p-17f, 0x1.1e0312p-16f, -0x1.4a31d0p-12f, 0x1.ad4190p-10f, -0x1.6e5854p-6f,
       -0x1.e4eedap-9f},
      {0x1.93e8a0p-33f, 0x1.5e3946p-31f, 0x1.323f7ap-29f, 0x1.0acbb8p-27f, 0x1.d17d82p-26f,
       0x1.97309ep-24f, 0x1.61ae7ep-22f, 0x1.342926p-20f, 0x1.0d6ddcp-18f, 0x1.d73970p-17f,
       0x1.965ca2p-15f, 0x1.34f5aep-13f, -0x1.3836aep-12f, -0x1.d8fc86p-8f, -0x1.3c2be6p-6f,
       0x1.fd46d0p-9f},
      {0x1.f6662ap-31f, 0x1.b5c6c4p-29f, 0x1.7e31fep-27f, 0x1.4d70aap-25f, 0x1.22f7f6p-23f,
       0x1.fbc900p-22f, 0x1.bb1776p-20f, 0x1.82a1eap-18f, 0x1.515d96p-16f, 0x1.264c24p-14f,
       0x1.ffd628p-13f, 0x1.ac01f0p-11f, 0x1.777ab4p-10f, -0x1.685642p-6f, 0x1.a485f8p-5f,
       -0x1.54eff0p-9f},
      {0x1.f5e21ep-29f, 0x1.b5f290p-27f, 0x1.7e24c6p-25f, 0x1.4d7484p-23f, 0x1.22f7ecp-21f,
       0x1.fbc910p-20f, 0x1.bb17eap-18f, 0x1.82a384p-16f, 0x1.515ed6p-14f, 0x1.265a9ap-12f,
       0x1.008e98p-10f, 0x1.b98604p-9f, 0x1.419e44p-7f, -0x1.2fe18cp-6f, 0x1.513c6ep-6f,
       0x1.337f0ap-10f},
      {0x1.786b8ap-27f, 0x1.4875ecp-25f, 0x1.1e9c06p-23f, 0x1.f42edap-22f, 0x1.b473d6p-20f,
       0x1.7cd79cp-18f, 0x1.4c5146p-16f, 0x1.21f9b6p-14f, 0x1.fa0e38p-13f, 0x1.b99024p-11f,
       0x1.8127aap-9f, 0x1.4e8636p-7f, 0x1.13b978p-5f, 0x1.b12b4cp-5f, -0x1.d4bcf4p-4f,
       -0x1.6dafcap-12f},
      {0x1.786bf0p-26f, 0x1.4875cap-24f, 0x1.1e9c10p-22f, 0x1.f42ed4p-21f, 0x1.b473d6p-19f,
       0x1.7cd79cp-17f, 0x1.4c5146p-15f, 0x1.21f9b8p-13f, 0x1.fa0e76p-12f, 0x1.b992b6p-10f,
       0x1.8142f0p-8f, 0x1.4fa788p-6f, 0x1.1f7118p-4f, 0x1.92a946p-3f, 0x1.9a7da8p-4f,
       0x1.05956cp-14f},
      {0x1.786beep-26f, 0x1.21d728p-26f, 0x1.e9c0fap-26f, -0x1.7a2582p-26f, -0x1.c614fcp-26f,
       0x1.af36aap-26f, -0x1.75cad8p-26f, -0x1.918ec4p-27f, -0x1.74c600p-28f, -0x1.bdee8cp-28f,
       0x1.e176ccp-30f, 0x1.01442ap-26f, 0x1.601686p-28f, -0x1.454ba8p-26f, 0x1.cc2424p-26f,
       0x1.ce9352p-28f},
      {0x1.000000p-1f, 0x1.000002p-1f, 0x1.000008p-1f, 0x1.000020p-1f, 0x1.00006ep-1f,
       0x1.00017cp-1f, 0x1.000532p-1f, 0x1.001220p-1f, 0x1.003f42p-1f, 0x1.00dccap-1f,
       0x1.030298p-1f, 0x1.0a8040p-1f, 0x1.246c7ep-1f, 0x1.764d50p-1f, 0x1.f0d9cep-1f,
       0x1.ffff54p-1f},
  };
  /// log(1 + e^x) = max(x, 0) + l(-|x|), l(v) = log(1 + e^v), read from 32 pieces over
  /// [-23.625, 0]: piece i serves v within 3/8 of c = -3i/4 as C + t P(t), t = v - c, with C the
  /// float nearest l(c) and P of degree 5 (rows below, highest degree first), fitted by
  /// tools/fit_softplus_pieces.py for least relative error with float coefficients. Where -|x|
  /// is below -23.6, x < 0 takes e^x, which the library gives within 1 ulp: l(x) = e^x (1 - e^x
  /// / 2 + ...) and e^x / 2 < 2^-35 there; x > 0 gives x, as l(-x) < 2^-34 is below half an ulp
  /// of x. That check alone keeps v in the table: the other lanes' pieces are never used.
  ///
  /// t = v + 3i/4 is exact (a multiple of 2^-25 below 3/8); the rounded 4/3 moves a piece's edge
  /// by less than 2^-20, which the fit covers. l rounds once, in the last fused multiply-add.
  /// Before it, the fit (C's own rounding included) and each Horner step's rounding, 2^-24 of
  /// its value reaching l times |t|^(j+1), summed point by point over a dense grid of every
  /// piece, stay within 1.09 ulp of l: l is within 1.59 ulp. For x > 0, l's error and its
  /// rounding, point by point in ulps of x + l (as large as l's where x + l < 1 and l >= 1/2,
  /// at most half of them elsewhere), stay within 0.75 ulp before the sum rounds: within 1.25
  /// ulp. NaN stays NaN; -inf gives 0 and +inf gives +inf.
  static F softplus(F x) {
    const F v = (F)((FU)x | kSign);
    const F shifter = splat(0x1.8p23f);
    const F m = fma(v, splat(-0x1.555556p+0f), shifter);  // i in the low bits
    const F t = fma(m - shifter, splat(0.75f), v);
    const auto piece = [&](std::size_t row) { return Vec::lookup32(kSoftplusPieces[row], m); };
    F p = piece(0);
    for (std::size_t row = 1; row < 6; ++row) p = fma(p, t, piece(row));
    const F y = Vec::at_least(F{}, x) + fma(p, t, piece(6));
    return Vec::where_below(v, -23.6f, y, [x](F w) { return Vec::at_least(Vec::exp(w), x); });
  }
  /// Rows: P's coefficients from the highest degree, then C; tools/fit_softplus_pieces.py fits
  /// them.
  static constexpr float kSoftplusPieces[7][32] = {
      {0x1.9c7102p-10f, 0x1.4bc504p-17f, -0x1.196104p-13f, -0x1.949b7ap-14f, -0x1.28d818p-17f,
       0x1.e6f7b8p-18f, 0x1.08c078p-17f, 0x1.87c16ap-18f,  0x1.52f404p-19f,  0x1.516340p-20f,
       0x1.e537f4p-21f, 0x1.b33f10p-22f, 0x1.4e7d24p-23f,  0x1.5dd23ap-24f,  0x1.195b14p-25f,
       0x1.37c02cp-26f, 0x1.4025cap-27f, 0x1.ac4322p-29f,  0x1.2c1f7ap-29f,  0x1.ca2abcp-31f,
       0x1.107e48p-31f, 0x1.6fc124p-33f, 0x1.fd9f00p-34f,  0x1.3827f0p-35f,  0x1.b52612p-36f,
       0x1.7e27a6p-37f, 0x1.144f84p-38f, 0x1.361072p-39f,  0x1.c3cc8ep-41f,  0x1.107eecp-41f,
       0x1.2a6aeep-42f, 0x1.f2173cp-44f},
      {0x1.714e92p-10f, -0x1.0f180cp-10f, -0x1.488c3cp-11f, -0x1.7d3d04p-16f, 0x1.446be8p-13f,
       0x1.121a44p-13f, 0x1.443d64p-14f,  0x1.524c80p-15f,  0x1.4ef63ap-16f,  0x1.4333a6p-17f,
       0x1.32c3d4p-18f, 0x1.23cfdap-19f,  0x1.14f748p-20f,  0x1.05c1f6p-21f,  0x1.ef96c4p-23f,
       0x1.d42d72p-24f, 0x1.b8b15ap-25f,  0x1.a194bep-26f,  0x1.89874ep-27f,  0x1.745be4p-28f,
       0x1.5eb66ep-29f, 0x1.4c7cdap-30f,  0x1.394124p-31f,  0x1.296510p-32f,  0x1.17981ap-33f,
       0x1.0873aep-34f, 0x1.f4f65cp-36f,  0x1.d909fap-37f,  0x1.bf9406p-38f,  0x1.a61600p-39f,
       0x1.8dc480p-40f, 0x1.78c394p-41f},
      {-0x1.2da2a4p-8f, -0x1.6c9ec0p-9f, 0x1.529586p-11f, 0x1.c77352p-10f, 0x1.67d1a6p-10f,
       0x1.a8f53ep-11f, 0x1.bc662ep-12f, 0x1.b7bf08p-13f, 0x1.a94b80p-14f, 0x1.9604a6p-15f,
       0x1.804cd6p-16f, 0x1.6c1f78p-17f, 0x1.58f5bep-18f, 0x1.45d480p-19f, 0x1.344054p-20f,
       0x1.22ee4ep-21f, 0x1.12a76ep-22f, 0x1.041e6ep-23f, 0x1.ea157ep-25f, 0x1.cfd486p-26f,
       0x1.b554e8p-27f, 0x1.9e3ca2p-28f, 0x1.862b28p-29f, 0x1.71db48p-30f, 0x1.5c5c74p-31f,
       0x1.49570cp-32f, 0x1.37c118p-33f, 0x1.2631a8p-34f, 0x1.1667a6p-35f, 0x1.069b16p-36f,
       0x1.ef8970p-38f, 0x1.d4aad8p-39f},
      {0x1.f831e6p-14f, 0x1.aa697ep-7f,  0x1.02af2ep-6f,  0x1.7d3f12p-7f,  0x1.bea5bep-8f,
       0x1.d3df14p-9f,  0x1.d050a4p-10f, 0x1.c10446p-11f, 0x1.ace9d8p-12f, 0x1.97552cp-13f,
       0x1.81c938p-14f, 0x1.6ce272p-15f, 0x1.58e72ep-16f, 0x1.45eda8p-17f, 0x1.33f31cp-18f,
       0x1.22f272p-19f, 0x1.12e20cp-20f, 0x1.03b078p-21f, 0x1.eaaf14p-23f, 0x1.cf9014p-24f,
       0x1.b5f3eap-25f, 0x1.9dbd28p-26f, 0x1.86e100p-27f, 0x1.7143f0p-28f, 0x1.5cde3ap-29f,
       0x1.4995c0p-30f, 0x1.375d52p-31f, 0x1.26284ap-32f, 0x1.15e5cep-33f, 0x1.068abep-34f,
       0x1.f01280p-36f, 0x1.d4a5eap-37f},
      {0x1.0005acp-3f,  0x1.be3f38p-4f,  0x1.31742cp-4f,  0x1.614f84p-5f,  0x1.72162cp-6f,
       0x1.6fcf10p-7f,  0x1.640ffep-8f,  0x1.5451e6p-9f,  0x1.4349c2p-10f, 0x1.323832p-11f,
       0x1.21a856p-12f, 0x1.11ced4p-13f, 0x1.02be98p-14f, 0x1.e8f454p-16f, 0x1.cdf50ep-17f,
       0x1.b470f2p-18f, 0x1.9c53f6p-19f, 0x1.8589a6p-20f, 0x1.7003f4p-21f, 0x1.5bac72p-22f,
       0x1.487664p-23f, 0x1.364e30p-24f, 0x1.252902p-25f, 0x1.14f416p-26f, 0x1.05a6aep-27f,
       0x1.ee6110p-29f, 0x1.d30d40p-30f, 0x1.b93dd0p-31f, 0x1.a0da26p-32f, 0x1.89d11ep-33f,
       0x1.740df4p-34f, 0x1.5f7d78p-35f},
      {0x1.00000cp-1f,  0x1.488562p-2f,  0x1.759b82p-3f,  0x1.868d2ap-4f,  0x1.848344p-5f,
       0x1.787614p-6f,  0x1.680528p-7f,  0x1.561b2ep-8f,  0x1.441778p-9f,  0x1.329482p-10f,
       0x1.21d0b0p-11f, 0x1.11e0bep-12f, 0x1.02c6f6p-13f, 0x1.e8fb8ap-15f, 0x1.cdf8e6p-16f,
       0x1.b47264p-17f, 0x1.9c541cp-18f, 0x1.858aaep-19f, 0x1.700376p-20f, 0x1.5bacc0p-21f,
       0x1.4875c2p-22f, 0x1.364e9ep-23f, 0x1.25284cp-24f, 0x1.14f49ep-25f, 0x1.05a628p-26f,
       0x1.ee6086p-28f, 0x1.d30decp-29f, 0x1.b93de2p-30f, 0x1.a0db0ep-31f, 0x1.89d13ep-32f,
       0x1.740d62p-33f, 0x1.5f7d78p-34f},
      {0x1.62e430p-1f,  0x1.8c27eap-2f,  0x1.9c7e90p-3f,  0x1.9a7232p-4f,  0x1.8e0710p-5f,
       0x1.7cda8cp-6f,  0x1.6a0334p-7f,  0x1.570090p-8f,  0x1.447e36p-9f,  0x1.32c270p-10f,
       0x1.21e534p-11f, 0x1.11e9e6p-12f, 0x1.02cb0cp-13f, 0x1.e8ff30p-15f, 0x1.cdfa86p-16f,
       0x1.b4731cp-17f, 0x1.9c5470p-18f, 0x1.858ad4p-19f, 0x1.700386p-20f, 0x1.5bacc8p-21f,
       0x1.4875c6p-22f, 0x1.364ea0p-23f, 0x1.25284cp-24f, 0x1.14f49ep-25f, 0x1.05a628p-26f,
       0x1.ee6086p-28f, 0x1.d30decp-29f, 0x1.b93de2p-30f, 0x1.a0db0ep-31f, 0x1.89d13ep-32f,
       0x1.740d62p-33f, 0x1.5f7d78p-34f},
  };
  static F sigmoid_log(F x) { return -softplus(-x); }

  /// tanh x = sign(x) tanh a, a = |x| no larger than 9.75: tanh rounds to 1 from 9.011 on, and
  /// the last piece gives 1 there. a is read from `Vec::kTanhSlots` slots of a table that
  /// tools/fit_tanh_pieces.py fits (32; with 8, those below 3 alone: `tanh_narrow`), indexed by
  /// a's exponent and leading mantissa bits (`TanhLayout`). Slot 0 serves a below 1/4 as a + a
  /// p(a^2), where p(v) = v R(v) has no constant term, so a subnormal or tiny a gives a itself.
  /// Slot i serves the i-th of 2^m equal pieces of a binade from 1/4 on as C + t p(t), t = a - c:
  /// the float c lies in the piece's binade, so t is exact, and is chosen so that tanh c is within
  /// 2^-12 ulp of the float C. Both forms end in one fused multiply-add, fma(t, p, B) with B = a or
  /// C: the half ulp.
  ///
  /// Before it: the fit, C included, is within 0.014 ulp (32 slots: m = 2, p of degree 5) or 0.029
  /// (8 slots: m = 1, degree 6). Each Horner step rounds by 2^-24 of its value, which reaches
  /// the result times |t| v^j. The last step's matters most: t p = y - C, and |t| <= 2^(e-m-1)
  /// in a binade [2^e, 2^(e+1)) while tanh' <= min(1, sech^2 2^e), so |y - C| <= 1.09 2^(-m-1) y
  /// and the step costs at most that many ulps (y 2^-24 is below y's ulp): 0.14 or 0.27. In slot
  /// 0, |a p| <= a^3 / 3 <= y / 46, and v = a^2 rounds by 2^-24 too. Summed point by point over
  /// a dense grid of every slot, fit and roundings stay within 0.12 ulp (32 slots) or 0.24 (8
  /// slots): within 0.62 and 0.74 ulp in all. Over every f32 argument against tanh in double the
  /// worst errors are 0.567 and 0.628 ulp. NaN stays NaN (quiet), and -0 gives -0.
  static F tanh(F x) {
    const F a = Vec::at_most(splat(9.75f), (F)((FU)x & ~kSign));
    constexpr TanhLayout layout = TanhLayout::of(Vec::kTanhSlots);
    FI slot = ((FI)a >> layout.shift) - layout.base;
    slot = slot < 0 ? FI{} : slot;
    F y;
    if constexpr (Vec::kTanhSlots == 8) {
      y = tanh_narrow(a, slot);
    } else {
      static_assert(Vec::kTanhSlots == 32, "fitted for 32 slots, or 8 and the exponential");
      y = tanh_pieces(a, slot, kTanhPieces32);
    }
    return (F)((FU)y | ((FU)x & kSign));
  }
  /// tanh a from the pieces of `slot`.
  template <std::size_t Rows, std::size_t Slots>
  static F tanh_pieces(F a, FI slot, const float (&rows)[Rows][Slots]) {
    constexpr TanhLayout layout = TanhLayout::of(Slots);
    const auto pick = [&](std::size_t row) {
      if constexpr (Slots == 8) {
        return Vec::lookup(rows[row], (F)slot);
      } else {
        return Vec::lookup_slot(rows[row], slot);
      }
    };
    const F t = a - pick(0);
    const auto small = a < layout.small_below;
    const F v = small ? a * a : t;
    F p = pick(2);
    for (std::size_t row = 3; row < Rows; ++row) p = fma(p, v, pick(row));
    return fma(t, p, small ? a : pick(1));
  }

  /// tanh a where a lookup reads 8 entries at once: the pieces serve a below 3 from 8
  /// slots, slot 0 and the two halves of the binades from 1/4 to 2 (m = 1, p of degree 6,
  /// fitted by tools/fit_tanh_pieces.py 2 1 6 8 3), and from 3 on tanh a = 1 - D / (1 + D/2)
  /// with D = 2 e^-2a, which the lanes of every slot compute and those from 3 on keep. Their
  /// pieces are those of m = 1 below 3, within 0.74 ulp as proven above.
  ///
  /// -2a = n ln2 - 2s with n an integer, |s| <= ln2/4 (and 2^-22 for the rounded 2 / ln2): m =
  /// 1.5 2^23 + 128 + n holds n + 128, in [100, 120] for a in [3, 9.75], in its low bits, which
  /// shifted up by 23 are those of 2^(n+1). s = a + n ln2/2 rounds once, by 2^-27, and ln2 as
  /// a float moves it by |n| 2^-29 <= 2^-24.2: e^-2s moves by 2^-22.9 relative. P(s), fitted to
  /// e^-2s with float coefficients within 2^-23.4 relative, rounds its last Horner step by
  /// 2^-24 and the one before by 2^-23 |s| / 0.7: D = 2^(n+1) P(s) (exact) is within 2^-21.8
  /// relative. tanh a = 1 - D + D^2/2 - D^3/4 + r with |r| <= D^4/8, D <= 2 e^-6: that sum,
  /// computed by Horner in D, moves by D times D's error, by D times 2^-25 from its inner
  /// rounding and by r: under 0.03 2^-24 in all, where the result (in [0.995, 1]) has ulp
  /// 2^-24: within 0.53 ulp after the last rounding.
  static F tanh_narrow(F a, FI slot) {
    const F near = tanh_pieces(a, slot, kTanhPieces8);
    const F shifter = splat(0x1.8p23f + 128.0f);
    const F m = fma(a, splat(-0x1.715476p+1f), shifter);
    const F s = fma(m - shifter, splat(0x1.62e43p-2f), a);
    const F d = horner(s, kTanhTail) * (F)((FI)m << 23);
    const F far = fma(fma(fma(d, splat(-0.25f), splat(0.5f)), d, splat(-1.0f)), d, splat(1.0f));
    return slot >= 8 ? far : near;
  }
  /// e^-2s for |s| <= ln2/4, highest degree first: the degree-5 polynomial of least relative
  /// error with float coefficients, within 2^-23.4.
  static constexpr float kTanhTail[] = {-0x1.0f9e52p-2f, 0x1.573adcp-1f,  -0x1.555a84p+0f,
                                        0x1.fffdc4p+0f,  -0x1.fffff6p+0f, 1.0f};
  /// Slot 0 holds a below `small_below`; slot i >= 1 the piece whose leading bits, a's bits
  /// shifted right by `shift`, are `base` + i: 2^(23 - shift) pieces a binade.
  struct TanhLayout {
    float small_below;
    int shift;
    int base;
    static constexpr TanhLayout of(int slots) {
      const int shift = slots == 32 ? 21 : 22;
      return {0.25f, shift, static_cast<int>(std::bit_cast<std::uint32_t>(0.25f) >> shift) - 1};
    }
  };
  /// Rows: c, C, then p's coefficients from the highest degree down, one entry per slot.
  static constexpr float kTanhPieces32[8][32] = {
      {0x0.0p+0f,      0x1.201c7cp-2f, 0x1.600068p-2f, 0x1.9fefaap-2f, 0x1.e0167ep-2f,
       0x1.2018b0p-1f, 0x1.5ffc7cp-1f, 0x1.a01cfcp-1f, 0x1.dff95ap-1f, 0x1.20155cp+0f,
       0x1.5fef1ep+0f, 0x1.a01248p+0f, 0x1.dfe980p+0f, 0x1.1ff226p+1f, 0x1.5fe7f2p+1f,
       0x1.a01c78p+1f, 0x1.e01726p+1f, 0x1.1fe142p+2f, 0x1.5fe8bep+2f, 0x1.9fef28p+2f,
       0x1.e434e0p+2f, 0x1.154246p+3f, 0x1.154246p+3f, 0x1.154246p+3f, 0x1.154246p+3f,
       0x1.154246p+3f, 0x1.154246p+3f, 0x1.154246p+3f, 0x1.154246p+3f, 0x1.154246p+3f,
       0x1.154246p+3f, 0x1.154246p+3f},
      {0x0.0p+0f,      0x1.18bdf2p-2f, 0x1.52c322p-2f, 0x1.8a79f8p-2f, 0x1.bfc09cp-2f,
       0x1.051ab4p-1f, 0x1.31559cp-1f, 0x1.5798eep-1f, 0x1.77d528p-1f, 0x1.9e6b72p-1f,
       0x1.c27104p-1f, 0x1.d9cc3cp-1f, 0x1.e87494p-1f, 0x1.f4bd6ep-1f, 0x1.fbd37ap-1f,
       0x1.fe7728p-1f, 0x1.ff6f4cp-1f, 0x1.ffdf88p-1f, 0x1.fffb9cp-1f, 0x1.ffff68p-1f,
       0x1.ffffeep-1f, 0x1.fffffep-1f, 0x1.fffffep-1f, 0x1.fffffep-1f, 0x1.fffffep-1f,
       0x1.fffffep-1f, 0x1.fffffep-1f, 0x1.fffffep-1f, 0x1.fffffep-1f, 0x1.fffffep-1f,
       0x1.fffffep-1f, 0x1.fffffep-1f},
      {-0x1.26bfd2p-6f,  -0x1.867364p-3f,  -0x1.d762dap-5f,  -0x1.fbb25ap-5f,  -0x1.ef2344p-5f,
       0x1.ee24e2p-6f,   -0x1.921b70p-7f,  0x1.2bd6c2p-7f,   0x1.f9209cp-7f,   0x1.2f1d50p-6f,
       0x1.66c728p-7f,   0x1.0f1a5ep-8f,   0x1.550238p-11f,  -0x1.776972p-11f, -0x1.1dffeep-11f,
       -0x1.fee5bep-13f, -0x1.914100p-14f, -0x1.7b75e8p-16f, -0x1.9dfbc8p-19f, -0x1.c0ada4p-22f,
       -0x1.e37d8cp-25f, -0x1.0fb45ap-28f, -0x1.0fb45ap-28f, -0x1.0fb45ap-28f, -0x1.0fb45ap-28f,
       -0x1.0fb45ap-28f, -0x1.0fb45ap-28f, -0x1.0fb45ap-28f, -0x1.0fb45ap-28f, -0x1.0fb45ap-28f,
       -0x1.0fb45ap-28f, -0x1.0fb45ap-28f},
      {0x1.7e22d8p-6f,  0x1.481e02p-5f,  -0x1.2cf5c4p-5f, -0x1.3572d4p-4f, 0x1.0b2892p-8f,
       -0x1.358548p-5f, -0x1.116ceap-4f, -0x1.e49c98p-5f, -0x1.a182d2p-5f, -0x1.066304p-5f,
       -0x1.37dd32p-7f, 0x1.6041c4p-10f, 0x1.2b97d2p-8f,  0x1.04c62ep-8f,  0x1.f69288p-10f,
       0x1.935b16p-11f, 0x1.3265c6p-12f, 0x1.1f7ef6p-14f, 0x1.383022p-17f, 0x1.51eb10p-20f,
       0x1.3cfd4ep-23f, 0x1.1fed24p-26f, 0x1.1fed24p-26f, 0x1.1fed24p-26f, 0x1.1fed24p-26f,
       0x1.1fed24p-26f, 0x1.1fed24p-26f, 0x1.1fed24p-26f, 0x1.1fed24p-26f, 0x1.1fed24p-26f,
       0x1.1fed24p-26f, 0x1.1fed24p-26f},
      {-0x1.babe34p-5f,  0x1.335cc4p-3f,   0x1.5028ccp-3f,   0x1.5c3db2p-3f,   0x1.5869cep-3f,
       0x1.39750ap-3f,   0x1.e9904ap-4f,   0x1.46c4b2p-4f,   0x1.629b28p-5f,   0x1.a55c3ep-9f,
       -0x1.5da026p-6f,  -0x1.9d2502p-6f,  -0x1.55f768p-6f,  -0x1.9414dep-7f,  -0x1.4eb1acp-8f,
       -0x1.00065ep-9f,  -0x1.7ea9e0p-11f, -0x1.596eb0p-13f, -0x1.76457cp-16f, -0x1.94fa7cp-19f,
       -0x1.7daff8p-22f, -0x1.5e6d82p-25f, -0x1.5e6d82p-25f, -0x1.5e6d82p-25f, -0x1.5e6d82p-25f,
       -0x1.5e6d82p-25f, -0x1.5e6d82p-25f, -0x1.5e6d82p-25f, -0x1.5e6d82p-25f, -0x1.5e6d82p-25f,
       -0x1.5e6d82p-25f, -0x1.5e6d82p-25f},
      {0x1.1111e8p-3f,  -0x1.e8f032p-3f, -0x1.982c08p-3f, -0x1.425406p-3f, -0x1.d6fe18p-4f,
       -0x1.bc5352p-5f, 0x1.d7d3c8p-7f,  0x1.0764eap-4f,  0x1.8420aep-4f,  0x1.c69278p-4f,
       0x1.97eed0p-4f,  0x1.33c2c4p-4f,  0x1.a89952p-5f,  0x1.bc25a2p-6f,  0x1.5a1234p-7f,
       0x1.032424p-8f,  0x1.805cdep-10f, 0x1.59acf4p-12f, 0x1.763b08p-15f, 0x1.94e6c0p-18f,
       0x1.7fc208p-21f, 0x1.54d698p-24f, 0x1.54d698p-24f, 0x1.54d698p-24f, 0x1.54d698p-24f,
       0x1.54d698p-24f, 0x1.54d698p-24f, 0x1.54d698p-24f, 0x1.54d698p-24f, 0x1.54d698p-24f,
       0x1.54d698p-24f, 0x1.54d698p-24f},
      {-0x1.555556p-2f,  -0x1.03a3dap-2f,  -0x1.2dafd8p-2f,  -0x1.4fef5ep-2f,  -0x1.6a24fep-2f,
       -0x1.8265e4p-2f,  -0x1.897d76p-2f,  -0x1.79b5b2p-2f,  -0x1.5aa5e4p-2f,  -0x1.1dd33ap-2f,
       -0x1.973662p-3f,  -0x1.104374p-3f,  -0x1.5f2088p-4f,  -0x1.5c859cp-5f,  -0x1.07df88p-6f,
       -0x1.87145ap-8f,  -0x1.20ed60p-9f,  -0x1.03a81cp-11f, -0x1.18fd5ap-14f, -0x1.300098p-17f,
       -0x1.2008acp-20f, -0x1.ff4112p-24f, -0x1.ff4112p-24f, -0x1.ff4112p-24f, -0x1.ff4112p-24f,
       -0x1.ff4112p-24f, -0x1.ff4112p-24f, -0x1.ff4112p-24f, -0x1.ff4112p-24f, -0x1.ff4112p-24f,
       -0x1.ff4112p-24f, -0x1.ff4112p-24f},
      {0x0.0p+0f,       0x1.d983fep-1f,  0x1.c7f704p-1f,  0x1.b4048ap-1f,  0x1.9e1bbap-1f,
       0x1.7ad846p-1f,  0x1.49e972p-1f,  0x1.196a6cp-1f,  0x1.d83dd4p-2f,  0x1.61204ep-2f,
       0x1.cedcf8p-3f,  0x1.26374ep-3f,  0x1.700d5ap-4f,  0x1.645bf0p-5f,  0x1.0a0ac4p-6f,
       0x1.884152p-8f,  0x1.213f20p-9f,  0x1.03b92ap-11f, 0x1.190054p-14f, 0x1.30017ep-17f,
       0x1.2000c4p-20f, 0x1.00025ap-23f, 0x1.00025ap-23f, 0x1.00025ap-23f, 0x1.00025ap-23f,
       0x1.00025ap-23f, 0x1.00025ap-23f, 0x1.00025ap-23f, 0x1.00025ap-23f, 0x1.00025ap-23f,
       0x1.00025ap-23f, 0x1.00025ap-23f},
  };
  static constexpr float kTanhPieces8[9][8] = {
      {0x0.0p+0f, 0x1.400624p-2f, 0x1.c0023cp-2f, 0x1.400dfap-1f, 0x1.c0129cp-1f, 0x1.3fed1ep+0f,
       0x1.bff09ap+0f, 0x1.3fe024p+1f},
      {0x0.0p+0f, 0x1.35ff1ep-2f, 0x1.a5747ap-2f, 0x1.1bfe2cp-1f, 0x1.686fb4p-1f, 0x1.b247a4p-1f,
       0x1.e1f878p-1f, 0x1.f9221ep-1f},
      {0x0.0p+0f, 0x1.78c2d6p+0f, 0x1.009482p+0f, -0x1.19f9c4p-7f, 0x1.77b264p-5f, -0x1.243998p-8f,
       -0x1.03cb96p-9f, 0x1.f1fb34p-15f},
      {-0x1.26bfd2p-6f, -0x1.3ad9bcp-4f, -0x1.03f752p-4f, -0x1.81e47cp-6f, 0x1.b0688ap-7f,
       0x1.ee9bfcp-7f, 0x1.10ef82p-9f, -0x1.6ea9e2p-11f},
      {0x1.7e22d8p-6f, 0x1.1b7fcep-5f, -0x1.a59616p-7f, -0x1.ba517ap-5f, -0x1.e9e8d8p-5f,
       -0x1.3b0708p-6f, 0x1.e48572p-9f, 0x1.779804p-9f},
      {-0x1.babe34p-5f, 0x1.43df7ep-3f, 0x1.5c2b3ap-3f, 0x1.1a566cp-3f, 0x1.f1a982p-5f,
       -0x1.9b73aep-7f, -0x1.817818p-6f, -0x1.0843f0p-7f},
      {0x1.1111e8p-3f, -0x1.c190bcp-3f, -0x1.16d7eap-3f, -0x1.235bb4p-6f, 0x1.4f415cp-4f,
       0x1.bbb342p-4f, 0x1.01d112p-4f, 0x1.17615cp-6f},
      {-0x1.555556p-2f, -0x1.19962cp-2f, -0x1.5e0ff4p-2f, -0x1.893cd8p-2f, -0x1.6b9ea8p-2f,
       -0x1.e75a32p-3f, -0x1.b706d6p-4f, -0x1.aeaac8p-6f},
      {0x0.0p+0f, 0x1.d113c4p-1f, 0x1.a944f6p-1f, 0x1.627a08p-1f, 0x1.0242d2p-1f, 0x1.1f4904p-2f,
       0x1.d26170p-4f, 0x1.b48618p-6f},
  };
};

}  // namespace
}  // namespace tarvelon::eval::detail
