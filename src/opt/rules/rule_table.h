#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "egraph/rewrite.h"
#include "opt/lang.h"

namespace tarvelon::opt::rules {

using MathRewrite = egraph::Rewrite<MathLang>;

/// A rewrite rule as text: its name and its two patterns.
struct RuleText {
  std::string_view name;
  std::string_view lhs;
  std::string_view rhs;
};

/// Builds the rules of a table in order. The tables are part of the program, so a pattern that
/// does not read or binds badly is an internal fault.
std::vector<MathRewrite> build_rules(std::span<const RuleText> table);

/// Appends `more` to `rules`.
void append_rules(std::vector<MathRewrite>& rules, std::vector<MathRewrite> more);

}  // namespace tarvelon::opt::rules
