#include "repl/render.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <type_traits>
#include <vector>

#include "support/internal_fault.h"
#include "support/number_text.h"
#include "support/unicode.h"

namespace tarvelon::repl {

namespace {

using ir::BinaryOp;
using ir::Node;
using ir::NodeId;
namespace node = ir::node;

/// Precedence levels of the rendered text; higher binds tighter.
namespace prec {
constexpr std::uint8_t kConditional = 0;
constexpr std::uint8_t kOr = 1;
constexpr std::uint8_t kAnd = 2;
constexpr std::uint8_t kComparison = 3;
constexpr std::uint8_t kAdditive = 4;
constexpr std::uint8_t kMultiplicative = 5;
constexpr std::uint8_t kPower = 6;
constexpr std::uint8_t kPrefix = 7;
constexpr std::uint8_t kCast = 8;
constexpr std::uint8_t kCall = 9;
constexpr std::uint8_t kAtom = 255;
}  // namespace prec

struct BinaryForm {
  BinaryOp op;
  std::string_view text;  ///< the operator between single blanks, as the kernel language writes it
  std::uint8_t prec;
};
constexpr BinaryForm kBinaryForms[] = {
    {BinaryOp::Add, " + ", prec::kAdditive},
    {BinaryOp::Sub, " - ", prec::kAdditive},
    {BinaryOp::Mul, " * ", prec::kMultiplicative},
    {BinaryOp::Div, " / ", prec::kMultiplicative},
    {BinaryOp::FloorDiv, " // ", prec::kMultiplicative},
    {BinaryOp::Rem, " % ", prec::kMultiplicative},
    {BinaryOp::Pow, " ** ", prec::kPower},
    {BinaryOp::Eq, " == ", prec::kComparison},
    {BinaryOp::Ne, " != ", prec::kComparison},
    {BinaryOp::Lt, " < ", prec::kComparison},
    {BinaryOp::Le, " <= ", prec::kComparison},
    {BinaryOp::Gt, " > ", prec::kComparison},
    {BinaryOp::Ge, " >= ", prec::kComparison},
    {BinaryOp::And, " && ", prec::kAnd},
    {BinaryOp::Or, " || ", prec::kOr},
};
static_assert(ir::in_binary_op_order(kBinaryForms));

const BinaryForm& binary_form(BinaryOp op) { return kBinaryForms[static_cast<std::size_t>(op)]; }

/// Stands for "no character counted": the least depth over an empty set of prefixes.
constexpr std::int64_t kNoDepth = std::numeric_limits<std::int64_t>::max();
/// Depths are clamped here so that sums never overflow. Only texts far beyond any length limit
/// get near it, and their shapes are never used for building text.
constexpr std::int64_t kDepthCap = std::int64_t{1} << 62;

std::int64_t clamp_depth(std::int64_t d) { return std::clamp(d, -kDepthCap, kDepthCap); }
std::int64_t shifted(std::int64_t base, std::int64_t low) {
  return low == kNoDepth ? kNoDepth : clamp_depth(base + low);
}

/// What the renderer needs to know of a text without holding it: its length and how its
/// parentheses nest. Depths count "(" up and ")" down from the start of the text; `low` is the
/// least depth after any of its characters, `low_inner` the least after any but the last.
struct Shape {
  std::uint64_t len = 0;  ///< saturates at UINT64_MAX
  std::int64_t depth = 0;
  std::int64_t low = kNoDepth;
  std::int64_t low_inner = kNoDepth;
  char first = 0;  ///< meaningful when len > 0

  /// The shape of this text followed by `b`.
  Shape& operator+=(const Shape& b) {
    if (b.len == 0) return *this;
    if (len == 0) return *this = b;
    len = b.len > std::numeric_limits<std::uint64_t>::max() - len
              ? std::numeric_limits<std::uint64_t>::max()
              : len + b.len;
    low_inner = std::min(low, shifted(depth, b.low_inner));
    low = std::min(low, shifted(depth, b.low));
    depth = clamp_depth(depth + b.depth);
    return *this;
  }

  /// Whether the parenthesis opened by the first character is closed by the last one.
  bool enclosed() const { return first == '(' && depth == 0 && low_inner >= 1; }
};

Shape shape_of(std::string_view text) {
  Shape s;
  s.len = text.size();
  if (!text.empty()) s.first = text.front();
  std::int64_t d = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '(') ++d;
    if (text[i] == ')') --d;
    if (i + 1 < text.size()) s.low_inner = std::min(s.low_inner, d);
    s.low = std::min(s.low, d);
  }
  s.depth = d;
  return s;
}

const Shape kOpenShape = shape_of("(");
const Shape kCloseShape = shape_of(")");

