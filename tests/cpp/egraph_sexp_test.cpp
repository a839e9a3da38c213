#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "deep_input.h"
#include "egraph/enode_or_var.h"
#include "egraph/recexpr.h"
#include "egraph/sexp.h"
#include "egraph/symbol_lang.h"
#include "egraph/var.h"
#include "egraph_test_util.h"

namespace tarvelon::egraph {
namespace {

using testing::Node;
using PatternEntries = RecExpr<ENodeOrVar<Node>>;

/// The read s-expression written back, or the error as "message @line:column".
std::string read(std::string_view text) {
  auto sexp = parse_str(text);
  if (!sexp) return cat(sexp.error().message, " @", sexp.error().line, ":", sexp.error().column);
  return sexp->kind() == Sexp::Kind::Empty ? "<empty>" : to_string(*sexp);
}

TEST(SexpReader, ReadsOneExpressionOrFailsAtLineAndColumn) {
  struct Case {
    std::string_view text;
    std::string expected;
  };
  const Case cases[] = {
      {"", "<empty>"},
      {")", "Unexpected ) @1:1"},
      {"(+ ?x", "End of file reached @1:6"},
      {"   ", "End of file reached @1:4"},
      {"(a\n  b", "End of file reached @2:4"},
      {"(a\r\n\t b)", "(a b)"},
      {"(a b) c", "(a b)"},
      {"(a (b c) ) d", "(a (b c))"},
      {"a\tb c", "a\tb"},
      {"ab\"c d", "ab\"c"},
      {"\"a b\" c", "a b"},
      {"\"a\\\"b\"", "a\\\"b"},
      {"\"a\\\\\"", "End of file reached @1:6"},
      {"\"open", "End of file reached @1:6"},
      {"(\xc3\xa9 \xc3\xa9", "End of file reached @1:5"},
      {"()", "()"},
      {"\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(read(c.text), c.expected);
  }
}

TEST(SexpReader, NestingAMillionDeepNeitherOverflowsNorLeaks) {
  constexpr std::size_t kDepth = test::kDeepInput;
  std::string open(kDepth, '(');
  EXPECT_EQ(read(open), "End of file reached @1:" + std::to_string(kDepth + 1));
  std::string balanced = open + "a" + std::string(kDepth, ')');
  auto sexp = parse_str(balanced);
  ASSERT_TRUE(sexp.has_value());
  EXPECT_EQ(to_string(*sexp).size(), balanced.size());
  auto pattern =
      parse_recexpr<ENodeOrVar<Node>>(std::string(kDepth, '(') + std::string(kDepth, ')'));
  ASSERT_FALSE(pattern.has_value());
  EXPECT_EQ(to_string(pattern.error()),
            "found a list in the head position: " + std::string(kDepth - 1, '(') +
                std::string(kDepth - 1, ')'));
}

/// The pattern's entries as "op children" items, or the error text.
std::string entries(std::string_view text) {
  auto parsed = parse_recexpr<ENodeOrVar<Node>>(text);
  if (!parsed) return "error: " + to_string(parsed.error());
  std::string out;
  append_joined(out, *parsed, ", ", [](std::string& o, const ENodeOrVar<Node>& e) {
    o += e.op_text();
    if (e.is_var()) o += e.var().is_numbered() ? "#" : "?";
    for (Id c : e.children()) o += cat(" ", c);
  });
  return out;
}

TEST(PatternText, ReadsEntriesInPostOrderOrReportsTheExactError) {
  struct Case {
    std::string_view text;
    std::string expected;
  };
  const Case cases[] = {
      {"", "error: found an empty s-expression"},
      {"  \n ", "error: found an empty s-expression"},
      // Surrounding white space is any Unicode white space: no-break and ideographic spaces here.
      {"\xc2\xa0(f ?x)\xe3\x80\x80", "?x?, f 0"},
      {"\xe2\x80\xa8", "error: found an empty s-expression"},
      {"()", "error: found an empty s-expression"},
      {"(f ())", "error: found an empty s-expression"},
      {"((a) b)", "error: found a list in the head position: (a)"},
      {")", "error: Unexpected ) at line 1, column 1"},
      {"(+ ?x", "error: End of file reached at line 1, column 6"},
      {"(f ?x ?x)", "?x?, ?x?, f 0 1"},
      {"(+ (* a b) c)", "a, b, * 0 1, c, + 2 3"},
      {"?#3", "?#3#"},
      {"?#+7", "?#7#"},
      {"?", "?"},
      {"x", "x"},
      {"(?f a)", "error: pattern variable \"?f\" cannot have children"},
      {"?#", "error: numbered pattern variable has no number"},
      {"?#1x", "error: numbered pattern variable has a non-digit"},
      {"?#-1", "error: numbered pattern variable has a non-digit"},
      {"?#4294967296", "error: numbered pattern variable does not fit 32 bits"},
      {"?#4294967295", "?#4294967295#"},
      {"(f a b c d e)",
       "error: could not parse an e-node with operator \"f\" and children [0, 1, 2, 3, 4]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(entries(c.text), c.expected);
  }
}

TEST(PatternText, VarFromStrSeparatesNamedNumberedAndNonVariables) {
  EXPECT_EQ(Var::from_str("?x"), Var::named(GlobalSymbol("?x")));
  EXPECT_EQ(Var::from_str("?#12"), Var::numbered(12));
  EXPECT_NE(Var::from_str("?#12"), Var::from_str("?12"));
  const std::string_view refused[] = {"?", "x", "", "#3"};
  for (std::string_view text : refused) {
    SCOPED_TRACE(text);
    auto var = Var::from_str(text);
    ASSERT_FALSE(var.has_value());
    EXPECT_EQ(to_string(var.error()),
              "pattern variable " + debug_quote(text) + " must begin with \"?\"");
  }
}

TEST(RecExprBuilding, CompactSharesEqualEntriesKeepingFirstOccurrenceOrder) {
  auto parsed = parse_recexpr<ENodeOrVar<Node>>("(f (g ?x) ?y (g ?x) ?x)");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->size(), 7u);
  PatternEntries compacted = compact(*parsed);
  EXPECT_EQ(to_string(compacted), "(f (g ?x) ?y (g ?x) ?x)");
  ASSERT_EQ(compacted.size(), 4u);
  EXPECT_EQ(compacted[3].node(), Node("f", {1, 2, 1, 0}));
}

TEST(RecExprBuilding, BuildSharesEqualSubtermsAndExpandsTheLastChildFirst) {
  // Class ids of a small store: 0 = a, 1 = b, 2 = (g 0 1), 3 = (h 1)
  std::vector<Node> by_class{Node("a", {}), Node("b", {}), Node("g", {0, 1}), Node("h", {1})};
  auto fetch = [&](Id id) { return by_class[id]; };
  RecExpr<Node> same = build_recexpr(Node("+", {0, 0}), fetch);
  EXPECT_EQ(same.size(), 2u);
  EXPECT_EQ(to_string(same), "(+ a a)");
  RecExpr<Node> mixed = build_recexpr(Node("f", {2, 3}), fetch);
  std::vector<std::string> order;
  for (const Node& n : mixed) order.push_back(node_text(n));
  EXPECT_EQ(order, (std::vector<std::string>{"b", "(h 0)", "a", "(g 2 0)", "(f 3 1)"}));
  // The root is appended even when an equal entry already exists.
  RecExpr<Node> repeated = build_recexpr(Node("b", {}), fetch);
  EXPECT_EQ(repeated.size(), 1u);
}

}  // namespace
}  // namespace tarvelon::egraph

namespace tarvelon::egraph {
namespace {

TEST(SexpReader, MalformedUtf8IsReadByteByByteWithoutSwallowingDelimiters) {
  struct Case {
    std::string_view text;
    std::string expected;
  };
  const Case cases[] = {
      {"(a\xc3)", "(a\xc3)"},
      {"(\xe2\x82 b)", "(\xe2\x82 b)"},
      {"(\xff", "End of file reached @1:3"},
      {"(\xf0\x9f\x98\x80", "End of file reached @1:3"},
      // Overlong forms and surrogates are malformed too.
      {"(\xc0\x80", "End of file reached @1:4"},
      {"(\xed\xa0\x80", "End of file reached @1:5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto sexp = parse_str(c.text);
    EXPECT_EQ(sexp ? to_string(*sexp)
                   : cat(sexp.error().message, " @", sexp.error().line, ":", sexp.error().column),
              c.expected);
  }
}

TEST(RecExprBuilding, IndexingPastTheEndIsAnInternalFault) {
  auto e = RecExpr<testing::Node>::from_str("(f a)");
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(testing::fault_of([&] { (*e)[2]; }),
            "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(testing::fault_of([&] { RecExpr<testing::Node>().add(testing::Node("f", {0})); }),
            "child 0 is not an earlier entry of an expression of 0 entries");
}

}  // namespace
}  // namespace tarvelon::egraph
