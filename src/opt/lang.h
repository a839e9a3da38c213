#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "egraph/hash.h"
#include "egraph/id.h"
#include "egraph/language.h"
#include "egraph/symbol.h"
#include "support/ordering.h"

namespace tarvelon::opt {

using egraph::Id;

/// The variants of the optimizer's term language, in catalogue order.
enum class MathOp : std::uint8_t {
#define TARVELON_MATH_OP(name, text, arity, weight, role, ir_name) name,
#include "opt/math_ops.def"
#undef TARVELON_MATH_OP
};

inline constexpr std::size_t kMathOpCount = 39;

namespace detail {
/// Hot per-variant facts, kept here so that child access, comparisons and extraction costs
/// inline.
inline constexpr std::uint8_t kMathOpArity[] = {
#define TARVELON_MATH_OP(name, text, arity, weight, role, ir_name) arity,
#include "opt/math_ops.def"
#undef TARVELON_MATH_OP
};
inline constexpr bool kMathOpIsLeaf[] = {
#define TARVELON_MATH_OP(name, text, arity, weight, role, ir_name) (#role[0] == 'L'),
#include "opt/math_ops.def"
#undef TARVELON_MATH_OP
};
inline constexpr std::uint8_t kMathOpWeight[] = {
#define TARVELON_MATH_OP(name, text, arity, weight, role, ir_name) weight,
#include "opt/math_ops.def"
#undef TARVELON_MATH_OP
};
static_assert(std::size(kMathOpArity) == kMathOpCount);
static_assert(std::size(kMathOpWeight) == kMathOpCount);
}  // namespace detail

/// The variant's name as the catalogue spells it ("Add", "FusedExpSigmoid", ...).
std::string_view math_op_name(MathOp op);
/// The operator text of a variant with children ("+", "ifelse", "exp_sigmoid", ...); empty for
/// the payload leaves, which are written as their value.
std::string_view math_op_text(MathOp op);
/// The fixed number of children of a variant.
constexpr std::size_t math_op_arity(MathOp op) {
  return detail::kMathOpArity[static_cast<std::size_t>(op)];
}
/// Whether the variant is a payload leaf (`Bool`, `Int`, `Num`, `TypeToken`).
constexpr bool math_op_is_leaf(MathOp op) {
  return detail::kMathOpIsLeaf[static_cast<std::size_t>(op)];
}
/// The variant's own extraction weight: 1 for leaves and fused functions, 2 for the rest.
constexpr std::size_t math_op_weight(MathOp op) {
  return detail::kMathOpWeight[static_cast<std::size_t>(op)];
}

/// One node of the optimizer's untyped term language: a variant with either up to three child
/// ids or one payload (a boolean, an i64, an f64 or an interned dtype name). A small value,
/// copied freely.
///
/// A `Num` payload compares with total equality (every NaN equals every NaN, -0.0 equals +0.0)
/// and hashes consistently with it; it keeps its own bits otherwise, so a folded -0.0 comes back
/// out of the optimizer as -0.0.
class MathLang {
 public:
  /// The boolean false, as a placeholder.
  MathLang() = default;
  /// A variant with children; a child count other than the variant's arity is a fault of the
  /// caller (`from_op` checks it first).
  MathLang(MathOp op, std::span<const Id> children);
  MathLang(MathOp op, std::initializer_list<Id> children)
      : MathLang(op, std::span<const Id>(children.begin(), children.size())) {}

  static MathLang boolean(bool value);
  static MathLang integer(std::int64_t value);
  static MathLang num(double value);
  static MathLang type_token(egraph::GlobalSymbol symbol);

  /// Reads a node from its text form: "true"/"false", an i64 decimal, a float, an operator text
  /// with exactly its arity of children, and any other childless word as a type token.
  static std::expected<MathLang, egraph::FromOpError> from_op(std::string_view op,
                                                              std::span<const Id> children);

  MathOp op() const { return op_; }
  bool bool_value() const { return slots_[0] != 0; }
  std::int64_t int_value() const {
    return std::bit_cast<std::int64_t>(std::array<Id, 2>{slots_[0], slots_[1]});
  }
  double num_value() const {
    return std::bit_cast<double>(std::array<Id, 2>{slots_[0], slots_[1]});
  }
  egraph::GlobalSymbol symbol() const { return egraph::GlobalSymbol::from_handle(slots_[0]); }

