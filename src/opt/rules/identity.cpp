#include "opt/rules/identity.h"

namespace tarvelon::opt::rules::identity {

namespace {

// Each rule is followed by its reverse, which swaps the patterns and adds "-rev" to the name.
constexpr RuleText kRules[] = {
    {"comm-add", "(+ ?a ?b)", "(+ ?b ?a)"},
    {"comm-add-rev", "(+ ?b ?a)", "(+ ?a ?b)"},
    {"comm-mul", "(* ?a ?b)", "(* ?b ?a)"},
    {"comm-mul-rev", "(* ?b ?a)", "(* ?a ?b)"},
    {"assoc-add", "(+ (+ ?a ?b) ?c)", "(+ ?a (+ ?b ?c))"},
    {"assoc-add-rev", "(+ ?a (+ ?b ?c))", "(+ (+ ?a ?b) ?c)"},
    {"assoc-mul", "(* (* ?a ?b) ?c)", "(* ?a (* ?b ?c))"},
    {"assoc-mul-rev", "(* ?a (* ?b ?c))", "(* (* ?a ?b) ?c)"},
};

}  // namespace

std::vector<MathRewrite> rules() { return build_rules(kRules); }

}  // namespace tarvelon::opt::rules::identity
