#pragma once
// Included only by the units of one instruction set each (kernels_avx2.cpp, kernels_avx512.cpp):
// everything here has internal linkage, so no function compiled for a wider set can be picked by
// the linker for baseline code. For the same reason it calls nothing from the standard library.

#include <cstddef>
#include <utility>

#include "eval/composite_f32.h"
#include "eval/composite_f64.h"
#include "eval/wide_math.h"

namespace tarvelon::eval::detail {
namespace {

/// Block kernels over vectors of `Math::kLanes` doubles, or of a full vector of floats. `Math`
/// names the vector types and the elementary functions of one instruction set, each within 1 ulp
/// of its format. f32 exp, log, sin and cos are computed in single precision by the library, f32
/// tanh and the composites in single precision by `CompositeF32`.
template <class Math>
struct WideKernels {
  using D = typename Math::D;  // doubles, a GCC vector
  using I = typename Math::I;  // 64-bit integers, for the sign bit
  static constexpr std::size_t kLanes = Math::kLanes;

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

  /// A function of doubles over a block of them: full vectors straight from the block, the last
  /// partial one through a local copy, so that nothing past `n` is read or written. With
  /// `Times`, each element is x * f(x), the product rounded once as its own operator would.
  template <D (*Fn)(D), bool Times = false>
  static void apply(std::byte* dst, const std::byte* a, const std::byte*, const std::byte*,
                    std::size_t n) {
    double* out = reinterpret_cast<double*>(dst);
    const double* x = reinterpret_cast<const double*>(a);
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) lanes<Fn, Times>(out + i, x + i);
    if (i == n) return;
    double in_tail[kLanes] = {}, out_tail[kLanes];
    for (std::size_t k = 0; i + k < n; ++k) in_tail[k] = x[i + k];
    lanes<Fn, Times>(out_tail, in_tail);
    for (std::size_t k = 0; i + k < n; ++k) out[i + k] = out_tail[k];
  }

  /// A function computed in single precision over a full vector of floats: for the elementary
  /// functions whose single-precision forms are themselves within 1 ulp. `Times` as for `apply`.
  template <typename Math::FW (*Fn)(typename Math::FW), bool Times = false>
  static void apply_single(std::byte* dst, const std::byte* a, const std::byte*, const std::byte*,
                           std::size_t n) {
    using FW = typename Math::FW;
    constexpr std::size_t kWide = sizeof(FW) / sizeof(float);
    float* out = reinterpret_cast<float*>(dst);
    const float* x = reinterpret_cast<const float*>(a);
    std::size_t i = 0;
    FW v;
    // `Math::kSingleUnroll` vectors at a time while they last, each computed apart.
    constexpr std::size_t kRun = Math::kSingleUnroll * kWide;
    for (; i + kRun <= n; i += kRun) {
      [&]<std::size_t... J>(std::index_sequence<J...>) __attribute__((always_inline)) {
        FW w[sizeof...(J)];
        ((__builtin_memcpy(&w[J], x + i + J * kWide, sizeof(FW))), ...);
        ((w[J] = times<Times>(w[J], Fn(w[J]))), ...);
        ((__builtin_memcpy(out + i + J * kWide, &w[J], sizeof(FW))), ...);
      }
      (std::make_index_sequence<Math::kSingleUnroll>{});
    }
    for (; i + kWide <= n; i += kWide) {
      __builtin_memcpy(&v, x + i, sizeof v);
      v = times<Times>(v, Fn(v));
      __builtin_memcpy(out + i, &v, sizeof v);
    }
    if (i == n) return;
    float tail[kWide] = {};
    for (std::size_t k = 0; i + k < n; ++k) tail[k] = x[i + k];
    __builtin_memcpy(&v, tail, sizeof v);
    v = times<Times>(v, Fn(v));
    __builtin_memcpy(tail, &v, sizeof v);
    for (std::size_t k = 0; i + k < n; ++k) out[i + k] = tail[k];
  }

  /// `y`, or with `Times` x * y. A product alone, which no contraction fuses with anything.
  template <bool Times, class V>
  static V times(V x, V y) {
    if constexpr (Times) {
      return x * y;
    } else {
      return y;
    }
  }

  /// One vector of doubles.
  template <D (*Fn)(D), bool Times = false>
  static void lanes(double* out, const double* x) {
    D v;
    __builtin_memcpy(&v, x, sizeof v);
    v = times<Times>(v, Fn(v));
    __builtin_memcpy(out, &v, sizeof v);
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

  static OpFn lookup(vocab::Builtin b, bool single) { return lookup_of<false>(b, single); }
  /// The kernels of x * f(x) for the builtins `lookup` gives.
  static OpFn times_lookup(vocab::Builtin b, bool single) { return lookup_of<true>(b, single); }

  template <bool Times>
  static OpFn lookup_of(vocab::Builtin b, bool single) {
    using vocab::Builtin;
    if (single) {
      switch (b) {
        case Builtin::Exp:
          return &apply_single<Math::expf, Times>;
        case Builtin::Log:
          return &apply_single<Math::logf, Times>;
        case Builtin::Sin:
          return &apply_single<Math::sinf, Times>;
        case Builtin::Cos:
          return &apply_single<Math::cosf, Times>;
        case Builtin::Tanh:
          return &apply_single<F32::tanh, Times>;
        case Builtin::Sigmoid:
          return &apply_single<F32::sigmoid, Times>;
        case Builtin::ExpSigmoid:
          return &apply_single<F32::exp_sigmoid, Times>;
        case Builtin::Softplus:
          return &apply_single<F32::softplus, Times>;
        case Builtin::SigmoidLog:
          return &apply_single<F32::sigmoid_log, Times>;
        default:
          return nullptr;
      }
    }
    switch (b) {
      case Builtin::Sigmoid:
        return &apply<F64::sigmoid, Times>;
      case Builtin::Softplus:
        return &apply<F64::softplus, Times>;
      case Builtin::ExpSigmoid:
        return &apply<exp_sigmoid_f64, Times>;
      case Builtin::SigmoidLog:
        return &apply<F64::sigmoid_log, Times>;
      case Builtin::Tanh:
        return &apply<tanh_double, Times>;
      case Builtin::Exp:
        return &apply<Math::exp, Times>;
      case Builtin::Log:
        return &apply<Math::log, Times>;
      case Builtin::Sin:
        return &apply<Math::sin, Times>;
      case Builtin::Cos:
        return &apply<Math::cos, Times>;
      default:
        return nullptr;
    }
  }
};

}  // namespace
}  // namespace tarvelon::eval::detail
