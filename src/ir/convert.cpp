#include "ir/convert.h"

#include <cmath>
#include <limits>
#include <type_traits>

namespace tarvelon::ir {

using vocab::DType;
using vocab::DTypeKind;

std::int64_t saturate_to_i64(double x) {
  using Limits = std::numeric_limits<std::int64_t>;
  if (std::isnan(x)) return 0;
  // -2^63 is exact in a double and 2^63 is the first value past the maximum.
  if (x >= 0x1p63) return Limits::max();
  if (x <= -0x1p63) return Limits::min();
  return static_cast<std::int64_t>(x);
}

std::optional<double> real_value(const Literal& value) {
  return std::visit(
      [](const auto& v) -> std::optional<double> {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, ComplexValue>) {
          return std::nullopt;
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? 1.0 : 0.0;
        } else {
          return static_cast<double>(v);
        }
      },
      value);
}

std::optional<Literal> convert_literal(const Literal& value, DType to) {
  if (const auto* b = std::get_if<bool>(&value); b && to.kind == DTypeKind::Bool) return *b;
  if (const auto* c = std::get_if<ComplexValue>(&value)) {
    if (to.kind == DTypeKind::Complex) return *c;
    return std::nullopt;
  }
  const double real = *real_value(value);
  switch (to.kind) {
    case DTypeKind::Bool:
      return std::nullopt;
    case DTypeKind::UInt:
    case DTypeKind::Int:
      return saturate_to_i64(real);
    case DTypeKind::Float:
      return real;
    case DTypeKind::Complex:
      return ComplexValue{real, 0.0};
  }
  return std::nullopt;
}

}  // namespace tarvelon::ir
