#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>

#include "ir/lower.h"
#include "ir_text.h"

namespace tarvelon::ir {
namespace {

using namespace vocab::dtypes;  // NOLINT
using vocab::DType;

using testing::diags_text;
using testing::node_text;

constexpr Span kSpan{2, 9};
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

/// Runs one literal through a fresh collecting context; the text of the node it returned and
/// every diagnostic filed.
struct Outcome {
  std::string node;
  std::vector<std::string> diags;
};

template <class F>
Outcome run(F lower) {
  Ctx ctx;
  auto id = lower(ctx);
  EXPECT_TRUE(id.has_value());
  std::vector<std::string> diags = diags_text(ctx.mode.warnings);
  for (auto& e : diags_text(ctx.mode.errors)) diags.push_back(e);
  return {node_text(ctx.nodes[*id], ctx.dtypes[*id]), diags};
}

struct IntCase {
  std::int64_t value;
  std::optional<DType> suffix;
  const char* node;
  const char* error;  // nullptr when the literal is in range
};

TEST(IntLiteral, TakesTheNarrowestSignedDtypeOrChecksTheSuffix) {
  const std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  const IntCase cases[] = {
      {127, {}, "i8 const 127i", nullptr},
      {128, {}, "i16 const 128i", nullptr},
      {-128, {}, "i8 const -128i", nullptr},
      {-129, {}, "i16 const -129i", nullptr},
      {32767, {}, "i16 const 32767i", nullptr},
      {32768, {}, "i32 const 32768i", nullptr},
      {2147483647, {}, "i32 const 2147483647i", nullptr},
      {2147483648, {}, "i64 const 2147483648i", nullptr},
      {kMin, {}, "i64 const -9223372036854775808i", nullptr},
      {255, kU8, "u8 const 255i", nullptr},
      {300, kU8, "i64 const 0i",
       "IntOutOfRange [2,9) integer literal `300` is out of range for `u8` | <default>"},
      {-1, kU64, "i64 const 0i",
       "IntOutOfRange [2,9) integer literal `-1` is out of range for `u64` | <default>"},
      {kMax, kU64, "u64 const 9223372036854775807i", nullptr},
      {4294967295, kU32, "u32 const 4294967295i", nullptr},
      {4294967296, kU32, "i64 const 0i",
       "IntOutOfRange [2,9) integer literal `4294967296` is out of range for `u32` | <default>"},
      {-128, kI8, "i8 const -128i", nullptr},
      {128, kI8, "i64 const 0i",
       "IntOutOfRange [2,9) integer literal `128` is out of range for `i8` | <default>"},
      {kMin, kI64, "i64 const -9223372036854775808i", nullptr},
      {3, kF32, "f32 const 3i", nullptr},
      // A bool suffix makes the literal a truth value: nonzero is true.
      {-7, kBool, "bool const true", nullptr},
      {0, kBool, "bool const false", nullptr},
      {5, kC128, "c128 const 5i", nullptr},
  };
  for (const IntCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.value) + "@" + (c.suffix ? c.suffix->to_str() : "none"));
    Outcome o = run([&](Ctx& ctx) { return lower_int_literal(ctx, c.value, c.suffix, kSpan); });
    EXPECT_EQ(o.node, c.node);
    EXPECT_EQ(o.diags, c.error ? std::vector<std::string>{c.error} : std::vector<std::string>{});
  }
}

TEST(IntLiteral, OutOfRangeFailsAtOnceInFailFastMode) {
  Ctx ctx;
  ctx.mode.kind = DiagMode::Kind::FailFast;
  auto r = lower_int_literal(ctx, 256, kU8, kSpan);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message, "integer literal `256` is out of range for `u8`");
  EXPECT_TRUE(ctx.nodes.empty());
}

struct FloatCase {
  double value;
  std::optional<DType> suffix;
  const char* node;
  const char* warning;  // nullptr when none
};