/// A further parenthesising rule that an operand position adds to the precedence rule.
enum class Extra : std::uint8_t {
  None,
  NegOperand,  ///< after "-": a unary, binary or conditional operand
  NotOperand,  ///< after "!": a binary or conditional operand
  IfPart,      ///< condition or branch: a binary or conditional
  PowBase,     ///< left of "**": prefix precedence or looser, or a text starting with "-",
               ///< since the language reads "-x ** 2" as -(x ** 2)
};

/// Where an operand stands.
struct Context {
  std::uint8_t parent = 0;  ///< the precedence of the enclosing operator
  bool right = false;       ///< right operand of a binary operator
  Extra extra = Extra::None;
};

/// One step of a node's text: a fixed text, the node's own leaf text, or an operand.
struct Piece {
  enum class Kind : std::uint8_t { End, Text, Leaf, Operand };
  Kind kind = Kind::End;
  std::string_view text;
  NodeId operand = 0;
  Context ctx;

  static Piece text_of(std::string_view t) { return {Kind::Text, t, 0, {}}; }
  static Piece operand_of(NodeId id, Context c) { return {Kind::Operand, {}, id, c}; }
};

/// An operand's text as it stands in its position: its own text inside `wraps` parentheses.
struct Use {
  Shape shape;
  std::uint8_t wraps = 0;
};

void append_literal(std::string& out, const ir::Literal& value) {
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          out += v ? "true" : "false";
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          support::append_int(out, v);
        } else if constexpr (std::is_same_v<T, double>) {
          support::append_double(out, v);
        } else {
          support::append_double(out, v.re);
          out += '+';
          support::append_double(out, v.im);
          out += 'j';
        }
      },
      value);
}

/// Renders one DAG: `measure` computes every reachable node's own text shape and precedence in
/// one pass, `write` then unfolds the text into a single buffer. Both walk with explicit stacks,
/// so depth costs heap, not thread stack.
class Renderer {
 public:
  Renderer(const ir::TypedDag& dag, bool show_casts)
      : dag_(dag), show_casts_(show_casts), info_(dag.nodes.size()) {}

  const Shape& own_shape(NodeId id) const { return info_[id].own; }

  void measure(NodeId root) {
    check(root);
    struct Frame {
      NodeId id;
      std::uint32_t step;
    };
    std::vector<Frame> stack;
    info_[root].state = State::Open;
    stack.push_back({root, 0});
    while (!stack.empty()) {
      Frame& f = stack.back();
      const Piece p = piece(f.id, f.step);
      if (p.kind == Piece::Kind::End) {
        finish(f.id);
        stack.pop_back();
        continue;
      }
      ++f.step;
      if (p.kind != Piece::Kind::Operand) continue;
      check(p.operand);
      Info& child = info_[p.operand];
      if (child.state == State::Done) continue;
      if (child.state == State::Open) {
        support::internal_fault("node id " + std::to_string(p.operand) + " depends on itself");
      }
      child.state = State::Open;
      stack.push_back({p.operand, 0});
    }
  }

  void write(NodeId root, std::string& out) const {
    struct Frame {
      NodeId id;
      std::uint32_t step;
      std::uint8_t wraps;
    };
    std::vector<Frame> stack;
    stack.push_back({info_[root].stand, 0, 0});
    while (!stack.empty()) {
      Frame& f = stack.back();
      const Piece p = piece(f.id, f.step++);
      switch (p.kind) {
        case Piece::Kind::End:
          out.append(f.wraps, ')');
          stack.pop_back();
          break;
        case Piece::Kind::Text:
          out += p.text;
          break;
        case Piece::Kind::Leaf:
          append_leaf(out, dag_.nodes[f.id]);
          break;
        case Piece::Kind::Operand: {
          const Use u = use_of(p.operand, p.ctx);
          out.append(u.wraps, '(');
          stack.push_back({info_[p.operand].stand, 0, u.wraps});
          break;
        }
      }
    }
  }

 private:
  enum class State : std::uint8_t { Unseen, Open, Done };
  struct Info {
    Shape own;
    /// The node whose pieces write this node's text: itself, except that a chain of invisible
    /// casts that add no parentheses is written by its last cast, so every use skips the chain
    /// in one step.
    NodeId stand = 0;
    std::uint8_t prec = 0;
    State state = State::Unseen;
  };

  void check(NodeId id) const {
    if (id >= dag_.nodes.size()) {
      support::internal_fault("node id " + std::to_string(id) + " out of range (nodes len " +
                              std::to_string(dag_.nodes.size()) + ")");
    }
  }

  bool visible(const node::Cast& c) const { return show_casts_ && c.explicit_; }
  static constexpr Context cast_operand() { return {prec::kCast, false, Extra::None}; }
  bool invisible_cast(NodeId id) const {
    const auto* c = std::get_if<node::Cast>(&dag_.nodes[id]);
    return c != nullptr && !visible(*c);
  }

