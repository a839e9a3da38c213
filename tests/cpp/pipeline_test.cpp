#include "api/pipeline.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "backend/python.h"
#include "deep_input.h"
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
      {ApiError::output_too_large(83886075),
       "rendered expression too large: 83886075 bytes, the limit is 67108864 bytes (64 MiB)"},
      {ApiError::output_too_large(std::numeric_limits<std::uint64_t>::max()),
       "rendered expression too large: at least 18446744073709551615 bytes, the limit is "
       "67108864 bytes (64 MiB)"},
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
      {"|x: i32|\ny = x / 2\ny +", "parse failed: syntax error: syntax error"},
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

/// Kernels that stop at each stage, or pass with notes and warnings.
constexpr const char* kStageKernels[] = {
    "",
    "|x: f64|\ny = 2j\ny",
    "|| a + b",
    "|x: f64, n: u64|\ny = x@f32@i64 + n\n(z, y, x * 2)",
    "|x: f32|\ny = 0.1@f32\nx + y * 2",
    "|x: f64| (x, x * 2)",
    "|| 2 + 3 * 4",
};

std::vector<std::string> messages(const std::vector<diag::Diag>& diags) {
  std::vector<std::string> out;
  for (const auto& d : diags) out.push_back(d.message);
  return out;
}

TEST(Compile, OneCallGivesWhatTheSeparateEntriesGive) {
  using Output = Request::Output;
  for (const char* source : kStageKernels) {
    const Diagnosis alone = diagnose(source);
    for (bool optimize : {false, true}) {
      SCOPED_TRACE(std::string(source) + (optimize ? " (optimized)" : ""));
      const Compilation emitted =
          compile(source, {.output = Output::Python, .function_name = "f", .optimize = optimize});
      const auto dag = lowered_dag(source, optimize);
      ASSERT_EQ(emitted.error.has_value(), !dag.has_value());
      if (dag) {
        EXPECT_EQ(emitted.text, backend::PythonBackend{}.emit_kernel(*dag, "f"));
      } else {
        EXPECT_EQ(emitted.error, dag.error());
        EXPECT_FALSE(emitted.text.has_value());
      }
      EXPECT_EQ(messages(emitted.diagnosis.errors), messages(alone.errors));
      EXPECT_EQ(messages(emitted.diagnosis.warnings), messages(alone.warnings));
      EXPECT_EQ(emitted.diagnosis.params, alone.params);
      EXPECT_EQ(emitted.diagnosis.outputs, alone.outputs);

      const Compilation simplified =
          compile(source, {.output = Output::Simplified, .optimize = optimize});
      const auto text = simplify_expr(source, optimize);
      if (text) {
        EXPECT_EQ(simplified.text, *text);
      } else {
        EXPECT_EQ(simplified.error, text.error());
      }
    }
  }
}

TEST(Compile, TheRequestDecidesWhatComesBack) {
  const char* warns = "|x: f64, n: u64| x@f32@i64 + n";
  const Compilation quiet = compile(warns, {.diagnosis = false, .keep_dag = true});
  EXPECT_TRUE(quiet.diagnosis.warnings.empty());
  EXPECT_FALSE(quiet.error.has_value());
  EXPECT_FALSE(quiet.text.has_value());
  ASSERT_TRUE(quiet.dag.has_value());
  EXPECT_EQ(quiet.dag->nodes, lowered_dag(warns, false)->nodes);
  EXPECT_FALSE(compile(warns, {}).dag.has_value());

  // The DAG handed back is the one the text was made from: optimized when asked.
  const char* foldable = "|n: i64| n * 1 + 0";
  const Compilation optimized = compile(
      foldable, {.output = Request::Output::Simplified, .optimize = true, .keep_dag = true});
  ASSERT_TRUE(optimized.dag.has_value());
  EXPECT_EQ(optimized.dag->nodes, lowered_dag(foldable, true)->nodes);
  EXPECT_EQ(optimized.text, "n");

  // A stage that fails leaves no DAG, even when one was asked for.
  const Compilation failed = compile("|| a", {.keep_dag = true});
  EXPECT_FALSE(failed.dag.has_value());
  EXPECT_EQ(failed.diagnosis.stage, Diagnosis::Stage::Lower);
}

