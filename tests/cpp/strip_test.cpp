#include "opt/strip.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/pipeline.h"

namespace tarvelon::opt {
namespace {

using namespace vocab::dtypes;
namespace node = ir::node;

/// "Debug(form):dtype" per entry, then "root N".
std::vector<std::string> entries(const StrippedExpr& s) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < s.expr.size(); ++i) {
    out.push_back(debug_text(s.expr[static_cast<Id>(i)]) + ":" + s.types.node_dtypes[i].to_str());
  }
  out.push_back("root " + std::to_string(s.root));
  return out;
}

ir::TypedDag dag(std::vector<ir::Node> nodes, std::vector<vocab::DType> dtypes, ir::NodeId output) {
  auto d = ir::TypedDag::try_new(std::move(nodes), std::move(dtypes), {{"x", kF64}, {"n", kI32}},
                                 {output});
  EXPECT_TRUE(d.has_value());
  return *d;
}

TEST(StripTypes, TranslatesEachNodeKind) {
  const struct {
    const char* name;
    ir::TypedDag dag;
    std::vector<std::string> expected;
  } cases[] = {
      {"a parameter is its index and a param node",
       dag({node::Param{1}}, {kI32}, 0),
       {"Int(1):i64", "Param([0]):i32", "root 1"}},
      {"complex parts are f32 in a c64 constant",
       dag({node::Const{ir::ComplexValue{1.5, -2}}}, {kC64}, 0),
       {"Num(1.5):f32", "Num(-2.0):f32", "Complex([0, 1]):c64", "root 2"}},
      {"complex parts are f64 in a c128 constant",
       dag({node::Const{ir::ComplexValue{0, 2}}}, {kC128}, 0),
       {"Num(0.0):f64", "Num(2.0):f64", "Complex([0, 1]):c128", "root 2"}},
      {"a cast is a token and a cast node, both of the target dtype",
       dag({node::Param{0}, node::Cast{kF32, 0, true}, node::Cast{kF32, 1, false}},
           {kF64, kF32, kF32}, 2),
       {"Int(0):i64", "Param([0]):f64", "TypeToken(f32):f32", "Cast([2, 1]):f32",
        "TypeToken(f32):f32", "Cast([4, 3]):f32", "root 5"}},
      {"operators keep their operands' entries",
       dag({node::Const{true}, node::Param{0}, node::Unary{1, vocab::UnaryOp::Neg},
            node::If{0, 2, 1}, node::Call{{3}, vocab::Builtin::SigmoidLog},
            node::Binary{4, 1, vocab::BinaryOp::Or}},
           {kBool, kF64, kF64, kF64, kF64, kBool}, 5),
       {"Bool(true):bool", "Int(0):i64", "Param([1]):f64", "Neg([2]):f64", "IfElse([0, 3, 2]):f64",
        "FusedSigmoidLog([4]):f64", "Or([5, 2]):bool", "root 6"}},
      {"the root is the output's entry, not the last",
       dag({node::Param{0}, node::Const{std::int64_t{2}}}, {kF64, kI8}, 0),
       {"Int(0):i64", "Param([0]):f64", "Int(2):i8", "root 1"}},
  };
  for (const auto& c : cases) {
    auto stripped = strip_types(c.dag);
    ASSERT_TRUE(stripped.has_value()) << c.name << ": " << stripped.error().to_string();
    EXPECT_EQ(entries(*stripped), c.expected) << c.name;
  }
}

TEST(StripTypes, Failures) {
  auto fails = [](std::vector<ir::Node> nodes, std::vector<ir::NodeId> outputs) {
    std::vector<vocab::DType> dtypes(nodes.size(), kF64);
    auto d = ir::TypedDag::try_new(std::move(nodes), std::move(dtypes), {{"x", kF64}},
                                   std::move(outputs));
    auto stripped = strip_types(*d);
    return stripped ? std::string("ok") : stripped.error().to_string();
  };
  const node::Param x{0};
  EXPECT_EQ(fails({x, x}, {0, 1}), "only single-output DAG is currently supported by optimize");
  EXPECT_EQ(fails({x, node::Call{{0, 0}, vocab::Builtin::Exp}}, {1}),
            "unsupported call `exp` in opt conversion");
  EXPECT_EQ(fails({x, node::Call{{}, vocab::Builtin::SigmoidLog}}, {1}),
            "unsupported call `sigmoid_log` in opt conversion");
  const std::pair<ir::Node, const char*> forward[] = {
      {node::Unary{2, vocab::UnaryOp::Neg}, "missing unary child mapping for node 1"},
      {node::Binary{2, 0, vocab::BinaryOp::Add}, "missing binary lhs mapping for node 1"},
      {node::Binary{0, 1, vocab::BinaryOp::Add}, "missing binary rhs mapping for node 1"},
      {node::If{2, 0, 0}, "missing if condition mapping for node 1"},
      {node::If{0, 2, 0}, "missing if true branch mapping for node 1"},
      {node::If{0, 0, 2}, "missing if false branch mapping for node 1"},
      {node::Call{{2}, vocab::Builtin::Exp}, "missing call arg mapping for node 1"},
      {node::Cast{kF32, 2, false}, "missing cast child mapping for node 1"},
  };
  for (const auto& [n, message] : forward) {
    EXPECT_EQ(fails({x, n, x}, {1}), std::string("invalid expr during conversion: ") + message);
  }
}

TEST(StripTypes, RecordsTheKernelsConstantsByValue) {
  // 2.5 appears as f64 and as f32: the lesser dtype is kept. The parameter index 0 and the parts
  // of the complex constant are payload, not constants of the kernel; 7 is dead.
  auto lowered = api::lowered_dag(
      "|x: f64, z: c64|\nb = 2.5@f64\na = 2.5@f32\nc = 0@u8\nd = 7@i16\nx + b + a@f64 + c@f64 + "
      "1.5j@c64 + z",
      false);
  ASSERT_TRUE(lowered.has_value());
  auto stripped = strip_types(*lowered);
  ASSERT_TRUE(stripped.has_value());
  const ConstantDtypes& constants = stripped->types.constants;
  EXPECT_EQ(constants.find(MathLang::num(2.5)), kF32);
  EXPECT_EQ(constants.find(MathLang::integer(0)), kU8);
  EXPECT_EQ(constants.find(MathLang::integer(1)), std::nullopt);
  EXPECT_EQ(constants.find(MathLang::integer(7)), std::nullopt);
  EXPECT_EQ(constants.find(MathLang::num(1.5)), std::nullopt);
  EXPECT_EQ(constants.find_complex(0, 1.5), kC64);
}

}  // namespace
}  // namespace tarvelon::opt
