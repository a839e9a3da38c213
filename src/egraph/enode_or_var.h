#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "egraph/hash.h"
#include "egraph/language.h"
#include "egraph/recexpr.h"
#include "egraph/var.h"

namespace tarvelon::egraph {

/// A language node whose children are earlier entries of the same list, or a leaf of another
/// kind (a pattern variable, a machine register). The leaf type provides `hash()`.
template <Language L, class Leaf>
class NodeOr {
 public:
  NodeOr() = default;
  NodeOr(L node) : value_(std::move(node)) {}
  NodeOr(Leaf leaf) : value_(std::move(leaf)) {}

  bool is_node() const { return std::holds_alternative<L>(value_); }
  const L& node() const { return std::get<L>(value_); }
  const Leaf& leaf() const { return std::get<Leaf>(value_); }

  std::span<const Id> children() const {
    const L* node = std::get_if<L>(&value_);
    return node == nullptr ? std::span<const Id>() : node->children();
  }
  std::span<Id> children_mut() {
    L* node = std::get_if<L>(&value_);
    return node == nullptr ? std::span<Id>() : node->children_mut();
  }
  std::uint64_t hash() const {
    const L* node = std::get_if<L>(&value_);
    return node == nullptr ? hash_finish(hash_combine(leaf().hash(), 1)) : node->hash();
  }
  friend bool operator==(const NodeOr&, const NodeOr&) = default;

 private:
  std::variant<L, Leaf> value_;
};

/// One entry of a pattern: a language node or a variable.
template <Language L>
class ENodeOrVar : public NodeOr<L, Var> {
 public:
  using NodeOr<L, Var>::NodeOr;

  /// A text of two or more characters starting with "?" is a variable (and may have no
  /// children); anything else goes to the language.
  static std::expected<ENodeOrVar, ENodeOrVarParseError> from_op(std::string_view op,
                                                                 std::span<const Id> children) {
    if (op.size() > 1 && op.front() == '?') {
      if (!children.empty())
        return std::unexpected(
            ENodeOrVarParseError{ENodeOrVarParseError::UnexpectedVar{std::string(op)}});
      auto var = Var::from_str(op);
      if (!var)
        return std::unexpected(ENodeOrVarParseError{ENodeOrVarParseError::BadVar{var.error()}});
      return ENodeOrVar(*var);
    }
    auto node = L::from_op(op, children);
    if (!node)
      return std::unexpected(
          ENodeOrVarParseError{ENodeOrVarParseError::BadOp{std::move(node.error())}});
    return ENodeOrVar(std::move(*node));
  }

  bool is_var() const { return !this->is_node(); }
  const Var& var() const { return this->leaf(); }
  std::string op_text() const { return is_var() ? cat(var()) : this->node().op_text(); }
};

/// A pattern's entries, compacted so that equal sub-patterns are one entry; the last is the root.
template <Language L>
using PatternAst = RecExpr<ENodeOrVar<L>>;

}  // namespace tarvelon::egraph
