#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "front_end_printers.h"
#include "parse/error.h"
#include "parse/expr_parser.h"
#include "parse/parser.h"

namespace tarvelon::parse {
namespace {

using diag::Diag;
using diag::DiagKind;

constexpr const char* kSyntaxHint =
    "check the surrounding tokens and parentheses for typos or missing separators";
constexpr const char* kDtypeHint =
    "expected one of: bool, u8, u16, u32, u64, i8, i16, i32, i64, f16, bf16, f32, f64, c64, c128";
constexpr const char* kImaginaryHint =
    "use a float imaginary literal instead, e.g. `2.0j` instead of `2j`";
constexpr const char* kReservedHint = "use a different name for the variable or parameter";

Diag expect_diag(DiagKind kind, std::string message, Span span, std::string hint) {
  return Diag{kind, span, std::move(message), std::nullopt, std::move(hint)};
}
Diag syntax(std::string message, Span span) {
  return expect_diag(DiagKind::Syntax, std::move(message), span, kSyntaxHint);
}
Diag unknown_dtype(const std::string& word, Span span) {
  return expect_diag(DiagKind::UnknownDtype, "unknown type `" + word + "`", span, kDtypeHint);
}

TEST(SyntaxConstructors, BuildExactDiagnostics) {
  EXPECT_EQ(parse_syntax("lex error", {3, 4}), syntax("syntax error: lex error", {3, 4}));
  EXPECT_EQ(parse_int_imaginary(3, {0, 2}),
            expect_diag(DiagKind::IntImaginary,
                        "integer imaginary literal `3j` is not supported; use float form `3.0j` "
                        "instead",
                        {0, 2}, kImaginaryHint));
  EXPECT_EQ(parse_int_imaginary(-42, {1, 1}).message,
            "integer imaginary literal `-42j` is not supported; use float form `-42.0j` instead");
  EXPECT_EQ(parse_unknown_dtype("f128", {5, 9}), unknown_dtype("f128", {5, 9}));
  EXPECT_EQ(
      parse_reserved_identifier("then", {2, 6}),
      expect_diag(DiagKind::ReservedIdentifier,
                  "reserved word `then` cannot be used as an identifier", {2, 6}, kReservedHint));
}

struct RichCase {
  ParseError error;
  Diag expected;
};

class ParseErrorFromRich : public testing::TestWithParam<RichCase> {};

TEST_P(ParseErrorFromRich, ConvertsByReason) {
  EXPECT_EQ(parse_error_from_rich(GetParam().error), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseErrorFromRich,
    testing::Values(
        RichCase{{{4, 5}, ExpectedFound{1u << 29, TokenKind::Comma}},
                 syntax("syntax error: syntax error", {4, 5})},
        RichCase{{{9, 9}, ExpectedFound{}}, syntax("syntax error: syntax error", {9, 9})},
        RichCase{{{2, 6}, std::string("unknown-dtype:f128")}, unknown_dtype("f128", {2, 6})},
        RichCase{{{2, 2}, std::string("unknown-dtype:")}, unknown_dtype("", {2, 2})},
        RichCase{{{0, 3}, std::string("invalid float literal")},
                 syntax("syntax error: invalid float literal", {0, 3})},
        RichCase{{{0, 3}, std::string("unknown-dtype")},
                 syntax("syntax error: unknown-dtype", {0, 3})}));

struct CatalogueCase {
  const char* source;
  std::vector<Diag> expected;
};

class FrontEndCatalogue : public testing::TestWithParam<CatalogueCase> {};

TEST_P(FrontEndCatalogue, ReportsExactDiagnostics) {
  const auto r = parse_dsl_with_errors(GetParam().source);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), GetParam().expected);
}

// One or more sources per catalogue entry, in catalogue order.
INSTANTIATE_TEST_SUITE_P(
    Table, FrontEndCatalogue,
    testing::Values(
        CatalogueCase{"", {syntax("syntax error: expected function header `|...|`", {0, 0})}},
        CatalogueCase{"x + 1\n# |x: f64|",
                      {syntax("syntax error: expected function header `|...|`", {0, 0})}},
        CatalogueCase{"kernel |x: f64",
                      {syntax("syntax error: expected closing `|` for function header", {8, 8})}},
        CatalogueCase{"|x f64| x",
                      {syntax("syntax error: invalid parameter, expected `name: dtype`", {1, 6})}},
        CatalogueCase{"|x: f64,| x",
                      {syntax("syntax error: invalid parameter, expected `name: dtype`", {8, 8})}},
        CatalogueCase{"|x: f64, : f32| x",
                      {syntax("syntax error: identifier cannot be empty", {9, 9})}},
        CatalogueCase{"|2x: f64| 1", {syntax("syntax error: invalid identifier `2x`", {1, 3})}},
        CatalogueCase{"||\nx-y = 1\n2", {syntax("syntax error: invalid identifier `x-y`", {3, 6})}},
        CatalogueCase{"|\xC3\xA9: f64| 1",
                      {syntax("syntax error: invalid identifier `\xC3\xA9`", {1, 3})}},
        CatalogueCase{"|if: f64| 1",
                      {expect_diag(DiagKind::ReservedIdentifier,
                                   "reserved word `if` cannot be used as an identifier", {1, 3},
                                   kReservedHint)}},
        CatalogueCase{"||\n  bf16 = 1\n2",
                      {expect_diag(DiagKind::ReservedIdentifier,
                                   "reserved word `bf16` cannot be used as an identifier", {5, 9},
                                   kReservedHint)}},
        CatalogueCase{"|x: f65| x", {unknown_dtype("f65", {4, 7})}},
        CatalogueCase{"|x: F64 | x", {unknown_dtype("F64", {4, 7})}},
        CatalogueCase{"|x:| x", {unknown_dtype("", {3, 3})}},
        CatalogueCase{"|x: f64|", {syntax("syntax error: missing function body", {8, 8})}},
        CatalogueCase{"|x: f64| # nothing\n \t\n",
                      {syntax("syntax error: missing function body", {8, 8})}},
        CatalogueCase{
            "|x: f64| y = x",
            {syntax("syntax error: missing result expression after assignments", {9, 14})}},
        CatalogueCase{
            "|x: f64|\nx + 1\nx",
            {syntax("syntax error: statement must be assignment `name = expr`", {9, 14})}},
        CatalogueCase{"|x: f64|\ny =\ny", {syntax("syntax error: invalid assignment", {9, 12})}},
        CatalogueCase{"|x: f64|\n= x\ny", {syntax("syntax error: invalid assignment", {9, 12})}},
        CatalogueCase{"|x: f64| x * 3j",
                      {expect_diag(DiagKind::IntImaginary,
                                   "integer imaginary literal `3j` is not supported; use float "
                                   "form `3.0j` instead",
                                   {13, 15}, kImaginaryHint)}},
        CatalogueCase{"|| a & b", {syntax("syntax error: lex error", {5, 6})}},
        CatalogueCase{"|x: f64|\ny = = x\ny", {syntax("syntax error: lex error", {13, 14})}},
        CatalogueCase{"|| 9223372036854775808 + 9999999999999999999",
                      {syntax("syntax error: invalid integer literal", {3, 22}),
                       syntax("syntax error: invalid integer literal", {25, 44})}},
        CatalogueCase{"|| 1 +", {syntax("syntax error: syntax error", {6, 6})}},
        CatalogueCase{"|| 1 + if c then a else b", {syntax("syntax error: syntax error", {7, 9})}},
        CatalogueCase{"|x: f64| (x,\nx)", {syntax("syntax error: syntax error", {14, 15})}},
        CatalogueCase{"|x: f64| x@f128", {unknown_dtype("f128", {11, 15})}},
        CatalogueCase{"|x: f64| cast<foo>(x)", {unknown_dtype("foo", {14, 17})}}));

TEST(FrontEndCatalogue, EmptyExpressionTextIsALexError) {
  const auto r = parse_expr_with_offset(" \t\xE3\x80\x80", 7);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), std::vector{syntax("syntax error: lex error", {7, 7})});
}

TEST(FrontEndCatalogue, ParserWithNeitherTreeNorErrorIsAParseError) {
  // No grammar path leaves both empty; the verdict still reports it rather than fail silently.
  const auto r = expression_result(ExprParse{}, 4);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), std::vector{syntax("syntax error: parse error", {4, 4})});
}

}  // namespace
}  // namespace tarvelon::parse
