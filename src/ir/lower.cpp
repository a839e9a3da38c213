#include "ir/lower.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "ir/error.h"
#include "support/cancel.h"
#include "support/internal_fault.h"
#include "support/packed_word.h"
#include "support/segmented_stack.h"

namespace tarvelon::ir {

namespace ex = parse::expr;
using parse::SpannedExpr;
using vocab::BinaryOp;
using vocab::Builtin;
using vocab::DType;
using vocab::DTypeKind;
using vocab::UnaryOp;
namespace dtypes = vocab::dtypes;

// ---- Scope -------------------------------------------------------------------------------------

std::uint64_t Scope::short_key(std::string_view name) noexcept {
  return name.size() > support::kShortWordMax ? 0 : support::pack_short_word(name);
}

std::uint32_t Scope::name_hash(std::string_view name) noexcept {
  // A short name is already one word, and one multiply mixes it well enough for the table;
  // only long names go through the general string hash.
  if (const std::uint64_t key = short_key(name); key != 0) {
    return static_cast<std::uint32_t>((key * 0x9E3779B97F4A7C15ull) >> 32);
  }
  const std::size_t h = std::hash<std::string_view>{}(name);
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

Scope::Slot* Scope::slot_of(std::string_view name, std::uint32_t hash) const {
  if (slots_.empty()) return nullptr;
  const std::size_t mask = slots_.size() - 1;
  const std::uint64_t key = short_key(name);
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    const bool found = s.key == 0 || (key != 0 ? s.key == key
                                               : (is_long_key(s.key) && s.hash == hash &&
                                                  long_names_[long_index(s.key)] == name));
    if (found) return const_cast<Slot*>(&s);
  }
}

Scope::Hash Scope::prefetch(std::string_view name) const noexcept {
  const Hash hash = name_hash(name);
  if (!slots_.empty()) __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
  return hash;
}

const NodeId* Scope::find(std::string_view name) const {
  const Slot* s = slot_of(name, name_hash(name));
  return s != nullptr && s->value != kUnbound ? &s->value : nullptr;
}

std::optional<NodeId> Scope::bind(std::string_view name, NodeId id) {
  return bind(name, id, name_hash(name));
}

std::optional<NodeId> Scope::bind(std::string_view name, NodeId id, Hash hash) {
  if (2 * (names_ + 1) > slots_.size()) grow(std::max<std::size_t>(16, 2 * slots_.size()));
  Slot* s = slot_of(name, hash);
  if (s->key == 0) {
    s->key = short_key(name);
    if (s->key == 0) {
      s->key = long_key(long_names_.size());
      long_names_.emplace_back(name);
    }
    s->hash = hash;
    ++names_;
  }
  const NodeId earlier = std::exchange(s->value, id);
  if (earlier == kUnbound) {
    ++bound_;
    return std::nullopt;
  }
  return earlier;
}

void Scope::restore(std::string_view name, std::optional<NodeId> earlier) {
  Slot* s = slot_of(name, name_hash(name));
  if (s == nullptr || s->key == 0) return;
  bound_ -= s->value != kUnbound;
  s->value = earlier.value_or(kUnbound);
  bound_ += s->value != kUnbound;
}

bool Scope::emplace(std::string_view name, NodeId id) {
  if (find(name) != nullptr) return false;
  bind(name, id);
  return true;
}

NodeId Scope::at(std::string_view name) const {
  const NodeId* id = find(name);
  if (id == nullptr) throw std::out_of_range("name not bound in scope");
  return *id;
}

void Scope::reserve(std::size_t names) {
  std::size_t slots = std::max<std::size_t>(16, slots_.size());
  while (slots / 2 < names + 1) slots *= 2;
  if (slots > slots_.size()) grow(slots);
}

void Scope::grow(std::size_t slots) {
  std::vector<Slot> table(slots);
  std::vector<Slot> old = std::exchange(slots_, std::move(table));
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.key == 0) continue;
    std::size_t i = s.hash & mask;
    while (slots_[i].key != 0) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

// ---- Ctx ---------------------------------------------------------------------------------------

NodeId Ctx::next_id() const {
  if (nodes.size() >= std::numeric_limits<NodeId>::max()) {
    throw std::bad_alloc();  // ids are 32-bit; a kernel this large cannot be represented
  }
  return static_cast<NodeId>(nodes.size());
}

NodeId Ctx::push(Node node, DType dtype) {
  const NodeId id = next_id();
  nodes.push_back(std::move(node));
  dtypes.push_back(dtype);
  return id;
}

NodeId Ctx::cast_if_needed(NodeId id, DType to) {
  if (dtypes[id] == to) return id;
  return push(node::Cast{to, id, false}, to);
}

bool Ctx::keeps(diag::DiagKind kind) const {
  switch (mode.config.severity(kind)) {
    case diag::Severity::Allow:
      return false;
    case diag::Severity::Note:
    case diag::Severity::Warning:
      return mode.keep == Keep::All;
    case diag::Severity::Error:
    case diag::Severity::Fatal:
      return true;
  }
  return true;
}

std::expected<void, Diag> Ctx::emit(Diag d) {
  switch (mode.config.severity(d.kind)) {
    case diag::Severity::Allow:
      return {};
    case diag::Severity::Note:
    case diag::Severity::Warning:
      if (mode.keep == Keep::All) mode.warnings.push_back(std::move(d));
      return {};
    case diag::Severity::Error:
    case diag::Severity::Fatal:
      if (mode.kind == DiagMode::Kind::FailFast) return std::unexpected(std::move(d));
      mode.errors.push_back(std::move(d));
      return {};
  }
  return {};
}

std::expected<NodeId, Diag> Ctx::on_error(Diag d, DType placeholder) {
  if (mode.kind == DiagMode::Kind::FailFast) return std::unexpected(std::move(d));
  (void)emit(std::move(d));
  switch (placeholder.kind) {
    case DTypeKind::Bool:
      return push(node::Const{false}, placeholder);
    case DTypeKind::UInt:
    case DTypeKind::Int:
      return push(node::Const{std::int64_t{0}}, placeholder);
    case DTypeKind::Float:
    case DTypeKind::Complex:
      break;
  }
  return push(node::Const{0.0}, placeholder);
}

namespace {

using One = std::expected<NodeId, Diag>;

/// Propagates the failure of a fallible step, or yields its value.
#define TRY(var, expr)                                                        \
  auto var##_result = (expr);                                                 \
  if (!var##_result) return std::unexpected(std::move(var##_result.error())); \
  auto var = std::move(*var##_result)

#define TRY_VOID(expr)                                                                  \
  do {                                                                                  \
    auto try_void_result_ = (expr);                                                     \
    if (!try_void_result_) return std::unexpected(std::move(try_void_result_.error())); \
  } while (false)

bool is_bool(DType d) { return d.kind == DTypeKind::Bool; }
bool is_int(DType d) { return d.is_integer(); }
bool is_inexact(DType d) { return d.kind == DTypeKind::Float || d.kind == DTypeKind::Complex; }

bool is_int_zero(const Node& n) {
  const auto* c = std::get_if<node::Const>(&n);
  if (c == nullptr) return false;
  const auto* v = std::get_if<std::int64_t>(&c->value);
  return v != nullptr && *v == 0;
}

/// Reports a missing name in collecting mode with its f64 stand-in, or fails at once.
One undefined(Ctx& ctx, Diag d) {
  if (ctx.mode.kind == DiagMode::Kind::FailFast) return std::unexpected(std::move(d));
  TRY_VOID(ctx.emit(std::move(d)));
  return ctx.push(node::Const{0.0}, dtypes::kF64);
}

/// A minus sign directly on a literal is part of the literal: -128@i8 is in range.
std::optional<One> lower_negated_literal(Ctx& ctx, const SpannedExpr& operand) {
  if (const auto* i = std::get_if<ex::IntLit>(&operand.value)) {
    if (i->value == std::numeric_limits<std::int64_t>::min()) {
      return ctx.on_error(error::lower_int_out_of_range(i->value, dtypes::kI64, operand.span),
                          dtypes::kI64);
    }
    return lower_int_literal(ctx, -i->value, i->dtype, operand.span);
  }
  if (const auto* f = std::get_if<ex::FloatLit>(&operand.value)) {
    return lower_float_literal(ctx, f->dtype, operand.span, -f->value);
  }
  if (const auto* c = std::get_if<ex::ComplexLit>(&operand.value)) {
    return lower_complex_literal(ctx, c->dtype, operand.span, -c->re, -c->im);
  }
  return std::nullopt;
}

One finish_unary(Ctx& ctx, const ex::Unary& u, Span span, NodeId arg) {
  DType d = ctx.dtypes[arg];
  if (u.op == UnaryOp::Not) {
    if (!is_bool(d)) {
      return ctx.on_error(error::lower_type_mismatch("not", d, dtypes::kBool, span), dtypes::kBool);
    }
    return ctx.push(node::Unary{arg, UnaryOp::Not}, dtypes::kBool);
  }
  if (is_bool(d)) {
    return ctx.on_error(error::lower_type_mismatch("neg", d, d, span), dtypes::kF64);
  }
  return ctx.push(node::Unary{arg, UnaryOp::Neg}, d);
}

/// Promotes both operands to their common dtype and joins them with `op`; the node takes
/// `result` when given (comparisons), else the common dtype.
One promoted_binary(Ctx& ctx, BinaryOp op, NodeId lhs, NodeId rhs, Span span, Span lspan,
                    Span rspan, std::optional<DType> result) {
  // Operands of one dtype need no promotion, so nothing to report and no cast.
  if (const DType d = ctx.dtypes[lhs]; d == ctx.dtypes[rhs]) {
    return ctx.push(node::Binary{lhs, rhs, op}, result.value_or(d));
  }
  TRY(t, promote_with_diags(ctx, vocab::op_text(op), ctx.dtypes[lhs], ctx.dtypes[rhs], span,
                            std::pair{lspan, rspan}));
  NodeId l = ctx.cast_if_needed(lhs, t);
  NodeId r = ctx.cast_if_needed(rhs, t);
  return ctx.push(node::Binary{l, r, op}, result.value_or(t));
}

One finish_binary(Ctx& ctx, const ex::Binary& b, Span span, NodeId lhs, NodeId rhs) {
  DType l = ctx.dtypes[lhs];
  DType r = ctx.dtypes[rhs];
  std::string_view text = vocab::op_text(b.op);
  if ((b.op == BinaryOp::FloorDiv || b.op == BinaryOp::Rem) && is_int_zero(ctx.nodes[rhs])) {
    TRY_VOID(ctx.report(diag::DiagKind::DivByZero,
                        [&] { return error::lower_div_by_zero(text, span); }));
  }
  switch (b.op) {
    case BinaryOp::Div:
      if (!is_inexact(l) || !is_inexact(r)) {
        return ctx.on_error(error::lower_type_mismatch(text, l, r, span), dtypes::kF64);
      }
      break;
    case BinaryOp::FloorDiv:
      if (!is_int(l) || !is_int(r)) {
        return ctx.on_error(error::lower_type_mismatch(text, l, r, span), dtypes::kF64);
      }
      break;
    case BinaryOp::Eq:
    case BinaryOp::Ne:
    case BinaryOp::Lt:
    case BinaryOp::Le:
    case BinaryOp::Gt:
    case BinaryOp::Ge:
      return promoted_binary(ctx, b.op, lhs, rhs, span, b.lhs->span, b.rhs->span, dtypes::kBool);
    case BinaryOp::And:
    case BinaryOp::Or:
      if (!is_bool(l) || !is_bool(r)) {
        return ctx.on_error(error::lower_type_mismatch(text, l, r, span), dtypes::kBool);
      }
      return ctx.push(node::Binary{lhs, rhs, b.op}, dtypes::kBool);
    default:
      break;
  }
  return promoted_binary(ctx, b.op, lhs, rhs, span, b.lhs->span, b.rhs->span, std::nullopt);
}

One finish_if(Ctx& ctx, const ex::If& i, Span span, NodeId cond, NodeId a, NodeId b) {
  if (!is_bool(ctx.dtypes[cond])) {
    TRY_VOID(ctx.emit(
        error::lower_type_mismatch("if_cond", ctx.dtypes[cond], dtypes::kBool, i.cond->span)));
  }
  TRY(t, promote_with_diags(ctx, "if_branch", ctx.dtypes[a], ctx.dtypes[b], span, std::nullopt));
  NodeId then_id = ctx.cast_if_needed(a, t);
  NodeId else_id = ctx.cast_if_needed(b, t);
  return ctx.push(node::If{cond, then_id, else_id}, t);
}

/// The builtin a call names when the source may call it.
std::optional<Builtin> callable_builtin(const ex::Call& c) {
  const auto builtin = vocab::builtin_from_str(c.name);
  if (!builtin || !vocab::builtin_callable(*builtin)) return std::nullopt;
  return *builtin;
}

/// The diagnosed stand-in for a call that cannot be lowered: an unknown function, or a builtin
/// given other than one argument.
One failed_call(Ctx& ctx, const ex::Call& c, Span span) {
  if (!callable_builtin(c)) return undefined(ctx, error::lower_undefined_function(c.name, span));
  return ctx.on_error(error::lower_arg_count(c.name, 1, c.args.size(), span), dtypes::kF64);
}

/// Whether `e` is a literal, a named constant or a variable: a form without operands.
bool is_leaf(const SpannedExpr& e) {
  return std::visit(
      [](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        return std::is_same_v<T, ex::BoolLit> || std::is_same_v<T, ex::IntLit> ||
               std::is_same_v<T, ex::FloatLit> || std::is_same_v<T, ex::ComplexLit> ||
               std::is_same_v<T, ex::ConstE> || std::is_same_v<T, ex::ConstPi> ||
               std::is_same_v<T, ex::Var>;
      },
      static_cast<const parse::Expr::variant&>(e.value));
}

One lower_leaf(Ctx& ctx, const SpannedExpr& e) {
  const Span span = e.span;
  return std::visit(
      [&](const auto& x) -> One {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, ex::BoolLit>) {
          return ctx.push(node::Const{x.value}, dtypes::kBool);
        } else if constexpr (std::is_same_v<T, ex::IntLit>) {
          return lower_int_literal(ctx, x.value, x.dtype, span);
        } else if constexpr (std::is_same_v<T, ex::FloatLit>) {
          return lower_float_literal(ctx, x.dtype, span, x.value);
        } else if constexpr (std::is_same_v<T, ex::ComplexLit>) {
          return lower_complex_literal(ctx, x.dtype, span, x.re, x.im);
        } else if constexpr (std::is_same_v<T, ex::ConstE>) {
          return ctx.push(node::Const{2.718281828459045}, dtypes::kF64);
        } else if constexpr (std::is_same_v<T, ex::ConstPi>) {
          return ctx.push(node::Const{3.141592653589793}, dtypes::kF64);
        } else if constexpr (std::is_same_v<T, ex::Var>) {
          if (const NodeId* id = ctx.scope.find(x.name.view())) return *id;
          return undefined(ctx, error::lower_undefined_variable(x.name, span));
        } else {
          support::internal_fault("lowering: not a leaf expression");
        }
      },
      static_cast<const parse::Expr::variant&>(e.value));
}

/// Marks a `Let` that found no earlier binding of its name; `push` never hands out this id.
constexpr NodeId kUnbound = std::numeric_limits<NodeId>::max();

/// The walk over a syntax tree. Children are lowered before their parent, left to right, but
/// the pending work is an explicit stack of tasks and the finished values an explicit stack of
/// ids, so the depth of the tree costs 16 bytes per level and no machine stack.
class Walk {
 public:
  /// What becomes of the scope once the walk is over.
  enum class ScopeAfter : std::uint8_t {
    /// Left as it was before the walk.
    Restored,
    /// Dropped unread. The assignments that enclose all the rest are then not undone one by
    /// one at the end: in a big kernel that is a cache miss per assignment, for nothing.
    Dropped,
  };

  explicit Walk(Ctx& ctx, ScopeAfter after = ScopeAfter::Restored) : ctx_(ctx), after_(after) {}

  /// Lowers `e` whatever number of values it gives.
  std::expected<Ids, Diag> any(const SpannedExpr& e) {
    tasks_.push_back({&e});
    return finish();
  }
  /// Lowers `e`, which must give one value.
  std::expected<Ids, Diag> single(const SpannedExpr& e, DType placeholder) {
    TRY_VOID(operand(e, placeholder));
    return finish();
  }

 private:
  struct Task {
    const SpannedExpr* e;
    /// A `Single`'s value-stack height at its start; a call's builtin; a tuple's next element;
    /// a `Let`'s name's hash while its value lowers, then the earlier binding of its name
    /// (kUnbound when none).
    std::uint32_t aux = 0;
    std::uint8_t step = 0;
    /// Set for the check that `e` gave exactly one value, with that placeholder kind.
    bool single = false;
    bool bool_placeholder = false;
    /// Set for a `Let` lowering its body when nothing but the undoing of such `Let`s comes
    /// after that body: no name is looked up once it is done.
    bool last = false;
  };
  static_assert(sizeof(Task) <= 16);

  /// Queues `e` in an operand position. Only a tuple, or an assignment whose body is one, can
  /// give other than one value, so only they get the check. A leaf, which would be the very
  /// next task, is lowered at once instead: about half of all nodes are leaves.
  std::expected<void, Diag> operand(const SpannedExpr& e, DType placeholder) {
    if (is_leaf(e)) {
      TRY(id, lower_leaf(ctx_, e));
      values_.push_back(id);
      return {};
    }
    if (std::holds_alternative<ex::Tuple>(e.value) || std::holds_alternative<ex::Let>(e.value)) {
      tasks_.push_back(
          {&e, static_cast<std::uint32_t>(values_.size()), 0, true, placeholder == dtypes::kBool});
    }
    tasks_.push_back({&e});
    return {};
  }

  NodeId pop() {
    NodeId id = values_.back();
    values_.pop_back();
    return id;
  }

  /// Completes the current task with `id` as its value.
  std::expected<void, Diag> done(One id) {
    if (!id) return std::unexpected(std::move(id.error()));
    values_.push_back(*id);
    tasks_.pop_back();
    return {};
  }

  std::expected<Ids, Diag> finish() {
    while (!tasks_.empty()) {
      support::poll_cancel();
      if (auto r = step(); !r) {
        restore_scope();
        return std::unexpected(std::move(r.error()));
      }
    }
    return Ids(values_.begin(), values_.end());
  }

  /// Advances the task on top by one step. `t` is not touched once new tasks are queued.
  std::expected<void, Diag> step() {
    Task& t = tasks_.back();
    const SpannedExpr& e = *t.e;
    if (t.single) {
      const std::size_t n = values_.size() - t.aux;
      if (n == 1) {
        tasks_.pop_back();
        return {};
      }
      values_.resize(t.aux);
      return done(ctx_.on_error(error::lower_tuple_in_scalar_position(1, n, e.span),
                                t.bool_placeholder ? dtypes::kBool : dtypes::kF64));
    }
    const std::uint8_t at = t.step++;
    if (const auto* u = std::get_if<ex::Unary>(&e.value)) {
      if (at == 0) {
        if (u->op == UnaryOp::Neg) {
          if (auto lit = lower_negated_literal(ctx_, *u->operand)) return done(std::move(*lit));
        }
        return operand(*u->operand, dtypes::kF64);
      }
      return done(finish_unary(ctx_, *u, e.span, pop()));
    }
    if (const auto* b = std::get_if<ex::Binary>(&e.value)) {
      if (at < 2) {
        return operand(at == 0 ? *b->lhs : *b->rhs, dtypes::kF64);
      }
      const NodeId rhs = pop();
      const NodeId lhs = pop();
      return done(finish_binary(ctx_, *b, e.span, lhs, rhs));
    }
    if (const auto* i = std::get_if<ex::If>(&e.value)) {
      if (at < 3) {
        const SpannedExpr* parts[] = {i->cond.get(), i->then_branch.get(), i->else_branch.get()};
        return operand(*parts[at], at == 0 ? dtypes::kBool : dtypes::kF64);
      }
      const NodeId else_id = pop();
      const NodeId then_id = pop();
      const NodeId cond = pop();
      return done(finish_if(ctx_, *i, e.span, cond, then_id, else_id));
    }
    if (const auto* c = std::get_if<ex::Call>(&e.value)) {
      if (at == 0) {
        const auto builtin = callable_builtin(*c);
        if (!builtin || c->args.size() != 1) return done(failed_call(ctx_, *c, e.span));
        t.aux = static_cast<std::uint32_t>(*builtin);
        return operand(c->args[0], dtypes::kF64);
      }
      const auto builtin = static_cast<Builtin>(t.aux);
      const NodeId arg = pop();
      return done(ctx_.push(node::Call{{arg}, builtin}, ctx_.dtypes[arg]));
    }
    if (const auto* c = std::get_if<ex::Cast>(&e.value)) {
      if (at == 0) {
        if (const auto* inner = std::get_if<ex::Cast>(&c->operand->value)) {
          TRY_VOID(ctx_.report(diag::DiagKind::RedundantCast, [&] {
            return error::lower_redundant_cast(inner->dtype, c->dtype, e.span);
          }));
        }
        return operand(*c->operand, dtypes::kF64);
      }
      return done(ctx_.push(node::Cast{c->dtype, pop(), true}, c->dtype));
    }
    if (const auto* tuple = std::get_if<ex::Tuple>(&e.value)) {
      // Each element leaves its one value on the stack; together they are the tuple's values.
      if (t.aux < tuple->elements.size()) {
        const SpannedExpr& element = tuple->elements[t.aux++];
        return operand(element, dtypes::kF64);
      }
      tasks_.pop_back();
      return {};
    }
    if (const auto* l = std::get_if<ex::Let>(&e.value)) {
      if (at == 0) {
        // The binding's slot is fetched into the cache while the value is lowered.
        t.aux = ctx_.scope.prefetch(l->name.view());
        prefetch_line_before(l->body.get());
        return operand(*l->value, dtypes::kF64);
      }
      if (at == 1) {
        // The value is lowered before the name is bound, so it sees the earlier binding.
        const NodeId value = pop();
        t.aux = ctx_.scope.bind(l->name.view(), value, t.aux).value_or(kUnbound);
        t.last = tasks_.size() == 1 || tasks_[tasks_.size() - 2].last;
        tasks_.push_back({l->body.get()});
      } else {
        if (!t.last || after_ == ScopeAfter::Restored) unbind(*l, t.aux);
        tasks_.pop_back();
      }
      return {};
    }
    return done(lower_leaf(ctx_, e));
  }

  /// Fetches into the cache the memory just below `next`, the assignment after the one being
  /// lowered. The parser places an assignment's nodes just before the assignment itself, so
  /// that is where the next line's nodes lie, and reading them while this line lowers hides the
  /// misses that would otherwise stall nearly every node of a big tree. A hint only: a tree laid
  /// out otherwise is lowered as well, if not as fast. Without it, and the scope slot's fetch,
  /// bench/frontend_bench.cpp's BM_ParseLowerEmit takes about a third longer.
  static void prefetch_line_before(const SpannedExpr* next) {
    if (next == nullptr) return;
    const char* end = reinterpret_cast<const char*>(next);
    for (std::size_t back = 0; back < kLinePrefetch; back += 64) __builtin_prefetch(end - back);
  }
  static constexpr std::size_t kLinePrefetch = 640;

  /// Restores the binding a `Let` replaced, or removes its name.
  void unbind(const ex::Let& l, NodeId earlier) {
    ctx_.scope.restore(l.name.view(),
                       earlier == kUnbound ? std::nullopt : std::optional<NodeId>(earlier));
  }

  /// After a failure: the bindings of the assignments still open are undone, innermost first.
  void restore_scope() {
    for (std::size_t i = tasks_.size(); i-- > 0;) {
      const Task* t = &tasks_[i];
      const auto* l = std::get_if<ex::Let>(&t->e->value);
      if (l != nullptr && !t->single && t->step == 2) unbind(*l, t->aux);
    }
  }

  Ctx& ctx_;
  ScopeAfter after_;
  support::SegmentedStack<Task, 32> tasks_;
  std::vector<NodeId> values_;
};

/// Registers the parameters, lowers the body and validates the DAG.
std::expected<TypedDag, Diag> lower_function(Ctx& ctx, const parse::FuncDef& f) {
  std::vector<Param> params;
  params.reserve(f.params.size());
  ctx.scope.reserve(f.params.size() + f.arena.bindings);
  for (std::size_t k = 0; k < f.params.size(); ++k) {
    const auto& p = f.params[k];
    NodeId id = ctx.push(node::Param{static_cast<std::uint32_t>(k)}, p.dtype);
    ctx.scope.bind(p.name, id);
    params.push_back(Param{p.name, p.dtype});
  }
  // Most nodes of the tree give exactly one node of the DAG; reserving that many up front keeps
  // the DAG from being copied while it grows. The parser has counted them; a tree built
  // otherwise is counted here.
  std::size_t producing = f.arena.value_nodes;
  if (producing == 0) {
    parse::for_each_node(f.body, [&](const SpannedExpr& e) {
      producing += !std::holds_alternative<ex::Var>(e.value) &&
                   !std::holds_alternative<ex::Let>(e.value) &&
                   !std::holds_alternative<ex::Tuple>(e.value);
    });
  }
  // Promotion adds implicit casts on top, typically a fifth as many again; the room for them is
  // only address space until they are made.
  const std::size_t expected = ctx.nodes.size() + producing + producing / 4;
  ctx.nodes.reserve(expected);
  ctx.dtypes.reserve(expected);
  // The scope goes with `ctx` once the DAG is built.
  TRY(outputs, Walk(ctx, Walk::ScopeAfter::Dropped).any(f.body));
  auto dag = TypedDag::try_new(std::move(ctx.nodes), std::move(ctx.dtypes), std::move(params),
                               std::move(outputs));
  if (!dag) support::internal_fault("lower produced invalid TypedDag: " + dag.error().to_string());
  return std::move(*dag);
}

}  // namespace

std::expected<Ids, Diag> lower_expr(Ctx& ctx, const SpannedExpr& e) { return Walk(ctx).any(e); }

std::expected<NodeId, Diag> lower_single(Ctx& ctx, const SpannedExpr& e, DType placeholder) {
  TRY(ids, Walk(ctx).single(e, placeholder));
  return ids[0];
}

CollectResult lower_with_config_collect(const parse::FuncDef& f, const diag::DiagConfig& config,
                                        Keep keep) {
  Ctx ctx;
  ctx.mode.kind = DiagMode::Kind::Collect;
  ctx.mode.config = config;
  ctx.mode.keep = keep;
  auto dag = lower_function(ctx, f);
  if (!dag) {
    support::internal_fault(
        "internal error: entered unreachable code: Collect mode never returns Err");
  }
  return CollectResult{std::move(*dag), std::move(ctx.mode.warnings), std::move(ctx.mode.errors)};
}

std::expected<FailFastResult, Diag> lower_with_config_fail_fast(const parse::FuncDef& f,
                                                                const diag::DiagConfig& config) {
  Ctx ctx;
  ctx.mode.kind = DiagMode::Kind::FailFast;
  ctx.mode.config = config;
  TRY(dag, lower_function(ctx, f));
  return FailFastResult{std::move(dag), std::move(ctx.mode.warnings)};
}

}  // namespace tarvelon::ir

#undef TRY
#undef TRY_VOID
