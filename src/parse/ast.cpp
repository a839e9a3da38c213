#include "parse/ast.h"

#include "support/stack_guard.h"

namespace tarvelon::parse {

Spanned<Expr>::~Spanned() {
  // Move the children into a temporary that dies inside the guard: the recursive teardown of
  // the subtree then runs with enough stack, and what remains in `value` is empty.
  support::with_stack_guard([this] { Expr doomed = std::move(value); });
}

}  // namespace tarvelon::parse
