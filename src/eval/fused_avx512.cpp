// The arithmetic trees of the AVX-512 unit, compiled with AVX-512F enabled and called only on
// CPUs that have it; apart from the unit's elementary functions, so that no product and sum
// here are ever fused.
#include <immintrin.h>

#include <cstdint>

#include "eval/fused.h"
#include "eval/fused_impl.h"

namespace tarvelon::eval::detail {

namespace {

/// Float lanes rounded to the nearest f16 (ties to even) and back, by the conversion
/// instructions the block rounding of f16 uses, so the bits are the same.
struct Avx512ToF16 {
  template <class V>
  static V apply(V x) {
    __m512 v;
    __builtin_memcpy(&v, &x, sizeof v);
    v = _mm512_maskz_cvtph_ps(0xffff, _mm512_maskz_cvtps_ph(0xffff, v, _MM_FROUND_TO_NEAREST_INT));
    __builtin_memcpy(&x, &v, sizeof v);
    return x;
  }
  /// Sixteen halves at `p`, widened exactly.
  template <class V>
  static V load_half(const std::uint16_t* p) {
    const __m512 v =
        _mm512_maskz_cvtph_ps(0xffff, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    V x;
    __builtin_memcpy(&x, &v, sizeof v);
    return x;
  }
  /// Sixteen float lanes narrowed to halves at `p`; lanes already f16 values narrow exactly.
  template <class V>
  static void store_half(std::uint16_t* p, V x) {
    __m512 v;
    __builtin_memcpy(&v, &x, sizeof v);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p),
                        _mm512_maskz_cvtps_ph(0xffff, v, _MM_FROUND_TO_NEAREST_INT));
  }
};

}  // namespace

FusedFn avx512_fused_fn(TreeElement e) { return fused_kernel_of<64, 8, Avx512ToF16>(e); }

}  // namespace tarvelon::eval::detail
