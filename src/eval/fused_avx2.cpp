// The arithmetic trees of the AVX2 unit, compiled with AVX2 (and F16C) enabled and called only
// on CPUs that have it; apart from the unit's elementary functions, so that no product and sum
// here are ever fused.
#include <immintrin.h>

#include <cstdint>

#include "eval/float_format.h"
#include "eval/fused.h"
#include "eval/fused_impl.h"

namespace tarvelon::eval::detail {

namespace {

/// Float lanes rounded to the nearest f16 (ties to even) and back, by the conversion
/// instructions the block rounding of f16 uses, so the bits are the same. Only reached on CPUs
/// with F16C.
struct Avx2ToF16 {
  template <class V>
  static V apply(V x) {
    __m256 v;
    __builtin_memcpy(&v, &x, sizeof v);
    v = _mm256_cvtph_ps(_mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
    __builtin_memcpy(&x, &v, sizeof v);
    return x;
  }
  /// Eight halves at `p`, widened exactly.
  template <class V>
  static V load_half(const std::uint16_t* p) {
    const __m256 v = _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    V x;
    __builtin_memcpy(&x, &v, sizeof v);
    return x;
  }
  /// Eight float lanes narrowed to halves at `p`; lanes already f16 values narrow exactly.
  template <class V>
  static void store_half(std::uint16_t* p, V x) {
    __m256 v;
    __builtin_memcpy(&v, &x, sizeof v);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
  }
};

}  // namespace

FusedFn avx2_fused_fn(TreeElement e) {
  // Without F16C an f16 tree would round lane by lane in software: single instructions over
  // blocks serve better.
  if ((e == TreeElement::F16 || e == TreeElement::F16Stored) && !has_f16c()) return nullptr;
  return fused_kernel_of<32, 4, Avx2ToF16>(e);
}

}  // namespace tarvelon::eval::detail
