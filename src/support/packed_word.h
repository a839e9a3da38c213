#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tarvelon::support {

namespace detail {

/// The bytes of a word of at most eight bytes as one integer, the first byte lowest.
constexpr std::uint64_t pack_short_word_bytes(std::string_view word) noexcept {
  const std::size_t n = word.size();
  if
    consteval {
      std::uint64_t key = 0;
      for (std::size_t i = 0; i < n; ++i) {
        key |= std::uint64_t{static_cast<unsigned char>(word[i])} << (8 * i);
      }
      return key;
    }
  else {
    // Two loads that together cover the word, overlapping where it is shorter than their sum;
    // a byte read twice lands in the same place both times. No byte outside the word is read.
    const char* p = word.data();
    auto byte = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
    if (n >= 4) {
      std::uint32_t head;
      std::uint32_t tail;
      std::memcpy(&head, p, 4);
      std::memcpy(&tail, p + n - 4, 4);
      if constexpr (std::endian::native == std::endian::big) {
        head = std::byteswap(head);
        tail = std::byteswap(tail);
      }
      return head | std::uint64_t{tail} << (8 * (n - 4));
    }
    if (n == 0) return 0;
    return byte(0) | byte(n / 2) << (8 * (n / 2)) | byte(n - 1) << (8 * (n - 1));
  }
}

}  // namespace detail

/// The longest word that `pack_short_word` takes.
inline constexpr std::size_t kShortWordMax = 7;

/// A word of at most kShortWordMax bytes as one integer: the low byte is 2 * length + 1 and the
/// word's bytes follow it in order. Two words pack equal exactly when they are equal, and the
/// result is odd: never zero, never an aligned address. A syntax tree's short name is this very
/// integer; the reserved words, the dtype names and the lowering scope key their tables by it.
constexpr std::uint64_t pack_short_word(std::string_view word) noexcept {
  return detail::pack_short_word_bytes(word) << 8 | (2 * word.size() + 1);
}

}  // namespace tarvelon::support
