#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "egraph/recexpr.h"
#include "opt/lang.h"

namespace tarvelon::opt {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string read(std::string_view op, std::vector<Id> children = {}) {
  auto node = MathLang::from_op(op, children);
  if (!node) {
    std::string out = "error " + node.error().op + " [";
    egraph::append_joined(out, node.error().children, ", ",
                          [](std::string& o, Id id) { egraph::append_text(o, id); });
    return out + "]";
  }
  return debug_text(*node);
}

TEST(MathLang, FromOpAppliesItsRulesInOrder) {
  const struct {
    const char* op;
    std::vector<Id> children;
    const char* expected;
  } cases[] = {
      {"true", {}, "Bool(true)"},
      {"false", {}, "Bool(false)"},
      {"0", {}, "Int(0)"},
      {"+7", {}, "Int(7)"},
      {"-9223372036854775808", {}, "Int(-9223372036854775808)"},
      // Too wide for an i64: a float.
      {"9223372036854775808", {}, "Num(9223372036854776000.0)"},
      {"0.0", {}, "Num(0.0)"},
      {"1e3", {}, "Num(1000.0)"},
      {".5", {}, "Num(0.5)"},
      {"5.", {}, "Num(5.0)"},
      {"-2.5E-1", {}, "Num(-0.25)"},
      {"1e400", {}, "Num(inf)"},
      {"-Infinity", {}, "Num(-inf)"},
      {"NaN", {}, "Num(NaN)"},
      {"+-5", {}, "TypeToken(+-5)"},
      {"f32", {}, "TypeToken(f32)"},
      // A known operator written without children is a type token too.
      {"exp", {}, "TypeToken(exp)"},
      {"exp", {4}, "Exp([4])"},
      {"||", {1, 2}, "Or([1, 2])"},
      {"ifelse", {1, 2, 3}, "IfElse([1, 2, 3])"},
      {"cast", {0, 1}, "Cast([0, 1])"},
      {"exp", {1, 2}, "error exp [1, 2]"},
      {"true", {1}, "error true [1]"},
      {"cast", {1}, "error cast [1]"},
  };
  for (const auto& c : cases) EXPECT_EQ(read(c.op, c.children), c.expected) << c.op;
}

TEST(MathLang, CatalogueTextsAndArities) {
  // Every operator reads back from its own text with its own arity.
  for (std::size_t i = 0; i < kMathOpCount; ++i) {
    auto op = static_cast<MathOp>(i);
    if (math_op_text(op).empty()) continue;
    std::vector<Id> children(math_op_arity(op), 0);
    auto node = MathLang::from_op(math_op_text(op), children);
    ASSERT_TRUE(node.has_value()) << math_op_name(op);
    EXPECT_EQ(node->op(), op);
  }
  EXPECT_EQ(math_op_name(MathOp::FusedSigmoidLog), "FusedSigmoidLog");
  EXPECT_EQ(static_cast<int>(MathOp::FusedSigmoidLog), 38);
  EXPECT_EQ(math_op_weight(MathOp::FusedExpSigmoid), 1u);
  EXPECT_EQ(math_op_weight(MathOp::Sigmoid), 2u);
  EXPECT_EQ(math_op_weight(MathOp::TypeToken), 1u);
}

TEST(MathLang, NumComparesWithTotalEquality) {
  const struct {
    double a, b;
    bool equal;
  } cases[] = {
      {kNaN, -kNaN, true}, {-0.0, 0.0, true},   {1.0, 1.0, true},
      {1.0, 2.0, false},   {kNaN, kInf, false},
  };
  for (const auto& c : cases) {
    MathLang a = MathLang::num(c.a), b = MathLang::num(c.b);
    EXPECT_EQ(a == b, c.equal) << c.a << " " << c.b;
    EXPECT_EQ(a.matches(b), c.equal);
    if (c.equal) {
      EXPECT_EQ(a.hash(), b.hash());
      EXPECT_TRUE((a <=> b) == 0);
    }
  }
  // The payload keeps its own sign: a folded -0.0 is still -0.0 when it comes back out.
  EXPECT_TRUE(std::signbit(MathLang::num(-0.0).num_value()));
}

TEST(MathLang, TotalOrder) {
  // Each node sorts before the next.
  const std::vector<MathLang> ascending = {
      MathLang::boolean(false),
      MathLang::boolean(true),
      MathLang::integer(-5),
      MathLang::integer(3),
      MathLang::num(-kInf),
      MathLang::num(0.5),
      MathLang::num(kInf),
      MathLang::num(kNaN),
      MathLang(MathOp::Complex, {0, 1}),
      MathLang(MathOp::Complex, {1, 0}),
      MathLang(MathOp::Add, {0, 5}),
      MathLang(MathOp::Add, {1, 0}),
      MathLang(MathOp::Sub, {0, 0}),
      MathLang(MathOp::FusedSigmoidLog, {0}),
  };
  for (std::size_t i = 0; i + 1 < ascending.size(); ++i) {
    EXPECT_TRUE(ascending[i] < ascending[i + 1])
        << debug_text(ascending[i]) << " < " << debug_text(ascending[i + 1]);
    EXPECT_FALSE(ascending[i + 1] < ascending[i]);
  }
  // Type tokens go by symbol id, not alphabetically.
  egraph::GlobalSymbol first("zz-interned-first"), second("aa-interned-second");
  EXPECT_EQ(MathLang::type_token(first) < MathLang::type_token(second),
            first.handle() < second.handle());
}

TEST(MathLang, LessAgreesWithTheThreeWayOrderOnEveryPair) {
  // Sorting a class's nodes asks `<`, which has a fast path of its own for nodes with children.
  const std::vector<MathLang> nodes = {
      MathLang::boolean(true),
      MathLang::integer(-5),
      MathLang::integer(7),
      MathLang::num(-0.0),
      MathLang::num(0.0),
      MathLang::num(kNaN),
      MathLang::num(-kInf),
      MathLang::type_token(egraph::GlobalSymbol("f32")),
      MathLang(MathOp::Add, {0, 5}),
      MathLang(MathOp::Add, {0, 4}),
      MathLang(MathOp::Add, {5, 0}),
      MathLang(MathOp::Add, {0xffffffffu, 0}),
      MathLang(MathOp::Mul, {1, 2}),
      MathLang(MathOp::IfElse, {1, 2, 3}),
      MathLang(MathOp::IfElse, {1, 2, 4}),
      MathLang(MathOp::Neg, {9}),
  };
  for (const MathLang& a : nodes) {
    for (const MathLang& b : nodes) {
      EXPECT_EQ(a < b, (a <=> b) < 0) << debug_text(a) << " < " << debug_text(b);
    }
  }
}

TEST(MathLang, MatchesIgnoresChildrenButNotPayload) {
  EXPECT_TRUE(MathLang(MathOp::Add, {0, 1}).matches(MathLang(MathOp::Add, {2, 3})));
  EXPECT_FALSE(MathLang(MathOp::Add, {0, 1}).matches(MathLang(MathOp::Sub, {0, 1})));
  EXPECT_FALSE(MathLang::integer(0).matches(MathLang::num(0.0)));
  EXPECT_FALSE(MathLang::integer(1).matches(MathLang::integer(2)));
}

TEST(MathLang, ExpressionTextReadsBack) {
  for (const char* text : {"(+ (param 0) 1.5)", "(cast f32 (exp_sigmoid -0.0))",
                           "(ifelse true 1 NaN)", "(|| (! false) (>= 2 -inf))"}) {
    auto expr = egraph::RecExpr<MathLang>::from_str(text);
    ASSERT_TRUE(expr.has_value()) << text;
    EXPECT_EQ(egraph::to_string(*expr), text);
  }
}

}  // namespace
}  // namespace tarvelon::opt
