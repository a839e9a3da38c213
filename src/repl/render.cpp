#include "repl/render.h"

#include <algorithm>
#include <limits>
#include <memory>
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
constexpr std::int32_t kNoDepth = std::numeric_limits<std::int32_t>::max();
/// Depths are clamped here so that sums never overflow. A depth is at most the length of its
/// text, so every text within the length limit is measured exactly.
constexpr std::int64_t kDepthCap = std::int64_t{1} << 30;
static_assert(kMaxRenderedBytes < kDepthCap);

std::int32_t clamp_depth(std::int64_t d) {
  return static_cast<std::int32_t>(std::clamp(d, -kDepthCap, kDepthCap));
}
std::int32_t shifted(std::int32_t base, std::int32_t low) {
  return low == kNoDepth ? kNoDepth : clamp_depth(std::int64_t{base} + low);
}

/// What the renderer needs to know of a text without holding it: its length and how its
/// parentheses nest. Depths count "(" up and ")" down from the start of the text; `low` is the
/// least depth after any of its characters, `low_inner` the least after any but the last.
/// A plain aggregate, so that the per-node table is not written before it is used.
struct Shape {
  std::uint64_t len;  ///< saturates at UINT64_MAX
  std::int32_t depth;
  std::int32_t low;
  std::int32_t low_inner;
  char first;  ///< meaningful when len > 0

  static constexpr Shape empty() { return {0, 0, kNoDepth, kNoDepth, 0}; }

  /// The shape of this text followed by `b`.
  Shape& operator+=(const Shape& b) {
    if (b.len == 0) return *this;
    if (len == 0) return *this = b;
    len = b.len > std::numeric_limits<std::uint64_t>::max() - len
              ? std::numeric_limits<std::uint64_t>::max()
              : len + b.len;
    low_inner = std::min(low, shifted(depth, b.low_inner));
    low = std::min(low, shifted(depth, b.low));
    depth = clamp_depth(std::int64_t{depth} + b.depth);
    return *this;
  }

  /// Whether the parenthesis opened by the first character is closed by the last one.
  bool enclosed() const { return first == '(' && depth == 0 && low_inner >= 1; }
};

Shape shape_of(std::string_view text) {
  Shape s = Shape::empty();
  s.len = text.size();
  if (!text.empty()) s.first = text.front();
  std::int64_t d = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '(') ++d;
    if (text[i] == ')') --d;
    if (i + 1 < text.size()) s.low_inner = std::min(s.low_inner, clamp_depth(d));
    s.low = std::min(s.low, clamp_depth(d));
  }
  s.depth = clamp_depth(d);
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

/// One step of writing a node's text: a run of text, or an operand inside `wraps` parentheses.
struct Op {
  std::size_t pos;    ///< Text: where the run starts in the arena; Operand: its first op
  std::uint32_t arg;  ///< Text: the run's length; Operand: its number of ops
  bool operand;
  std::uint8_t wraps;
};

/// Operand texts up to this long are copied into their users' runs, which saves a step per use.
constexpr std::size_t kInlineBytes = 32;

/// Renders one DAG. `measure` visits every node reachable from the root once, in post-order:
/// it computes the node's text shape and precedence and compiles its text into ops, deciding
/// each operand's parentheses there. `write` then unfolds the text by running the ops with an
/// explicit stack, so depth costs heap, not thread stack, and each step writes output.
class Renderer {
 public:
  Renderer(const ir::TypedDag& dag, bool show_casts)
      : dag_(dag),
        show_casts_(show_casts),
        state_(dag.nodes.size(), State::Unseen),
        // Written only for the nodes the root reaches, before anything reads them.
        info_(std::make_unique_for_overwrite<Info[]>(dag.nodes.size())) {}

  const Shape& own_shape(NodeId id) const { return info_[id].own; }

  void measure(NodeId root) {
    check(root);
    if (!measure_in_order(root)) measure_depth_first(root);
  }

 private:
  /// Producers append each node after its operands. Then one sweep down from the root marks
  /// what it reaches and one sweep up finishes those nodes, each after its operands, reading
  /// the node array in order. Returns false, having finished nothing, when an operand does not
  /// come before its user.
  bool measure_in_order(NodeId root) {
    state_[root] = State::Open;
    bool ordered = true;
    for (std::size_t i = root + std::size_t{1}; ordered && i-- > 0;) {
      if (state_[i] != State::Open) continue;
      ir::for_each_operand(dag_.nodes[i], [&](NodeId operand) {
        if (operand >= i) {
          ordered = false;
          return;
        }
        state_[operand] = State::Open;
      });
    }
    if (!ordered) {
      std::fill(state_.begin(), state_.begin() + root + 1, State::Unseen);
      return false;
    }
    for (std::size_t i = 0; i <= root; ++i) {
      if (state_[i] == State::Open) finish(static_cast<NodeId>(i));
    }
    return true;
  }

