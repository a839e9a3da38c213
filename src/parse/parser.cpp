#include "parse/parser.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "parse/error.h"
#include "parse/expr_parser.h"
#include "parse/lexer.h"
#include "support/cancel.h"
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

/// The first `wanted` at or after `from` that is not inside a comment, or npos. `from` must not
/// be inside a comment itself. Every search moves forward, so the cost is linear in the text.
std::size_t find_outside_comments(std::string_view text, std::size_t from, char wanted) {
  constexpr std::size_t npos = std::string_view::npos;
  std::size_t hit = text.find(wanted, from);
  std::size_t hash = text.find('#', from);
  while (hash < hit) {
    const std::size_t line_end = text.find('\n', hash);
    if (line_end == npos) return npos;
    if (hit < line_end) hit = text.find(wanted, line_end);
    hash = text.find('#', line_end);
  }
  return hit;
}

/// The position of the assignment sign: the first "=" that is not part of "==", "!=", "<=" or
/// ">=".
std::optional<std::size_t> assignment_sign(std::string_view line) {
  for (std::size_t i = line.find('='); i != std::string_view::npos; i = line.find('=', i + 1)) {
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

/// What is wrong with a parameter or assignment name, if anything.
std::optional<Diag> name_fault(std::string_view name, Span span) {
  if (name.empty()) return parse_syntax("identifier cannot be empty", span);
  bool well_formed = is_ident_start(name.front());
  for (char c : name.substr(1)) well_formed = well_formed && is_ident_continue(c);
  if (!well_formed) return parse_syntax("invalid identifier `" + std::string(name) + "`", span);
  if (is_reserved_word(name)) return parse_reserved_identifier(name, span);
  return std::nullopt;
}

/// Views into one text, located by their position in it; `base` is where that text starts in
/// the source.
class SourceText {
 public:
  explicit SourceText(std::string_view text, std::size_t base = 0) : text_(text), base_(base) {}
  Span span_of(std::string_view part) const {
    const auto start = base_ + static_cast<std::size_t>(part.data() - text_.data());
    return {start, start + part.size()};
  }

 private:
  std::string_view text_;
  std::size_t base_;
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
    if (auto fault = name_fault(name_text, src.span_of(name_text))) return fail(std::move(*fault));
    const std::string_view dtype_text = support::trim_white_space(piece.substr(colon + 1));
    auto dtype = vocab::DType::from_str(dtype_text);
    if (!dtype) return fail(parse_unknown_dtype(dtype_text, src.span_of(dtype_text)));
    params.push_back({std::string(name_text), *dtype});
    if (comma == std::string_view::npos) return params;
    list = list.substr(comma + 1);
  }
}

/// Bytes of a 64-bit word, lowest address in the lowest byte, whatever the machine's order.
std::uint64_t load_word(const char* at) {
  std::uint64_t w;
  std::memcpy(&w, at, sizeof w);
  if constexpr (std::endian::native == std::endian::big) w = std::byteswap(w);
  return w;
}

/// The high bit of every byte of `w` that equals `c`, and no other bit.
std::uint64_t bytes_equal(std::uint64_t w, char c) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Fu;
  const std::uint64_t x = w ^ (0x0101010101010101u * static_cast<unsigned char>(c));
  return ~(((x & kLow7) + kLow7) | x) & ~kLow7;
}

/// One line of the body, without its newline, and whether it holds a "#" (a comment) or a
/// "j" (which an imaginary literal needs).
struct RawLine {
  std::size_t start;
  std::size_t end;
  bool has_hash;
  bool has_j;
};

