#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "egraph/machine.h"
#include "egraph/pattern.h"
#include "egraph/symbol_lang.h"
#include "egraph_test_util.h"

namespace tarvelon::egraph {
namespace {

using testing::add;
using testing::fault_of;
using testing::Graph;
using testing::Node;

Pattern<Node> pattern(std::string_view text) {
  auto p = Pattern<Node>::from_str(text);
  if (!p) throw std::runtime_error(to_string(p.error()));
  return std::move(*p);
}

TEST(PatternCompile, ProducesTheExpectedInstructionSequence) {
  struct Case {
    std::string_view pattern;
    std::string program;
  };
  const Case cases[] = {
      {"(+ ?x ?x)",
       "Program { instructions: [Bind { node: (+ 0 0), eclass: 0, out: 1 }, Compare { i: 2, j: 1 "
       "}], "
       "subst: {?x: 1} }"},
      {"(* ?a (+ ?b ?c))",
       "Program { instructions: [Bind { node: (* 0 0), eclass: 0, out: 1 }, Bind { node: (+ 0 0), "
       "eclass: 2, "
       "out: 3 }], subst: {?a: 1, ?b: 3, ?c: 4} }"},
      {"(+ ?x (exp ?x))",
       "Program { instructions: [Bind { node: (+ 0 0), eclass: 0, out: 1 }, Lookup { term: "
       "[Reg(1), "
       "ENode((exp 0))], i: 2 }], subst: {?x: 1} }"},
      {"?x", "Program { instructions: [], subst: {?x: 0} }"},
      {"a", "Program { instructions: [Bind { node: a, eclass: 0, out: 1 }], subst: {} }"},
      {"(f a (g a))",
       "Program { instructions: [Lookup { term: [ENode(a), ENode((g 0)), ENode((f 0 1))], i: 0 }], "
       "subst: {} }"},
      // The sub-pattern with more unbound variables goes first; among equals, the one added last.
      {"(f (g ?x) (h ?y ?z))",
       "Program { instructions: [Bind { node: (f 0 0), eclass: 0, out: 1 }, Bind { node: (h 0 0), "
       "eclass: 2, "
       "out: 3 }, Bind { node: (g 0), eclass: 1, out: 5 }], subst: {?y: 3, ?z: 4, ?x: 5} }"},
      {"(f (g ?x) (h ?y))",
       "Program { instructions: [Bind { node: (f 0 0), eclass: 0, out: 1 }, Bind { node: (h 0), "
       "eclass: 2, "
       "out: 3 }, Bind { node: (g 0), eclass: 1, out: 4 }], subst: {?y: 3, ?x: 4} }"},
      // Once ?x is bound, (g ?x) is grounded and preferred; a bound leaf still binds.
      {"(f (g ?x) (h ?x) k)",
       "Program { instructions: [Bind { node: (f 0 0 0), eclass: 0, out: 1 }, Bind { node: k, "
       "eclass: 3, "
       "out: 4 }, Bind { node: (h 0), eclass: 2, out: 4 }, Lookup { term: [Reg(4), ENode((g 0))], "
       "i: 1 }], "
       "subst: {?x: 4} }"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(to_string(pattern(c.pattern).program()), c.program);
    // A pattern read but not compacted repeats its variables; each must still bind once.
    auto read = parse_recexpr<ENodeOrVar<Node>>(c.pattern);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(to_string(Program<Node>::compile_from_pat(*read)), c.program);
  }
}

/// Every match as "class: subst" in order.
std::vector<std::string> matches(const Graph& g, const Pattern<Node>& p,
                                 std::size_t limit = kNoLimit) {
  std::vector<std::string> out;
  for (const auto& m : p.search_with_limit(g, limit)) {
    for (const Subst& s : m.substs) out.push_back(cat(m.eclass, ": ", s));
  }
  return out;
}

/// What the machine finds running the pattern's program class after class, in `matches`' form:
/// the rows a whole-store search must find.
std::vector<std::string> machine_rows(const Graph& g, const Pattern<Node>& p,
                                      std::size_t limit = kNoLimit) {
  std::vector<std::string> out;
  std::size_t left = limit;
  for (const EClass<Node>& c : g.classes()) {
    if (left == 0) break;
    for (const Subst& s : p.program().run_with_limit(g, c.id, left)) {
      out.push_back(cat(c.id, ": ", s));
      --left;
    }
  }
  return out;
}

// Two programs are said to find the same rows only when they do on every store: renaming the
// variables keeps that, any other difference in the pattern loses it.
TEST(PatternCompile, FindsTheSameRowsOnlyUnderARenaming) {
  struct Case {
    std::string_view a, b;
    bool same;
  };
  const Case cases[] = {
      {"(+ ?a ?b)", "(+ ?b ?a)", true},
      {"(+ (+ ?x ?y) ?z)", "(+ (+ ?a ?b) ?c)", true},
      {"(f ?x 1)", "(f ?y 1)", true},
      {"(+ ?a ?b)", "(* ?a ?b)", false},
      {"(+ ?a ?a)", "(+ ?a ?b)", false},
      {"(+ ?x 0)", "(+ 0 ?x)", false},
      {"(f ?x 1)", "(f ?x 2)", false},
      {"(+ (+ ?a ?b) ?c)", "(+ ?a (+ ?b ?c))", false},
      {"(+ ?x (exp ?x))", "(+ ?y (exp ?y))", true},
      {"(+ ?x (exp ?x))", "(+ ?y (log ?y))", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + std::string(c.b));
    Pattern<Node> a = pattern(c.a), b = pattern(c.b);
    EXPECT_EQ(a.program().finds_same_rows(b.program()), c.same);
    EXPECT_EQ(b.program().finds_same_rows(a.program()), c.same);
  }
}

TEST(PatternSearch, RepeatedVariableRequiresOneClass) {
  Graph g;
  Id x = add(g, "x"), y = add(g, "y");
  Id xx = add(g, "(+ x x)");
  add(g, "(+ x y)");
  g.rebuild();
  Pattern<Node> p = pattern("(+ ?x ?x)");
  EXPECT_EQ(matches(g, p), std::vector<std::string>{cat(xx, ": {?x: ", x, "}")});
  g.union_(x, y);
  g.rebuild();
  EXPECT_EQ(matches(g, p), std::vector<std::string>{cat(g.find(xx), ": {?x: ", g.find(x), "}")});
}

TEST(PatternSearch, EveryChildLandsInItsOwnVariableWhateverTheArity) {
  const std::pair<const char*, const char*> cases[] = {
      {"(f a)", "{?a: 0}"},
      {"(f a b)", "{?a: 0, ?b: 1}"},
      {"(f a b c)", "{?a: 0, ?b: 1, ?c: 2}"},
      {"(f a b c d)", "{?a: 0, ?b: 1, ?c: 2, ?d: 3}"},
  };
  const char* const vars[] = {"?a", "?b", "?c", "?d"};
  for (const auto& [term, bound] : cases) {
    SCOPED_TRACE(term);
    Graph g;
    Id root = add(g, term);
    g.rebuild();
    std::string text = "(f";
    for (std::size_t k = 0; k < g.id_to_node(root).children().size(); ++k)
      text = cat(text, " ", vars[k]);
    // Nested one level down, so that the children are bound by a step that continues.
    Id outer = add(g, cat("(g ", term, ")"));
    g.rebuild();
    EXPECT_EQ(matches(g, pattern(text + ")")), std::vector<std::string>{cat(root, ": ", bound)});
    EXPECT_EQ(matches(g, pattern(cat("(g ", text, "))"))),
              std::vector<std::string>{cat(outer, ": ", bound)});
  }
}

TEST(PatternSearch, GroundedSubtermIsFoundByLookup) {
  Graph g;
  Id hit = add(g, "(+ a (exp a))");
  add(g, "(+ b (exp a))");
  g.rebuild();
  EXPECT_EQ(matches(g, pattern("(+ ?x (exp ?x))")),
            std::vector<std::string>{cat(hit, ": {?x: 0}")});
  EXPECT_EQ(matches(g, pattern("(f (exp a))")), std::vector<std::string>{});
}

TEST(PatternSearch, BareVariableMatchesEveryClassOnce) {
  Graph g;
  add(g, "(f a b)");
  g.rebuild();
  EXPECT_EQ(matches(g, pattern("?v")),
            (std::vector<std::string>{"0: {?v: 0}", "1: {?v: 1}", "2: {?v: 2}"}));
}

TEST(PatternSearch, LimitCutsMatchesInCandidateOrder) {
  Graph g;
  for (int i = 0; i < 10; ++i) add(g, cat("(f a", i, ")"));
  add(g, "(+ a0 a1)");
  g.union_(add(g, "(f a0)"), add(g, "(f a1)"));  // one class with two matches
  g.rebuild();
  Pattern<Node> p = pattern("(f ?x)");
  EXPECT_EQ(matches(g, p).size(), 10u);
  std::vector<std::string> five = matches(g, p, 5);
  EXPECT_EQ(five, (std::vector<std::string>{"1: {?x: 0}", "1: {?x: 2}", "5: {?x: 4}", "7: {?x: 6}",
                                            "9: {?x: 8}"}));
  EXPECT_EQ(matches(g, p, 0), std::vector<std::string>{});
  EXPECT_EQ(p.n_matches(g), 10u);
}

// The matcher nests one frame per bound node and checks the stack only every few levels: depths
// around that stride, and one far beyond any thread's stack, must all bind the innermost leaf.
TEST(PatternSearch, DeepChainsMatchAtEveryDepthAroundTheStackCheck) {
  for (std::size_t depth : {1u, 7u, 8u, 9u, 16u, 17u, 200'000u}) {
    SCOPED_TRACE(depth);
    auto nested = [depth](std::string_view leaf) {
      std::string text;
      for (std::size_t k = 0; k < depth; ++k) text += "(g ";
      text += leaf;
      text.append(depth, ')');
      return text;
    };
    Graph g;
    Id leaf = add(g, "a");
    Id root = add(g, nested("a"));
    add(g, nested("b"));
    g.rebuild();
    auto found = pattern(nested("?x")).search_eclass(g, root);
    ASSERT_TRUE(found.has_value());
    ASSERT_EQ(found->substs.size(), 1u);
    EXPECT_EQ(found->substs.row(0)[0], g.find(leaf));
  }
}

TEST(PatternSearch, AbsentOperatorYieldsNothingAndDirtyStoreFaults) {
  Graph g;
  add(g, "(f a)");
  g.rebuild();
  EXPECT_EQ(matches(g, pattern("(nothere ?x)")), std::vector<std::string>{});
  add(g, "(g a)");
  EXPECT_EQ(fault_of([&] { matches(g, pattern("(f ?x)")); }), "Tried to search a dirty e-graph!");
}

TEST(PatternSearch, LargeClassesAreSearchedByBinarySearchWithTheSameResult) {
  // One class of 60 leaves plus nodes of several operators, each sub-class searched both ways.
  for (std::size_t leaves : {10u, 60u}) {
    SCOPED_TRACE(leaves);
    Graph g;
    Id root = add(g, "m0");
    for (std::size_t i = 1; i < leaves; ++i) g.union_(root, add(g, cat("m", i)));
    Id a = add(g, "a"), b = add(g, "b");
    for (const char* t : {"(g a)", "(g b)", "(g a b)", "(h a)", "(zz b)", "(aa a)"})
      g.union_(root, add(g, t));
    g.rebuild();
    ASSERT_EQ(g[root].size(), leaves + 6);
    Id r = g.find(root);
    EXPECT_EQ(matches(g, pattern("(g ?x)")),
              (std::vector<std::string>{cat(r, ": {?x: ", a, "}"), cat(r, ": {?x: ", b, "}")}));
    EXPECT_EQ(matches(g, pattern("(g ?x ?y)")),
              std::vector<std::string>{cat(r, ": {?x: ", a, ", ?y: ", b, "}")});
    EXPECT_EQ(matches(g, pattern("(zz ?x)")), std::vector<std::string>{cat(r, ": {?x: ", b, "}")});
    EXPECT_EQ(matches(g, pattern("(aa ?x)")), std::vector<std::string>{cat(r, ": {?x: ", a, "}")});
    EXPECT_EQ(matches(g, pattern("(h ?x ?y)")), std::vector<std::string>{});
  }
}

TEST(PatternSearch, AClassIsSearchedAlikeByAnyOfItsIds) {
  // The ids a search binds below the root are canonical in a clean store; the id it starts from
  // is the caller's and may have been merged away.
  Graph g;
  std::vector<Id> ids;
  for (const char* t : {"(+ a b)", "(+ b a)", "(f a)", "(+ a a)", "(+ (+ a b) c)", "(* c c)"})
    ids.push_back(add(g, t));
  g.union_(ids[0], ids[1]);
  g.union_(ids[2], ids[3]);
  g.union_(ids[4], ids[5]);
  g.rebuild();
  for (const char* text : {"(+ ?x ?y)", "(+ (+ ?x ?y) ?z)", "(f ?x)", "(+ ?x ?x)", "(* ?x ?x)"}) {
    Pattern<Node> p = pattern(text);
    for (Id id : ids) {
      SCOPED_TRACE(cat(text, " from id ", id));
      EXPECT_EQ(p.program().run_with_limit(g, id, kNoLimit),
                p.program().run_with_limit(g, g.find(id), kNoLimit));
    }
  }
}

TEST(PatternSearch, WholeStoreSearchAgreesWithClassByClassRuns) {
  // One machine serves every class of a whole-store search; its registers from one class must
  // not leak into the next, whatever the pattern's shape.
  Graph g;
  for (const char* t : {"(+ a b)", "(+ b a)", "(+ (+ a b) c)", "(+ a (+ b c))", "(* a (+ a a))",
                        "(* (+ b c) (+ b c))", "(f a)", "(f (+ a b))"})
    add(g, t);
  g.union_(add(g, "(+ a b)"), add(g, "(+ b a)"));
  g.union_(add(g, "(f a)"), add(g, "(+ a a)"));
  g.rebuild();
  const char* const patterns[] = {
      "(+ ?x ?y)", "(+ ?x ?x)", "(+ (+ ?x ?y) ?z)", "(* ?x (+ ?x ?x))", "(* ?x ?x)",
      "(+ a b)",   "?v",        "(f (+ ?x ?y))",    "(* ?a (+ ?b ?c))"};
  for (const char* text : patterns) {
    Pattern<Node> p = pattern(text);
    for (std::size_t limit : {kNoLimit, std::size_t{1}, std::size_t{3}}) {
      SCOPED_TRACE(cat(text, " limit ", limit));
      EXPECT_EQ(matches(g, p, limit), machine_rows(g, p, limit));
    }
  }
}

TEST(PatternSearch, OneClassWithManyMatchesKeepsEveryRowInNodeOrder) {
  // The machine holds a few rows in itself and moves them to the heap as a class yields more.
  for (std::size_t n : {1u, 31u, 32u, 33u, 100u}) {
    SCOPED_TRACE(n);
    Graph g;
    Id root = add(g, "(f a0 b0)");
    for (std::size_t i = 1; i < n; ++i) g.union_(root, add(g, cat("(f a", i, " b", i, ")")));
    g.rebuild();
    Id r = g.find(root);
    std::vector<std::string> expected;
    for (const Node& node : g[r].nodes) {
      if (node.children().size() == 2)
        expected.push_back(
            cat(r, ": {?x: ", node.children()[0], ", ?y: ", node.children()[1], "}"));
    }
    ASSERT_EQ(expected.size(), n);
    EXPECT_EQ(matches(g, pattern("(f ?x ?y)")), expected);
  }
}

TEST(PatternSearch, CountingAgreesWithSearching) {
  // Counting settles a final Bind by the number of matching nodes; every other instruction must
  // still filter, and the limit must cut the count where it cuts the search.
  Graph g;
  for (const char* t : {"(+ a b)", "(+ b a)", "(+ (+ a b) c)", "(+ a (+ b c))", "(* a (+ a a))",
                        "(* (+ b c) (+ b c))", "(f a)", "(f (+ a b))", "(+ a (exp a))"})
    add(g, t);
  g.union_(add(g, "(+ a b)"), add(g, "(+ b a)"));
  g.union_(add(g, "(+ a b)"), add(g, "(+ c c)"));
  g.union_(add(g, "(f a)"), add(g, "(+ a a)"));
  g.rebuild();
  const char* const patterns[] = {
      "(+ ?x ?y)",        "(+ ?x ?x)",       "(+ (+ ?x ?y) ?z)", "(+ ?z (+ ?x ?y))",
      "(* ?x (+ ?x ?x))", "(+ ?x (exp ?x))", "(+ a b)",          "?v",
      "(f (+ ?x ?y))",    "(nothere ?x)"};
  for (const char* text : patterns) {
    Pattern<Node> p = pattern(text);
    const std::size_t all = matches(g, p).size();
    for (std::size_t limit : {kNoLimit, std::size_t{0}, std::size_t{1}, std::size_t{2}, all}) {
      SCOPED_TRACE(cat(text, " limit ", limit));
      EXPECT_EQ(p.count_with_limit(g, limit), matches(g, p, limit).size());
    }
  }
}

TEST(PatternSearch, CountingALargeClassStopsWhereSearchingItDoes) {
  // The last Bind's nodes are counted in one sweep; the limit must still cut the count inside
  // that sweep, in a class past the binary search's threshold and among other kinds.
  Graph g;
  Id big = add(g, "(+ a0 b0)");
  for (int i = 1; i < 60; ++i) {
    g.union_(big, add(g, cat("(+ a", i, " b", i, ")")));
    if (i % 4 == 0) g.union_(big, add(g, cat("(* a", i, " b", i, ")")));
  }
  add(g, "(g (+ a0 b0))");
  add(g, "(h (+ a0 b0) (+ a0 b0))");
  g.rebuild();
  for (const char* text :
       {"(g (+ ?x ?y))", "(g (* ?x ?y))", "(h (+ ?x ?y) (+ ?x ?y))", "(h ?z (+ ?x ?y))"}) {
    Pattern<Node> p = pattern(text);
    const std::size_t all = matches(g, p).size();
    for (std::size_t limit :
         {std::size_t{1}, std::size_t{14}, std::size_t{15}, all - 1, all, all + 1, kNoLimit}) {
      SCOPED_TRACE(cat(text, " limit ", limit));
      EXPECT_EQ(p.count_with_limit(g, limit), matches(g, p, limit).size());
    }
  }
}

TEST(PatternSearch, NestedLoopsFindWhatTheGeneralMachineFinds) {
  // Short chains of Binds run as nested loops; the same program with them unpacked nowhere runs
  // on the general machine, which must find the same rows in the same order and count alike.
  Graph g;
  for (const char* t : {"(+ a b)", "(+ b a)", "(+ (+ a b) c)", "(+ a (+ b c))", "(* a (+ a a))",
                        "(* (+ b c) (+ b c))", "(f a)", "(f (f (+ a b)))", "(g a a)", "(g a b)",
                        "(f (f (f (f a))))"})
    add(g, t);
  g.union_(add(g, "(+ a b)"), add(g, "(+ b a)"));
  g.union_(add(g, "(+ a b)"), add(g, "(+ c c)"));
  g.union_(add(g, "(f a)"), add(g, "(+ a a)"));
  g.union_(add(g, "(g a a)"), add(g, "(g a b)"));
  g.rebuild();
  struct Case {
    const char* pattern;
    std::size_t nested;
  };
  const Case cases[] = {
      {"(+ ?x ?y)", 1},        {"(+ ?x ?x)", 1},         {"(+ (+ ?x ?y) ?z)", 2},
      {"(+ ?z (+ ?x ?y))", 2}, {"(* ?x (+ ?x ?x))", 0},  {"(g ?x (f ?x))", 0},
      {"(+ (+ ?x ?y) ?x)", 2}, {"(f (f (+ ?x ?y)))", 3}, {"(f (f (f (f ?x))))", 0},
      {"(+ a b)", 0},          {"(+ ?x (f a))", 0},      {"(+ ?x c)", 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    Pattern<Node> p = pattern(c.pattern);
    EXPECT_EQ(p.program().nested_binds.size(), c.nested);
    Program<Node> general = p.program();
    general.nested_binds.clear();
    general.nested_compares.clear();
    for (std::size_t limit : {kNoLimit, std::size_t{1}, std::size_t{2}}) {
      for (const EClass<Node>& eclass : g.classes()) {
        EXPECT_EQ(p.program().run_with_limit(g, eclass.id, limit),
                  general.run_with_limit(g, eclass.id, limit));
      }
    }
  }
}

TEST(PatternSearch, RowsReadOffTheNodesAreTheMachinesRows) {
  // Patterns of one or two Binds and nothing else are searched without the machine. On random
  // stores, under any limit, they must find the machine's rows class by class in its order, and
  // count alike; the other shapes keep the machine.
  struct Case {
    const char* pattern;
    bool direct;
  };
  const Case cases[] = {{"(+ ?x ?y)", true},
                        {"(+ ?y ?x)", true},
                        {"(f ?x)", true},
                        {"(f ?x ?y)", true},
                        {"(h ?x ?y ?z)", true},
                        {"(+ (+ ?x ?y) ?z)", true},
                        {"(+ ?x (+ ?y ?z))", true},
                        {"(h ?x (f ?y) ?z)", true},
                        {"(+ ?x a)", true},
                        {"(+ a ?x)", true},
                        {"(f (f ?x))", true},
                        {"(f (+ ?x ?y) ?z)", true},
                        {"(+ ?x ?x)", false},
                        {"(+ (* ?x ?y) ?x)", false},
                        {"(f (f (f ?x)))", false},
                        {"(+ ?x (f a))", false},
                        {"?x", false}};
  const char* const ops[] = {"+", "*", "f", "f", "h"};
  const std::size_t arity[] = {2, 2, 1, 2, 3};
  for (unsigned seed = 0; seed < 24; ++seed) {
    std::mt19937 rng(seed);
    Graph g;
    std::vector<Id> ids = {add(g, "a"), add(g, "b"), add(g, "c")};
    for (int i = 0; i < 40; ++i) {
      const std::size_t op = rng() % 5;
      std::vector<Id> children;
      for (std::size_t k = 0; k < arity[op]; ++k) children.push_back(ids[rng() % ids.size()]);
      ids.push_back(g.add(Node(GlobalSymbol(ops[op]), children)));
    }
    // Every seed merges some classes; a few merge many into one, past the binary search's size.
    const int unions = seed % 4 == 0 ? 60 : 8;
    for (int i = 0; i < unions; ++i) g.union_(ids[rng() % ids.size()], ids[rng() % ids.size()]);
    g.rebuild();
    for (const Case& c : cases) {
      Pattern<Node> p = pattern(c.pattern);
      SCOPED_TRACE(cat(c.pattern, " seed ", seed));
      EXPECT_EQ(p.reads_rows_off_nodes(), c.direct);
      for (std::size_t limit : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3},
                                std::size_t{7}, std::size_t{40}, kNoLimit}) {
        SCOPED_TRACE(cat("limit ", limit));
        const std::vector<std::string> machine = machine_rows(g, p, limit);
        EXPECT_EQ(matches(g, p, limit), machine);
        EXPECT_EQ(p.count_with_limit(g, limit), machine.size());
      }
    }
  }
}

TEST(PatternApply, ApplierTakesEachVariableFromItsOwnColumn) {
  // The applier lists its variables in another order than the searcher binds them; a searcher
  // without variables gives rows of no columns, which the applier still instantiates.
  const std::pair<const char*, const char*> rules[] = {
      {"(f ?x ?y)", "(g ?y ?x)"}, {"(f ?x ?y)", "(g ?y ?y)"},
      {"(f ?x ?y)", "?y"},        {"(h (f ?x ?y) ?z)", "(g ?z (g ?y ?x))"},
      {"(f a b)", "(g b a)"},     {"b", "(k b)"}};
  const char* const expected[] = {"(g b a)", "(g b b)", "b", "(g c (g b a))", "(g b a)", "(k b)"};
  for (std::size_t k = 0; k < std::size(rules); ++k) {
    SCOPED_TRACE(rules[k].second);
    Graph g;
    Id root = add(g, "(h (f a b) c)");
    Id fab = add(g, "(f a b)");
    g.rebuild();
    Pattern<Node> lhs = pattern(rules[k].first), rhs = pattern(rules[k].second);
    rhs.apply_matches(g, lhs.search(g), GlobalSymbol("r"));
    g.rebuild();
    const std::string_view searched = rules[k].first;
    Id target = searched.starts_with("(h") ? root : searched.starts_with("(f") ? fab : add(g, "b");
    EXPECT_EQ(g.find(add(g, expected[k])), g.find(target));
  }
}

TEST(PatternApply, CountingMergesChangesTheGraphAsListingThem) {
  // Two twin graphs, one applied through the listing call and one through the counting call.
  const std::pair<const char*, const char*> rules[] = {{"(f ?x ?y)", "(f ?y ?x)"},
                                                       {"(f ?x ?y)", "?x"},
                                                       {"(f ?x ?x)", "(g ?x)"},
                                                       {"(g ?x)", "(g ?x)"}};
  for (const auto& [lhs_text, rhs_text] : rules) {
    SCOPED_TRACE(rhs_text);
    Graph listed, counted;
    for (Graph* g : {&listed, &counted}) {
      add(*g, "(h (f a b) (f b b) (g (f a a)))");
      g->rebuild();
    }
    Pattern<Node> lhs = pattern(lhs_text), rhs = pattern(rhs_text);
    const std::size_t n = rhs.apply_matches(listed, lhs.search(listed), GlobalSymbol("r")).size();
    EXPECT_EQ(rhs.apply_matches_count(counted, lhs.search(counted), GlobalSymbol("r")), n);
    EXPECT_EQ(listed.rebuild(), counted.rebuild());
    EXPECT_EQ(counted.dump(), listed.dump());
  }
}

TEST(PatternApply, LongRightHandSidesInstantiateLikeShortOnes) {
  // (g (g ... (k ?y ?x))) has depth + 3 entries: around and well past what is kept inline.
  for (std::size_t depth : {1u, 13u, 14u, 40u}) {
    SCOPED_TRACE(depth);
    std::string rhs = "(k ?y ?x)", expected = "(k b a)";
    for (std::size_t d = 0; d < depth; ++d) {
      rhs = cat("(g ", rhs, ")");
      expected = cat("(g ", expected, ")");
    }
    Graph g;
    Id fab = add(g, "(f a b)");
    g.rebuild();
    EXPECT_EQ(
        pattern(rhs).apply_matches(g, pattern("(f ?x ?y)").search(g), GlobalSymbol("r")).size(),
        1u);
    g.rebuild();
    EXPECT_EQ(g.find(add(g, expected)), g.find(fab));
  }
}

TEST(PatternApply, MergesInstancesAndReportsOnlyChangingMerges) {
  Graph g;
  Id fa = add(g, "(f a)");
  g.rebuild();
  Pattern<Node> lhs = pattern("(f ?x)"), rhs = pattern("(g ?x)");
  auto found = lhs.search(g);
  EXPECT_EQ(rhs.apply_matches(g, found, GlobalSymbol("r")).size(), 1u);
  g.rebuild();
  EXPECT_EQ(g.find(add(g, "(g a)")), g.find(fa));
  found = lhs.search(g);
  EXPECT_EQ(rhs.apply_matches(g, found, GlobalSymbol("r")), std::vector<Id>{});
  g.rebuild();
  Subst subst;
  subst.insert(Var::named(GlobalSymbol("?x")), 0);
  Id h = add(g, "(h a)");
  EXPECT_EQ(pattern("(k ?x)").apply_one(g, h, subst, nullptr, GlobalSymbol("r")),
            std::vector<Id>{h});
  EXPECT_EQ(fault_of([&] { pattern("(k ?y)").apply_one(g, h, subst, nullptr, GlobalSymbol("r")); }),
            "Var '?y=?y' not found in {?x: 0}");
}

TEST(PatternApply, VarsListsEachVariableOnceInEntryOrder) {
  std::vector<std::string> names;
  for (const Var& v : pattern("(f ?b (g ?a ?b) ?#2)").vars()) names.push_back(cat(v));
  EXPECT_EQ(names, (std::vector<std::string>{"?b", "?a", "?#2"}));
}

TEST(Subst, KeepsBindingsBeyondTheInlineCapacity) {
  Subst s;
  for (Id i = 0; i < 6; ++i) EXPECT_EQ(s.insert(Var::numbered(i), i * 10), std::nullopt);
  EXPECT_EQ(s.insert(Var::numbered(4), 7), std::optional<Id>(40));
  EXPECT_EQ(cat(s), "{?#0: 0, ?#1: 10, ?#2: 20, ?#3: 30, ?#4: 7, ?#5: 50}");
  EXPECT_EQ(s.get(Var::numbered(9)), std::nullopt);
}

}  // namespace
}  // namespace tarvelon::egraph
