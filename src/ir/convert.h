#pragma once

#include <cstdint>
#include <optional>

#include "ir/node.h"
#include "vocab/dtype.h"

namespace tarvelon::ir {

/// `x` as an i64: NaN gives 0, values beyond i64's range give its minimum or maximum, and
/// fractions are cut toward zero.
std::int64_t saturate_to_i64(double x);

/// A real constant as f64 (false and true count as 0.0 and 1.0); nothing for a complex one.
std::optional<double> real_value(const Literal& value);

/// The constant a value becomes in a node of dtype `to`, or nothing when that dtype cannot take
/// it (an integer, float or complex number into `bool`; a complex number into a real dtype).
/// An integer target gets the saturated i64 value, never narrowed to the dtype's width (300 in
/// a `u8` node stays 300); an integer reaches an integer target through f64, so it keeps only
/// 53 significant bits.
std::optional<Literal> convert_literal(const Literal& value, vocab::DType to);

}  // namespace tarvelon::ir
