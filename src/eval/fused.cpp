#include "eval/fused.h"

#include "eval/fused_impl.h"
#include "eval/wide_math.h"

namespace tarvelon::eval::detail {

FusedFn baseline_fused_fn(TreeElement e) { return fused_kernel_of<16, 4>(e); }

namespace {

/// The kernel of elements `e` on the widest unit the CPU offers; null where that unit has none
/// (the baseline rounds no vector to f16).
FusedFn widest_fused_fn(TreeElement e) {
  switch (cpu_vectors()) {
    case CpuVectors::Avx512:
      return avx512_fused_fn(e);
    case CpuVectors::Avx2:
      return avx2_fused_fn(e);
    case CpuVectors::Baseline:
      break;
  }
  return baseline_fused_fn(e);
}

}  // namespace

FusedFn fused_stored_fn(vocab::DType d) {
  const bool f16 = d.kind == vocab::DTypeKind::Float && d.bits == 16 && !d.is_bf16();
  return f16 ? widest_fused_fn(TreeElement::F16Stored) : nullptr;
}

FusedFn fused_fn(vocab::DType d) {
  TreeElement e;
  if (d == vocab::dtypes::kF32) {
    e = TreeElement::F32;
  } else if (d == vocab::dtypes::kF64) {
    e = TreeElement::F64;
  } else if (d.is_integer() && d.bits == 32) {
    e = TreeElement::U32;
  } else if (d.is_bf16()) {
    e = TreeElement::BF16;
  } else if (d.kind == vocab::DTypeKind::Float && d.bits == 16) {
    e = TreeElement::F16;
  } else {
    return nullptr;
  }
  return widest_fused_fn(e);
}

}  // namespace tarvelon::eval::detail
