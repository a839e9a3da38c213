#include "parse/expr_parser.h"

#include <algorithm>
#include <array>
#include <utility>

#include "parse/parser.h"
#include "support/stack_guard.h"

namespace tarvelon::parse {

namespace {

using ir::BinaryOp;
using ir::UnaryOp;

constexpr std::uint64_t bit(TokenKind k) { return std::uint64_t{1} << static_cast<unsigned>(k); }

/// How an infix operator groups with its own kind.
enum class Grouping : std::uint8_t { Left, Right, Comparison };

struct InfixDecl {
  TokenKind token;
  BinaryOp op;
  std::uint8_t power;  ///< declared binding power; larger binds tighter
  Grouping grouping;
};

/// The infix operators, loosest first.
constexpr InfixDecl kInfixDecls[] = {
    {TokenKind::OrOr, BinaryOp::Or, 0, Grouping::Left},
    {TokenKind::AndAnd, BinaryOp::And, 1, Grouping::Left},
    {TokenKind::EqEq, BinaryOp::Eq, 2, Grouping::Comparison},
    {TokenKind::NotEq, BinaryOp::Ne, 2, Grouping::Comparison},
    {TokenKind::Less, BinaryOp::Lt, 2, Grouping::Comparison},
    {TokenKind::LessEq, BinaryOp::Le, 2, Grouping::Comparison},
    {TokenKind::Greater, BinaryOp::Gt, 2, Grouping::Comparison},
    {TokenKind::GreaterEq, BinaryOp::Ge, 2, Grouping::Comparison},
    {TokenKind::Plus, BinaryOp::Add, 3, Grouping::Left},
    {TokenKind::Minus, BinaryOp::Sub, 3, Grouping::Left},
    {TokenKind::Star, BinaryOp::Mul, 4, Grouping::Left},
    {TokenKind::Slash, BinaryOp::Div, 4, Grouping::Left},
    {TokenKind::SlashSlash, BinaryOp::FloorDiv, 4, Grouping::Left},
    {TokenKind::Percent, BinaryOp::Rem, 4, Grouping::Left},
    {TokenKind::StarStar, BinaryOp::Pow, 6, Grouping::Right},
};

/// The minimum power of a prefix operator's operand, on the scale of the infix left and right
/// powers: tighter than every operator but `**`.
constexpr std::uint8_t kPrefixPower = 10;

struct PrefixDecl {
  TokenKind token;
  UnaryOp op;
};
constexpr PrefixDecl kPrefixDecls[] = {{TokenKind::Minus, UnaryOp::Neg},
                                       {TokenKind::Bang, UnaryOp::Not}};

/// An infix operator as the climbing loop uses it. Continue while `left` >= the minimum power
/// (> for a comparison, so comparisons never chain to the right); parse the right side at
/// `right`.
struct InfixRule {
  bool valid = false;
  BinaryOp op{};
  std::uint8_t left = 0;
  std::uint8_t right = 0;
  bool strict = false;
};

constexpr InfixRule derive(const InfixDecl& d) {
  const auto p2 = static_cast<std::uint8_t>(2 * d.power);
  switch (d.grouping) {
    case Grouping::Left:
      return {true, d.op, p2, static_cast<std::uint8_t>(p2 + 1), false};
    case Grouping::Right:
      return {true, d.op, static_cast<std::uint8_t>(p2 + 1), p2, false};
    case Grouping::Comparison:
      return {true, d.op, p2, p2, true};
  }
  return {};
}

Span join(Span a, Span b) { return {std::min(a.start, b.start), std::max(a.end, b.end)}; }

// Node builders stay out of line: the temporaries of a node under construction then live in a
// short-lived frame instead of in every frame of a deep recursion.
template <class Form>
[[gnu::noinline]] ExprBox make(Form&& e, Span s) {
  return std::make_unique<SpannedExpr>(std::forward<Form>(e), s);
}
[[gnu::noinline]] ExprBox make_unary(UnaryOp op, ExprBox arg, Span s) {
  return make(expr::Unary{op, std::move(arg)}, s);
}
[[gnu::noinline]] ExprBox make_binary(BinaryOp op, ExprBox lhs, ExprBox rhs) {
  const Span s = join(lhs->span, rhs->span);
  return make(expr::Binary{op, std::move(lhs), std::move(rhs)}, s);
}
[[gnu::noinline]] ExprBox make_cast(ir::DType to, ExprBox arg, Span s) {
  return make(expr::Cast{to, std::move(arg)}, s);
}

/// A stand-in for a part that failed to parse; the tree it ends up in is never used, because an
/// error was recorded.
ExprBox poisoned(Span s) { return make(expr::BoolLit{false}, s); }

class ExprParser {
 public:
  ExprParser(std::string_view text, std::size_t offset, std::span<const Token> tokens)
      : text_(text),
        offset_(offset),
        tokens_(tokens),
        end_of_input_{offset + text.size(), offset + text.size()} {}

