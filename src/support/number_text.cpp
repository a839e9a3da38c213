#include "support/number_text.h"

#include <locale.h>
#include <algorithm>
#include <array>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <string>

namespace tarvelon::support {

namespace {

/// Writes `value` when it is a decimal of at most 15 significant digits and at most 8 of them
/// after the point, as constants in kernels mostly are; false, writing nothing, otherwise. Such
/// a text is the shortest that reads back as `value`: two texts of at most 15 significant
/// digits are further apart than the rounding interval of any double, so no other text that
/// short reads back as it. This spares the general search for the shortest digits.
bool append_short_decimal(std::string& out, double value) {
  constexpr double kPowers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
  // Adding and taking away 2^52 rounds a smaller magnitude to a whole number, to even on a tie,
  // without a call to the library.
  constexpr double kRounder = 0x1p52;
  const double magnitude = std::fabs(value);
  if (!(magnitude >= 1e-8 && magnitude < 1e15)) return false;  // zero, NaN and inf too
  for (int places = 0; places < static_cast<int>(std::size(kPowers)); ++places) {
    // The scaled value and the power are both exact, so the quotient is the double nearest to
    // the decimal: equal to `value` exactly when the decimal reads back as it.
    const double product = magnitude * kPowers[places];
    if (product >= 1e15) return false;
    const double scaled = (product + kRounder) - kRounder;
    if (scaled >= 1e15) return false;
    if (scaled / kPowers[places] != magnitude) continue;
    // Sign, up to 15 digits, the point and up to 8 leading zeros.
    char text[32];
    char* at = text;
    if (value < 0) *at++ = '-';
    char digits[16];
    const auto count = static_cast<int>(
        std::to_chars(digits, digits + sizeof digits, static_cast<std::uint64_t>(scaled)).ptr -
        digits);
    if (places == 0) {
      at = std::copy_n(digits, count, at);
    } else if (count <= places) {
      at = std::copy_n("0.", 2, at);
      at = std::fill_n(at, places - count, '0');
      at = std::copy_n(digits, count, at);
    } else {
      at = std::copy_n(digits, count - places, at);
      *at++ = '.';
      at = std::copy_n(digits + count - places, places, at);
    }
    out.append(text, at);
    return true;
  }
  return false;
}

}  // namespace

void append_double(std::string& out, double value) {
  if (append_short_decimal(out, value)) return;
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // The shortest round-trip digits come from scientific notation; they are then laid out
  // positionally, padding with zeros, so 1e300 is "1" and 300 zeros rather than the exact
  // expansion of the nearest double.
  char sci[32];
  char* const sci_end =
      std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
  const char* p = sci;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  // The mantissa is one digit, then optionally "." and more digits, then "e", a sign and at
  // least two exponent digits.
  char digits[24];
  int count = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[count++] = *p;
  }
  ++p;  // the "e"
  const bool negative_exponent = *p++ == '-';
  int exponent = 0;
  for (; p != sci_end; ++p) exponent = exponent * 10 + (*p - '0');
  if (negative_exponent) exponent = -exponent;
  const int point = exponent + 1;  // digits before the decimal point
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out.append(digits, static_cast<std::size_t>(count));
  } else if (point >= count) {
    out.append(digits, static_cast<std::size_t>(count));
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out.append(digits, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits + point, static_cast<std::size_t>(count - point));
  }
}

std::string format_double(double value) {
  std::string out;
  append_double(out, value);
  return out;
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool matches_decimal_grammar(std::string_view text) {
  std::size_t i = 0;
  auto digits = [&] {
    const std::size_t start = i;
    while (i < text.size() && is_digit(text[i])) ++i;
    return i > start;
  };
  if (!digits()) return false;
  if (i < text.size() && text[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == text.size();
}

/// The value of a decimal text in the grammar above when it can be had exactly from one IEEE
/// operation: a significand of at most 2^53 and a power of ten of at most 22 either way are both
/// exact doubles, so their one rounded product or quotient is the correctly rounded value.
/// Literals as written in kernels ("2.0", "0.044715", "1e-3") take this path.
std::optional<double> exact_decimal(std::string_view text) {
  constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  constexpr std::uint64_t kMaxExact = std::uint64_t{1} << 53;
  std::uint64_t significand = 0;
  int scale = 0;  // the power of ten the significand's digits are multiplied by
  std::size_t i = 0;
  bool in_fraction = false;
  for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
    if (text[i] == '.') {
      in_fraction = true;
      continue;
    }
    significand = significand * 10 + static_cast<std::uint64_t>(text[i] - '0');
    if (significand > kMaxExact) return std::nullopt;
    scale -= in_fraction;
  }
  if (i < text.size()) {
    ++i;
    const bool negative = text[i] == '-';
    if (text[i] == '+' || text[i] == '-') ++i;
    int exponent = 0;
    for (; i < text.size(); ++i) {
      exponent = exponent * 10 + (text[i] - '0');
      if (exponent > 1000) return std::nullopt;
    }
    scale += negative ? -exponent : exponent;
  }
  if (scale < -22 || scale > 22) return std::nullopt;
  const auto m = static_cast<double>(significand);
  return scale < 0 ? m / kPowers[-scale] : m * kPowers[scale];
}

}  // namespace

bool parse_decimal(std::string_view text, double& value) {
  if (!matches_decimal_grammar(text)) return false;
  value = read_decimal(text);
  return true;
}

double read_decimal(std::string_view text) {
  if (const auto exact = exact_decimal(text)) return *exact;
  // Not every standard library reads doubles with from_chars, so the C reader does it, in the
  // C locale whatever the host process set: it rounds to nearest, overflow gives infinity and
  // underflow a subnormal or zero. The grammar check above leaves nothing it could stop early at.
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  if (c_locale == locale_t{}) throw std::bad_alloc();
  const std::string terminated(text);
  return strtod_l(terminated.c_str(), nullptr, c_locale);
}

}  // namespace tarvelon::support
