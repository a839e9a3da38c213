#include "ir/lower.h"

#include <limits>
#include <type_traits>

#include "ir/error.h"
#include "support/internal_fault.h"
#include "support/stack_guard.h"

namespace tarvelon::ir {

namespace ex = parse::expr;
using parse::SpannedExpr;

NodeId Ctx::push(Node node, DType dtype) {
  if (nodes.size() >= std::numeric_limits<NodeId>::max()) {
    throw std::bad_alloc();  // ids are 32-bit; a kernel this large cannot be represented
  }
  nodes.push_back(std::move(node));
  dtypes.push_back(dtype);
  return static_cast<NodeId>(nodes.size() - 1);
}

NodeId Ctx::cast_if_needed(NodeId id, DType to) {
  if (dtypes[id] == to) return id;
  return push(node::Cast{to, id, false}, to);
}

std::expected<void, Diag> Ctx::emit(Diag d) {
  switch (mode.config.severity(d.kind)) {
    case diag::Severity::Allow:
      return {};
    case diag::Severity::Note:
    case diag::Severity::Warning:
      mode.warnings.push_back(std::move(d));
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

using Lowered = std::expected<Ids, Diag>;
using One = std::expected<NodeId, Diag>;

/// Propagates the failure of a fallible step, or yields its value.
#define TRY(var, expr)                                           \
  auto var##_result = (expr);                                    \
  if (!var##_result) return std::unexpected(std::move(var##_result.error())); \
  auto var = std::move(*var##_result)

#define TRY_VOID(expr)                                          \
  do {                                                          \
    auto try_void_result_ = (expr);                             \
    if (!try_void_result_) return std::unexpected(std::move(try_void_result_.error())); \
  } while (false)

Lowered one(One r) {
  if (!r) return std::unexpected(std::move(r.error()));
  return Ids{*r};
}

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

One lower_unary(Ctx& ctx, const ex::Unary& u, Span span) {
  if (u.op == UnaryOp::Neg) {
    if (auto lit = lower_negated_literal(ctx, *u.operand)) return std::move(*lit);
  }
  TRY(arg, lower_single(ctx, *u.operand, dtypes::kF64));
  DType d = ctx.dtypes[arg];
  if (u.op == UnaryOp::Not) {
    if (!is_bool(d)) {
      return ctx.on_error(error::lower_type_mismatch("not", d, dtypes::kBool, span),
                          dtypes::kBool);
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
  TRY(t, promote_with_diags(ctx, op_text(op), ctx.dtypes[lhs], ctx.dtypes[rhs], span,
                            std::pair{lspan, rspan}));
  NodeId l = ctx.cast_if_needed(lhs, t);
  NodeId r = ctx.cast_if_needed(rhs, t);
  return ctx.push(node::Binary{l, r, op}, result.value_or(t));
}

One lower_binary(Ctx& ctx, const ex::Binary& b, Span span) {
  TRY(lhs, lower_single(ctx, *b.lhs, dtypes::kF64));
  TRY(rhs, lower_single(ctx, *b.rhs, dtypes::kF64));
  DType l = ctx.dtypes[lhs];
  DType r = ctx.dtypes[rhs];
  std::string_view text = op_text(b.op);
  if ((b.op == BinaryOp::FloorDiv || b.op == BinaryOp::Rem) && is_int_zero(ctx.nodes[rhs])) {
    TRY_VOID(ctx.emit(error::lower_div_by_zero(text, span)));
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
      return promoted_binary(ctx, b.op, lhs, rhs, span, b.lhs->span, b.rhs->span,
                             dtypes::kBool);
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

One lower_if(Ctx& ctx, const ex::If& i, Span span) {
  TRY(cond, lower_single(ctx, *i.cond, dtypes::kBool));
  TRY(a, lower_single(ctx, *i.then_branch, dtypes::kF64));
  TRY(b, lower_single(ctx, *i.else_branch, dtypes::kF64));
  if (!is_bool(ctx.dtypes[cond])) {
    TRY_VOID(ctx.emit(
        error::lower_type_mismatch("if_cond", ctx.dtypes[cond], dtypes::kBool, i.cond->span)));
  }
  TRY(t, promote_with_diags(ctx, "if_branch", ctx.dtypes[a], ctx.dtypes[b], span, std::nullopt));
  NodeId then_id = ctx.cast_if_needed(a, t);
  NodeId else_id = ctx.cast_if_needed(b, t);
  return ctx.push(node::If{cond, then_id, else_id}, t);
}

One lower_call(Ctx& ctx, const ex::Call& c, Span span) {
  auto builtin = builtin_from_str(c.name);
  if (!builtin || !builtin_callable(*builtin)) {
    return undefined(ctx, error::lower_undefined_function(c.name, span));
  }
  if (c.args.size() != 1) {
    return ctx.on_error(error::lower_arg_count(c.name, 1, c.args.size(), span), dtypes::kF64);
  }
  TRY(arg, lower_single(ctx, c.args[0], dtypes::kF64));
  return ctx.push(node::Call{{arg}, *builtin}, ctx.dtypes[arg]);
}

One lower_cast(Ctx& ctx, const ex::Cast& c, Span span) {
  if (const auto* inner = std::get_if<ex::Cast>(&c.operand->value)) {
    TRY_VOID(ctx.emit(error::lower_redundant_cast(inner->dtype, c.dtype, span)));
  }
  TRY(arg, lower_single(ctx, *c.operand, dtypes::kF64));
  return ctx.push(node::Cast{c.dtype, arg, true}, c.dtype);
}

Lowered lower_let(Ctx& ctx, const ex::Let& l) {
  TRY(value, lower_single(ctx, *l.value, dtypes::kF64));
  std::optional<NodeId> previous;
  auto [it, inserted] = ctx.scope.try_emplace(l.name, value);
  if (!inserted) {
    previous = it->second;
    it->second = value;
  }
  Lowered body = lower_expr(ctx, *l.body);
  // The walk below may have rehashed the scope: look the name up again to restore it.
  if (previous) {
    ctx.scope.find(l.name)->second = *previous;
  } else {
    ctx.scope.erase(ctx.scope.find(l.name));
  }
  return body;
}

Lowered lower_expr_unguarded(Ctx& ctx, const SpannedExpr& e) {
  const Span span = e.span;
  return std::visit(
      [&](const auto& x) -> Lowered {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, ex::BoolLit>) {
          return Ids{ctx.push(node::Const{x.value}, dtypes::kBool)};
        } else if constexpr (std::is_same_v<T, ex::IntLit>) {
          return one(lower_int_literal(ctx, x.value, x.dtype, span));
        } else if constexpr (std::is_same_v<T, ex::FloatLit>) {
          return one(lower_float_literal(ctx, x.dtype, span, x.value));
        } else if constexpr (std::is_same_v<T, ex::ComplexLit>) {
          return one(lower_complex_literal(ctx, x.dtype, span, x.re, x.im));
        } else if constexpr (std::is_same_v<T, ex::ConstE>) {
          return Ids{ctx.push(node::Const{2.718281828459045}, dtypes::kF64)};
        } else if constexpr (std::is_same_v<T, ex::ConstPi>) {
          return Ids{ctx.push(node::Const{3.141592653589793}, dtypes::kF64)};
        } else if constexpr (std::is_same_v<T, ex::Var>) {
          if (auto it = ctx.scope.find(std::string_view(x.name)); it != ctx.scope.end()) {
            return Ids{it->second};
          }
          return one(undefined(ctx, error::lower_undefined_variable(x.name, span)));
        } else if constexpr (std::is_same_v<T, ex::Unary>) {
          return one(lower_unary(ctx, x, span));
        } else if constexpr (std::is_same_v<T, ex::Binary>) {
          return one(lower_binary(ctx, x, span));
        } else if constexpr (std::is_same_v<T, ex::If>) {
          return one(lower_if(ctx, x, span));
        } else if constexpr (std::is_same_v<T, ex::Call>) {
          return one(lower_call(ctx, x, span));
        } else if constexpr (std::is_same_v<T, ex::Cast>) {
          return one(lower_cast(ctx, x, span));
        } else if constexpr (std::is_same_v<T, ex::Tuple>) {
          Ids ids;
          ids.reserve(x.elements.size());
          for (const SpannedExpr& el : x.elements) {
            TRY(id, lower_single(ctx, el, dtypes::kF64));
            ids.push_back(id);
          }
          return ids;
        } else {
          static_assert(std::is_same_v<T, ex::Let>);
          return lower_let(ctx, x);
        }
      },
      static_cast<const parse::Expr::variant&>(e.value));
}

/// Registers the parameters, lowers the body and validates the DAG.
std::expected<TypedDag, Diag> lower_function(Ctx& ctx, const parse::FuncDef& f) {
  std::vector<Param> params;
  params.reserve(f.params.size());
  for (std::size_t k = 0; k < f.params.size(); ++k) {
    const auto& p = f.params[k];
    NodeId id = ctx.push(node::Param{static_cast<std::uint32_t>(k)}, p.dtype);
    ctx.scope.insert_or_assign(p.name, id);
    params.push_back(Param{p.name, p.dtype});
  }
  TRY(outputs, lower_expr(ctx, f.body));
  auto dag = TypedDag::try_new(std::move(ctx.nodes), std::move(ctx.dtypes), std::move(params),
                               std::move(outputs));
  if (!dag) support::internal_fault("lower produced invalid TypedDag: " + dag.error().to_string());
  return std::move(*dag);
}

}  // namespace

std::expected<Ids, Diag> lower_expr(Ctx& ctx, const SpannedExpr& e) {
  return support::with_stack_guard([&] { return lower_expr_unguarded(ctx, e); });
}

std::expected<NodeId, Diag> lower_single(Ctx& ctx, const SpannedExpr& e, DType placeholder) {
  TRY(ids, lower_expr(ctx, e));
  if (ids.size() == 1) return ids[0];
  return ctx.on_error(error::lower_tuple_in_scalar_position(1, ids.size(), e.span), placeholder);
}

CollectResult lower_with_config_collect(const parse::FuncDef& f, const diag::DiagConfig& config) {
  Ctx ctx;
  ctx.mode.kind = DiagMode::Kind::Collect;
  ctx.mode.config = config;
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