  ExprParse run() {
    ExprParse out;
    out.tree = expr_recovering();
    // Tokens left over after an error are the debris of that error, not a new one.
    if (pos_ < tokens_.size() && errors_.empty()) expected(0);
    out.errors = std::move(errors_);
    return out;
  }

  // Atoms, selected by their first token. A null box means the atom failed and its error is
  // recorded.
  ExprBox cast_atom();
  ExprBox ident_atom();
  ExprBox paren_atom();
  ExprBox literal_atom();
  ExprBox bool_atom();
  ExprBox const_atom();

 private:
  std::optional<TokenKind> peek() const {
    if (pos_ < tokens_.size()) return tokens_[pos_].kind;
    return std::nullopt;
  }
  bool at(TokenKind k) const { return pos_ < tokens_.size() && tokens_[pos_].kind == k; }
  bool at_any(std::uint64_t kinds) const {
    return pos_ < tokens_.size() && (kinds & bit(tokens_[pos_].kind));
  }
  Span peek_span() const { return pos_ < tokens_.size() ? tokens_[pos_].span : end_of_input_; }
  const Token& next() { return tokens_[pos_++]; }
  std::string_view text_of(const Token& t) const {
    return text_.substr(t.span.start - offset_, t.span.end - t.span.start);
  }

  /// Records an error; of several errors at one position only the first is kept.
  void record(ParseError e) {
    if (!errors_.empty() && errors_.back().span == e.span) return;
    errors_.push_back(std::move(e));
  }
  /// Records that the next token (or the end of input) is not one of `kinds`.
  [[gnu::noinline]] void expected(std::uint64_t kinds) {
    if (!errors_.empty() && errors_.back().span == peek_span()) return;
    record({peek_span(), ExpectedFound{kinds, peek()}});
  }
  bool expect(TokenKind k) {
    if (at(k)) {
      ++pos_;
      return true;
    }
    expected(bit(k));
    return false;
  }

  ExprBox expr();
  ExprBox expr_recovering();
  [[gnu::noinline]] ExprBox recover();
  [[gnu::noinline]] ExprBox finish_tuple(std::size_t start, ExprBox first);
  ExprBox if_expr();
  ExprBox binary(std::uint8_t min);
  ExprBox climb(std::uint8_t min);
  ExprBox operand();
  std::optional<ir::DType> dtype(Span& span);
  std::size_t close_list(std::vector<SpannedExpr>& items);
  std::size_t close_paren();
  bool skip_to(std::uint64_t kinds);

