#include "render/render.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "support/cancel.h"
#include "support/internal_fault.h"
#include "support/number_text.h"
#include "support/unicode.h"

namespace tarvelon::render {

namespace {

using ir::Node;
using ir::NodeId;
using vocab::BinaryOp;
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
static_assert(vocab::in_binary_op_order(kBinaryForms));

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
/// parentheses nest. Depths count "(" up and ")" down from the start of the text; `low_inner`
/// is the least depth after any character but the last. The least depth after any character
/// at all is then min(low_inner, depth), so it is not stored.
struct Shape {
  std::uint64_t len;  ///< saturates at UINT64_MAX
  std::int32_t depth;
  std::int32_t low_inner;
  char first;  ///< meaningful when len > 0

  static constexpr Shape empty() { return {0, 0, kNoDepth, 0}; }

  /// The shape of a text that holds no parenthesis, such as an operator or a number.
  static constexpr Shape plain(std::string_view text) {
    return {text.size(), 0, text.size() > 1 ? 0 : kNoDepth, text.empty() ? '\0' : text.front()};
  }

  std::int32_t low() const { return len == 0 ? kNoDepth : std::min(low_inner, depth); }

  /// The shape of this text followed by `b`.
  Shape& operator+=(const Shape& b) {
    if (b.len == 0) return *this;
    if (len == 0) return *this = b;
    len = b.len > std::numeric_limits<std::uint64_t>::max() - len
              ? std::numeric_limits<std::uint64_t>::max()
              : len + b.len;
    low_inner = std::min(low(), shifted(depth, b.low_inner));
    depth = clamp_depth(std::int64_t{depth} + b.depth);
    return *this;
  }

  /// Whether the parenthesis opened by the first character is closed by the last one.
  bool enclosed() const { return first == '(' && depth == 0 && low_inner >= 1; }
};

Shape shape_of(std::string_view text) {
  Shape s = {text.size(), 0, kNoDepth, text.empty() ? '\0' : text.front()};
  std::int64_t d = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '(') ++d;
    if (text[i] == ')') --d;
    if (i + 1 < text.size()) s.low_inner = std::min(s.low_inner, clamp_depth(d));
  }
  s.depth = clamp_depth(d);
  return s;
}

constexpr Shape kOpenShape = {1, 1, kNoDepth, '('};
constexpr Shape kCloseShape = {1, -1, kNoDepth, ')'};

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

/// The magnitude of a float as a literal that reads back as the same double: always with a
/// fraction, so that it lexes as a float, and infinity as a literal that overflows to it.
void append_float_magnitude(std::string& out, double x) {
  if (std::isinf(x)) {
    out += "1e999";
    return;
  }
  const std::size_t at = out.size();
  support::append_double(out, std::fabs(x));
  if (out.find('.', at) == std::string::npos) out += ".0";
}

/// A real or imaginary part with its dtype suffix: "2.5@f32", "-1e999j@c64". NaN has no literal
/// and is written as infinity minus infinity, in parentheses.
void append_float_part(std::string& out, double x, bool imaginary, std::string_view suffix) {
  const std::string_view j = imaginary ? "j" : "";
  if (std::isnan(x)) {
    const std::string_view pieces[] = {"(1e999", j, suffix, " - 1e999", j, suffix, ")"};
    for (std::string_view piece : pieces) out += piece;
    return;
  }
  if (std::signbit(x)) out += '-';
  append_float_magnitude(out, x);
  out += j;
  out += suffix;
}