  /// Piece `k` of node `id`'s own text; End once the text is complete.
  Piece piece(NodeId id, std::uint32_t k) const {
    return std::visit(
        [&](const auto& x) -> Piece {
          using T = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<T, node::Param> || std::is_same_v<T, node::Const>) {
            if (k == 0) return {Piece::Kind::Leaf, {}, 0, {}};
          } else if constexpr (std::is_same_v<T, node::Unary>) {
            const bool neg = x.op == ir::UnaryOp::Neg;
            if (k == 0) return Piece::text_of(neg ? "-" : "!");
            if (k == 1) {
              return Piece::operand_of(
                  x.arg, {prec::kPrefix, false, neg ? Extra::NegOperand : Extra::NotOperand});
            }
          } else if constexpr (std::is_same_v<T, node::Binary>) {
            const BinaryForm& form = binary_form(x.op);
            if (k == 0) {
              return Piece::operand_of(
                  x.lhs, {form.prec, false, x.op == BinaryOp::Pow ? Extra::PowBase : Extra::None});
            }
            if (k == 1) return Piece::text_of(form.text);
            if (k == 2) return Piece::operand_of(x.rhs, {form.prec, true, Extra::None});
          } else if constexpr (std::is_same_v<T, node::If>) {
            static constexpr std::string_view kWords[] = {"if ", " then ", " else "};
            const NodeId parts[] = {x.cond, x.then_branch, x.else_branch};
            if (k < 6 && k % 2 == 0) return Piece::text_of(kWords[k / 2]);
            if (k < 6) {
              return Piece::operand_of(parts[k / 2],
                                       {prec::kConditional, false, Extra::IfPart});
            }
          } else if constexpr (std::is_same_v<T, node::Call>) {
            // name "(" arg ", " arg ... ")"
            if (k == 0) return Piece::text_of(ir::builtin_name(x.builtin));
            if (k == 1) return Piece::text_of("(");
            const std::size_t j = k - 2;
            const std::size_t n = x.args.size();
            if (n == 0 ? j == 0 : j + 1 == 2 * n) return Piece::text_of(")");
            if (j + 1 < 2 * n) {
              if (j % 2 == 1) return Piece::text_of(", ");
              return Piece::operand_of(x.args[j / 2], {prec::kConditional, false, Extra::None});
            }
          } else {
            static_assert(std::is_same_v<T, node::Cast>);
            if (k == 0) return Piece::operand_of(x.arg, cast_operand());
            if (visible(x) && k == 1) return Piece::text_of("@");
            if (visible(x) && k == 2) return Piece::text_of(x.to.to_str());
          }
          return {};
        },
        dag_.nodes[id]);
  }

  /// How an operand is written in its position; its own shape must be known.
  Use use_of(NodeId id, Context ctx) const {
    const Info& in = info_[id];
    Use u{in.own, 0};
    auto wrap_if = [&u](bool flag) {
      if (!flag || u.shape.enclosed()) return;
      Shape w = kOpenShape;
      w += u.shape;
      w += kCloseShape;
      u.shape = w;
      ++u.wraps;
    };
    wrap_if(in.prec < ctx.parent || (ctx.right && in.prec == ctx.parent));
    const Node& n = dag_.nodes[id];
    const bool compound = std::holds_alternative<node::Binary>(n) ||
                          std::holds_alternative<node::If>(n);
    switch (ctx.extra) {
      case Extra::None:
        break;
      case Extra::NegOperand:
        wrap_if(compound || std::holds_alternative<node::Unary>(n));
        break;
      case Extra::NotOperand:
      case Extra::IfPart:
        wrap_if(compound);
        break;
      case Extra::PowBase:
        wrap_if(in.prec <= prec::kPrefix || (u.shape.len > 0 && u.shape.first == '-'));
        break;
    }
    return u;
  }

  /// The precedence of a node's own text.
  std::uint8_t own_prec(const Node& n) const {
    return std::visit(
        [&](const auto& x) -> std::uint8_t {
          using T = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<T, node::Const>) {
            // "1+2j" is a sum as the language reads it.
            return std::holds_alternative<ir::ComplexValue>(x.value) ? prec::kAdditive
                                                                     : prec::kAtom;
          } else if constexpr (std::is_same_v<T, node::Param>) {
            return prec::kAtom;
          } else if constexpr (std::is_same_v<T, node::Unary>) {
            return prec::kPrefix;
          } else if constexpr (std::is_same_v<T, node::Binary>) {
            return binary_form(x.op).prec;
          } else if constexpr (std::is_same_v<T, node::If>) {
            return prec::kConditional;
          } else if constexpr (std::is_same_v<T, node::Call>) {
            return prec::kCall;
          } else {
            // An invisible cast stands at its operand's level; a cast operand counts as a cast.
            if (visible(x) || std::holds_alternative<node::Cast>(dag_.nodes[x.arg])) {
              return prec::kCast;
            }
            return info_[x.arg].prec;
          }
        },
        n);
  }

  void append_leaf(std::string& out, const Node& n) const {
    if (const auto* p = std::get_if<node::Param>(&n)) {
      if (p->index < dag_.params.size()) {
        out += dag_.params[p->index].name;
      } else {
        out += "arg";
        support::append_int(out, p->index);
      }
      return;
    }
    append_literal(out, std::get<node::Const>(n).value);
  }

  /// Computes the shape, precedence and stand-in of a node whose operands are all done.
  void finish(NodeId id) {
    Info& in = info_[id];
    Shape s;
    for (std::uint32_t k = 0;; ++k) {
      const Piece p = piece(id, k);
      if (p.kind == Piece::Kind::End) break;
      if (p.kind == Piece::Kind::Text) s += shape_of(p.text);
      if (p.kind == Piece::Kind::Operand) s += use_of(p.operand, p.ctx).shape;
      if (p.kind == Piece::Kind::Leaf) {
        scratch_.clear();
        append_leaf(scratch_, dag_.nodes[id]);
        s += shape_of(scratch_);
      }
    }
    in.own = s;
    in.prec = own_prec(dag_.nodes[id]);
    in.stand = id;
    if (invisible_cast(id)) {
      // The operand's own text is already this cast's whole text when no parentheses are added
      // around it, which is always so for an enclosed text.
      const NodeId arg = std::get<node::Cast>(dag_.nodes[id]).arg;
      if (invisible_cast(arg) && use_of(arg, cast_operand()).wraps == 0) {
        in.stand = info_[arg].stand;
      }
    }
    in.state = State::Done;
  }

  const ir::TypedDag& dag_;
  bool show_casts_;
  std::vector<Info> info_;
  std::string scratch_;
};

