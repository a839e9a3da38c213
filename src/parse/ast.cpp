#include "parse/ast.h"

#include "support/stack_guard.h"

namespace tarvelon::parse {

Spanned<Expr>::~Spanned() {
  // With room to spare the members are destroyed as usual, each child checking again.
  if (!support::stack_is_low()) [[likely]] return;
  // Otherwise move the children into a temporary that dies on a fresh segment; what remains in
  // `value` is empty.
  support::with_stack_guard([this] { Expr doomed = std::move(value); });
}

}  // namespace tarvelon::parse
