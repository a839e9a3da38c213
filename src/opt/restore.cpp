#include "opt/restore.h"

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "egraph/text.h"
#include "ir/convert.h"
#include "opt/typed_ops.h"
#include "support/cancel.h"

namespace tarvelon::opt {

OptError invalid_node(Id index, const MathLang& node) {
  return OptError::invalid_expr(egraph::cat("invalid node #", index, ": ", debug_text(node)));
}

std::expected<vocab::DType, OptError> try_promote(std::string_view op_name, Id index,
                                                  vocab::DType lhs, vocab::DType rhs,
                                                  const MathLang& node,
                                                  std::vector<diag::Diag>& diags) {
  // Operands of one dtype, as nearly all are, keep it and need no note.
  if (lhs == rhs) return lhs;
  auto promoted = vocab::promote(lhs, rhs);
  if (!promoted) return std::unexpected(invalid_node(index, node));
  if (!(*promoted == lhs && *promoted == rhs)) {
    diags.push_back(diag::Diag::make(
        diag::DiagKind::RestorePromotion,
        egraph::cat("implicit promotion in restore:", op_name, " at node#", index, ": ",
                    lhs.to_str(), " + ", rhs.to_str(), " -> ", promoted->to_str())));
  }
  return *promoted;
}

namespace {

constexpr ir::NodeId kNone = std::numeric_limits<ir::NodeId>::max();

bool is_arithmetic(vocab::BinaryOp op) {
  switch (op) {
    case vocab::BinaryOp::Add:
    case vocab::BinaryOp::Sub:
    case vocab::BinaryOp::Mul:
    case vocab::BinaryOp::Div:
    case vocab::BinaryOp::FloorDiv:
    case vocab::BinaryOp::Rem:
    case vocab::BinaryOp::Pow:
      return true;
    default:
      return false;
  }
}

/// The constant for a leaf's value in dtype `dtype`: an integer or float value is converted to
/// the dtype's kind, and a boolean dtype takes whether the value is nonzero (NaN counts).
ir::Literal constant_in(const MathLang& leaf, vocab::DType dtype) {
  bool is_int = leaf.op() == MathOp::Int;
  double as_float = is_int ? static_cast<double>(leaf.int_value()) : leaf.num_value();
  switch (dtype.kind) {
    case vocab::DTypeKind::Bool:
      return is_int ? leaf.int_value() != 0 : as_float != 0.0 || std::isnan(as_float);
    case vocab::DTypeKind::UInt:
    case vocab::DTypeKind::Int:
      return is_int ? leaf.int_value() : ir::saturate_to_i64(as_float);
    case vocab::DTypeKind::Float:
      return as_float;
    case vocab::DTypeKind::Complex:
      break;
  }
  return ir::ComplexValue{as_float, 0.0};
}

/// The rebuilding of one DAG from an extracted term, entry by entry.
class Restorer {
 public:
  Restorer(const egraph::RecExpr<MathLang>& expr, const TypeMap& types,
           std::span<const ir::Param> params)
      : expr_(expr), types_(types), params_(params), node_of_(expr.size(), kNone) {
    // A node an entry, type tokens aside.
    nodes_.reserve(expr.size());
    dtypes_.reserve(expr.size());
  }

  std::expected<RestoreResult, OptError> run() {
    if (expr_.empty())
      return std::unexpected(OptError::invalid_expr("cannot restore empty expression"));
    for (Id i = 0; i < expr_.size(); ++i) {
      support::poll_cancel();
      if (auto restored = restore(i, expr_[i]); !restored)
        return std::unexpected(std::move(restored.error()));
    }
    Id root = static_cast<Id>(expr_.size() - 1);
    if (node_of_[root] == kNone) return std::unexpected(invalid_node(root, expr_[root]));
    auto dag = ir::TypedDag::try_new(std::move(nodes_), std::move(dtypes_),
                                     std::vector<ir::Param>(params_.begin(), params_.end()),
                                     {node_of_[root]});
    if (!dag)
      return std::unexpected(
          OptError::invalid_expr("restored TypedDag invalid: " + dag.error().to_string()));
    return RestoreResult{std::move(*dag), std::move(diags_)};
  }

 private:
  using Step = std::expected<void, OptError>;

  Step push(Id i, ir::Node node, vocab::DType dtype) {
    node_of_[i] = static_cast<ir::NodeId>(nodes_.size());
    nodes_.push_back(std::move(node));
    dtypes_.push_back(dtype);
    return {};
  }

  /// The DAG node built for child `k`, if one was.
  std::optional<ir::NodeId> built(Id k) const {
    return node_of_[k] == kNone ? std::nullopt : std::optional(node_of_[k]);
  }