// A caller after text alone skips the diagnosis and the def line's names; what it gets must not
// change with them, the exact text's declared result dtype included.
TEST(Compile, SkippingTheDiagnosisAndNamesChangesNoText) {
  using Output = Request::Output;
  const char* const kSources[] = {
      "|x: f32, lambda: f32| x * lambda + 1.5",
      "|x: f64, n: u64| x@f32@i64 + n",
      "|a: f16| (a + a, a)",
      "|| a",
      "|x: f64 x",
  };
  for (const char* source : kSources) {
    for (Output output : {Output::Python, Output::Simplified, Output::Exact}) {
      for (bool optimize : {false, true}) {
        SCOPED_TRACE(std::string(source) + " output " + std::to_string(static_cast<int>(output)) +
                     (optimize ? " optimized" : ""));
        const Compilation full =
            compile(source, {.output = output, .optimize = optimize, .param_names = true});
        const Compilation lean =
            compile(source, {.output = output, .optimize = optimize, .diagnosis = false});
        EXPECT_EQ(lean.text, full.text);
        EXPECT_EQ(lean.error, full.error);
        EXPECT_EQ(lean.diagnosis.stage, full.diagnosis.stage);
        EXPECT_EQ(messages(lean.diagnosis.errors), messages(full.diagnosis.errors));
        EXPECT_TRUE(lean.diagnosis.warnings.empty());
        EXPECT_TRUE(lean.diagnosis.params.empty());
        EXPECT_TRUE(lean.diagnosis.outputs.empty());
        EXPECT_TRUE(lean.python_params.empty());
        if (output == Output::Python && full.text) {
          EXPECT_EQ(full.python_params.size(), full.diagnosis.params.size());
        } else {
          EXPECT_TRUE(full.python_params.empty());
        }
      }
    }
  }
  EXPECT_EQ(compile(kSources[0], {.output = Output::Exact, .diagnosis = false}).text,
            "x * lambda + 1.5@f32");
}

TEST(Compile, AnOptimizerFailureComesAfterAKernelThatLowered) {
  const Compilation c =
      compile("|x: f64| (x, x)", {.output = Request::Output::Python, .optimize = true});
  EXPECT_EQ(c.diagnosis.stage, Diagnosis::Stage::Lower);
  EXPECT_TRUE(c.diagnosis.errors.empty());
  ASSERT_TRUE(c.error.has_value());
  EXPECT_EQ(c.error->kind, ApiError::Kind::Optimize);
  EXPECT_EQ(c.diagnosis.outputs,
            (std::vector<vocab::DType>{vocab::dtypes::kF64, vocab::dtypes::kF64}));
  EXPECT_FALSE(c.text.has_value());
}

TEST(LoweredDag, MillionDeepKernelLowersAndEmits) {
  constexpr std::size_t kDepth = test::kDeepInput;
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
  expected += "    return t" + std::to_string(kDepth) + "\n";
  EXPECT_TRUE(backend::PythonBackend{}.emit_kernel(*dag, "f") == expected);
}

/// A kernel of x: f64, y: f64 and p: bool with the given body.
std::string kernel(std::string_view body) {
  return "|x: f64, y: f64, p: bool| " + std::string(body);
}

/// `prefix` n - 1 times, `middle`, `suffix` n - 1 times.
std::string nested(std::size_t n, std::string_view prefix, std::string_view middle,
                   std::string_view suffix) {
  std::string out;
  out.reserve((n - 1) * (prefix.size() + suffix.size()) + middle.size());
  for (std::size_t k = 1; k < n; ++k) out += prefix;
  out += middle;
  for (std::size_t k = 1; k < n; ++k) out += suffix;
  return out;
}