/// A complex constant of the dtype `suffix` names, as a computation that gives back both parts
/// bit for bit, signed zeros included. The sums that build it lose a zero's sign wherever IEEE
/// addition does (-0 + 0 is +0, 0 - 0 is +0), so each sign pattern has its own form; negation
/// flips both signs exactly, and a real cast gives an imaginary part of +0.
void append_exact_complex(std::string& out, const ir::ComplexValue& c, std::string_view suffix) {
  const auto is_neg_zero = [](double x) { return x == 0.0 && std::signbit(x); };
  const bool im_negative = std::signbit(c.im) && !std::isnan(c.im);
  const auto real_cast = [&](double x) {
    // A negative real is a negation, which would take the cast as its operand.
    const bool wrap = std::signbit(x) && !std::isnan(x);
    if (wrap) out += '(';
    append_float_part(out, x, false, "@f64");
    if (wrap) out += ')';
    out += suffix;
  };
  const auto imaginary = [&] {
    append_float_part(out, std::isnan(c.im) ? c.im : std::fabs(c.im), true, suffix);
  };
  if (is_neg_zero(c.im)) {
    out += "-(";
    real_cast(-c.re);
    out += ')';
  } else if (is_neg_zero(c.re) && c.im == 0.0) {
    real_cast(c.re);
  } else if (is_neg_zero(c.re) && !im_negative) {
    out += "-(0.0";
    out += suffix;
    out += " - ";
    imaginary();
    out += ')';
  } else if (!im_negative && std::bit_cast<std::uint64_t>(c.re) == 0) {
    // An imaginary literal has a real part of +0.
    imaginary();
  } else {
    append_float_part(out, c.re, false, suffix);
    out += im_negative ? " - " : " + ";
    imaginary();
  }
}

/// A constant as source text that lowers to a constant (or a computation) of dtype `t` with the
/// same value. A literal whose suffix could not hold it is written with the widest integer
/// suffix and converted, and i64's minimum, whose magnitude is no literal, as a difference.
void append_exact_literal(std::string& out, const ir::Literal& value, vocab::DType t) {
  std::string suffix = "@";
  suffix += t.to_str();
  if (const auto* b = std::get_if<bool>(&value)) {
    out += *b ? "true" : "false";
    if (t != vocab::dtypes::kBool) out += suffix;
  } else if (const auto* i = std::get_if<std::int64_t>(&value)) {
    if (*i == std::numeric_limits<std::int64_t>::min()) {
      out += "(-9223372036854775807@i64 - 1@i64)";
      if (t != vocab::dtypes::kI64) out += suffix;
    } else if (!t.is_integer() || (*i >= vocab::int_min(t) && *i <= vocab::int_max(t))) {
      support::append_int(out, *i);
      out += suffix;
    } else {
      if (*i < 0) out += '-';
      support::append_int(out, *i < 0 ? -*i : *i);
      out += "@i64";
      out += suffix;
    }
  } else if (const auto* x = std::get_if<double>(&value)) {
    append_float_part(out, *x, false, suffix);
  } else {
    append_exact_complex(out, std::get<ir::ComplexValue>(value), suffix);
  }
}

/// The precedence of a constant's exact text: a sum, a negation, a suffixed literal or a word.
std::uint8_t exact_literal_prec(std::string_view text) {
  if (text.find(" + ") != std::string_view::npos || text.find(" - ") != std::string_view::npos)
    return prec::kAdditive;
  if (text.front() == '-') return prec::kPrefix;
  return text.find('@') != std::string_view::npos ? prec::kCast : prec::kAtom;
}

/// Fused builtins have no name in the source; their exact text is the composition they fuse,
/// which computes the same operations.
struct FusedCall {
  vocab::Builtin fused;
  std::string_view outer;
  std::string_view inner;
};
constexpr FusedCall kFusedCalls[] = {
    {vocab::Builtin::ExpSigmoid, "sigmoid(", "exp("},
    {vocab::Builtin::SigmoidLog, "log(", "sigmoid("},
};

/// One step of writing a node's text: a run of text, or an operand inside `wraps` parentheses.
struct Op {
  std::size_t pos;    ///< Text: where the run starts in the arena; Operand: its first op
  std::uint32_t arg;  ///< Text: the run's length; Operand: its number of ops
  bool operand;
  std::uint8_t wraps;
};

/// Bytes appended one text at a time and read back by position. Appending checks the room
/// once and copies; growing doubles the buffer.
class Arena {
 public:
  std::size_t size() const { return size_; }
  const char* data() const { return data_.get(); }

  void reserve(std::size_t capacity) {
    if (capacity > capacity_) grow(capacity - size_);
  }
  void clear() { size_ = 0; }

