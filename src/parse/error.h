#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "diag/diag.h"
#include "parse/lexer.h"

namespace tarvelon::parse {

/// "syntax error: " followed by `detail`.
diag::Diag parse_syntax(std::string_view detail, Span span);
/// An integer literal written with the imaginary suffix "j".
diag::Diag parse_int_imaginary(std::int64_t value, Span span);
/// A dtype word that names no dtype; the hint lists the accepted names.
diag::Diag parse_unknown_dtype(std::string_view dtype, Span span);
/// A keyword or dtype word used as a parameter or assignment name.
diag::Diag parse_reserved_identifier(std::string_view name, Span span);

/// Prefix of a parser error message that reports an unknown dtype word; the word follows it.
inline constexpr std::string_view kUnknownDtypeMarker = "unknown-dtype:";

/// The tokens the parser would have accepted and the one it met.
struct ExpectedFound {
  std::uint64_t expected = 0;      ///< bit i set: TokenKind i would have been accepted
  std::optional<TokenKind> found;  ///< absent at the end of input
  friend bool operator==(const ExpectedFound&, const ExpectedFound&) = default;
};

/// An error recorded by the expression parser; `span` is absolute in the source.
struct ParseError {
  Span span;
  std::variant<std::string, ExpectedFound> reason;  ///< custom message, or expected/found
  friend bool operator==(const ParseError&, const ParseError&) = default;
};

/// The diagnostic for a recorded parser error: an unknown-dtype marker becomes `UnknownDtype`,
/// any other custom message a syntax error with that detail, expected/found the plain
/// "syntax error: syntax error".
diag::Diag parse_error_from_rich(const ParseError& error);

}  // namespace tarvelon::parse