  std::span<const Id> children() const { return {slots_.data(), math_op_arity(op_)}; }
  std::span<Id> children_mut() { return {slots_.data(), math_op_arity(op_)}; }
  std::uint32_t discriminant() const { return static_cast<std::uint32_t>(op_); }
  /// Same variant and equal payload; children are not compared. Inlined: the matcher asks it of
  /// every node it binds, and the call cost more than the answer.
  [[gnu::always_inline]] bool matches(const MathLang& other) const {
    if (op_ != other.op_) return false;
    if (!math_op_is_leaf(op_)) return true;
    if (op_ == MathOp::Num) return total_equal(num_value(), other.num_value());
    return slots_[0] == other.slots_[0] && slots_[1] == other.slots_[1];
  }
  /// Two words folded before the finish, the variant sharing one with the third slot: the store
  /// hashes every node it adds or re-checks, and no table iterates in hash order.
  std::uint64_t hash() const {
    const std::uint64_t op = static_cast<std::uint64_t>(op_) << 32;
    if (op_ == MathOp::Num)
      return egraph::hash_finish(egraph::hash_combine(op, canonical_bits(num_value())));
    const std::uint64_t low = (static_cast<std::uint64_t>(slots_[1]) << 32) | slots_[0];
    return egraph::hash_finish(egraph::hash_combine(egraph::hash_combine(0, low), op | slots_[2]));
  }
  /// The text form: the operator text, or the payload's value for a leaf.
  std::string op_text() const;

  friend bool operator==(const MathLang& a, const MathLang& b) {
    if (a.op_ != b.op_) return false;
    if (a.op_ == MathOp::Num) return total_equal(a.num_value(), b.num_value());
    return a.slots_[0] == b.slots_[0] && a.slots_[1] == b.slots_[1] && a.slots_[2] == b.slots_[2];
  }
  /// The order of `<=>`, answered without a three-way result for operators with children, the
  /// nodes a rebuild sorts by the thousand: variant, then the children as unsigned ids.
  friend bool operator<(const MathLang& a, const MathLang& b) {
    if (a.op_ != b.op_) return a.op_ < b.op_;
    if (math_op_is_leaf(a.op_)) return (a <=> b) < 0;
    if (a.slots_[0] != b.slots_[0]) return a.slots_[0] < b.slots_[0];
    if (a.slots_[1] != b.slots_[1]) return a.slots_[1] < b.slots_[1];
    return a.slots_[2] < b.slots_[2];
  }
  /// By variant index, then payload (false before true; integers and floats numerically, NaN
  /// above every float; type tokens by symbol id), then children lexicographically.
  friend std::weak_ordering operator<=>(const MathLang& a, const MathLang& b) {
    if (a.op_ != b.op_) return a.op_ <=> b.op_;
    switch (a.op_) {
      case MathOp::Bool:
        return a.bool_value() <=> b.bool_value();
      case MathOp::Int:
        return a.int_value() <=> b.int_value();
      case MathOp::Num:
        return total_order(a.num_value(), b.num_value());
      case MathOp::TypeToken:
        return a.slots_[0] <=> b.slots_[0];
      default:
        return support::lexicographic_order(a.slots_, b.slots_);
    }
  }

 private:
  /// Every NaN as the one quiet NaN and -0.0 as +0.0, so that equal payloads have equal bits.
  static std::uint64_t canonical_bits(double value) {
    if (std::isnan(value)) return 0x7ff8000000000000ULL;
    return std::bit_cast<std::uint64_t>(value + 0.0);
  }
  static bool total_equal(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }
  /// Numeric order with -0.0 equal to +0.0 and NaN above every other value.
  static std::weak_ordering total_order(double a, double b) {
    bool a_nan = std::isnan(a), b_nan = std::isnan(b);
    if (a_nan || b_nan) {
      if (a_nan == b_nan) return std::weak_ordering::equivalent;
      return a_nan ? std::weak_ordering::greater : std::weak_ordering::less;
    }
    if (a < b) return std::weak_ordering::less;
    return a > b ? std::weak_ordering::greater : std::weak_ordering::equivalent;
  }

  MathOp op_ = MathOp::Bool;
  /// The children, or the payload's bits (an i64 or f64 over the first two slots). Unused slots
  /// stay 0, so children compare over the whole array.
  std::array<Id, 3> slots_{};
};

static_assert(egraph::Language<MathLang>);

/// The debug form used in the optimizer's messages: the variant name and, in parentheses, the
/// payload or the bracketed child list, as in "Add([1, 2])", "Int(5)" or "TypeToken(f32)".
std::string debug_text(const MathLang& node);

}  // namespace tarvelon::opt