  std::string_view text_;
  std::size_t offset_;
  std::span<const Token> tokens_;
  Span end_of_input_;
  std::size_t pos_ = 0;
  std::vector<ParseError> errors_;
};

using AtomFn = ExprBox (ExprParser::*)();

/// What a token can start or continue.
struct Rule {
  AtomFn atom = nullptr;
  std::optional<UnaryOp> prefix;
  InfixRule infix;
};

struct AtomDecl {
  TokenKind token;
  AtomFn parse;
};

/// The tokens that start an atom, with the rule that parses it.
constexpr AtomDecl kAtomDecls[] = {
    {TokenKind::Cast, &ExprParser::cast_atom},
    {TokenKind::Ident, &ExprParser::ident_atom},
    {TokenKind::LParen, &ExprParser::paren_atom},
    {TokenKind::FloatLit, &ExprParser::literal_atom},
    {TokenKind::ImagLit, &ExprParser::literal_atom},
    {TokenKind::IntLit, &ExprParser::literal_atom},
    {TokenKind::True, &ExprParser::bool_atom},
    {TokenKind::False, &ExprParser::bool_atom},
    {TokenKind::E, &ExprParser::const_atom},
    {TokenKind::Pi, &ExprParser::const_atom},
};

constexpr std::array<Rule, kTokenKindCount> kRules = [] {
  std::array<Rule, kTokenKindCount> rules{};
  auto at = [&](TokenKind k) -> Rule& { return rules[static_cast<std::size_t>(k)]; };
  for (const AtomDecl& a : kAtomDecls) at(a.token).atom = a.parse;
  for (const PrefixDecl& p : kPrefixDecls) at(p.token).prefix = p.op;
  for (const InfixDecl& d : kInfixDecls) at(d.token).infix = derive(d);
  return rules;
}();

const Rule& rule_of(std::optional<TokenKind> k) {
  static constexpr Rule kNone{};
  return k ? kRules[static_cast<std::size_t>(*k)] : kNone;
}

/// The tokens an operand can start with.
constexpr std::uint64_t kOperandStarts = [] {
  std::uint64_t m = 0;
  for (const AtomDecl& a : kAtomDecls) m |= bit(a.token);
  for (const PrefixDecl& p : kPrefixDecls) m |= bit(p.token);
  return m;
}();

/// Where a failed expression stops retrying: the tokens that close the construct around it.
constexpr std::uint64_t kRecoveryStops =
    bit(TokenKind::Comma) | bit(TokenKind::RParen) | bit(TokenKind::Then) | bit(TokenKind::Else);

ExprBox ExprParser::expr() {
  return support::with_stack_guard([this] { return at(TokenKind::If) ? if_expr() : climb(0); });
}

ExprBox ExprParser::expr_recovering() {
  if (ExprBox e = expr()) return e;
  return recover();
}

ExprBox ExprParser::recover() {
  const Span failed = peek_span();
  // Skip the offending token and retry from the next one, until a closing token or the end.
  // The parser never moves backwards, so all retries together stay linear in the tokens.
  while (pos_ < tokens_.size() && !at_any(kRecoveryStops)) {
    ++pos_;
    if (pos_ == tokens_.size() || at_any(kRecoveryStops)) break;
    const std::size_t kept = errors_.size();
    if (ExprBox e = expr()) return e;
    errors_.resize(kept);
  }
  return poisoned(failed);
}

ExprBox ExprParser::if_expr() {
  const std::size_t start = next().span.start;
  ExprBox cond = expr_recovering();
  if (!expect(TokenKind::Then)) return nullptr;
  ExprBox then_branch = expr_recovering();
  if (!expect(TokenKind::Else)) return nullptr;
  ExprBox else_branch = expr_recovering();
  const Span span{start, else_branch->span.end};
  return make(expr::If{std::move(cond), std::move(then_branch), std::move(else_branch)}, span);
}

ExprBox ExprParser::binary(std::uint8_t min) {
  return support::with_stack_guard([this, min] { return climb(min); });
}

ExprBox ExprParser::climb(std::uint8_t min) {
  ExprBox lhs;
  if (const auto op = rule_of(peek()).prefix) {
    const std::size_t start = next().span.start;
    lhs = binary(kPrefixPower);
    if (!lhs) return nullptr;
    // The span is read before the operand moves: argument evaluation order is unspecified.
    const Span span{start, lhs->span.end};
    lhs = make_unary(*op, std::move(lhs), span);
  } else if (!(lhs = operand())) {
    return nullptr;
  }
  while (true) {
    const InfixRule& r = rule_of(peek()).infix;
    if (!r.valid || (r.strict ? r.left <= min : r.left < min)) return lhs;
    ++pos_;
    ExprBox rhs = binary(r.right);
    if (!rhs) return nullptr;
    lhs = make_binary(r.op, std::move(lhs), std::move(rhs));
  }
}

ExprBox ExprParser::operand() {
  const AtomFn atom = rule_of(peek()).atom;
  if (!atom) {
    expected(kOperandStarts);
    return nullptr;
  }
  ExprBox e = (this->*atom)();
  while (e && at(TokenKind::At)) {
    Span span = join(e->span, next().span);
    const auto to = dtype(span);
    e = to ? make_cast(*to, std::move(e), span) : nullptr;
  }
  return e;
}

std::optional<ir::DType> ExprParser::dtype(Span& span) {
  if (!at_any(bit(TokenKind::Ident) | bit(TokenKind::DtypeName))) {
    expected(bit(TokenKind::Ident) | bit(TokenKind::DtypeName));
    return std::nullopt;
  }
  const Token& t = next();
  span = join(span, t.span);
  auto d = ir::DType::from_str(text_of(t));
  if (d) return *d;
  // The word stands where a dtype belongs, so parsing goes on; the error alone rejects the text.
  record({t.span, std::string(kUnknownDtypeMarker) + d.error()});
  return ir::dtypes::kF64;
}

ExprBox ExprParser::cast_atom() {
  const std::size_t start = next().span.start;
  if (!expect(TokenKind::Less)) return nullptr;
  Span dtype_span = peek_span();
  const auto to = dtype(dtype_span);
  if (!to || !expect(TokenKind::Greater) || !expect(TokenKind::LParen)) return nullptr;
  ExprBox arg = expr_recovering();
  const std::size_t end = close_paren();
  return make_cast(*to, std::move(arg), Span{start, end});
}

ExprBox ExprParser::ident_atom() {
  const Token& name = next();
  if (!at(TokenKind::LParen)) return make(expr::Var{std::string(text_of(name))}, name.span);
  ++pos_;
  std::vector<SpannedExpr> args;
  std::size_t end;
  if (at(TokenKind::RParen)) {
    end = next().span.end;
  } else {
    args.push_back(std::move(*expr_recovering()));
    end = close_list(args);
  }
  return make(expr::Call{std::string(text_of(name)), std::move(args)}, Span{name.span.start, end});
}

ExprBox ExprParser::paren_atom() {
  const std::size_t start = next().span.start;
  ExprBox inner = expr_recovering();
  if (at(TokenKind::RParen)) {
    // A parenthesised expression is its inner node, widened to the parentheses.
    inner->span = Span{start, next().span.end};
    return inner;
  }
  return finish_tuple(start, std::move(inner));
}

ExprBox ExprParser::finish_tuple(std::size_t start, ExprBox first) {
  std::vector<SpannedExpr> items;
  items.push_back(std::move(*first));
  first.reset();
  const std::size_t end = close_list(items);
  if (items.size() == 1) {
    SpannedExpr only = std::move(items.front());
    return make(std::move(only.value), Span{start, end});
  }
  return make(expr::Tuple{std::move(items)}, Span{start, end});
}

ExprBox ExprParser::literal_atom() {
  const Token& t = next();
  Span span = t.span;
  std::optional<ir::DType> own;
  if (at(TokenKind::At)) {
    ++pos_;
    own = dtype(span);
    if (!own) return nullptr;
  }
  switch (t.kind) {
    case TokenKind::IntLit:
      return make(expr::IntLit{t.int_value, own}, span);
    case TokenKind::FloatLit:
      return make(expr::FloatLit{t.float_value, own}, span);
    default:
      return make(expr::ComplexLit{0.0, t.float_value, own}, span);
  }
}

ExprBox ExprParser::bool_atom() {
  const Token& t = next();
  return make(expr::BoolLit{t.kind == TokenKind::True}, t.span);
}

ExprBox ExprParser::const_atom() {
  const Token& t = next();
  if (t.kind == TokenKind::E) return make(expr::ConstE{}, t.span);
  return make(expr::ConstPi{}, t.span);
}

bool ExprParser::skip_to(std::uint64_t kinds) {
  std::size_t depth = 0;
  for (; pos_ < tokens_.size(); ++pos_) {
    const TokenKind k = tokens_[pos_].kind;
    if (depth == 0 && (kinds & bit(k))) return true;
    if (k == TokenKind::LParen) {
      ++depth;
    } else if (k == TokenKind::RParen && depth > 0) {
      --depth;
    }
  }
  return false;
}

std::size_t ExprParser::close_list(std::vector<SpannedExpr>& items) {
  while (true) {
    if (at(TokenKind::RParen)) return next().span.end;
    if (at(TokenKind::Comma)) {
      ++pos_;
      items.push_back(std::move(*expr_recovering()));
      continue;
    }
    // A missing separator or closing parenthesis: skip to the next one, passing over nested
    // parentheses whole.
    expected(bit(TokenKind::Comma) | bit(TokenKind::RParen));
    if (!skip_to(bit(TokenKind::Comma) | bit(TokenKind::RParen))) return end_of_input_.end;
  }
}

std::size_t ExprParser::close_paren() {
  if (at(TokenKind::RParen)) return next().span.end;
  expected(bit(TokenKind::RParen));
  if (!skip_to(bit(TokenKind::RParen))) return end_of_input_.end;
  return next().span.end;
}

}  // namespace

ExprParse parse_tokens(std::string_view text, std::size_t offset, std::span<const Token> tokens) {
  return ExprParser(text, offset, tokens).run();
}

std::expected<ExprBox, std::vector<diag::Diag>> expression_result(ExprParse parse,
                                                                  std::size_t offset) {
  if (!parse.errors.empty()) {
    std::vector<diag::Diag> diags;
    diags.reserve(parse.errors.size());
    for (const ParseError& e : parse.errors) diags.push_back(parse_error_from_rich(e));
    return std::unexpected(std::move(diags));
  }
  if (!parse.tree) {
    return std::unexpected(std::vector{parse_syntax("parse error", Span{offset, offset})});
  }
  return std::move(parse.tree);
}

std::expected<SpannedExpr, std::vector<diag::Diag>> parse_expr_with_offset(std::string_view text,
                                                                           std::size_t offset) {
  LexResult scratch;
  auto e = parse_expression(text, offset, scratch);
  if (!e) return std::unexpected(std::move(e.error()));
  return std::move(**e);
}

std::expected<ExprBox, std::vector<diag::Diag>> parse_expression(std::string_view text,
                                                                 std::size_t offset,
                                                                 LexResult& lexed) {
  if (auto finding = int_imaginary_prescan(text, offset)) {
    return std::unexpected(std::vector{std::move(*finding)});
  }
  lex_into(text, lexed);
  if (!lexed.errors.empty()) {
    std::vector<diag::Diag> diags;
    diags.reserve(lexed.errors.size());
    for (const LexError& e : lexed.errors) {
      diags.push_back(parse_syntax(e.message.empty() ? "lex error" : e.message,
                                   Span{offset + e.span.start, offset + e.span.end}));
    }
    return std::unexpected(std::move(diags));
  }
  if (lexed.tokens.empty()) {
    return std::unexpected(std::vector{parse_syntax("lex error", Span{offset, offset})});
  }
  for (Token& t : lexed.tokens) {
    t.span.start += offset;
    t.span.end += offset;
  }
  return expression_result(parse_tokens(text, offset, lexed.tokens), offset);
}

}  // namespace tarvelon::parse
