// Compiled with AVX2 and FMA enabled; called only on CPUs that have both.
#include <immintrin.h>
#include <sleef.h>

#include "eval/wide_math_impl.h"
#include "eval/wide_select_impl.h"

namespace tarvelon::eval::detail {

namespace {

/// Single precision over 8 floats: a lookup in 8 entries is one permutation; in 16 or 32, one
/// per 8 entries and blends by the index's higher bits.
struct Avx2Floats {
  using F = __m256;
  using FI = int __attribute__((vector_size(32)));
  using FU = unsigned __attribute__((vector_size(32)));
  static F fma(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
  static F fnma(F a, F b, F c) { return _mm256_fnmadd_ps(a, b, c); }
  /// The instructions return their second operand when either is a NaN, so x's NaN stays.
  static F at_least(F floor, F x) { return _mm256_max_ps(floor, x); }
  static F at_most(F ceiling, F x) { return _mm256_min_ps(ceiling, x); }
  static F table16(const float (&t)[16], FI i) {
    const F low = _mm256_permutevar8x32_ps(_mm256_loadu_ps(t), (__m256i)i);
    const F high = _mm256_permutevar8x32_ps(_mm256_loadu_ps(t + 8), (__m256i)i);
    return _mm256_blendv_ps(low, high, (F)(i << 28));
  }
  /// The exponential's table for sigmoid: 8 entries, one permutation, indexed by the low three
  /// bits of `m`; sigmoid builds its power of two from `m`'s bits (`sigmoid_narrow`).
  static constexpr int kExpTableSize = 8;
  static F lookup(const float (&t)[8], F m) {
    return _mm256_permutevar8x32_ps(_mm256_loadu_ps(t), (__m256i)m);
  }
  /// exp_sigmoid's pieces: 16 slots, two permutations and a blend.
  static constexpr int kPieceSlots = 16;
  static F lookup_slot(const float (&t)[16], FI i) { return table16(t, i); }
  /// tanh's pieces: 8 slots, one permutation (`lookup`); tanh reads an exponential beyond them.
  static constexpr int kTanhSlots = 8;
  /// 32 entries, indexed by the low five bits of `m`: four permutations and three blends.
  static F lookup32(const float (&t)[32], F m) {
    const __m256i i = (__m256i)m;
    const auto quarter = [&](int q) {
      return _mm256_permutevar8x32_ps(_mm256_loadu_ps(t + 8 * q), i);
    };
    const F bit3 = (F)((FI)m << 28), bit4 = (F)((FI)m << 27);
    const F low = _mm256_blendv_ps(quarter(0), quarter(1), bit3);
    const F high = _mm256_blendv_ps(quarter(2), quarter(3), bit3);
    return _mm256_blendv_ps(low, high, bit4);
  }
  template <class G>
  static F where_below(F x, float bound, F y, G g) {
    const F below = _mm256_cmp_ps(x, F{} + bound, _CMP_LT_OQ);
    return _mm256_movemask_ps(below) == 0 ? y : _mm256_blendv_ps(y, g(x), below);
  }
  static F exp(F x) { return Sleef_expf8_u10avx2(x); }
  /// 1 / v within 1.5 2^-12 relative: sigmoid corrects it to second order.
  static F reciprocal(F v) { return _mm256_rcp_ps(v); }
};

struct Avx2Math {
  static constexpr std::size_t kLanes = 4;
  using D = __m256d;
  using I = __m256i;
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
  using Floats = Avx2Floats;
  static FW expf(FW x) { return Sleef_expf8_u10avx2(x); }
  static FW logf(FW x) { return Sleef_logf8_u10avx2(x); }
  static FW sinf(FW x) { return Sleef_sinf8_u10avx2(x); }
  static FW cosf(FW x) { return Sleef_cosf8_u10avx2(x); }
  /// Vectors of floats a block kernel computes side by side: the composites' chains of dependent
  /// steps (60 cycles for sigmoid) outlast what the scheduler holds of one vector, and with four
  /// in flight, interleaved by the compiler's scheduler (see CMakeLists.txt), x * sigmoid(x) takes
  /// 0.83 of the time and tanh 0.85.
  static constexpr std::size_t kSingleUnroll = 4;
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

OpFn avx2_builtin_times_fn(vocab::Builtin b, bool single) {
  return WideKernels<Avx2Math>::times_lookup(b, single);
}

OpFn avx2_arith_fn(vocab::BinaryOp op, bool single) {
  return WideKernels<Avx2Math>::arith_lookup(op, single);
}

OpFn avx2_compare_fn(vocab::BinaryOp op, bool single) {
  return wide_compare_of<Avx2SelectF32, Avx2SelectF64>(op, single);
}

OpFn avx2_select_fn(bool single) { return wide_select_of<Avx2SelectF32, Avx2SelectF64>(single); }

}  // namespace tarvelon::eval::detail
