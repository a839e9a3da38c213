#pragma once
// Included only by the units of one instruction set each (kernels_avx2.cpp, kernels_avx512.cpp):
// everything here has internal linkage, so no function compiled for a wider set can be picked by
// the linker for baseline code. For the same reason it calls nothing from the standard library.

#include <cstddef>

#include "eval/composite_f32.h"
#include "eval/composite_f64.h"
#include "eval/wide_math.h"

namespace tarvelon::eval::detail {
namespace {

/// Block kernels over vectors of `Math::kLanes` doubles, or of a full vector of floats. `Math`
/// names the vector types and the elementary functions of one instruction set, each within 1 ulp
/// of its format. f32 exp, log, sin and cos are computed in single precision by the library, f32
/// tanh and the composites in single precision from an exponential carried as a pair of floats;
/// softplus and sigmoid_log of f32 stay in doubles where the unit's single-precision form is no
/// faster (`Math::Floats::kSingleLog1p`).
template <class Math>
struct WideKernels {
  using D = typename Math::D;  // doubles, a GCC vector
  using F = typename Math::F;  // as many floats
  using I = typename Math::I;  // 64-bit integers, for the sign bit
  static constexpr std::size_t kLanes = Math::kLanes;

  static D neg_abs(D x) { return (D)((I)x | (I)(-D{})); }

  /// The polynomial with coefficients `c`, highest degree first, at x.
  template <std::size_t N>
  static D horner(D x, const double (&c)[N]) {
    D p = D{} + c[0];
    for (std::size_t i = 1; i < N; ++i) p = p * x + c[i];
    return p;
  }

  /// e^t for t <= 0 within 2^-30 relative: enough for a result rounded to float, at a fraction
  /// of the cost of the double functions. Below t = -110, t counts as -110: e^t then rounds to
  /// zero in any float result it is a factor of (every f32 is 2^-149 or more), and 2^k below stays
  /// a normal double. t = k ln2 + r with |r| <= ln2/2 (ln2's high part has 21 zero bits, so
  /// k ln2_hi is exact); q = (e^r - 1) / r is the polynomial of degree 6 through the Chebyshev
  /// points of [-ln2/2, ln2/2]. q's seventh derivative (of the integral of e^rs over s in [0, 1])
  /// is at most e^(ln2/2) / 8, so q is off by at most that / 7! * 2 (ln2/4)^7 < 2^-31.5, and the
  /// roundings add a few 2^-53.
  static D exp_nonpositive(D t) {
    t = Math::at_least(D{} - 110.0, t);
    const D shifter = D{} + 0x1.8p52;
    const D shifted = t * 1.4426950408889634 + shifter;  // k in the low bits
    const D k = shifted - shifter;
    const D r = (t - k * 0x1.62e42fee00000p-1) - k * 0x1.a39ef35793c76p-33;
    const D q = horner(r, {0x1.a15169e096556p-13, 0x1.6d7531eae5468p-10, 0x1.1110c63a4eed0p-7,
                           0x1.5554ace120b86p-5, 0x1.5555556750672p-3, 0x1.00000028794dfp-1, 1.0});
    const D scale = (D)(((I)shifted - (I)shifter + 1023) << 52);  // 2^k
    return (r * q + 1.0) * scale;
  }

