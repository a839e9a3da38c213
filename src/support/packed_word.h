#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarvelon::support {

/// The bytes of a word of at most eight bytes as one integer, the first byte lowest. Callers
/// that need words of different lengths to differ put the length in bytes the word leaves free.
constexpr std::uint64_t pack_bytes(std::string_view word) noexcept {
  std::uint64_t key = 0;
  for (std::size_t i = 0; i < word.size(); ++i) {
    key |= std::uint64_t{static_cast<unsigned char>(word[i])} << (8 * i);
  }
  return key;
}

}  // namespace tarvelon::support
