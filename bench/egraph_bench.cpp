#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "egraph/extract.h"
#include "egraph/runner.h"
#include "egraph/symbol_lang.h"

namespace tarvelon::egraph {
namespace {

using Node = SymbolLang;

Rewrite<Node> rule(const char* name, const char* lhs, const char* rhs) {
  auto made = Rewrite<Node>::from_patterns(name, lhs, rhs);
  if (!made) throw std::runtime_error(made.error());
  return std::move(*made);
}

/// The optimizer's identity rules: commutativity and associativity of + and *, both directions.
std::vector<Rewrite<Node>> identity_rules() {
  return {rule("comm-add", "(+ ?a ?b)", "(+ ?b ?a)"),
          rule("comm-add-rev", "(+ ?b ?a)", "(+ ?a ?b)"),
          rule("comm-mul", "(* ?a ?b)", "(* ?b ?a)"),
          rule("comm-mul-rev", "(* ?b ?a)", "(* ?a ?b)"),
          rule("assoc-add", "(+ (+ ?a ?b) ?c)", "(+ ?a (+ ?b ?c))"),
          rule("assoc-add-rev", "(+ ?a (+ ?b ?c))", "(+ (+ ?a ?b) ?c)"),
          rule("assoc-mul", "(* (* ?a ?b) ?c)", "(* ?a (* ?b ?c))"),
          rule("assoc-mul-rev", "(* ?a (* ?b ?c))", "(* (* ?a ?b) ?c)")};
}

/// x0 + x1 + ... + x7, nested to the left as the parser builds it.
RecExpr<Node> sum_of_eight() {
  RecExpr<Node> e;
  Id acc = e.add(Node("x0", {}));
  for (int i = 1; i < 8; ++i) {
    Id x = e.add(Node(GlobalSymbol("x" + std::to_string(i)), {}));
    acc = e.add(Node("+", {acc, x}));
  }
  return e;
}

struct AstSize {
  Cost node_cost(const Node& node, const ChildCosts& child_cost) {
    Cost cost = 1;
    for (Id child : node.children()) cost += child_cost(child);
    return cost;
  }
};

/// Saturation with the optimizer's limits (8 iterations, 20,000 nodes), then extraction. With
/// argument 0 the runner keeps its backoff scheduler; with 1 it searches every rule fully, which
/// reaches the node limit.
void BM_SaturateSumOfEight(benchmark::State& state) {
  std::vector<Rewrite<Node>> rules = identity_rules();
  RecExpr<Node> term = sum_of_eight();
  std::size_t nodes = 0, classes = 0, iterations = 0;
  for (auto _ : state) {
    Runner<Node> runner;
    if (state.range(0) == 1) runner.with_scheduler(std::make_unique<RewriteScheduler<Node>>());
    runner.with_iter_limit(8).with_node_limit(20'000).with_time_limit(std::chrono::seconds(5));
    runner.with_expr(term).run(rules);
    Extractor<Node, AstSize> extractor(runner.egraph(), AstSize{});
    benchmark::DoNotOptimize(extractor.find_best(runner.roots()[0]));
    nodes = runner.egraph().node_count();
    classes = runner.egraph().class_count();
    iterations = runner.iterations().size();
  }
  state.counters["nodes"] = static_cast<double>(nodes);
  state.counters["classes"] = static_cast<double>(classes);
  state.counters["iterations"] = static_cast<double>(iterations);
}
BENCHMARK(BM_SaturateSumOfEight)
    ->ArgName("unbanned")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);

/// Adds a random term of `state.range(0)` nodes over 64 leaves, merges one pair in 16, rebuilds.
void BM_AddAndRebuildRandomTerm(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const GlobalSymbol ops[] = {GlobalSymbol("+"), GlobalSymbol("*"), GlobalSymbol("neg")};
  std::vector<GlobalSymbol> leaves;
  for (int i = 0; i < 64; ++i) leaves.emplace_back("v" + std::to_string(i));
  std::size_t nodes = 0, classes = 0;
  for (auto _ : state) {
    EGraph<Node> g;
    std::vector<Id> ids;
    ids.reserve(size);
    std::uint64_t seed = 42;
    auto next = [&] {
      seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
      return static_cast<std::size_t>(seed >> 33);
    };
    for (GlobalSymbol leaf : leaves) ids.push_back(g.add(Node(leaf, {})));
    while (ids.size() < size) {
      std::size_t op = next() % 3;
      Id a = ids[next() % ids.size()], b = ids[next() % ids.size()];
      Id children[] = {a, b};
      ids.push_back(g.add(Node(ops[op], std::span<const Id>(children, op == 2 ? 1 : 2))));
      if (ids.size() % 16 == 0) g.union_(ids[next() % ids.size()], ids[next() % ids.size()]);
    }
    g.rebuild();
    nodes = g.node_count();
    classes = g.class_count();
  }
  state.counters["nodes"] = static_cast<double>(nodes);
  state.counters["classes"] = static_cast<double>(classes);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_AddAndRebuildRandomTerm)->Arg(100'000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarvelon::egraph

BENCHMARK_MAIN();
