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
  { Role::Unary, static_cast<std::uint8_t>(vocab::UnaryOp::ir_name) }
#define TARVELON_COUNTERPART_Binary(ir_name) \
  { Role::Binary, static_cast<std::uint8_t>(vocab::BinaryOp::ir_name) }
#define TARVELON_COUNTERPART_Call(ir_name) \
  { Role::Call, static_cast<std::uint8_t>(vocab::Builtin::ir_name) }

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

MathOp math_op_of(vocab::UnaryOp op) { return kFromUnary[static_cast<std::size_t>(op)]; }
MathOp math_op_of(vocab::BinaryOp op) { return kFromBinary[static_cast<std::size_t>(op)]; }
MathOp math_op_of(vocab::Builtin builtin) { return kFromCall[static_cast<std::size_t>(builtin)]; }

std::optional<vocab::UnaryOp> unary_op_of(MathOp op) {
  return counterpart<vocab::UnaryOp>(op, Role::Unary);
}
std::optional<vocab::BinaryOp> binary_op_of(MathOp op) {
  return counterpart<vocab::BinaryOp>(op, Role::Binary);
}
std::optional<vocab::Builtin> builtin_of(MathOp op) {
  return counterpart<vocab::Builtin>(op, Role::Call);
}

}  // namespace tarvelon::opt
