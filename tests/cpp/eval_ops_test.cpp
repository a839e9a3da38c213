// The typed meaning of each operation, one group per kind of node, with exact expected values.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "dag_build.h"
#include "eval_test_util.h"

namespace tarvelon::testing {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

struct Case {
  const char* source;
  std::vector<Val> args;
  Val expected;
};

void check(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(eval_one(c.source, c.args), c.expected) << c.source;
  }
}

TEST(EvalOps, NegationWrapsIntegersAndFlipsSigns) {
  check({
      {"|x: i8|\n-x", {-128}, -128},
      {"|x: u8|\n-x", {1}, 255},
      {"|x: i64|\n-x", {kI64Min}, kI64Min},
      {"|x: f64|\n-x", {0.0}, -0.0},
      {"|x: f16|\n-x", {kNaN}, kNaN},
      {"|z: c64|\n-z", {std::complex<double>(1, -0.0)}, std::complex<double>(-1, 0.0)},
  });
}

TEST(EvalOps, IntegerArithmeticWraps) {
  check({
      {"|a: u8, b: u8|\na + b", {200, 100}, 44},
      {"|a: i8, b: i8|\na + b", {100, 100}, -56},
      {"|a: u16, b: u16|\na * b", {65535, 65535}, 1},
      {"|a: i16, b: i16|\na * b", {-32768, -1}, -32768},
      {"|a: u64, b: u64|\na + b", {kU64Max, 1}, 0},
      {"|a: i64, b: i64|\na - b", {kI64Min, 1}, kI64Max},
      {"|a: u32, b: u32|\na - b", {0, 1}, std::uint64_t{4294967295u}},
      // bool operands count as 0 and 1; the result is whether it is nonzero
      {"|a: bool, b: bool|\na + b", {1, 1}, 1},
      {"|a: bool, b: bool|\na - b", {1, 1}, 0},
      {"|a: bool, b: bool|\na * b", {1, 0}, 0},
  });
}

TEST(EvalOps, FloorDivisionAndRemainderOfIntegers) {
  check({
      {"|a: i32, b: i32|\na // b", {7, 0}, 0},
      {"|a: i32, b: i32|\na % b", {7, 0}, 0},
      {"|a: i32, b: i32|\na // b", {-7, 2}, -4},
      {"|a: i32, b: i32|\na % b", {-7, 2}, 1},
      {"|a: i32, b: i32|\na % b", {7, -2}, -1},
      {"|a: i32, b: i32|\na // b", {7, -2}, -4},
      {"|a: i8, b: i8|\na // b", {-128, -1}, -128},
      {"|a: i8, b: i8|\na % b", {-128, -1}, 0},
      {"|a: i64, b: i64|\na // b", {kI64Min, -1}, kI64Min},
      {"|a: u8, b: u8|\na // b", {255, 16}, 15},
      {"|a: u8, b: u8|\na % b", {255, 0}, 0},
  });
}

TEST(EvalOps, FloatRemainderTakesTheDivisorsSign) {
  check({
      {"|a: f64, b: f64|\na % b", {5.5, -2.0}, -0.5},
      {"|a: f64, b: f64|\na % b", {-1.0, 3.0}, 2.0},
      {"|a: f64, b: f64|\na % b", {0.0, -3.0}, -0.0},
      {"|a: f64, b: f64|\na % b", {1.0, 0.0}, kNaN},
      {"|a: f64, b: f64|\na % b", {1.0, -kInf}, -kInf},
      {"|a: f32, b: f32|\na % b", {-7.5, 2.0}, 0.5},
      {"|a: f16, b: f16|\na % b", {-7.5, 2.0}, 0.5},
  });
}

TEST(EvalOps, IntegerPowerWrapsAndCutsNegativeExponents) {
  check({
      {"|a: i32, b: i32|\na ** b", {2, -1}, 0},
      {"|a: i32, b: i32|\na ** b", {-1, -3}, -1},
      {"|a: i32, b: i32|\na ** b", {-1, -2}, 1},
      {"|a: i32, b: i32|\na ** b", {1, -5}, 1},
      {"|a: i32, b: i32|\na ** b", {0, -1}, 0},
      {"|a: i32, b: i32|\na ** b", {0, 0}, 1},
      {"|a: i8, b: i8|\na ** b", {2, 7}, -128},
      {"|a: u8, b: u8|\na ** b", {3, 6}, 217},
      {"|a: i64, b: i64|\na ** b", {3, 40}, std::int64_t{-6289078614652622815}},
      {"|a: u64, b: u64|\na ** b", {2, 64}, 0},
  });
}

