#include "opt/rules/simplify.h"

namespace tarvelon::opt::rules::simplify {

namespace {

// "0" and "1" are Int leaves: they match integer zeros and ones only, never the floats 0.0 and
// 1.0, whose sums and products keep their IEEE meaning (x + 0.0 is not x when x is -0.0).
constexpr RuleText kRules[] = {
    {"add-zero-r", "(+ ?x 0)", "?x"},
    {"add-zero-l", "(+ 0 ?x)", "?x"},
    {"mul-one-r", "(* ?x 1)", "?x"},
    {"mul-one-l", "(* 1 ?x)", "?x"},
    {"sub-zero", "(- ?x 0)", "?x"},
    {"double-neg", "(neg (neg ?x))", "?x"},
    {"double-not", "(! (! ?x))", "?x"},
    {"log-exp", "(log (exp ?x))", "?x"},
    {"if-true", "(ifelse true ?t ?e)", "?t"},
    {"if-false", "(ifelse false ?t ?e)", "?e"},
    // Both ?t must bind one class: the same dtype token.
    {"cast-same", "(cast ?t (cast ?t ?x))", "(cast ?t ?x)"},
};

constexpr RuleText kAggressiveRules[] = {
    {"add-assoc", "(+ (+ ?x ?y) ?z)", "(+ ?x (+ ?y ?z))"},
    {"mul-assoc", "(* (* ?x ?y) ?z)", "(* ?x (* ?y ?z))"},
};

}  // namespace

std::vector<MathRewrite> rules() { return build_rules(kRules); }
std::vector<MathRewrite> aggressive_rules() { return build_rules(kAggressiveRules); }

}  // namespace tarvelon::opt::rules::simplify
