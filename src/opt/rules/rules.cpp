#include "opt/rules/rules.h"

#include "opt/rules/fusion.h"
#include "opt/rules/identity.h"
#include "opt/rules/simplify.h"

namespace tarvelon::opt::rules {

namespace {

std::vector<MathRewrite> assemble(bool aggressive) {
  std::vector<MathRewrite> out = simplify::rules();
  if (aggressive) append_rules(out, simplify::aggressive_rules());
  append_rules(out, identity::rules());
  append_rules(out, fusion::rules());
  return out;
}

}  // namespace

const RuleSet& rule_set(const OptConfig& config) {
  // Each set is built by the first call that needs it, once even when threads race, and is only
  // read afterwards. A build that throws (out of memory) leaves no set behind, so the next call
  // builds it again.
  if (config.effective_aggressive()) {
    static const RuleSet aggressive(assemble(true));
    return aggressive;
  }
  static const RuleSet plain(assemble(false));
  return plain;
}

const std::vector<MathRewrite>& all_rules(const OptConfig& config) {
  return rule_set(config).rules;
}

}  // namespace tarvelon::opt::rules
