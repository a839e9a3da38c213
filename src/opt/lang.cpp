#include "opt/lang.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "egraph/hash.h"
#include "egraph/text.h"
#include "support/internal_fault.h"
#include "support/number_text.h"

namespace tarvelon::opt {

namespace {

struct OpInfo {
  std::string_view name;
  std::string_view text;
  std::uint8_t arity;
};

constexpr OpInfo kOps[] = {
#define TARVELON_MATH_OP(name, text, arity, weight, role, ir_name) {#name, text, arity},
#include "opt/math_ops.def"
#undef TARVELON_MATH_OP
};
static_assert(std::size(kOps) == kMathOpCount);

const OpInfo& info(MathOp op) { return kOps[static_cast<std::size_t>(op)]; }

bool equals_ignoring_case(std::string_view text, std::string_view word) {
  return std::equal(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
  });
}

/// A signed 64-bit decimal integer, optionally with a leading "+" or "-".
std::optional<std::int64_t> read_int(std::string_view text) {
  // One sign at most: "+" is stripped here, "-" is read with the digits.
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (text.empty() || text.front() == '-') return std::nullopt;
  }
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

/// A float in the usual decimal syntax: optional sign, digits with an optional point (digits on
/// at least one side), an optional exponent; or inf, infinity, nan in any case. Overflow gives
/// infinity.
std::optional<double> read_float(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  double value = 0.0;
  if (equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity")) {
    value = std::numeric_limits<double>::infinity();
  } else if (equals_ignoring_case(text, "nan")) {
    value = std::numeric_limits<double>::quiet_NaN();
  } else {
    // Give the mantissa digits on both sides of its point, the form the decimal reader takes.
    std::size_t exponent = std::min(text.find_first_of("eE"), text.size());
    std::string_view mantissa = text.substr(0, exponent);
    std::size_t point = mantissa.find('.');
    std::string normal;
    if (point == std::string_view::npos) {
      normal = text;
    } else {
      std::string_view whole = mantissa.substr(0, point);
      std::string_view fraction = mantissa.substr(point + 1);
      if (whole.empty() && fraction.empty()) return std::nullopt;
      normal = egraph::cat(whole.empty() ? "0" : whole, ".", fraction.empty() ? "0" : fraction,
                           text.substr(exponent));
    }
    if (!support::parse_decimal(normal, value)) return std::nullopt;
  }
  return negative ? -value : value;
}

void append_payload(std::string& out, const MathLang& node) {
  switch (node.op()) {
    case MathOp::Bool:
      out += node.bool_value() ? "true" : "false";
      return;
    case MathOp::Int:
      support::append_int(out, node.int_value());
      return;
    case MathOp::Num: {
      // A float that prints like an integer gets a fraction, so that the text reads back as a
      // float rather than an integer.
      std::size_t start = out.size();
      support::append_double(out, node.num_value());
      if (out.find_first_not_of("-0123456789", start) == std::string::npos) out += ".0";
      return;
    }
    case MathOp::TypeToken:
      out += node.symbol().as_str();
      return;
    default:
      return;
  }
}

}  // namespace

std::string_view math_op_name(MathOp op) { return info(op).name; }
std::string_view math_op_text(MathOp op) { return info(op).text; }
MathLang::MathLang(MathOp op, std::span<const Id> children) : op_(op) {
  if (math_op_is_leaf(op) || children.size() != math_op_arity(op)) {
    support::internal_fault(
        egraph::cat("MathLang ", math_op_name(op), " cannot take ", children.size(), " children"));
  }
  std::copy(children.begin(), children.end(), slots_.begin());
}

MathLang MathLang::boolean(bool value) {
  MathLang node;
  node.op_ = MathOp::Bool;
  node.slots_[0] = value ? 1 : 0;
  return node;
}

namespace {
template <class T>
std::array<Id, 3> payload_slots(T value) {
  auto halves = std::bit_cast<std::array<Id, 2>>(value);
  return {halves[0], halves[1], 0};
}
}  // namespace

MathLang MathLang::integer(std::int64_t value) {
  MathLang node;
  node.op_ = MathOp::Int;
  node.slots_ = payload_slots(value);
  return node;
}

MathLang MathLang::num(double value) {
  MathLang node;
  node.op_ = MathOp::Num;
  node.slots_ = payload_slots(value);
  return node;
}

MathLang MathLang::type_token(egraph::GlobalSymbol symbol) {
  MathLang node;
  node.op_ = MathOp::TypeToken;
  node.slots_[0] = symbol.handle();
  return node;
}

std::expected<MathLang, egraph::FromOpError> MathLang::from_op(std::string_view op,
                                                               std::span<const Id> children) {
  if (children.empty()) {
    if (op == "false" || op == "true") return boolean(op == "true");
    if (auto value = read_int(op)) return integer(*value);
    if (auto value = read_float(op)) return num(*value);
  }
  for (std::size_t i = 0; i < kMathOpCount; ++i) {
    const OpInfo& candidate = kOps[i];
    if (!candidate.text.empty() && candidate.text == op && candidate.arity == children.size()) {
      return MathLang(static_cast<MathOp>(i), children);
    }
  }
  if (children.empty()) return type_token(egraph::GlobalSymbol(op));
  return std::unexpected(egraph::FromOpError{std::string(op), {children.begin(), children.end()}});
}

std::string MathLang::op_text() const {
  if (!math_op_is_leaf(op_)) return std::string(math_op_text(op_));
  std::string out;
  append_payload(out, *this);
  return out;
}

std::string debug_text(const MathLang& node) {
  std::string out(math_op_name(node.op()));
  out += '(';
  if (math_op_is_leaf(node.op())) {
    append_payload(out, node);
  } else {
    out += '[';
    egraph::append_joined(out, node.children(), ", ",
                          [](std::string& o, Id id) { egraph::append_text(o, id); });
    out += ']';
  }
  out += ')';
  return out;
}

}  // namespace tarvelon::opt