std::size_t skip_blanks(std::string_view s, std::size_t i) {
  while (i < s.size()) {
    const support::DecodedChar c = support::decode_utf8(s, i);
    if (!support::is_white_space(c.cp)) break;
    i += c.len;
  }
  return i;
}

/// The end of s[lo, end) without its trailing blanks; s[lo] is not a blank.
std::size_t skip_blanks_back(std::string_view s, std::size_t lo, std::size_t end) {
  return lo + support::trim_white_space(s.substr(lo, end - lo)).size();
}

/// `text` trimmed, then, as long as one parenthesis pair encloses all of it, without that pair
/// and trimmed again. Linear: the number of pairs to remove is found in one scan instead of
/// testing the whole text again after each removal.
std::string_view strip_enclosing(std::string_view text) {
  const std::string_view s = support::trim_white_space(text);
  // The leading "(" (with blanks between them) and, after them, the trailing ")".
  std::size_t lead_end = 0;
  std::int64_t opens = 0;
  while (lead_end < s.size() && s[lead_end] == '(') {
    ++opens;
    lead_end = skip_blanks(s, lead_end + 1);
  }
  std::size_t trail_start = s.size();
  std::int64_t closes = 0;
  while (trail_start > lead_end && s[trail_start - 1] == ')') {
    ++closes;
    trail_start = skip_blanks_back(s, lead_end, trail_start - 1);
  }
  // Removing the k-th pair (from 0) is right when the text between the runs never falls below
  // depth k + 1 and the whole text balances; the runs themselves stay deep enough by
  // construction.
  std::int64_t depth = opens;
  std::int64_t low = kNoDepth;
  for (std::size_t i = lead_end; i < trail_start; ++i) {
    if (s[i] == '(') ++depth;
    if (s[i] == ')') --depth;
    low = std::min(low, depth);
  }
  std::int64_t pairs = depth - closes == 0 ? std::min({opens, closes, std::max<std::int64_t>(low, 0)}) : 0;
  std::string_view kept = s;
  for (; pairs > 0; --pairs) kept = support::trim_white_space(kept.substr(1, kept.size() - 2));
  return kept;
}

}  // namespace

std::expected<std::string, RenderTooLarge> render_simplified_expr(const ir::TypedDag& dag,
                                                                  ir::NodeId root,
                                                                  bool show_casts,
                                                                  std::uint64_t limit) {
  Renderer renderer(dag, show_casts);
  renderer.measure(root);
  // At the top the root stands in no operator's position, so its own text is the whole text.
  const std::uint64_t size = renderer.own_shape(root).len;
  if (size > limit) return std::unexpected(RenderTooLarge{size, limit});
  std::string out;
  out.reserve(size);
  renderer.write(root, out);
  const std::string_view kept = strip_enclosing(out);
  const std::size_t start = static_cast<std::size_t>(kept.data() - out.data());
  out.erase(start + kept.size());
  out.erase(0, start);
  return out;
}

}  // namespace tarvelon::repl
