// The narrow float formats: three independent roundings (bit manipulation, the CPU's
// half-precision instructions, and arithmetic on doubles) must agree bit for bit.
#include "eval/float_format.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <vector>

namespace tarvelon::eval {
namespace {

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

/// Random floats of every magnitude, and for each f16 value the points halfway to its neighbours
/// and one float step either side of them, where rounding decides.
std::vector<float> hard_floats() {
  std::vector<float> xs;
  for (std::uint32_t h = 0; h < 0x7c00u; ++h) {
    const float lo = float_from_f16_bits(static_cast<std::uint16_t>(h));
    const float hi = float_from_f16_bits(static_cast<std::uint16_t>(h + 1));
    const float mid = static_cast<float>((static_cast<double>(lo) + hi) / 2);
    for (float m : {mid, std::nextafter(mid, 0.0f), std::nextafter(mid, 1e9f), lo}) {
      xs.push_back(m);
      xs.push_back(-m);
    }
  }
  std::mt19937 rng(7);
  for (int i = 0; i < 200000; ++i)
    xs.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(rng())));
  return xs;
}

TEST(EvalFloatFormat, BlockConversionsMatchTheScalarOnes) {
  std::vector<std::uint16_t> all(65536);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint16_t>(i);
  std::vector<float> wide(all.size());
  f16_block_from_bits(all.data(), wide.data(), all.size());
  std::vector<std::uint16_t> back(all.size());
  f16_block_to_bits(wide.data(), back.data(), wide.size());
  for (std::size_t i = 0; i < all.size(); ++i) {
    ASSERT_EQ(bits(wide[i]), bits(float_from_f16_bits(all[i]))) << i;
    const bool nan = (i & 0x7c00u) == 0x7c00u && (i & 0x3ffu) != 0;
    ASSERT_EQ(back[i], nan ? (all[i] | 0x200u) : all[i]) << i;  // NaNs come back quiet
  }

  std::vector<float> xs = hard_floats();
  std::vector<float> rounded = xs;
  round_block_to_f16(rounded.data(), rounded.size());
  std::vector<std::uint16_t> halves(xs.size());
  f16_block_to_bits(xs.data(), halves.data(), xs.size());
  for (std::size_t i = 0; i < xs.size(); ++i) {
    ASSERT_EQ(bits(rounded[i]), bits(round_to_f16(xs[i]))) << std::hexfloat << xs[i];
    ASSERT_EQ(halves[i], f16_bits_from_float(xs[i])) << std::hexfloat << xs[i];
  }
}

TEST(EvalFloatFormat, RoundingFromDoubleAgreesWithRoundingFromFloat) {
  for (float x : hard_floats()) {
    if (std::isnan(x)) continue;
    ASSERT_EQ(bits(static_cast<float>(round_double_to_f16(x))), bits(round_to_f16(x)))
        << std::hexfloat << x;
    ASSERT_EQ(bits(static_cast<float>(round_double_to_bf16(x))), bits(round_to_bf16(x)))
        << std::hexfloat << x;
  }
}

TEST(EvalFloatFormat, OddRoundingKeepsWhetherBitsWereLost) {
  struct Case {
    std::uint64_t magnitude;
    double expected;
  };
  const Case cases[] = {
      {0, 0.0},
      {(std::uint64_t{1} << 52) + 1, 0x1p52 + 1},  // 53 bits: exact
      {(std::uint64_t{1} << 53) + 1, 0x1p53 + 2},  // a lost bit makes the kept last bit odd
      {(std::uint64_t{1} << 54) + 1, 0x1p54 + 4},
      {(std::uint64_t{1} << 54) + 2, 0x1p54 + 4},
      {(std::uint64_t{1} << 54) + 4, 0x1p54 + 4},
      {~std::uint64_t{0}, 0x1p64 - 0x1p11},
  };
  for (const Case& c : cases) EXPECT_EQ(odd_rounded(c.magnitude), c.expected) << c.magnitude;
}

}  // namespace
}  // namespace tarvelon::eval
