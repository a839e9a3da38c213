#pragma once

#include <array>
#include <bit>
#include <charconv>
#include <concepts>
#include <cstdint>
#include <cstring>
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

namespace detail {
/// The two digits of each number below 100.
inline constexpr auto kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();
inline constexpr std::uint32_t kPowersOfTen[] = {1,      10,      100,      1000,      10000,
                                                 100000, 1000000, 10000000, 100000000, 1000000000};
}  // namespace detail

/// Writes `value` in decimal at `out`, which has room for 10 bytes, and returns the end. Kept
/// beside `std::to_chars` because emitting writes a temporary's number on nearly every line, and
/// this form (digit count from the bit width, digits two at a time) takes a sixth fewer
/// instructions over the emitter (bench/frontend_bench.cpp, BM_ParseLowerEmit).
inline char* write_decimal_u32(char* out, std::uint32_t value) noexcept {
  // The count of decimal digits from the count of binary digits, as log10(2) ~ 1233 / 4096
  // gives it, one short where the number reaches the next power of ten. Setting the low bit
  // changes no count and gives 0 its one digit.
  const std::uint32_t odd = value | 1u;
  const auto estimate = static_cast<std::size_t>(std::bit_width(odd) * 1233) >> 12;
  const std::size_t count = estimate + (odd >= detail::kPowersOfTen[estimate]);
  char* const end = out + count;
  char* at = end;
  std::uint32_t v = value;
  for (; v >= 100; v /= 100) {
    at -= 2;
    std::memcpy(at, &detail::kDigitPairs[2 * (v % 100)], 2);
  }
  if (v >= 10) {
    std::memcpy(at - 2, &detail::kDigitPairs[2 * v], 2);
  } else {
    at[-1] = static_cast<char>('0' + v);
  }
  return end;
}

/// Reads a decimal floating-point text (digits, optional fraction, optional exponent; no sign,
/// no blanks) as the IEEE binary64 value nearest to it: overflow gives infinity and underflow
/// gives zero or a subnormal. Text outside that grammar yields false.
bool parse_decimal(std::string_view text, double& value);

/// `parse_decimal` for a text already known to be in its grammar, which is not checked again.
double read_decimal(std::string_view text);

}  // namespace tarvelon::support
