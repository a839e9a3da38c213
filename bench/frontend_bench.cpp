// Front-end throughput on a 10 MB kernel of ordinary assignment lines, in bytes per second of
// CPU time (the machines are shared), beside a one-pass byte scan of the same text, and the
// throughput of the whole unoptimized compilation of it to Python.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <initializer_list>
#include <string>

#include "api/pipeline.h"
#include "parse/parser.h"

namespace {

/// Forms of assignment lines that mix every kind of operator, call, cast, literal and comment;
/// {a} and {b} stand for the two previous values.
using Forms = std::initializer_list<const char*>;

/// A kernel of about `bytes` bytes: a header, assignment lines cycling through `forms`, and one
/// result line.
std::string make_kernel(std::size_t bytes, Forms forms) {
  std::string src = "|x: f64, n: i32, flag: bool, max_val: f64|  # header\nt0 = x\nt1 = x * 2.0\n";
  std::size_t i = 2;
  while (src.size() < bytes) {
    std::string line = forms.begin()[i % forms.size()];
    const std::string a = "t" + std::to_string(i - 1);
    const std::string b = "t" + std::to_string(i - 2);
    for (std::size_t p; (p = line.find("{a}")) != std::string::npos;) line.replace(p, 3, a);
    for (std::size_t p; (p = line.find("{b}")) != std::string::npos;) line.replace(p, 3, b);
    src += "t" + std::to_string(i) + " = " + line + "\n";
    ++i;
  }
  src += "t" + std::to_string(i - 1) + " + x\n";
  return src;
}

/// Syntactically valid throughout; lowering rejects some lines (an f64 floor-divided by an int).
const std::string& kernel() {
  static const std::string src = make_kernel(
      10 << 20,
      {"(x * 2.5 + {a}) / (1.0 + exp(-{b}@f64))",
       "if {a} > 0.5 then sqrt({b}) else {a} ** 2 # branch",
       "sigmoid({a} - n@f64 * 1e-3) + cast<f32>({b})", "!({a} < {b}) && flag || {a} == 3.25",
       "tanh({a}) * pi - e // 7 % 3 + 2@i64", "max_val - (-{a} + 0.125j@c128) * {b}"});
  return src;
}

/// The same mix of forms, every line of which lowers.
const std::string& valid_kernel() {
  static const std::string src = make_kernel(
      10 << 20, {"(x * 2.5 + {a}) / (1.0 + exp(-{b}@f64))",
                 "if {a} > 0.5 then sqrt({b}) else {a} ** 2 # branch",
                 "sigmoid({a} - n@f64 * 1e-3) + tanh({b})@f32",
                 "if !({a} < {b}) && flag || {a} == 3.25 then {a} else {b}",
                 "tanh({a}) * pi - e * 7.0 % 3.0 + 2@i64", "max_val - (-{a} + 0.125) * {b}"});
  return src;
}

/// Machine-speed reference for the ratios: one pass over the bytes that counts the lines.
void BM_ScanBaseline(benchmark::State& state) {
  const std::string& src = kernel();
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::count(src.begin(), src.end(), '\n'));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * src.size()));
}
BENCHMARK(BM_ScanBaseline)->Unit(benchmark::kMillisecond);

/// Parsing alone: the tree is dropped outside the timed region.
void BM_Parse(benchmark::State& state) {
  const std::string& src = kernel();
  for (auto _ : state) {
    auto def = tarvelon::parse::parse_dsl_with_errors(src);
    if (!def) state.SkipWithError("kernel did not parse");
    state.PauseTiming();
    def = std::unexpected(std::vector<tarvelon::diag::Diag>{});
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * src.size()));
}
BENCHMARK(BM_Parse)->Unit(benchmark::kMillisecond);

/// Parsing and dropping the tree, as a caller that lowers and discards it pays.
void BM_ParseAndDrop(benchmark::State& state) {
  const std::string& src = kernel();
  for (auto _ : state) {
    auto def = tarvelon::parse::parse_dsl_with_errors(src);
    if (!def) state.SkipWithError("kernel did not parse");
    benchmark::DoNotOptimize(def);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * src.size()));
}
BENCHMARK(BM_ParseAndDrop)->Unit(benchmark::kMillisecond);

/// The whole unoptimized compilation a caller of `emit_python` pays: parse, lower, drop the tree,
/// emit the Python text and drop the DAG.
void BM_ParseLowerEmit(benchmark::State& state) {
  const std::string& src = valid_kernel();
  const tarvelon::api::Request request{.output = tarvelon::api::Request::Output::Python,
                                       .diagnosis = false};
  for (auto _ : state) {
    auto compiled = tarvelon::api::compile(src, request);
    if (compiled.error) {
      state.SkipWithError(compiled.error->to_string().substr(0, 200).c_str());
      break;
    }
    benchmark::DoNotOptimize(compiled.text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * src.size()));
}
BENCHMARK(BM_ParseLowerEmit)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