TEST(FloatLiteral, TakesTheNarrowestExactDtypeOrWarnsAboutTheSuffix) {
  const FloatCase cases[] = {
      {0.5, {}, "f16 const 0.5", nullptr},
      {2.5, {}, "f16 const 2.5", nullptr},
      {0.1, {}, "f64 const 0.1", nullptr},
      {65504.0, {}, "f16 const 65504", nullptr},
      {65520.0, {}, "f32 const 65520", nullptr},
      {16777216.0, {}, "f32 const 16777216", nullptr},
      {16777217.0, {}, "f64 const 16777217", nullptr},
      {std::ldexp(1.0, -24), {}, "f16 const 0.00000005960464477539063", nullptr},
      {std::ldexp(1.0, -25), {}, "f32 const 0.000000029802322387695312", nullptr},
      {std::ldexp(1.0, 130), {}, "f64 const 1361129467683754000000000000000000000000", nullptr},
      {kNaN, {}, "f16 const NaN", nullptr},
      {-kInf, {}, "f16 const -inf", nullptr},
      {0.1, kF32, "f32 const 0.1",
       "FloatPrecisionLoss [2,9) literal `0.1` may lose precision in `f32` | consider f64 for "
       "full precision"},
      {0.1, kF16, "f16 const 0.1",
       "FloatPrecisionLoss [2,9) literal `0.1` may lose precision in `f16` | consider f32 or f64 "
       "for full precision"},
      {0.1, kBF16, "bf16 const 0.1",
       "FloatPrecisionLoss [2,9) literal `0.1` may lose precision in `bf16` | consider f32 or "
       "f64 for full precision"},
      {1e20, kF16, "f16 const 100000000000000000000",
       "FloatPrecisionLoss [2,9) literal `100000000000000000000` may lose precision in `f16` | "
       "consider f32 or f64 for full precision"},
      {257.0, kBF16, "bf16 const 257",
       "FloatPrecisionLoss [2,9) literal `257` may lose precision in `bf16` | consider f32 or "
       "f64 for full precision"},
      {256.0, kBF16, "bf16 const 256", nullptr},
      {kInf, kF16, "f16 const inf", nullptr},
      {0.1, kF64, "f64 const 0.1", nullptr},
      // An integer or bool suffix converts the value: cut toward zero and saturated, or nonzero.
      {0.1, kI32, "i32 const 0i", nullptr},
      {-2.5, kI8, "i8 const -2i", nullptr},
      {1e300, kU8, "u8 const 9223372036854775807i", nullptr},
      {kNaN, kI64, "i64 const 0i", nullptr},
      {0.5, kBool, "bool const true", nullptr},
      {-0.0, kBool, "bool const false", nullptr},
      {kNaN, kBool, "bool const true", nullptr},
      {0.1, kC64, "c64 const 0.1", nullptr},
  };
  for (const FloatCase& c : cases) {
    SCOPED_TRACE(support::format_double(c.value) + "@" + (c.suffix ? c.suffix->to_str() : "none"));
    Outcome o = run([&](Ctx& ctx) { return lower_float_literal(ctx, c.suffix, kSpan, c.value); });
    EXPECT_EQ(o.node, c.node);
    EXPECT_EQ(o.diags,
              c.warning ? std::vector<std::string>{c.warning} : std::vector<std::string>{});
  }
}

struct ComplexCase {
  double re;
  double im;
  std::optional<DType> suffix;
  std::string node;
  std::vector<std::string> warnings;
};

TEST(ComplexLiteral, NarrowsToC64WhenBothPartsFitBinary32) {
  const ComplexCase cases[] = {
      {0, 0.5, {}, "c64 const (0, 0.5)", {}},
      {0, 0.1, {}, "c128 const (0, 0.1)", {}},
      {kNaN, kInf, {}, "c64 const (NaN, inf)", {}},
      {0,
       0.1,
       kC64,
       "c64 const (0, 0.1)",
       {"FloatPrecisionLoss [2,9) literal `0.1` may lose precision in `f32` | consider f64 for "
        "full precision"}},
      {0.2,
       0.1,
       kC64,
       "c64 const (0.2, 0.1)",
       {"FloatPrecisionLoss [2,9) literal `0.2` may lose precision in `f32` | consider f64 for "
        "full precision",
        "FloatPrecisionLoss [2,9) literal `0.1` may lose precision in `f32` | consider f64 for "
        "full precision"}},
      {kNaN,
       std::ldexp(1.0, 200),
       kC64,
       "c64 const (NaN, 1606938044258990300000000000000000000000000000000000000000000)",
       {"FloatPrecisionLoss [2,9) literal "
        "`1606938044258990300000000000000000000000000000000000000000000` may lose precision in "
        "`f32` | consider f64 for "
        "full precision"}},
      {0.1, 0.1, kC128, "c128 const (0.1, 0.1)", {}},
      {0.1, 0.1, kF16, "f16 const (0.1, 0.1)", {}},
  };
  for (const ComplexCase& c : cases) {
    SCOPED_TRACE(c.node);
    Outcome o =
        run([&](Ctx& ctx) { return lower_complex_literal(ctx, c.suffix, kSpan, c.re, c.im); });
    EXPECT_EQ(o.node, c.node);
    EXPECT_EQ(o.diags, c.warnings);
  }
}

TEST(FloatRepresentable, FollowsEachFormatsRangeAndPrecision) {
  struct Case {
    DType dtype;
    double value;
    bool fits;
  };
  const Case cases[] = {
      {kF16, 65504.0, true},
      {kF16, 65505.0, false},
      {kF16, 65536.0, false},
      {kF16, std::ldexp(1.0, -24), true},
      {kF16, std::ldexp(3.0, -25), false},
      {kF16, std::ldexp(1023.0, -24), true},
      {kF16, 2049.0, false},
      {kF16, 2050.0, true},
      {kBF16, 0x1.fep127, true},
      {kBF16, 0x1.ffp127, false},
      {kBF16, std::ldexp(1.0, -133), true},
      {kBF16, std::ldexp(1.0, -134), false},
      {kBF16, 1.0078125, true},
      {kBF16, 1.00390625, false},
      {kF32, static_cast<double>(FLT_MAX), true},
      {kF32, 0x1.ffffffp127, false},
      {kF32, std::ldexp(1.0, -149), true},
      {kF32, std::ldexp(1.0, -150), false},
      {kF32, 16777217.0, false},
      {kF32, -0.0, true},
      {kF32, kNaN, true},
      {kBF16, -kInf, true},
      {kF64, 0.1, true},
      {kI32, 0.5, true},
      {kC64, 0.1, true},
      {kBool, 0.3, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.dtype.to_str()) + " " + support::format_double(c.value));
    EXPECT_EQ(float_representable_in(c.dtype, c.value), c.fits);
  }
}

