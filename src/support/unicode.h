#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace tarvelon::support {

/// An inclusive range of code points.
struct CodepointRange {
  char32_t lo;
  char32_t hi;
};

/// Marks a byte that does not start a well-formed UTF-8 sequence.
inline constexpr char32_t kInvalidCodepoint = 0xFFFFFFFF;

/// One character decoded from UTF-8. `len` is at least 1 whenever the input was not exhausted;
/// an ill-formed sequence (stray continuation byte, truncated or overlong sequence, surrogate,
/// value above U+10FFFF) decodes as `kInvalidCodepoint` of length 1.
struct DecodedChar {
  char32_t cp;
  std::size_t len;
};

/// Decodes the character starting at byte `pos` of `text`; reads only inside `text`.
/// Requires pos < text.size().
DecodedChar decode_utf8(std::string_view text, std::size_t pos);

/// Unicode White_Space.
bool is_white_space(char32_t cp);
/// Unicode XID_Start.
bool is_xid_start(char32_t cp);
/// Unicode XID_Continue.
bool is_xid_continue(char32_t cp);

/// The version of the Unicode Character Database the property tables were generated from.
std::string_view unicode_version();

/// `text` without leading and trailing White_Space characters; a view into `text`.
std::string_view trim_white_space(std::string_view text);

namespace detail {
/// Sorted, disjoint, non-adjacent ranges generated from the Unicode Character Database.
std::span<const CodepointRange> white_space_ranges();
std::span<const CodepointRange> xid_start_ranges();
std::span<const CodepointRange> xid_continue_ranges();
extern const char kUnicodeVersion[];
}  // namespace detail

}  // namespace tarvelon::support
