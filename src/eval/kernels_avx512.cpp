// Compiled with AVX-512F enabled; called only on CPUs that have it.
#include <immintrin.h>
#include <sleef.h>

#include "eval/wide_math_impl.h"
#include "eval/wide_select_impl.h"

namespace tarvelon::eval::detail {

namespace {

/// Single precision over 16 floats; a 16-entry table is one permutation of one register. The
/// clamps, the scaling and the lookup use the zero-masked forms of their instructions, as below.
struct Avx512Floats {
  using F = __m512;
  using FI = int __attribute__((vector_size(64)));
  using FU = unsigned __attribute__((vector_size(64)));
  static F fma(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }
  static F fnma(F a, F b, F c) { return _mm512_fnmadd_ps(a, b, c); }
  /// The instructions return their second operand when either is a NaN, so x's NaN stays.
  static F at_least(F floor, F x) { return _mm512_maskz_max_ps(0xffff, floor, x); }
  static F at_most(F ceiling, F x) { return _mm512_maskz_min_ps(0xffff, ceiling, x); }
  static F table16(const float (&t)[16], FI i) {
    return _mm512_maskz_permutexvar_ps(0xffff, (__m512i)i, _mm512_loadu_ps(t));
  }
  /// The exponential's table for sigmoid: 16 entries, indexed by the low four bits of `m`.
  static constexpr int kExpTableSize = 16;
  static F lookup(const float (&t)[16], F m) { return table16(t, (FI)m); }
  /// 32 entries from two registers, indexed by the low five bits of `m`.
  static F lookup32(const float (&t)[32], F m) {
    return _mm512_maskz_permutex2var_ps(0xffff, _mm512_loadu_ps(t), (__m512i)m,
                                        _mm512_loadu_ps(t + 16));
  }
  /// The pieces of tanh and exp_sigmoid: 32 slots, one lookup of two registers.
  static constexpr int kPieceSlots = 32;
  static constexpr int kTanhSlots = 32;
  static F lookup_slot(const float (&t)[32], FI i) { return lookup32(t, (F)i); }
  /// 2^floor(e), and v 2^floor(e) rounded once: one instruction each.
  static F exp2_floor(F e) { return scale_floor(F{} + 1.0f, e); }
  static F scale_floor(F v, F e) { return _mm512_maskz_scalef_ps(0xffff, v, e); }
  /// 1 / v within 2^-14 relative.
  static F reciprocal(F v) { return _mm512_maskz_rcp14_ps(0xffff, v); }
  /// `y`, with `g(x)` in the lanes where x < `bound`; g runs only when some lane needs it.
  template <class G>
  static F where_below(F x, float bound, F y, G g) {
    const __mmask16 below = _mm512_cmp_ps_mask(x, F{} + bound, _CMP_LT_OQ);
    return below == 0 ? y : _mm512_mask_mov_ps(y, below, g(x));
  }
  /// e^x within 1 ulp.
  static F exp(F x) { return Sleef_expf16_u10avx512f(x); }
};

/// The maximum uses the zero-masked form of its instruction (all lanes kept): the unmasked one
/// trips a false uninitialized-value warning in the compiler's headers.
struct Avx512Math {
  static constexpr std::size_t kLanes = 8;
  using D = __m512d;
  using I = __m512i;
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
  using Floats = Avx512Floats;
  static FW expf(FW x) { return Sleef_expf16_u10avx512f(x); }
  static FW logf(FW x) { return Sleef_logf16_u10avx512f(x); }
  static FW sinf(FW x) { return Sleef_sinf16_u10avx512f(x); }
  static FW cosf(FW x) { return Sleef_cosf16_u10avx512f(x); }
  static constexpr std::size_t kSingleUnroll = 1;
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

OpFn avx512_builtin_times_fn(vocab::Builtin b, bool single) {
  return WideKernels<Avx512Math>::times_lookup(b, single);
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