  void append(std::string_view text) {
    make_room(text.size());
    std::copy_n(text.data(), text.size(), data_.get() + size_);
    size_ += text.size();
  }
  /// Appends `len` bytes from `pos` of the arena itself, inside `wraps` parentheses.
  void append_copy(std::size_t pos, std::size_t len, std::uint8_t wraps) {
    make_room(len + 2 * std::size_t{wraps});
    char* out = std::fill_n(data_.get() + size_, wraps, '(');
    out = std::copy_n(data_.get() + pos, len, out);
    out = std::fill_n(out, wraps, ')');
    size_ = static_cast<std::size_t>(out - data_.get());
  }

 private:
  void make_room(std::size_t more) {
    if (more > capacity_ - size_) grow(more);
  }
  [[gnu::noinline]] void grow(std::size_t more) {
    capacity_ = std::max(2 * capacity_, size_ + std::max<std::size_t>(more, 4096));
    auto bigger = std::make_unique_for_overwrite<char[]>(capacity_);
    std::copy_n(data_.get(), size_, bigger.get());
    data_ = std::move(bigger);
  }

  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

/// A constant's value by its bits, so that 0 and -0 stay apart.
struct LiteralBits {
  std::size_t kind = 0;
  std::uint64_t re = 0;
  std::uint64_t im = 0;
  friend bool operator==(const LiteralBits&, const LiteralBits&) = default;

  explicit LiteralBits(const ir::Literal& value) : kind(value.index()) {
    std::visit(
        [&](const auto& v) {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, ir::ComplexValue>) {
            re = std::bit_cast<std::uint64_t>(v.re);
            im = std::bit_cast<std::uint64_t>(v.im);
          } else if constexpr (std::is_same_v<T, double>) {
            re = std::bit_cast<std::uint64_t>(v);
          } else {
            re = static_cast<std::uint64_t>(v);
          }
        },
        value);
  }
};

/// Operand `k` of `n`, in reading order, if it has that many.
std::optional<NodeId> operand_at(const Node& n, std::size_t k) {
  return std::visit(
      [&](const auto& x) -> std::optional<NodeId> {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, node::Unary> || std::is_same_v<T, node::Cast>) {
          if (k == 0) return x.arg;
        } else if constexpr (std::is_same_v<T, node::Binary>) {
          if (k < 2) return k == 0 ? x.lhs : x.rhs;
        } else if constexpr (std::is_same_v<T, node::If>) {
          if (k < 3) return std::array{x.cond, x.then_branch, x.else_branch}[k];
        } else if constexpr (std::is_same_v<T, node::Call>) {
          if (k < x.args.size()) return x.args[k];
        }
        return std::nullopt;
      },
      n);
}

/// Operand texts up to this long are copied into their users' runs, which saves a step per use.
constexpr std::size_t kInlineBytes = 32;

/// The position of `T` among the alternatives `Ts`, read from the type list alone: not every
/// standard library can build and drop a variant in a constant expression.
template <class T, class... Ts>
constexpr std::size_t alternative_index(const std::variant<Ts...>*) {
  std::size_t index = 0;
  (void)((std::is_same_v<T, Ts> || (++index, false)) || ...);
  return index;
}

/// The position of node kind `T` among the alternatives of `ir::Node`.
template <class T>
constexpr std::size_t kind_of = alternative_index<T>(static_cast<const ir::Node*>(nullptr));

/// Renders one DAG. `measure` finishes each node once, after its operands: it computes the
/// shape and precedence of the node's text and compiles the text into ops, deciding each
/// operand's parentheses there. `write` then unfolds the text by running the ops with an
/// explicit stack, so depth costs heap, not thread stack, and each step writes output.
class Renderer {
 public:
  Renderer(const ir::TypedDag& dag, bool show_casts, bool exact)
      : dag_(dag),
        show_casts_(show_casts || exact),
        exact_(exact),
        // Each entry is written when its node is finished, before anything reads it.
        info_(std::make_unique_for_overwrite<Info[]>(dag.nodes.size())) {}

  std::uint64_t own_length(NodeId id) const { return info_[id].len; }
  std::uint8_t own_prec(NodeId id) const { return info_[id].prec; }

  void measure(NodeId root) {
    check(root);
    if (!measure_in_order(root)) measure_depth_first(root);
  }

