// The symbol table is the one structure that threads share; these tests hammer it from several
// threads directly and through whole optimizing compilations. They are most telling in the
// ThreadSanitizer build (tools/test.sh --tsan).
#include <gtest/gtest.h>

#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "api/pipeline.h"
#include "backend/python.h"
#include "egraph/symbol.h"
#include "opt/driver.h"

namespace tarvelon {
namespace {

constexpr int kThreads = 8;

/// Runs `work(t)` on `kThreads` threads at once and waits for all of them.
template <class Work>
void on_threads(Work work) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
  for (std::thread& thread : threads) thread.join();
}

TEST(ThreadSafety, SymbolsInternedAndResolvedConcurrentlyAgree) {
  constexpr int kTexts = 2999;  // a prime: every stride below visits every text
  auto text = [](int k) { return "threads-" + std::to_string(k); };
  // Each thread walks all texts in its own order, so every text is first interned by some
  // thread while others look it up; each thread also resolves what it got back at once.
  std::vector<std::vector<std::uint32_t>> handles(kThreads, std::vector<std::uint32_t>(kTexts));
  std::vector<int> mismatches(kThreads, 0);
  on_threads([&](int t) {
    for (int i = 0; i < kTexts; ++i) {
      int k = (i * (2 * t + 1) + 97 * t) % kTexts;
      egraph::GlobalSymbol symbol(text(k));
      handles[t][k] = symbol.handle();
      if (symbol.as_str() != text(k)) ++mismatches[t];
    }
  });
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
  for (int k = 0; k < kTexts; ++k) {
    egraph::GlobalSymbol symbol(text(k));
    EXPECT_EQ(symbol.as_str(), text(k));
    for (int t = 0; t < kThreads; ++t)
      ASSERT_EQ(handles[t][k], symbol.handle()) << text(k) << " thread " << t;
  }
}

/// The optimized kernel of `source` emitted as Python, or the error's text.
std::string optimized_text(const std::string& source, bool aggressive) {
  auto dag = api::lowered_dag(source, false);
  if (!dag) return dag.error().to_string();
  auto result = opt::optimize_with_info_and_config(
      *dag, {.aggressive = aggressive, .aggressive_override = std::nullopt});
  return result ? backend::PythonBackend{}.emit_kernel(result->dag, "f")
                : result.error().to_string();
}

// Defined before any other optimizing test, so that in a run of this suite alone the rule lists
// are built here, by threads released together, half of them asking for the aggressive list.
TEST(ThreadSafety, RuleListsBuiltOnFirstUseByRacingThreadsServeEveryThread) {
  const std::string kernel = "|a: f64, b: f64, c: f64| sigmoid(exp(a)) * (b + 0) + log(exp(c))";
  std::latch start(kThreads);
  std::vector<std::string> results(kThreads);
  on_threads([&](int t) {
    start.arrive_and_wait();
    results[t] = optimized_text(kernel, t % 2 == 1);
  });
  const std::string plain = optimized_text(kernel, false);
  const std::string aggressive = optimized_text(kernel, true);
  EXPECT_EQ(plain.find("math.log"), std::string::npos) << plain;
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(results[t], t % 2 == 1 ? aggressive : plain) << "thread " << t;
}

/// What a caller sees of one compilation: the emitted source or the error text.
std::string compile(const std::string& source, bool optimize) {
  api::Compilation c = api::compile(
      source, {.output = api::Request::Output::Python, .optimize = optimize, .diagnosis = false});
  return c.error ? c.error->to_string() : std::move(*c.text);
}

TEST(ThreadSafety, ConcurrentOptimizingCompilationsMatchASingleThreadedRun) {
  const std::vector<std::string> kernels = {
      "|x: f64, lo: f64, hi: f64|\nif x < lo then lo else if x > hi then hi else x",
      "|x: f64|\nc = 0.7978845608028654\ninner = c * (x + 0.044715 * x * x * x)\n0.5 * x * (1.0 + "
      "tanh(inner))",
      "|x: f64|\n((2.0 * x - 3.0) * x + 0.5) * x - 7.0",
      "|z: c128, theta: f64|\nz * (cos(theta) + 1.0j * sin(theta))",
      "|x: f32|\nif x > 20.0 then x else softplus(x)",
      "|x: f16, beta: f32|\nxf = x@f32\nxf * sigmoid(beta * xf)",
      "|x: f64| sigmoid(exp(x)) + log(sigmoid(x))",
      "|a: i32, b: i32| (a * 1 + 0) * (b - b) + a // b",
      "|x: f64, y: f64| (x + y) * (x + y) - x * x - 2.0 * x * y",
      "|a: u8, b: i64| (a@i64 + b) % 7 == 0 && !(b < 0)",
      "|a: i32, b: i32|\nq = a // b\nr = a % b\n(q, r)",
      "|x: f64| undefined_name + x",
  };
  std::vector<std::string> expected;
  for (const std::string& kernel : kernels) expected.push_back(compile(kernel, true));

  constexpr int kRounds = 3;
  std::vector<std::vector<std::string>> results(kThreads);
  on_threads([&](int t) {
    for (int round = 0; round < kRounds; ++round) {
      // Threads start at different kernels so that different rules run at the same time.
      for (std::size_t i = 0; i < kernels.size(); ++i) {
        results[t].push_back(
            compile(kernels[(i + static_cast<std::size_t>(t)) % kernels.size()], true));
      }
    }
  });
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(results[t].size(), kRounds * kernels.size());
    for (std::size_t n = 0; n < results[t].size(); ++n) {
      std::size_t i = (n % kernels.size() + static_cast<std::size_t>(t)) % kernels.size();
      EXPECT_EQ(results[t][n], expected[i]) << "thread " << t << ", kernel " << kernels[i];
    }
  }
}

}  // namespace
}  // namespace tarvelon
