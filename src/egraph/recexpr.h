#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "egraph/flat_map.h"
#include "egraph/hash.h"
#include "egraph/id.h"
#include "egraph/language.h"
#include "egraph/sexp.h"
#include "egraph/var.h"
#include "support/cancel.h"
#include "support/internal_fault.h"
#include "support/stack_guard.h"
#include "support/unicode.h"

namespace tarvelon::egraph {

/// Why a pattern entry's text was refused.
struct ENodeOrVarParseError {
  struct BadVar {
    VarParseError error;
    friend bool operator==(const BadVar&, const BadVar&) = default;
  };
  /// A variable written with children.
  struct UnexpectedVar {
    std::string op;
    friend bool operator==(const UnexpectedVar&, const UnexpectedVar&) = default;
  };
  struct BadOp {
    FromOpError error;
    friend bool operator==(const BadOp&, const BadOp&) = default;
  };
  std::variant<BadVar, UnexpectedVar, BadOp> value;
  friend bool operator==(const ENodeOrVarParseError&, const ENodeOrVarParseError&) = default;
};

std::string to_string(const ENodeOrVarParseError& error);

/// Why a text could not be read as an expression or pattern.
struct RecExprParseError {
  /// An empty text or an empty list.
  struct EmptySexp {};
  /// A list whose first element is itself a list; carries that element.
  struct HeadList {
    Sexp list;
  };
  struct BadOp {
    ENodeOrVarParseError error;
  };
  struct BadSexp {
    SexpError error;
  };
  std::variant<EmptySexp, HeadList, BadOp, BadSexp> value;
};

std::string to_string(const RecExprParseError& error);

/// A flat term: every child id is the index of an earlier entry, so entries come in post-order
/// and the last entry is the root.
template <HasChildren N>
class RecExpr {
 public:
  RecExpr() = default;

  /// Appends `node`, whose children must be indices of entries already present.
  Id add(N node) {
    for (Id child : node.children()) {
      if (child >= nodes_.size()) {
        support::internal_fault(cat("child ", child,
                                    " is not an earlier entry of an expression of ", nodes_.size(),
                                    " entries"));
      }
    }
    nodes_.push_back(std::move(node));
    return static_cast<Id>(nodes_.size() - 1);
  }

  /// Makes room for `n` entries in all.
  void reserve(std::size_t n) { nodes_.reserve(n); }

  std::size_t size() const { return nodes_.size(); }
  bool empty() const { return nodes_.empty(); }
  const N& operator[](Id id) const {
    if (id >= nodes_.size()) [[unlikely]]
      index_out_of_bounds(nodes_.size(), id);
    return nodes_[id];
  }
  std::span<const N> nodes() const { return nodes_; }
  auto begin() const { return nodes_.begin(); }
  auto end() const { return nodes_.end(); }
  /// The last entry; the expression must not be empty.
  const N& root() const {
    if (nodes_.empty()) support::internal_fault("an empty expression has no root");
    return nodes_.back();
  }

  /// Reads an s-expression text; see `parse_recexpr`.
  static std::expected<RecExpr, RecExprParseError> from_str(std::string_view text);

  friend bool operator==(const RecExpr&, const RecExpr&) = default;

