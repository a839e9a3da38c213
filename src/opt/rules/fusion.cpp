#include "opt/rules/fusion.h"

namespace tarvelon::opt::rules::fusion {

namespace {

constexpr RuleText kRules[] = {
    {"fuse-exp-sigmoid", "(sigmoid (exp ?x))", "(exp_sigmoid ?x)"},
    {"unfuse-exp-sigmoid", "(exp_sigmoid ?x)", "(sigmoid (exp ?x))"},
    {"fuse-sigmoid-log", "(log (sigmoid ?x))", "(sigmoid_log ?x)"},
    {"unfuse-sigmoid-log", "(sigmoid_log ?x)", "(log (sigmoid ?x))"},
};

}  // namespace

std::vector<MathRewrite> rules() { return build_rules(kRules); }

}  // namespace tarvelon::opt::rules::fusion