TEST(EvalOps, FloatPowerFollowsC) {
  check({
      {"|a: f64, b: f64|\na ** b", {2.0, 0.5}, std::sqrt(2.0)},
      {"|a: f64, b: f64|\na ** b", {-8.0, 1.0 / 3}, kNaN},
      {"|a: f64, b: f64|\na ** b", {kNaN, 0.0}, 1.0},
      {"|a: f32, b: f32|\na ** b", {2.0, 0.5}, double(std::pow(2.0f, 0.5f))},
      {"|a: f16, b: f16|\na ** b", {2.0, 16.0}, kInf},
  });
}

TEST(EvalOps, ComparisonsInThePromotedDtype) {
  check({
      {"|a: f64, b: f64|\na == b", {kNaN, kNaN}, 0},
      {"|a: f64, b: f64|\na != b", {kNaN, kNaN}, 1},
      {"|a: f64, b: f64|\na <= b", {-0.0, 0.0}, 1},
      {"|a: u8, b: i8|\na < b", {200, -1}, 0},
      {"|a: u64, b: u64|\na > b", {kU64Max, 1}, 1},
      {"|a: c64, b: c64|\na == b", {std::complex<double>(1, 2), std::complex<double>(1, 3)}, 0},
      {"|a: c64, b: c64|\na != b", {std::complex<double>(1, 2), std::complex<double>(1, 3)}, 1},
      {"|a: bool, b: bool|\na < b", {0, 1}, 1},
  });
}

TEST(EvalOps, SelectAndBooleanOperators) {
  check({
      {"|c: bool, a: i8, b: i8|\nif c then a else b", {1, 5, 7}, 5},
      {"|c: bool, a: i8, b: i8|\nif c then a else b", {0, 5, 7}, 7},
      {"|c: bool, a: f64, b: i8|\nif c then a else b", {0, 0.5, 7}, 7.0},
      // both branches are computed and neither raises
      {"|x: i32|\nif x == 0 then 0 else 10 // x", {0}, 0},
      {"|a: bool, b: bool|\n!a && b", {0, 1}, 1},
      {"|a: bool, b: bool|\na || b", {0, 0}, 0},
  });
}

TEST(EvalOps, HalfPrecisionRoundsOnceTiesToEven) {
  const double sub = std::ldexp(1.0, -24);
  check({
      {"|a: f16, b: f16|\na + b", {2048.0, 1.0}, 2048.0},
      {"|a: f16, b: f16|\na + b", {2048.0, 3.0}, 2052.0},
      {"|a: f16, b: f16|\na + b", {65504.0, 16.0}, kInf},
      {"|a: f16, b: f16|\na + b", {65504.0, 8.0}, 65504.0},
      {"|a: f16, b: f16|\na * b", {sub, 0.5}, 0.0},
      {"|a: f16, b: f16|\na * b", {3 * sub, 0.5}, 2 * sub},
      {"|a: f16, b: f16|\na / b", {1.0, 3.0}, 0.333251953125},
      {"|a: f16|\nsqrt(a)", {2.0}, 1.4140625},
      {"|a: f16|\nexp(a)", {1.0}, 2.71875},
  });
}

TEST(EvalOps, BrainFloatRoundsOnceTiesToEven) {
  const double half_ulp = std::ldexp(1.0, -8);
  check({
      {"|a: bf16, b: bf16|\na + b", {1.0, 1.0 + 2 * half_ulp}, 2.0},
      {"|a: bf16|\na", {1.0 + half_ulp}, 1.0},
      {"|a: bf16|\na", {1.0 + 3 * half_ulp}, 1.0 + 4 * half_ulp},
      {"|a: bf16|\na", {3.39e38}, 0x1.fep127},
      {"|a: bf16|\na", {3.4e38}, kInf},
      {"|a: bf16, b: bf16|\na * b", {0x1.fep127, 2.0}, kInf},
      {"|a: bf16|\na", {0x1p-133}, 0x1p-133},
  });
}

TEST(EvalOps, FloatToIntegerCutsAndSaturates) {
  check({
      {"|x: f64|\nx@i32", {kNaN}, 0},
      {"|x: f64|\nx@i32", {kInf}, 2147483647},
      {"|x: f64|\nx@i32", {-kInf}, -2147483648},
      {"|x: f64|\nx@i32", {-2.9}, -2},
      {"|x: f64|\nx@u8", {-5.5}, 0},
      {"|x: f64|\nx@u8", {300.7}, 255},
      {"|x: f64|\nx@u64", {1e20}, kU64Max},
      {"|x: f64|\nx@u64", {-1e20}, 0},
      {"|x: f64|\nx@i64", {9.3e18}, kI64Max},
      {"|x: f64|\nx@i64", {-0x1p63}, kI64Min},
      {"|x: f16|\nx@i8", {-200.0}, -128},
      {"|z: c128|\nz@i16", {std::complex<double>(-3.7, 9)}, -3},
  });
}