 private:
  std::vector<N> nodes_;
};

namespace detail {

inline ENodeOrVarParseError as_op_error(FromOpError error) {
  return {ENodeOrVarParseError::BadOp{std::move(error)}};
}
inline ENodeOrVarParseError as_op_error(ENodeOrVarParseError error) { return error; }

template <class N>
std::expected<Id, RecExprParseError> convert_sexp(Sexp& sexp, RecExpr<N>& out) {
  switch (sexp.kind()) {
    case Sexp::Kind::Empty:
      return std::unexpected(RecExprParseError{RecExprParseError::EmptySexp{}});
    case Sexp::Kind::Atom: {
      auto node = N::from_op(sexp.text(), std::span<const Id>());
      if (!node)
        return std::unexpected(
            RecExprParseError{RecExprParseError::BadOp{as_op_error(std::move(node.error()))}});
      return out.add(std::move(*node));
    }
    case Sexp::Kind::List:
      break;
  }
  std::vector<Sexp>& items = sexp.items();
  if (items.empty()) return std::unexpected(RecExprParseError{RecExprParseError::EmptySexp{}});
  if (items.front().kind() == Sexp::Kind::List) {
    return std::unexpected(
        RecExprParseError{RecExprParseError::HeadList{std::move(items.front())}});
  }
  std::vector<Id> children;
  children.reserve(items.size() - 1);
  for (std::size_t i = 1; i < items.size(); ++i) {
    auto child = support::with_stack_guard([&] { return convert_sexp(items[i], out); });
    if (!child) return child;
    children.push_back(*child);
  }
  auto node = N::from_op(items.front().text(), children);
  if (!node)
    return std::unexpected(
        RecExprParseError{RecExprParseError::BadOp{as_op_error(std::move(node.error()))}});
  return out.add(std::move(*node));
}

}  // namespace detail

/// Reads `text` (trimmed of surrounding white space) as an s-expression and converts it into
/// entries with `N::from_op`, arguments before their operator.
template <class N>
std::expected<RecExpr<N>, RecExprParseError> parse_recexpr(std::string_view text) {
  auto sexp = parse_str(support::trim_white_space(text));
  if (!sexp)
    return std::unexpected(RecExprParseError{RecExprParseError::BadSexp{std::move(sexp.error())}});
  RecExpr<N> out;
  if (auto root = detail::convert_sexp(*sexp, out); !root)
    return std::unexpected(std::move(root.error()));
  return out;
}

template <HasChildren N>
std::expected<RecExpr<N>, RecExprParseError> RecExpr<N>::from_str(std::string_view text) {
  return parse_recexpr<N>(text);
}

/// An insertion-ordered set of nodes: the first insertion of a value fixes its position.
template <class N>
class NodeSet {
 public:
  Id insert(const N& node) {
    auto [position, inserted] = positions_.try_emplace(node, static_cast<Id>(expr_.size()));
    if (inserted) expr_.add(node);
    return *position;
  }
  /// Makes room for `n` nodes.
  void reserve(std::size_t n) {
    positions_.reserve(n);
    expr_.reserve(n);
  }
  /// Appends `node` even if an equal node is present.
  Id push(const N& node) { return expr_.add(node); }
  RecExpr<N> take() { return std::move(expr_); }

 private:
  FlatHashMap<N, Id, MemberHash> positions_;
  RecExpr<N> expr_;
};

/// `expr` with equal entries stored once, children renumbered accordingly; first occurrences
/// keep their relative order.
template <class N>
RecExpr<N> compact(const RecExpr<N>& expr) {
  std::vector<Id> position(expr.size());
  NodeSet<N> set;
  for (std::size_t i = 0; i < expr.size(); ++i) {
    position[i] = set.insert(
        map_children(expr[static_cast<Id>(i)], [&](Id child) { return position[child]; }));
  }
  return set.take();
}

/// The term below `root`, whose children are ids that `fetch(id)` turns into nodes of the same
/// kind. Children are expanded last-first, equal sub-terms are shared, and `root` is appended
/// last even when an equal entry exists.
template <class N, class Fetch>
RecExpr<N> build_recexpr(const N& root, Fetch&& fetch) {
  FlatHashMap<Id, Id, IdHash> index_of;
  NodeSet<N> set;
  // Room for a small kernel's term, so that building it grows nothing.
  constexpr std::size_t kFirstRoom = 16;
  set.reserve(kFirstRoom);
  std::vector<Id> stack;
  stack.reserve(kFirstRoom);
  stack.assign(root.children().begin(), root.children().end());
  while (!stack.empty()) {
    support::poll_cancel();
    Id id = stack.back();
    if (index_of.find(id) != nullptr) {
      stack.pop_back();
      continue;
    }
    N node = fetch(id);
    bool pushed = false;
    for (Id child : node.children()) {
      if (index_of.find(child) == nullptr) {
        stack.push_back(child);
        pushed = true;
      }
    }
    if (pushed) continue;
    update_children(node, [&](Id child) { return *index_of.find(child); });
    index_of.try_emplace(id, set.insert(node));
    stack.pop_back();
  }
  set.push(map_children(root, [&](Id child) { return *index_of.find(child); }));
  return set.take();
}

/// Entries that can write their operator: language nodes and pattern entries.
template <class N>
concept PrintableNode = HasChildren<N> && requires(const N& node) {
  { node.op_text() } -> std::convertible_to<std::string>;
};

namespace detail {

template <PrintableNode N>
void write_term(std::string& out, const RecExpr<N>& expr, Id id) {
  const N& node = expr[id];
  if (is_leaf(node)) {
    out += node.op_text();
    return;
  }
  out += '(';
  out += node.op_text();
  for (Id child : node.children()) {
    out += ' ';
    support::with_stack_guard([&] { write_term(out, expr, child); });
  }
  out += ')';
}

}  // namespace detail

/// The expression as an s-expression text, such as "(+ a (* b c))".
template <PrintableNode N>
std::string to_string(const RecExpr<N>& expr) {
  std::string out;
  if (!expr.empty()) detail::write_term(out, expr, static_cast<Id>(expr.size() - 1));
  return out;
}

}  // namespace tarvelon::egraph
