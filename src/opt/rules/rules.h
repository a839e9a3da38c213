#pragma once

#include <vector>

#include "opt/config.h"
#include "opt/rules/rule_table.h"

namespace tarvelon::opt::rules {

/// Every rule the optimizer runs, in the order the runner searches and applies them: the
/// simplifications, the re-associations when `config` is aggressive, the identities, the
/// fusions. Built anew on every call.
std::vector<MathRewrite> all_rules(const OptConfig& config);

}  // namespace tarvelon::opt::rules
