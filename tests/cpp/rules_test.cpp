#include "opt/rules/rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "egraph/extract.h"
#include "egraph/runner.h"
#include "opt/driver.h"

namespace tarvelon::opt {
namespace {

std::vector<std::string> names(const std::vector<rules::MathRewrite>& list) {
  std::vector<std::string> out;
  for (const auto& rule : list) out.emplace_back(rule.name().as_str());
  return out;
}

TEST(AllRules, OrderAndAggressiveSetting) {
  const std::vector<std::string> simplify = {"add-zero-r", "add-zero-l", "mul-one-r",  "mul-one-l",
                                             "sub-zero",   "double-neg", "double-not", "log-exp",
                                             "if-true",    "if-false",   "cast-same"};
  const std::vector<std::string> rest = {
      "comm-add",         "comm-add-rev",       "comm-mul",         "comm-mul-rev",
      "assoc-add",        "assoc-add-rev",      "assoc-mul",        "assoc-mul-rev",
      "fuse-exp-sigmoid", "unfuse-exp-sigmoid", "fuse-sigmoid-log", "unfuse-sigmoid-log"};
  std::vector<std::string> plain = simplify;
  plain.insert(plain.end(), rest.begin(), rest.end());
  std::vector<std::string> aggressive = simplify;
  aggressive.push_back("add-assoc");
  aggressive.push_back("mul-assoc");
  aggressive.insert(aggressive.end(), rest.begin(), rest.end());

  EXPECT_EQ(names(rules::all_rules({})), plain);
  EXPECT_EQ(plain.size(), 23u);
  EXPECT_EQ(
      names(rules::all_rules(OptConfig{.aggressive = true, .aggressive_override = std::nullopt})),
      aggressive);
  EXPECT_EQ(names(rules::all_rules({.aggressive = true, .aggressive_override = false})), plain);
  EXPECT_EQ(names(rules::all_rules({.aggressive = false, .aggressive_override = true})),
            aggressive);
}

/// The cheapest term equal to `text` after saturating with every rule.
std::string saturate(const char* text) {
  auto expr = egraph::RecExpr<MathLang>::from_str(text);
  EXPECT_TRUE(expr.has_value()) << text;
  auto list = rules::all_rules({});
  egraph::Runner<MathLang> runner;
  runner.with_iter_limit(OptConfig{}.max_iterations)
      .with_node_limit(OptConfig{}.max_nodes)
      .with_expr(*expr)
      .run(list);
  egraph::Extractor<MathLang, OptCost> extractor(runner.egraph(), OptCost{});
  return egraph::to_string(extractor.find_best(runner.roots().front()).second);
}

TEST(Rules, RewriteTermsAsTheirTablesSay) {
  const std::pair<const char*, const char*> cases[] = {
      {"(+ (param 0) 0)", "(param 0)"},
      {"(+ 0 (param 1))", "(param 1)"},
      // Literals in patterns are integers: a float zero or one is left alone.
      {"(+ (param 1) 0.0)", "(+ (param 1) 0.0)"},
      {"(* 1.0 (param 1))", "(* 1.0 (param 1))"},
      {"(* (param 1) 1)", "(param 1)"},
      {"(- (param 1) 0)", "(param 1)"},
      {"(neg (neg (param 1)))", "(param 1)"},
      {"(! (! (param 1)))", "(param 1)"},
      {"(log (exp (param 1)))", "(param 1)"},
      {"(exp (log (param 1)))", "(exp (log (param 1)))"},
      {"(ifelse true (param 1) (param 2))", "(param 1)"},
      {"(ifelse false (param 1) (param 2))", "(param 2)"},
      {"(cast f32 (cast f32 (param 1)))", "(cast f32 (param 1))"},
      {"(cast f32 (cast f64 (param 1)))", "(cast f32 (cast f64 (param 1)))"},
      {"(sigmoid (exp (param 1)))", "(exp_sigmoid (param 1))"},
      {"(log (sigmoid (param 1)))", "(sigmoid_log (param 1))"},
      // No rule multiplies by zero away.
      {"(* (param 1) 0)", "(* (param 1) 0)"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(saturate(input), expected) << input;
}

}  // namespace
}  // namespace tarvelon::opt
