#pragma once

#include <expected>
#include <optional>
#include <vector>

#include "diag/diag.h"
#include "egraph/extract.h"
#include "egraph/stop_reason.h"
#include "ir/dag.h"
#include "opt/config.h"
#include "opt/error.h"
#include "opt/lang.h"

namespace tarvelon::opt {

/// Extraction cost: a term counted as a tree, 1 for each leaf and each fused function, 2 for
/// every other operator. Plain unsigned sums.
struct OptCost {
  egraph::Cost node_weight(const MathLang& node) const { return math_op_weight(node.op()); }
  egraph::Cost node_cost(const MathLang& node, const egraph::ChildCosts& child_costs) const {
    egraph::Cost cost = node_weight(node);
    for (Id child : node.children()) cost += child_costs(child);
    return cost;
  }
};

/// What the equality-saturation run did, for benchmarks and tests.
struct OptStats {
  std::size_t iterations = 0;
  std::size_t egraph_nodes = 0;
  std::size_t egraph_classes = 0;
  std::optional<egraph::StopReason> stop_reason;
};

/// An optimized DAG with the diagnostics of folding and restoring.
struct OptResult {
  ir::TypedDag dag;
  std::vector<diag::Diag> diags;
};

/// The optimizer: folds constants, strips dtypes, saturates with the rule list on a fresh
/// e-graph (within the limits of `config`), extracts the cheapest term of
/// the output and restores dtypes; with the aggressive setting, folds once more. `dag` must have
/// exactly one output (else `MultiOutput`) and is not modified. Nothing outlives the call;
/// `stats`, when given, receives what the run did.
std::expected<OptResult, OptError> optimize_with_info_and_config(const ir::TypedDag& dag,
                                                                 const OptConfig& config,
                                                                 OptStats* stats = nullptr);

}  // namespace tarvelon::opt
