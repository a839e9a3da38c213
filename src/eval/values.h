#pragma once
// The value semantics of one element: dtype tags, casts and operators. Internal to the evaluator.

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "eval/float_format.h"
#include "vocab/dtype.h"
#include "vocab/ops.h"

namespace tarvelon::eval::detail {

enum class Cat : std::uint8_t { Bool, Int, Float, Complex };

/// Each dtype's tag names the type a register element holds (`T`). bfloat16 and binary16 values
/// are held exactly in a float; every operation on them computes in float and rounds once.
struct BoolTag {
  using T = std::uint8_t;
  static constexpr Cat cat = Cat::Bool;
};
template <class I>
struct IntTag {
  using T = I;
  static constexpr Cat cat = Cat::Int;
};
/// binary16 and bfloat16: held in a float, rounded once from float or double.
template <float (*Round)(float), double (*RoundDouble)(double),
          void (*RoundBlock)(float*, std::size_t)>
struct NarrowFloatTag {
  using T = float;
  using Wide = double;
  static constexpr Cat cat = Cat::Float;
  static float round(float x) { return Round(x); }
  static void round_block(float* x, std::size_t n) { RoundBlock(x, n); }
  static float from_double(double x) { return static_cast<float>(RoundDouble(x)); }
  template <class I>
  static float from_int(I v) {
    return from_double(odd_rounded_value(v));
  }
};
inline void round_block_to_bf16(float* x, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) x[i] = round_to_bf16(x[i]);
}
using F16Tag = NarrowFloatTag<round_to_f16, round_double_to_f16, round_block_to_f16>;
using BF16Tag = NarrowFloatTag<round_to_bf16, round_double_to_bf16, round_block_to_bf16>;
struct F32Tag {
  using T = float;
  using Wide = double;
  static constexpr Cat cat = Cat::Float;
  static float round(float x) { return x; }
  static void round_block(float*, std::size_t) {}
  static float from_double(double x) { return static_cast<float>(x); }
  template <class I>
  static float from_int(I v) {
    return static_cast<float>(v);
  }
};
struct F64Tag {
  using T = double;
  using Wide = long double;
  static constexpr Cat cat = Cat::Float;
  static double round(double x) { return x; }
  static void round_block(double*, std::size_t) {}
  static double from_double(double x) { return x; }
  template <class I>
  static double from_int(I v) {
    return static_cast<double>(v);
  }
};
template <class PartTag>
struct ComplexTag {
  using Part = PartTag;
  using T = std::complex<typename PartTag::T>;
  static constexpr Cat cat = Cat::Complex;
};
using C64Tag = ComplexTag<F32Tag>;
using C128Tag = ComplexTag<F64Tag>;

/// Calls `f(Tag{})` with the tag of `d`, returning what it returns.
template <class F>
decltype(auto) with_tag(vocab::DType d, F&& f) {
  using vocab::DTypeKind;
  switch (d.kind) {
    case DTypeKind::Bool:
      return f(BoolTag{});
    case DTypeKind::UInt:
      if (d.bits == 8) return f(IntTag<std::uint8_t>{});
      if (d.bits == 16) return f(IntTag<std::uint16_t>{});
      if (d.bits == 32) return f(IntTag<std::uint32_t>{});
      return f(IntTag<std::uint64_t>{});
    case DTypeKind::Int:
      if (d.bits == 8) return f(IntTag<std::int8_t>{});
      if (d.bits == 16) return f(IntTag<std::int16_t>{});
      if (d.bits == 32) return f(IntTag<std::int32_t>{});
      return f(IntTag<std::int64_t>{});
    case DTypeKind::Float:
      if (d.bits == 16) return d.brain ? f(BF16Tag{}) : f(F16Tag{});
      if (d.bits == 32) return f(F32Tag{});
      return f(F64Tag{});
    case DTypeKind::Complex:
      break;
  }
  if (d.bits == 64) return f(C64Tag{});
  return f(C128Tag{});
}

/// Arithmetic of an integer type without signed overflow: at least `unsigned`, so that narrow
/// operands are not promoted to a signed int.
template <class I>
using WrapT = std::conditional_t<(sizeof(I) < sizeof(unsigned)), unsigned, std::make_unsigned_t<I>>;

/// A float cut toward zero and saturated to integer type I; NaN gives 0.
template <class I>
I saturate(double x) {
  if (std::isnan(x)) return 0;
  using L = std::numeric_limits<I>;
  // Both bounds are powers of two (or zero) and exact in a double.
  const double hi = std::ldexp(1.0, L::digits);
  if (x >= hi) return L::max();
  if (x <= static_cast<double>(L::min())) return L::min();  // every negative for unsigned types
  return static_cast<I>(x);
}

