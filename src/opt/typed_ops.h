#pragma once

#include <optional>

#include "opt/lang.h"
#include "vocab/ops.h"

namespace tarvelon::opt {

/// The variant standing for a typed-DAG operator, and back. Both directions are generated from
/// the term language's catalogue, where each variant names its typed-DAG counterpart.
MathOp math_op_of(vocab::UnaryOp op);
MathOp math_op_of(vocab::BinaryOp op);
MathOp math_op_of(vocab::Builtin builtin);
std::optional<vocab::UnaryOp> unary_op_of(MathOp op);
std::optional<vocab::BinaryOp> binary_op_of(MathOp op);
std::optional<vocab::Builtin> builtin_of(MathOp op);

}  // namespace tarvelon::opt