  /// Finishes every node the root reaches, each after its operands, in any node order; a node
  /// that depends on itself is an internal fault.
  void measure_depth_first(NodeId root) {
    struct Frame {
      NodeId id;
      std::uint32_t step;
    };
    std::vector<Frame> stack;
    state_[root] = State::Open;
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
      State& child = state_[p.operand];
      if (child == State::Done) continue;
      if (child == State::Open) {
        support::internal_fault("node id " + std::to_string(p.operand) + " depends on itself");
      }
      child = State::Open;
      stack.push_back({p.operand, 0});
    }
  }


 public:
  void write(NodeId root, std::string& out) const {
    struct Frame {
      const Op* next;
      const Op* end;
      std::uint8_t wraps;
    };
    const Info& top = info_[root];
    std::vector<Frame> stack;
    stack.reserve(top.height);
    stack.push_back({ops_.data() + top.op_begin, ops_.data() + top.op_begin + top.op_count, 0});
    while (!stack.empty()) {
      Frame& f = stack.back();
      if (f.next == f.end) {
        out.append(f.wraps, ')');
        stack.pop_back();
        continue;
      }
      const Op& op = *f.next++;
      if (!op.operand) {
        out.append(arena_, op.pos, op.arg);
        continue;
      }
      out.append(op.wraps, '(');
      stack.push_back({ops_.data() + op.pos, ops_.data() + op.pos + op.arg, op.wraps});
    }
  }

 private:
  enum class State : std::uint8_t { Unseen, Open, Done };
  struct Info {
    Shape own;
    /// The ops that write the node's text: ops_[op_begin, op_begin + op_count).
    std::uint32_t op_count;
    std::size_t op_begin;
    /// The most frames writing this node's text needs.
    std::uint32_t height;
    std::uint8_t prec;
  };

  void check(NodeId id) const {
    if (id >= dag_.nodes.size()) {
      support::internal_fault("node id " + std::to_string(id) + " out of range (nodes len " +
                              std::to_string(dag_.nodes.size()) + ")");
    }
  }

  bool visible(const node::Cast& c) const { return show_casts_ && c.explicit_; }

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
            if (k == 0) return Piece::operand_of(x.arg, {prec::kCast, false, Extra::None});
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

  /// Appends a run of text to the ops of the node being finished, extending the last run when
  /// it ends where this one starts.
  void add_text(std::string_view text, std::size_t first_op) {
    if (text.empty()) return;
    if (ops_.size() > first_op && !ops_.back().operand &&
        ops_.back().pos + ops_.back().arg == arena_.size() &&
        arena_.size() - ops_.back().pos + text.size() <= std::numeric_limits<std::uint32_t>::max()) {
      ops_.back().arg += static_cast<std::uint32_t>(text.size());
    } else {
      append_run(arena_.size(), text.size());
    }
    arena_ += text;
  }

  /// Appends runs covering `len` bytes of the arena from `pos`.
  void append_run(std::size_t pos, std::size_t len) {
    for (std::size_t done = 0; done < len;) {
      const auto part = static_cast<std::uint32_t>(
          std::min<std::size_t>(len - done, std::numeric_limits<std::uint32_t>::max()));
      ops_.push_back({pos + done, part, false, 0});
      done += part;
    }
  }

  /// Appends operand `id`, written inside `wraps` parentheses, to the ops of the node being
  /// finished.
  void add_operand(NodeId id, std::uint8_t wraps, std::size_t first_op) {
    const Info& t = info_[id];
    if (t.op_count == 1 && !ops_[t.op_begin].operand && ops_[t.op_begin].arg <= kInlineBytes) {
      const Op run = ops_[t.op_begin];
      scratch_.assign(wraps, '(');
      scratch_.append(arena_, run.pos, run.arg);
      scratch_.append(wraps, ')');
      add_text(scratch_, first_op);
      return;
    }
    if (t.op_count == 0 && wraps == 0) return;
    if (t.op_count == 1 && !ops_[t.op_begin].operand && wraps == 0) {
      ops_.push_back(ops_[t.op_begin]);
      return;
    }
    ops_.push_back({t.op_begin, t.op_count, true, wraps});
  }

  /// Computes the shape, precedence and ops of a node whose operands are all done.
  void finish(NodeId id) {
    Info& in = info_[id];
    const std::size_t first_op = ops_.size();
    Shape s = Shape::empty();
    std::uint32_t height = 0;
    for (std::uint32_t k = 0;; ++k) {
      const Piece p = piece(id, k);
      if (p.kind == Piece::Kind::End) break;
      if (p.kind == Piece::Kind::Text) {
        s += shape_of(p.text);
        add_text(p.text, first_op);
      } else if (p.kind == Piece::Kind::Leaf) {
        scratch_.clear();
        append_leaf(scratch_, dag_.nodes[id]);
        s += shape_of(scratch_);
        add_text(scratch_, first_op);
      } else {
        const Use u = use_of(p.operand, p.ctx);
        s += u.shape;
        add_operand(p.operand, u.wraps, first_op);
        height = std::max(height, info_[p.operand].height);
      }
    }
    in.own = s;
    in.prec = own_prec(dag_.nodes[id]);
    state_[id] = State::Done;
    in.op_begin = first_op;
    in.op_count = static_cast<std::uint32_t>(ops_.size() - first_op);
    in.height = height + 1;
    if (in.op_count == 1 && ops_.back().operand && ops_.back().wraps == 0) {
      // The text is one operand's text as it is (a cast that is not shown): a use of this node
      // runs the operand's ops directly, so a chain of such nodes costs no steps.
      in.op_begin = ops_.back().pos;
      in.op_count = ops_.back().arg;
      in.height = height;
      ops_.pop_back();
    }
  }

  const ir::TypedDag& dag_;
  bool show_casts_;
  std::vector<State> state_;
  std::unique_ptr<Info[]> info_;
  std::vector<Op> ops_;
  /// The texts the ops write, each run stored once.
  std::string arena_;
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
