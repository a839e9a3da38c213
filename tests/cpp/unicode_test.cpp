#include "support/unicode.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvelon::support {
namespace {

TEST(Unicode, TablesComeFromTheNamedVersion) { EXPECT_EQ(unicode_version(), "15.0.0"); }

struct DecodeCase {
  std::string bytes;
  char32_t cp;
  std::size_t len;
};

class DecodeUtf8 : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeUtf8, DecodesOrRejectsOneCharacter) {
  const DecodedChar d = decode_utf8(GetParam().bytes, 0);
  EXPECT_EQ(d.cp, GetParam().cp);
  EXPECT_EQ(d.len, GetParam().len);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecodeUtf8,
    testing::Values(DecodeCase{"A", U'A', 1}, DecodeCase{std::string(1, '\0'), 0, 1},
                    DecodeCase{"\xC3\xA9", 0xE9, 2}, DecodeCase{"\xDF\xBF", 0x7FF, 2},
                    DecodeCase{"\xE0\xA0\x80", 0x800, 3}, DecodeCase{"\xEF\xBF\xBF", 0xFFFF, 3},
                    DecodeCase{"\xF0\x90\x80\x80", 0x10000, 4},
                    DecodeCase{"\xF4\x8F\xBF\xBF", 0x10FFFF, 4},
                    // Ill-formed: each is one invalid byte.
                    DecodeCase{"\x80", kInvalidCodepoint, 1},          // stray continuation
                    DecodeCase{"\xC0\x80", kInvalidCodepoint, 1},      // overlong NUL
                    DecodeCase{"\xC1\xBF", kInvalidCodepoint, 1},      // overlong
                    DecodeCase{"\xE0\x9F\xBF", kInvalidCodepoint, 1},  // overlong
                    DecodeCase{"\xF0\x8F\xBF\xBF", kInvalidCodepoint, 1},
                    DecodeCase{"\xED\xA0\x80", kInvalidCodepoint, 1},      // surrogate
                    DecodeCase{"\xF4\x90\x80\x80", kInvalidCodepoint, 1},  // above U+10FFFF
                    DecodeCase{"\xF5\x80\x80\x80", kInvalidCodepoint, 1},
                    DecodeCase{"\xFF", kInvalidCodepoint, 1},
                    DecodeCase{"\xC3", kInvalidCodepoint, 1},            // truncated at the end
                    DecodeCase{"\xF0\x90\x80", kInvalidCodepoint, 1},    // truncated at the end
                    DecodeCase{"\xE2\x28\xA1", kInvalidCodepoint, 1}));  // bad continuation

TEST(DecodeUtf8, ReadsOnlyInsideTheView) {
  // The view ends inside a sequence that continues in the underlying buffer.
  const std::string buffer = "\xE2\x82\xAC";
  const DecodedChar d = decode_utf8(std::string_view(buffer).substr(0, 2), 0);
  EXPECT_EQ(d.cp, kInvalidCodepoint);
  EXPECT_EQ(d.len, 1u);
}

struct PropertyCase {
  char32_t cp;
  bool white_space;
  bool xid_start;
  bool xid_continue;
};

class UnicodeProperties : public testing::TestWithParam<PropertyCase> {};

TEST_P(UnicodeProperties, MatchTheCharacterDatabase) {
  const auto& c = GetParam();
  EXPECT_EQ(is_white_space(c.cp), c.white_space);
  EXPECT_EQ(is_xid_start(c.cp), c.xid_start);
  EXPECT_EQ(is_xid_continue(c.cp), c.xid_continue);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnicodeProperties,
    testing::Values(PropertyCase{U' ', true, false, false}, PropertyCase{U'\t', true, false, false},
                    PropertyCase{0x1C, false, false, false}, PropertyCase{0x85, true, false, false},
                    PropertyCase{0xA0, true, false, false},
                    PropertyCase{0x3000, true, false, false},
                    PropertyCase{0x200B, false, false, false},  // zero width space
                    PropertyCase{U'a', false, true, true}, PropertyCase{U'_', false, false, true},
                    PropertyCase{U'7', false, false, true}, PropertyCase{0xE9, false, true, true},
                    PropertyCase{0x3B1, false, true, true},      // Greek alpha
                    PropertyCase{0x4E00, false, true, true},     // CJK ideograph
                    PropertyCase{0x301, false, false, true},     // combining acute accent
                    PropertyCase{0x660, false, false, true},     // Arabic-Indic digit zero
                    PropertyCase{0xB7, false, false, true},      // middle dot
                    PropertyCase{0x2E2F, false, false, false},   // vertical tilde: Pattern_Syntax
                    PropertyCase{0x1F600, false, false, false},  // emoji
                    PropertyCase{kInvalidCodepoint, false, false, false}));

struct TrimCase {
  const char* text;
  const char* trimmed;
};

class TrimWhiteSpace : public testing::TestWithParam<TrimCase> {};

TEST_P(TrimWhiteSpace, RemovesWhiteSpaceAtBothEnds) {
  EXPECT_EQ(trim_white_space(GetParam().text), GetParam().trimmed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TrimWhiteSpace,
    testing::Values(TrimCase{"", ""}, TrimCase{" \t\r\n", ""}, TrimCase{" a b ", "a b"},
                    TrimCase{"\xE3\x80\x80x\xC2\xA0", "x"}, TrimCase{"\xC2\xA0\xE2\x80\xA8", ""},
                    // A trailing byte that is not a whole character is kept.
                    TrimCase{"x\xA0", "x\xA0"}, TrimCase{"x\x80\x80\x80\x80 ", "x\x80\x80\x80\x80"},
                    TrimCase{"\xA0x", "\xA0x"}));

}  // namespace
}  // namespace tarvelon::support