/// The value `v` of dtype From in dtype To, by the cast rules: integers wrap, floats round once,
/// floats into integers cut and saturate, complex numbers give their real part to real dtypes.
template <class To, class From>
typename To::T cast_value(typename From::T v) {
  using R = typename To::T;
  if constexpr (std::is_same_v<To, From>) {
    return v;
  } else if constexpr (To::cat == Cat::Bool) {
    if constexpr (From::cat == Cat::Complex) {
      return v.real() != 0 || v.imag() != 0;
    } else {
      return v != 0;  // NaN is true
    }
  } else if constexpr (From::cat == Cat::Complex) {
    if constexpr (To::cat == Cat::Complex) {
      return R(To::Part::from_double(v.real()), To::Part::from_double(v.imag()));
    } else {
      return cast_value<To, typename From::Part>(v.real());
    }
  } else if constexpr (To::cat == Cat::Complex) {
    return R(cast_value<typename To::Part, From>(v), 0);
  } else if constexpr (From::cat == Cat::Bool) {
    return static_cast<R>(v);
  } else if constexpr (From::cat == Cat::Int) {
    if constexpr (To::cat == Cat::Int) {
      return static_cast<R>(v);
    } else {
      return To::from_int(v);
    }
  } else if constexpr (To::cat == Cat::Int) {
    return saturate<R>(static_cast<double>(v));
  } else if constexpr (std::is_same_v<typename From::T, float> && std::is_same_v<R, float>) {
    return To::round(v);  // a float holds the value exactly: one rounding
  } else {
    return To::from_double(static_cast<double>(v));
  }
}

template <class Tag>
constexpr bool is_signed_int() {
  if constexpr (Tag::cat == Cat::Int) {
    return std::is_signed_v<typename Tag::T>;
  } else {
    return false;
  }
}

/// Integer power reduced modulo 2^bits; a negative exponent cuts the exact power toward zero.
template <class I>
I int_pow(I base, I exponent) {
  using W = WrapT<I>;
  if constexpr (std::is_signed_v<I>) {
    if (exponent < 0) {
      if (base == 1) return 1;
      if (base == -1) return (exponent & 1) ? I(-1) : I(1);
      return 0;
    }
  }
  W result = 1;
  W b = static_cast<W>(base);
  auto e = static_cast<std::make_unsigned_t<I>>(exponent);
  while (e != 0) {
    if (e & 1) result = static_cast<W>(result * b);
    b = static_cast<W>(b * b);
    e >>= 1;
  }
  return static_cast<I>(result);
}

/// Floor division and remainder of integers, the remainder taking the divisor's sign; a zero
/// divisor gives 0 for both and `min // -1` wraps to `min`.
template <class I>
I int_floor_div(I a, I b) {
  if (b == 0) return 0;
  if constexpr (std::is_signed_v<I>) {
    if (b == -1) return static_cast<I>(WrapT<I>(0) - static_cast<WrapT<I>>(a));
    I q = static_cast<I>(a / b);
    if (static_cast<I>(a % b) != 0 && ((a < 0) != (b < 0))) --q;
    return q;
  } else {
    return static_cast<I>(a / b);
  }
}
template <class I>
I int_rem(I a, I b) {
  if (b == 0) return 0;
  if constexpr (std::is_signed_v<I>) {
    if (b == -1) return 0;
    I r = static_cast<I>(a % b);
    if (r != 0 && ((r < 0) != (b < 0))) r = static_cast<I>(r + b);
    return r;
  } else {
    return static_cast<I>(a % b);
  }
}

/// Float remainder with the divisor's sign, and the matching floor division, as NumPy's divmod
/// computes them.
template <class F>
F float_rem(F a, F b) {
  F mod = std::fmod(a, b);
  if (b == 0) return mod;
  if (mod != 0) {
    if ((b < 0) != (mod < 0)) mod += b;
  } else {
    mod = std::copysign(F(0), b);
  }
  return mod;
}
template <class F>
F float_floor_div(F a, F b) {
  if (b == 0) return a / b;
  F mod = std::fmod(a, b);
  F div = (a - mod) / b;
  if (mod != 0 && ((b < 0) != (mod < 0))) div -= F(1);
  if (div == 0) return std::copysign(F(0), a / b);
  F floordiv = std::floor(div);
  if (div - floordiv > F(0.5)) floordiv += F(1);
  return floordiv;
}

