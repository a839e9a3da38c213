#pragma once

#include <utility>
#include <vector>

#include "egraph/scheduler.h"
#include "opt/config.h"
#include "opt/rules/rule_table.h"

namespace tarvelon::opt::rules {

/// Every rule the optimizer runs, in the order the runner searches and applies them: the
/// simplifications, the re-associations when `config` is aggressive, the identities, the
/// fusions. Each of the two lists is built once per process, on first use, and shared read-only
/// by every later call on any thread: a rule holds its compiled patterns and no state of a run.
const std::vector<MathRewrite>& all_rules(const OptConfig& config);

/// A rule list with its pairing, made together and never moved, so the pairing keeps
/// describing the list.
struct RuleSet {
  explicit RuleSet(std::vector<MathRewrite> list) : rules(std::move(list)), pairing(rules) {}
  RuleSet(const RuleSet&) = delete;
  RuleSet& operator=(const RuleSet&) = delete;

  const std::vector<MathRewrite> rules;
  const egraph::RulePairing<MathLang> pairing;
};

/// `all_rules(config)` with its pairing, built once per process like the list.
const RuleSet& rule_set(const OptConfig& config);

}  // namespace tarvelon::opt::rules
