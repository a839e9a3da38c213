#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "egraph/extract.h"
#include "egraph/runner.h"
#include "egraph/symbol_lang.h"
#include "egraph_test_util.h"

namespace tarvelon::egraph {
namespace {

using testing::add;
using testing::expr;
using testing::fault_of;
using testing::Graph;
using testing::LogCapture;
using testing::Node;
using testing::rule;

/// Number of nodes in the term, with an operator-specific weight ("big" costs 10).
struct WeightedSize {
  Cost node_cost(const Node& node, const ChildCosts& child_cost) {
    Cost cost = node.op().as_str() == "big" ? 10 : 1;
    for (Id child : node.children()) cost += child_cost(child);
    return cost;
  }
};

/// `WeightedSize` that declares its costs sums of a weight and the children's costs, which the
/// extractor then adds up itself.
struct AdditiveWeightedSize : WeightedSize {
  Cost node_weight(const Node& node) const { return node.op().as_str() == "big" ? 10 : 1; }
};
static_assert(AdditiveCostModel<AdditiveWeightedSize, Node>);
static_assert(!AdditiveCostModel<WeightedSize, Node>);

std::string best(const Graph& g, Id id) {
  Extractor<Node, WeightedSize> extractor(g, WeightedSize{});
  auto [cost, term] = extractor.find_best(id);
  return cat(cost, " ", to_string(term));
}

TEST(Extractor, ChoosesTheCheapestTermOfEachClass) {
  struct Case {
    const char* name;
    std::vector<const char*> equal;  // all merged into one class
    const char* expected;
  };
  const Case cases[] = {
      {"leaf beats a larger term", {"(+ x 0)", "x"}, "1 x"},
      {"weight decides, not size", {"big", "(f (g a))"}, "3 (f (g a))"},
      {"equal costs go to the first in class order", {"(k a)", "(h a)", "(j a)"}, "2 (h a)"},
      // (k b) gets its cost in the first sweep, before a and c have theirs; once the costs
      // settle, the tie still goes to the first node in class order.
      {"ties go by class order, not by which node got a cost first",
       {"(k b)", "(h a)", "(j c)"},
       "2 (h a)"},
      {"children of one class appear once", {"(* y y)", "(big y)"}, "3 (* y y)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph g;
    Id root = add(g, c.equal[0]);
    for (std::size_t i = 1; i < c.equal.size(); ++i) g.union_(root, add(g, c.equal[i]));
    g.rebuild();
    EXPECT_EQ(best(g, root), c.expected);
  }
}

TEST(Extractor, SharedSubtermsAreOneEntryAndRootIsLast) {
  Graph g;
  Id root = add(g, "(+ (* y y) (f (* y y)))");
  g.rebuild();
  Extractor<Node, WeightedSize> extractor(g, WeightedSize{});
  auto [cost, term] = extractor.find_best(root);
  EXPECT_EQ(cost, 8u);  // costs count every occurrence, the term shares them
  std::vector<std::string> entries;
  for (const Node& n : term) entries.push_back(node_text(n));
  EXPECT_EQ(entries, (std::vector<std::string>{"y", "(* 0 0)", "(f 1)", "(+ 1 2)"}));
  EXPECT_EQ(extractor.find_best_node(root), g[root].nodes[0]);
}

TEST(Extractor, CostsImproveAcrossSweepsUntilStable) {
  // "slow" is added first, so the first sweep settles class 1 on it before the cheaper route
  // through the later class exists; a later sweep must revise it.
  Graph g;
  Id a = add(g, "a");
  Id slow = add(g, "(big a)");
  Id cheap = add(g, "(f a)");
  Id top = add(g, "(t (big a))");
  g.union_(slow, cheap);
  g.rebuild();
  EXPECT_EQ(best(g, top), "3 (t (f a))");
  (void)a;
}

TEST(Extractor, ACheaperRouteFoundLateReachesEveryClassAboveIt) {
  struct Case {
    const char* name;
    const char* top;
    std::vector<std::pair<const char*, const char*>> merges;  // applied in order, then rebuilt
    const char* expected;
  };
  const Case cases[] = {
      {"three levels above", "(t (u (v (big a))))", {{"(big a)", "(f a)"}}, "5 (t (u (v (f a))))"},
      {"through a class merged after the parent was added",
       "(t (g (big a) (big b)))",
       {{"(big a)", "(h (big b))"}, {"(big b)", "b"}},
       "5 (t (g (h b) b))"},
      {"a loop back into the class",
       "(t (big a))",
       {{"(big a)", "(f (big a))"}, {"(big a)", "a"}},
       "2 (t a)"},
      {"one cheap leaf seen by both parents",
       "(g (k (big c)) (j (big c)))",
       {{"(big c)", "c"}},
       "5 (g (k c) (j c))"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph g;
    Id top = add(g, c.top);
    for (const auto& [x, y] : c.merges) g.union_(add(g, x), add(g, y));
    g.rebuild();
    EXPECT_EQ(best(g, top), c.expected);
  }
}

// Before a rebuild, two ids of one class may stand for equal terms: they are still one entry.
TEST(Extractor, AStoreAwaitingItsRebuildSharesEqualEntries) {
  Graph g;
  Id top = add(g, "(g (f a) (f b))");
  g.union_(add(g, "a"), add(g, "b"));
  ASSERT_FALSE(g.clean());
  Extractor<Node, WeightedSize> extractor(g, WeightedSize{});
  auto [cost, term] = extractor.find_best(top);
  EXPECT_EQ(cost, 5u);
  std::vector<std::string> entries;
  for (const Node& n : term) entries.push_back(node_text(n));
  EXPECT_EQ(entries, (std::vector<std::string>{"a", "(f 0)", "(g 1 1)"}));
}

// Every class's cost is the least fixed point that sweeping all classes until nothing changes
// finds, on stores grown from random terms and random merges.
TEST(Extractor, CostsAgreeWithSweepingEveryClassOnRandomStores) {
  std::uint64_t state = 12345;
  auto next = [&](std::uint64_t n) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return (state >> 33) % n;
  };
  std::function<std::string(int)> term = [&](int depth) -> std::string {
    const char* leaves[] = {"a", "b", "c"};
    if (depth == 0 || next(3) == 0) return leaves[next(3)];
    switch (next(3)) {
      case 0:
        return cat("(f ", term(depth - 1), ")");
      case 1:
        return cat("(big ", term(depth - 1), ")");
      default:
        return cat("(g ", term(depth - 1), " ", term(depth - 1), ")");
    }
  };
  for (int trial = 0; trial < 200; ++trial) {
    SCOPED_TRACE(trial);
    Graph g;
    std::vector<Id> ids;
    for (int k = 0; k < 8; ++k) ids.push_back(add(g, term(4)));
    for (int k = 0; k < 4; ++k) g.union_(ids[next(ids.size())], ids[next(ids.size())]);
    g.rebuild();
    // The reference: every class swept, in order, until a sweep changes nothing.
    std::map<Id, Cost> reference;
    WeightedSize model;
    for (bool changed = true; changed;) {
      changed = false;
      for (const EClass<Node>& c : g.classes()) {
        for (const Node& node : c.nodes) {
          bool ready = true;
          Cost cost = node.op().as_str() == "big" ? 10 : 1;
          for (Id child : node.children()) {
            auto it = reference.find(g.find(child));
            if (it == reference.end()) {
              ready = false;
            } else {
              cost += it->second;
            }
          }
          if (!ready) continue;
          auto [it, fresh] = reference.try_emplace(c.id, cost);
          if (fresh || cost < it->second) {
            it->second = cost;
            changed = true;
          }
        }
      }
    }
    Extractor<Node, WeightedSize> extractor(g, model);
    Extractor<Node, AdditiveWeightedSize> additive(g, AdditiveWeightedSize{});
    for (const EClass<Node>& c : g.classes()) {
      EXPECT_EQ(extractor.find_best_cost(c.id), reference.at(c.id)) << c.id;
      // Adding the costs up itself, the extractor finds and chooses exactly the same.
      EXPECT_EQ(additive.find_best_cost(c.id), reference.at(c.id)) << c.id;
      EXPECT_EQ(additive.find_best_node(c.id), extractor.find_best_node(c.id)) << c.id;
      // Ties go by the class's own order: the chosen node is its first of least cost, every
      // child of which is cheaper than it, whether the class holds one node or several.
      const Cost least = reference.at(c.id);
      auto first = std::find_if(c.nodes.begin(), c.nodes.end(), [&](const Node& node) {
        Cost cost = node.op().as_str() == "big" ? 10 : 1;
        for (Id child : node.children()) cost += reference.at(g.find(child));
        return cost == least &&
               std::all_of(node.children().begin(), node.children().end(),
                           [&](Id ch) { return reference.at(g.find(ch)) < least; });
      });
      ASSERT_NE(first, c.nodes.end()) << c.id;
      EXPECT_EQ(extractor.find_best_node(c.id), *first) << c.id;
      // The term of a clean store, built by class, is the one that sharing equal entries gives.
      const RecExpr<Node> shared = build_recexpr(extractor.find_best_node(c.id), [&](Id child) {
        return extractor.find_best_node(child);
      });
      EXPECT_EQ(extractor.find_best(c.id).second, shared) << c.id;
    }
  }
}

TEST(Extractor, AfterSaturationExtractsTheSimplestEquivalent) {
  Runner<Node> runner;
  runner.with_expr(expr("(* (+ x 0) (+ 0 1))"));
  std::vector<Rewrite<Node>> rules{rule("add-zero-r", "(+ ?x 0)", "?x"),
                                   rule("add-zero-l", "(+ 0 ?x)", "?x"),
                                   rule("mul-one", "(* ?x 1)", "?x")};
  runner.run(rules);
  EXPECT_EQ(best(runner.egraph(), runner.roots()[0]), "1 x");
}

TEST(Extractor, UnknownClassFaultsWithTheFixedMessage) {
  Graph g;
  add(g, "a");
  g.rebuild();
  Extractor<Node, WeightedSize> extractor(g, WeightedSize{});
  EXPECT_EQ(fault_of([&] { extractor.find_best(3); }),
            "index out of bounds: the len is 1 but the index is 3");
}

TEST(Logging, RecordsAreFormattedOnlyWhenASinkAcceptsTheirLevel) {
  int formatted = 0;
  auto make = [&] {
    ++formatted;
    return std::string("text");
  };
  log(LogLevel::Warn, make);
  EXPECT_EQ(formatted, 0);
  {
    LogCapture capture(LogLevel::Info);
    log(LogLevel::Debug, make);
    log(LogLevel::Info, make);
    log(LogLevel::Warn, make);
    EXPECT_EQ(formatted, 2);
    EXPECT_EQ(capture.messages(LogLevel::Warn), std::vector<std::string>{"text"});
  }
  log(LogLevel::Warn, make);
  EXPECT_EQ(formatted, 2);
}

TEST(Logging, ARunReportsItsPhasesAndStopReason) {
  LogCapture capture(LogLevel::Info);
  Runner<Node> runner;
  runner.with_expr(expr("(+ a 0)")).run(std::vector<Rewrite<Node>>{rule("zero", "(+ ?x 0)", "?x")});
  std::vector<std::string> info = capture.messages(LogLevel::Info);
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info.back(), "Stopping: Saturated");
  std::size_t iterations = 0, rebuilds = 0;
  for (const std::string& m : info) {
    iterations += m.starts_with("\nIteration ");
    rebuilds += m.starts_with("REBUILT! in ");
  }
  EXPECT_EQ(iterations, 2u);
  EXPECT_EQ(rebuilds, 3u);
}

}  // namespace
}  // namespace tarvelon::egraph
