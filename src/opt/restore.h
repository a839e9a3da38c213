#pragma once

#include <expected>
#include <span>
#include <vector>

#include "diag/diag.h"
#include "egraph/recexpr.h"
#include "ir/dag.h"
#include "opt/error.h"
#include "opt/lang.h"
#include "opt/strip.h"

namespace tarvelon::opt {

/// A DAG rebuilt from an optimized term, with the implicit promotions restoring made.
struct RestoreResult {
  ir::TypedDag dag;
  std::vector<diag::Diag> diags;
};

/// Rebuilds a typed DAG from `expr` (post-order, root last): every node but a type token becomes
/// a DAG node, constants take the dtype their value had in the kernel (`types`), parameters the
/// dtype of `params`, operators the dtype promotion gives, casts come back implicit. Failures
/// are `InvalidExpr`.
std::expected<RestoreResult, OptError> restore_types_with_info(
    const egraph::RecExpr<MathLang>& expr, const TypeMap& types, std::span<const ir::Param> params);

/// The common dtype of two operands of node `index`, operator `op_name`, appending a
/// `RestorePromotion` note to `diags` when the operands differ from it; a failed promotion is the
/// node's `InvalidExpr`.
std::expected<vocab::DType, OptError> try_promote(std::string_view op_name, Id index,
                                                  vocab::DType lhs, vocab::DType rhs,
                                                  const MathLang& node,
                                                  std::vector<diag::Diag>& diags);

/// "invalid node #{index}: {debug form of node}".
OptError invalid_node(Id index, const MathLang& node);

}  // namespace tarvelon::opt
