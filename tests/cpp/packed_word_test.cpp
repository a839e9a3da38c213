#include "support/packed_word.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvelon::support {
namespace {

// Packing at run time agrees with packing at compile time for every length, with bytes above
// 0x7F too, and reads nothing beyond the word: the words here end where their storage does.
TEST(PackShortWord, AgreesWithTheByteByByteDefinitionAtEveryLength) {
  const std::string text = "a\xC3\xA9z9_\xFF\x01q";
  for (std::size_t length = 0; length <= kShortWordMax; ++length) {
    const std::string word = text.substr(0, length);
    std::uint64_t expected = 2 * length + 1;
    for (std::size_t i = 0; i < length; ++i) {
      expected |= std::uint64_t{static_cast<unsigned char>(word[i])} << (8 * i + 8);
    }
    const std::vector<char> exact(word.begin(), word.end());  // no spare byte after the word
    EXPECT_EQ(pack_short_word(std::string_view(exact.data(), exact.size())), expected) << length;
  }
  static_assert(pack_short_word("ab") == 0x626105);
  static_assert(pack_short_word("") == 1);
}

}  // namespace
}  // namespace tarvelon::support
