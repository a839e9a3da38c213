// Builders for syntax trees, so lowering can be tested without the parser.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parse/ast.h"

namespace tarvelon::testing {

using parse::SpannedExpr;
using Span = diag::Span;
namespace ex = parse::expr;

inline SpannedExpr b(bool v, Span s = {}) { return {ex::BoolLit{v}, s}; }
inline SpannedExpr i(std::int64_t v, Span s = {}, std::optional<vocab::DType> d = {}) {
  return {ex::IntLit{v, d}, s};
}
inline SpannedExpr f(double v, Span s = {}, std::optional<vocab::DType> d = {}) {
  return {ex::FloatLit{v, d}, s};
}
inline SpannedExpr c(double re, double im, Span s = {}, std::optional<vocab::DType> d = {}) {
  return {ex::ComplexLit{re, im, d}, s};
}
inline SpannedExpr v(std::string_view name, Span s = {}) { return {ex::Var{parse::Name(name)}, s}; }
inline SpannedExpr e_const(Span s = {}) { return {ex::ConstE{}, s}; }
inline SpannedExpr pi(Span s = {}) { return {ex::ConstPi{}, s}; }
inline SpannedExpr un(vocab::UnaryOp op, SpannedExpr a, Span s = {}) {
  return {ex::Unary{op, parse::box(std::move(a))}, s};
}
inline SpannedExpr bin(vocab::BinaryOp op, SpannedExpr l, SpannedExpr r, Span s = {}) {
  return {ex::Binary{op, parse::box(std::move(l)), parse::box(std::move(r))}, s};
}
inline SpannedExpr iff(SpannedExpr cond, SpannedExpr a, SpannedExpr e, Span s = {}) {
  return {ex::If{parse::box(std::move(cond)), parse::box(std::move(a)), parse::box(std::move(e))},
          s};
}
inline SpannedExpr cast(SpannedExpr a, vocab::DType d, Span s = {}) {
  return {ex::Cast{d, parse::box(std::move(a))}, s};
}
inline SpannedExpr let(std::string_view name, SpannedExpr value, SpannedExpr body) {
  return {ex::Let{parse::Name(name), parse::box(std::move(value)), parse::box(std::move(body))},
          Span{}};
}
template <class... A>
parse::BoxList list(A&&... a) {
  std::vector<parse::ExprBox> out;
  (out.push_back(parse::box(std::forward<A>(a))), ...);
  return parse::BoxList(std::move(out));
}
template <class... A>
SpannedExpr call(std::string_view name, Span s, A&&... args) {
  return {ex::Call{parse::Name(name), list(std::forward<A>(args)...)}, s};
}
template <class... A>
SpannedExpr tuple(Span s, A&&... elems) {
  return {ex::Tuple{list(std::forward<A>(elems)...)}, s};
}

inline parse::FuncDef fn(std::vector<parse::FuncParam> params, SpannedExpr body) {
  return parse::FuncDef{std::move(params), std::move(body)};
}

}  // namespace tarvelon::testing
