#include "opt/driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "api/pipeline.h"
#include "backend/python.h"
#include "ir_text.h"

namespace tarvelon::opt {
namespace {

/// The body of the optimized kernel's emitted function (the lines after the def line), or the
/// pipeline's error text.
std::string optimized_body(const char* source) {
  auto dag = api::lowered_dag(source, true);
  if (!dag) return dag.error().to_string();
  std::string text = backend::PythonBackend{}.emit_kernel(*dag, "f");
  return text.substr(text.find(":\n") + 2);
}

TEST(Optimizer, RewritesTheDesignedCases) {
  const std::pair<const char*, const char*> cases[] = {
      {"|x: f64| sigmoid(exp(x))",
       "    t1 = x\n    t2 = (1.0 / (1.0 + math.exp(-math.exp(t1))))\n    return t2\n"},
      {"|x: f64| log(sigmoid(x))",
       "    t1 = x\n    t2 = math.log(1.0 / (1.0 + math.exp(-t1)))\n    return t2\n"},
      {"|x: f64| log(exp(x))", "    t1 = x\n    return t1\n"},
      {"|x: f64| exp(log(x))",
       "    t1 = x\n    t2 = math.log(t1)\n    t3 = math.exp(t2)\n    return t3\n"},
      // The integer 0 folds into an i32 constant, which the rule removes; the float 0.0 stays.
      {"|x: i32| x + 0", "    t1 = x\n    return t1\n"},
      {"|x: f64| x + 0.0", "    t0 = 0\n    t2 = x\n    t3 = (t2 + t0)\n    return t3\n"},
      {"|x: f64| x@f32@f32", "    t1 = x\n    t2 = float(t1)\n    return t2\n"},
      {"|x: f64| -(-x)", "    t1 = x\n    return t1\n"},
      {"|b: bool| !!b", "    t1 = b\n    return t1\n"},
      {"|b: bool| if true then b else !b", "    t1 = b\n    return t1\n"},
      // The output is the parameter, not the last node.
      {"|x: f64, y: f64|\na = x\nb = y * 3.0\na", "    t1 = x\n    return t1\n"},
      // Folding runs first: the optimizer sees the constant.
      {"|x: i32| x * (2 + 3)", "    t0 = 5\n    t2 = x\n    t3 = (t2 * t0)\n    return t3\n"},
      {"|x: f64| (x, x)",
       "optimization failed: only single-output DAG is currently supported by optimize"},
      // A complex literal with a real suffix stays the complex value its node holds.
      {"|x: f64| 0.5j@f64 + x",
       "    t2 = complex(0, 0.5)\n    t4 = x\n    t5 = (t4 + t2)\n    return t5\n"},
      {"|| 0.5j@bool", "    t2 = complex(0, 0.5)\n    return t2\n"},
      {"|| 0.5j@i32 * 2",
       "    t0 = 2\n    t3 = complex(0, 0.5)\n    t4 = (t3 * t0)\n    return t4\n"},
  };
  for (const auto& [source, body] : cases) EXPECT_EQ(optimized_body(source), body) << source;
}

TEST(Optimizer, ACaseThatDropsNodesTypesConstantsByValueNotPosition) {
  // Extraction keeps only x * 2.5 of an expression whose first entries are other constants and
  // parameter indices. By position the float 2.5 would take an integer entry's dtype (the i64
  // index under n) and come back as the integer 2. The dead f16 literal that folding left behind
  // does not count either.
  auto dag = api::lowered_dag("|n: i64, x: f64|\na = n * 7\nb = x * 2.5\nb", true);
  ASSERT_TRUE(dag.has_value());
  EXPECT_EQ(
      testing::nodes_text(dag->nodes, dag->dtypes),
      (std::vector<std::string>{"f64 const 2.5", "i64 const 1i", "f64 param 1", "f64 %2 * %0"}));
}

TEST(Optimizer, TheRunStopsAtTheLimitsItsConfigurationStates) {
  auto lowered = api::lowered_dag(
      "|a: f64, b: f64, c: f64, d: f64, p: f64, q: f64, r: f64, s: f64| a+b+c+d+p+q+r+s", false);
  ASSERT_TRUE(lowered.has_value());
  const OptConfig product;
  OptConfig two_iterations;
  two_iterations.max_iterations = 2;
  OptConfig small_egraph;
  small_egraph.max_nodes = 50;
  OptConfig no_time;
  no_time.max_time = std::chrono::nanoseconds(0);
  const struct {
    const char* what;
    OptConfig config;
    std::size_t stop_index;
  } cases[] = {
      {"the product's limits: iterations run out first", product, 1},
      {"two iterations", two_iterations, 1},
      {"a small e-graph", small_egraph, 2},
      {"no time at all", no_time, 3},
  };
  for (const auto& c : cases) {
    OptStats stats;
    ASSERT_TRUE(optimize_with_info_and_config(*lowered, c.config, &stats).has_value()) << c.what;
    ASSERT_TRUE(stats.stop_reason.has_value()) << c.what;
    EXPECT_EQ(stats.stop_reason->value.index(), c.stop_index) << c.what;
    EXPECT_LE(stats.iterations, c.config.max_iterations) << c.what;
  }
}

// What the saturation run explores on the benchmark's kernels: e-node and class counts,
// iterations and stop reasons. The engine's speed work must leave every one of them as it is.
TEST(Optimizer, TheBenchmarkKernelsExploreWhatTheyAlwaysHave) {
  const std::string sum8 =
      "|a: f64, b: f64, c: f64, d: f64, p: f64, q: f64, r: f64, s: f64| a + b + c + d + p + q + r "
      "+ "
      "s";
  std::string product8 = sum8;
  std::replace(product8.begin(), product8.end(), '+', '*');
  std::string polynomial40 = "|x: f64| 0.5";
  for (int k = 1; k < 40; ++k) polynomial40 += egraph::cat(" + ", k, ".5 * x ** ", k);
  const struct {
    const char* name;
    std::string source;
    OptStats stats;
  } cases[] = {
      {"gelu",
       "|x: f64|\nc = 0.7978845608028654\ninner = c * (x + 0.044715 * x * x * x)\n0.5 * x * "
       "(1.0 + tanh(inner))",
       {4, 43, 19, egraph::StopReason{egraph::StopReason::Saturated{}}}},
      {"softplus",
       "|x: f64| softplus(x)",
       {1, 3, 3, egraph::StopReason{egraph::StopReason::Saturated{}}}},
      {"sigmoid of exp",
       "|x: f64| sigmoid(exp(x))",
       {2, 5, 4, egraph::StopReason{egraph::StopReason::Saturated{}}}},
      {"horner 8",
       "|x: f64| ((((((((2.0 * x - 3.0) * x + 0.5) * x - 7.0) * x + 1.5) * x - 2.0) * x + 4.0) * "
       "x - 1.0) * x + 6.0)",
       {2, 38, 26, egraph::StopReason{egraph::StopReason::Saturated{}}}},
      {"sum of 8", sum8, {8, 5885, 965, egraph::StopReason{egraph::StopReason::IterationLimit{8}}}},
      {"product of 8",
       product8,
       {8, 5885, 965, egraph::StopReason{egraph::StopReason::IterationLimit{8}}}},
      {"polynomial 40",
       polynomial40,
       {8, 14719, 5275, egraph::StopReason{egraph::StopReason::IterationLimit{8}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto lowered = api::lowered_dag(c.source, false);
    ASSERT_TRUE(lowered.has_value());
    OptStats stats;
    ASSERT_TRUE(optimize_with_info_and_config(*lowered, {}, &stats).has_value());
    EXPECT_EQ(stats.iterations, c.stats.iterations);
    EXPECT_EQ(stats.egraph_nodes, c.stats.egraph_nodes);
    EXPECT_EQ(stats.egraph_classes, c.stats.egraph_classes);
    ASSERT_TRUE(stats.stop_reason.has_value());
    EXPECT_EQ(egraph::to_string(*stats.stop_reason), egraph::to_string(*c.stats.stop_reason));
  }
}

TEST(Optimizer, AGrowingEGraphStopsAtTheLimitsWithAValidResult) {
  auto lowered = api::lowered_dag(
      "|a: f64, b: f64, c: f64, d: f64, p: f64, q: f64, r: f64, s: f64| a+b+c+d+p+q+r+s", false);
  ASSERT_TRUE(lowered.has_value());
  OptStats stats;
  auto optimized = optimize_with_info_and_config(*lowered, {}, &stats);
  ASSERT_TRUE(optimized.has_value());
  EXPECT_LE(stats.iterations, OptConfig{}.max_iterations);
  ASSERT_TRUE(stats.stop_reason.has_value());
  EXPECT_FALSE(std::holds_alternative<egraph::StopReason::Saturated>(stats.stop_reason->value));
  // Still a sum of the eight parameters, in some order.
  std::size_t params = 0, adds = 0;
  for (const ir::Node& n : optimized->dag.nodes) {
    params += std::holds_alternative<ir::node::Param>(n);
    adds += std::holds_alternative<ir::node::Binary>(n);
  }
  EXPECT_EQ(params, 8u);
  EXPECT_EQ(adds, 7u);
}

TEST(Optimizer, DiagnosticsAreFoldingsThenRestorations) {
  // 200 + 100 overflows u8 while folding; 2.5 is f64 in one use and f32 in another, so restoring
  // promotes x * 2.5 from f64 and f32.
  auto lowered = api::lowered_dag(
      "|x: f64, y: f32| (200@u8 + 100@u8)@f64 + x * 2.5@f64 + (y * 2.5@f32)@f64", false);
  ASSERT_TRUE(lowered.has_value());
  auto optimized = optimize_with_info_and_config(*lowered, {});
  ASSERT_TRUE(optimized.has_value());
  std::vector<std::string> kinds;
  for (const auto& d : optimized->diags) kinds.emplace_back(diag::kind_name(d.kind));
  EXPECT_EQ(kinds, (std::vector<std::string>{"ConstOverflow", "RestorePromotion"}));
}

TEST(Optimizer, TheAggressiveSettingFoldsAgainWithoutItsDiagnostics) {
  auto lowered = api::lowered_dag("|x: i32| (x + 1) + 2", false);
  ASSERT_TRUE(lowered.has_value());
  auto plain = optimize_with_info_and_config(*lowered, {});
  auto aggressive = optimize_with_info_and_config(
      *lowered, OptConfig{.aggressive = true, .aggressive_override = std::nullopt});
  ASSERT_TRUE(plain.has_value());
  ASSERT_TRUE(aggressive.has_value());
  EXPECT_EQ(plain->diags.size(), aggressive->diags.size());
  EXPECT_EQ(
      backend::PythonBackend{}.emit_kernel(aggressive->dag, "f"),
      "import math\n\ndef f(x):\n    t2 = 3\n    t4 = x\n    t5 = (t4 + t2)\n    return t5\n");
}

}  // namespace
}  // namespace tarvelon::opt
