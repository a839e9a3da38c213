#include "support/unicode.h"

#include <algorithm>

namespace tarvelon::support {

namespace {

bool in_ranges(std::span<const CodepointRange> ranges, char32_t cp) {
  // First range whose upper end is not below cp; cp is in the set iff that range starts at or
  // before it.
  auto it = std::lower_bound(ranges.begin(), ranges.end(), cp,
                             [](const CodepointRange& r, char32_t c) { return r.hi < c; });
  return it != ranges.end() && it->lo <= cp;
}

bool is_ascii_letter(char32_t cp) { return (cp | 0x20) >= 'a' && (cp | 0x20) <= 'z'; }

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

DecodedChar decode_utf8(std::string_view text, std::size_t pos) {
  constexpr DecodedChar kInvalid{kInvalidCodepoint, 1};
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) return {lead, 1};
  std::size_t len;
  char32_t cp;
  char32_t min;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
    cp = lead & 0x1F;
    min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    cp = lead & 0x0F;
    min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    cp = lead & 0x07;
    min = 0x10000;
  } else {
    return kInvalid;  // continuation byte, C0/C1 overlong lead, or F5..FF
  }
  if (text.size() - pos < len) return kInvalid;
  for (std::size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(text[pos + i]);
    if (!is_continuation(b)) return kInvalid;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kInvalid;
  return {cp, len};
}

bool is_white_space(char32_t cp) {
  if (cp < 0x80) return cp == ' ' || (cp >= '\t' && cp <= '\r');
  return in_ranges(detail::white_space_ranges(), cp);
}

bool is_xid_start(char32_t cp) {
  if (cp < 0x80) return is_ascii_letter(cp);
  return in_ranges(detail::xid_start_ranges(), cp);
}

bool is_xid_continue(char32_t cp) {
  if (cp < 0x80) return is_ascii_letter(cp) || (cp >= '0' && cp <= '9') || cp == '_';
  return in_ranges(detail::xid_continue_ranges(), cp);
}

std::string_view unicode_version() { return detail::kUnicodeVersion; }

std::string_view trim_white_space(std::string_view text) {
  // ASCII bytes are their own characters, and most text is ASCII, so they are tested directly.
  std::size_t start = 0;
  while (start < text.size()) {
    const auto b = static_cast<unsigned char>(text[start]);
    if (b < 0x80) {
      if (!is_white_space(b)) break;
      ++start;
      continue;
    }
    const DecodedChar c = decode_utf8(text, start);
    if (!is_white_space(c.cp)) break;
    start += c.len;
  }
  std::size_t end = text.size();
  while (end > start) {
    const auto last = static_cast<unsigned char>(text[end - 1]);
    if (last < 0x80) {
      if (!is_white_space(last)) break;
      --end;
      continue;
    }
    // Step back to the lead byte of the last character (at most three continuation bytes); a
    // lead that does not decode to exactly the bytes up to `end` is not white space.
    std::size_t lead = end - 1;
    while (lead > start && end - lead < 4 &&
           is_continuation(static_cast<unsigned char>(text[lead]))) {
      --lead;
    }
    const DecodedChar c = decode_utf8(text, lead);
    if (lead + c.len != end || !is_white_space(c.cp)) break;
    end = lead;
  }
  return text.substr(start, end - start);
}

}  // namespace tarvelon::support
