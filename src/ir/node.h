#pragma once

#include <cstdint>
#include <type_traits>
#include <variant>
#include <vector>

#include "support/inline_vector.h"
#include "vocab/dtype.h"
#include "vocab/ops.h"

namespace tarvelon::ir {

/// Index into `TypedDag::nodes` and the parallel `TypedDag::dtypes`.
using NodeId = std::uint32_t;

struct ComplexValue {
  double re = 0.0;
  double im = 0.0;
  friend bool operator==(const ComplexValue&, const ComplexValue&) = default;
};

/// A constant's value. Its kind does not fix the node's dtype: the DAG's `dtypes` entry does.
using Literal = std::variant<bool, std::int64_t, double, ComplexValue>;

namespace node {
struct Param {
  std::uint32_t index;
  friend bool operator==(const Param&, const Param&) = default;
};
struct Const {
  Literal value;
  friend bool operator==(const Const&, const Const&) = default;
};
struct Unary {
  NodeId arg;
  vocab::UnaryOp op;
  friend bool operator==(const Unary&, const Unary&) = default;
};
struct Binary {
  NodeId lhs;
  NodeId rhs;
  vocab::BinaryOp op;
  friend bool operator==(const Binary&, const Binary&) = default;
};
struct If {
  NodeId cond;
  NodeId then_branch;
  NodeId else_branch;
  friend bool operator==(const If&, const If&) = default;
};
/// The arguments of a call. Every builtin takes one, so the list is kept inside the node and a
/// call costs no allocation; a longer list, which only a malformed DAG has, goes to the heap.
using CallArgs = support::InlineVector<NodeId, 2>;

struct Call {
  CallArgs args;
  vocab::Builtin builtin;
  friend bool operator==(const Call&, const Call&) = default;
};
struct Cast {
  vocab::DType to;
  NodeId arg;
  /// Written in the source as `expr@dtype`, as opposed to inserted by promotion.
  bool explicit_ = false;
  friend bool operator==(const Cast&, const Cast&) = default;
};
}  // namespace node

/// One operation of the typed DAG.
using Node = std::variant<node::Param, node::Const, node::Unary, node::Binary, node::If, node::Call,
                          node::Cast>;

namespace detail {
template <class N, class F>
void for_each_operand(N& n, F&& visit) {
  std::visit(
      [&](auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, node::Unary> || std::is_same_v<T, node::Cast>) {
          visit(x.arg);
        } else if constexpr (std::is_same_v<T, node::Binary>) {
          visit(x.lhs);
          visit(x.rhs);
        } else if constexpr (std::is_same_v<T, node::If>) {
          visit(x.cond);
          visit(x.then_branch);
          visit(x.else_branch);
        } else if constexpr (std::is_same_v<T, node::Call>) {
          for (auto& a : x.args) visit(a);
        }
      },
      n);
}
}  // namespace detail

/// Calls `visit(child)` for each operand of `n`, in order.
template <class F>
void for_each_operand(const Node& n, F&& visit) {
  detail::for_each_operand(n, visit);
}

/// Calls `visit(child)` with a reference to each operand of `n`, in order, so it can be replaced.
template <class F>
void for_each_operand(Node& n, F&& visit) {
  detail::for_each_operand(n, visit);
}

}  // namespace tarvelon::ir
