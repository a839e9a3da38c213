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
using Result = std::optional<SpannedExpr>;

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

SpannedExpr node(Expr e, Span s) { return SpannedExpr(std::move(e), s); }

/// A stand-in for a part that failed to parse; the tree it ends up in is never used, because an
/// error was recorded.
SpannedExpr poisoned(Span s) { return node(expr::BoolLit{false}, s); }

class ExprParser {
 public:
  ExprParser(std::string_view text, std::size_t offset, std::span<const Token> tokens)
      : text_(text), offset_(offset), tokens_(tokens),
        end_of_input_{offset + text.size(), offset + text.size()} {}

  ExprParse run() {
    ExprParse out;
    out.tree = expr_recovering();
    if (pos_ < tokens_.size()) expected(0);
    out.errors = std::move(errors_);
    return out;
  }

  Result cast_atom();
  Result ident_atom();
  Result paren_atom();
  Result literal_atom();
  Result bool_atom();
  Result const_atom();

 private:
  std::optional<TokenKind> peek() const {
    if (pos_ < tokens_.size()) return tokens_[pos_].kind;
    return std::nullopt;
  }
  bool at(TokenKind k) const { return pos_ < tokens_.size() && tokens_[pos_].kind == k; }
  bool at_any(std::uint64_t kinds) const { return pos_ < tokens_.size() && (kinds & bit(tokens_[pos_].kind)); }
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
  void expected(std::uint64_t kinds) { record({peek_span(), ExpectedFound{kinds, peek()}}); }
  bool expect(TokenKind k) {
    if (at(k)) {
      ++pos_;
      return true;
    }
    expected(bit(k));
    return false;
  }

  Result expr();
  SpannedExpr expr_recovering();
  Result if_expr();
  Result binary(std::uint8_t min);
  Result operand();
  std::optional<ir::DType> dtype(Span& span);
  std::size_t close_list(std::vector<SpannedExpr>& items, bool& saw_comma);
  std::size_t close_paren();
  bool skip_to(std::uint64_t kinds);

  std::string_view text_;
  std::size_t offset_;
  std::span<const Token> tokens_;
  Span end_of_input_;
  std::size_t pos_ = 0;
  std::vector<ParseError> errors_;
};

using AtomFn = Result (ExprParser::*)();

/// What a token can start or continue.
struct Rule {
  AtomFn atom = nullptr;
  std::optional<UnaryOp> prefix;
  InfixRule infix;
};

constexpr std::array<Rule, kTokenKindCount> kRules = [] {
  std::array<Rule, kTokenKindCount> rules{};
  auto at = [&](TokenKind k) -> Rule& { return rules[static_cast<std::size_t>(k)]; };
  at(TokenKind::Cast).atom = &ExprParser::cast_atom;
  at(TokenKind::Ident).atom = &ExprParser::ident_atom;
  at(TokenKind::LParen).atom = &ExprParser::paren_atom;
  at(TokenKind::FloatLit).atom = &ExprParser::literal_atom;
  at(TokenKind::ImagLit).atom = &ExprParser::literal_atom;
  at(TokenKind::IntLit).atom = &ExprParser::literal_atom;
  at(TokenKind::True).atom = &ExprParser::bool_atom;
  at(TokenKind::False).atom = &ExprParser::bool_atom;
  at(TokenKind::E).atom = &ExprParser::const_atom;
  at(TokenKind::Pi).atom = &ExprParser::const_atom;
  for (const PrefixDecl& p : kPrefixDecls) at(p.token).prefix = p.op;
  for (const InfixDecl& d : kInfixDecls) at(d.token).infix = derive(d);
  return rules;
}();

const Rule& rule_of(std::optional<TokenKind> k) {
  static constexpr Rule kNone{};
  return k ? kRules[static_cast<std::size_t>(*k)] : kNone;
}

const std::uint64_t kAtomStarts = [] {
  std::uint64_t m = 0;
  for (std::size_t k = 0; k < kTokenKindCount; ++k) {
    if (kRules[k].atom || kRules[k].prefix) m |= std::uint64_t{1} << k;
  }
  return m;
}();

/// Where a failed expression stops retrying: the tokens that close the construct around it.
constexpr std::uint64_t kRecoveryStops =
    bit(TokenKind::Comma) | bit(TokenKind::RParen) | bit(TokenKind::Then) | bit(TokenKind::Else);

Result ExprParser::expr() {
  return support::with_stack_guard([&]() -> Result {
    if (at(TokenKind::If)) return if_expr();
    return binary(0);
  });
}

SpannedExpr ExprParser::expr_recovering() {
  if (Result r = expr()) return std::move(*r);
  const Span failed = peek_span();
  // Skip the offending token and retry from the next one, until a closing token or the end.
  // The parser never moves backwards, so all retries together stay linear in the tokens.
  while (pos_ < tokens_.size() && !at_any(kRecoveryStops)) {
    ++pos_;
    if (pos_ == tokens_.size() || at_any(kRecoveryStops)) break;
    const std::size_t kept = errors_.size();
    if (Result r = expr()) return std::move(*r);
    errors_.resize(kept);
  }
  return poisoned(failed);
}

Result ExprParser::if_expr() {
  const Span start = next().span;
  SpannedExpr cond = expr_recovering();
  if (!expect(TokenKind::Then)) return std::nullopt;
  SpannedExpr then_branch = expr_recovering();
  if (!expect(TokenKind::Else)) return std::nullopt;
  SpannedExpr else_branch = expr_recovering();
  const Span span{start.start, else_branch.span.end};
  return node(expr::If{box(std::move(cond)), box(std::move(then_branch)), box(std::move(else_branch))},
              span);
}

