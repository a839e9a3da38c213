#include <gtest/gtest.h>

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
