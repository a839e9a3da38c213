#include "parse/parser.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>

#include "parse/error.h"
#include "parse/expr_parser.h"
#include "parse/lexer.h"
#include "support/unicode.h"

namespace tarvelon::parse {

namespace {

using diag::Diag;
using Diags = std::vector<Diag>;

std::unexpected<Diags> fail(Diag d) { return std::unexpected(Diags{std::move(d)}); }

/// A copy of `source` in which every "#" and the rest of its line are spaces; offsets are
/// unchanged.
std::string blank_comments(std::string_view source) {
  std::string text(source);
  for (std::size_t hash = text.find('#'); hash != std::string::npos; hash = text.find('#', hash)) {
    const std::size_t end = std::min(text.find('\n', hash), text.size());
    text.replace(hash, end - hash, end - hash, ' ');
    hash = end;
  }
  return text;
}

/// The position of the assignment sign: the first "=" that is not part of "==", "!=", "<=" or
/// ">=".
std::optional<std::size_t> assignment_sign(std::string_view line) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '=') continue;
    const bool after_operator =
        i > 0 && std::string_view("<>=!").find(line[i - 1]) != std::string_view::npos;
    const bool before_equals = i + 1 < line.size() && line[i + 1] == '=';
    if (!after_operator && !before_equals) return i;
  }
  return std::nullopt;
}

bool is_ascii_letter(char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
bool is_ident_start(char c) { return c == '_' || is_ascii_letter(c); }
bool is_ident_continue(char c) { return is_ident_start(c) || (c >= '0' && c <= '9'); }

/// Views into the blanked source, located by their position in it.
class SourceText {
 public:
  explicit SourceText(std::string_view text) : text_(text) {}
  std::string_view text() const { return text_; }
  Span span_of(std::string_view part) const {
    const auto start = static_cast<std::size_t>(part.data() - text_.data());
    return {start, start + part.size()};
  }

 private:
  std::string_view text_;
};

std::expected<std::vector<FuncParam>, Diags> parse_params(const SourceText& src,
                                                          std::string_view list) {
  std::vector<FuncParam> params;
  if (support::trim_white_space(list).empty()) return params;
  while (true) {
    const std::size_t comma = list.find(',');
    const std::string_view piece = support::trim_white_space(list.substr(0, comma));
    const std::size_t colon = piece.find(':');
    if (colon == std::string_view::npos) {
      return fail(parse_syntax("invalid parameter, expected `name: dtype`", src.span_of(piece)));
    }
    const std::string_view name_text = support::trim_white_space(piece.substr(0, colon));
    auto name = parse_ident(name_text, src.span_of(name_text));
    if (!name) return fail(std::move(name.error()));
    const std::string_view dtype_text = support::trim_white_space(piece.substr(colon + 1));
    auto dtype = ir::DType::from_str(dtype_text);
    if (!dtype) return fail(parse_unknown_dtype(dtype_text, src.span_of(dtype_text)));
    params.push_back({std::move(*name), *dtype});
    if (comma == std::string_view::npos) return params;
    list = list.substr(comma + 1);
  }
}

/// The trimmed, non-empty lines of `body`.
std::vector<std::string_view> body_lines(std::string_view body) {
  std::vector<std::string_view> lines;
  while (true) {
    const std::size_t newline = body.find('\n');
    const std::string_view line = support::trim_white_space(body.substr(0, newline));
    if (!line.empty()) lines.push_back(line);
    if (newline == std::string_view::npos) return lines;
    body = body.substr(newline + 1);
  }
}

}  // namespace

std::expected<std::string, Diag> parse_ident(std::string_view name, Span span) {
  if (name.empty()) return std::unexpected(parse_syntax("identifier cannot be empty", span));
  bool well_formed = is_ident_start(name.front());
  for (char c : name.substr(1)) well_formed = well_formed && is_ident_continue(c);
  if (!well_formed) {
    return std::unexpected(parse_syntax("invalid identifier `" + std::string(name) + "`", span));
  }
  if (is_reserved_word(name)) return std::unexpected(parse_reserved_identifier(name, span));
  return std::string(name);
}

std::expected<FuncDef, Diags> parse_dsl_with_errors(std::string_view source) {
  // Node spans are 32-bit; a tree for a source this large would not fit in memory anyway.
  if (source.size() > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  const std::string blanked = blank_comments(source);
  const SourceText src(blanked);
  const std::string_view text = src.text();

  const std::size_t open = text.find('|');
  if (open == std::string_view::npos) {
    return fail(parse_syntax("expected function header `|...|`", Span{0, 0}));
  }
  const std::size_t s = open + 1;
  const std::size_t close = text.find('|', s);
  if (close == std::string_view::npos) {
    return fail(parse_syntax("expected closing `|` for function header", Span{s, s}));
  }

  auto params = parse_params(src, text.substr(s, close - s));
  if (!params) return std::unexpected(std::move(params.error()));

  const std::vector<std::string_view> lines = body_lines(text.substr(close + 1));
  if (lines.empty()) {
    return fail(parse_syntax("missing function body", Span{close + 1, close + 1}));
  }

  const std::string_view result_line = lines.back();
  if (assignment_sign(result_line)) {
    return fail(
        parse_syntax("missing result expression after assignments", src.span_of(result_line)));
  }
  LexResult scratch;
  NodeArena arena;
  auto body = parse_expression(result_line, src.span_of(result_line).start, scratch, &arena);
  if (!body) return std::unexpected(std::move(body.error()));

  // Wrap from the last assignment outwards, so the first assignment ends up outermost and the
  // errors of later lines are found first.
  for (std::size_t i = lines.size() - 1; i-- > 0;) {
    const std::string_view line = lines[i];
    const Span line_span = src.span_of(line);
    const auto sign = assignment_sign(line);
    if (!sign) return fail(parse_syntax("statement must be assignment `name = expr`", line_span));
    const std::string_view name_text = support::trim_white_space(line.substr(0, *sign));
    const std::string_view rhs_text = support::trim_white_space(line.substr(*sign + 1));
    if (name_text.empty() || rhs_text.empty()) {
      return fail(parse_syntax("invalid assignment", line_span));
    }
    auto name = parse_ident(name_text, src.span_of(name_text));
    if (!name) return fail(std::move(name.error()));
    auto value = parse_expression(rhs_text, src.span_of(rhs_text).start, scratch, &arena);
    if (!value) return std::unexpected(std::move(value.error()));
    const Span span{line_span.start, (*body)->span.end};
    *body = make_node_in(arena, expr::Let{Name(*name, arena), std::move(*value), std::move(*body)},
                         span);
    ++arena.bindings;
  }
  return FuncDef{std::move(*params), std::move(**body), std::move(arena)};
}

}  // namespace tarvelon::parse
