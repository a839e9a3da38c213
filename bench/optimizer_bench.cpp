// The optimizer on its worst cases, straight through the C++ pipeline: the whole optimizing
// call, and the phases that dominate it. Counters give the e-graph's size and iterations.
#include <benchmark/benchmark.h>

#include <stdexcept>
#include <string>

#include "api/pipeline.h"
#include "opt/driver.h"
#include "opt/rules/fusion.h"
#include "opt/rules/identity.h"
#include "opt/rules/simplify.h"

namespace tarvelon::opt {
namespace {

const char* const kSum8 =
    "|a: f64, b: f64, c: f64, d: f64, p: f64, q: f64, r: f64, s: f64| a + b + c + d + p + q + r + "
    "s";
const char* const kProduct8 =
    "|a: f64, b: f64, c: f64, d: f64, p: f64, q: f64, r: f64, s: f64| a * b * c * d * p * q * r * "
    "s";
const char* const kGelu =
    "|x: f64|\nc = 0.7978845608028654\ninner = c * (x + 0.044715 * x * x * x)\n0.5 * x * (1.0 + "
    "tanh(inner))";
const char* const kHorner8 =
    "|x: f64| ((((((((2.0 * x - 3.0) * x + 0.5) * x - 7.0) * x + 1.5) * x - 2.0) * x + 4.0) * x - "
    "1.0) * x + 6.0)";
const char* const kClamp =
    "|x: f64, lo: f64, hi: f64| if x < lo then lo else if x > hi then hi else x";

std::string polynomial(int terms) {
  std::string source = "|x: f64| 0.5";
  for (int k = 1; k < terms; ++k)
    source += " + " + std::to_string(k) + ".5 * x ** " + std::to_string(k);
  return source;
}

void optimize(benchmark::State& state, const std::string& source) {
  auto dag = api::lowered_dag(source, false);
  if (!dag) throw std::runtime_error(dag.error().to_string());
  OptStats stats;
  for (auto _ : state) {
    auto result = optimize_with_info_and_config(*dag, {}, &stats);
    benchmark::DoNotOptimize(result);
  }
  state.counters["e-nodes"] = static_cast<double>(stats.egraph_nodes);
  state.counters["iterations"] = static_cast<double>(stats.iterations);
  if (stats.stop_reason) state.SetLabel(egraph::to_string(*stats.stop_reason));
}

BENCHMARK_CAPTURE(optimize, gelu, std::string(kGelu))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(optimize, horner8, std::string(kHorner8))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(optimize, clamp, std::string(kClamp))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(optimize, sum8, std::string(kSum8))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(optimize, product8, std::string(kProduct8))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(optimize, polynomial40, polynomial(40))->Unit(benchmark::kMicrosecond);

/// What the first optimizing call of a process pays once: reading and compiling the rule patterns.
void build_rules(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(rules::simplify::rules());
    benchmark::DoNotOptimize(rules::identity::rules());
    benchmark::DoNotOptimize(rules::fusion::rules());
  }
}
BENCHMARK(build_rules)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tarvelon::opt
BENCHMARK_MAIN();
