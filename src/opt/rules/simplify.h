#pragma once

#include <vector>

#include "opt/rules/rule_table.h"

namespace tarvelon::opt::rules::simplify {

/// Algebraic simplifications that remove work: additive and multiplicative units, double
/// negation, log of exp, constant conditions, a cast repeated to the same dtype.
std::vector<MathRewrite> rules();

/// Re-association of sums and products, only on request.
std::vector<MathRewrite> aggressive_rules();

}  // namespace tarvelon::opt::rules::simplify
