// Infix rendering throughput in bytes of output per second of CPU time (the machines are shared),
// beside a plain copy of a text of the same size. Target: at least 100 MB/s of output, on the
// shared and the unshared kernels alike; `MB_per_s` counts decimal megabytes, while
// `bytes_per_second` is in binary units.
#include <benchmark/benchmark.h>

#include <string>

#include "api/pipeline.h"
#include "render/render.h"

namespace {

using tarvelon::ir::TypedDag;

/// Lowers `source`; the benchmarks measure rendering alone.
TypedDag lowered(const std::string& source) {
  auto dag = tarvelon::api::lowered_dag(source, false);
  if (!dag) throw std::runtime_error(dag.error().to_string());
  return std::move(*dag);
}

/// Every line uses the one before twice, so the text doubles per line: about 40 MB of output
/// written from a DAG of a few hundred nodes, with every kind of operator, call and cast.
const TypedDag& shared_dag() {
  static const TypedDag dag = [] {
    std::string src = "|x: f64, n: i32, p: bool|\na0 = x\n";
    const int lines = 19;
    for (int k = 1; k <= lines; ++k) {
      const std::string a = "a" + std::to_string(k - 1);
      src += "a" + std::to_string(k) + " = if p && " + a + " > 0.5 then (" + a + " - n@f64) ** 2 " +
             "else -sigmoid(x@f32) * 1.5\n";
    }
    return lowered(src + "a" + std::to_string(lines));
  }();
  return dag;
}

/// A million nested sums and negations: no sharing, depth instead.
const TypedDag& deep_dag() {
  static const TypedDag dag = [] {
    std::string src = "|x: f64, y: f64| ";
    for (int k = 0; k < 500'000; ++k) src += "y - -(";
    src += "x";
    src.append(500'000, ')');
    return lowered(src);
  }();
  return dag;
}

/// 100,000 assignment lines, each using the one before once, with calls, casts and constants.
const TypedDag& lines_dag() {
  static const TypedDag dag = [] {
    std::string src = "|x: f64, n: i32|\nv0 = x\n";
    const int lines = 100'000;
    for (int k = 1; k <= lines; ++k) {
      src += "v" + std::to_string(k) + " = tanh(v" + std::to_string(k - 1) +
             ") * 0.5 + n@f64 / 3.25\n";
    }
    return lowered(src + "v" + std::to_string(lines));
  }();
  return dag;
}

void render(benchmark::State& state, const TypedDag& dag) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto text = tarvelon::render::render_simplified_expr(dag, dag.outputs[0], true);
    if (!text) state.SkipWithError("text too large");
    bytes = text->size();
    benchmark::DoNotOptimize(text->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["output_MB"] = static_cast<double>(bytes) / 1e6;
  state.counters["MB_per_s"] = benchmark::Counter(static_cast<double>(bytes) / 1e6,
                                                  benchmark::Counter::kIsIterationInvariantRate);
}

void BM_RenderShared(benchmark::State& state) { render(state, shared_dag()); }
BENCHMARK(BM_RenderShared)->Unit(benchmark::kMillisecond);

void BM_RenderLines(benchmark::State& state) { render(state, lines_dag()); }
BENCHMARK(BM_RenderLines)->Unit(benchmark::kMillisecond);

void BM_RenderDeep(benchmark::State& state) { render(state, deep_dag()); }
BENCHMARK(BM_RenderDeep)->Unit(benchmark::kMillisecond);

/// Machine-speed reference for the ratios: a fresh copy of a text as long as the shared output.
void BM_CopyBaseline(benchmark::State& state) {
  const std::string text(
      tarvelon::render::render_simplified_expr(shared_dag(), shared_dag().outputs[0], true)->size(),
      'x');
  for (auto _ : state) {
    std::string copy = text;
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_CopyBaseline)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
