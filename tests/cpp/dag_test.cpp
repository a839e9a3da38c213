#include "ir/dag.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvelon::ir {
namespace {

using vocab::BinaryOp;
using vocab::Builtin;
using vocab::DType;
using vocab::UnaryOp;
namespace dtypes = vocab::dtypes;

std::vector<Node> consts(std::size_t n) {
  return std::vector<Node>(n, Node{node::Const{std::int64_t{1}}});
}

struct TryNewCase {
  std::size_t nodes;
  std::size_t dtypes;
  std::vector<NodeId> outputs;
  const char* error;  ///< empty: valid
};

class TypedDagTryNew : public testing::TestWithParam<TryNewCase> {};

TEST_P(TypedDagTryNew, ValidatesLengthsThenOutputs) {
  const auto& c = GetParam();
  auto dag = TypedDag::try_new(consts(c.nodes), std::vector<DType>(c.dtypes, dtypes::kI64),
                               {{"x", dtypes::kF64}}, c.outputs);
  if (std::string_view(c.error).empty()) {
    ASSERT_TRUE(dag.has_value()) << dag.error().to_string();
    EXPECT_EQ(dag->nodes.size(), c.nodes);
    EXPECT_EQ(dag->outputs, c.outputs);
    EXPECT_EQ(dag->params, (std::vector<Param>{{"x", dtypes::kF64}}));
    return;
  }
  ASSERT_FALSE(dag.has_value());
  EXPECT_EQ(dag.error().to_string(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TypedDagTryNew,
    testing::Values(
        TryNewCase{3, 2, {0}, "TypedDag.nodes and dtypes length mismatch"},
        TryNewCase{3, 2, {9}, "TypedDag.nodes and dtypes length mismatch"},
        TryNewCase{0, 1, {}, "TypedDag.nodes and dtypes length mismatch"},
        TryNewCase{2, 2, {0, 5, 7}, "output node id 5 out of range (nodes len 2)"},
        TryNewCase{2, 2, {2}, "output node id 2 out of range (nodes len 2)"},
        TryNewCase{0, 0, {0}, "output node id 0 out of range (nodes len 0)"},
        TryNewCase{1, 1, {4294967295u}, "output node id 4294967295 out of range (nodes len 1)"},
        TryNewCase{0, 0, {}, ""}, TryNewCase{2, 2, {1, 0, 1}, ""}, TryNewCase{3, 3, {}, ""}));

TEST(TypedDagError, CarriesTheOffendingIdAndLength) {
  auto dag = TypedDag::try_new(consts(2), std::vector<DType>(2, dtypes::kI64), {}, {0, 5, 7});
  ASSERT_FALSE(dag.has_value());
  EXPECT_EQ(dag.error(), (TypedDagError{TypedDagError::Kind::OutputOutOfRange, 5, 2}));
  EXPECT_EQ(TypedDagError{}.kind, TypedDagError::Kind::LengthMismatch);
}

TEST(Node, OperandsInOrder) {
  std::vector<NodeId> seen;
  const auto collect = [&](const Node& n) {
    seen.clear();
    for_each_operand(n, [&](NodeId id) { seen.push_back(id); });
    return seen;
  };
  EXPECT_EQ(collect(node::Param{3}), std::vector<NodeId>{});
  EXPECT_EQ(collect(node::Const{1.5}), std::vector<NodeId>{});
  EXPECT_EQ(collect(node::Unary{4, UnaryOp::Not}), std::vector<NodeId>{4});
  EXPECT_EQ(collect(node::Binary{2, 1, BinaryOp::Sub}), (std::vector<NodeId>{2, 1}));
  EXPECT_EQ(collect(node::If{5, 6, 7}), (std::vector<NodeId>{5, 6, 7}));
  EXPECT_EQ(collect(node::Call{{8, 9}, Builtin::Log}), (std::vector<NodeId>{8, 9}));
  EXPECT_EQ(collect(node::Cast{dtypes::kI8, 3, true}), std::vector<NodeId>{3});
}

TEST(OpTexts, UnaryAndBinaryInOrder) {
  EXPECT_EQ(vocab::op_text(UnaryOp::Neg), "neg");
  EXPECT_EQ(vocab::op_text(UnaryOp::Not), "not");
  const char* const binary[] = {
      "+", "-", "*", "/", "//", "%", "**", "==", "!=", "<", "<=", ">", ">=", "and", "or"};
  for (std::size_t i = 0; i < std::size(binary); ++i) {
    EXPECT_EQ(vocab::op_text(static_cast<BinaryOp>(i)), binary[i]) << i;
  }
  EXPECT_EQ(static_cast<int>(BinaryOp::Or), 14);
}

TEST(Builtins, NamesRoundTripInOrder) {
  const char* const names[] = {"exp",   "log",  "sqrt",        "abs",        "sin",
                               "cos",   "tanh", "sigmoid",     "relu",       "softplus",
                               "floor", "ceil", "exp_sigmoid", "sigmoid_log"};
  for (std::size_t i = 0; i < std::size(names); ++i) {
    const auto b = static_cast<Builtin>(i);
    EXPECT_EQ(vocab::builtin_name(b), names[i]);
    EXPECT_EQ(vocab::builtin_from_str(names[i]), b);
    EXPECT_EQ(vocab::builtin_callable(b), i < 12) << names[i];
  }
}

class BuiltinFromStrRejects : public testing::TestWithParam<const char*> {};

TEST_P(BuiltinFromStrRejects, AnythingButAnExactName) {
  EXPECT_EQ(vocab::builtin_from_str(GetParam()), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Table, BuiltinFromStrRejects,
                         testing::Values("Sigmoid", "exp_sigmoid ", " exp", "Exp", "", "max",
                                         "sigmoidlog"));

}  // namespace
}  // namespace tarvelon::ir
