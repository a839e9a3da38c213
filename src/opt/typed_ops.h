#pragma once

#include <optional>

#include "ir/ops.h"
#include "opt/lang.h"

namespace tarvelon::opt {

/// The variant standing for a typed-DAG operator, and back. Both directions are generated from
/// the term language's catalogue, where each variant names its typed-DAG counterpart.
MathOp math_op_of(ir::UnaryOp op);
MathOp math_op_of(ir::BinaryOp op);
MathOp math_op_of(ir::Builtin builtin);
std::optional<ir::UnaryOp> unary_op_of(MathOp op);
std::optional<ir::BinaryOp> binary_op_of(MathOp op);
std::optional<ir::Builtin> builtin_of(MathOp op);

}  // namespace tarvelon::opt
