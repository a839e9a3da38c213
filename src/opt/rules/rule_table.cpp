#include "opt/rules/rule_table.h"

#include <iterator>

#include "support/internal_fault.h"

namespace tarvelon::opt::rules {

std::vector<MathRewrite> build_rules(std::span<const RuleText> table) {
  std::vector<MathRewrite> out;
  out.reserve(table.size());
  for (const RuleText& rule : table) {
    auto rewrite = MathRewrite::from_patterns(rule.name, rule.lhs, rule.rhs);
    if (!rewrite) support::internal_fault(rewrite.error());
    out.push_back(std::move(*rewrite));
  }
  return out;
}

void append_rules(std::vector<MathRewrite>& rules, std::vector<MathRewrite> more) {
  rules.insert(rules.end(), std::make_move_iterator(more.begin()),
               std::make_move_iterator(more.end()));
}

}  // namespace tarvelon::opt::rules
