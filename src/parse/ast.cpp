#include "parse/ast.h"

#include "support/stack_guard.h"

namespace tarvelon::parse {

namespace {

/// Detaches the body of a `Let`, leaving the node without it; null for any other form.
ExprBox take_let_body(Expr& e) {
  auto* let = std::get_if<expr::Let>(&e);
  return let ? std::move(let->body) : nullptr;
}

}  // namespace

Spanned<Expr>::~Spanned() {
  // A kernel's assignments nest as a chain of `Let`s as long as the kernel itself. Tearing the
  // chain down link by link in this loop keeps its length off the stack.
  for (ExprBox rest = take_let_body(value); rest;) {
    ExprBox next = take_let_body(rest->value);
    rest = std::move(next);
  }
  // With room to spare the members are destroyed as usual, each child checking again.
  if (!support::stack_is_low()) [[likely]] return;
  // Otherwise move the children into a temporary that dies on a fresh segment; what remains in
  // `value` is empty.
  support::with_stack_guard([this] { Expr doomed = std::move(value); });
}

}  // namespace tarvelon::parse
