#include "opt/rules/rules.h"

#include "opt/rules/fusion.h"
#include "opt/rules/identity.h"
#include "opt/rules/simplify.h"

namespace tarvelon::opt::rules {

std::vector<MathRewrite> all_rules(const OptConfig& config) {
  std::vector<MathRewrite> out = simplify::rules();
  if (config.effective_aggressive()) append_rules(out, simplify::aggressive_rules());
  append_rules(out, identity::rules());
  append_rules(out, fusion::rules());
  return out;
}

}  // namespace tarvelon::opt::rules
