#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarvelon::ir {

enum class UnaryOp : std::uint8_t {
#define TARVELON_UNARY_OP(name, text) name,
#include "ir/ops.def"
#undef TARVELON_UNARY_OP
};

enum class BinaryOp : std::uint8_t {
#define TARVELON_BINARY_OP(name, text) name,
#include "ir/ops.def"
#undef TARVELON_BINARY_OP
};

enum class Builtin : std::uint8_t {
#define TARVELON_BUILTIN(name, source, callable) name,
#include "ir/ops.def"
#undef TARVELON_BUILTIN
};

inline constexpr std::size_t kBinaryOpCount = 0
#define TARVELON_BINARY_OP(name, text) +1
#include "ir/ops.def"
#undef TARVELON_BINARY_OP
    ;

inline constexpr std::size_t kBuiltinCount = 0
#define TARVELON_BUILTIN(name, source, callable) +1
#include "ir/ops.def"
#undef TARVELON_BUILTIN
    ;

/// Whether `table`, one entry per member of a catalogue, lists the members in catalogue order,
/// so that it can be indexed by the enumeration's value.
template <class Entry, std::size_t N, class Enum>
constexpr bool in_catalogue_order(const Entry (&table)[N], Enum Entry::*key) {
  for (std::size_t i = 0; i < N; ++i) {
    if (static_cast<std::size_t>(table[i].*key) != i) return false;
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

}  // namespace tarvelon::ir