  /// Writes the text of `root`, exactly `own_length(root)` bytes, from `out` on.
  void write(NodeId root, char* out) const {
    struct Frame {
      const Op* next;
      const Op* end;
      std::size_t closes;  ///< parentheses to write when the frame's ops are done
    };
    const Info& top = info_[root];
    std::vector<Frame> stack;
    Frame f{ops_.data() + top.op_begin, ops_.data() + top.op_begin + top.op_count, 0};
    for (;;) {
      support::poll_cancel();
      if (f.next == f.end) {
        out = std::fill_n(out, f.closes, ')');
        if (stack.empty()) return;
        f = stack.back();
        stack.pop_back();
        continue;
      }
      const Op& op = *f.next++;
      if (!op.operand) {
        out = std::copy_n(arena_.data() + op.pos, op.arg, out);
        continue;
      }
      out = std::fill_n(out, op.wraps, '(');
      const Frame inner{ops_.data() + op.pos, ops_.data() + op.pos + op.arg, op.wraps};
      if (f.next == f.end) {
        // The operand ends its user's text: it takes over the user's frame and closing
        // parentheses, so a chain whose operands come last needs no stack at all.
        f = {inner.next, inner.end, inner.closes + f.closes};
      } else {
        stack.push_back(f);
        f = inner;
      }
    }
  }

 private:
  enum class State : std::uint8_t { Unseen, Open, Done };
  /// What is known of a finished node; a plain aggregate, so that the table is not written
  /// before it is used. The next node usually reads this at once, while the writes may still
  /// be on their way to the cache, and a read that spans two writes then waits for both: the
  /// shape's fields are written one by one and kept apart here, so that they are not copied
  /// two at a time.
  struct Info {
    std::uint64_t len;
    /// The ops that write the node's text: ops_[op_begin, op_begin + op_count).
    std::size_t op_begin;
    std::int32_t depth;
    std::uint32_t op_count;
    std::int32_t low_inner;
    char first;
    std::uint8_t prec;
    std::uint8_t kind;  ///< the node's alternative in `ir::Node`

    Shape shape() const { return {len, depth, low_inner, first}; }
  };

  /// Producers append each node after its operands, so one sweep up to the root finishes every
  /// node before its users, reading the node array in order. Nodes the root does not reach are
  /// finished too: that costs less than finding out which they are. Returns false, having kept
  /// nothing, when an operand does not come before its user.
  bool measure_in_order(NodeId root) {
    // Room for the common case, so that the tables are not copied as they grow: an operator
    // node takes a run and an operand step, and most nodes' texts are a few bytes long.
    ops_.reserve(2 * (std::size_t{root} + 1));
    arena_.reserve(8 * (std::size_t{root} + 1));
    for (std::size_t i = 0; i <= root; ++i) {
      support::poll_cancel();
      bool ordered = true;
      ir::for_each_operand(dag_.nodes[i], [&](NodeId operand) { ordered &= operand < i; });
      if (!ordered) {
        ops_.clear();
        arena_.clear();
        const_runs_ = {};
        return false;
      }
      exact_ ? finish<true>(static_cast<NodeId>(i)) : finish<false>(static_cast<NodeId>(i));
    }
    return true;
  }

  /// Finishes every node the root reaches, each after its operands, in any node order; a node
  /// that depends on itself is an internal fault.
  void measure_depth_first(NodeId root) {
    struct Frame {
      NodeId id;
      std::uint32_t next;  ///< the operand to visit next
    };
    std::vector<Frame> stack;
    std::vector<State> state(dag_.nodes.size(), State::Unseen);
    state[root] = State::Open;
    stack.push_back({root, 0});
    while (!stack.empty()) {
      support::poll_cancel();
      Frame& f = stack.back();
      const std::optional<NodeId> next = operand_at(dag_.nodes[f.id], f.next);
      if (!next) {
        exact_ ? finish<true>(f.id) : finish<false>(f.id);
        state[f.id] = State::Done;
        stack.pop_back();
        continue;
      }
      ++f.next;
      const NodeId operand = *next;
      check(operand);
      State& child = state[operand];
      if (child == State::Done) continue;
      if (child == State::Open) {
        support::internal_fault("node id " + std::to_string(operand) + " depends on itself");
      }
      child = State::Open;
      stack.push_back({operand, 0});
    }
  }

