#include "ir/error.h"

#include <initializer_list>
#include <vector>

#include "support/number_text.h"

namespace tarvelon::ir::error {

using diag::DiagKind;
using vocab::DType;

namespace {

/// Fills each "{}" of `pattern` with the next of `args`, by plain substitution.
std::string fill(std::string_view pattern, std::initializer_list<std::string_view> args) {
  std::string out;
  out.reserve(pattern.size() + 16 * args.size());
  auto arg = args.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '{' && i + 1 < pattern.size() && pattern[i + 1] == '}' && arg != args.end()) {
      out += *arg++;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

std::string_view name(DType d) { return d.to_str(); }

}  // namespace

Diag lower_arg_count(std::string_view fn, std::size_t expected, std::size_t got, Span span) {
  return Diag::make(DiagKind::ArgCount,
                    fill("wrong argument count for `{}`: expected {}, got {}",
                         {fn, std::to_string(expected), std::to_string(got)}),
                    span);
}

Diag lower_div_by_zero(std::string_view op, Span span) {
  return Diag::make(DiagKind::DivByZero, fill("division by zero in {}", {op}), span);
}

Diag lower_type_mismatch(std::string_view context, DType left, DType right, Span span) {
  return Diag::make(
      DiagKind::TypeMismatch,
      fill("type mismatch in {}: cannot promote {} and {}", {context, name(left), name(right)}),
      span);
}

Diag lower_int_out_of_range(std::int64_t value, DType dtype, Span span) {
  return Diag::make(
      DiagKind::IntOutOfRange,
      fill("integer literal `{}` is out of range for `{}`", {std::to_string(value), name(dtype)}),
      span);
}

Diag lower_implicit_promotion(std::string_view context, DType left, DType right, DType result,
                              Span span) {
  return Diag::make(DiagKind::ImplicitPromotion,
                    fill("implicit promotion in {}: {} + {} -> {}",
                         {context, name(left), name(right), name(result)}),
                    span, promotion_hint(left, right, result));
}

Diag lower_implicit_promotion_with_operands(std::string_view context, DType left, DType right,
                                            DType result, Span left_span, Span right_span) {
  Diag d =
      lower_implicit_promotion(context, left, right, result, Span{left_span.start, right_span.end});
  d.labels = std::vector<diag::DiagLabel>{
      {left_span, fill("left operand ({})", {name(left)})},
      {right_span, fill("right operand ({})", {name(right)})},
  };
  return d;
}

Diag lower_unsafe_uint_to_sint(std::string_view context, DType left, DType right, DType result,
                               Span span) {
  return Diag::make(DiagKind::UnsafeUintToSint,
                    fill("unsafe promotion in {}: {} and {} promoted to {}",
                         {context, name(left), name(right), name(result)}),
                    span,
                    std::string("u64 values may exceed i64 range; consider casting to f64/c128 or "
                                "constraining the range"));
}

Diag lower_float_precision_loss(DType dtype, double value, Span span) {
  std::optional<std::string> hint;
  if (dtype.bits == 32) hint = "consider f64 for full precision";
  if (dtype.bits == 16) hint = "consider f32 or f64 for full precision";
  return Diag::make(
      DiagKind::FloatPrecisionLoss,
      fill("literal `{}` may lose precision in `{}`", {support::format_double(value), name(dtype)}),
      span, std::move(hint));
}

Diag lower_undefined_variable(std::string_view var, Span span) {
  return Diag::make(DiagKind::UndefinedVariable, fill("undefined variable `{}`", {var}), span);
}

Diag lower_undefined_function(std::string_view fn, Span span) {
  return Diag::make(DiagKind::UnknownFunction, fill("undefined function `{}`", {fn}), span);
}

Diag lower_tuple_in_scalar_position(std::size_t expected, std::size_t got, Span span) {
  return Diag::make(DiagKind::TupleInScalarPosition,
                    fill("expected {} value, but expression produced {}",
                         {std::to_string(expected), std::to_string(got)}),
                    span);
}

Diag lower_redundant_cast(DType inner, DType outer, Span span) {
  return Diag::make(DiagKind::RedundantCast,
                    fill("multiple sequential casts: {} -> {}; consider casting directly to {}",
                         {name(inner), name(outer), name(outer)}),
                    span,
                    std::string("simplify to a single `expr@dtype` unless the intermediate "
                                "cast is required"));
}

std::string promotion_hint(DType left, DType right, DType result) {
  if (result == left) {
    return fill("cast the right operand from {} to {} using `@{}`",
                {name(right), name(result), name(result)});
  }
  if (result == right) {
    return fill("cast the left operand from {} to {} using `@{}`",
                {name(left), name(result), name(result)});
  }
  return fill("cast one operand to {} using `@{}`", {name(result), name(result)});
}

}  // namespace tarvelon::ir::error
