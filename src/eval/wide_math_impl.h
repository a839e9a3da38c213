#pragma once
// Included only by the units of one instruction set each (kernels_avx2.cpp, kernels_avx512.cpp):
// everything here has internal linkage, so no function compiled for a wider set can be picked by
// the linker for baseline code. For the same reason it calls nothing from the standard library.

#include <cstddef>

#include "eval/wide_math.h"

namespace tarvelon::eval::detail {
namespace {

/// Block kernels over vectors of `Math::kLanes` doubles. `Math` names the vector types and the
/// elementary functions of one instruction set (all within 1 ulp in double).
template <class Math>
struct WideKernels {
  using D = typename Math::D;  // doubles, a GCC vector
  using F = typename Math::F;  // as many floats
  using I = typename Math::I;  // 64-bit integers, for the sign bit
  static constexpr std::size_t kLanes = Math::kLanes;

  static D neg_abs(D x) { return (D)((I)x | (I)(-D{})); }

  /// The composite functions, for arguments of f32: each form keeps e^-|x| <= 1 so nothing
  /// overflows, and the double result is far more accurate than the final rounding to float needs.
  static D sigmoid(D x) {
    const D e = Math::exp(neg_abs(x));
    const D one = D{} + 1.0;
    return (x >= 0.0 ? one : e) / (one + e);
  }
  static D softplus(D x) {
    const D rest = Math::log1p(Math::exp(neg_abs(x)));
    // max(x, 0), which is x itself for a NaN so that the NaN goes through
    const D keep = ((x > 0.0) | (x != x)) ? x : D{};
    return keep + rest;
  }
  static D exp_sigmoid(D x) { return sigmoid(Math::exp(x)); }
  static D sigmoid_log(D x) { return -softplus(-x); }

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
      v = __builtin_convertvector(Fn(__builtin_convertvector(v, D)), F);
      __builtin_memcpy(out, &v, sizeof v);
    }
  }

  static OpFn lookup(vocab::Builtin b, bool single) {
    using vocab::Builtin;
    if (single) {
      switch (b) {
        case Builtin::Exp:
          return &apply<Math::exp, float>;
        case Builtin::Log:
          return &apply<Math::log, float>;
        case Builtin::Sin:
          return &apply<Math::sin, float>;
        case Builtin::Cos:
          return &apply<Math::cos, float>;
        case Builtin::Tanh:
          return &apply<Math::tanh, float>;
        case Builtin::Sigmoid:
          return &apply<sigmoid, float>;
        case Builtin::Softplus:
          return &apply<softplus, float>;
        case Builtin::ExpSigmoid:
          return &apply<exp_sigmoid, float>;
        case Builtin::SigmoidLog:
          return &apply<sigmoid_log, float>;
        default:
          return nullptr;
      }
    }
    // f64 tanh and the f64 composites need more than double precision on the way.
    switch (b) {
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