  void check(NodeId id) const {
    if (id >= dag_.nodes.size()) {
      support::internal_fault("node id " + std::to_string(id) + " out of range (nodes len " +
                              std::to_string(dag_.nodes.size()) + ")");
    }
  }

  /// Exact text shows every cast, so that each operand reads back in its dtype.
  bool visible(const node::Cast& c) const { return show_casts_ && (c.explicit_ || exact_); }

  /// The dtype lowering gives node `n` when its operands read back in their dtypes.
  vocab::DType inferred_dtype(NodeId self) const {
    const Node& n = dag_.nodes[self];
    const vocab::DType own = dag_.dtypes[self];
    auto common = [&](NodeId a, NodeId b) {
      const vocab::DType x = dag_.dtypes[a];
      const vocab::DType y = dag_.dtypes[b];
      return x == y ? x : vocab::promote(x, y).value_or(own);
    };
    if (const auto* b = std::get_if<node::Binary>(&n)) {
      if (binary_form(b->op).prec <= prec::kComparison) return vocab::dtypes::kBool;
      if (b->op == BinaryOp::FloorDiv || b->op == BinaryOp::Rem) {
        const vocab::DType x = integer_operand_dtype(self, b->lhs);
        const vocab::DType y = integer_operand_dtype(self, b->rhs);
        return x == y ? x : vocab::promote(x, y).value_or(own);
      }
      return common(b->lhs, b->rhs);
    }
    if (const auto* u = std::get_if<node::Unary>(&n)) {
      return u->op == vocab::UnaryOp::Not ? vocab::dtypes::kBool : dag_.dtypes[u->arg];
    }
    if (const auto* i = std::get_if<node::If>(&n)) return common(i->then_branch, i->else_branch);
    if (const auto* c = std::get_if<node::Call>(&n); c && !c->args.empty()) {
      return dag_.dtypes[c->args[0]];
    }
    return own;
  }

  /// The dtype operand `operand` of floor division or remainder `node` is written in: its own
  /// when it is an integer, else the node's, or i64 when restoring made that a float too.
  vocab::DType integer_operand_dtype(NodeId node, NodeId operand) const {
    if (dag_.dtypes[operand].is_integer()) return dag_.dtypes[operand];
    return dag_.dtypes[node].is_integer() ? dag_.dtypes[node] : vocab::dtypes::kI64;
  }

  /// Whether `id` is the integer constant 0, which lowering refuses as a divisor.
  bool is_int_zero(NodeId id) const {
    const auto* c = std::get_if<node::Const>(&dag_.nodes[id]);
    const auto* v = c ? std::get_if<std::int64_t>(&c->value) : nullptr;
    return v != nullptr && *v == 0;
  }

