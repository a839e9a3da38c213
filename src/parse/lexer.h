#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "diag/diag.h"

namespace tarvelon::parse {

using diag::Span;

enum class TokenKind : std::uint8_t {
#define TARVELON_TOKEN(name, text) name,
#include "parse/token_kinds.def"
};

inline constexpr std::size_t kTokenKindCount = 0
#define TARVELON_TOKEN(name, text) +1
#include "parse/token_kinds.def"
    ;

/// The kind's name as written in the catalogue ("LessEq", "FloatLit").
std::string_view token_kind_name(TokenKind kind);

/// The fixed spelling of a keyword or punctuation kind ("if", "**"); for the kinds whose text
/// varies, a description ("identifier", "float literal").
std::string_view token_text(TokenKind kind);

/// One token: its kind and where its text lies in the expression text. Kept this small because
/// a kernel can hold one token per byte; a literal's value is read from its text when needed.
struct Token {
  std::uint32_t start;  ///< byte offsets into the expression text, not the whole source
  std::uint32_t end;
  TokenKind kind;

  std::string_view text_in(std::string_view text) const { return text.substr(start, end - start); }
};

/// The value of an IntLit token's text; none when it does not fit in 64 bits.
std::optional<std::int64_t> int_literal_value(std::string_view text);
/// The value of a FloatLit token's text, or of an ImagLit's without its "j"; none when invalid.
std::optional<double> float_literal_value(std::string_view text);
/// The values of the texts of literal tokens as the lexer produced them, which are valid (an
/// IntLit token reported as out of range reads as 0): no text is checked again.
std::int64_t lexed_int_value(std::string_view text);
double lexed_float_value(std::string_view text);

/// A lexical error. `message` is one of the invalid-literal texts, or empty for an unrecognised
/// character.
struct LexError {
  Span span;
  std::string_view message;
  friend bool operator==(const LexError&, const LexError&) = default;
};

struct LexResult {
  std::vector<Token> tokens;
  std::vector<LexError> errors;
};

/// Lexes one expression text; token and error offsets are relative to `text`. An unrecognised
/// character ends lexing with one error; invalid literals are reported and lexing goes on. A
/// text of 4 GiB or more cannot be represented and throws `std::bad_alloc`.
LexResult lex(std::string_view text);
/// As `lex`, into `out`, whose buffers are reused.
void lex_into(std::string_view text, LexResult& out);

/// Reports the first run of ASCII digits directly followed by "j" that is not the fraction or
/// exponent of a float literal, as an integer imaginary literal. `offset` is where `text` starts
/// in the source.
std::optional<diag::Diag> int_imaginary_prescan(std::string_view text, std::size_t offset);

/// Whether `word` is a keyword or one of the fifteen dtype words, which no binding may use.
bool is_reserved_word(std::string_view word);

}  // namespace tarvelon::parse
