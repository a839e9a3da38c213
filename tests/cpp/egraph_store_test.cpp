#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/flat_map.h"
#include "egraph/hash.h"
#include "egraph/symbol_lang.h"
#include "egraph/unionfind.h"
#include "egraph_test_util.h"
#include "opt/lang.h"

namespace tarvelon::egraph {
namespace {

using testing::add;
using testing::fault_of;
using testing::Graph;
using testing::Node;

TEST(UnionFind, CompressingFindHalvesThePathAndPlainFindChangesNothing) {
  UnionFind uf;
  for (int i = 0; i < 5; ++i) uf.make_set();
  for (Id i = 1; i < 5; ++i) uf.union_roots(i - 1, i);  // 4 -> 3 -> 2 -> 1 -> 0
  EXPECT_EQ(uf.find(4), 0u);
  EXPECT_EQ(uf.parent(4), 3u);
  EXPECT_EQ(uf.find_mut(4), 0u);
  std::vector<Id> parents;
  for (Id i = 0; i < 5; ++i) parents.push_back(uf.parent(i));
  EXPECT_EQ(parents, (std::vector<Id>{0, 0, 0, 2, 2}));
  EXPECT_EQ(fault_of([&] { uf.find(5); }), "index out of bounds: the len is 5 but the index is 5");
}

TEST(FlatHashMap, EveryEntrySurvivesGrowthAndAbsentKeysStayAbsent) {
  // Sizes on either side of the first growths (a table of 16 holds 12 entries, one of 64
  // holds 48) and past the step from quadrupling to doubling (16384 slots hold 12288).
  for (Id n : {0u, 1u, 12u, 13u, 48u, 49u, 1000u, 12288u, 12289u, 30000u}) {
    SCOPED_TRACE(n);
    FlatHashMap<Id, Id, IdHash> map;
    for (Id k = 0; k < n; ++k) {
      auto [value, inserted] = map.try_emplace(k * 7919, k);
      ASSERT_TRUE(inserted);
      ASSERT_EQ(*value, k);
    }
    EXPECT_EQ(map.size(), n);
    for (Id k = 0; k < n; ++k) {
      const Id* found = map.find(k * 7919);
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(*found, k);
      EXPECT_EQ(map.find(k * 7919 + 1), nullptr);
      auto [again, inserted] = map.try_emplace(k * 7919, k + 1);
      EXPECT_FALSE(inserted);
      EXPECT_EQ(*again, k);
    }
    EXPECT_EQ(map.size(), n);
  }
}

TEST(EGraphStore, AddingAnEqualNodeAgainReturnsItsIdAndCreatesNothing) {
  Graph g;
  Id first = add(g, "(f a b)");
  EXPECT_EQ(g.node_count(), 3u);
  EXPECT_EQ(g.class_count(), 3u);
  EXPECT_EQ(add(g, "(f a b)"), first);
  EXPECT_EQ(g.add_uncanonical(Node("a", {})), 0u);
  EXPECT_EQ(g.node_count(), 3u);
  EXPECT_EQ(g.class_count(), 3u);
}

TEST(EGraphStore, UnionOfAClassWithItselfMergesNothingButDirtiesTheStore) {
  Graph g;
  Id a = add(g, "a");
  g.rebuild();
  ASSERT_TRUE(g.clean());
  EXPECT_FALSE(g.union_(a, a));
  EXPECT_FALSE(g.clean());
  EXPECT_EQ(g.rebuild(), 0u);
  EXPECT_TRUE(g.clean());
}

// Which class survives a merge: the one with more parents, else the first argument's.
TEST(EGraphStore, MergeSurvivorFollowsParentCountsThenArgumentOrder) {
  struct Case {
    const char* name;
    std::vector<const char*> terms;  // "x" and "y" get parents from these
    bool x_first;
    const char* survivor;
  };
  const Case cases[] = {
      {"equal parents, x first", {}, true, "x"},
      {"equal parents, y first", {}, false, "y"},
      {"y has more parents, x first", {"(f y)"}, true, "y"},
      {"x has more parents, y first", {"(f x)", "(g x)"}, false, "x"},
  };
  // The checked entry and the one the rules' instances take must pick the same survivor.
  for (auto unite : {&Graph::union_, &Graph::union_stored}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      Graph g;
      Id x = add(g, "x"), y = add(g, "y");
      for (const char* t : c.terms) add(g, t);
      EXPECT_TRUE(c.x_first ? (g.*unite)(x, y) : (g.*unite)(y, x));
      EXPECT_FALSE((g.*unite)(x, y));
      Id survivor = std::string(c.survivor) == "x" ? x : y;
      EXPECT_EQ(g.find(x), survivor);
      EXPECT_EQ(g.find_stored(y), survivor);
    }
  }
}

// Applying a rule looks up row ids and existing nodes that merges since the search have hung
// deep under other roots; the lookups that shorten those paths must answer what the plain find
// answers, and change no id's root.
TEST(EGraphStore, PathShorteningLookupsKeepEveryRoot) {
  for (int depth : {1, 2, 3, 6}) {
    SCOPED_TRACE(depth);
    Graph g;
    std::vector<Id> leaves;
    for (int i = 0; i <= depth; ++i) leaves.push_back(add(g, "l" + std::to_string(i)));
    // Each merge hangs the last root under the next leaf: l0 -> l1 -> ... -> l<depth>.
    for (int i = 1; i <= depth; ++i) ASSERT_TRUE(g.union_(leaves[i], leaves[i - 1]));
    const Id root = leaves[depth];
    std::vector<Id> before;
    for (Id id = 0; id < g.union_find().size(); ++id) before.push_back(g.find(id));
    const std::size_t nodes = g.node_count();
    // An existing leaf, whose stored id is the deepest of the chain, and an id from a row.
    EXPECT_EQ(g.add_with_root_children(Node("l0", {})), root);
    EXPECT_EQ(g.find_stored_mut(leaves[0]), root);
    EXPECT_EQ(g.find_stored_mut(leaves[0]), root);
    EXPECT_EQ(g.node_count(), nodes);
    std::vector<Id> after;
    for (Id id = 0; id < before.size(); ++id) after.push_back(g.find(id));
    EXPECT_EQ(after, before);
  }
}

TEST(EGraphStore, MergeAppendsTheShorterNodeListBehindTheLongerOne) {
  Graph g;
  Id a = add(g, "a"), b = add(g, "b"), c = add(g, "c");
  add(g, "(f c)");
  add(g, "(g c)");
  ASSERT_TRUE(g.union_(a, b));  // class a: [a, b]
  ASSERT_TRUE(g.union_(c, a));  // c survives on parents; its one node goes behind [a, b]
  EXPECT_EQ(g.find(a), c);
  EXPECT_EQ(nodes_text<Node>(g[c].nodes), "[a, b, c]");
}

TEST(EGraphStore, CongruenceMergesParentsAtRebuildAndKeepsStaleMemoKeys) {
  Graph g;
  Id a = add(g, "a"), b = add(g, "b");
  Id fa = add(g, "(f a)"), fb = add(g, "(f b)");
  EXPECT_TRUE(g.union_(a, b));
  EXPECT_NE(g.find(fa), g.find(fb));
  testing::LogCapture log(LogLevel::Info);
  EXPECT_EQ(g.rebuild(), 1u);
  EXPECT_EQ(g.find(fa), g.find(fb));
  EXPECT_EQ(g.node_count(), 4u);
  EXPECT_EQ(g.class_count(), 2u);
  EXPECT_EQ(nodes_text<Node>(g[fa].nodes), "[(f " + std::to_string(g.find(a)) + ")]");
  // The first line carries the elapsed time; the rest is exact.
  auto records = log.messages(LogLevel::Info);
  ASSERT_EQ(records.size(), 1u);
  std::string rest = records[0].substr(records[0].find('\n') + 1);
  EXPECT_EQ(rest,
            "  Old: hc size 4, eclasses: 3\n  New: hc size 4, eclasses: 2\n  unions: 1, trimmed "
            "nodes: 1");
  EXPECT_TRUE(records[0].starts_with("REBUILT! in 0.0"));
}

// Pending ids are taken newest first; each congruent hit hands its memo slot to the id being
// processed and merges the previous holder (first) with it, so that class survives the ties.
TEST(EGraphStore, RebuildTakesPendingIdsNewestFirstAndHandsOverMemoSlots) {
  Graph g;
  Id a = add(g, "a"), b = add(g, "b"), c = add(g, "c");
  Id fa = add(g, "(f a)"), fb = add(g, "(f b)"), fc = add(g, "(f c)");
  g.rebuild();
  g.union_(a, b);  // pending: fb
  g.union_(a, c);  // pending: fb, fc
  EXPECT_EQ(g.rebuild(), 2u);
  EXPECT_EQ(g.find(fb), fa);
  EXPECT_EQ(g.find(fc), fa);
  // fc was processed first and took the slot from fa, then fb took it from fc.
  EXPECT_EQ(g.add_uncanonical(Node("f", {a})), fb);
}

TEST(EGraphStore, RebuildSortsDeduplicatesAndIndexesByOperator) {
  Graph g;
  Id z = add(g, "z");
  Id a = add(g, "a");
  Id m = add(g, "(m z)");
  Id k = add(g, "(k a)");
  g.union_(m, z);
  g.union_(m, a);
  g.union_(m, k);
  g.rebuild();
  std::string root = std::to_string(g.find(m));
  EXPECT_EQ(nodes_text<Node>(g[m].nodes), "[a, (k " + root + "), (m " + root + "), z]");
  const std::vector<Id>* with_k = g.classes_by_op(Node("k", {0}).discriminant());
  ASSERT_NE(with_k, nullptr);
  EXPECT_EQ(*with_k, std::vector<Id>{g.find(m)});
  EXPECT_EQ(g.classes_by_op(Node("absent", {}).discriminant()), nullptr);
}

TEST(EGraphStore, RebuildAfterChangelessOperationsKeepsTheStoreAndItsIndex) {
  struct Case {
    const char* what;
    std::function<void(Graph&)> operations;
    bool changes;
  };
  const Case cases[] = {
      {"nothing", [](Graph&) {}, false},
      {"existing node added", [](Graph& g) { add(g, "(f (g a) b)"); }, false},
      {"class merged with itself", [](Graph& g) { g.union_(add(g, "(g a)"), add(g, "c")); }, false},
      {"new node", [](Graph& g) { add(g, "(h b)"); }, true},
      {"two classes merged", [](Graph& g) { g.union_(add(g, "a"), add(g, "b")); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Graph g;
    add(g, "(f (g a) b)");
    g.union_(add(g, "(g a)"), add(g, "c"));
    g.rebuild();
    const std::string before = g.dump();
    const std::vector<Id> with_g = *g.classes_by_op(Node("g", {0}).discriminant());
    c.operations(g);
    g.rebuild();
    EXPECT_TRUE(g.clean());
    EXPECT_EQ(g.dump() != before, c.changes) << g.dump();
    // Whatever happened, the store is canonical: a fresh rebuild of the same operations agrees.
    Graph fresh;
    add(fresh, "(f (g a) b)");
    fresh.union_(add(fresh, "(g a)"), add(fresh, "c"));
    c.operations(fresh);
    fresh.rebuild();
    EXPECT_EQ(g.dump(), fresh.dump());
    if (!c.changes) {
      EXPECT_EQ(*g.classes_by_op(Node("g", {0}).discriminant()), with_g);
    }
  }
}

TEST(EGraphStore, LookupCanonicalizesChildrenWithoutChangingTheStore) {
  Graph g;
  Id a = add(g, "a"), b = add(g, "b");
  Id fa = add(g, "(f a)");
  g.union_(a, b);
  g.rebuild();
  Id loser = g.find(a) == a ? b : a;
  EXPECT_EQ(g.lookup(Node("f", {loser})), g.find(fa));
  EXPECT_EQ(g.lookup(Node("f", {loser, loser})), std::nullopt);
  EXPECT_EQ(g.id_to_node(fa), Node("f", {a}));
}

TEST(EGraphStore, DumpListsClassesInIdOrderWithSortedNodes) {
  Graph g;
  add(g, "(+ b a)");
  g.union_(0, 1);
  EXPECT_EQ(g.dump(), "0 (): [a, b]\n2 (): [(+ 0 1)]\n");
  g.rebuild();
  EXPECT_EQ(g.dump(), "0 (): [a, b]\n2 (): [(+ 0 0)]\n");
}

TEST(EGraphStore, AddingAnExpressionReportsTheIdOfEveryEntry) {
  Graph g;
  add(g, "b");
  // Entries: a, b, (f 0 1), a again; equal entries share an id.
  std::vector<Id> ids = g.add_expr_entries(testing::expr("(g (f a b) a)"));
  EXPECT_EQ(ids, (std::vector<Id>{1, 0, 2, 1, 3}));
  EXPECT_EQ(g.add_expr(testing::expr("(f a b)")), 2u);
}

TEST(EGraphStore, ClassesAddedOneByOnePastEveryGrowthStepStayWhole) {
  // The arrays indexed by id grow fourfold up to 16384 ids and twofold after: a chain of 40000
  // classes crosses both kinds of step.
  constexpr Id kClasses = 40000;
  Graph g;
  Id last = add(g, "a");
  for (Id i = 1; i < kClasses; ++i) last = g.add(Node("f", {last}));
  EXPECT_EQ(g.class_count(), kClasses);
  EXPECT_EQ(g.node_count(), kClasses);
  for (Id i = 1; i < kClasses; i += 997) EXPECT_EQ(g.id_to_node(i), Node("f", {i - 1}));
  // a = (f a) makes every link of the chain congruent to the next.
  g.union_(0, 1);
  g.rebuild();
  EXPECT_EQ(g.class_count(), 1u);
  EXPECT_EQ(g.find(kClasses - 1), g.find(0));
}

TEST(EGraphStore, MisuseThrowsTheFixedFault) {
  Graph g;
  add(g, "a");
  EXPECT_EQ(fault_of([&] { g[7]; }), "index out of bounds: the len is 1 but the index is 7");
  EXPECT_EQ(fault_of([&] { g.add_expr(RecExpr<Node>()); }), "cannot add an empty expression");
  EXPECT_EQ(fault_of([&] { g.add(Node("f", {3})); }),
            "index out of bounds: the len is 1 but the index is 3");
  EXPECT_EQ(fault_of([&] { Node("f", {0, 0, 0, 0, 0}); }), "a node has at most 4 children");
  EXPECT_EQ(fault_of([&] { g.union_(0, 5); }),
            "index out of bounds: the len is 1 but the index is 5");
  EXPECT_EQ(fault_of([&] { g.union_(6, 0); }),
            "index out of bounds: the len is 1 but the index is 6");
  EXPECT_EQ(g.node_count(), 1u);
  EXPECT_EQ(g.class_count(), 1u);
}

TEST(EGraphStore, AddAndRebuildAgreeWithAnIndependentClosureOnARandomTerm) {
  // Deep random terms over two leaves with random merges: after every rebuild, two nodes with
  // equal operator and equal child classes must share a class. Rebuilding between rounds leaves
  // nodes added since, and merges of their children, for the next rebuild to repair.
  for (int round_length : {400, 50, 7}) {
    SCOPED_TRACE(round_length);
    Graph g;
    std::vector<Id> ids{add(g, "a"), add(g, "b")};
    std::uint64_t state = 12345;
    auto next = [&] {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      return static_cast<std::size_t>(state >> 33);
    };
    for (int i = 1; i <= 400; ++i) {
      Id l = ids[next() % ids.size()], r = ids[next() % ids.size()];
      ids.push_back(g.add(Node(next() % 2 ? "f" : "g", {l, r})));
      if (i % 37 == 0) g.union_(ids[next() % ids.size()], ids[next() % ids.size()]);
      if (i % round_length != 0) continue;
      g.rebuild();
      std::size_t nodes = 0;
      for (const auto& c : g.classes()) {
        nodes += c.nodes.size();
        EXPECT_TRUE(std::is_sorted(c.nodes.begin(), c.nodes.end()));
        for (const Node& n : c.nodes) {
          EXPECT_EQ(g.lookup(n), c.id);
          for (Id child : n.children()) EXPECT_EQ(g.find(child), child);
        }
      }
      EXPECT_LE(nodes, g.node_count());
    }
  }
}

TEST(EGraphStore, AddingANodeWithRootChildrenAgreesWithAddingItAsGiven) {
  struct Case {
    const char* what;
    const char* node;
    bool is_new;
  };
  // The store holds (f a b), (g a) and c, then merges a with b and (g a) with c, and rebuilds.
  const Case cases[] = {
      {"a node the store holds", "(f a b)", false},
      {"a node equal to a held one once merges count", "(f b a)", false},
      {"a node held under a class merged since", "(g b)", false},
      {"a new node over merged classes", "(h a b)", true},
      {"a new leaf", "d", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Graph given, rooted;
    for (Graph* g : {&given, &rooted}) {
      add(*g, "(f a b)");
      g->union_(add(*g, "a"), add(*g, "b"));
      g->union_(add(*g, "(g a)"), add(*g, "c"));
      g->rebuild();
    }
    const std::size_t before = given.node_count();
    RecExpr<Node> e = testing::expr(c.node);
    std::vector<Id> ids = given.add_expr_entries(e);
    Id last = given.find(ids.back());
    // The same entries, each child mapped to the root of the class the entries before it made.
    std::vector<Id> roots;
    for (const Node& entry : e)
      roots.push_back(rooted.add_with_root_children(
          map_children(entry, [&](Id child) { return rooted.find(roots[child]); })));
    EXPECT_EQ(roots.back(), last);
    EXPECT_EQ(given.node_count() != before, c.is_new);
    EXPECT_EQ(rooted.node_count(), given.node_count());
    given.rebuild();
    rooted.rebuild();
    EXPECT_EQ(rooted.dump(), given.dump());
  }
}

/// Every class's nodes have root children and are sorted and distinct, and the by-operator index
/// lists, under each kind, exactly the classes holding a node of it, in ascending order.
template <Language L>
void expect_tidy_and_indexed(const EGraph<L>& g) {
  std::map<std::uint32_t, std::vector<Id>> expected;
  for (const EClass<L>& c : g.classes()) {
    const std::vector<L> nodes(c.nodes.begin(), c.nodes.end());
    for (const L& node : nodes) {
      for (Id child : node.children()) EXPECT_EQ(g.find(child), child) << node_text(node);
      std::vector<Id>& with_kind = expected[node.discriminant()];
      if (with_kind.empty() || with_kind.back() != c.id) with_kind.push_back(c.id);
    }
    EXPECT_TRUE(std::is_sorted(nodes.begin(), nodes.end())) << nodes_text<L>(nodes);
    EXPECT_EQ(std::adjacent_find(nodes.begin(), nodes.end()), nodes.end()) << nodes_text<L>(nodes);
  }
  for (const auto& [kind, ids] : expected) {
    const std::vector<Id>* listed = g.classes_by_op(kind);
    ASSERT_NE(listed, nullptr) << kind;
    EXPECT_EQ(*listed, ids) << kind;
  }
}

/// Rounds of merges between the classes of terms, a rebuild after each, read in a language whose
/// every operator kind has a bit of its own and in one whose kinds are symbol handles.
template <Language L>
void run_rounds_of_merges() {
  struct Case {
    const char* what;
    std::vector<const char*> terms;
    /// Per round, pairs of indices into `terms` whose classes merge.
    std::vector<std::vector<std::pair<int, int>>> rounds;
    std::size_t classes;
  };
  const Case cases[] = {
      {"congruence climbs three levels in one rebuild",
       {"(exp (log (neg a)))", "(exp (log (neg b)))", "a", "b"},
       {{{2, 3}}},
       4},
      {"a merge below a class the last rebuild left alone",
       {"(+ (exp x) (exp y))", "(* z z)", "x", "y", "z", "(exp x)"},
       {{{2, 3}}, {{4, 5}}},
       4},
      {"an absorbed class's parents merge again a round later",
       {"(+ a b)", "(+ b a)", "(* (+ a b) c)", "(* (+ b a) c)", "a", "b", "c"},
       {{{0, 1}}, {{4, 5}}, {{5, 6}}},
       3},
      {"nodes of several kinds gather in one class",
       {"(exp a)", "(log a)", "(neg a)", "(+ a a)", "a"},
       {{{0, 1}, {2, 3}}, {{0, 3}}, {{3, 4}}},
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EGraph<L> g;
    std::vector<Id> ids;
    for (const char* term : c.terms) {
      auto parsed = parse_recexpr<L>(term);
      ASSERT_TRUE(parsed.has_value()) << term;
      ids.push_back(g.add_expr(*parsed));
    }
    g.rebuild();
    expect_tidy_and_indexed(g);
    for (const auto& round : c.rounds) {
      for (auto [i, j] : round) g.union_(ids[i], ids[j]);
      g.rebuild();
      expect_tidy_and_indexed(g);
    }
    EXPECT_EQ(g.class_count(), c.classes) << g.dump();
  }
}

TEST(EGraphStore, NodesAddedSinceTheLastRebuildMeetTheirCongruentPeersAtTheNext) {
  struct Case {
    const char* what;
    std::vector<const char*> before;  // added, then rebuilt
    std::vector<const char*> after;   // added after that rebuild
    std::vector<std::pair<const char*, const char*>> merges;
    std::vector<std::pair<const char*, const char*>> equal;
  };
  const Case cases[] = {
      {"a new parent of a merged leaf",
       {"(f a)", "b"},
       {"(f b)"},
       {{"a", "b"}},
       {{"(f a)", "(f b)"}}},
      {"a new parent whose leaf was absorbed by the new one's",
       {"(f a)"},
       {"(f b)"},
       {{"b", "a"}},
       {{"(f b)", "(f a)"}}},
      {"two new parents, one above the other",
       {"(g (f a))", "b"},
       {"(g (f b))"},
       {{"a", "b"}},
       {{"(g (f a))", "(g (f b))"}, {"(f a)", "(f b)"}}},
      {"new nodes only", {}, {"(h c d)", "(h c e)"}, {{"d", "e"}}, {{"(h c d)", "(h c e)"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Graph g;
    for (const char* term : c.before) add(g, term);
    g.rebuild();
    for (const char* term : c.after) add(g, term);
    for (auto [x, y] : c.merges) g.union_(add(g, x), add(g, y));
    g.rebuild();
    for (auto [x, y] : c.equal) EXPECT_EQ(g.find(add(g, x)), g.find(add(g, y))) << x << " " << y;
    expect_tidy_and_indexed(g);
    EXPECT_TRUE(g.clean());
  }
}

TEST(EGraphStore, ALargeClassHandsTheMatcherExactlyTheNodesOfAKind) {
  using opt::MathLang;
  using opt::MathOp;
  // Sizes on either side of the binary search's threshold; kinds at the front, middle and back
  // of the sorted order, payload leaves among them.
  for (int n : {10, 60, 200}) {
    SCOPED_TRACE(n);
    EGraph<MathLang> g;
    Id x = g.add(MathLang::type_token(GlobalSymbol("x")));
    std::vector<Id> ids;
    for (int i = 0; i < n; ++i) {
      ids.push_back(g.add(MathLang::num(0.5 * i)));
      if (i % 3 == 0) ids.push_back(g.add(MathLang::integer(i)));
      if (i % 2 == 0) ids.push_back(g.add(MathLang(MathOp::Add, {x, ids[i % ids.size()]})));
    }
    for (Id id : ids) g.union_(ids.front(), id);
    g.rebuild();
    const EClass<MathLang>& c = g[ids.front()];
    const std::vector<MathLang> nodes(c.nodes.begin(), c.nodes.end());
    const MathLang probes[] = {MathLang::boolean(false),     MathLang::integer(3),
                               MathLang::integer(1 << 20),   MathLang::num(-1.0),
                               MathLang::num(7.5),           MathLang(MathOp::Add, {0, 0}),
                               MathLang(MathOp::Mul, {0, 0})};
    for (const MathLang& probe : probes) {
      SCOPED_TRACE(debug_text(probe));
      // A small class holding the kind is handed whole: the matcher checks each node anyway.
      // One without it hands over nothing.
      const bool has_kind = std::any_of(nodes.begin(), nodes.end(), [&](const MathLang& node) {
        return node.discriminant() == probe.discriminant();
      });
      const bool whole = has_kind && nodes.size() < EClass<MathLang>::kBinarySearchThreshold;
      std::vector<MathLang> expected;
      for (const MathLang& node : nodes)
        if (whole || node.discriminant() == probe.discriminant()) expected.push_back(node);
      std::span<const MathLang> run = c.matching_run(probe);
      EXPECT_EQ(std::vector<MathLang>(run.begin(), run.end()), expected);
    }
  }
}

TEST(EGraphStore, RebuildsLeaveEveryClassTidyAndIndexedRoundAfterRound) {
  run_rounds_of_merges<opt::MathLang>();
  run_rounds_of_merges<Node>();
}

TEST(EGraphStore, ALargeClassGatheredFromManyClassesRebuildsSortedAndWhole) {
  // Every (f xi xj) of 12 leaves, gathered into classes of five and then into one, each absorbed
  // class a run of its own; merging leaves pairwise moves children and makes duplicates.
  constexpr int kLeaves = 12;
  Graph g;
  std::vector<Id> leaves, nodes;
  for (int i = 0; i < kLeaves; ++i) leaves.push_back(add(g, "x" + std::to_string(i)));
  for (Id a : leaves) {
    for (Id b : leaves) nodes.push_back(g.add(Node("f", {a, b})));
  }
  g.rebuild();
  for (std::size_t k = 1; k < nodes.size(); ++k) {
    if (k % 5 != 0) g.union_(nodes[k - 1], nodes[k]);
  }
  g.rebuild();
  expect_tidy_and_indexed(g);
  EXPECT_EQ(g[nodes[0]].size(), 5u);
  for (std::size_t k = 5; k < nodes.size(); k += 5) g.union_(nodes[0], nodes[k]);
  for (int i = 0; i < kLeaves; i += 3) g.union_(leaves[i], leaves[i + 1]);
  g.rebuild();
  expect_tidy_and_indexed(g);
  // One node per ordered pair of the 8 leaf classes left.
  EXPECT_EQ(g[nodes[0]].size(), 64u);
}

}  // namespace
}  // namespace tarvelon::egraph
