#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/id.h"
#include "egraph/text.h"
#include "support/internal_fault.h"

namespace tarvelon::egraph {

/// A language's refusal to build a node: an unknown operator or a wrong number of children.
struct FromOpError {
  std::string op;
  std::vector<Id> children;
  friend bool operator==(const FromOpError&, const FromOpError&) = default;
};

std::string to_string(const FromOpError& error);

/// What the engine needs of a term language. A node is a small value: an operator (variant and
/// payload) with an ordered, fixed-per-operator list of child ids.
///  - `children()` / `children_mut()`: the child ids in order.
///  - `discriminant()`: the operator kind, ignoring payload and children; key of the by-operator
///    index.
///  - `matches(other)`: same operator and payload and number of children, children ignored.
///  - `==`, `hash()`: over operator, payload and children together; `hash()` must be fixed and
///    unseeded so that e-graph iteration is deterministic.
///  - `<=>`: a total order in which the nodes of one discriminant are contiguous.
///  - `from_op(text, children)`: builds a node from its operator text; `op_text()` writes it.
///  - default construction: tables hold placeholder nodes in unused slots.
template <class L>
concept Language = std::copyable<L> && std::default_initializable<L> && std::totally_ordered<L> &&
    requires(const L& node, L& mutable_node, std::string_view op, std::span<const Id> ids) {
  { node.children() } -> std::same_as<std::span<const Id>>;
  { mutable_node.children_mut() } -> std::same_as<std::span<Id>>;
  { node.discriminant() } -> std::same_as<std::uint32_t>;
  { node.matches(node) } -> std::same_as<bool>;
  { node.hash() } -> std::same_as<std::uint64_t>;
  { L::from_op(op, ids) } -> std::same_as<std::expected<L, FromOpError>>;
  { node.op_text() } -> std::convertible_to<std::string>;
};

/// Any value with ordered child ids: language nodes and pattern entries alike.
template <class N>
concept HasChildren = requires(const N& node) {
  { node.children() } -> std::same_as<std::span<const Id>>;
};

template <HasChildren N>
std::size_t num_children(const N& node) {
  return node.children().size();
}

template <HasChildren N>
bool is_leaf(const N& node) {
  return node.children().empty();
}

template <HasChildren N, class F>
void for_each_child(const N& node, F&& f) {
  for (Id child : node.children()) f(child);
}

/// Replaces every child id in place by `f(child)`.
template <class N, class F>
void update_children(N& node, F&& f) {
  for (Id& child : node.children_mut()) child = f(child);
}

/// A copy of `node` with every child id mapped by `f`.
template <class N, class F>
N map_children(N node, F&& f) {
  update_children(node, f);
  return node;
}

template <HasChildren N, class T, class F>
T fold_children(const N& node, T init, F&& f) {
  for (Id child : node.children()) init = f(std::move(init), child);
  return init;
}

template <HasChildren N, class F>
bool all_children(const N& node, F&& f) {
  for (Id child : node.children()) {
    if (!f(child)) return false;
  }
  return true;
}

/// The children of a fixed-arity operator as an array. A list of another length is a fault of
/// the language's `from_op`, which must check arity first.
template <std::size_t N>
std::array<Id, N> children_array(std::span<const Id> ids) {
  if (ids.size() != N) {
    support::internal_fault(cat("expected ", N, " children, got ", ids.size()));
  }
  std::array<Id, N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = ids[i];
  return out;
}

/// The debug form of a node: its operator text, followed by its child ids when it has any, as in
/// "(+ 0 1)" or "x".
template <Language L>
std::string node_text(const L& node) {
  std::string out;
  if (is_leaf(node)) {
    out = node.op_text();
    return out;
  }
  out += '(';
  out += node.op_text();
  for (Id child : node.children()) {
    out += ' ';
    append_text(out, child);
  }
  out += ')';
  return out;
}

/// "[a, (+ 0 1)]": the debug form of a list of nodes.
template <Language L>
std::string nodes_text(std::span<const L> nodes) {
  std::string out = "[";
  append_joined(out, nodes, ", ", [](std::string& o, const L& n) { o += node_text(n); });
  out += ']';
  return out;
}

}  // namespace tarvelon::egraph
