#include "api/pipeline.h"

#include <gtest/gtest.h>

#include "backend/python.h"
#include "ir/lower.h"
#include "parse/parser.h"

namespace tarvelon::api {
namespace {

TEST(ApiError, DisplayTexts) {
  const std::pair<ApiError, const char*> cases[] = {
      {ApiError::parse("syntax error: missing function body"),
       "parse failed: syntax error: missing function body"},
      {ApiError::lower("undefined variable `a`; undefined variable `b`"),
       "lowering failed: undefined variable `a`; undefined variable `b`"},
      {ApiError::optimize("rule failed"), "optimization failed: rule failed"},
      {ApiError::output_count(3), "expected a single output expression, got 3"},
      {ApiError::parse(""), "parse failed: "},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(error.to_string(), text);
}

}  // namespace
}  // namespace tarvelon::api

namespace tarvelon::api {
namespace {

TEST(LoweredDag, FailuresCarryTheFirstFailingStagesDiagnostics) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "parse failed: syntax error: expected function header `|...|`"},
      {"|x: f64|", "parse failed: syntax error: missing function body"},
      // A syntax error on the result line hides the type error of the assignment before it.
      {"|x: i32|\ny = x / 2\ny +",
       "parse failed: syntax error: syntax error"},
      {"|| a + b", "lowering failed: undefined variable `a`; undefined variable `b`"},
      {"|x: i32|\ny = x / 2\nfoo(y)",
       "lowering failed: type mismatch in /: cannot promote i32 and i8; undefined function `foo`"},
  };
  for (const auto& [source, text] : cases) {
    auto r = lowered_dag(source, false);
    ASSERT_FALSE(r.has_value()) << source;
    EXPECT_EQ(r.error().to_string(), text);
  }
}

TEST(LoweredDag, ReturnsTheDagLoweringBuiltAndDropsWarnings) {
  // A lossy literal (a warning) and an implicit promotion (a note) only.
  const char* source = "|x: f32|\ny = 0.1@f32\nx + y * 2";
  auto r = lowered_dag(source, false);
  ASSERT_TRUE(r.has_value());
  auto func = parse::parse_dsl_with_errors(source);
  ASSERT_TRUE(func.has_value());
  auto lowered = ir::lower_with_config_collect(*func, {});
  EXPECT_EQ(lowered.warnings.size(), 2u);
  EXPECT_EQ(r->nodes, lowered.dag.nodes);
  EXPECT_EQ(r->dtypes, lowered.dag.dtypes);
  EXPECT_EQ(r->params, lowered.dag.params);
  EXPECT_EQ(r->outputs, lowered.dag.outputs);
}

TEST(LoweredDag, MillionDeepKernelLowersAndEmits) {
  constexpr std::size_t kDepth = 1'000'000;
  std::string source = "|x: f64| ";
  for (std::size_t k = 0; k < kDepth; ++k) source += "-(";
  source += "x";
  source.append(kDepth, ')');
  auto dag = lowered_dag(source, false);
  ASSERT_TRUE(dag.has_value());
  std::string expected = "import math\n\ndef f(x):\n    t0 = x\n";
  for (std::size_t k = 1; k <= kDepth; ++k) {
    expected += "    t" + std::to_string(k) + " = -t" + std::to_string(k - 1) + "\n";
  }
  expected += "    return t1000000\n";
  EXPECT_TRUE(backend::PythonBackend{}.emit_kernel(*dag, "f") == expected);
}

}  // namespace
}  // namespace tarvelon::api