TEST(EvalOps, IntegerToFloatRoundsOnce) {
  check({
      {"|x: u64|\nx@f32", {kU64Max}, 0x1p64},
      // above the halfway point by one: a detour through f64 lands on it and rounds to even
      {"|x: u64|\nx@f32",
       {(std::uint64_t{1} << 63) + (std::uint64_t{1} << 39) + 1},
       0x1p63 + 0x1p40},
      {"|x: u64|\nx@bf16",
       {(std::uint64_t{1} << 63) + (std::uint64_t{1} << 55) + 1},
       0x1p63 + 0x1p56},
      {"|x: i64|\nx@bf16",
       {-((std::int64_t{1} << 62) + (std::int64_t{1} << 54) + 1)},
       -(0x1p62 + 0x1p55)},
      {"|x: i64|\nx@f16", {65519}, 65504.0},
      {"|x: i64|\nx@f16", {65520}, kInf},
      {"|x: i64|\nx@f16", {kI64Min}, -kInf},
      {"|x: u64|\nx@f64", {(std::uint64_t{1} << 53) + 1}, 0x1p53},
      {"|x: i32|\nx@c64", {16777217}, std::complex<double>(16777216, 0)},
      {"|x: bool|\nx@f16", {1}, 1.0},
  });
}

TEST(EvalOps, IntegerToIntegerWraps) {
  check({
      {"|x: i32|\nx@u8", {300}, 44},
      {"|x: i32|\nx@u8", {-1}, 255},
      {"|x: i32|\nx@i8", {200}, -56},
      {"|x: u64|\nx@i64", {kU64Max}, -1},
      {"|x: i8|\nx@u64", {-1}, kU64Max},
      {"|x: i16|\nx@bool", {256}, 1},
  });
}

TEST(EvalOps, FloatToFloatRoundsOnce) {
  check({
      {"|x: f64|\nx@f16", {65519.99}, 65504.0},
      {"|x: f64|\nx@f16", {65520.0}, kInf},
      {"|x: f64|\nx@f16", {1e-8}, 0.0},
      {"|x: f64|\nx@f16", {5e-8}, 0x1p-24},
      // f32 would keep only 1 + 2^-8, which then ties down to 1 in bf16
      {"|x: f64|\nx@bf16", {1.0 + 0x1p-8 + 0x1p-30}, 1.0 + 0x1p-7},
      {"|x: f64|\nx@f32", {1e39}, kInf},
      {"|x: f32|\nx@f64", {0.1f}, double(0.1f)},
      {"|x: f64|\nx@bool", {kNaN}, 1},
      {"|x: f64|\nx@bool", {-0.0}, 0},
  });
}

TEST(EvalOps, ComplexCastsAndArithmetic) {
  using C = std::complex<double>;
  check({
      {"|z: c128|\nz@f64", {C(1.5, 2)}, 1.5},
      {"|z: c128|\nz@bool", {C(0, 1)}, 1},
      {"|z: c128|\nz@bool", {C(0, -0.0)}, 0},
      {"|x: f64|\nx@c128", {2.5}, C(2.5, 0)},
      {"|z: c128|\nz@c64", {C(0.1, 1e40)}, C(double(0.1f), kInf)},
      {"|a: c128, b: c128|\na * b", {C(1, 2), C(3, 4)}, C(-5, 10)},
      {"|a: c128, b: c128|\na + b", {C(1, 2), C(3, -4)}, C(4, -2)},
      {"|a: c64, b: c64|\na ** b", {C(1, 1), C(2, 0)}, C(0, 2)},
      {"|a: c128, b: c128|\na ** b", {C(0, 0), C(0, 0)}, C(1, 0)},
      {"|a: c128, b: c128|\na ** b", {C(0, 1), C(-1, 0)}, C(0, -1)},
      {"|z: c128|\nabs(z)", {C(3, -4)}, C(5, 0)},
      {"|z: c128|\nsqrt(z)", {C(-4, 0)}, C(0, 2)},
  });
  const Val q = eval_one("|a: c128, b: c128|\na / b", {C(-5, 10), C(3, 4)});
  EXPECT_NEAR(q.c.real(), 1.0, 4e-16);
  EXPECT_NEAR(q.c.imag(), 2.0, 4e-16);
}

