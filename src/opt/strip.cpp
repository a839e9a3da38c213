#include "opt/strip.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <string>
#include <type_traits>
#include <variant>

#include "egraph/text.h"
#include "opt/typed_ops.h"
#include "support/cancel.h"

namespace tarvelon::opt {

namespace {

std::size_t canonical_rank(vocab::DType dtype) {
  return static_cast<std::size_t>(
      std::find(std::begin(vocab::dtypes::kAll), std::end(vocab::dtypes::kAll), dtype) -
      std::begin(vocab::dtypes::kAll));
}

template <class Map, class Key>
void keep_least(Map& map, const Key& key, vocab::DType dtype) {
  auto [stored, inserted] = map.try_emplace(key, dtype);
  if (!inserted && canonical_rank(dtype) < canonical_rank(*stored)) *stored = dtype;
}

}  // namespace

void ConstantDtypes::record(const MathLang& leaf, vocab::DType dtype) {
  keep_least(leaves_, leaf, dtype);
}

void ConstantDtypes::record_complex(double re, double im, vocab::DType dtype) {
  keep_least(complexes_, ComplexKey{MathLang::num(re), MathLang::num(im)}, dtype);
}

std::optional<vocab::DType> ConstantDtypes::find(const MathLang& leaf) const {
  const vocab::DType* dtype = leaves_.find(leaf);
  return dtype == nullptr ? std::nullopt : std::optional(*dtype);
}

std::optional<vocab::DType> ConstantDtypes::find_complex(double re, double im) const {
  const vocab::DType* dtype = complexes_.find(ComplexKey{MathLang::num(re), MathLang::num(im)});
  return dtype == nullptr ? std::nullopt : std::optional(*dtype);
}

namespace {

constexpr Id kUnmapped = std::numeric_limits<Id>::max();

/// The translation of one DAG, node by node in index order.
class Stripper {
 public:
  explicit Stripper(const ir::TypedDag& dag)
      : dag_(dag), entry_of_(dag.nodes.size(), kUnmapped), live_(dag.nodes.size(), 0) {
    // Operands precede their users, so one backward sweep marks everything the output uses.
    live_[dag.outputs.front()] = 1;
    // An entry a node, a cast's type token aside.
    out_.expr.reserve(dag.nodes.size());
    out_.types.node_dtypes.reserve(dag.nodes.size());
    for (std::size_t j = dag.nodes.size(); j-- > 0;) {
      support::poll_cancel();
      if (!live_[j]) continue;
      ir::for_each_operand(dag.nodes[j], [&](ir::NodeId child) {
        if (child < j) live_[child] = 1;
      });
    }
  }

  std::expected<StrippedExpr, OptError> run() {
    for (ir::NodeId j = 0; j < dag_.nodes.size(); ++j) {
      support::poll_cancel();
      auto entry = std::visit([&](const auto& node) { return translate(j, node); }, dag_.nodes[j]);
      if (!entry) return std::unexpected(std::move(entry.error()));
      entry_of_[j] = *entry;
    }
    // A valid DAG's output is one of its nodes, and every node now has an entry.
    return StrippedExpr{std::move(out_.expr), std::move(out_.types),
                        entry_of_[dag_.outputs.front()]};
  }

 private:
  using Result = std::expected<Id, OptError>;

  Id push(MathLang node, vocab::DType dtype) {
    out_.types.node_dtypes.push_back(dtype);
    return out_.expr.add(node);
  }

  /// The entry of operand `child` of node `j`, or the "missing ... mapping" error.
  std::expected<Id, OptError> operand(ir::NodeId j, ir::NodeId child, const char* what) const {
    if (child < j && entry_of_[child] != kUnmapped) return entry_of_[child];
    return std::unexpected(missing(j, what));
  }

  /// Out of line, so that the lookup of every operand stays small enough to inline.
  [[gnu::noinline, gnu::cold]] static OptError missing(ir::NodeId j, const char* what) {
    return OptError::invalid_expr(egraph::cat("missing ", what, " mapping for node ", j));
  }