/// The line that ends at `end` (exclusive, before its newline), which starts no earlier than
/// `first`. Eight bytes are looked at a time: every byte of a kernel passes through here.
RawLine line_ending_at(std::string_view text, std::size_t first, std::size_t end) {
  std::uint64_t hashes = 0;
  std::uint64_t js = 0;
  std::size_t i = end;
  for (; i - first >= 8; i -= 8) {
    const std::uint64_t w = load_word(text.data() + i - 8);
    const std::uint64_t newlines = bytes_equal(w, '\n');
    if (newlines != 0) {
      // Only the bytes above the last newline belong to the line.
      const int above = 64 - std::countl_zero(newlines);  // bits up to that newline's byte
      const std::uint64_t mine = above >= 64 ? 0 : ~std::uint64_t{0} << above;
      hashes |= bytes_equal(w, '#') & mine;
      js |= bytes_equal(w, 'j') & mine;
      return {i - 8 + static_cast<std::size_t>(above / 8), end, hashes != 0, js != 0};
    }
    hashes |= bytes_equal(w, '#');
    js |= bytes_equal(w, 'j');
  }
  for (; i > first && text[i - 1] != '\n'; --i) {
    hashes |= text[i - 1] == '#';
    js |= text[i - 1] == 'j';
  }
  return {i, end, hashes != 0, js != 0};
}

/// The line that starts at `start` and ends at the next newline or at `limit`, whichever is
/// first. Eight bytes are looked at a time, as backwards.
RawLine line_starting_at(std::string_view text, std::size_t start, std::size_t limit) {
  std::uint64_t hashes = 0;
  std::uint64_t js = 0;
  std::size_t i = start;
  for (; limit - i >= 8; i += 8) {
    const std::uint64_t w = load_word(text.data() + i);
    const std::uint64_t newlines = bytes_equal(w, '\n');
    if (newlines != 0) {
      // Only the bytes below the first newline belong to the line.
      const int below = std::countr_zero(newlines) - 7;  // bits below that newline's byte
      const std::uint64_t mine = (std::uint64_t{1} << below) - 1;
      hashes |= bytes_equal(w, '#') & mine;
      js |= bytes_equal(w, 'j') & mine;
      return {start, i + static_cast<std::size_t>(below / 8), hashes != 0, js != 0};
    }
    hashes |= bytes_equal(w, '#');
    js |= bytes_equal(w, 'j');
  }
  for (; i < limit && text[i] != '\n'; ++i) {
    hashes |= text[i] == '#';
    js |= text[i] == 'j';
  }
  return {start, i, hashes != 0, js != 0};
}

/// A body line as the statement layer reads it: trimmed, without its comment, not empty.
struct Line {
  std::string_view text;
  bool may_hold_j;  ///< false: no "j" anywhere in it
};

/// `raw` without its comment and trimmed; none when nothing is left.
std::optional<Line> kept_line(std::string_view text, const RawLine& raw) {
  std::string_view line = text.substr(raw.start, raw.end - raw.start);
  if (raw.has_hash) line = line.substr(0, line.find('#'));
  line = support::trim_white_space(line);
  if (line.empty()) return std::nullopt;
  return Line{line, raw.has_j};
}

/// The kept lines of the body [first, end of text), from the last up.
class LinesBackwards {
 public:
  LinesBackwards(std::string_view text, std::size_t first) : text_(text), first_(first) {}

  /// The next line further up, or none when the body is exhausted.
  std::optional<Line> next() {
    while (!done_) {
      support::poll_cancel();
      const RawLine raw = line_ending_at(text_, first_, end_);
      if (raw.start == first_) {
        done_ = true;
      } else {
        end_ = raw.start - 1;
      }
      if (auto line = kept_line(text_, raw)) return line;
    }
    return std::nullopt;
  }

  /// Where the part not yet read ends: the newline above the last line read, or `first` when
  /// nothing is left.
  std::size_t unread_end() const { return done_ ? first_ : end_; }

 private:
  std::string_view text_;
  std::size_t first_;
  std::size_t end_ = text_.size();
  bool done_ = false;
};

/// The kept lines of [first, limit) of the text, from the first down. Reading forwards lets the
/// memory system fetch the source ahead of the reader.
class LinesForwards {
 public:
  LinesForwards(std::string_view text, std::size_t first, std::size_t limit)
      : text_(text), at_(first), limit_(limit), done_(first >= limit) {}

  std::optional<Line> next() {
    while (!done_) {
      support::poll_cancel();
      const RawLine raw = line_starting_at(text_, at_, limit_);
      if (raw.end >= limit_) {
        done_ = true;
      } else {
        at_ = raw.end + 1;
      }
      if (auto line = kept_line(text_, raw)) return line;
    }
    return std::nullopt;
  }