Result ExprParser::binary(std::uint8_t min) {
  return support::with_stack_guard([&]() -> Result {
    Result lhs;
    if (const auto op = rule_of(peek()).prefix) {
      const Span op_span = next().span;
      Result arg = binary(kPrefixPower);
      if (!arg) return std::nullopt;
      const Span span{op_span.start, arg->span.end};
      lhs = node(expr::Unary{*op, box(std::move(*arg))}, span);
    } else {
      lhs = operand();
      if (!lhs) return std::nullopt;
    }
    while (true) {
      const InfixRule& r = rule_of(peek()).infix;
      if (!r.valid || (r.strict ? r.left <= min : r.left < min)) return lhs;
      ++pos_;
      Result rhs = binary(r.right);
      if (!rhs) return std::nullopt;
      const Span span = join(lhs->span, rhs->span);
      lhs = node(expr::Binary{r.op, box(std::move(*lhs)), box(std::move(*rhs))}, span);
    }
  });
}

Result ExprParser::operand() {
  const AtomFn atom = rule_of(peek()).atom;
  if (!atom) {
    expected(kAtomStarts);
    return std::nullopt;
  }
  Result e = (this->*atom)();
  if (!e) return std::nullopt;
  while (at(TokenKind::At)) {
    Span suffix = next().span;
    const auto to = dtype(suffix);
    if (!to) return std::nullopt;
    const Span span = join(e->span, suffix);
    e = node(expr::Cast{*to, box(std::move(*e))}, span);
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
  // The word is in a dtype's place, so parsing goes on; the error alone rejects the text.
  record({t.span, std::string(kUnknownDtypeMarker) + d.error()});
  return ir::dtypes::kF64;
}

Result ExprParser::cast_atom() {
  const Span start = next().span;
  if (!expect(TokenKind::Less)) return std::nullopt;
  Span ignored = peek_span();
  const auto to = dtype(ignored);
  if (!to) return std::nullopt;
  if (!expect(TokenKind::Greater) || !expect(TokenKind::LParen)) return std::nullopt;
  SpannedExpr arg = expr_recovering();
  const std::size_t end = close_paren();
  return node(expr::Cast{*to, box(std::move(arg))}, Span{start.start, end});
}

Result ExprParser::ident_atom() {
  const Token& name = next();
  if (!at(TokenKind::LParen)) return node(expr::Var{std::string(text_of(name))}, name.span);
  ++pos_;
  std::vector<SpannedExpr> args;
  std::size_t end;
  if (at(TokenKind::RParen)) {
    end = next().span.end;
  } else {
    args.push_back(expr_recovering());
    bool saw_comma = false;
    end = close_list(args, saw_comma);
  }
  return node(expr::Call{std::string(text_of(name)), std::move(args)}, Span{name.span.start, end});
}

Result ExprParser::paren_atom() {
  const Span open = next().span;
  std::vector<SpannedExpr> items;
  items.push_back(expr_recovering());
  bool saw_comma = false;
  const std::size_t end = close_list(items, saw_comma);
  const Span span{open.start, end};
  if (!saw_comma) return node(std::move(items.front().value), span);
  return node(expr::Tuple{std::move(items)}, span);
}

Result ExprParser::literal_atom() {
  const Token& t = next();
  Span span = t.span;
  std::optional<ir::DType> own;
  if (at(TokenKind::At)) {
    ++pos_;
    own = dtype(span);
    if (!own) return std::nullopt;
  }
  switch (t.kind) {
    case TokenKind::IntLit:
      return node(expr::IntLit{t.int_value, own}, span);
    case TokenKind::FloatLit:
      return node(expr::FloatLit{t.float_value, own}, span);
    default:
      return node(expr::ComplexLit{0.0, t.float_value, own}, span);
  }
}

Result ExprParser::bool_atom() {
  const Token& t = next();
  return node(expr::BoolLit{t.kind == TokenKind::True}, t.span);
}

Result ExprParser::const_atom() {
  const Token& t = next();
  if (t.kind == TokenKind::E) return node(expr::ConstE{}, t.span);
  return node(expr::ConstPi{}, t.span);
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

std::size_t ExprParser::close_list(std::vector<SpannedExpr>& items, bool& saw_comma) {
  while (true) {
    if (at(TokenKind::RParen)) return next().span.end;
    if (at(TokenKind::Comma)) {
      ++pos_;
      saw_comma = true;
      items.push_back(expr_recovering());
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

std::expected<SpannedExpr, std::vector<diag::Diag>> expression_result(ExprParse parse,
                                                                      std::size_t offset) {
  if (!parse.errors.empty()) {
    std::vector<diag::Diag> diags;
    diags.reserve(parse.errors.size());
    for (const ParseError& e : parse.errors) diags.push_back(parse_error_from_rich(e));
    return std::unexpected(std::move(diags));
  }
  if (!parse.tree) return std::unexpected(std::vector{parse_syntax("parse error", Span{offset, offset})});
  return std::move(*parse.tree);
}

std::expected<SpannedExpr, std::vector<diag::Diag>> parse_expr_with_offset(std::string_view text,
                                                                           std::size_t offset) {
  if (auto finding = int_imaginary_prescan(text, offset)) {
    return std::unexpected(std::vector{std::move(*finding)});
  }
  LexResult lexed = lex(text);
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