  vocab::DType dtype(ir::NodeId j) const { return dag_.dtypes[j]; }

  Result translate(ir::NodeId j, const ir::node::Const& node) {
    return std::visit(
        [&](const auto& value) -> Result {
          using T = std::decay_t<decltype(value)>;
          MathLang leaf;
          if constexpr (std::is_same_v<T, bool>) {
            leaf = MathLang::boolean(value);
          } else if constexpr (std::is_same_v<T, std::int64_t>) {
            leaf = MathLang::integer(value);
          } else if constexpr (std::is_same_v<T, double>) {
            leaf = MathLang::num(value);
          } else {
            vocab::DType part =
                dtype(j) == vocab::dtypes::kC64 ? vocab::dtypes::kF32 : vocab::dtypes::kF64;
            Id re = push(MathLang::num(value.re), part);
            Id im = push(MathLang::num(value.im), part);
            if (live_[j]) out_.types.constants.record_complex(value.re, value.im, dtype(j));
            return push(MathLang(MathOp::Complex, {re, im}), dtype(j));
          }
          if (live_[j]) out_.types.constants.record(leaf, dtype(j));
          return push(leaf, dtype(j));
        },
        node.value);
  }

  Result translate(ir::NodeId j, const ir::node::Param& node) {
    Id index = push(MathLang::integer(static_cast<std::int64_t>(node.index)), vocab::dtypes::kI64);
    return push(MathLang(MathOp::Param, {index}), dtype(j));
  }

  Result translate(ir::NodeId j, const ir::node::Unary& node) {
    auto arg = operand(j, node.arg, "unary child");
    if (!arg) return arg;
    return push(MathLang(math_op_of(node.op), {*arg}), dtype(j));
  }

  Result translate(ir::NodeId j, const ir::node::Binary& node) {
    auto lhs = operand(j, node.lhs, "binary lhs");
    if (!lhs) return lhs;
    auto rhs = operand(j, node.rhs, "binary rhs");
    if (!rhs) return rhs;
    return push(MathLang(math_op_of(node.op), {*lhs, *rhs}), dtype(j));
  }

  Result translate(ir::NodeId j, const ir::node::If& node) {
    auto cond = operand(j, node.cond, "if condition");
    if (!cond) return cond;
    auto then_branch = operand(j, node.then_branch, "if true branch");
    if (!then_branch) return then_branch;
    auto else_branch = operand(j, node.else_branch, "if false branch");
    if (!else_branch) return else_branch;
    return push(MathLang(MathOp::IfElse, {*cond, *then_branch, *else_branch}), dtype(j));
  }

  Result translate(ir::NodeId j, const ir::node::Call& node) {
    if (node.args.size() != 1) {
      return std::unexpected(
          OptError::unsupported_call(std::string(vocab::builtin_name(node.builtin))));
    }
    auto arg = operand(j, node.args.front(), "call arg");
    if (!arg) return arg;
    return push(MathLang(math_op_of(node.builtin), {*arg}), dtype(j));
  }

  Result translate(ir::NodeId j, const ir::node::Cast& node) {
    auto arg = operand(j, node.arg, "cast child");
    if (!arg) return arg;
    Id token = push(MathLang::type_token(egraph::GlobalSymbol(node.to.to_str())), node.to);
    return push(MathLang(MathOp::Cast, {token, *arg}), node.to);
  }

  const ir::TypedDag& dag_;
  /// DAG node index -> the entry that stands for it.
  std::vector<Id> entry_of_;
  /// Whether the output depends on the node.
  std::vector<std::uint8_t> live_;
  struct {
    egraph::RecExpr<MathLang> expr;
    TypeMap types;
  } out_;
};

}  // namespace

std::expected<StrippedExpr, OptError> strip_types(const ir::TypedDag& dag) {
  if (dag.outputs.size() != 1) return std::unexpected(OptError::multi_output());
  return Stripper(dag).run();
}

}  // namespace tarvelon::opt
