#include "parse/lexer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "support/number_text.h"

namespace tarvelon::parse {
namespace {

/// "Kind[start,end)" per token, literals with their value as "Kind=value" ("Kind=?" when
/// invalid), identifiers with their text; spans relative to the text.
std::string dump(std::string_view text, const std::vector<Token>& tokens) {
  std::string out;
  for (const Token& t : tokens) {
    if (!out.empty()) out += ' ';
    out += token_kind_name(t.kind);
    switch (t.kind) {
      case TokenKind::IntLit:
        if (auto v = int_literal_value(t.text_in(text))) {
          out += "=" + std::to_string(*v);
        } else {
          out += "=?";
        }
        break;
      case TokenKind::FloatLit:
      case TokenKind::ImagLit:
        if (auto v = float_literal_value(t.text_in(text))) {
          out += "=" + support::format_double(*v);
        } else {
          out += "=?";
        }
        break;
      case TokenKind::Ident:
      case TokenKind::DtypeName:
        out += ":" + std::string(t.text_in(text));
        break;
      default:
        break;
    }
    out += "[" + std::to_string(t.start) + "," + std::to_string(t.end) + ")";
  }
  return out;
}

TEST(TokenKinds, SpellingsComeFromTheTable) {
  EXPECT_EQ(kTokenKindCount, 33u);
  EXPECT_EQ(token_text(TokenKind::SlashSlash), "//");
  EXPECT_EQ(token_kind_name(TokenKind::NotEq), "NotEq");
}

struct LexCase {
  const char* text;
  const char* tokens;
};

class LexTokens : public testing::TestWithParam<LexCase> {};

TEST_P(LexTokens, ProducesExactTokens) {
  const LexResult r = lex(GetParam().text);
  EXPECT_TRUE(r.errors.empty());
  EXPECT_EQ(dump(GetParam().text, r.tokens), GetParam().tokens);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LexTokens,
    testing::Values(LexCase{"a<=b", "Ident:a[0,1) LessEq[1,3) Ident:b[3,4)"},
                    LexCase{"a<b", "Ident:a[0,1) Less[1,2) Ident:b[2,3)"},
                    LexCase{"2 ** -3", "IntLit=2[0,1) StarStar[2,4) Minus[5,6) IntLit=3[6,7)"},
                    LexCase{"* *", "Star[0,1) Star[2,3)"},
                    LexCase{"1.0 j", "FloatLit=1[0,3) Ident:j[4,5)"},
                    LexCase{"f32 f33 pi pie e e1",
                            "DtypeName:f32[0,3) Ident:f33[4,7) Pi[8,10) Ident:pie[11,14) "
                            "E[15,16) Ident:e1[17,19)"},
                    LexCase{"if then else cast true false",
                            "If[0,2) Then[3,7) Else[8,12) Cast[13,17) "
                            "True[18,22) False[23,28)"},
                    LexCase{"bool bf16 c128 u8 i64",
                            "DtypeName:bool[0,4) DtypeName:bf16[5,9) "
                            "DtypeName:c128[10,14) DtypeName:u8[15,17) "
                            "DtypeName:i64[18,21)"},
                    // Near misses of reserved words: case, a prefix, one byte more or off.
                    LexCase{"Pi IF the thenx i8 i9 c12 c1280 tru falsee",
                            "Ident:Pi[0,2) Ident:IF[3,5) Ident:the[6,9) Ident:thenx[10,15) "
                            "DtypeName:i8[16,18) Ident:i9[19,21) Ident:c12[22,25) "
                            "Ident:c1280[26,31) Ident:tru[32,35) Ident:falsee[36,42)"},
                    LexCase{"007", "IntLit=0[0,1) IntLit=0[1,2) IntLit=7[2,3)"},
                    LexCase{"007.5 1.5 0.25e-3 2E10",
                            "FloatLit=7.5[0,5) FloatLit=1.5[6,9) "
                            "FloatLit=0.00025[10,17) FloatLit=20000000000[18,22)"},
                    LexCase{"2.0j 1e5j 1e+5j",
                            "ImagLit=2[0,4) ImagLit=100000[5,9) ImagLit=100000[10,15)"},
                    // An exponent without digits is not part of the literal.
                    LexCase{"1e 1.5e+", "IntLit=1[0,1) E[1,2) FloatLit=1.5[3,6) E[6,7) Plus[7,8)"},
                    LexCase{"1e400", "FloatLit=inf[0,5)"}, LexCase{"1e-400", "FloatLit=0[0,6)"},
                    LexCase{"9223372036854775807", "IntLit=9223372036854775807[0,19)"},
                    LexCase{"**//&&||==!=<=>=",
                            "StarStar[0,2) SlashSlash[2,4) AndAnd[4,6) OrOr[6,8) "
                            "EqEq[8,10) NotEq[10,12) LessEq[12,14) GreaterEq[14,16)"},
                    LexCase{"+-*/%!<>(),@",
                            "Plus[0,1) Minus[1,2) Star[2,3) Slash[3,4) Percent[4,5) "
                            "Bang[5,6) Less[6,7) Greater[7,8) LParen[8,9) RParen[9,10) "
                            "Comma[10,11) At[11,12)"},
                    LexCase{"***", "StarStar[0,2) Star[2,3)"},
                    LexCase{"x@f64", "Ident:x[0,1) At[1,2) DtypeName:f64[2,5)"},
                    LexCase{"_a1 __", "Ident:_a1[0,3) Ident:__[4,6)"},
                    // Unicode identifiers (XID_Start then XID_Continue) and White_Space.
                    LexCase{"\xC3\xA9t\xC3\xA9 + x\xCC\x81",
                            "Ident:\xC3\xA9t\xC3\xA9[0,5) Plus[6,7) "
                            "Ident:x\xCC\x81[8,11)"},
                    LexCase{"a\xC2\xA0+\xE3\x80\x80"
                            "b\xE2\x80\xA8",
                            "Ident:a[0,1) Plus[3,4) Ident:b[7,8)"},
                    LexCase{"\t\n\v\f\r a ", "Ident:a[6,7)"}, LexCase{"", ""}));

struct LexErrorCase {
  const char* text;
  const char* tokens;  ///< the tokens produced before or despite the error
  std::vector<LexError> errors;
};

class LexErrors : public testing::TestWithParam<LexErrorCase> {};

TEST_P(LexErrors, ReportsExactErrors) {
  const LexResult r = lex(GetParam().text);
  EXPECT_EQ(dump(GetParam().text, r.tokens), GetParam().tokens);
  EXPECT_EQ(r.errors, GetParam().errors);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LexErrors,
    testing::Values(
        LexErrorCase{"a = b", "Ident:a[0,1)", {{{2, 3}, ""}}},
        LexErrorCase{"a & b", "Ident:a[0,1)", {{{2, 3}, ""}}},
        LexErrorCase{"a | b", "Ident:a[0,1)", {{{2, 3}, ""}}},
        LexErrorCase{"1. + 2", "IntLit=1[0,1)", {{{1, 2}, ""}}},
        LexErrorCase{".5", "", {{{0, 1}, ""}}},
        LexErrorCase{"x[0]", "Ident:x[0,1)", {{{1, 2}, ""}}},
        LexErrorCase{"a ; b # c", "Ident:a[0,1)", {{{2, 3}, ""}}},
        // A whole non-ASCII character that is neither an identifier start nor white space.
        LexErrorCase{"x \xE2\x82\xAC y", "Ident:x[0,1)", {{{2, 5}, ""}}},
        LexErrorCase{"\xCC\x81x", "", {{{0, 2}, ""}}},
        // Ill-formed UTF-8: one byte at a time, never read past the end.
        LexErrorCase{"a\xFF", "Ident:a[0,1)", {{{1, 2}, ""}}},
        LexErrorCase{"a\xC3", "Ident:a[0,1)", {{{1, 2}, ""}}},
        LexErrorCase{"\xE2\x82", "", {{{0, 1}, ""}}}, LexErrorCase{"\xC0\xAF", "", {{{0, 1}, ""}}},
        LexErrorCase{"\xED\xA0\x80", "", {{{0, 1}, ""}}}, LexErrorCase{"\x80", "", {{{0, 1}, ""}}},
        // U+001C is a separator control, not White_Space.
        LexErrorCase{" \x1C", "", {{{1, 2}, ""}}},
        // Invalid literals are reported and lexing goes on.
        LexErrorCase{"9223372036854775808 + 99999999999999999999 x",
                     "IntLit=?[0,19) Plus[20,21) IntLit=?[22,42) Ident:x[43,44)",
                     {{{0, 19}, "invalid integer literal"}, {{22, 42}, "invalid integer literal"}}},
        LexErrorCase{"9223372036854775808 $",
                     "IntLit=?[0,19)",
                     {{{0, 19}, "invalid integer literal"}, {{20, 21}, ""}}}));

TEST(Lex, NulByteIsAnUnrecognisedCharacter) {
  const std::string text("a\0b", 3);
  const LexResult r = lex(text);
  EXPECT_EQ(dump(text, r.tokens), "Ident:a[0,1)");
  EXPECT_EQ(r.errors, (std::vector<LexError>{{{1, 2}, ""}}));
}

TEST(Lex, LiteralTokensReadAsTheirCheckedValues) {
  // Around the length from which integer literals are checked, and floats on and off the
  // exact path.
  const std::string text =
      "999999999999999999 1000000000000000000 9223372036854775807 9223372036854775808 "
      "99999999999999999999 0 7 2.5 0.1 1e22 1e23 9007199254740993.0 1.5e-320 2.5j 1e400j";
  const LexResult r = lex(text);
  ASSERT_EQ(r.tokens.size(), 15u);
  for (const Token& t : r.tokens) {
    const std::string_view word = t.text_in(text);
    if (t.kind == TokenKind::IntLit) {
      EXPECT_EQ(lexed_int_value(word), int_literal_value(word).value_or(0)) << word;
    } else {
      const double v = lexed_float_value(word);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(v),
                std::bit_cast<std::uint64_t>(*float_literal_value(word)))
          << word;
    }
  }
}

struct PrescanCase {
  const char* text;
  std::size_t offset;
  const char* message;  ///< empty: no finding
  Span span;
};

class IntImaginaryPrescan : public testing::TestWithParam<PrescanCase> {};

TEST_P(IntImaginaryPrescan, FindsIntegerImaginaryLiterals) {
  const auto& c = GetParam();
  const auto d = int_imaginary_prescan(c.text, c.offset);
  if (std::string_view(c.message).empty()) {
    EXPECT_FALSE(d.has_value()) << d->message;
    return;
  }
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->kind, diag::DiagKind::IntImaginary);
  EXPECT_EQ(d->message, c.message);
  EXPECT_EQ(d->span, c.span);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IntImaginaryPrescan,
    testing::Values(
        PrescanCase{
            "2j",
            0,
            "integer imaginary literal `2j` is not supported; use float form `2.0j` instead",
            {0, 2}},
        PrescanCase{"x + 12j",
                    10,
                    "integer imaginary literal `12j` is not supported; use float form `12.0j` "
                    "instead",
                    {14, 17}},
        PrescanCase{
            "x1j",
            0,
            "integer imaginary literal `1j` is not supported; use float form `1.0j` instead",
            {1, 3}},
        PrescanCase{
            "1234567890123456789012345j",
            0,
            "integer imaginary literal `0j` is not supported; use float form `0.0j` instead",
            {0, 26}},
        PrescanCase{
            "1.5j + 3j",
            0,
            "integer imaginary literal `3j` is not supported; use float form `3.0j` instead",
            {7, 9}},
        // Only the first finding is reported.
        PrescanCase{
            "4j + 5j",
            0,
            "integer imaginary literal `4j` is not supported; use float form `4.0j` instead",
            {0, 2}},
        // "+" or "-" exempts the run only directly after an exponent letter.
        PrescanCase{
            "a+2j",
            0,
            "integer imaginary literal `2j` is not supported; use float form `2.0j` instead",
            {2, 4}},
        PrescanCase{"2.0j", 0, "", {}}, PrescanCase{"1e5j", 0, "", {}},
        PrescanCase{"1e+5j", 0, "", {}}, PrescanCase{"1E-5j", 0, "", {}},
        PrescanCase{"12", 0, "", {}}, PrescanCase{"2 j", 0, "", {}}, PrescanCase{"", 0, "", {}}));

}  // namespace
}  // namespace tarvelon::parse
