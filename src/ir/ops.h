#pragma once

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
