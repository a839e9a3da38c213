// Compiled with AVX-512F enabled; called only on CPUs that have it.
#include <immintrin.h>
#include <sleef.h>

#include "eval/wide_math_impl.h"
#include "eval/wide_select_impl.h"

namespace tarvelon::eval::detail {

namespace {

/// The conversions and the maximum use the zero-masked forms of their instructions (all lanes
/// kept): the unmasked ones trip a false uninitialized-value warning in the compiler's headers.
struct Avx512Math {
  static constexpr std::size_t kLanes = 8;
  using D = __m512d;
  using F = __m256;
  using I = __m512i;
  /// Floats to doubles exactly, and doubles to the nearest floats, one instruction each.
  static D widen(F x) { return _mm512_maskz_cvtps_pd(0xff, x); }
  static F narrow(D x) { return _mm512_maskz_cvtpd_ps(0xff, x); }
  /// The larger of `floor` and x, and x itself where it is a NaN (the instruction returns its
  /// second operand when either is one).
  static D at_least(D floor, D x) { return _mm512_maskz_max_pd(0xff, floor, x); }
  static D exp(D x) { return Sleef_expd8_u10avx512f(x); }
  static D log(D x) { return Sleef_logd8_u10avx512f(x); }
  static D sin(D x) { return Sleef_sind8_u10avx512f(x); }
  static D cos(D x) { return Sleef_cosd8_u10avx512f(x); }
  static D tanh(D x) { return Sleef_tanhd8_u10avx512f(x); }
  static D fma(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
  /// Single-precision forms, each within 1.0 ulp of the exact function.
  using FW = __m512;
  static FW expf(FW x) { return Sleef_expf16_u10avx512f(x); }
  static FW logf(FW x) { return Sleef_logf16_u10avx512f(x); }
  static FW sinf(FW x) { return Sleef_sinf16_u10avx512f(x); }
  static FW cosf(FW x) { return Sleef_cosf16_u10avx512f(x); }
};

/// A vector of bool bytes widened to lane masks, and lane masks narrowed to bytes (the zero-masked
/// narrowing of ones writes 1 where the mask is set and 0 elsewhere), with AVX-512F alone.
struct Avx512SelectF32 {
  static constexpr std::size_t kLanes = 16;
  template <int Predicate>
  static void compare(std::byte* dst, const float* a, const float* b) {
    const __mmask16 m = _mm512_cmp_ps_mask(_mm512_loadu_ps(a), _mm512_loadu_ps(b), Predicate);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                     _mm512_maskz_cvtepi32_epi8(m, _mm512_set1_epi32(1)));
  }
  static void select(float* dst, const std::byte* c, const float* a, const float* b) {
    const __m512i bytes =
        _mm512_maskz_cvtepu8_epi32(0xffff, _mm_loadu_si128(reinterpret_cast<const __m128i*>(c)));
    const __mmask16 m = _mm512_test_epi32_mask(bytes, bytes);
    _mm512_storeu_ps(dst, _mm512_mask_blend_ps(m, _mm512_loadu_ps(b), _mm512_loadu_ps(a)));
  }
};
struct Avx512SelectF64 {
  static constexpr std::size_t kLanes = 8;
  template <int Predicate>
  static void compare(std::byte* dst, const double* a, const double* b) {
    const __mmask8 m = _mm512_cmp_pd_mask(_mm512_loadu_pd(a), _mm512_loadu_pd(b), Predicate);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst),
                     _mm512_maskz_cvtepi64_epi8(m, _mm512_set1_epi64(1)));
  }
  static void select(double* dst, const std::byte* c, const double* a, const double* b) {
    const __m512i bytes =
        _mm512_maskz_cvtepu8_epi64(0xff, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(c)));
    const __mmask8 m = _mm512_test_epi64_mask(bytes, bytes);
    _mm512_storeu_pd(dst, _mm512_mask_blend_pd(m, _mm512_loadu_pd(b), _mm512_loadu_pd(a)));
  }
};

}  // namespace

OpFn avx512_builtin_fn(vocab::Builtin b, bool single) {
  return WideKernels<Avx512Math>::lookup(b, single);
}

OpFn avx512_arith_fn(vocab::BinaryOp op, bool single) {
  return WideKernels<Avx512Math>::arith_lookup(op, single);
}

OpFn avx512_compare_fn(vocab::BinaryOp op, bool single) {
  return wide_compare_of<Avx512SelectF32, Avx512SelectF64>(op, single);
}

OpFn avx512_select_fn(bool single) {
  return wide_select_of<Avx512SelectF32, Avx512SelectF64>(single);
}

}  // namespace tarvelon::eval::detail
