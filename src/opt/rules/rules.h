#pragma once

#include <vector>

#include "opt/config.h"
#include "opt/rules/rule_table.h"

namespace tarvelon::opt::rules {

/// Every rule the optimizer runs, in the order the runner searches and applies them: the
/// simplifications, the re-associations when `config` is aggressive, the identities, the
/// fusions. Each of the two lists is built once per process, on first use, and shared read-only
/// by every later call on any thread: a rule holds its compiled patterns and no state of a run.
const std::vector<MathRewrite>& all_rules(const OptConfig& config);

}  // namespace tarvelon::opt::rules