  Step restore(Id i, const MathLang& node) {
    auto invalid = [&] { return std::unexpected(invalid_node(i, node)); };
    switch (node.op()) {
      case MathOp::Bool:
        return push(i, ir::node::Const{node.bool_value()}, vocab::dtypes::kBool);
      case MathOp::Int:
      case MathOp::Num: {
        std::optional<vocab::DType> recorded = types_.constants.find(node);
        vocab::DType dtype =
            recorded.value_or(node.op() == MathOp::Int ? vocab::dtypes::kI64 : vocab::dtypes::kF64);
        return push(i, ir::node::Const{constant_in(node, dtype)}, dtype);
      }
      case MathOp::Complex: {
        const MathLang& re = expr_[node.children()[0]];
        const MathLang& im = expr_[node.children()[1]];
        if (re.op() != MathOp::Num || im.op() != MathOp::Num) return invalid();
        // A complex literal written with a real suffix (`0.5j@f64`) is a complex value in a
        // node of that real dtype; it comes back as it went in.
        vocab::DType dtype = types_.constants.find_complex(re.num_value(), im.num_value())
                                 .value_or(vocab::dtypes::kC128);
        return push(i, ir::node::Const{ir::ComplexValue{re.num_value(), im.num_value()}}, dtype);
      }
      case MathOp::Param: {
        const MathLang& index = expr_[node.children()[0]];
        if (index.op() != MathOp::Int || index.int_value() < 0 ||
            static_cast<std::uint64_t>(index.int_value()) >= params_.size()) {
          return invalid();
        }
        auto k = static_cast<std::uint32_t>(index.int_value());
        return push(i, ir::node::Param{k}, params_[k].dtype);
      }
      case MathOp::Cast: {
        const MathLang& token = expr_[node.children()[0]];
        auto arg = built(node.children()[1]);
        if (token.op() != MathOp::TypeToken || !arg) return invalid();
        auto to = vocab::DType::from_str(token.symbol().as_str());
        if (!to) return invalid();
        return push(i, ir::node::Cast{*to, *arg, false}, *to);
      }
      case MathOp::TypeToken:
        return {};
      case MathOp::IfElse: {
        auto cond = built(node.children()[0]);
        auto then_branch = built(node.children()[1]);
        auto else_branch = built(node.children()[2]);
        if (!cond || !then_branch || !else_branch) return invalid();
        auto dtype =
            try_promote("IfElse", i, dtypes_[*then_branch], dtypes_[*else_branch], node, diags_);
        if (!dtype) return std::unexpected(std::move(dtype.error()));
        return push(i, ir::node::If{*cond, *then_branch, *else_branch}, *dtype);
      }
      default:
        break;
    }
    if (auto op = binary_op_of(node.op())) {
      auto lhs = built(node.children()[0]);
      auto rhs = built(node.children()[1]);
      if (!lhs || !rhs) return invalid();
      vocab::DType dtype = vocab::dtypes::kBool;
      if (is_arithmetic(*op)) {
        // Operands of one dtype, as nearly all are, keep it without the operator being named.
        if (dtypes_[*lhs] == dtypes_[*rhs]) {
          dtype = dtypes_[*lhs];
        } else {
          auto promoted =
              try_promote(math_op_name(node.op()), i, dtypes_[*lhs], dtypes_[*rhs], node, diags_);
          if (!promoted) return std::unexpected(std::move(promoted.error()));
          dtype = *promoted;
        }
      }
      return push(i, ir::node::Binary{*lhs, *rhs, *op}, dtype);
    }
    auto arg = built(node.children()[0]);
    if (!arg) return invalid();
    if (auto op = unary_op_of(node.op())) {
      vocab::DType dtype = *op == vocab::UnaryOp::Not ? vocab::dtypes::kBool : dtypes_[*arg];
      return push(i, ir::node::Unary{*arg, *op}, dtype);
    }
    if (auto builtin = builtin_of(node.op()))
      return push(i, ir::node::Call{{*arg}, *builtin}, dtypes_[*arg]);
    support::internal_fault(egraph::cat("no typed-DAG form for ", debug_text(node)));
  }

  const egraph::RecExpr<MathLang>& expr_;
  const TypeMap& types_;
  std::span<const ir::Param> params_;
  /// Entry index -> the DAG node built for it, or kNone (a type token).
  std::vector<ir::NodeId> node_of_;
  std::vector<ir::Node> nodes_;
  std::vector<vocab::DType> dtypes_;
  std::vector<diag::Diag> diags_;
};

}  // namespace

std::expected<RestoreResult, OptError> restore_types_with_info(
    const egraph::RecExpr<MathLang>& expr, const TypeMap& types,
    std::span<const ir::Param> params) {
  return Restorer(expr, types, params).run();
}

}  // namespace tarvelon::opt
