#include "opt/typed_ops.h"

#include <array>
#include <cstdint>

namespace tarvelon::opt {

namespace {

enum class Role : std::uint8_t { None, Unary, Binary, Call };

/// The typed-DAG operator a variant stands for: its role and its index in that role's enum.
struct Counterpart {
  Role role;
  std::uint8_t index;
};

#define TARVELON_COUNTERPART_Leaf(ir_name) \
  { Role::None, 0 }
#define TARVELON_COUNTERPART_Special(ir_name) \
  { Role::None, 0 }
#define TARVELON_COUNTERPART_Unary(ir_name) \
  { Role::Unary, static_cast<std::uint8_t>(ir::UnaryOp::ir_name) }
#define TARVELON_COUNTERPART_Binary(ir_name) \
  { Role::Binary, static_cast<std::uint8_t>(ir::BinaryOp::ir_name) }
#define TARVELON_COUNTERPART_Call(ir_name) \
  { Role::Call, static_cast<std::uint8_t>(ir::Builtin::ir_name) }

constexpr Counterpart kCounterparts[] = {
#define TARVELON_MATH_OP(name, text, arity, weight, role, ir_name) \
  TARVELON_COUNTERPART_##role(ir_name),
#include "opt/math_ops.def"
#undef TARVELON_MATH_OP
};
static_assert(std::size(kCounterparts) == kMathOpCount);

/// The reverse direction for one role: typed-DAG index -> variant.
constexpr std::array<MathOp, 256> reverse(Role role) {
  std::array<MathOp, 256> out{};
  for (std::size_t i = 0; i < kMathOpCount; ++i) {
    if (kCounterparts[i].role == role) out[kCounterparts[i].index] = static_cast<MathOp>(i);
  }
  return out;
}

constexpr auto kFromUnary = reverse(Role::Unary);
constexpr auto kFromBinary = reverse(Role::Binary);
constexpr auto kFromCall = reverse(Role::Call);

template <class T>
std::optional<T> counterpart(MathOp op, Role role) {
  const Counterpart& c = kCounterparts[static_cast<std::size_t>(op)];
  if (c.role != role) return std::nullopt;
  return static_cast<T>(c.index);
}

}  // namespace

MathOp math_op_of(ir::UnaryOp op) { return kFromUnary[static_cast<std::size_t>(op)]; }
MathOp math_op_of(ir::BinaryOp op) { return kFromBinary[static_cast<std::size_t>(op)]; }
MathOp math_op_of(ir::Builtin builtin) { return kFromCall[static_cast<std::size_t>(builtin)]; }

std::optional<ir::UnaryOp> unary_op_of(MathOp op) {
  return counterpart<ir::UnaryOp>(op, Role::Unary);
}
std::optional<ir::BinaryOp> binary_op_of(MathOp op) {
  return counterpart<ir::BinaryOp>(op, Role::Binary);
}
std::optional<ir::Builtin> builtin_of(MathOp op) {
  return counterpart<ir::Builtin>(op, Role::Call);
}

}  // namespace tarvelon::opt