  /// softplus and sigmoid_log for arguments of f32, in doubles: e^-|x| <= 1 so nothing overflows;
  /// the double result is within 2^-29 relative, so the float it rounds to is within
  /// 0.5 + 2^24 2^-29 < 0.532 ulp. No f64 result uses them.
  /// log(1 + e) for 0 <= e <= 1, as 2 atanh(s) with s = e / (2 + e) <= 1/3, with no cancellation
  /// for a small e and at a fraction of the cost of a general logarithm. atanh(s) / s = g(s^2),
  /// g(u) = sum of u^j / (2j + 1) >= 1, is the polynomial of degree 5 through the Chebyshev points
  /// of [0, 1/9]: g's sixth derivative there is below 114, so the polynomial is off by at most
  /// 114 / 6! * 2 (1/36)^6 < 2^-32.5. With e^t within 2^-30 that keeps softplus within 2^-29,
  /// under 0.532 ulp once rounded.
  static D log1p_unit(D e) {
    const D s = e / (2.0 + e);
    const D u = s * s;
    const D p = horner(u, {0x1.f396553366952p-4, 0x1.b63e15bc9ce88p-4, 0x1.25122810f580ap-3,
                           0x1.999638bb7f313p-3, 0x1.5555597b077dap-2, 0x1.ffffffff2e000p-1});
    return 2.0 * s * p;
  }
  static D softplus(D x) {
    const D rest = log1p_unit(exp_nonpositive(neg_abs(x)));
    return Math::at_least(D{}, x) + rest;
  }
  static D sigmoid_log(D x) { return -softplus(-x); }

  using F64 = CompositeF64<Math>;
  using F32 = CompositeF32<typename Math::Floats>;
  static D exp_sigmoid_f64(D x) { return F64::sigmoid(Math::exp(x)); }

  /// tanh of doubles: x itself below |x| = 2^-27, where tanh x = x (1 - x^2/3 + ...) is nearer x
  /// than a sixth of an ulp; 1 - 2 / (1 + e^2|x|) from |x| = 2 on, within 0.5 + 4 (1 - tanh|x|)
  /// <= 0.65 ulp for an exponential within 1; the library's tanh between, which comes within a
  /// hair of a whole ulp only as the result nears 1.
  static D tanh_double(D x) {
    const I sign = (I)(-D{});
    const D a = (D)((I)x & ~sign);
    const D far = (D)((I)(1.0 - 2.0 / (1.0 + Math::exp(2.0 * a))) | ((I)x & sign));
    const D r = a >= 2.0 ? far : Math::tanh(x);
    return x * x < 0x1p-54 ? x : r;
  }

  /// Full vectors straight from the block, the last partial one through a local copy, so that
  /// nothing past `n` is read or written.
  template <D (*Fn)(D), class T>
  static void apply(std::byte* dst, const std::byte* a, const std::byte*, const std::byte*,
                    std::size_t n) {
    T* out = reinterpret_cast<T*>(dst);
    const T* x = reinterpret_cast<const T*>(a);
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) lanes<Fn>(out + i, x + i);
    if (i == n) return;
    T in_tail[kLanes] = {}, out_tail[kLanes];
    for (std::size_t k = 0; i + k < n; ++k) in_tail[k] = x[i + k];
    lanes<Fn>(out_tail, in_tail);
    for (std::size_t k = 0; i + k < n; ++k) out[i + k] = out_tail[k];
  }

  /// A function computed in single precision over a full vector of floats: for the elementary
  /// functions whose single-precision forms are themselves within 1 ulp.
  template <typename Math::FW (*Fn)(typename Math::FW)>
  static void apply_single(std::byte* dst, const std::byte* a, const std::byte*, const std::byte*,
                           std::size_t n) {
    using FW = typename Math::FW;
    constexpr std::size_t kWide = sizeof(FW) / sizeof(float);
    float* out = reinterpret_cast<float*>(dst);
    const float* x = reinterpret_cast<const float*>(a);
    std::size_t i = 0;
    FW v;
    for (; i + kWide <= n; i += kWide) {
      __builtin_memcpy(&v, x + i, sizeof v);
      v = Fn(v);
      __builtin_memcpy(out + i, &v, sizeof v);
    }
    if (i == n) return;
    float tail[kWide] = {};
    for (std::size_t k = 0; i + k < n; ++k) tail[k] = x[i + k];
    __builtin_memcpy(&v, tail, sizeof v);
    v = Fn(v);
    __builtin_memcpy(tail, &v, sizeof v);
    for (std::size_t k = 0; i + k < n; ++k) out[i + k] = tail[k];
  }

