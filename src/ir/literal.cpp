// Literal typing and the promotion step of lowering.
#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

#include "ir/convert.h"
#include "ir/error.h"
#include "ir/lower.h"

namespace tarvelon::ir {

using vocab::DType;
using vocab::DTypeKind;
namespace dtypes = vocab::dtypes;

namespace {

/// A binary floating-point format narrower than binary64.
struct FloatFormat {
  int precision;  ///< significand bits, the implicit one included
  int min_exp;    ///< exponent of the smallest normal number
  double max;     ///< largest finite value
};

constexpr FloatFormat kBinary16{11, -14, 65504.0};
constexpr FloatFormat kBfloat16{8, -126, 0x1.fep127};
constexpr FloatFormat kBinary32{24, -126, static_cast<double>(FLT_MAX)};

bool fits(const FloatFormat& f, double value) {
  if (!std::isfinite(value)) return true;
  const double a = std::fabs(value);
  if (a == 0.0) return true;
  if (a > f.max) return false;
  // a = significand * 2^(exponent - 52). The format keeps precision - 1 bits after the leading
  // one, fewer where the value is below its smallest normal number; the value fits when the
  // significand's bits beyond those are all zero.
  const auto bits = std::bit_cast<std::uint64_t>(a);
  const auto biased = static_cast<int>(bits >> 52);
  if (biased == 0) return false;  // a subnormal double is far below any narrower format's range
  const int exponent = biased - 1023;
  constexpr std::uint64_t kLeadingOne = std::uint64_t{1} << 52;
  const std::uint64_t significand = (bits & (kLeadingOne - 1)) | kLeadingOne;
  const int dropped = 52 - (f.precision - 1) + std::max(0, f.min_exp - exponent);
  if (dropped > 52) return false;  // even the leading one is below the smallest step
  return (significand & ((std::uint64_t{1} << dropped) - 1)) == 0;
}

bool int_in_range(DType d, std::int64_t v) {
  if (!d.is_integer()) return true;
  return v >= vocab::int_min(d) && v <= vocab::int_max(d);
}

bool is_signed_int(DType d) { return d.kind == DTypeKind::Int; }

/// The constant a real literal stands for in its dtype. A suffix of another kind converts the
/// value as a folded cast would, so that the kernel computes the same number whether or not it
/// is optimized: a float becomes a saturated integer cut toward zero, and any nonzero number
/// (NaN included) becomes true in `bool`. Float and complex dtypes hold every real value as is.
Literal suffixed_value(Literal value, DType dtype) {
  if (dtype.kind == DTypeKind::Bool) return *real_value(value) != 0.0;
  if (dtype.is_integer() && std::holds_alternative<double>(value)) {
    return *convert_literal(value, dtype);
  }
  return value;
}

}  // namespace

bool float_representable_in(DType dtype, double value) {
  if (dtype == dtypes::kF32) return fits(kBinary32, value);
  if (dtype == dtypes::kF16) return fits(kBinary16, value);
  if (dtype == dtypes::kBF16) return fits(kBfloat16, value);
  return true;
}

std::expected<NodeId, Diag> lower_int_literal(Ctx& ctx, std::int64_t value,
                                              std::optional<DType> suffix, Span span) {
  DType dtype = dtypes::kI64;
  if (suffix) {
    dtype = *suffix;
  } else {
    for (DType d : {dtypes::kI8, dtypes::kI16, dtypes::kI32}) {
      if (int_in_range(d, value)) {
        dtype = d;
        break;
      }
    }
  }
  if (!int_in_range(dtype, value)) {
    Diag d = error::lower_int_out_of_range(value, dtype, span);
    if (ctx.mode.kind == DiagMode::Kind::FailFast) return std::unexpected(std::move(d));
    if (auto r = ctx.emit(std::move(d)); !r) return std::unexpected(std::move(r.error()));
    return ctx.push(node::Const{std::int64_t{0}}, dtypes::kI64);
  }
  return ctx.push(node::Const{suffixed_value(value, dtype)}, dtype);
}

std::expected<NodeId, Diag> lower_float_literal(Ctx& ctx, std::optional<DType> suffix, Span span,
                                                double value) {
  DType dtype;
  if (!suffix) {
    dtype = float_representable_in(dtypes::kF16, value)   ? dtypes::kF16
            : float_representable_in(dtypes::kF32, value) ? dtypes::kF32
                                                          : dtypes::kF64;
  } else {
    dtype = *suffix;
    if (!float_representable_in(dtype, value)) {
      auto r = ctx.report(diag::DiagKind::FloatPrecisionLoss,
                          [&] { return error::lower_float_precision_loss(dtype, value, span); });
      if (!r) return std::unexpected(std::move(r.error()));
    }
  }
  return ctx.push(node::Const{suffixed_value(value, dtype)}, dtype);
}

std::expected<NodeId, Diag> lower_complex_literal(Ctx& ctx, std::optional<DType> suffix, Span span,
                                                  double re, double im) {
  DType dtype;
  if (!suffix) {
    bool narrow =
        float_representable_in(dtypes::kF32, re) && float_representable_in(dtypes::kF32, im);
    dtype = narrow ? dtypes::kC64 : dtypes::kC128;
  } else {
    dtype = *suffix;
    if (dtype == dtypes::kC64) {
      for (double part : {re, im}) {
        if (std::isnan(part) || float_representable_in(dtypes::kF32, part)) continue;
        auto r = ctx.report(diag::DiagKind::FloatPrecisionLoss, [&] {
          return error::lower_float_precision_loss(dtypes::kF32, part, span);
        });
        if (!r) return std::unexpected(std::move(r.error()));
      }
    }
  }
  return ctx.push(node::Const{ComplexValue{re, im}}, dtype);
}

std::expected<DType, Diag> promote_with_diags(Ctx& ctx, std::string_view context, DType left,
                                              DType right, Span span,
                                              std::optional<std::pair<Span, Span>> operand_spans) {
  auto promoted = vocab::promote(left, right);
  if (!promoted) {
    auto r = ctx.on_error(error::lower_type_mismatch(context, left, right, span), dtypes::kF64);
    if (!r) return std::unexpected(std::move(r.error()));
    return dtypes::kF64;
  }
  DType result = *promoted;
  if ((left == dtypes::kU64 && is_signed_int(right)) ||
      (right == dtypes::kU64 && is_signed_int(left))) {
    auto r = ctx.report(diag::DiagKind::UnsafeUintToSint, [&] {
      return error::lower_unsafe_uint_to_sint(context, left, right, result, span);
    });
    if (!r) return std::unexpected(std::move(r.error()));
  }
  if (left != right) {
    auto r = ctx.report(diag::DiagKind::ImplicitPromotion, [&] {
      return operand_spans
                 ? error::lower_implicit_promotion_with_operands(
                       context, left, right, result, operand_spans->first, operand_spans->second)
                 : error::lower_implicit_promotion(context, left, right, result, span);
    });
    if (!r) return std::unexpected(std::move(r.error()));
  }
  return result;
}

}  // namespace tarvelon::ir
