#include "opt/restore.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ir_text.h"

namespace tarvelon::opt {
namespace {

using namespace vocab::dtypes;

const std::vector<ir::Param> kParams = {{"x", kF32}, {"n", kI32}};

/// The restored DAG as "dtype operation" lines and its output, or the error text.
std::vector<std::string> restore(const char* text, const TypeMap& types = {}) {
  auto expr = egraph::RecExpr<MathLang>::from_str(text);
  EXPECT_TRUE(expr.has_value()) << text;
  auto restored = restore_types_with_info(*expr, types, kParams);
  if (!restored) return {restored.error().to_string()};
  std::vector<std::string> out = testing::nodes_text(restored->dag.nodes, restored->dag.dtypes);
  out.push_back("out %" + std::to_string(restored->dag.outputs.at(0)));
  for (const auto& d : restored->diags) out.push_back(d.message);
  return out;
}

using Lines = std::vector<std::string>;

TEST(RestoreTypes, RebuildsEachVariant) {
  const std::pair<const char*, Lines> cases[] = {
      // Without a recorded dtype: i64, f64, c128.
      {"(+ 2 2.5)",
       {"i64 const 2i", "f64 const 2.5", "f64 %0 + %1", "out %2",
        "implicit promotion in restore:Add at node#2: i64 + f64 -> f64"}},
      {"(complex 1 2.5)", {"invalid expr during conversion: invalid node #2: Complex([0, 1])"}},
      {"(complex 1.0 2.5)", {"f64 const 1", "f64 const 2.5", "c128 const (1, 2.5)", "out %2"}},
      // A single parameter: its index constant and the parameter node.
      {"(param 1)", {"i64 const 1i", "i32 param 1", "out %1"}},
      {"(* (param 0) (param 0))",
       {"i64 const 0i", "f32 param 0", "i64 const 0i", "f32 param 0", "f32 %1 * %3", "out %4"}},
      {"(< (param 0) (param 1))",
       {"i64 const 0i", "f32 param 0", "i64 const 1i", "i32 param 1", "bool %1 < %3", "out %4"}},
      {"(ifelse (! true) (param 1) 1.5)",
       {"bool const true", "bool not %0", "i64 const 1i", "i32 param 1", "f64 const 1.5",
        "f64 if %1 %3 %4", "out %5",
        "implicit promotion in restore:IfElse at node#5: i32 + f64 -> f64"}},
      // Casts come back implicit; the token makes no node.
      {"(cast f16 (neg (param 0)))",
       {"i64 const 0i", "f32 param 0", "f32 neg %1", "f16 cast %2", "out %3"}},
      {"(exp_sigmoid (param 1))", {"i64 const 1i", "i32 param 1", "i32 exp_sigmoid %1", "out %2"}},
      {"(** (param 1) (param 0))",
       {"i64 const 1i", "i32 param 1", "i64 const 0i", "f32 param 0", "f64 %1 ** %3", "out %4",
        "implicit promotion in restore:Pow at node#4: i32 + f32 -> f64"}},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(restore(text), expected) << text;
}

TEST(RestoreTypes, Failures) {
  const std::pair<const char*, const char*> cases[] = {
      {"(param 2)", "invalid node #1: Param([0])"},
      {"(param -1)", "invalid node #1: Param([0])"},
      {"(param 1.0)", "invalid node #1: Param([0])"},
      {"(cast g32 1)", "invalid node #2: Cast([0, 1])"},
      {"(cast 1 1)", "invalid node #2: Cast([0, 1])"},
      {"(+ f32 1)", "invalid node #2: Add([0, 1])"},
      {"(neg f32)", "invalid node #1: Neg([0])"},
      {"f32", "invalid node #0: TypeToken(f32)"},
      // bf16 does not promote with an integer.
      {"(- (cast bf16 1) (param 1))", "invalid node #5: Sub([2, 4])"},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_EQ(restore(text), Lines{std::string("invalid expr during conversion: ") + message})
        << text;
  }
  auto empty = restore_types_with_info({}, {}, kParams);
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().to_string(),
            "invalid expr during conversion: cannot restore empty expression");
}

// Every pair of operand dtypes, equal ones included, restores to the promoted dtype, with a note
// exactly when an operand is promoted and the node's error when the pair does not promote.
TEST(RestoreTypes, PromotionOfEveryPairOfOperandDtypes) {
  const MathLang node(MathOp::Add, {0, 1});
  for (vocab::DType lhs : kAll) {
    for (vocab::DType rhs : kAll) {
      SCOPED_TRACE(std::string(lhs.to_str()) + " + " + rhs.to_str());
      std::vector<diag::Diag> diags;
      auto got = try_promote("Add", 2, lhs, rhs, node, diags);
      auto want = vocab::promote(lhs, rhs);
      ASSERT_EQ(got.has_value(), want.has_value());
      if (!want) continue;
      EXPECT_EQ(*got, *want);
      EXPECT_EQ(diags.size(), *want == lhs && *want == rhs ? 0u : 1u);
    }
  }
}

TEST(RestoreTypes, ConstantsTakeTheDtypeTheirValueHadInTheKernel) {
  TypeMap types;
  types.constants.record(MathLang::num(2.5), kC64);
  types.constants.record(MathLang::num(2.5), kF32);  // the least of several dtypes wins
  types.constants.record(MathLang::num(2.5), kF64);
  types.constants.record(MathLang::num(7.9), kI8);
  types.constants.record(MathLang::num(0.5), kBool);
  types.constants.record(MathLang::integer(3), kC64);
  types.constants.record(MathLang::integer(4), kF16);
  types.constants.record(MathLang::integer(0), kBool);
  types.constants.record_complex(0, 1, kC64);
  // Positions mean nothing: the dtype list may say otherwise at every index.
  types.node_dtypes = {kI64, kI64, kI64, kI64, kI64, kI64, kI64, kI64, kI64};
  // The index under the parameter shares its value with the kernel's boolean-typed 0: its unused
  // constant comes back as false, and the parameter still reads index 0.
  EXPECT_EQ(restore("(+ 2.5 (param 0))", types),
            (Lines{"f32 const 2.5", "bool const false", "f32 param 0", "f32 %0 + %2", "out %3"}));
  EXPECT_EQ(
      restore("(== 7.9 (== 0.5 (== 3 (== 4 (== 0 (complex 0.0 1.0))))))", types),
      (Lines{"i8 const 7i", "bool const true", "c64 const (3, 0)", "f16 const 4",
             "bool const false", "f64 const 0", "f64 const 1", "c64 const (0, 1)", "bool %4 == %7",
             "bool %3 == %8", "bool %2 == %9", "bool %1 == %10", "bool %0 == %11", "out %12"}));
}

TEST(RestoreTypes, AComplexLiteralInARealNodeKeepsItsDtype) {
  for (vocab::DType real : {kF64, kI32, kBool}) {
    TypeMap types;
    types.constants.record_complex(0, 0.5, real);
    EXPECT_EQ(restore("(complex 0.0 0.5)", types),
              (Lines{"f64 const 0", "f64 const 0.5", std::string(real.to_str()) + " const (0, 0.5)",
                     "out %2"}));
  }
}

}  // namespace
}  // namespace tarvelon::opt