 private:
  std::string_view text_;
  std::size_t at_;
  std::size_t limit_;
  bool done_;
};

}  // namespace

std::expected<std::string, Diag> parse_ident(std::string_view name, Span span) {
  if (auto fault = name_fault(name, span)) return std::unexpected(std::move(*fault));
  return std::string(name);
}

std::expected<FuncDef, Diags> parse_dsl_with_errors(std::string_view source) {
  // Node spans are 32-bit; a tree for a source this large would not fit in memory anyway.
  if (source.size() > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  // Comments are left in place: the header is found around them, and each body line is cut
  // at its "#", which gives what blanking the comment and trimming would.
  const std::size_t open = find_outside_comments(source, 0, '|');
  if (open == std::string_view::npos) {
    return fail(parse_syntax("expected function header `|...|`", Span{0, 0}));
  }
  const std::size_t s = open + 1;
  const std::size_t close = find_outside_comments(source, s, '|');
  if (close == std::string_view::npos) {
    return fail(parse_syntax("expected closing `|` for function header", Span{s, s}));
  }

  const std::string param_list = blank_comments(source.substr(s, close - s));
  auto params = parse_params(SourceText(param_list, s), param_list);
  if (!params) return std::unexpected(std::move(params.error()));

  const SourceText src(source);
  // The result line is the last one, found from the end; its errors come first.
  LinesBackwards from_end(source, close + 1);
  const auto result_line = from_end.next();
  if (!result_line) {
    return fail(parse_syntax("missing function body", Span{close + 1, close + 1}));
  }
  if (assignment_sign(result_line->text)) {
    return fail(parse_syntax("missing result expression after assignments",
                             src.span_of(result_line->text)));
  }
  LexResult scratch;
  NodeArena arena;
  auto result = parse_expression(result_line->text, src.span_of(result_line->text).start, scratch,
                                 &arena, result_line->may_hold_j);
  if (!result) return std::unexpected(std::move(result.error()));
  // Every assignment's `Let` spans from its line to the end of what it is wrapped around, which
  // is in the end the result expression.
  const std::size_t body_end = (*result)->span.end;

  // The assignments are read first to last, each `Let` becoming the body of the one before, so
  // that the first ends up outermost. Of the lines that fail, the last is reported: reading up
  // from the result line, it is the first failing place.
  ExprBox root;
  ExprBox* hole = &root;  ///< where the next expression goes
  std::optional<Diags> failure;
  LinesForwards lines(source, close + 1, from_end.unread_end());
  while (const auto next = lines.next()) {
    const std::string_view line = next->text;
    const Span line_span = src.span_of(line);
    const auto sign = assignment_sign(line);
    if (!sign) {
      failure = Diags{parse_syntax("statement must be assignment `name = expr`", line_span)};
      continue;
    }
    const std::string_view name_text = support::trim_white_space(line.substr(0, *sign));
    const std::string_view rhs_text = support::trim_white_space(line.substr(*sign + 1));
    if (name_text.empty() || rhs_text.empty()) {
      failure = Diags{parse_syntax("invalid assignment", line_span)};
      continue;
    }
    if (auto fault = name_fault(name_text, src.span_of(name_text))) {
      failure = Diags{std::move(*fault)};
      continue;
    }
    auto value =
        parse_expression(rhs_text, src.span_of(rhs_text).start, scratch, &arena, next->may_hold_j);
    if (!value) {
      failure = std::move(value.error());
      continue;
    }
    if (failure) continue;  // the tree is dropped anyway
    *hole = make_node_in(arena, expr::Let{Name(name_text, arena), std::move(*value), ExprBox()},
                         Span{line_span.start, body_end});
    hole = &std::get<expr::Let>((*hole)->value).body;
    ++arena.bindings;
  }
  if (failure) return std::unexpected(std::move(*failure));
  *hole = std::move(*result);
  return FuncDef{std::move(*params), std::move(*root), std::move(arena)};
}

}  // namespace tarvelon::parse
