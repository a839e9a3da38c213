// Compiled with AVX2 and FMA enabled; called only on CPUs that have both.
#include <immintrin.h>
#include <sleef.h>

#include "eval/wide_math_impl.h"
#include "eval/wide_select_impl.h"

namespace tarvelon::eval::detail {

namespace {

struct Avx2Math {
  static constexpr std::size_t kLanes = 4;
  using D = __m256d;
  using F = __m128;
  using I = __m256i;
  /// Floats to doubles exactly, and doubles to the nearest floats, one instruction each.
  static D widen(F x) { return _mm256_cvtps_pd(x); }
  static F narrow(D x) { return _mm256_cvtpd_ps(x); }
  /// The larger of `floor` and x, and x itself where it is a NaN (the instruction returns its
  /// second operand when either is one).
  static D at_least(D floor, D x) { return _mm256_max_pd(floor, x); }
  static D exp(D x) { return Sleef_expd4_u10avx2(x); }
  static D log(D x) { return Sleef_logd4_u10avx2(x); }
  static D sin(D x) { return Sleef_sind4_u10avx2(x); }
  static D cos(D x) { return Sleef_cosd4_u10avx2(x); }
  static D tanh(D x) { return Sleef_tanhd4_u10avx2(x); }
  static D fma(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
  /// Single-precision forms, each within 1.0 ulp of the exact function.
  using FW = __m256;
  static FW expf(FW x) { return Sleef_expf8_u10avx2(x); }
  static FW logf(FW x) { return Sleef_logf8_u10avx2(x); }
  static FW sinf(FW x) { return Sleef_sinf8_u10avx2(x); }
  static FW cosf(FW x) { return Sleef_cosf8_u10avx2(x); }
};

/// Lane masks narrowed to bool bytes by packing, and bool bytes widened to lane masks.
struct Avx2SelectF32 {
  static constexpr std::size_t kLanes = 8;
  template <int Predicate>
  static void compare(std::byte* dst, const float* a, const float* b) {
    const __m256i ones = _mm256_and_si256(
        _mm256_castps_si256(_mm256_cmp_ps(_mm256_loadu_ps(a), _mm256_loadu_ps(b), Predicate)),
        _mm256_set1_epi32(1));
    const __m128i words =
        _mm_packs_epi32(_mm256_castsi256_si128(ones), _mm256_extracti128_si256(ones, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_packus_epi16(words, words));
  }
  static void select(float* dst, const std::byte* c, const float* a, const float* b) {
    const __m256i bytes =
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c)));
    const __m256 m = _mm256_castsi256_ps(_mm256_cmpgt_epi32(bytes, _mm256_setzero_si256()));
    _mm256_storeu_ps(dst, _mm256_blendv_ps(_mm256_loadu_ps(b), _mm256_loadu_ps(a), m));
  }
};
struct Avx2SelectF64 {
  static constexpr std::size_t kLanes = 4;
  template <int Predicate>
  static void compare(std::byte* dst, const double* a, const double* b) {
    const int bits =
        _mm256_movemask_pd(_mm256_cmp_pd(_mm256_loadu_pd(a), _mm256_loadu_pd(b), Predicate));
    for (int k = 0; k < 4; ++k) dst[k] = static_cast<std::byte>((bits >> k) & 1);
  }
  static void select(double* dst, const std::byte* c, const double* a, const double* b) {
    int four;
    __builtin_memcpy(&four, c, sizeof four);
    const __m256i bytes = _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(four));
    const __m256d m = _mm256_castsi256_pd(_mm256_cmpgt_epi64(bytes, _mm256_setzero_si256()));
    _mm256_storeu_pd(dst, _mm256_blendv_pd(_mm256_loadu_pd(b), _mm256_loadu_pd(a), m));
  }
};

}  // namespace

OpFn avx2_builtin_fn(vocab::Builtin b, bool single) {
  return WideKernels<Avx2Math>::lookup(b, single);
}

OpFn avx2_arith_fn(vocab::BinaryOp op, bool single) {
  return WideKernels<Avx2Math>::arith_lookup(op, single);
}

OpFn avx2_compare_fn(vocab::BinaryOp op, bool single) {
  return wide_compare_of<Avx2SelectF32, Avx2SelectF64>(op, single);
}

OpFn avx2_select_fn(bool single) { return wide_select_of<Avx2SelectF32, Avx2SelectF64>(single); }

}  // namespace tarvelon::eval::detail