struct PromoteCase {
  DType left;
  DType right;
  const char* result;
  std::vector<std::string> diags;  // warnings list, then errors list
};

TEST(PromoteWithDiags, ReportsUnsafeAndImplicitPromotionsAndFailures) {
  const Span l{0, 1};
  const Span r{4, 6};
  const PromoteCase cases[] = {
      {kI32, kI32, "i32", {}},
      {kI32,
       kI8,
       "i32",
       {"ImplicitPromotion [0,6) implicit promotion in +: i32 + i8 -> i32 | cast the right "
        "operand from i8 to i32 using `@i32` | [0,1) left operand (i32) | [4,6) right operand "
        "(i8)"}},
      {kI8,
       kI32,
       "i32",
       {"ImplicitPromotion [0,6) implicit promotion in +: i8 + i32 -> i32 | cast the left "
        "operand from i8 to i32 using `@i32` | [0,1) left operand (i8) | [4,6) right operand "
        "(i32)"}},
      {kU8,
       kI8,
       "i16",
       {"ImplicitPromotion [0,6) implicit promotion in +: u8 + i8 -> i16 | cast one operand to "
        "i16 using `@i16` | [0,1) left operand (u8) | [4,6) right operand (i8)"}},
      {kU64,
       kI32,
       "i64",
       {"UnsafeUintToSint [0,6) unsafe promotion in +: u64 and i32 promoted to i64 | u64 values "
        "may exceed i64 range; consider casting to f64/c128 or constraining the range",
        "ImplicitPromotion [0,6) implicit promotion in +: u64 + i32 -> i64 | cast one operand "
        "to i64 using `@i64` | [0,1) left operand (u64) | [4,6) right operand "
        "(i32)"}},
      {kI64,
       kU64,
       "i64",
       {"UnsafeUintToSint [0,6) unsafe promotion in +: i64 and u64 promoted to i64 | u64 values "
        "may exceed i64 range; consider casting to f64/c128 or constraining the range",
        "ImplicitPromotion [0,6) implicit promotion in +: i64 + u64 -> i64 | cast the right "
        "operand from u64 to i64 using `@i64` | [0,1) left operand (i64) | [4,6) right operand "
        "(u64)"}},
      {kU64,
       kU32,
       "u64",
       {"ImplicitPromotion [0,6) implicit promotion in +: u64 + u32 -> u64 | cast the right "
        "operand from u32 to u64 using `@u64` | [0,1) left operand (u64) | [4,6) right operand "
        "(u32)"}},
      {kF16,
       kBF16,
       "f32",
       {"ImplicitPromotion [0,6) implicit promotion in +: f16 + bf16 -> f32 | cast one operand "
        "to f32 using `@f32` | [0,1) left operand (f16) | [4,6) right operand (bf16)"}},
      {kBF16,
       kI32,
       "f64",
       {"TypeMismatch [0,6) type mismatch in +: cannot promote bf16 and i32 | <default>"}},
  };
  for (const PromoteCase& c : cases) {
    SCOPED_TRACE(std::string(c.left.to_str()) + " + " + c.right.to_str());
    Ctx ctx;
    auto t = promote_with_diags(ctx, "+", c.left, c.right, Span{0, 6}, std::pair{l, r});
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(t->to_str(), std::string(c.result));
    std::vector<std::string> diags = diags_text(ctx.mode.warnings);
    for (auto& e : diags_text(ctx.mode.errors)) diags.push_back(e);
    EXPECT_EQ(diags, c.diags);
  }
}

TEST(PromoteWithDiags, WithoutOperandSpansTheNoteHasNoLabels) {
  Ctx ctx;
  auto t = promote_with_diags(ctx, "if_branch", kF32, kI16, Span{3, 30}, std::nullopt);
  EXPECT_EQ(*t, kF32);
  EXPECT_EQ(diags_text(ctx.mode.warnings),
            std::vector<std::string>{
                "ImplicitPromotion [3,30) implicit promotion in if_branch: f32 + i16 -> f32 | "
                "cast the right operand from i16 to f32 using `@f32`"});
}

TEST(PromoteWithDiags, AFailedPromotionIsTheFailureInFailFastMode) {
  Ctx ctx;
  ctx.mode.kind = DiagMode::Kind::FailFast;
  auto t = promote_with_diags(ctx, "*", kC64, kBF16, Span{0, 6}, std::nullopt);
  ASSERT_FALSE(t.has_value());
  EXPECT_EQ(t.error().message, "type mismatch in *: cannot promote c64 and bf16");
}

}  // namespace
}  // namespace tarvelon::ir
