#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "diag/diag.h"
#include "parse/ast.h"
#include "parse/error.h"
#include "parse/lexer.h"

namespace tarvelon::parse {

/// What the expression parser found; the tree is usable only when no error was recorded.
struct ExprParse {
  ExprBox tree;                    ///< null when there is none
  std::vector<ParseError> errors;  ///< in the order recorded; at most one per source position
};

/// Parses the tokens of the expression text `text`, which starts at byte `offset` of the
/// source. Token offsets are relative to `text`; the spans of the tree and the errors are
/// absolute. The whole token list must be consumed. The nodes go into `arena` when one is
/// given, which must then outlive the tree; otherwise each is on the heap.
ExprParse parse_tokens(std::string_view text, std::size_t offset, std::span<const Token> tokens,
                       NodeArena* arena = nullptr);

/// The expression front end's verdict on a parse: every recorded error as a diagnostic, or the
/// tree, or "parse error" at `offset` when there is neither.
std::expected<ExprBox, std::vector<diag::Diag>> expression_result(ExprParse parse,
                                                                  std::size_t offset);

/// `parse_expr_with_offset` with the lexer's buffers supplied by the caller, so that parsing
/// many expressions in a row reuses them, and nodes placed as `parse_tokens` places them.
/// `may_hold_j` false says the text holds no "j", so it cannot hold an integer imaginary
/// literal and the pre-scan for one is skipped.
std::expected<ExprBox, std::vector<diag::Diag>> parse_expression(std::string_view text,
                                                                 std::size_t offset,
                                                                 LexResult& scratch,
                                                                 NodeArena* arena = nullptr,
                                                                 bool may_hold_j = true);

}  // namespace tarvelon::parse
