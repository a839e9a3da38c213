// The arithmetic trees of the AVX2 unit, compiled with AVX2 enabled and called only on CPUs that
// have it; apart from the unit's elementary functions, so that no product and sum here are ever
// fused.
#include "eval/fused.h"
#include "eval/fused_impl.h"

namespace tarvelon::eval::detail {

FusedFn avx2_fused_fn(TreeElement e) { return fused_kernel_of<32, 4>(e); }

}  // namespace tarvelon::eval::detail
