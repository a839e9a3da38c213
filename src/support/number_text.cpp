#include "support/number_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>

namespace tarvelon::support {

void append_double(std::string& out, double value) {
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
  std::array<char, 32> buf;
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value,
                                 std::chars_format::scientific);
  (void)ec;  // the buffer fits every finite double
  const std::string_view sci(buf.data(), static_cast<std::size_t>(end - buf.data()));
  const std::size_t e_pos = sci.find('e');
  std::string_view mantissa = sci.substr(0, e_pos);
  if (mantissa.front() == '-') {
    out += '-';
    mantissa.remove_prefix(1);
  }
  int exponent = 0;
  std::from_chars(sci.data() + e_pos + (sci[e_pos + 1] == '+' ? 2 : 1), sci.data() + sci.size(),
                  exponent);
  std::string digits;
  for (char c : mantissa) {
    if (c != '.') digits += c;
  }
  const int point = exponent + 1;  // digits before the decimal point
  const int count = static_cast<int>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point), std::string::npos);
  }
}

std::string format_double(double value) {
  std::string out;
  append_double(out, value);
  return out;
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

/// Whether a syntactically valid literal whose conversion was out of range is large (it
/// overflowed) rather than small (it underflowed): the decimal exponent of its leading nonzero
/// digit decides, computed with saturation so that any exponent length is safe.
bool is_overflow(std::string_view text) {
  std::size_t i = 0;
  long long lead = 0;  // decimal exponent of the first nonzero digit, before the written exponent
  bool seen_nonzero = false;
  long long int_digits = 0;
  for (; i < text.size() && is_digit(text[i]); ++i) {
    if (text[i] != '0' && !seen_nonzero) seen_nonzero = true;
    if (seen_nonzero) ++int_digits;
  }
  if (seen_nonzero) lead = int_digits - 1;
  if (i < text.size() && text[i] == '.') {
    ++i;
    long long pos = 0;
    for (; i < text.size() && is_digit(text[i]); ++i) {
      --pos;
      if (!seen_nonzero && text[i] != '0') {
        seen_nonzero = true;
        lead = pos;
      }
    }
  }
  long long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    for (; i < text.size(); ++i) {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (text[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  return lead + exponent > 0;
}

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

}  // namespace

bool parse_decimal(std::string_view text, double& value) {
  if (!matches_decimal_grammar(text)) return false;
  double result = 0.0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), result);
  if (ec == std::errc::result_out_of_range) {
    result = is_overflow(text) ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc() || end != text.data() + text.size()) {
    return false;
  }
  value = result;
  return true;
}

}  // namespace tarvelon::support
