#include "parse/expr_parser.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "parse/parser.h"
#include "support/cancel.h"
#include "support/segmented_stack.h"

namespace tarvelon::parse {

namespace {

using vocab::BinaryOp;
using vocab::UnaryOp;

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

/// The expression parser. Nesting in the text is not nesting on the machine stack: a construct
/// that needs a nested expression pushes a frame saying how to finish, and the driver loop hands
/// each finished node to the frame on top. Frames and the pieces of unfinished constructs
/// (left operands, call arguments, tuple elements) live in two explicit stacks, so parsing takes
/// constant machine stack and memory proportional to the nesting, a few bytes per level.
class ExprParser {
 public:
  ExprParser(std::string_view text, std::size_t offset, std::span<const Token> tokens,
             NodeArena* arena)
      : text_(text),
        offset_(offset),
        tokens_(tokens),
        arena_(arena),
        end_of_input_{offset + text.size(), offset + text.size()} {}

  ExprParse run() {
    ExprParse out;
    out.tree = parse();
    // Tokens left over after an error are the debris of that error, not a new one.
    if (pos_ < tokens_.size() && errors_.empty()) expected(0);
    out.errors = std::move(errors_);
    return out;
  }

  /// What an atom leaves behind: a finished node (null when it failed and its error is
  /// recorded), or `nested`, when it pushed a frame and needs an expression parsed next.
  struct AtomStep {
    ExprBox node;
    bool nested = false;
  };
  AtomStep cast_atom();
  AtomStep ident_atom();
  AtomStep paren_atom();
  AtomStep literal_atom();
  AtomStep bool_atom();
  AtomStep const_atom();

 private:
  /// What to parse when descending.
  enum class Goal : std::uint8_t {
    ExprRecovering,  ///< an expression; on failure skip tokens and retry, never null
    Expr,            ///< an expression, null on failure
    Binary,          ///< a precedence climb at a minimum power
  };

  /// How to finish a construct once the expression it waits for is parsed.
  struct Frame {
    enum class Kind : std::uint8_t {
      Recovering,    ///< the expression of an ExprRecovering goal
      RecoverRetry,  ///< a retry after skipping a token: `at` failed first, `n` errors kept
      IfCond,        ///< `if` at `at`, its condition
      IfThen,        ///< its then branch; the condition is on the value stack
      IfElse,        ///< its else branch; condition and then branch are on the value stack
      Climb,         ///< the left operand of a climb at `power`: suffixes, then infixes;
                     ///< `n` nonzero: the climb is a whole expression that recovers as a
                     ///< Recovering frame below it would
      ClimbRhs,      ///< the right operand of `op`; the left one is on the value stack; `n`
                     ///< as for Climb
      Prefixes,      ///< the operand of the `n` prefix operators from token `at` on
      CastClose,     ///< the operand of `cast<dtype>(` at `at`
      ParenInner,    ///< the expression after `(` at `at`
      List,          ///< an element of a call (name at `at`) or tuple (`(` at `at`) whose
                     ///< earlier elements are on the value stack from index `n`
    };
    Kind kind;
    std::uint8_t power = 0;
    BinaryOp op{};
    bool is_call = false;
    vocab::DType dtype{};
    std::uint32_t at = 0;  ///< a token index
    std::uint32_t n = 0;
  };
  static_assert(sizeof(Frame) <= 16);

  std::optional<TokenKind> peek() const {
    if (pos_ < tokens_.size()) return tokens_[pos_].kind;
    return std::nullopt;
  }
  bool at(TokenKind k) const { return pos_ < tokens_.size() && tokens_[pos_].kind == k; }
  bool at_any(std::uint64_t kinds) const {
    return pos_ < tokens_.size() && (kinds & bit(tokens_[pos_].kind));
  }
  /// The source span of the token at index `i`, or the end of input past the last token.
  Span span_at(std::size_t i) const {
    if (i >= tokens_.size()) return end_of_input_;
    return {offset_ + tokens_[i].start, offset_ + tokens_[i].end};
  }
  Span peek_span() const { return span_at(pos_); }
  Span next() { return span_at(pos_++); }
  std::string_view text_at(std::size_t i) const { return tokens_[i].text_in(text_); }