  /// How an operand is written in its position; its own shape must be known.
  [[gnu::always_inline]] Use use_of(NodeId id, Context ctx) const {
    const Info& in = info_[id];
    Use u{in.shape(), 0};
    auto wrap_if = [&u](bool flag) {
      if (!flag || u.shape.enclosed()) return;
      Shape w = kOpenShape;
      w += u.shape;
      w += kCloseShape;
      u.shape = w;
      ++u.wraps;
    };
    wrap_if(in.prec < ctx.parent || (ctx.right && in.prec == ctx.parent));
    const bool compound = in.kind == kind_of<node::Binary> || in.kind == kind_of<node::If>;
    switch (ctx.extra) {
      case Extra::None:
        break;
      case Extra::NegOperand:
        wrap_if(compound || in.kind == kind_of<node::Unary>);
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

  /// Adds the arena's bytes from `at` to its end, just appended, to the text of the node being
  /// finished, extending its last run when that ends where they start.
  void add_run_from(std::size_t at) {
    std::size_t len = arena_.size() - at;
    if (len == 0) return;
    if (ops_.size() > cur_ops_ && !ops_.back().operand && ops_.back().pos + ops_.back().arg == at &&
        len <= std::numeric_limits<std::uint32_t>::max() - ops_.back().arg) {
      ops_.back().arg += static_cast<std::uint32_t>(len);
      return;
    }
    while (len > 0) {
      const auto part = static_cast<std::uint32_t>(
          std::min<std::size_t>(len, std::numeric_limits<std::uint32_t>::max()));
      ops_.emplace_back(at, part, false, std::uint8_t{0});
      at += part;
      len -= part;
    }
  }

  // The put_ helpers are inlined into `finish` so that the shape being built stays in
  // registers rather than being stored and read back at every piece.

  /// Adds a text of known shape to the node being finished.
  [[gnu::always_inline]] void put_text(Shape& s, std::string_view text, const Shape& shape) {
    s += shape;
    const std::size_t at = arena_.size();
    arena_.append(text);
    add_run_from(at);
  }
  [[gnu::always_inline]] void put_plain(Shape& s, std::string_view text) {
    put_text(s, text, Shape::plain(text));
  }

  /// Adds operand `id`, standing in context `ctx`, to the node being finished.
  [[gnu::always_inline]] void put_operand(Shape& s, NodeId id, Context ctx) {
    const Use u = use_of(id, ctx);
    s += u.shape;
    const Info& t = info_[id];
    const bool one_run = t.op_count == 1 && !ops_[t.op_begin].operand;
    if (one_run && ops_[t.op_begin].arg <= kInlineBytes) {
      const Op run = ops_[t.op_begin];
      const std::size_t at = arena_.size();
      arena_.append_copy(run.pos, run.arg, u.wraps);
      add_run_from(at);
      return;
    }
    if (t.op_count == 0 && u.wraps == 0) return;
    if (one_run && u.wraps == 0) {
      const Op run = ops_[t.op_begin];
      ops_.push_back(run);
      return;
    }
    ops_.emplace_back(t.op_begin, t.op_count, true, u.wraps);
  }

  /// Adds operand `id` cast to `to`, as an operand of a cast.
  void put_converted(Shape& s, NodeId id, vocab::DType to) {
    put_operand(s, id, {prec::kCast, false, Extra::None});
    put_plain(s, "@");
    put_plain(s, to.to_str());
  }

  /// Computes the shape, precedence and ops of a node whose operands are all done.
  /// Exact text is a separate instance, so that the display text pays nothing for it.
  template <bool kExact>
  void finish(NodeId id) {
    // A switch rather than a visitor keeps the shape being built in registers.
    Shape s = Shape::empty();
    cur_ops_ = ops_.size();
    const Node& n = dag_.nodes[id];
    std::uint8_t own_prec = prec::kAtom;
    const Info* same_ops = nullptr;  ///< an operand whose ops write this node's text too
    // In exact text, a node whose dtype its operands would not give back (a constant widened by
    // folding, a restored promotion) is cast to it.
    const bool cast_back = kExact && inferred_dtype(id) != dag_.dtypes[id];
    const bool cast_parens = cast_back && (std::holds_alternative<node::Binary>(n) ||
                                           std::holds_alternative<node::If>(n) ||
                                           std::holds_alternative<node::Unary>(n));
    if (cast_parens) put_text(s, "(", kOpenShape);
    switch (n.index()) {
      case kind_of<node::Param>: {
        const auto& x = *std::get_if<node::Param>(&n);
        if (x.index < dag_.params.size()) {
          const std::string& name = dag_.params[x.index].name;
          put_text(s, name, shape_of(name));
        } else {
          scratch_ = "arg";
          support::append_int(scratch_, x.index);
          put_plain(s, scratch_);
        }
        break;
      }
      case kind_of<node::Const>: {
        const auto& x = *std::get_if<node::Const>(&n);
        if constexpr (kExact) {
          scratch_.clear();
          append_exact_literal(scratch_, x.value, dag_.dtypes[id]);
          put_text(s, scratch_, shape_of(scratch_));
          own_prec = exact_literal_prec(scratch_);
          break;
        }
        const LiteralBits bits(x.value);
        ConstRun& known = const_runs_[ConstRun::slot(bits)];
        if (known.run.arg > 0 && known.value == bits) {
          ops_.push_back(known.run);
          s = Shape::plain({arena_.data() + known.run.pos, known.run.arg});
        } else {
          scratch_.clear();
          append_literal(scratch_, x.value);
          put_plain(s, scratch_);  // numbers and words hold no parenthesis
          known = {bits, ops_.back()};
        }
        // "1+2j" is a sum as the language reads it.
        if (std::holds_alternative<ir::ComplexValue>(x.value)) own_prec = prec::kAdditive;
        break;
      }
      case kind_of<node::Unary>: {
        const auto& x = *std::get_if<node::Unary>(&n);
        const bool neg = x.op == vocab::UnaryOp::Neg;
        put_plain(s, neg ? "-" : "!");
        put_operand(s, x.arg, {prec::kPrefix, false, neg ? Extra::NegOperand : Extra::NotOperand});
        own_prec = prec::kPrefix;
        break;
      }
      case kind_of<node::Binary>: {
        const auto& x = *std::get_if<node::Binary>(&n);
        const BinaryForm& form = binary_form(x.op);
        const bool integral = kExact && (x.op == BinaryOp::FloorDiv || x.op == BinaryOp::Rem);
        if (integral && !dag_.dtypes[x.lhs].is_integer()) {
          put_converted(s, x.lhs, integer_operand_dtype(id, x.lhs));
        } else {
          put_operand(s, x.lhs,
                      {form.prec, false, x.op == BinaryOp::Pow ? Extra::PowBase : Extra::None});
        }
        put_plain(s, form.text);
        if (integral && (!dag_.dtypes[x.rhs].is_integer() || is_int_zero(x.rhs))) {
          // Floor division and remainder take integers, and lowering refuses a literal zero
          // divisor: a constant that folding made a float or a zero is written converted.
          put_converted(s, x.rhs, integer_operand_dtype(id, x.rhs));
        } else {
          put_operand(s, x.rhs, {form.prec, true, Extra::None});
        }
        own_prec = form.prec;
        break;
      }
      case kind_of<node::If>: {
        const auto& x = *std::get_if<node::If>(&n);
        constexpr Context part{prec::kConditional, false, Extra::IfPart};
        put_plain(s, "if ");
        put_operand(s, x.cond, part);
        put_plain(s, " then ");
        put_operand(s, x.then_branch, part);
        put_plain(s, " else ");
        put_operand(s, x.else_branch, part);
        own_prec = prec::kConditional;
        break;
      }
      case kind_of<node::Call>: {
        const auto& x = *std::get_if<node::Call>(&n);
        const FusedCall* fused = nullptr;
        for (const FusedCall& f : kFusedCalls) {
          if (kExact && f.fused == x.builtin) fused = &f;
        }
        if (fused != nullptr) {
          put_text(s, fused->outer, shape_of(fused->outer));
          put_text(s, fused->inner, shape_of(fused->inner));
        } else {
          put_plain(s, vocab::builtin_name(x.builtin));
          put_text(s, "(", kOpenShape);
        }
        for (std::size_t k = 0; k < x.args.size(); ++k) {
          if (k > 0) put_plain(s, ", ");
          put_operand(s, x.args[k], {prec::kConditional, false, Extra::None});
        }
        put_text(s, ")", kCloseShape);
        if (fused != nullptr) put_text(s, ")", kCloseShape);
        own_prec = prec::kCall;
        break;
      }
      default: {
        const auto& x = std::get<node::Cast>(n);
        constexpr Context ctx{prec::kCast, false, Extra::None};
        const Info& operand = info_[x.arg];
        // An invisible cast stands at its operand's level; a cast operand counts as a cast.
        own_prec = operand.kind == kind_of<node::Cast> ? prec::kCast : operand.prec;
        if (visible(x)) {
          put_operand(s, x.arg, ctx);
          put_plain(s, "@");
          put_plain(s, x.to.to_str());
          own_prec = prec::kCast;
        } else if (const Use u = use_of(x.arg, ctx); u.wraps == 0) {
          // The text is the operand's own: a use runs the operand's ops, so a chain of such
          // casts costs nothing.
          s = u.shape;
          same_ops = &operand;
        } else {
          put_operand(s, x.arg, ctx);
        }
        break;
      }
    }
    if (cast_parens) put_text(s, ")", kCloseShape);
    if (cast_back) {
      put_plain(s, "@");
      put_plain(s, dag_.dtypes[id].to_str());
      own_prec = prec::kCast;
      same_ops = nullptr;
    }
    Info& in = info_[id];
    in.len = s.len;
    in.depth = s.depth;
    in.low_inner = s.low_inner;
    in.first = s.first;
    in.prec = own_prec;
    in.kind = static_cast<std::uint8_t>(n.index());
    in.op_begin = same_ops ? same_ops->op_begin : cur_ops_;
    in.op_count =
        same_ops ? same_ops->op_count : static_cast<std::uint32_t>(ops_.size() - cur_ops_);
  }

  const ir::TypedDag& dag_;
  bool show_casts_;
  bool exact_;
  std::unique_ptr<Info[]> info_;
  std::vector<Op> ops_;
  /// The texts the ops write, each run stored once.
  Arena arena_;
  std::string scratch_;
  /// Kernels repeat their constants, and lowering gives each occurrence a node of its own: the
  /// runs of recently written constants, found by value, save formatting each one again.
  struct ConstRun {
    LiteralBits value{ir::Literal{}};
    Op run{0, 0, false, 0};  ///< empty while the slot is unused

    static std::size_t slot(const LiteralBits& v) {
      const std::uint64_t h = (v.re ^ (v.im * 0x9e3779b97f4a7c15) ^ v.kind) * 0xff51afd7ed558ccd;
      return static_cast<std::size_t>(h >> 58);
    }
  };
  std::array<ConstRun, 64> const_runs_{};
  /// The first op of the node being finished.
  std::size_t cur_ops_ = 0;
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
  if (opens == 0) return s;
  std::size_t trail_start = s.size();
  std::int64_t closes = 0;
  while (trail_start > lead_end && s[trail_start - 1] == ')') {
    ++closes;
    trail_start = skip_blanks_back(s, lead_end, trail_start - 1);
  }
  if (closes == 0) return s;
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
  std::int64_t pairs =
      depth - closes == 0 ? std::min({opens, closes, std::max<std::int64_t>(low, 0)}) : 0;
  std::string_view kept = s;
  for (; pairs > 0; --pairs) kept = support::trim_white_space(kept.substr(1, kept.size() - 2));
  return kept;
}

}  // namespace

namespace {

/// `cast_to`, when given, is applied to the whole text as a cast (a few bytes beyond `limit`).
std::expected<std::string, RenderTooLarge> render(const ir::TypedDag& dag, ir::NodeId root,
                                                  bool show_casts, bool exact,
                                                  std::optional<vocab::DType> cast_to,
                                                  std::uint64_t limit) {
  Renderer renderer(dag, show_casts, exact);
  renderer.measure(root);
  // At the top the root stands in no operator's position, so its own text is the whole text.
  const std::uint64_t size = renderer.own_length(root);
  if (size > limit) return std::unexpected(RenderTooLarge{size, limit});
  std::string out(size, '\0');
  renderer.write(root, out.data());
  const std::string_view kept = strip_enclosing(out);
  const std::size_t start = static_cast<std::size_t>(kept.data() - out.data());
  out.erase(start + kept.size());
  out.erase(0, start);
  if (cast_to) {
    // A cast binds tighter than every operator, so a text of looser precedence is wrapped.
    if (renderer.own_prec(root) < prec::kCast) {
      out.insert(out.begin(), '(');
      out += ')';
    }
    out += '@';
    out += cast_to->to_str();
  }
  return out;
}

}  // namespace

std::expected<std::string, RenderTooLarge> render_simplified_expr(const ir::TypedDag& dag,
                                                                  ir::NodeId root, bool show_casts,
                                                                  std::uint64_t limit) {
  return render(dag, root, show_casts, false, std::nullopt, limit);
}

std::expected<std::string, RenderTooLarge> render_exact_expr(const ir::TypedDag& dag,
                                                             ir::NodeId root, vocab::DType result,
                                                             std::uint64_t limit) {
  const bool recast = root < dag.dtypes.size() && dag.dtypes[root] != result;
  return render(dag, root, true, true, recast ? std::optional(result) : std::nullopt, limit);
}

}  // namespace tarvelon::render
