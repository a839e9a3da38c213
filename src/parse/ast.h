#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "diag/diag.h"
#include "ir/dtype.h"
#include "ir/ops.h"

namespace tarvelon::parse {

using diag::Span;

/// A syntax node with the source range it was parsed from.
template <class T>
struct Spanned {
  T value;
  Span span;
};

struct Expr;
template <>
struct Spanned<Expr>;

/// An owned child expression; the tree has no sharing.
using ExprBox = std::unique_ptr<Spanned<Expr>>;

namespace expr {
struct BoolLit {
  bool value;
};
struct IntLit {
  std::int64_t value;
  std::optional<ir::DType> dtype;  ///< the `@dtype` written directly on the literal
};
struct FloatLit {
  double value;
  std::optional<ir::DType> dtype;
};
struct ComplexLit {
  double re;
  double im;
  std::optional<ir::DType> dtype;
};
struct ConstE {};
struct ConstPi {};
struct Var {
  std::string name;
};
struct Unary {
  ir::UnaryOp op;
  ExprBox operand;
};
struct Binary {
  ir::BinaryOp op;
  ExprBox lhs;
  ExprBox rhs;
};
struct If {
  ExprBox cond;
  ExprBox then_branch;
  ExprBox else_branch;
};
struct Call {
  std::string name;
  std::vector<Spanned<Expr>> args;
};
struct Cast {
  ir::DType dtype;
  ExprBox operand;
};
struct Tuple {
  std::vector<Spanned<Expr>> elements;  ///< two or more
};
/// `name = value` followed by the rest of the kernel, in which `name` is bound.
struct Let {
  std::string name;
  ExprBox value;
  ExprBox body;
};
}  // namespace expr

/// The fourteen expression forms, in their fixed order.
struct Expr : std::variant<expr::BoolLit, expr::IntLit, expr::FloatLit, expr::ComplexLit,
                           expr::ConstE, expr::ConstPi, expr::Var, expr::Unary, expr::Binary,
                           expr::If, expr::Call, expr::Cast, expr::Tuple, expr::Let> {
  using variant::variant;
};

/// An expression node with its span. Tearing one down recurses through the stack guard, so a
/// tree of any depth can be dropped.
template <>
struct Spanned<Expr> {
  Expr value;
  Span span;

  Spanned(Expr v, Span s) : value(std::move(v)), span(s) {}
  /// Builds the node in place from one of the fourteen forms.
  template <class Form>
    requires std::is_constructible_v<Expr, Form&&> && (!std::is_same_v<std::decay_t<Form>, Expr>)
  Spanned(Form&& form, Span s) : value(std::forward<Form>(form)), span(s) {}
  Spanned(Spanned&&) noexcept = default;
  Spanned& operator=(Spanned&&) noexcept = default;
  ~Spanned();
};

using SpannedExpr = Spanned<Expr>;

/// Boxes a node.
inline ExprBox box(SpannedExpr e) { return std::make_unique<SpannedExpr>(std::move(e)); }

struct FuncParam {
  std::string name;
  ir::DType dtype;
  friend bool operator==(const FuncParam&, const FuncParam&) = default;
};

/// A parsed kernel: its parameters in source order and one body in which the assignments are
/// nested `Let`s, the first assignment outermost.
struct FuncDef {
  std::vector<FuncParam> params;
  SpannedExpr body;
};

}  // namespace tarvelon::parse