  /// Records an error; of several errors at one position only the first is kept.
  void record(ParseError e) {
    if (!errors_.empty() && errors_.back().span == e.span) return;
    errors_.push_back(std::move(e));
  }
  /// Records that the next token (or the end of input) is not one of `kinds`.
  void expected(std::uint64_t kinds) {
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

  /// A node, in the arena when there is one.
  template <class Form>
  ExprBox make(Form&& e, Span s) {
    if (arena_ == nullptr) return make_node(std::forward<Form>(e), s);
    using F = std::decay_t<Form>;
    arena_->value_nodes += !std::is_same_v<F, expr::Var> && !std::is_same_v<F, expr::Tuple>;
    return make_node_in(*arena_, std::forward<Form>(e), s);
  }
  /// A stand-in for a part that failed to parse; the tree it ends up in is never used, because
  /// an error was recorded.
  ExprBox poisoned(Span s) { return make(expr::BoolLit{false}, s); }
  Name name_at(std::size_t i) const {
    return arena_ != nullptr ? Name(text_at(i), *arena_) : Name(text_at(i));
  }
  template <class It>
  BoxList list_of(It first, It last) const {
    return arena_ != nullptr ? BoxList(first, last, *arena_) : BoxList(first, last);
  }

  void push(Frame f) { frames_.push_back(f); }
  ExprBox pop_value() {
    ExprBox v = std::move(values_.back());
    values_.pop_back();
    return v;
  }
  std::uint32_t index(std::size_t i) const { return static_cast<std::uint32_t>(i); }

  ExprBox parse();
  ExprBox descend(Goal goal, std::uint8_t power);
  ExprBox resume(const Frame& f, ExprBox v);
  ExprBox recover_from(std::uint32_t failed);
  /// What a climb that failed hands on: null, or a recovery when it is a whole expression.
  ExprBox climb_failed(const Frame& f);
  ExprBox continue_list(Frame f);
  ExprBox finish_list(const Frame& f, std::size_t end);
  std::optional<vocab::DType> dtype(Span& span);
  std::size_t close_paren();
  bool skip_to(std::uint64_t kinds);

  std::string_view text_;
  std::size_t offset_;
  std::span<const Token> tokens_;
  NodeArena* arena_;  ///< where nodes go; null: each on the heap
  Span end_of_input_;
  std::size_t pos_ = 0;
  std::vector<ParseError> errors_;
  support::SegmentedStack<Frame, 32> frames_;
  support::SegmentedStack<ExprBox, 64> values_;
};

using AtomFn = ExprParser::AtomStep (ExprParser::*)();

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

constexpr std::uint64_t kListSeparators = bit(TokenKind::Comma) | bit(TokenKind::RParen);

ExprBox ExprParser::parse() {
  ExprBox v = descend(Goal::ExprRecovering, 0);
  while (!frames_.empty()) {
    support::poll_cancel();
    const Frame f = frames_.back();
    frames_.pop_back();
    v = resume(f, std::move(v));
  }
  return v;
}

/// Pushes the frames of `goal` down to the first atom and returns that atom's node, or null
/// when it failed.
ExprBox ExprParser::descend(Goal goal, std::uint8_t power) {
  while (true) {
    support::poll_cancel();
    // An expression that is a climb recovers in its Climb frame, which saves a frame for
    // every expression in parentheses or in a list.
    const bool recovers = goal == Goal::ExprRecovering;
    if (goal != Goal::Binary) {
      if (at(TokenKind::If)) {
        if (recovers) push({Frame::Kind::Recovering});
        push({.kind = Frame::Kind::IfCond, .at = index(pos_++)});
        goal = Goal::ExprRecovering;
        continue;
      }
      power = 0;
    }
    push({.kind = Frame::Kind::Climb, .power = power, .n = recovers});
    if (rule_of(peek()).prefix) {
      // A run of prefix operators shares one frame: each takes the operand at the prefix
      // power, and the climb between them never continues, so they wrap one operand in turn.
      const std::size_t first = pos_;
      while (rule_of(peek()).prefix) {
        support::poll_cancel();
        ++pos_;
      }
      push({.kind = Frame::Kind::Prefixes, .at = index(first), .n = index(pos_ - first)});
      push({.kind = Frame::Kind::Climb, .power = kPrefixPower});
    }
    const AtomFn atom = rule_of(peek()).atom;
    if (!atom) {
      expected(kOperandStarts);
      return nullptr;
    }
    AtomStep step = (this->*atom)();
    if (!step.nested) return std::move(step.node);
    goal = Goal::ExprRecovering;
  }
}

/// Finishes what frame `f` waited for with the node `v` (null: the nested parse failed), and
/// returns the node to hand to the next frame.
ExprBox ExprParser::resume(const Frame& f, ExprBox v) {
  using K = Frame::Kind;
  switch (f.kind) {
    case K::Recovering:
      if (v) return v;
      return recover_from(index(pos_));
    case K::RecoverRetry:
      if (v) return v;
      errors_.resize(f.n);
      return recover_from(f.at);
    case K::IfCond:
      if (!expect(TokenKind::Then)) return nullptr;
      values_.push_back(std::move(v));
      push({.kind = K::IfThen, .at = f.at});
      return descend(Goal::ExprRecovering, 0);
    case K::IfThen:
      if (!expect(TokenKind::Else)) {
        pop_value();
        return nullptr;
      }
      values_.push_back(std::move(v));
      push({.kind = K::IfElse, .at = f.at});
      return descend(Goal::ExprRecovering, 0);
    case K::IfElse: {
      ExprBox then_branch = pop_value();
      ExprBox cond = pop_value();
      const Span span{span_at(f.at).start, v->span.end};
      return make(expr::If{std::move(cond), std::move(then_branch), std::move(v)}, span);
    }
    case K::ClimbRhs: {
      ExprBox lhs = pop_value();
      if (!v) return climb_failed(f);
      const Span span = join(lhs->span, v->span);
      v = make(expr::Binary{f.op, std::move(lhs), std::move(v)}, span);
      // The climb goes on from the combined node, as a Climb frame at the same power would.
      [[fallthrough]];
    }
    case K::Climb: {
      while (v && at(TokenKind::At)) {
        Span span = join(v->span, next());
        const auto to = dtype(span);
        v = to ? make(expr::Cast{*to, std::move(v)}, span) : nullptr;
      }
      if (!v) return climb_failed(f);
      const InfixRule& r = rule_of(peek()).infix;
      if (!r.valid || (r.strict ? r.left <= f.power : r.left < f.power)) return v;
      ++pos_;
      values_.push_back(std::move(v));
      push({.kind = K::ClimbRhs, .power = f.power, .op = r.op, .n = f.n});
      return descend(Goal::Binary, r.right);
    }
    case K::Prefixes:
      if (!v) return nullptr;
      for (std::size_t i = f.at + f.n; i-- > f.at;) {
        support::poll_cancel();
        const Span span{span_at(i).start, v->span.end};
        v = make(expr::Unary{*rule_of(tokens_[i].kind).prefix, std::move(v)}, span);
      }
      return v;
    case K::CastClose: {
      const std::size_t end = close_paren();
      return make(expr::Cast{f.dtype, std::move(v)}, Span{span_at(f.at).start, end});
    }
    case K::ParenInner:
      if (at(TokenKind::RParen)) {
        // A parenthesised expression is its inner node, widened to the parentheses.
        v->span = NodeSpan(Span{span_at(f.at).start, next().end});
        return v;
      }
      values_.push_back(std::move(v));
      return continue_list({.kind = K::List, .at = f.at, .n = index(values_.size() - 1)});
    case K::List:
      values_.push_back(std::move(v));
      return continue_list(f);
  }
  return v;
}

ExprBox ExprParser::climb_failed(const Frame& f) {
  if (f.n == 0) return nullptr;
  return recover_from(index(pos_));
}

ExprBox ExprParser::recover_from(std::uint32_t failed) {
  // Skip the offending token and retry from the next one, until a closing token or the end.
  // The parser never moves backwards, so all retries together stay linear in the tokens.
  while (pos_ < tokens_.size() && !at_any(kRecoveryStops)) {
    ++pos_;
    if (pos_ == tokens_.size() || at_any(kRecoveryStops)) break;
    push({.kind = Frame::Kind::RecoverRetry, .at = failed, .n = index(errors_.size())});
    return descend(Goal::Expr, 0);
  }
  return poisoned(span_at(failed));
}

ExprBox ExprParser::continue_list(Frame f) {
  while (true) {
    if (at(TokenKind::RParen)) return finish_list(f, next().end);
    if (at(TokenKind::Comma)) {
      ++pos_;
      push(f);
      return descend(Goal::ExprRecovering, 0);
    }
    // A missing separator or closing parenthesis: skip to the next one, passing over nested
    // parentheses whole.
    expected(kListSeparators);
    if (!skip_to(kListSeparators)) return finish_list(f, end_of_input_.end);
  }
}

ExprBox ExprParser::finish_list(const Frame& f, std::size_t end) {
  const auto first = values_.begin() + f.n;
  const Span span{span_at(f.at).start, end};
  ExprBox node;
  if (f.is_call) {
    node = make(expr::Call{name_at(f.at), list_of(first, values_.end())}, span);
  } else if (values_.size() - f.n == 1) {
    node = std::move(values_.back());
    node->span = NodeSpan(span);
  } else {
    node = make(expr::Tuple{list_of(first, values_.end())}, span);
  }
  values_.truncate(f.n);
  return node;
}

std::optional<vocab::DType> ExprParser::dtype(Span& span) {
  if (!at_any(bit(TokenKind::Ident) | bit(TokenKind::DtypeName))) {
    expected(bit(TokenKind::Ident) | bit(TokenKind::DtypeName));
    return std::nullopt;
  }
  const std::size_t t = pos_;
  span = join(span, next());
  auto d = vocab::DType::from_str(text_at(t));
  if (d) return *d;
  // The word stands where a dtype belongs, so parsing goes on; the error alone rejects the text.
  record({span_at(t), std::string(kUnknownDtypeMarker) + d.error()});
  return vocab::dtypes::kF64;
}

ExprParser::AtomStep ExprParser::cast_atom() {
  const std::size_t start = pos_++;
  if (!expect(TokenKind::Less)) return {};
  Span dtype_span = peek_span();
  const auto to = dtype(dtype_span);
  if (!to || !expect(TokenKind::Greater) || !expect(TokenKind::LParen)) return {};
  push({.kind = Frame::Kind::CastClose, .dtype = *to, .at = index(start)});
  return {nullptr, true};
}

ExprParser::AtomStep ExprParser::ident_atom() {
  const std::size_t name = pos_++;
  if (!at(TokenKind::LParen)) return {make(expr::Var{name_at(name)}, span_at(name))};
  ++pos_;
  if (at(TokenKind::RParen)) {
    const Span span{span_at(name).start, next().end};
    return {make(expr::Call{name_at(name), BoxList()}, span)};
  }
  push({.kind = Frame::Kind::List, .is_call = true, .at = index(name), .n = index(values_.size())});
  return {nullptr, true};
}

ExprParser::AtomStep ExprParser::paren_atom() {
  push({.kind = Frame::Kind::ParenInner, .at = index(pos_++)});
  return {nullptr, true};
}

ExprParser::AtomStep ExprParser::literal_atom() {
  const std::size_t t = pos_++;
  Span span = span_at(t);
  std::optional<vocab::DType> own;
  if (at(TokenKind::At)) {
    ++pos_;
    own = dtype(span);
    if (!own) return {};
  }
  // The lexer has checked every literal; an invalid one never reaches the parser.
  const std::string_view text = text_at(t);
  switch (tokens_[t].kind) {
    case TokenKind::IntLit:
      return {make(expr::IntLit{lexed_int_value(text), own}, span)};
    case TokenKind::FloatLit:
      return {make(expr::FloatLit{lexed_float_value(text), own}, span)};
    default:
      return {make(expr::ComplexLit{0.0, lexed_float_value(text), own}, span)};
  }
}

ExprParser::AtomStep ExprParser::bool_atom() {
  const bool value = at(TokenKind::True);
  return {make(expr::BoolLit{value}, next())};
}

ExprParser::AtomStep ExprParser::const_atom() {
  if (at(TokenKind::E)) return {make(expr::ConstE{}, next())};
  return {make(expr::ConstPi{}, next())};
}

bool ExprParser::skip_to(std::uint64_t kinds) {
  std::size_t depth = 0;
  for (; pos_ < tokens_.size(); ++pos_) {
    support::poll_cancel();
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

std::size_t ExprParser::close_paren() {
  if (at(TokenKind::RParen)) return next().end;
  expected(bit(TokenKind::RParen));
  if (!skip_to(bit(TokenKind::RParen))) return end_of_input_.end;
  return next().end;
}

}  // namespace

ExprParse parse_tokens(std::string_view text, std::size_t offset, std::span<const Token> tokens,
                       NodeArena* arena) {
  return ExprParser(text, offset, tokens, arena).run();
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
                                                                 LexResult& lexed, NodeArena* arena,
                                                                 bool may_hold_j) {
  // Node spans are 32-bit offsets into the source.
  if (offset > std::numeric_limits<std::uint32_t>::max() -
                   std::min<std::size_t>(text.size(), std::numeric_limits<std::uint32_t>::max())) {
    throw std::bad_alloc();
  }
  if (may_hold_j) {
    if (auto finding = int_imaginary_prescan(text, offset)) {
      return std::unexpected(std::vector{std::move(*finding)});
    }
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
  return expression_result(parse_tokens(text, offset, lexed.tokens, arena), offset);
}

}  // namespace tarvelon::parse