  /// One vector: floats are widened exactly and the result is rounded to float once.
  template <D (*Fn)(D), class T>
  static void lanes(T* out, const T* x) {
    if constexpr (sizeof(T) == sizeof(double)) {
      D v;
      __builtin_memcpy(&v, x, sizeof v);
      v = Fn(v);
      __builtin_memcpy(out, &v, sizeof v);
    } else {
      F v;
      __builtin_memcpy(&v, x, sizeof v);
      v = Math::narrow(Fn(Math::widen(v)));
      __builtin_memcpy(out, &v, sizeof v);
    }
  }

  /// `+ - * /` of two blocks, which the compiler vectorizes for the unit's width: one rounding
  /// per element, the same bits as anywhere else.
  template <class T, vocab::BinaryOp Op>
  static void arith(std::byte* dst, const std::byte* a, const std::byte* b, const std::byte*,
                    std::size_t n) {
    T* out = reinterpret_cast<T*>(dst);
    const T* x = reinterpret_cast<const T*>(a);
    const T* y = reinterpret_cast<const T*>(b);
    for (std::size_t i = 0; i < n; ++i) {
      if constexpr (Op == vocab::BinaryOp::Add) out[i] = x[i] + y[i];
      if constexpr (Op == vocab::BinaryOp::Sub) out[i] = x[i] - y[i];
      if constexpr (Op == vocab::BinaryOp::Mul) out[i] = x[i] * y[i];
      if constexpr (Op == vocab::BinaryOp::Div) out[i] = x[i] / y[i];
    }
  }
  template <class T>
  static OpFn arith_of(vocab::BinaryOp op) {
    using vocab::BinaryOp;
    switch (op) {
      case BinaryOp::Add:
        return &arith<T, BinaryOp::Add>;
      case BinaryOp::Sub:
        return &arith<T, BinaryOp::Sub>;
      case BinaryOp::Mul:
        return &arith<T, BinaryOp::Mul>;
      case BinaryOp::Div:
        return &arith<T, BinaryOp::Div>;
      default:
        return nullptr;
    }
  }
  static OpFn arith_lookup(vocab::BinaryOp op, bool single) {
    return single ? arith_of<float>(op) : arith_of<double>(op);
  }

  static OpFn lookup(vocab::Builtin b, bool single) {
    using vocab::Builtin;
    if (single) {
      switch (b) {
        case Builtin::Exp:
          return &apply_single<Math::expf>;
        case Builtin::Log:
          return &apply_single<Math::logf>;
        case Builtin::Sin:
          return &apply_single<Math::sinf>;
        case Builtin::Cos:
          return &apply_single<Math::cosf>;
        case Builtin::Tanh:
          return &apply_single<F32::tanh>;
        case Builtin::Sigmoid:
          return &apply_single<F32::sigmoid>;
        case Builtin::ExpSigmoid:
          return &apply_single<F32::exp_sigmoid>;
        case Builtin::Softplus:
          if constexpr (Math::Floats::kSingleLog1p) return &apply_single<F32::softplus>;
          return &apply<softplus, float>;
        case Builtin::SigmoidLog:
          if constexpr (Math::Floats::kSingleLog1p) return &apply_single<F32::sigmoid_log>;
          return &apply<sigmoid_log, float>;
        default:
          return nullptr;
      }
    }
    switch (b) {
      case Builtin::Sigmoid:
        return &apply<F64::sigmoid, double>;
      case Builtin::Softplus:
        return &apply<F64::softplus, double>;
      case Builtin::ExpSigmoid:
        return &apply<exp_sigmoid_f64, double>;
      case Builtin::SigmoidLog:
        return &apply<F64::sigmoid_log, double>;
      case Builtin::Tanh:
        return &apply<tanh_double, double>;
      case Builtin::Exp:
        return &apply<Math::exp, double>;
      case Builtin::Log:
        return &apply<Math::log, double>;
      case Builtin::Sin:
        return &apply<Math::sin, double>;
      case Builtin::Cos:
        return &apply<Math::cos, double>;
      default:
        return nullptr;
    }
  }
};

}  // namespace
}  // namespace tarvelon::eval::detail
