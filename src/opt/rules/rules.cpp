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

const std::vector<MathRewrite>& all_rules(const OptConfig& config) {
  // Each list is built by the first call that needs it, once even when threads race, and is only
  // read afterwards. A build that throws (out of memory) leaves no list behind, so the next call
  // builds it again.
  if (config.effective_aggressive()) {
    static const std::vector<MathRewrite> aggressive = assemble(true);
    return aggressive;
  }
  static const std::vector<MathRewrite> plain = assemble(false);
  return plain;
}

}  // namespace tarvelon::opt::rules
