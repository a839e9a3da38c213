#pragma once

#include <vector>

#include "opt/rules/rule_table.h"

namespace tarvelon::opt::rules::fusion {

/// Fusion and un-fusion of exp-then-sigmoid and sigmoid-then-log. With both directions present
/// the two forms share a class, and the cheaper fused node wins at extraction.
std::vector<MathRewrite> rules();

}  // namespace tarvelon::opt::rules::fusion
