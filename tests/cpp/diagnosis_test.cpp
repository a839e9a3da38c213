#include "api/diagnosis.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvelon::api {
namespace {

std::vector<std::string> messages(const std::vector<diag::Diag>& diags) {
  std::vector<std::string> out;
  for (const auto& d : diags) out.push_back(d.message);
  return out;
}

TEST(Diagnose, AFailedParseReportsTheFrontEndsDiagnosticsOnly) {
  const Diagnosis d = diagnose("|x: f64|\ny = 2j\ny");
  EXPECT_EQ(d.stage, Diagnosis::Stage::Parse);
  EXPECT_EQ(messages(d.errors),
            std::vector<std::string>{
                "integer imaginary literal `2j` is not supported; use float form `2.0j` instead"});
  EXPECT_TRUE(d.warnings.empty());
  EXPECT_TRUE(d.params.empty());
  EXPECT_TRUE(d.outputs.empty());
}

TEST(Diagnose, LoweringKeepsErrorsWarningsAndNotesApart) {
  const Diagnosis d = diagnose("|x: f64, n: u64|\ny = x@f32@i64 + n\n(z, y, x * 2)");
  EXPECT_EQ(d.stage, Diagnosis::Stage::Lower);
  EXPECT_EQ(messages(d.errors), std::vector<std::string>{"undefined variable `z`"});
  EXPECT_EQ(messages(d.warnings),
            (std::vector<std::string>{
                "multiple sequential casts: f32 -> i64; consider casting directly to i64",
                "unsafe promotion in +: i64 and u64 promoted to i64",
                "implicit promotion in +: i64 + u64 -> i64",
                "implicit promotion in *: f64 + i8 -> f64"}));
  EXPECT_EQ(d.params,
            (std::vector<ir::Param>{{"x", vocab::dtypes::kF64}, {"n", vocab::dtypes::kU64}}));
  EXPECT_EQ(d.outputs, (std::vector<vocab::DType>{vocab::dtypes::kF64, vocab::dtypes::kI64,
                                                  vocab::dtypes::kF64}));
}

TEST(Diagnose, AKernelWithoutProblemsHasNoDiagnostics) {
  const Diagnosis d = diagnose("|a: i32, b: i32| a + b");
  EXPECT_TRUE(d.errors.empty());
  EXPECT_TRUE(d.warnings.empty());
  EXPECT_EQ(d.outputs, std::vector<vocab::DType>{vocab::dtypes::kI32});
}

}  // namespace
}  // namespace tarvelon::api
