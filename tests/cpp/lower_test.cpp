#include "ir/lower.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "ast_build.h"
#include "ir_text.h"
#include "support/internal_fault.h"

namespace tarvelon::ir {
namespace {

using namespace tarvelon::testing;  // NOLINT: the builders are the vocabulary of these tests
using namespace vocab::dtypes;      // NOLINT
using BO = vocab::BinaryOp;
using diag::DiagKind;
using vocab::UnaryOp;

struct Case {
  const char* name;
  std::function<parse::FuncDef()> kernel;
  std::vector<std::string> nodes;
  std::vector<NodeId> outputs;
  std::vector<std::string> warnings;
  std::vector<std::string> errors;
};

const Case kCases[] = {
    {"same dtypes need no cast",
     [] {
       return fn({{"x", kI32}, {"y", kI32}}, bin(BO::Add, v("x"), v("y")));
     },
     {"i32 param 0", "i32 param 1", "i32 %0 + %1"},
     {2},
     {},
     {}},
    {"literal promoted towards the parameter",
     [] {
       return fn({{"x", kF32}}, bin(BO::Add, v("x", {0, 1}), i(1, {4, 5}), {0, 5}));
     },
     {"f32 param 0", "i8 const 1i", "f32 cast %1", "f32 %0 + %2"},
     {3},
     {"ImplicitPromotion [0,5) implicit promotion in +: f32 + i8 -> f32 | cast the right operand "
      "from i8 to f32 using `@f32` | [0,1) left operand (f32) | [4,5) right operand (i8)"},
     {}},
    {"undefined variable stands in as f64 zero",
     [] {
       return fn({}, v("z", {0, 1}));
     },
     {"f64 const 0"},
     {0},
     {},
     {"UndefinedVariable [0,1) undefined variable `z` | <default>"}},
    {"an assigned value is shared by every use",
     [] { return fn({}, let("a", i(2), bin(BO::Mul, v("a"), v("a")))); },
     {"i8 const 2i", "i8 %0 * %0"},
     {1},
     {},
     {}},
    {"floor division by integer zero is reported and still built",
     [] {
       return fn({{"x", kI32}}, bin(BO::FloorDiv, v("x", {0, 1}), i(0, {5, 6}), {0, 6}));
     },
     {"i32 param 0", "i8 const 0i", "i32 cast %1", "i32 %0 // %2"},
     {3},
     {"ImplicitPromotion [0,6) implicit promotion in //: i32 + i8 -> i32 | cast the right operand "
      "from i8 to i32 using `@i32` | [0,1) left operand (i32) | [5,6) right operand (i8)"},
     {"DivByZero [0,6) division by zero in // | <default>"}},
    {"remainder by a variable bound to zero is reported",
     [] {
       return fn({{"x", kI8}}, let("z", i(0), bin(BO::Rem, v("x"), v("z"), {3, 9})));
     },
     {"i8 param 0", "i8 const 0i", "i8 %0 % %1"},
     {2},
     {},
     {"DivByZero [3,9) division by zero in % | <default>"}},
    {"division by zero is reported before the operand types are checked",
     [] {
       return fn({{"x", kF64}}, bin(BO::FloorDiv, v("x"), i(0), {0, 6}));
     },
     {"f64 param 0", "i8 const 0i", "f64 const 0"},
     {2},
     {},
     {"DivByZero [0,6) division by zero in // | <default>",
      "TypeMismatch [0,6) type mismatch in //: cannot promote f64 and i8 | <default>"}},
    {"true division by float zero is not inspected",
     [] {
       return fn({{"x", kF16}}, bin(BO::Div, v("x"), f(0.0)));
     },
     {"f16 param 0", "f16 const 0", "f16 %0 / %1"},
     {2},
     {},
     {}},
    {"true division of integers is a type mismatch",
     [] {
       return fn({{"x", kI32}}, bin(BO::Div, v("x"), i(2), {0, 5}));
     },
     {"i32 param 0", "i8 const 2i", "f64 const 0"},
     {2},
     {},
     {"TypeMismatch [0,5) type mismatch in /: cannot promote i32 and i8 | <default>"}},
    {"floor division of floats is a type mismatch",
     [] {
       return fn({{"x", kF64}}, bin(BO::FloorDiv, v("x"), v("x"), {0, 6}));
     },
     {"f64 param 0", "f64 const 0"},
     {1},
     {},
     {"TypeMismatch [0,6) type mismatch in //: cannot promote f64 and f64 | <default>"}},
    {"unknown function: arguments are not lowered",
     [] {
       return fn({}, call("foo", {0, 6}, v("q")));
     },
     {"f64 const 0"},
     {0},
     {},
     {"UnknownFunction [0,6) undefined function `foo` | <default>"}},
    {"fused builtins cannot be called from source",
     [] {
       return fn({{"x", kF64}}, call("exp_sigmoid", {0, 14}, v("x")));
     },
     {"f64 param 0", "f64 const 0"},
     {1},
     {},
     {"UnknownFunction [0,14) undefined function `exp_sigmoid` | <default>"}},
    {"builtin with two arguments",
     [] {
       return fn({{"x", kF64}}, call("exp", {0, 9}, v("x"), v("x")));
     },
     {"f64 param 0", "f64 const 0"},
     {1},
     {},
     {"ArgCount [0,9) wrong argument count for `exp`: expected 1, got 2 | <default>"}},
    {"a builtin keeps its argument's dtype",
     [] {
       return fn({{"n", kI32}}, call("abs", {}, v("n")));
     },
     {"i32 param 0", "i32 abs %0"},
     {1},
     {},
     {}},
    {"two casts in a row",
     [] {
       return fn({{"x", kF64}}, cast(cast(v("x"), kF32, {0, 5}), kI64, {0, 9}));
     },
     {"f64 param 0", "f32 cast! %0", "i64 cast! %1"},
     {2},
     {"RedundantCast [0,9) multiple sequential casts: f32 -> i64; consider casting directly to "
      "i64 | simplify to a single `expr@dtype` unless the intermediate cast is required"},
     {}},
    {"an explicit cast to the same dtype is kept",
     [] {
       return fn({{"x", kF32}}, cast(v("x"), kF32));
     },
     {"f32 param 0", "f32 cast! %0"},
     {1},
     {},
     {}},
    {"a tuple body has one output per element",
     [] {
       return fn({{"x", kF64}, {"y", kI8}}, tuple({}, v("x"), v("y")));
     },
     {"f64 param 0", "i8 param 1"},
     {0, 1},
     {},
     {}},
    {"a tuple in an operand position",
     [] {
       return fn({{"x", kF64}, {"y", kF64}},
                 bin(BO::Add, tuple({0, 6}, v("x"), v("y")), i(1, {9, 10}), {0, 10}));
     },
     {"f64 param 0", "f64 param 1", "f64 const 0", "i8 const 1i", "f64 cast %3", "f64 %2 + %4"},
     {5},
     {"ImplicitPromotion [0,10) implicit promotion in +: f64 + i8 -> f64 | cast the right "
      "operand from i8 to f64 using `@f64` | [0,6) left operand (f64) | [9,10) right operand "
      "(i8)"},
     {"TupleInScalarPosition [0,6) expected 1 value, but expression produced 2 | <default>"}},
    {"a tuple as condition stands in as false",
     [] {
       return fn({{"x", kF64}}, iff(tuple({3, 9}, v("x"), v("x")), v("x"), v("x"), {0, 20}));
     },
     {"f64 param 0", "bool const false", "f64 if %1 %0 %0"},
     {2},
     {},
     {"TupleInScalarPosition [3,9) expected 1 value, but expression produced 2 | <default>"}},
    {"non-bool condition is reported and the branches still promote",
     [] {
       return fn({{"x", kI32}}, iff(v("x", {3, 4}), i(1), f(2.5), {0, 21}));
     },
     {"i32 param 0", "i8 const 1i", "f16 const 2.5", "f16 cast %1", "f16 if %0 %3 %2"},
     {4},
     {"ImplicitPromotion [0,21) implicit promotion in if_branch: i8 + f16 -> f16 | cast the left "
      "operand from i8 to f16 using `@f16`"},
     {"TypeMismatch [3,4) type mismatch in if_cond: cannot promote i32 and bool | <default>"}},
    {"negated literals are typed by their negated value",
     [] {
       return fn({},
                 tuple({}, un(UnaryOp::Neg, i(128, {1, 8}, kI8), {0, 8}), un(UnaryOp::Neg, i(129)),
                       un(UnaryOp::Neg, f(0.5)), un(UnaryOp::Neg, c(0, 2))));
     },
     {"i8 const -128i", "i16 const -129i", "f16 const -0.5", "c64 const (-0, -2)"},
     {0, 1, 2, 3},
     {},
     {}},
    {"the most negative integer cannot be negated",
     [] {
       return fn({},
                 un(UnaryOp::Neg, i(std::numeric_limits<std::int64_t>::min(), {1, 20}), {0, 20}));
     },
     {"i64 const 0i"},
     {0},
     {},
     {"IntOutOfRange [1,20) integer literal `-9223372036854775808` is out of range for `i64` | "
      "<default>"}},
    {"negation of a computed value",
     [] {
       return fn({{"x", kU8}}, un(UnaryOp::Neg, v("x")));
     },
     {"u8 param 0", "u8 neg %0"},
     {1},
     {},
     {}},
    {"negation of a bool",
     [] {
       return fn({{"p", kBool}}, un(UnaryOp::Neg, v("p"), {0, 2}));
     },
     {"bool param 0", "f64 const 0"},
     {1},
     {},
     {"TypeMismatch [0,2) type mismatch in neg: cannot promote bool and bool | <default>"}},
    {"not of a number",
     [] {
       return fn({{"x", kI32}}, un(UnaryOp::Not, v("x"), {0, 2}));
     },
     {"i32 param 0", "bool const false"},
     {1},
     {},
     {"TypeMismatch [0,2) type mismatch in not: cannot promote i32 and bool | <default>"}},
    {"logical operators need bools and never promote",
     [] {
       return fn({{"p", kBool}},
                 tuple({}, bin(BO::And, v("p"), v("p")), bin(BO::Or, v("p"), i(1), {0, 6})));
     },
     {"bool param 0", "bool %0 and %0", "i8 const 1i", "bool const false"},
     {1, 3},
     {},
     {"TypeMismatch [0,6) type mismatch in or: cannot promote bool and i8 | <default>"}},
    {"comparisons promote their operands and yield bool",
     [] {
       return fn({{"x", kF32}}, bin(BO::Lt, v("x", {0, 1}), f(0.1, {4, 7}), {0, 7}));
     },
     {"f32 param 0", "f64 const 0.1", "f64 cast %0", "bool %2 < %1"},
     {3},
     {"ImplicitPromotion [0,7) implicit promotion in <: f32 + f64 -> f64 | cast the left operand "
      "from f32 to f64 using `@f64` | [0,1) left operand (f32) | [4,7) right operand (f64)"},
     {}},
    {"a failed promotion continues in f64",
     [] {
       return fn({{"h", kBF16}, {"n", kI32}}, bin(BO::Mul, v("h"), v("n"), {0, 5}));
     },
     {"bf16 param 0", "i32 param 1", "f64 const 0", "f64 cast %0", "f64 cast %1", "f64 %3 * %4"},
     {5},
     {},
     {"TypeMismatch [0,5) type mismatch in *: cannot promote bf16 and i32 | <default>"}},
    {"an assignment's binding ends with its body",
     [] {
       return fn({{"x", kF64}}, bin(BO::Add, let("x", i(1), let("y", i(2), v("y"))),
                                    bin(BO::Add, v("x"), v("y", {9, 10})), {}));
     },
     {"f64 param 0", "i8 const 1i", "i8 const 2i", "f64 const 0", "f64 %0 + %3", "f64 cast %2",
      "f64 %5 + %4"},
     {6},
     {"ImplicitPromotion [0,0) implicit promotion in +: i8 + f64 -> f64 | cast the left operand "
      "from i8 to f64 using `@f64` | [0,0) left operand (i8) | [0,0) right operand (f64)"},
     {"UndefinedVariable [9,10) undefined variable `y` | <default>"}},
    {"an assignment sees the bindings before it",
     [] {
       return fn({{"x", kI8}}, let("x", bin(BO::Add, v("x"), v("x")), v("x")));
     },
     {"i8 param 0", "i8 %0 + %0"},
     {1},
     {},
     {}},
    {"a later parameter of the same name wins",
     [] {
       return fn({{"x", kI32}, {"x", kF64}}, v("x"));
     },
     {"i32 param 0", "f64 param 1"},
     {1},
     {},
     {}},
    {"constants e and pi",
     [] { return fn({}, tuple({}, e_const(), pi(), b(true))); },
     {"f64 const 2.718281828459045", "f64 const 3.141592653589793", "bool const true"},
     {0, 1, 2},
     {},
     {}},
    {"errors are listed in walk order",
     [] {
       return fn({}, bin(BO::Add, v("a", {0, 1}), v("b", {4, 5})));
     },
     {"f64 const 0", "f64 const 0", "f64 %0 + %1"},
     {2},
     {},
     {"UndefinedVariable [0,1) undefined variable `a` | <default>",
      "UndefinedVariable [4,5) undefined variable `b` | <default>"}},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class LowerCollect : public ::testing::TestWithParam<Case> {};

TEST_P(LowerCollect, BuildsNodesOutputsAndDiagnostics) {
  const Case& c = GetParam();
  auto r = lower_with_config_collect(c.kernel(), diag::DiagConfig{});
  EXPECT_EQ(nodes_text(r.dag.nodes, r.dag.dtypes), c.nodes);
  EXPECT_EQ(r.dag.outputs, c.outputs);
  EXPECT_EQ(diags_text(r.warnings), c.warnings);
  EXPECT_EQ(diags_text(r.errors), c.errors);
}

// A caller that shows only errors gets the same program and errors, and no notes or warnings.
TEST_P(LowerCollect, KeepingOnlyErrorsChangesNothingElse) {
  const Case& c = GetParam();
  auto r = lower_with_config_collect(c.kernel(), diag::DiagConfig{}, Keep::Errors);
  EXPECT_EQ(nodes_text(r.dag.nodes, r.dag.dtypes), c.nodes);
  EXPECT_EQ(r.dag.outputs, c.outputs);
  EXPECT_TRUE(r.warnings.empty());
  EXPECT_EQ(diags_text(r.errors), c.errors);
}

INSTANTIATE_TEST_SUITE_P(Kernels, LowerCollect, ::testing::ValuesIn(kCases), [](const auto& info) {
  std::string name = info.param.name;
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
});

TEST(LowerCollect, KeepsTheParameterList) {
  auto r = lower_with_config_collect(fn({{"a", kU8}, {"b", kC64}}, v("a")), {});
  EXPECT_EQ(r.dag.params, (std::vector<Param>{{"a", kU8}, {"b", kC64}}));
}

TEST(LowerCollect, SeverityPolicyFilesEachDiagnostic) {
  // u64 with i8: an unsafe-promotion warning, then a promotion note.
  auto kernel = [] { return fn({{"x", kU64}, {"y", kI8}}, bin(BO::Sub, v("x"), v("y"))); };
  diag::DiagConfig strict;
  strict.warnings_as_errors = true;
  auto r = lower_with_config_collect(kernel(), strict);
  EXPECT_EQ(diags_text(r.errors),
            std::vector<std::string>{
                "UnsafeUintToSint [0,0) unsafe promotion in -: u64 and i8 promoted to i64 | u64 "
                "values may exceed i64 range; consider casting to f64/c128 or constraining the "
                "range"});
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_EQ(r.warnings[0].kind, DiagKind::ImplicitPromotion);
  // A warning raised to an error is still built when only errors are kept.
  auto e = lower_with_config_collect(kernel(), strict, Keep::Errors);
  EXPECT_EQ(diags_text(e.errors), diags_text(r.errors));
  EXPECT_TRUE(e.warnings.empty());

  diag::DiagConfig quiet;
  quiet.overrides[DiagKind::ImplicitPromotion] = diag::Severity::Allow;
  quiet.overrides[DiagKind::UndefinedVariable] = diag::Severity::Allow;
  auto q = lower_with_config_collect(
      fn({{"x", kU64}, {"y", kI8}}, tuple({}, bin(BO::Sub, v("x"), v("y")), v("nope"))), quiet);
  EXPECT_EQ(q.warnings.size(), 1u);  // the unsafe promotion only
  EXPECT_TRUE(q.errors.empty());
  EXPECT_EQ(node_text(q.dag.nodes[q.dag.outputs[1]], q.dag.dtypes[q.dag.outputs[1]]),
            "f64 const 0");
}

TEST(LowerFailFast, StopsAtTheFirstError) {
  auto r = lower_with_config_fail_fast(
      fn({{"x", kF32}}, bin(BO::Add, bin(BO::Add, v("x"), i(1)), v("a", {8, 9}))), {});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(diag_text(r.error()), "UndefinedVariable [8,9) undefined variable `a` | <default>");
}

TEST(LowerFailFast, ReturnsTheDagWithItsWarnings) {
  auto r = lower_with_config_fail_fast(fn({{"x", kF32}}, bin(BO::Add, v("x"), i(1))), {});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->dag.outputs, std::vector<NodeId>{3});
  ASSERT_EQ(r->warnings.size(), 1u);
  EXPECT_EQ(r->warnings[0].kind, DiagKind::ImplicitPromotion);
}

TEST(LowerFailFast, PlaceholderErrorsFailWhateverTheirSeverity) {
  diag::DiagConfig allow;
  allow.overrides[DiagKind::TypeMismatch] = diag::Severity::Allow;
  auto r = lower_with_config_fail_fast(fn({{"p", kBool}}, un(UnaryOp::Not, i(3), {0, 2})), allow);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, DiagKind::TypeMismatch);
}

TEST(LowerFailFast, EmitOnlyDiagnosticsFailWhenRaisedToErrors) {
  diag::DiagConfig strict;
  strict.warnings_as_errors = true;
  auto r = lower_with_config_fail_fast(fn({}, f(0.1, {0, 7}, kF32)), strict);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(diag_text(r.error()),
            "FloatPrecisionLoss [0,7) literal `0.1` may lose precision in `f32` | consider f64 "
            "for full precision");
}

TEST(LowerFailFast, AFailureInsideAssignmentsLeavesTheScopeAsItWas) {
  Ctx ctx;
  ctx.mode.kind = DiagMode::Kind::FailFast;
  const NodeId x = ctx.push(node::Param{0}, kF64);
  ctx.scope.emplace("x", x);
  // x is rebound, y bound, and the body fails inside both.
  auto r = lower_expr(ctx, let("x", f(1.5), let("y", v("x"), v("missing"))));
  ASSERT_FALSE(r.has_value());
  ASSERT_EQ(ctx.scope.size(), 1u);
  EXPECT_EQ(ctx.scope.at("x"), x);
}

TEST(Lower, MillionDeepNestingLowersWithoutExhaustingTheStack) {
  constexpr int kDepth = 1'000'000;
  SpannedExpr body = v("x");
  for (int k = 0; k < kDepth; ++k) body = un(UnaryOp::Neg, std::move(body));
  auto r = lower_with_config_collect(fn({{"x", kF64}}, std::move(body)), {});
  EXPECT_EQ(r.dag.nodes.size(), std::size_t{kDepth} + 1);
  EXPECT_EQ(r.dag.outputs, std::vector<NodeId>{kDepth});
  EXPECT_TRUE(r.errors.empty());
}

}  // namespace
}  // namespace tarvelon::ir

