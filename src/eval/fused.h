#pragma once
// Arithmetic trees in one instruction: a connected run of `+ - * /` and negation of one float or
// integer dtype computed vector by vector, its intermediate values held in vector registers instead
// of each going through a block.

#include <cstddef>
#include <cstdint>

#include "vocab/dtype.h"

namespace tarvelon::eval::detail {

/// The most distinct operand blocks (registers, inputs read in place, constants) one tree reads.
inline constexpr std::size_t kMaxFusedOperands = 16;
/// The most steps one tree takes; a longer run is split into several trees.
inline constexpr std::size_t kMaxFusedSteps = 48;
/// Values a tree keeps aside while it computes another operand of the same operator.
inline constexpr std::size_t kFusedSlots = 2;

/// Where an operator's other operand comes from, the accumulator being one side: an operand
/// block, a slot, one element of an operand read for every lane (a constant the program keeps
/// as one element), or an operand block of f16 storage widened as it is read.
enum class FusedSource : std::uint8_t { Leaf, Slot0, Slot1, Scalar, Half };
inline constexpr std::size_t kFusedSources = 5;
/// The arithmetic operators, in the order of the kernels' step codes.
enum class FusedOp : std::uint8_t { Add, Sub, Mul, Div };
inline constexpr std::size_t kFusedOps = 4;

/// One step of a tree over an accumulator (a few vectors of one dtype):
/// - `Load`: the accumulator is the operand block;
/// - `LoadScalar`: every lane of the accumulator is the operand's one element;
/// - `LoadHalf`: the accumulator is the operand block of f16 storage, widened;
/// - `Negate`: the accumulator changes sign;
/// - `Push0`, `Push1`: slot 0 or 1 keeps the accumulator;
/// - `Fetch0`, `Fetch1`: the accumulator is slot 0 or 1;
/// - `Call`: the accumulator becomes f(accumulator), f the block kernel (an `OpFn` of one
///   operand, computing each element from that element alone) whose address the operand holds;
///   the tile goes through f in a buffer on the stack, so its bits are f's over a block. The
///   slots hold nothing across a call: a value pushed before one is gone after it;
/// - otherwise `code - kFusedFirstOperator` is `(source * 2 + reversed) * kFusedOps + op`: the
///   accumulator becomes `acc op x`, or `x op acc` when reversed, where x is the operand block
///   (a leaf), a slot, the operand's one element or its f16 block. Each operation rounds once to
///   the dtype, as its own instruction would.
struct FusedStep {
  enum Code : std::uint8_t {
    Load,
    Negate,
    Push0,
    Push1,
    LoadScalar,
    Fetch0,
    Fetch1,
    LoadHalf,
    Call
  };
  std::uint8_t code = Load;
  /// Index among the tree's operands, for `Load`, leaf operators and `Call`.
  std::uint8_t operand = 0;
};
inline constexpr std::uint8_t kFusedFirstOperator = 9;
constexpr std::uint8_t fused_operator(FusedOp op, FusedSource source, bool reversed) {
  return static_cast<std::uint8_t>(
      kFusedFirstOperator + (static_cast<unsigned>(source) * 2 + (reversed ? 1 : 0)) * kFusedOps +
      static_cast<unsigned>(op));
}

/// Whether a step reads its operand's block of f16 storage.
constexpr bool reads_half(std::uint8_t code) {
  return code == FusedStep::LoadHalf ||
         code >= fused_operator(FusedOp::Add, FusedSource::Half, false);
}

/// Whether a step reads its operand's block: a load, or an operator whose other side is a leaf.
constexpr bool reads_block(std::uint8_t code) {
  return code == FusedStep::Load || reads_half(code) ||
         (code >= fused_operator(FusedOp::Add, FusedSource::Leaf, false) &&
          code < fused_operator(FusedOp::Add, FusedSource::Slot0, false));
}

/// Computes `n` elements of `dst` by running `count` steps over each vector, then storing the
/// accumulator. `operands` holds `operand_count` blocks of at least `n` elements, or one element
/// for an operand its steps read as a scalar; none of them is `dst`. Nothing past `n` is read or
/// written.
using FusedFn = void (*)(std::byte* dst, const std::byte* const* operands,
                         std::size_t operand_count, const FusedStep* steps, std::size_t count,
                         std::size_t n);

/// The elements a tree kernel computes on: f32, f64, 32-bit integers, whose `+ - *` and negation
/// wrap alike signed or not, so one unsigned kernel serves both, and bf16 and f16 held in
/// floats, each operation rounded to the format (f16 only on the AVX-512 unit and on the AVX2 unit
/// of a CPU with F16C, whose conversion instructions round a vector at once; elsewhere its
/// kernel is null). Trees of 8- and 16-bit
/// integers measured no faster than their single instructions (the AVX-512 unit has no byte or
/// word lanes), and of 64-bit ones slower (no 64-bit lane product). `F16Stored` is the f16 tree
/// that writes its result as f16 storage rather than as floats.
enum class TreeElement : std::uint8_t { F32, F64, U32, BF16, F16, F16Stored };

/// The tree kernel of the widest unit the CPU offers for registers of dtype `d`; null where
/// single instructions serve.
FusedFn fused_fn(vocab::DType d);
/// For f16 registers: the tree kernel that writes its result as f16 storage, on a unit whose f16
/// kernels also read operands of f16 storage (`LoadHalf` and `Half` steps); null elsewhere.
FusedFn fused_stored_fn(vocab::DType d);
/// The kernel of each unit, for a test that compares them; only call the wider ones after
/// checking the CPU.
FusedFn baseline_fused_fn(TreeElement e);
FusedFn avx2_fused_fn(TreeElement e);
FusedFn avx512_fused_fn(TreeElement e);

}  // namespace tarvelon::eval::detail
