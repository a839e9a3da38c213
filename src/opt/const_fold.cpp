// Constant folding: one pass over the nodes in index order. Every node whose operands are
// constants is evaluated, and a constant operand that decides a node (a condition, an exponent
// of 0 or 1, a neutral operand of and/or) resolves it.
#include "opt/const_fold.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "eval/float_format.h"
#include "ir/convert.h"
#include "support/cancel.h"
#include "support/internal_fault.h"
#include "support/number_text.h"

namespace tarvelon::opt {

namespace {

using ir::ComplexValue;
using ir::Literal;
using ir::Node;
using ir::NodeId;
using vocab::BinaryOp;
using vocab::Builtin;
using vocab::DType;
namespace node = ir::node;
namespace dt = vocab::dtypes;

/// Wide enough for the exact sum, difference or product of two i64 values; integer powers fold
/// exactly when they fit it.
__extension__ typedef __int128 Wide;
__extension__ typedef unsigned __int128 UWide;

bool holds(DType d, Wide v) { return v >= vocab::int_min(d) && v <= vocab::int_max(d); }

void append_wide(std::string& out, Wide v) {
  UWide magnitude = v < 0 ? UWide{0} - static_cast<UWide>(v) : static_cast<UWide>(v);
  char buf[40];  // 2^127 has 39 digits
  char* p = buf + sizeof buf;
  do {
    *--p = static_cast<char>('0' + static_cast<int>(magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  if (v < 0) out += '-';
  out.append(p, buf + sizeof buf);
}

/// a ** e for e >= 0, when the exact power fits in 128 bits. A base other than 0 and +-1 reaches
/// 2^127 within 127 factors, so the loop is short.
std::optional<Wide> exact_power(std::int64_t a, std::int64_t e) {
  if (a == 0) return Wide{e == 0 ? 1 : 0};
  if (a == 1) return Wide{1};
  if (a == -1) return Wide{e % 2 == 0 ? 1 : -1};
  Wide r = 1;
  for (std::int64_t k = 0; k < e; ++k) {
    if (__builtin_mul_overflow(r, Wide{a}, &r)) return std::nullopt;
  }
  return r;
}

/// What folding decides for one node.
struct Keep {};  ///< not folded: the node is copied with its mapped operands
struct Alias {   ///< the node is an existing node of the new list; nothing is pushed
  NodeId id;
};
struct Folded {  ///< a fresh constant
  Literal value;
  DType dtype;
};
using Decision = std::variant<Keep, Alias, Folded>;

/// A computed value as a constant of the node's dtype `t`, when `t` can take it.
Decision as_constant(std::optional<Literal> value, DType t) {
  if (!value) return Keep{};
  auto converted = ir::convert_literal(*value, t);
  if (!converted) return Keep{};
  return Folded{std::move(*converted), t};
}

/// Whether a constant is exactly the real number `v`: false and true count as 0 and 1, and a
/// complex constant must have a zero imaginary part.
bool is_exactly(const Literal& lit, double v) {
  if (const auto* c = std::get_if<ComplexValue>(&lit)) return c->re == v && c->im == 0.0;
  return *ir::real_value(lit) == v;
}

double sigmoid(double x) { return 1.0 / (std::exp(-x) + 1.0); }

/// An argument at which a builtin's result is exact, whatever the math library rounds to; it is
/// also the one complex argument the builtin folds.
struct ExactPoint {
  double at;
  double result;
};

/// How a builtin evaluates at compile time, in f64.
struct BuiltinFold {
  Builtin builtin;
  double (*eval)(double);
  std::optional<ExactPoint> exact;
};

constexpr BuiltinFold kBuiltinFolds[] = {
    {Builtin::Exp, [](double x) { return std::exp(x); }, ExactPoint{0.0, 1.0}},
    {Builtin::Log, [](double x) { return std::log(x); }, ExactPoint{1.0, 0.0}},
    {Builtin::Sqrt, [](double x) { return std::sqrt(x); }, std::nullopt},
    {Builtin::Abs, [](double x) { return std::fabs(x); }, std::nullopt},
    {Builtin::Sin, [](double x) { return std::sin(x); }, std::nullopt},
    {Builtin::Cos, [](double x) { return std::cos(x); }, std::nullopt},
    {Builtin::Tanh, [](double x) { return std::tanh(x); }, std::nullopt},
    {Builtin::Sigmoid, [](double x) { return sigmoid(x); }, std::nullopt},
    // NaN is not above zero, so it gives 0.0 like every other non-positive argument.
    {Builtin::Relu, [](double x) { return x > 0 ? x : 0.0; }, std::nullopt},
    {Builtin::Softplus, [](double x) { return std::log(std::exp(x) + 1.0); }, std::nullopt},
    {Builtin::Floor, [](double x) { return std::floor(x); }, std::nullopt},
    {Builtin::Ceil, [](double x) { return std::ceil(x); }, std::nullopt},
    {Builtin::ExpSigmoid, [](double x) { return sigmoid(std::exp(x)); }, std::nullopt},
    {Builtin::SigmoidLog, [](double x) { return std::log(sigmoid(x)); }, std::nullopt},
};
static_assert(vocab::in_builtin_order(kBuiltinFolds));

double arithmetic(BinaryOp op, double a, double b) {
  switch (op) {
    case BinaryOp::Add:
      return a + b;
    case BinaryOp::Sub:
      return a - b;
    case BinaryOp::Mul:
      return a * b;
    default:
      return a / b;
  }
}

ComplexValue arithmetic(BinaryOp op, ComplexValue x, ComplexValue y) {
  switch (op) {
    case BinaryOp::Add:
      return {x.re + y.re, x.im + y.im};
    case BinaryOp::Sub:
      return {x.re - y.re, x.im - y.im};
    case BinaryOp::Mul:
      return {x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
    default: {
      const double d = y.re * y.re + y.im * y.im;
      return {(x.re * y.re + x.im * y.im) / d, (x.im * y.re - x.re * y.im) / d};
    }
  }
}

bool compare(BinaryOp op, double a, double b) {
  switch (op) {
    case BinaryOp::Eq:
      return a == b;
    case BinaryOp::Ne:
      return a != b;
    case BinaryOp::Lt:
      return a < b;
    case BinaryOp::Le:
      return a <= b;
    case BinaryOp::Gt:
      return a > b;
    default:
      return a >= b;
  }
}

/// A float or complex constant of dtype `d` as a cast out of `d` takes it: a value past the
/// range of `d`'s format is the infinity it is when the kernel runs (an `f32` literal of 1e40),
/// while one in range keeps the value the emitted Python computes with.
Literal overflowed(const Literal& v, DType d) {
  struct Format {
    double largest;  ///< largest finite value
    double (*round)(double);
  };
  const Format format =
      d == dt::kF32 || d == dt::kC64
          ? Format{std::numeric_limits<float>::max(),
                   [](double x) { return static_cast<double>(static_cast<float>(x)); }}
      : d == dt::kF16  ? Format{eval::kF16Max, eval::round_double_to_f16}
      : d == dt::kBF16 ? Format{eval::kBF16Max, eval::round_double_to_bf16}
                       : Format{std::numeric_limits<double>::infinity(), nullptr};
  const auto part = [&format](double x) -> double {
    // Only a value beyond the format's largest finite one can round to an infinity; the
    // literals of a kernel are far within it, and rounding each would cost more than its test.
    if (!(std::fabs(x) > format.largest)) return x;
    const double r = format.round(x);
    return std::isinf(r) ? r : x;
  };
  if (const auto* x = std::get_if<double>(&v)) return part(*x);
  if (const auto* c = std::get_if<ComplexValue>(&v)) return ComplexValue{part(c->re), part(c->im)};
  return v;
}

/// Quotient rounded toward minus infinity, and the remainder that goes with it (the divisor's
/// sign). The caller excludes a zero divisor and i64's minimum divided by -1.
std::pair<std::int64_t, std::int64_t> floor_div_rem(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  std::int64_t r = a % b;
  if (r != 0 && (r < 0) != (b < 0)) {
    q -= 1;
    r += b;
  }
  return {q, r};
}

class Folder {
 public:
  explicit Folder(const ir::TypedDag& in) : in_(in) {}

  FoldResult run();

 private:
  /// The literal of node `id` of the new list, when it is a constant.
  const Literal* constant(NodeId id) const {
    const auto* c = std::get_if<node::Const>(&nodes_[id]);
    return c ? &c->value : nullptr;
  }

  /// The value of node `id` of the new list, when it is a boolean constant.
  std::optional<bool> truth(NodeId id) const {
    const Literal* v = constant(id);
    const bool* b = v ? std::get_if<bool>(v) : nullptr;
    return b ? std::optional<bool>(*b) : std::nullopt;
  }

  Decision fold(NodeId j, const Node& n, DType t);
  Decision fold_unary(const node::Unary& u, DType t);
  Decision fold_call(const node::Call& c, DType t);
  Decision fold_binary(NodeId j, const node::Binary& b, DType t);
  Decision fold_logic(const node::Binary& b, DType t);
  Decision fold_integer(NodeId j, BinaryOp op, std::int64_t a, std::int64_t b, DType t);
  Decision fold_exact(NodeId j, BinaryOp op, std::int64_t a, std::int64_t b, Wide r, DType t);

  [[noreturn]] static void invalid(const ir::TypedDagError& e) {
    support::internal_fault("const_fold produced invalid TypedDag: " + e.to_string());
  }

  const ir::TypedDag& in_;
  std::vector<Node> nodes_;
  std::vector<DType> dtypes_;
  /// Entry i is the node of the new list that stands for input node i.
  std::vector<NodeId> table_;
  /// Integer overflow notices; `fold_exact` is the only writer.
  std::vector<diag::Diag> diags_;
};

FoldResult Folder::run() {
  const std::size_t n = in_.nodes.size();
  if (in_.dtypes.size() != n) invalid(ir::TypedDagError{});
  nodes_.reserve(n);
  dtypes_.reserve(n);
  table_.reserve(n);
  for (std::size_t index = 0; index < n; ++index) {
    support::poll_cancel();
    const auto j = static_cast<NodeId>(index);
    Node copy = in_.nodes[j];
    ir::for_each_operand(copy, [&](NodeId& child) {
      if (child >= j) {
        support::internal_fault("const_fold: node#" + std::to_string(j) + " uses node#" +
                                std::to_string(child) + ", which does not come before it");
      }
      child = table_[child];
    });
    const DType t = in_.dtypes[j];
    Decision d = fold(j, copy, t);
    if (const auto* a = std::get_if<Alias>(&d)) {
      table_.push_back(a->id);
      continue;
    }
    table_.push_back(static_cast<NodeId>(nodes_.size()));
    if (auto* f = std::get_if<Folded>(&d)) {
      nodes_.push_back(node::Const{std::move(f->value)});
      dtypes_.push_back(f->dtype);
    } else {
      nodes_.push_back(std::move(copy));
      dtypes_.push_back(t);
    }
  }
  std::vector<NodeId> outputs;
  outputs.reserve(in_.outputs.size());
  // An output beyond the input is kept as it is, so that the check below reports it.
  for (NodeId o : in_.outputs) outputs.push_back(o < n ? table_[o] : o);
  auto dag =
      ir::TypedDag::try_new(std::move(nodes_), std::move(dtypes_), in_.params, std::move(outputs));
  if (!dag) invalid(dag.error());
  return FoldResult{std::move(*dag), std::move(diags_)};
}

Decision Folder::fold(NodeId j, const Node& n, DType t) {
  if (const auto* u = std::get_if<node::Unary>(&n)) return fold_unary(*u, t);
  if (const auto* b = std::get_if<node::Binary>(&n)) return fold_binary(j, *b, t);
  if (const auto* c = std::get_if<node::Call>(&n)) return fold_call(*c, t);
  if (const auto* c = std::get_if<node::Cast>(&n)) {
    const Literal* v = constant(c->arg);
    return v ? as_constant(overflowed(*v, dtypes_[c->arg]), t) : Keep{};
  }
  if (const auto* i = std::get_if<node::If>(&n)) {
    if (auto cond = truth(i->cond)) return Alias{*cond ? i->then_branch : i->else_branch};
  }
  return Keep{};
}

Decision Folder::fold_unary(const node::Unary& u, DType t) {
  const Literal* v = constant(u.arg);
  if (v == nullptr) return Keep{};
  if (u.op == vocab::UnaryOp::Not) {
    auto b = truth(u.arg);
    return b ? as_constant(!*b, t) : Keep{};
  }
  if (const auto* i = std::get_if<std::int64_t>(v)) {
    // Two's-complement negation: i64's minimum negates to itself.
    return as_constant(static_cast<std::int64_t>(std::uint64_t{0} - static_cast<std::uint64_t>(*i)),
                       t);
  }
  if (const auto* x = std::get_if<double>(v)) return as_constant(-*x, t);
  if (const auto* c = std::get_if<ComplexValue>(v)) {
    return as_constant(ComplexValue{-c->re, -c->im}, t);
  }
  return Keep{};
}

Decision Folder::fold_call(const node::Call& c, DType t) {
  if (c.args.size() != 1) return Keep{};
  const Literal* v = constant(c.args[0]);
  if (v == nullptr) return Keep{};
  const BuiltinFold& f = kBuiltinFolds[static_cast<std::size_t>(c.builtin)];
  if (f.exact && is_exactly(*v, f.exact->at)) return as_constant(f.exact->result, t);
  const std::optional<double> x = ir::real_value(*v);
  return x ? as_constant(f.eval(*x), t) : Keep{};
}

Decision Folder::fold_logic(const node::Binary& b, DType t) {
  // True leaves `and` to its other operand and false decides it; `or` is the mirror image.
  const bool neutral = b.op == BinaryOp::And;
  const std::optional<bool> l = truth(b.lhs);
  if (l == neutral) return Alias{b.rhs};
  if (truth(b.rhs) == neutral) return Alias{b.lhs};
  if (l == !neutral && constant(b.rhs) != nullptr) return as_constant(!neutral, t);
  return Keep{};
}

Decision Folder::fold_binary(NodeId j, const node::Binary& b, DType t) {
  const BinaryOp op = b.op;
  if (op == BinaryOp::And || op == BinaryOp::Or) return fold_logic(b, t);
  if (op == BinaryOp::Pow) {
    if (const Literal* e = constant(b.rhs)) {
      if (is_exactly(*e, 0.0)) return as_constant(std::int64_t{1}, t);
      if (is_exactly(*e, 1.0)) return Alias{b.lhs};
    }
  }
  const Literal* l = constant(b.lhs);
  const Literal* r = constant(b.rhs);
  if (l == nullptr || r == nullptr) return Keep{};
  const auto* li = std::get_if<std::int64_t>(l);
  const auto* ri = std::get_if<std::int64_t>(r);
  switch (op) {
    case BinaryOp::Add:
    case BinaryOp::Sub:
    case BinaryOp::Mul:
      if (li && ri && t.is_integer()) return fold_integer(j, op, *li, *ri, t);
      [[fallthrough]];
    case BinaryOp::Div: {
      const auto* lc = std::get_if<ComplexValue>(l);
      const auto* rc = std::get_if<ComplexValue>(r);
      if (lc && rc) return as_constant(arithmetic(op, *lc, *rc), t);
      if (lc || rc) return Keep{};
      return as_constant(arithmetic(op, *ir::real_value(*l), *ir::real_value(*r)), t);
    }
    case BinaryOp::FloorDiv:
    case BinaryOp::Rem: {
      if (!li || !ri || *ri == 0) return Keep{};
      if (*li == std::numeric_limits<std::int64_t>::min() && *ri == -1) return Keep{};
      auto [q, rem] = floor_div_rem(*li, *ri);
      return as_constant(op == BinaryOp::FloorDiv ? q : rem, t);
    }
    default:
      break;
  }
  const std::optional<double> x = ir::real_value(*l);
  const std::optional<double> y = ir::real_value(*r);
  if (!x || !y) return Keep{};
  if (op == BinaryOp::Pow) {
    // An integer power is exact, as the kernel computes it, rather than the nearest double. A
    // negative exponent gives a float (or raises, of zero) and a power past 128 bits an integer
    // no constant holds, so either is left for the kernel to compute.
    if (li && ri && t.is_integer()) {
      if (*ri < 0) return Keep{};
      auto r = exact_power(*li, *ri);
      return r ? fold_exact(j, op, *li, *ri, *r, t) : Keep{};
    }
    return as_constant(std::pow(*x, *y), t);
  }
  return as_constant(compare(op, *x, *y), t);
}

Decision Folder::fold_integer(NodeId j, BinaryOp op, std::int64_t a, std::int64_t b, DType t) {
  const Wide r = op == BinaryOp::Add   ? Wide{a} + b
                 : op == BinaryOp::Sub ? Wide{a} - b
                                       : Wide{a} * b;
  return fold_exact(j, op, a, b, r, t);
}

Decision Folder::fold_exact(NodeId j, BinaryOp op, std::int64_t a, std::int64_t b, Wide r,
                            DType t) {
  if (holds(t, r)) return Folded{static_cast<std::int64_t>(r), t};

  // The result moves to the narrowest dtype that holds it, unsigned only when the node was and
  // the result is not negative. Constants are i64, so a result beyond i64 (a u64 result of 2^63
  // and above too) can only be pushed as an f64 float; the notice then names f64, the dtype the
  // constant really gets.
  DType promoted = dt::kF64;
  if (holds(dt::kI64, r)) {
    static constexpr DType kSigned[] = {dt::kI8, dt::kI16, dt::kI32, dt::kI64};
    static constexpr DType kUnsigned[] = {dt::kU8, dt::kU16, dt::kU32, dt::kU64};
    const bool stay_unsigned = t.kind == vocab::DTypeKind::UInt && r >= 0;
    for (DType d : stay_unsigned ? kUnsigned : kSigned) {
      if (holds(d, r)) {
        promoted = d;
        break;
      }
    }
  }
  std::string message = "const_fold node#";
  support::append_int(message, j);
  message += ": integer overflow: ";
  support::append_int(message, a);
  message += ' ';
  message += vocab::op_text(op);
  message += ' ';
  support::append_int(message, b);
  message += " = ";
  append_wide(message, r);
  message += "; promoted ";
  message += t.to_str();
  message += " -> ";
  message += promoted.to_str();
  message += "; write result directly `";
  append_wide(message, r);
  message += "` or wrapping result";
  diags_.push_back(diag::Diag::make(diag::DiagKind::ConstOverflow, std::move(message)));

  if (promoted == dt::kF64) return Folded{static_cast<double>(r), promoted};
  return Folded{static_cast<std::int64_t>(r), promoted};
}

}  // namespace

FoldResult const_fold(const ir::TypedDag& dag) { return Folder(dag).run(); }

}  // namespace tarvelon::opt
