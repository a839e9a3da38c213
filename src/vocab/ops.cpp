#include "vocab/ops.h"

#include <array>

namespace tarvelon::vocab {

namespace {

constexpr std::string_view kUnaryText[] = {
#define TARVELON_UNARY_OP(name, text) text,
#include "vocab/ops.def"
#undef TARVELON_UNARY_OP
};

constexpr std::string_view kBinaryText[] = {
#define TARVELON_BINARY_OP(name, text) text,
#include "vocab/ops.def"
#undef TARVELON_BINARY_OP
};

struct BuiltinInfo {
  std::string_view name;
  bool callable;
};

constexpr BuiltinInfo kBuiltins[] = {
#define TARVELON_BUILTIN(name, source, callable) {source, callable},
#include "vocab/ops.def"
#undef TARVELON_BUILTIN
};

}  // namespace

std::string_view op_text(UnaryOp op) { return kUnaryText[static_cast<std::size_t>(op)]; }
std::string_view op_text(BinaryOp op) { return kBinaryText[static_cast<std::size_t>(op)]; }
std::string_view builtin_name(Builtin b) { return kBuiltins[static_cast<std::size_t>(b)].name; }
bool builtin_callable(Builtin b) { return kBuiltins[static_cast<std::size_t>(b)].callable; }

std::optional<Builtin> builtin_from_str(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kBuiltins); ++i) {
    if (kBuiltins[i].name == name) return static_cast<Builtin>(i);
  }
  return std::nullopt;
}

}  // namespace tarvelon::vocab
