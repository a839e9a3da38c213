#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "diag/diag.h"
#include "vocab/dtype.h"

/// Constructors of the diagnostics that lowering reports, with their fixed messages and hints.
namespace tarvelon::ir::error {

using diag::Diag;
using diag::Span;

Diag lower_arg_count(std::string_view name, std::size_t expected, std::size_t got, Span span);
Diag lower_div_by_zero(std::string_view op, Span span);
Diag lower_type_mismatch(std::string_view context, vocab::DType left, vocab::DType right,
                         Span span);
Diag lower_int_out_of_range(std::int64_t value, vocab::DType dtype, Span span);
Diag lower_implicit_promotion(std::string_view context, vocab::DType left, vocab::DType right,
                              vocab::DType result, Span span);
/// Spans from the start of `left_span` to the end of `right_span` and labels both operands.
Diag lower_implicit_promotion_with_operands(std::string_view context, vocab::DType left,
                                            vocab::DType right, vocab::DType result, Span left_span,
                                            Span right_span);
Diag lower_unsafe_uint_to_sint(std::string_view context, vocab::DType left, vocab::DType right,
                               vocab::DType result, Span span);
Diag lower_float_precision_loss(vocab::DType dtype, double value, Span span);
Diag lower_undefined_variable(std::string_view name, Span span);
Diag lower_undefined_function(std::string_view name, Span span);
Diag lower_tuple_in_scalar_position(std::size_t expected, std::size_t got, Span span);
/// Two casts written in a row: `inner` is the first target, `outer` the second.
Diag lower_redundant_cast(vocab::DType inner, vocab::DType outer, Span span);

/// Suggests the cast that makes an implicit promotion of `left` and `right` to `result` explicit.
std::string promotion_hint(vocab::DType left, vocab::DType right, vocab::DType result);

}  // namespace tarvelon::ir::error