/// The principal square root, with the C library's special values (an infinite imaginary part
/// wins over NaN, `sqrt(-inf + yi)` is `0 + inf i`, the sign of a zero imaginary part is kept).
/// Written here rather than taken from `std::sqrt` because C++ libraries differ: one computes it
/// through polar form, which is not exact on the axes (`sqrt(-4)` would not be `2i`). Float parts
/// are computed in double, where neither the sum nor the hypotenuse can overflow, and rounded once.
template <class F>
std::complex<F> complex_sqrt(std::complex<F> z) {
  const F x = z.real(), y = z.imag();
  const F inf = std::numeric_limits<F>::infinity();
  if (std::isinf(y)) return {inf, y};
  if (std::isnan(x)) return {x, x};
  if (std::isinf(x)) {
    if (x > 0) return {x, std::isnan(y) ? y : std::copysign(F(0), y)};
    return {std::isnan(y) ? y : F(0), std::copysign(inf, y)};
  }
  if (std::isnan(y)) return {y, y};
  if (x == 0 && y == 0) return {F(0), y};
  using W = std::conditional_t<sizeof(F) < sizeof(double), double, F>;
  W wx = x, wy = y, scale = 1;
  const W big = std::max(std::fabs(wx), std::fabs(wy));
  // Keep |x| + hypot(x, y) finite for the largest doubles and normal for the smallest.
  if (big > std::ldexp(W(1), 1020)) {
    wx = std::ldexp(wx, -2), wy = std::ldexp(wy, -2), scale = 2;
  } else if (big < std::ldexp(W(1), -1020)) {
    wx = std::ldexp(wx, 104), wy = std::ldexp(wy, 104), scale = std::ldexp(W(1), -52);
  }
  const W t = std::sqrt((std::fabs(wx) + std::hypot(wx, wy)) / 2);
  if (wx >= 0) return {F(t * scale), F(wy / (2 * t) * scale)};
  return {F(std::fabs(wy) / (2 * t) * scale), F(std::copysign(t, wy) * scale)};
}

/// Complex product and quotient as NumPy computes them: the plain product, and the quotient
/// scaled by the divisor's larger part.
template <class F>
std::complex<F> complex_mul(std::complex<F> a, std::complex<F> b) {
  return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}
template <class F>
std::complex<F> complex_div(std::complex<F> a, std::complex<F> b) {
  const F ar = a.real(), ai = a.imag(), br = b.real(), bi = b.imag();
  const F abs_br = std::fabs(br), abs_bi = std::fabs(bi);
  if (abs_br >= abs_bi) {
    if (abs_br == 0 && abs_bi == 0) return {ar / abs_br, ai / abs_bi};
    const F rat = bi / br;
    const F scl = F(1) / (br + bi * rat);
    return {(ar + ai * rat) * scl, (ai - ar * rat) * scl};
  }
  const F rat = br / bi;
  const F scl = F(1) / (bi + br * rat);
  return {(ar * rat + ai) * scl, (ai * rat - ar) * scl};
}

/// Complex power like NumPy: exact small integer exponents by repeated products, a zero base by
/// its own rule, otherwise the C library's power.
template <class F>
std::complex<F> complex_pow(std::complex<F> a, std::complex<F> b) {
  using C = std::complex<F>;
  const F br = b.real(), bi = b.imag();
  if (br == 0 && bi == 0) return C(1, 0);
  if (a.real() == 0 && a.imag() == 0) {
    if (br > 0 && bi == 0) return C(0, 0);
    const F nan = std::numeric_limits<F>::quiet_NaN();
    return C(nan, nan);
  }
  if (bi == 0 && br == std::trunc(br) && std::fabs(br) < 100) {
    auto n = static_cast<int>(br);
    if (n == 1) return a;
    if (n == 2) return complex_mul(a, a);
    if (n == 3) return complex_mul(complex_mul(a, a), a);
    if (n > -100 && n < 100) {
      unsigned mask = 1;
      const unsigned un = n < 0 ? static_cast<unsigned>(-n) : static_cast<unsigned>(n);
      C aa(1, 0), p = a;
      while (true) {
        if (un & mask) aa = complex_mul(aa, p);
        mask <<= 1;
        if (un < mask || mask == 0) break;
        p = complex_mul(p, p);
      }
      if (n < 0) return complex_div(C(1, 0), aa);
      return aa;
    }
  }
  return std::pow(a, b);
}

}  // namespace tarvelon::eval::detail