/// Squares x `lines` times, one assignment per line.
std::string squaring_kernel(int lines) {
  std::string source = "|x: f64|\na0 = x\n";
  for (int k = 1; k <= lines; ++k) {
    source += "a" + std::to_string(k) + " = a" + std::to_string(k - 1) + " * a" +
              std::to_string(k - 1) + "\n";
  }
  return source + "a" + std::to_string(lines);
}

TEST(SimplifyExpr, TextsUpToTheBoundRenderAndLongerOnesAreRefused) {
  // k squarings write 5 * 2^k - 5 characters: 23 fit in 64 MiB, 24 do not.
  auto fits = simplify_expr(squaring_kernel(23), false);
  ASSERT_TRUE(fits.has_value());
  EXPECT_EQ(fits->size(), 5 * (std::size_t{1} << 23) - 5);
  EXPECT_TRUE(fits->starts_with("x * x * (x * x) * (x * x * (x * x))"));
  EXPECT_EQ(simplify_expr(squaring_kernel(24), false).error(),
            ApiError::output_too_large(83886075));
  EXPECT_EQ(simplify_expr(squaring_kernel(40), false).error(),
            ApiError::output_too_large(5 * (std::uint64_t{1} << 40) - 5));
}

struct DeepShape {
  const char* name;
  std::string source;
  std::string text;  ///< the unoptimized rendering
};

std::vector<DeepShape> deep_shapes(std::size_t n) {
  return {
      {"negation", kernel(nested(n + 1, "-(", "x", ")")), nested(n, "-(", "-x", ")")},
      {"not", kernel(nested(n + 1, "!", "p", "")), nested(n + 1, "!", "p", "")},
      {"left sum", kernel(nested(n + 1, "(", "x", " + y)")), nested(n, "", "x + y", " + y")},
      {"right sum", kernel(nested(n, "x + (", "x + y", ")")), nested(n, "x + (", "x + y", ")")},
      {"power", kernel(nested(n, "y ** ", "y ** x", "")), nested(n, "y ** (", "y ** x", ")")},
      {"else branch", kernel(nested(n + 1, "if p then y else ", "x", "")),
       nested(n, "if p then y else (", "if p then y else x", ")")},
      {"call", kernel(nested(n, "exp(", "exp(x)", ")")), nested(n, "exp(", "exp(x)", ")")},
      {"cast", kernel(nested(n, "", "x", "@f32")), nested(n, "", "x", "@f32")},
      {"lines",
       [n] {
         std::string s = kernel("\nv0 = x\n");
         for (std::size_t k = 1; k < n; ++k) {
           s += "v" + std::to_string(k) + " = v" + std::to_string(k - 1) + " * 0.5 + x\n";
         }
         return s + "v" + std::to_string(n - 1);
       }(),
       nested(n - 1, "(", "x * 0.5 + x", ") * 0.5 + x")},
  };
}

class SimplifyDeep : public ::testing::TestWithParam<bool> {
 protected:
  /// The unoptimized text is known exactly; the optimized one only has to come back.
  void check(const DeepShape& s) {
    auto text = simplify_expr(s.source, GetParam());
    ASSERT_TRUE(text.has_value()) << s.name << ": " << text.error().to_string();
    if (!GetParam()) {
      EXPECT_TRUE(*text == s.text) << s.name << ": " << text->substr(0, 80);
    }
  }
};

TEST_P(SimplifyDeep, MillionDeepKernelsOfEveryShape) {
  for (const DeepShape& s : deep_shapes(test::kDeepInput)) {
    if (std::string_view(s.name) != "lines") check(s);
  }
}

TEST_P(SimplifyDeep, HundredThousandLineKernel) { check(deep_shapes(100'000).back()); }

INSTANTIATE_TEST_SUITE_P(Modes, SimplifyDeep, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "optimized" : "unoptimized"; });

}  // namespace
}  // namespace tarvelon::api
