#pragma once
// Comparisons and selects of f32 and f64 blocks for the units beyond the baseline: the pieces of
// clamps, ReLU-like branches and every `if` over floats.

#include "eval/kernels.h"

namespace tarvelon::eval::detail {

/// `== != < <= > >=` of two f32 (`single`) or f64 blocks into a bool block (bytes 0 and 1), for
/// AVX2 and AVX-512F; null for the other operators. Only call these after checking the CPU.
OpFn avx2_compare_fn(vocab::BinaryOp op, bool single);
OpFn avx512_compare_fn(vocab::BinaryOp op, bool single);
/// `dst = a ? b : c` of f32 or f64 blocks, `a` a bool block, likewise.
OpFn avx2_select_fn(bool single);
OpFn avx512_select_fn(bool single);

/// The kernel of the widest unit the CPU offers, or null where the baseline one serves.
OpFn wide_compare_fn(vocab::BinaryOp op, bool single);
OpFn wide_select_fn(bool single);

}  // namespace tarvelon::eval::detail
