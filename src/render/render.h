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

}  // namespace tarvelon::render
