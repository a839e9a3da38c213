#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ir/dag.h"
#include "vocab/dtype.h"

namespace tarvelon::eval {

namespace detail {
struct FusedStep;
using OpFn = void (*)(std::byte* dst, const std::byte* a, const std::byte* b, const std::byte* c,
                      std::size_t n);
}  // namespace detail

/// Why a kernel cannot be evaluated typed, e.g. "cannot evaluate `<` on c64".
struct EvalError {
  std::string message;
  friend bool operator==(const EvalError&, const EvalError&) = default;
};

/// How a value of each dtype is stored at the evaluator's boundary (inputs and outputs): bool one
/// byte 0/1; integers their native width, little-endian two's complement; f16 as IEEE binary16
/// bits; bf16 as a float32 (an input holds any float, which the evaluator rounds to bf16; an
/// output holds an exact bf16 value); f32; f64; c64 as two f32 (real, imag); c128 as two f64.
std::size_t storage_size(vocab::DType d);

/// Elements computed per instruction: every register is one block of this many values. Blocks
/// of 1024 f32 elements made trees in cache a fifth faster, but f32 swish and f16 a * b + c at
/// 10^7 elements far slower (0.75 ns an element against 0.41, 1.0 against 0.6), and blocks of
/// 512 no better there.
inline constexpr std::size_t kBlock = 256;

/// A kernel compiled to a register program over blocks of elements. Immutable once built: one
/// Program may be run by many threads at once, each with its own Workspace.
class Program {
 public:
  struct Instr;

  /// Compiles a lowered or optimized DAG. A kernel with an operation that has no typed meaning
  /// (complex `<` `<=` `>` `>=` `%`, `relu`/`floor`/`ceil` of a complex) gives an EvalError
  /// naming the operation and the dtype.
  static std::expected<Program, EvalError> build(const ir::TypedDag& dag);

  Program(Program&&) noexcept;
  Program& operator=(Program&&) noexcept;
  ~Program();

  /// In parameter order.
  std::span<const vocab::DType> params() const { return params_; }
  /// One, or several for a tuple kernel.
  std::span<const vocab::DType> results() const { return results_; }
  /// Registers the program needs: its working memory is this many blocks.
  std::size_t register_count() const { return registers_; }
  /// Constant blocks the program keeps: one for each distinct constant (in the dtype it is read
  /// in) that an instruction reads, up to a fixed quota.
  std::size_t constant_blocks() const;

  /// Per-call working memory (the block registers); one per thread, reusable across calls and
  /// across programs (it grows to the largest program it has run).
  class Workspace {
   public:
    Workspace() = default;

   private:
    friend class Program;
    std::vector<std::byte> bytes_;
    std::vector<const std::byte*> views_;
    /// Per instruction, for the current run: whether it reads or writes in place.
    std::vector<std::uint8_t> direct_;
  };
  /// A workspace sized for this program; may throw std::bad_alloc.
  Workspace make_workspace() const;

  /// A strided run of values in storage layout; a stride of 0 repeats one value for every element.
  struct In {
    const std::byte* data;
    std::ptrdiff_t stride;
  };
  struct Out {
    std::byte* data;
    std::ptrdiff_t stride;
  };
  /// Computes n elements: inputs in parameter order, each in its parameter's storage; outputs in
  /// result order, each in its result's storage. An output may alias an input exactly (same data
  /// and stride). Nothing at the value level fails and it does not throw (a workspace too small
  /// for the program is grown, which may throw std::bad_alloc). `in` and `out` must have
  /// params().size() and results().size() entries.
  ///
  /// With `stream`, the whole cache lines of a single contiguous result are written past the
  /// caches, unless the kernel calls an elementary function: meant for a result far larger than the
  /// last-level cache, whose lines the processor would otherwise read before writing them. The
  /// values are the same either way.
  void run(std::span<const In> in, std::span<const Out> out, std::size_t n, Workspace& ws,
           bool stream = false) const;

 private:
  Program();

  std::vector<vocab::DType> params_;
  std::vector<vocab::DType> results_;
  std::vector<Instr> code_;
  /// Constant blocks, each a register's worth of bytes filled with one value.
  std::vector<std::byte> constants_;
  /// Constants beyond the blocks, one element each, filled into a register where used.
  std::vector<std::byte> scalars_;
  /// The operand blocks and the steps of the arithmetic trees, each tree a range of both.
  std::vector<std::uint32_t> tree_operands_;
  std::vector<detail::FusedStep> tree_steps_;
  /// The block kernels the trees call, each a builtin's over one operand.
  std::vector<detail::OpFn> tree_calls_;
  std::size_t registers_ = 0;
  /// The storage size of a single result of a kernel that calls no elementary function; else 0
  /// (never streamed).
  std::uint32_t stream_size_ = 0;
  /// Whether that result's storage is its register layout, which then streams straight from
  /// its register; any other is first stored into a block on the stack.
  bool stream_held_ = false;
};

}  // namespace tarvelon::eval
