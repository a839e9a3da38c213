#pragma once

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>

namespace tarvelon::support {

/// The shortest decimal text that reads back as `value`, in plain positional notation (never an
/// exponent) and without a forced fraction: 1.0 -> "1", 0.1 -> "0.1", 1e20 ->
/// "100000000000000000000", -0.0 -> "-0". Non-finite values are "NaN", "inf" and "-inf".
std::string format_double(double value);

/// Appends `format_double(value)` to `out`.
void append_double(std::string& out, double value);

/// Appends an integer as plain decimal, with a leading "-" when negative.
template <std::integral T>
requires(!std::same_as<T, bool>) void append_int(std::string& out, T value) {
  char buf[24];  // the widest 64-bit value with its sign
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  (void)ec;
  out.append(buf, end);
}

/// Reads a decimal floating-point text (digits, optional fraction, optional exponent; no sign,
/// no blanks) as the IEEE binary64 value nearest to it: overflow gives infinity and underflow
/// gives zero or a subnormal. Text outside that grammar yields false.
bool parse_decimal(std::string_view text, double& value);

/// `parse_decimal` for a text already known to be in its grammar, which is not checked again.
double read_decimal(std::string_view text);

}  // namespace tarvelon::support
