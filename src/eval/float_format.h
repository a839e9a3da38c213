#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace tarvelon::eval {

/// IEEE binary16 bits of a float, rounded to nearest with ties to even; subnormals kept, NaN
/// stays a quiet NaN with its sign.
std::uint16_t f16_bits_from_float(float x);
/// The float holding exactly the binary16 value `bits` (a NaN made quiet).
float float_from_f16_bits(std::uint16_t bits);

/// `x` rounded to the nearest binary16 value (ties to even), carried as a float.
inline float round_to_f16(float x) { return float_from_f16_bits(f16_bits_from_float(x)); }

/// Whether the CPU converts half precision in hardware (F16C, with the OS saving AVX state) and
/// the evaluator may use it (its vector units are not capped to the baseline).
bool has_f16c();

/// The block conversions, by the CPU's half-precision instructions where it has them; results
/// are bit for bit those of the scalar functions above.
void round_block_to_f16(float* x, std::size_t n);
void f16_block_from_bits(const std::uint16_t* bits, float* out, std::size_t n);
void f16_block_to_bits(const float* x, std::uint16_t* bits, std::size_t n);

/// `x` rounded to the nearest bfloat16 value (ties to even), carried as a float. bfloat16 shares
/// binary32's exponent range, so rounding the upper half of the bits is the whole conversion.
inline float round_to_bf16(float x) {
  std::uint32_t u = std::bit_cast<std::uint32_t>(x);
  if ((u & 0x7fffffffu) > 0x7f800000u) return std::bit_cast<float>((u | 0x00400000u) & 0xffff0000u);
  u += 0x7fffu + ((u >> 16) & 1u);
  return std::bit_cast<float>(u & 0xffff0000u);
}

/// A double rounded once to a binary format of `precision` significand bits whose smallest normal
/// number is 2^min_exp and largest finite value is `max`; beyond it the result is an infinity.
double round_to_format(double x, int precision, int min_exp, double max);

/// The largest finite binary16 and bfloat16 values.
inline constexpr double kF16Max = 65504.0;
inline constexpr double kBF16Max = 0x1.fep127;

double round_double_to_f16(double x);
double round_double_to_bf16(double x);

/// The integer's magnitude rounded to 53 bits by rounding to odd: the double then carries enough
/// to round correctly, once, to any format of at most 51 significand bits.
double odd_rounded(std::uint64_t magnitude);

/// An integer as a double, rounded to odd (see `odd_rounded`), sign included.
template <class I>
double odd_rounded_value(I v) {
  if constexpr (sizeof(I) < 8) {
    return static_cast<double>(v);
  } else if (v < 0) {
    return -odd_rounded(std::uint64_t{0} - static_cast<std::uint64_t>(v));
  } else {
    return odd_rounded(static_cast<std::uint64_t>(v));
  }
}

}  // namespace tarvelon::eval
