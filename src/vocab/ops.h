#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarvelon::vocab {

enum class UnaryOp : std::uint8_t {
#define TARVELON_UNARY_OP(name, text) name,
#include "vocab/ops.def"
#undef TARVELON_UNARY_OP
};

enum class BinaryOp : std::uint8_t {
#define TARVELON_BINARY_OP(name, text) name,
#include "vocab/ops.def"
#undef TARVELON_BINARY_OP
};

enum class Builtin : std::uint8_t {
#define TARVELON_BUILTIN(name, source, callable) name,
#include "vocab/ops.def"
#undef TARVELON_BUILTIN
};

inline constexpr std::size_t kBuiltinCount = 0
#define TARVELON_BUILTIN(name, source, callable) +1
#include "vocab/ops.def"
#undef TARVELON_BUILTIN
    ;

/// Whether a table keyed by builtin (entries with a `builtin` field) has exactly one entry per
/// builtin, in catalogue order, so that it can be indexed by the builtin's number.
template <class Entry, std::size_t N>
constexpr bool in_builtin_order(const Entry (&table)[N]) {
  if (N != kBuiltinCount) return false;
  for (std::size_t i = 0; i < N; ++i) {
    if (static_cast<std::size_t>(table[i].builtin) != i) return false;
  }
  return true;
}

inline constexpr std::size_t kBinaryOpCount = 0
#define TARVELON_BINARY_OP(name, text) +1
#include "vocab/ops.def"
#undef TARVELON_BINARY_OP
    ;

/// Whether a table keyed by binary operator (entries with an `op` field) has exactly one entry
/// per operator, in catalogue order, so that it can be indexed by the operator's number.
template <class Entry, std::size_t N>
constexpr bool in_binary_op_order(const Entry (&table)[N]) {
  if (N != kBinaryOpCount) return false;
  for (std::size_t i = 0; i < N; ++i) {
    if (static_cast<std::size_t>(table[i].op) != i) return false;
  }
  return true;
}

/// "neg" / "not", as diagnostics name the operator.
std::string_view op_text(UnaryOp op);
/// "+", "//", "and", ...: the text used in diagnostics and emitted Python.
std::string_view op_text(BinaryOp op);
/// The builtin's source name ("exp", "sigmoid_log", ...).
std::string_view builtin_name(Builtin b);
/// Whether source code may call the builtin (the fused forms come only from the optimizer).
bool builtin_callable(Builtin b);
/// Exact, case-sensitive match against the fourteen builtin names.
std::optional<Builtin> builtin_from_str(std::string_view name);

}  // namespace tarvelon::vocab
