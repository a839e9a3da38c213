#include "ir/convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tarvelon::ir {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

TEST(SaturateToI64, NaNIsZeroFractionsCutTowardZeroAndTheRangeClamps) {
  struct Case {
    double x;
    std::int64_t want;
  };
  const Case cases[] = {
      {kNaN, 0},       {2.9, 2},
      {-2.9, -2},      {-0.5, 0},
      {0x1p63, kMax},  {0x1.fffffffffffffp62, 9223372036854774784},  // the last double below 2^63
      {-0x1p63, kMin}, {-0x1.0000000000001p63, kMin},
      {1e300, kMax},   {kInf, kMax},
      {-kInf, kMin},
  };
  for (const Case& c : cases) EXPECT_EQ(saturate_to_i64(c.x), c.want) << c.x;
}

}  // namespace
}  // namespace tarvelon::ir
