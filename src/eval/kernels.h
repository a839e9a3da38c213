#pragma once
// Block kernels of the evaluator: each computes one instruction over a block of elements.

#include <cstddef>

#include "ir/node.h"
#include "vocab/dtype.h"
#include "vocab/ops.h"

namespace tarvelon::eval::detail {

/// The most elements an instruction computes at once (the program's block).
inline constexpr std::size_t kMaxBlock = 256;

/// Computes `n` elements of `dst` from up to three operand blocks (unused ones are null). Every
/// kernel reads an element's operands before writing it, so `dst` may be one of the operands.
using OpFn = void (*)(std::byte* dst, const std::byte* a, const std::byte* b, const std::byte* c,
                      std::size_t n);
/// Reads `n` strided values in storage layout into a block.
using LoadFn = void (*)(std::byte* dst, const std::byte* src, std::ptrdiff_t stride, std::size_t n);
/// Writes `n` values of a block to strided storage.
using StoreFn = void (*)(std::byte* dst, std::ptrdiff_t stride, const std::byte* src,
                         std::size_t n);

/// Bytes a register element of `d` takes.
std::size_t element_size(vocab::DType d);

/// Each gives null where the operation has no meaning for the dtype. Comparisons take the
/// operands' dtype and write bool.
OpFn neg_fn(vocab::DType d);
OpFn not_fn();
OpFn binary_fn(vocab::BinaryOp op, vocab::DType operands);
/// Builtins of floats and complex values, and the integer and bool forms of abs, relu, floor
/// and ceil; the other builtins of integers are composed from casts by the caller.
OpFn builtin_fn(vocab::Builtin b, vocab::DType d);
OpFn cast_fn(vocab::DType from, vocab::DType to);
/// `dst = a ? b : c`, `a` a bool block.
OpFn select_fn(vocab::DType d);
LoadFn load_fn(vocab::DType d);
StoreFn store_fn(vocab::DType d);

/// Fills `count` elements of a block of dtype `d` with the literal converted by the cast rules.
void fill_constant(const ir::Literal& value, vocab::DType d, std::byte* block, std::size_t count);

}  // namespace tarvelon::eval::detail
