#pragma once

#include <vector>

#include "diag/diag.h"
#include "ir/dag.h"

namespace tarvelon::opt {

/// A folded DAG with the diagnostics folding raised (integer overflow notices).
struct FoldResult {
  ir::TypedDag dag;
  std::vector<diag::Diag> diags;
};

/// Evaluates at compile time every node whose operands are constants, and applies the constant
/// identities (a constant condition, an exponent of 0 or 1, and/or with a constant operand).
/// Returns a new DAG; `dag` is left untouched. Nodes that lose their last user stay in place.
FoldResult const_fold(const ir::TypedDag& dag);

}  // namespace tarvelon::opt