TEST(EvalOps, BuiltinsOfIntegersAndBools) {
  check({
      {"|x: i8|\nabs(x)", {-128}, -128},
      {"|x: i32|\nabs(x)", {-5}, 5},
      {"|x: i32|\nrelu(x)", {-5}, 0},
      {"|x: u8|\nfloor(x)", {7}, 7},
      {"|x: i64|\nceil(x)", {kI64Min}, kI64Min},
      {"|x: i32|\nexp(x)", {2}, 7},
      {"|x: i32|\nsqrt(x)", {-1}, 0},
      {"|x: i32|\nlog(x)", {0}, -2147483648},
      {"|x: u8|\nexp(x)", {10}, 255},
      {"|x: i64|\nexp(x)", {1000}, kI64Max},
      {"|x: bool|\nsigmoid(x)", {0}, 1},
      {"|x: bool|\nsin(x)", {0}, 0},
  });
}

TEST(EvalOps, BuiltinsOfFloatsAtTheirEdges) {
  check({
      {"|x: f64|\nrelu(x)", {kNaN}, 0.0},
      {"|x: f64|\nrelu(x)", {-0.0}, 0.0},
      {"|x: f32|\nrelu(x)", {2.5}, 2.5},
      {"|x: f64|\nfloor(x)", {-0.5}, -1.0},
      {"|x: f64|\nceil(x)", {-0.5}, -0.0},
      {"|x: f64|\nsqrt(x)", {-1.0}, kNaN},
      {"|x: f64|\nabs(x)", {-0.0}, 0.0},
      {"|x: f64|\nsoftplus(x)", {1000.0}, 1000.0},
      {"|x: f32|\nsoftplus(x)", {-200.0}, 0.0},
      {"|x: f64|\nsigmoid(x)", {-1000.0}, 0.0},
      {"|x: f64|\nsigmoid(x)", {40.0}, 1.0},
      {"|x: f64|\nexp(x)", {710.0}, kInf},
      {"|x: f64|\nlog(x)", {0.0}, -kInf},
      {"|x: bf16|\ntanh(x)", {20.0}, 1.0},
  });
}

TEST(EvalOps, FusedBuiltinsAvoidOverflow) {
  struct Fused {
    ir::Builtin builtin;
    double x;
    double expected;
  };
  const Fused cases[] = {
      {ir::Builtin::SigmoidLog, -1000.0, -1000.0},
      {ir::Builtin::SigmoidLog, 0.0, -std::log(2.0)},
      {ir::Builtin::ExpSigmoid, 1000.0, 1.0},
      {ir::Builtin::ExpSigmoid, -1000.0, 0.5},
  };
  for (const Fused& c : cases) {
    DagBuilder b;
    b.param("x", ir::dtypes::kF64);
    const ir::NodeId x = b.add(ir::node::Param{0}, ir::dtypes::kF64);
    ir::node::Call call{{x}, c.builtin};
    const ir::NodeId y = b.add(call, ir::dtypes::kF64);
    b.dag.outputs = {y};
    auto program = eval::Program::build(b.dag);
    ASSERT_TRUE(program.has_value());
    EXPECT_EQ(eval_all(*program, {c.x}).at(0), Val(c.expected)) << ir::builtin_name(c.builtin);
  }
}

TEST(EvalOps, OperationsWithoutTypedMeaningAreRefused) {
  struct Refused {
    const char* source;
    const char* message;
  };
  const Refused cases[] = {
      {"|a: c64, b: c64|\na < b", "cannot evaluate `<` on c64"},
      {"|a: c128, b: c128|\na >= b", "cannot evaluate `>=` on c128"},
      {"|a: c128, b: c128|\na % b", "cannot evaluate `%` on c128"},
      {"|z: c64|\nrelu(z)", "cannot evaluate `relu` on c64"},
      {"|z: c128|\nfloor(z)", "cannot evaluate `floor` on c128"},
      {"|z: c64|\nceil(z)", "cannot evaluate `ceil` on c64"},
  };
  for (const Refused& c : cases) {
    auto program = build_program(c.source);
    ASSERT_FALSE(program.has_value()) << c.source;
    EXPECT_EQ(program.error().message, c.message);
  }
}

TEST(EvalOps, ConstantsTakeTheirNodesDtypeByTheCastRules) {
  check({
      {"|x: u8|\nx + 255@u8", {1}, 0},
      {"|x: f32|\nx + 0.1@f32", {0.0}, double(0.1f)},
      {"|x: f16|\nx * 0.1@f16", {1.0}, 0.0999755859375},
      {"|x: i32|\nx + 2.9@i32", {0}, 2},
      {"|x: f64|\nx + pi", {0.0}, M_PI},
  });
}

}  // namespace
}  // namespace tarvelon::testing
