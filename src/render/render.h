#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "ir/dag.h"

namespace tarvelon::render {

/// The longest expression text the renderer builds: 64 MiB. A shared node is written out at
/// every use, so a few dozen lines can describe an expression of terabytes.
inline constexpr std::uint64_t kMaxRenderedBytes = std::uint64_t{64} << 20;

/// An expression whose text would be longer than the limit. Nothing was built.
struct RenderTooLarge {
  /// The length of the text, in bytes; UINT64_MAX stands for that many or more.
  std::uint64_t size = 0;
  std::uint64_t limit = 0;
  friend bool operator==(const RenderTooLarge&, const RenderTooLarge&) = default;
};

/// The value of node `root` as one infix expression in the kernel language's notation, with
/// the parentheses its precedence rules need: a shared node is written out in full at every
/// use, parameters appear by their source names ("arg{k}" for an index outside `params`), and
/// casts inserted by promotion are invisible. Explicit casts show as `expr@dtype` when
/// `show_casts` is set. Outer parentheses and blanks around the whole text are dropped.
///
/// Time and memory are linear in the DAG plus the length of the text. A text longer than
/// `limit` bytes is refused before any of it is built. A node id outside the DAG, or a node that
/// depends on itself, is an internal fault.
std::expected<std::string, RenderTooLarge> render_simplified_expr(
    const ir::TypedDag& dag, ir::NodeId root, bool show_casts,
    std::uint64_t limit = kMaxRenderedBytes);

/// The value of node `root` as source text that reads back as the same computation: the
/// kernel's parameters with this text as their result line compile without errors to a result
/// of the same dtype, computing the same values. Every constant carries its dtype as a suffix
/// (`2.0@bf16`, `0.5j@c64`, `1.0@c128 + 2.0j@c128`; infinity as `1e999@f64`, NaN as infinity
/// minus infinity), every cast is shown, a node whose dtype its operands would not give back is
/// cast to it, and fused builtins are written as the calls they fuse; the whole text is cast to
/// `result` when the root has another dtype. Bounds and costs as for `render_simplified_expr`.
std::expected<std::string, RenderTooLarge> render_exact_expr(
    const ir::TypedDag& dag, ir::NodeId root, vocab::DType result,
    std::uint64_t limit = kMaxRenderedBytes);

}  // namespace tarvelon::render
