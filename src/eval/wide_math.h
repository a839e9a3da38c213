#pragma once
// The float builtins' block kernels built for instruction sets beyond the baseline. Each
// instruction set's unit is compiled for that set alone and is called only once the CPU has
// been found to support it.

#include "eval/kernels.h"

namespace tarvelon::eval::detail {

/// The block kernel of builtin `b` over f32 (`single`) or f64 registers, for AVX2 with FMA and
/// for AVX-512F; null where that form stays with the baseline kernel. Only call one of these
/// after checking the CPU (see `wide_builtin_fn`).
OpFn avx2_builtin_fn(vocab::Builtin b, bool single);
OpFn avx512_builtin_fn(vocab::Builtin b, bool single);
/// The block kernel of x * b(x), each element the product of its value and the builtin's, rounded
/// once, for the builtins the above give a kernel; null for the others.
OpFn avx2_builtin_times_fn(vocab::Builtin b, bool single);
OpFn avx512_builtin_times_fn(vocab::Builtin b, bool single);
/// `+ - * /` of f32 or f64 blocks, likewise; null for the other operators.
OpFn avx2_arith_fn(vocab::BinaryOp op, bool single);
OpFn avx512_arith_fn(vocab::BinaryOp op, bool single);

/// The widest vector unit the running CPU (and its operating system) offers the evaluator,
/// checked once.
enum class CpuVectors : unsigned char { Baseline, Avx2, Avx512 };
CpuVectors cpu_vectors();
/// The widest unit the environment variable TARVELON_CPU lets the evaluator use, read once:
/// "baseline" keeps every kernel on baseline x86-64 code (no AVX2, AVX-512 or F16C), "avx2"
/// stops below AVX-512, and any other value or none leaves the choice to the CPU.
CpuVectors cpu_vectors_allowed();

/// The kernel of the widest unit in `cpu_vectors()`, or null where the baseline one serves.
OpFn wide_builtin_fn(vocab::Builtin b, bool single);
OpFn wide_builtin_times_fn(vocab::Builtin b, bool single);
OpFn wide_arith_fn(vocab::BinaryOp op, bool single);
/// The baseline kernel of an f32 or f64 builtin, whatever the CPU; what the wide ones must agree
/// with.
OpFn baseline_builtin_fn(vocab::Builtin b, bool single);

}  // namespace tarvelon::eval::detail
