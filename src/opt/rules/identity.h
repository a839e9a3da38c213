#pragma once

#include <vector>

#include "opt/rules/rule_table.h"

namespace tarvelon::opt::rules::identity {

/// Commutativity and associativity of + and *, each rule followed by its reverse, so that every
/// ordering and grouping of a sum or product lands in one class for extraction to choose from.
std::vector<MathRewrite> rules();

}  // namespace tarvelon::opt::rules::identity
