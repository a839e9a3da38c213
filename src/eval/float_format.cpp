#include "eval/float_format.h"

#include <cpuid.h>
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "eval/wide_math.h"

namespace tarvelon::eval {

std::uint16_t f16_bits_from_float(float x) {
  const std::uint32_t u = std::bit_cast<std::uint32_t>(x);
  const auto sign = static_cast<std::uint16_t>((u >> 16) & 0x8000u);
  const std::uint32_t a = u & 0x7fffffffu;
  if (a > 0x7f800000u) return sign | 0x7e00u | static_cast<std::uint16_t>((a >> 13) & 0x1ffu);
  if (a >= 0x47800000u) return sign | 0x7c00u;  // 65536 and beyond, infinity included
  if (a < 0x38800000u) {
    // Below binary16's smallest normal number: count units of its smallest subnormal, 2^-24.
    // Scaling by 2^24 is exact and the conversion to an integer rounds ties to even.
    const float units = std::nearbyint(std::bit_cast<float>(a) * 0x1p24f);
    return sign | static_cast<std::uint16_t>(units);
  }
  std::uint32_t h = ((a >> 23) - 112u) << 10 | ((a >> 13) & 0x3ffu);
  const std::uint32_t rest = a & 0x1fffu;
  if (rest > 0x1000u || (rest == 0x1000u && (h & 1u))) ++h;  // a carry moves into the exponent
  return sign | static_cast<std::uint16_t>(h);
}

float float_from_f16_bits(std::uint16_t bits) {
  const std::uint32_t sign = static_cast<std::uint32_t>(bits & 0x8000u) << 16;
  const std::uint32_t exponent = (bits >> 10) & 0x1fu;
  const std::uint32_t fraction = bits & 0x3ffu;
  if (exponent == 0) {
    const float magnitude = static_cast<float>(fraction) * 0x1p-24f;
    return sign ? -magnitude : magnitude;
  }
  if (exponent == 0x1f) {
    // A NaN comes back quiet, as the CPU's conversion gives it.
    const std::uint32_t quiet = fraction != 0 ? 0x00400000u : 0u;
    return std::bit_cast<float>(sign | 0x7f800000u | quiet | fraction << 13);
  }
  return std::bit_cast<float>(sign | (exponent + 112u) << 23 | fraction << 13);
}

bool has_f16c() {
  static const bool yes = [] {
    if (detail::cpu_vectors_allowed() == detail::CpuVectors::Baseline) return false;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    if (!(c & bit_F16C) || !(c & bit_AVX) || !(c & bit_OSXSAVE)) return false;
    unsigned lo = 0, hi = 0;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (lo & 6u) == 6u;
  }();
  return yes;
}

namespace {

__attribute__((target("avx,f16c"))) void round_f16c(float* x, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(x + i), _MM_FROUND_TO_NEAREST_INT);
    _mm256_storeu_ps(x + i, _mm256_cvtph_ps(h));
  }
  for (; i < n; ++i) x[i] = round_to_f16(x[i]);
}

__attribute__((target("avx,f16c"))) void from_bits_f16c(const std::uint16_t* bits, float* out,
                                                        std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bits + i));
    _mm256_storeu_ps(out + i, _mm256_cvtph_ps(h));
  }
  for (; i < n; ++i) out[i] = float_from_f16_bits(bits[i]);
}

__attribute__((target("avx,f16c"))) void to_bits_f16c(const float* x, std::uint16_t* bits,
                                                      std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(x + i), _MM_FROUND_TO_NEAREST_INT);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bits + i), h);
  }
  for (; i < n; ++i) bits[i] = f16_bits_from_float(x[i]);
}

}  // namespace

void round_block_to_f16(float* x, std::size_t n) {
  if (has_f16c()) return round_f16c(x, n);
  for (std::size_t i = 0; i < n; ++i) x[i] = round_to_f16(x[i]);
}

void f16_block_from_bits(const std::uint16_t* bits, float* out, std::size_t n) {
  if (has_f16c()) return from_bits_f16c(bits, out, n);
  for (std::size_t i = 0; i < n; ++i) out[i] = float_from_f16_bits(bits[i]);
}

void f16_block_to_bits(const float* x, std::uint16_t* bits, std::size_t n) {
  if (has_f16c()) return to_bits_f16c(x, bits, n);
  for (std::size_t i = 0; i < n; ++i) bits[i] = f16_bits_from_float(x[i]);
}

double round_to_format(double x, int precision, int min_exp, double max) {
  if (!std::isfinite(x) || x == 0.0) return x;
  int e = 0;
  std::frexp(x, &e);
  const int lead = std::max(e - 1, min_exp);
  const double quantum = std::ldexp(1.0, lead - (precision - 1));
  const double r = std::nearbyint(x / quantum) * quantum;
  if (std::fabs(r) > max) return std::copysign(std::numeric_limits<double>::infinity(), x);
  return r;
}

double round_double_to_f16(double x) { return round_to_format(x, 11, -14, kF16Max); }
double round_double_to_bf16(double x) { return round_to_format(x, 8, -126, kBF16Max); }

double odd_rounded(std::uint64_t magnitude) {
  if (magnitude < (std::uint64_t{1} << 53)) return static_cast<double>(magnitude);
  const int shift = 11 - std::countl_zero(magnitude);
  std::uint64_t kept = magnitude >> shift;
  if (magnitude & ((std::uint64_t{1} << shift) - 1)) kept |= 1;
  return std::ldexp(static_cast<double>(kept), shift);
}

}  // namespace tarvelon::eval