namespace tarvelon::ir {
namespace {

// Nested assignments bind and unbind in stack order; many names force the table to grow while
// bindings are open, and a name unbound and bound again must come back as the new binding. Short
// names live in the table's slots and long ones apart, so both kinds are tried, and a table
// sized up front must behave as one that grew.
TEST(Scope, NestedBindingsSurviveGrowthAndUnwindInOrder) {
  struct Kind {
    const char* prefix;
    std::size_t reserved;
  };
  for (const Kind& kind :
       {Kind{"n", 0}, Kind{"a_long_name_", 0}, Kind{"n", 6000}, Kind{"a_long_name_", 6000}}) {
    SCOPED_TRACE(std::string(kind.prefix) + " reserved " + std::to_string(kind.reserved));
    auto name = [&](NodeId i) { return kind.prefix + std::to_string(i); };
    Scope scope;
    scope.reserve(kind.reserved);
    constexpr NodeId kNames = 5000;
    std::vector<std::optional<NodeId>> earlier;
    for (NodeId i = 0; i < kNames; ++i) earlier.push_back(scope.bind(name(i), i));
    // Every second name is shadowed once more, as an inner assignment of the same name would.
    for (NodeId i = 0; i < kNames; i += 2) {
      EXPECT_EQ(scope.bind(name(i), kNames + i), std::optional<NodeId>(i));
    }
    EXPECT_EQ(scope.size(), kNames);
    for (NodeId i = 0; i < kNames; ++i) {
      const NodeId* id = scope.find(name(i));
      ASSERT_NE(id, nullptr) << i;
      EXPECT_EQ(*id, i % 2 == 0 ? kNames + i : i) << i;
    }
    // Names that share a short name's bytes but not its length are other names.
    EXPECT_EQ(scope.find(name(1) + std::string(1, '\0')), nullptr);
    EXPECT_EQ(scope.find(name(1).substr(0, name(1).size() - 1) + "x"), nullptr);
    for (NodeId i = 0; i < kNames; i += 2) scope.restore(name(i), i);
    for (NodeId i = kNames; i-- > 0;) scope.restore(name(i), earlier[i]);
    EXPECT_EQ(scope.size(), 0u);
    EXPECT_EQ(scope.find(name(0)), nullptr);
    EXPECT_FALSE(scope.bind(name(0), 7).has_value());
    EXPECT_EQ(scope.at(name(0)), 7u);
    EXPECT_THROW(scope.at(name(1)), std::out_of_range);
    EXPECT_FALSE(scope.emplace(name(0), 8));
    EXPECT_EQ(scope.at(name(0)), 7u);
  }
}

TEST(Scope, TheEmptyNameIsANameLikeAnyOther) {
  Scope scope;
  EXPECT_EQ(scope.find(""), nullptr);
  scope.bind("", 3);
  EXPECT_EQ(scope.at(""), 3u);
  EXPECT_EQ(scope.find(std::string(1, '\0')), nullptr);
}

}  // namespace
}  // namespace tarvelon::ir
