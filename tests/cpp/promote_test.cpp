#include "vocab/dtype.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>

namespace tarvelon::vocab {
namespace {

// The full promotion table: row = left operand, column = right operand.
constexpr const char* kColumns[] = {"bool", "u8",  "u16",  "u32", "u64", "i8",  "i16", "i32",
                                    "i64",  "f16", "bf16", "f32", "f64", "c64", "c128"};
struct Row {
  const char* left;
  std::array<const char*, 15> results;
};
const Row kPromotionTable[] = {
    {"bool",
     {"bool", "u8", "u16", "u32", "u64", "i8", "i16", "i32", "i64", "f16", "bf16", "f32", "f64",
      "c64", "c128"}},
    {"u8",
     {"u8", "u8", "u16", "u32", "u64", "i16", "i16", "i32", "i64", "f16", "fail", "f32", "f64",
      "c64", "c128"}},
    {"u16",
     {"u16", "u16", "u16", "u32", "u64", "i32", "i32", "i32", "i64", "f32", "fail", "f32", "f64",
      "c64", "c128"}},
    {"u32",
     {"u32", "u32", "u32", "u32", "u64", "i64", "i64", "i64", "i64", "f64", "fail", "f64", "f64",
      "c128", "c128"}},
    {"u64",
     {"u64", "u64", "u64", "u64", "u64", "i64", "i64", "i64", "i64", "f64", "fail", "f64", "f64",
      "c128", "c128"}},
    {"i8",
     {"i8", "i16", "i32", "i64", "i64", "i8", "i16", "i32", "i64", "f16", "fail", "f32", "f64",
      "c64", "c128"}},
    {"i16",
     {"i16", "i16", "i32", "i64", "i64", "i16", "i16", "i32", "i64", "f32", "fail", "f32", "f64",
      "c64", "c128"}},
    {"i32",
     {"i32", "i32", "i32", "i64", "i64", "i32", "i32", "i32", "i64", "f64", "fail", "f64", "f64",
      "c128", "c128"}},
    {"i64",
     {"i64", "i64", "i64", "i64", "i64", "i64", "i64", "i64", "i64", "f64", "fail", "f64", "f64",
      "c128", "c128"}},
    {"f16",
     {"f16", "f16", "f32", "f64", "f64", "f16", "f32", "f64", "f64", "f16", "f32", "f32", "f64",
      "c64", "c128"}},
    {"bf16",
     {"bf16", "fail", "fail", "fail", "fail", "fail", "fail", "fail", "fail", "f32", "bf16", "f32",
      "f64", "fail", "fail"}},
    {"f32",
     {"f32", "f32", "f32", "f64", "f64", "f32", "f32", "f64", "f64", "f32", "f32", "f32", "f64",
      "c64", "c128"}},
    {"f64",
     {"f64", "f64", "f64", "f64", "f64", "f64", "f64", "f64", "f64", "f64", "f64", "f64", "f64",
      "c128", "c128"}},
    {"c64",
     {"c64", "c64", "c64", "c128", "c128", "c64", "c64", "c128", "c128", "c64", "fail", "c64",
      "c128", "c64", "c128"}},
    {"c128",
     {"c128", "c128", "c128", "c128", "c128", "c128", "c128", "c128", "c128", "c128", "fail",
      "c128", "c128", "c128", "c128"}},
};

TEST(Promote, EveryOrderedPairMatchesTheTable) {
  for (const Row& row : kPromotionTable) {
    const DType a = *DType::from_str(row.left);
    for (std::size_t j = 0; j < 15; ++j) {
      const DType b = *DType::from_str(kColumns[j]);
      const std::string expected = row.results[j];
      const auto got = promote(a, b);
      SCOPED_TRACE(std::string(row.left) + " with " + kColumns[j]);
      if (expected == "fail") {
        ASSERT_FALSE(got.has_value());
        EXPECT_EQ(got.error(), (PromoteError{a, b}));
      } else {
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(got->to_str(), expected);
      }
    }
  }
}

TEST(FloatMerge, NonFloatsComeBackUnchanged) {
  const auto r = float_merge(dtypes::kI32, dtypes::kF32);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), std::pair(dtypes::kI32, dtypes::kF32));
  EXPECT_EQ(*float_merge(dtypes::kBF16, dtypes::kF16), dtypes::kF32);
  EXPECT_EQ(*float_merge(dtypes::kBF16, dtypes::kBF16), dtypes::kBF16);
}

TEST(DTypeNames, RoundTripInCanonicalOrder) {
  const auto names = all_dtype_names();
  ASSERT_EQ(names.size(), 15u);
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_STREQ(names[i], kColumns[i]);
    const auto d = DType::from_str(names[i]);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(*d, dtypes::kAll[i]);
    EXPECT_STREQ(d->to_str(), names[i]);
  }
  EXPECT_TRUE(DType::from_str("bf16")->brain);
}

TEST(DTypeNames, RejectsAnythingButTheExactName) {
  using namespace std::string_view_literals;
  for (const std::string_view text :
       {"BF16"sv, " f32"sv, "f32 "sv, ""sv, "f128"sv, "int"sv, "f"sv, "c12"sv, "c1280"sv, "bool8"sv,
        "u8\0"sv, "\0u8"sv, "f6\0"sv, "u"sv, "64"sv}) {
    const auto d = DType::from_str(text);
    ASSERT_FALSE(d.has_value()) << text;
    EXPECT_EQ(d.error(), text);
  }
}

TEST(DTypeNames, InvalidCombinationsAreNamedButNeverFail) {
  struct Case {
    DType d;
    const char* name;
  };
  const Case cases[] = {
      {DType::make(DTypeKind::Int, 24), "<invalid-dtype>"},
      {DType::make(DTypeKind::Float, 32, true), "<invalid-dtype>"},
      {DType::make(DTypeKind::Float, 8), "<invalid-dtype>"},
      {DType::make(DTypeKind::Complex, 128, true), "<invalid-dtype>"},
      {DType::make(DTypeKind::Complex, 32), "<invalid-dtype>"},
      {DType::make(DTypeKind::Bool, 8, true), "bool"},
      {DType::make(DTypeKind::UInt, 16, true), "u16"},
      {DType{static_cast<DTypeKind>(9), false, 8}, "<invalid-dtype>"},
  };
  for (const auto& c : cases) EXPECT_STREQ(c.d.to_str(), c.name);
}

}  // namespace
}  // namespace tarvelon::vocab
