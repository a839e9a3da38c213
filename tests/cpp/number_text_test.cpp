#include "support/number_text.h"

#include <gtest/gtest.h>

#include <locale.h>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace tarvelon::support {
namespace {

TEST(FormatDouble, ShortestPlainDecimal) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1"},
      {0.1, "0.1"},
      {1e20, "100000000000000000000"},
      {-0.0, "-0"},
      {123456.789, "123456.789"},
      {0.5, "0.5"},
      {-2.5, "-2.5"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(format_double(v), text);
  const std::string tiny = format_double(5e-324);
  EXPECT_EQ(tiny, "0." + std::string(323, '0') + "5");
  EXPECT_EQ(format_double(1e300), "1" + std::string(300, '0'));
  EXPECT_EQ(format_double(-1.5e25), "-15" + std::string(24, '0'));
  EXPECT_EQ(format_double(1.7976931348623157e308), "17976931348623157" + std::string(292, '0'));
  EXPECT_EQ(format_double(0.001), "0.001");
  EXPECT_EQ(format_double(1234.5), "1234.5");
}

TEST(FormatDouble, ReadsBackAsTheSameValue) {
  for (double v : {0.1, 1.0 / 3.0, 2.718281828459045, 6.02214076e23, 1.5e-10, 5e-324,
                   std::numeric_limits<double>::max()}) {
    double back = 0;
    ASSERT_TRUE(parse_decimal(format_double(v), back)) << v;
    EXPECT_EQ(back, v);
  }
}

// Whatever path writes a double, its text is the shortest that reads back: it has as many
// significant digits as the shortest scientific form, and it reads back as the same value.
TEST(FormatDouble, IsTheShortestTextThatReadsBack) {
  std::vector<double> values;
  for (std::int64_t m :
       {1LL, 5LL, 25LL, 125LL, 44715LL, 999999999999999LL, 123456789012345LL, 7LL}) {
    for (double scale : {1.0, 1e1, 1e2, 1e3, 1e5, 1e8, 1e9, 1e-1, 1e-4, 1e-7, 1e-8, 1e-9}) {
      values.push_back(static_cast<double>(m) * scale);
      values.push_back(static_cast<double>(m) / scale);
    }
  }
  std::uint64_t bits = 0x9E3779B97F4A7C15u;
  for (int i = 0; i < 2000; ++i) {
    bits = bits * 6364136223846793005u + 1442695040888963407u;
    values.push_back(std::ldexp(static_cast<double>(bits >> 11), static_cast<int>(bits % 90) - 70));
    values.push_back(static_cast<double>(bits % 100000) / 1000.0);
  }
  for (double v : values) {
    if (v == 0) continue;  // its one digit is a zero, which the count below strips
    for (double x : {v, -v}) {
      const std::string text = format_double(x);
      double back = 0;
      ASSERT_TRUE(parse_decimal(text[0] == '-' ? text.substr(1) : text, back)) << text;
      EXPECT_EQ(x < 0 ? -back : back, x) << text;
      char sci[32];
      const char* end = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific).ptr;
      std::size_t shortest = 0;
      for (const char* p = sci; p != end && *p != 'e'; ++p) shortest += *p >= '0' && *p <= '9';
      std::string significant = text;
      std::erase_if(significant, [](char c) { return c < '0' || c > '9'; });
      significant.erase(0, significant.find_first_not_of('0'));
      significant.erase(significant.find_last_not_of('0') + 1);
      EXPECT_EQ(significant.size(), shortest) << text;
    }
  }
}

TEST(ParseDecimal, RoundsToNearestAndSaturates) {
  const std::pair<const char*, double> cases[] = {
      {"1.5", 1.5},
      {"0.25e-3", 0.25e-3},
      {"2E10", 2e10},
      {"007.5", 7.5},
      {"1e400", std::numeric_limits<double>::infinity()},
      {"123456789e999999999999999999", std::numeric_limits<double>::infinity()},
      {"1e-400", 0.0},
      {"0.000001e-999999999999", 0.0},
      {"4.9e-324", 5e-324},
      {"0e999999", 0.0},
      {"9007199254740993", 9007199254740992.0},
  };
  for (const auto& [text, expected] : cases) {
    double v = -1;
    ASSERT_TRUE(parse_decimal(text, v)) << text;
    EXPECT_EQ(v, expected) << text;
  }
}

// Texts on both sides of the limits of the exact one-operation reading (a significand of 2^53,
// a power of ten of 22 either way), each checked against the C library's correctly rounded
// reader, so that a wrong shortcut shows as a value one unit off.
TEST(ParseDecimal, AgreesWithTheLibraryReaderAtTheLimitsOfTheExactPath) {
  const char* cases[] = {
      "9007199254740992",
      "9007199254740993",
      "9007199254740995",
      "900719925474099.3",
      "9007199254740991e22",
      "9007199254740991e23",
      "9007199254740991e-22",
      "9007199254740991e-23",
      "1e22",
      "1e23",
      "1e-22",
      "1e-23",
      "0.1",
      "0.3",
      "0.044715",
      "0.7978845608028654",
      "2.718281828459045",
      "123.456e-20",
      "00000000000000000000001.5",
      "1.50000000000000000000",
      "0.00000000000000000000001",
      "1e+022",
      "1e-0000000000000005",
      "3.0e0",
      "17976931348623157e292",
      "2.2250738585072014e-308",
  };
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  for (const char* text : cases) {
    double v = -1;
    ASSERT_TRUE(parse_decimal(text, v)) << text;
    EXPECT_EQ(v, strtod_l(text, nullptr, c_locale)) << text;
  }
}

TEST(ParseDecimal, RejectsTextOutsideTheGrammar) {
  for (const char* text : {"", ".5", "1.", "1e", "1e+", "-1", " 1", "1x", "inf", "nan"}) {
    double v = 7;
    EXPECT_FALSE(parse_decimal(text, v)) << text;
    EXPECT_EQ(v, 7);
  }
}

// The digit count is estimated from the bit width and corrected at each power of ten: every
// boundary on both sides, and the extremes, must agree with the standard conversion.
TEST(WriteDecimalU32, AgreesWithToCharsAtEveryDigitCountBoundary) {
  std::vector<std::uint32_t> values = {0, 1, std::numeric_limits<std::uint32_t>::max()};
  for (std::uint64_t p = 10; p <= std::numeric_limits<std::uint32_t>::max(); p *= 10) {
    values.push_back(static_cast<std::uint32_t>(p - 1));
    values.push_back(static_cast<std::uint32_t>(p));
  }
  for (int bit = 0; bit < 32; ++bit) values.push_back(std::uint32_t{1} << bit);
  for (const std::uint32_t v : values) {
    char expected[10];
    char got[10];
    char* expected_end = std::to_chars(expected, expected + 10, v).ptr;
    char* got_end = write_decimal_u32(got, v);
    EXPECT_EQ(std::string_view(got, got_end), std::string_view(expected, expected_end)) << v;
  }
}

}  // namespace
}  // namespace tarvelon::support
