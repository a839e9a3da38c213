#include "eval/fused.h"

#include "eval/fused_impl.h"
#include "eval/wide_math.h"

namespace tarvelon::eval::detail {

FusedFn baseline_fused_fn(bool single) { return fused_kernel_of<16, 4>(single); }

FusedFn fused_fn(vocab::DType d) {
  if (d != vocab::dtypes::kF32 && d != vocab::dtypes::kF64) return nullptr;
  const bool single = d == vocab::dtypes::kF32;
  switch (cpu_vectors()) {
    case CpuVectors::Avx512:
      return avx512_fused_fn(single);
    case CpuVectors::Avx2:
      return avx2_fused_fn(single);
    case CpuVectors::Baseline:
      break;
  }
  return baseline_fused_fn(single);
}

}  // namespace tarvelon::eval::detail
