#include "opt/const_fold.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "dag_build.h"
#include "ir_text.h"
#include "support/internal_fault.h"

namespace tarvelon::opt {
namespace {

using namespace vocab::dtypes;  // NOLINT
using ir::Literal;
using ir::NodeId;
using vocab::Builtin;
using vocab::DType;
using BO = vocab::BinaryOp;
using UO = vocab::UnaryOp;
using tarvelon::testing::DagBuilder;
namespace node = ir::node;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

Literal I(std::int64_t v) { return v; }
Literal F(double v) { return v; }
Literal C(double re, double im) { return ir::ComplexValue{re, im}; }
const Literal kTrue = true;
const Literal kFalse = false;

/// "%{id} {node text}" of the node the first output stands for after folding.
std::string output_text(const ir::TypedDag& dag) {
  const NodeId id = dag.outputs.at(0);
  return "%" + std::to_string(id) + " " +
         tarvelon::testing::node_text(dag.nodes[id], dag.dtypes[id]);
}

std::string overflow(const char* message) {
  return std::string("ConstOverflow - ") + message + " | <default>";
}

/// An operation on constants (node 0, and node 1 for a binary operation) in a node of dtype `t`.
struct OpCase {
  Literal lhs;
  DType lhs_dtype;
  std::optional<Literal> rhs;  ///< absent for an operation on one operand
  DType rhs_dtype;
  ir::Node op;
  DType t;
  const char* result;  ///< output_text after folding
  std::vector<std::string> diags = {};
};

OpCase bin(Literal l, DType ld, BO op, Literal r, DType rd, DType t, const char* result,
           std::vector<std::string> diags = {}) {
  return {l, ld, r, rd, node::Binary{0, 1, op}, t, result, std::move(diags)};
}
OpCase un(ir::Node op, Literal v, DType vd, DType t, const char* result) {
  return {v, vd, std::nullopt, vd, std::move(op), t, result};
}
ir::Node call(Builtin b) { return node::Call{{0}, b}; }
ir::Node cast(DType to) { return node::Cast{to, 0, true}; }

void PrintTo(const OpCase& c, std::ostream* os) { *os << c.result; }

class ConstFoldOp : public ::testing::TestWithParam<OpCase> {};

TEST_P(ConstFoldOp, FoldsIntoTheNodesDtypeAndKeepsTheOperands) {
  const OpCase& c = GetParam();
  DagBuilder b;
  b.add(node::Const{c.lhs}, c.lhs_dtype);
  if (c.rhs) b.add(node::Const{*c.rhs}, c.rhs_dtype);
  b.dag.outputs = {b.add(c.op, c.t)};
  const ir::TypedDag before = b.dag;
  auto operands = tarvelon::testing::nodes_text(before.nodes, before.dtypes);
  operands.pop_back();

  FoldResult r = const_fold(b.dag);
  EXPECT_EQ(output_text(r.dag), c.result);
  EXPECT_EQ(tarvelon::testing::diags_text(r.diags), c.diags);
  auto kept = tarvelon::testing::nodes_text(r.dag.nodes, r.dag.dtypes);
  kept.resize(operands.size());
  EXPECT_EQ(kept, operands);  // folded-away operands stay in the list
}

// clang-format off
const OpCase kArithmetic[] = {
    bin(I(2), kI32, BO::Add, I(3), kI32, kI32, "%2 i32 const 5i"),
    bin(I((std::int64_t{1} << 62) + 1), kU64, BO::Add, I(0), kU64, kU64,
        "%2 u64 const 4611686018427387905i"),  // exact, not through f64
    bin(I(200), kU8, BO::Add, I(100), kU8, kU8, "%2 u16 const 300i",
        {overflow("const_fold node#2: integer overflow: 200 + 100 = 300; promoted u8 -> u16; "
                  "write result directly `300` or wrapping result")}),
    bin(I(3), kU32, BO::Sub, I(5), kU32, kU32, "%2 i8 const -2i",
        {overflow("const_fold node#2: integer overflow: 3 - 5 = -2; promoted u32 -> i8; write "
                  "result directly `-2` or wrapping result")}),
    bin(I(100), kI8, BO::Add, I(100), kI8, kI8, "%2 i16 const 200i",
        {overflow("const_fold node#2: integer overflow: 100 + 100 = 200; promoted i8 -> i16; "
                  "write result directly `200` or wrapping result")}),
    bin(I(70000), kU32, BO::Mul, I(70000), kU32, kU32, "%2 u64 const 4900000000i",
        {overflow("const_fold node#2: integer overflow: 70000 * 70000 = 4900000000; promoted "
                  "u32 -> u64; write result directly `4900000000` or wrapping result")}),
    // Beyond i64 the constant can only be an f64 float, and the notice names f64.
    bin(I(kMax), kI64, BO::Mul, I(2), kI64, kI64, "%2 f64 const 18446744073709552000",
        {overflow("const_fold node#2: integer overflow: 9223372036854775807 * 2 = "
                  "18446744073709551614; promoted i64 -> f64; write result directly "
                  "`18446744073709551614` or wrapping result")}),
    bin(I(kMin), kI64, BO::Sub, I(1), kI64, kI64, "%2 f64 const -9223372036854776000",
        {overflow("const_fold node#2: integer overflow: -9223372036854775808 - 1 = "
                  "-9223372036854775809; promoted i64 -> f64; write result directly "
                  "`-9223372036854775809` or wrapping result")}),
    bin(I(std::int64_t{1} << 62), kU64, BO::Mul, I(2), kU64, kU64,
        "%2 f64 const 9223372036854776000",
        {overflow("const_fold node#2: integer overflow: 4611686018427387904 * 2 = "
                  "9223372036854775808; promoted u64 -> f64; write result directly "
                  "`9223372036854775808` or wrapping result")}),
    bin(I(kMin), kI64, BO::Mul, I(kMin), kI64, kI64,
        "%2 f64 const 85070591730234620000000000000000000000",
        {overflow("const_fold node#2: integer overflow: -9223372036854775808 * "
                  "-9223372036854775808 = 85070591730234615865843651857942052864; promoted i64 "
                  "-> f64; write result directly `85070591730234615865843651857942052864` or "
                  "wrapping result")}),
    // Otherwise in f64, then converted.
    bin(I(3), kF32, BO::Add, I(4), kF32, kF32, "%2 f32 const 7"),
    bin(kTrue, kF64, BO::Add, F(1.5), kF64, kF64, "%2 f64 const 2.5"),
    bin(F(2.5), kI32, BO::Mul, I(3), kI32, kI32, "%2 i32 const 7i"),
    bin(F(7), kI32, BO::Div, F(2), kI32, kI32, "%2 i32 const 3i"),
    bin(F(1), kF64, BO::Div, F(-0.0), kF64, kF64, "%2 f64 const -inf"),
    bin(I(1), kI64, BO::Div, I(0), kI64, kI64, "%2 i64 const 9223372036854775807i"),
    bin(I(0), kI32, BO::Div, I(0), kI32, kI32, "%2 i32 const 0i"),
    bin(F(1), kF64, BO::Add, F(2), kF64, kBool, "%2 bool %0 + %1"),
    bin(C(1, 2), kC64, BO::Add, C(3, 4), kC64, kC64, "%2 c64 const (4, 6)"),
    bin(C(1, 2), kC64, BO::Sub, C(3, 4), kC64, kC64, "%2 c64 const (-2, -2)"),
    bin(C(1, 2), kC64, BO::Mul, C(3, 4), kC64, kC64, "%2 c64 const (-5, 10)"),
    bin(C(1, 2), kC64, BO::Div, C(3, 4), kC64, kC64, "%2 c64 const (0.44, 0.08)"),
    bin(C(1, 2), kC64, BO::Sub, F(1), kC64, kC64, "%2 c64 %0 - %1"),
    bin(C(1, 0), kC64, BO::Add, C(1, 0), kC64, kF64, "%2 f64 %0 + %1"),
    // Floor division and remainder: integers only, rounded toward minus infinity.
    bin(I(7), kI8, BO::FloorDiv, I(-2), kI8, kI8, "%2 i8 const -4i"),
    bin(I(7), kI8, BO::Rem, I(-2), kI8, kI8, "%2 i8 const -1i"),
    bin(I(-7), kI8, BO::FloorDiv, I(2), kI8, kI8, "%2 i8 const -4i"),
    bin(I(-7), kI8, BO::Rem, I(2), kI8, kI8, "%2 i8 const 1i"),
    bin(I(7), kI8, BO::FloorDiv, I(0), kI8, kI8, "%2 i8 %0 // %1"),
    bin(I(7), kI8, BO::Rem, I(0), kI8, kI8, "%2 i8 %0 % %1"),
    bin(I(kMin), kI64, BO::FloorDiv, I(-1), kI64, kI64, "%2 i64 %0 // %1"),
    bin(I(kMin), kI64, BO::Rem, I(-1), kI64, kI64, "%2 i64 %0 % %1"),
    bin(F(7), kF64, BO::FloorDiv, F(2), kF64, kF64, "%2 f64 %0 // %1"),
    bin(kTrue, kI8, BO::Rem, I(2), kI8, kI8, "%2 i8 %0 % %1"),
    // The quotient reaches its integer node through f64.
    bin(I((std::int64_t{1} << 60) + 1), kI64, BO::FloorDiv, I(1), kI64, kI64,
        "%2 i64 const 1152921504606846976i"),
};

const OpCase kPowAndCompare[] = {
    bin(I(2), kI8, BO::Pow, I(0), kI8, kI8, "%2 i8 const 1i"),
    bin(F(kNaN), kF32, BO::Pow, kFalse, kF32, kF32, "%2 f32 const 1"),
    bin(C(1, 2), kC64, BO::Pow, C(0, 0), kC64, kC64, "%2 c64 const (1, 0)"),
    bin(F(2), kF64, BO::Pow, F(-0.0), kF64, kF64, "%2 f64 const 1"),
    bin(kTrue, kBool, BO::Pow, I(0), kBool, kBool, "%2 bool %0 ** %1"),
    bin(C(1, 2), kC64, BO::Pow, C(1, 0), kC64, kC64, "%0 c64 const (1, 2)"),
    bin(F(2.5), kF64, BO::Pow, kTrue, kF64, kF64, "%0 f64 const 2.5"),
    bin(I(2), kI32, BO::Pow, I(10), kI32, kI32, "%2 i32 const 1024i"),
    bin(F(2.25), kF64, BO::Pow, F(0.5), kF64, kF64, "%2 f64 const 1.5"),
    bin(C(1, 2), kC64, BO::Pow, F(2), kC64, kC64, "%2 c64 %0 ** %1"),
    // Integer powers are exact, then follow the overflow rule of the other integer operations.
    bin(I(3), kI64, BO::Pow, I(39), kI64, kI64, "%2 i64 const 4052555153018976267i"),
    bin(I(-3), kI64, BO::Pow, I(39), kI64, kI64, "%2 i64 const -4052555153018976267i"),
    bin(I(-1), kI64, BO::Pow, I(kMax), kI64, kI64, "%2 i64 const -1i"),
    bin(I(0), kI64, BO::Pow, I(kMax), kI64, kI64, "%2 i64 const 0i"),
    bin(I(2), kU8, BO::Pow, I(8), kU8, kU8, "%2 u16 const 256i",
        {overflow("const_fold node#2: integer overflow: 2 ** 8 = 256; promoted u8 -> u16; write "
                  "result directly `256` or wrapping result")}),
    bin(I(2), kI64, BO::Pow, I(64), kI64, kI64, "%2 f64 const 18446744073709552000",
        {overflow("const_fold node#2: integer overflow: 2 ** 64 = 18446744073709551616; promoted "
                  "i64 -> f64; write result directly `18446744073709551616` or wrapping result")}),
    // A negative exponent gives the kernel a float or a ZeroDivisionError, and a power past 128
    // bits an integer no constant holds: the kernel computes them.
    bin(I(2), kI32, BO::Pow, I(-1), kI32, kI32, "%2 i32 %0 ** %1"),
    bin(I(0), kI32, BO::Pow, I(-1), kI32, kI32, "%2 i32 %0 ** %1"),
    bin(I(-1), kI64, BO::Pow, I(-3), kI64, kI64, "%2 i64 %0 ** %1"),
    bin(I(2), kI64, BO::Pow, I(127), kI64, kI64, "%2 i64 %0 ** %1"),
    bin(I(3), kI64, BO::Pow, I(100), kI64, kI64, "%2 i64 %0 ** %1"),
    bin(I(3), kF64, BO::Pow, I(39), kF64, kF64, "%2 f64 const 4052555153018976000"),
    bin(I(1), kI8, BO::Lt, F(2.5), kF16, kBool, "%2 bool const true"),
    bin(F(kNaN), kF64, BO::Eq, F(kNaN), kF64, kBool, "%2 bool const false"),
    bin(F(kNaN), kF64, BO::Ne, F(kNaN), kF64, kBool, "%2 bool const true"),
    bin(kTrue, kBool, BO::Ge, I(1), kI8, kBool, "%2 bool const true"),
    bin(I(3), kI8, BO::Gt, I(2), kI8, kI32, "%2 i32 const 1i"),
    bin(C(1, 0), kC64, BO::Eq, C(1, 0), kC64, kBool, "%2 bool %0 == %1"),
};

const OpCase kOneOperand[] = {
    un(node::Unary{0, UO::Neg}, I(5), kI8, kI8, "%1 i8 const -5i"),
    un(node::Unary{0, UO::Neg}, I(kMin), kI64, kI64, "%1 i64 const -9223372036854775808i"),
    un(node::Unary{0, UO::Neg}, F(0.0), kF64, kF64, "%1 f64 const -0"),
    un(node::Unary{0, UO::Neg}, C(1, -2), kC64, kC64, "%1 c64 const (-1, 2)"),
    un(node::Unary{0, UO::Neg}, kTrue, kBool, kBool, "%1 bool neg %0"),
    un(node::Unary{0, UO::Not}, kTrue, kBool, kBool, "%1 bool const false"),
    un(node::Unary{0, UO::Not}, I(0), kI8, kBool, "%1 bool not %0"),
    un(cast(kU8), I(300), kI16, kU8, "%1 u8 const 300i"),
    un(cast(kI32), F(-2.7), kF64, kI32, "%1 i32 const -2i"),
    un(cast(kF32), kTrue, kBool, kF32, "%1 f32 const 1"),
    un(cast(kC128), I(5), kI8, kC128, "%1 c128 const (5, 0)"),
    un(cast(kC64), kFalse, kBool, kC64, "%1 c64 const (0, 0)"),
    un(cast(kI64), I(9007199254740993), kI64, kI64, "%1 i64 const 9007199254740992i"),  // via f64
    un(cast(kBool), F(0.5), kF64, kBool, "%1 bool cast! %0"),
    un(cast(kBool), I(1), kI8, kBool, "%1 bool cast! %0"),
    un(cast(kF64), C(1, 2), kC64, kF64, "%1 f64 cast! %0"),
    // A constant past its own format's largest finite value is the infinity it is when the kernel
    // runs; up to the value that rounds to that largest one it keeps the written value.
    un(cast(kF64), F(65504), kF16, kF64, "%1 f64 const 65504"),
    un(cast(kF64), F(65519.5), kF16, kF64, "%1 f64 const 65519.5"),
    un(cast(kF64), F(65520), kF16, kF64, "%1 f64 const inf"),
    un(cast(kF64), F(-1e5), kF16, kF64, "%1 f64 const -inf"),
    un(cast(kF64), F(0x1.fep127), kBF16, kF64, "%1 f64 const 338953138925153550000000000000000000000"),
    un(cast(kF64), F(0x1.ffp127), kBF16, kF64, "%1 f64 const inf"),
    un(cast(kF64), F(0x1.fffffep127), kF32, kF64, "%1 f64 const 340282346638528860000000000000000000000"),
    un(cast(kF64), F(0x1.ffffffp127), kF32, kF64, "%1 f64 const inf"),
    un(cast(kC128), C(-1e40, 2), kC64, kC128, "%1 c128 const (-inf, 2)"),
    un(cast(kF64), F(1e20), kF64, kF64, "%1 f64 const 100000000000000000000"),
    un(cast(kF32), F(-kInf), kF16, kF32, "%1 f32 const -inf"),
    un(cast(kF64), F(kNaN), kF16, kF64, "%1 f64 const NaN"),
    un(call(Builtin::Exp), I(0), kI32, kI32, "%1 i32 const 1i"),
    un(call(Builtin::Exp), kFalse, kF64, kF64, "%1 f64 const 1"),
    un(call(Builtin::Exp), C(0, 0), kC64, kC64, "%1 c64 const (1, 0)"),
    un(call(Builtin::Exp), C(1, 0), kC64, kC64, "%1 c64 exp %0"),
    un(call(Builtin::Exp), F(1), kF64, kF64, "%1 f64 const 2.718281828459045"),
    un(call(Builtin::Exp), F(0), kBool, kBool, "%1 bool exp %0"),
    un(call(Builtin::Log), I(1), kI32, kI32, "%1 i32 const 0i"),
    un(call(Builtin::Log), I(2), kI32, kI32, "%1 i32 const 0i"),
    un(call(Builtin::Log), C(1, 0), kC128, kC128, "%1 c128 const (0, 0)"),
    un(call(Builtin::Log), kTrue, kF64, kF64, "%1 f64 const 0"),
    un(call(Builtin::Log), kFalse, kF64, kF64, "%1 f64 const -inf"),
    un(call(Builtin::Sqrt), F(2.25), kF64, kF64, "%1 f64 const 1.5"),
    un(call(Builtin::Sqrt), C(0, 0), kC64, kC64, "%1 c64 sqrt %0"),
    un(call(Builtin::Abs), I(-4), kI32, kI32, "%1 i32 const 4i"),
    un(call(Builtin::Cos), F(0), kF64, kF64, "%1 f64 const 1"),
    un(call(Builtin::Tanh), F(-0.0), kF64, kF64, "%1 f64 const -0"),
    un(call(Builtin::Sigmoid), F(0), kF64, kF64, "%1 f64 const 0.5"),
    un(call(Builtin::Relu), F(kNaN), kF64, kF64, "%1 f64 const 0"),
    un(call(Builtin::Relu), I(-3), kI8, kI8, "%1 i8 const 0i"),
    un(call(Builtin::Softplus), F(0), kF64, kF64, "%1 f64 const 0.6931471805599453"),
    un(call(Builtin::Floor), F(-2.5), kF64, kF64, "%1 f64 const -3"),
    un(call(Builtin::Ceil), F(-2.5), kF64, kF64, "%1 f64 const -2"),
    un(call(Builtin::ExpSigmoid), F(0), kF64, kF64, "%1 f64 const 0.7310585786300049"),
    un(call(Builtin::SigmoidLog), F(0), kF64, kF64, "%1 f64 const -0.6931471805599453"),
    un(call(Builtin::Sigmoid), F(1), kBool, kBool, "%1 bool sigmoid %0"),
    un(node::Call{{0, 0}, Builtin::Exp}, F(0), kF64, kF64, "%1 f64 exp %0 %0"),
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Arithmetic, ConstFoldOp, ::testing::ValuesIn(kArithmetic));
INSTANTIATE_TEST_SUITE_P(PowAndCompare, ConstFoldOp, ::testing::ValuesIn(kPowAndCompare));
INSTANTIATE_TEST_SUITE_P(OneOperand, ConstFoldOp, ::testing::ValuesIn(kOneOperand));

/// and/or with each operand a constant or a bool parameter (nodes 0 and 1).
struct LogicCase {
  std::optional<Literal> lhs;
  BO op;
  std::optional<Literal> rhs;
  const char* result;
};

void PrintTo(const LogicCase& c, std::ostream* os) { *os << c.result; }

class ConstFoldLogic : public ::testing::TestWithParam<LogicCase> {};

TEST_P(ConstFoldLogic, RowsApplyInOrder) {
  const LogicCase& c = GetParam();
  DagBuilder b;
  b.param("p", kBool).param("q", kBool);
  b.add(c.lhs ? ir::Node{node::Const{*c.lhs}} : ir::Node{node::Param{0}}, kBool);
  b.add(c.rhs ? ir::Node{node::Const{*c.rhs}} : ir::Node{node::Param{1}}, kBool);
  b.dag.outputs = {b.add(node::Binary{0, 1, c.op}, kBool)};
  EXPECT_EQ(output_text(const_fold(b.dag).dag), c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConstFoldLogic,
    ::testing::Values(
        // A neutral constant leaves the other operand, the left one looked at first.
        LogicCase{kTrue, BO::And, std::nullopt, "%1 bool param 1"},
        LogicCase{std::nullopt, BO::And, kTrue, "%0 bool param 0"},
        LogicCase{kTrue, BO::And, kTrue, "%1 bool const true"},
        LogicCase{kFalse, BO::And, kTrue, "%0 bool const false"},
        LogicCase{kFalse, BO::And, kFalse, "%2 bool const false"},
        LogicCase{kFalse, BO::And, std::nullopt, "%2 bool %0 and %1"},
        LogicCase{std::nullopt, BO::And, kFalse, "%2 bool %0 and %1"},
        LogicCase{kFalse, BO::Or, std::nullopt, "%1 bool param 1"},
        LogicCase{std::nullopt, BO::Or, kFalse, "%0 bool param 0"},
        LogicCase{kFalse, BO::Or, kFalse, "%1 bool const false"},
        LogicCase{kTrue, BO::Or, kFalse, "%0 bool const true"},
        LogicCase{kTrue, BO::Or, kTrue, "%2 bool const true"},
        LogicCase{kTrue, BO::Or, std::nullopt, "%2 bool %0 or %1"},
        LogicCase{std::nullopt, BO::Or, kTrue, "%2 bool %0 or %1"},
        // Only booleans count as true or false.
        LogicCase{I(1), BO::And, std::nullopt, "%2 bool %0 and %1"},
        LogicCase{I(0), BO::Or, std::nullopt, "%2 bool %0 or %1"},
        LogicCase{kFalse, BO::And, I(1), "%2 bool const false"}));

TEST(ConstFold, IdentitiesPointAtExistingNodesWithTheirOwnDtypes) {
  DagBuilder b;
  b.param("x", kF32).param("p", kBool);
  NodeId x = b.add(node::Param{0}, kF32);                        // 0
  NodeId p = b.add(node::Param{1}, kBool);                       // 1
  NodeId yes = b.add(node::Const{true}, kBool);                  // 2
  NodeId no = b.add(node::Const{false}, kBool);                  // 3
  NodeId one = b.add(node::Const{std::int64_t{1}}, kF32);        // 4
  NodeId zero = b.add(node::Const{0.0}, kF32);                   // 5
  NodeId pick = b.add(node::If{yes, x, one}, kF64);              // 6: x, still f32
  NodeId other = b.add(node::If{no, x, one}, kF32);              // 7: the constant 1
  NodeId open = b.add(node::If{p, x, one}, kF32);                // 8: kept
  NodeId pow1 = b.add(node::Binary{pick, one, BO::Pow}, kF32);   // 9: x
  NodeId pow0 = b.add(node::Binary{open, zero, BO::Pow}, kF32);  // 10: 1 of f32
  NodeId sum = b.add(node::Binary{pow1, other, BO::Add}, kF32);  // 11: kept, x + 1
  b.dag.outputs = {pick, other, pow1, pow0, sum, open};

  FoldResult r = const_fold(b.dag);
  EXPECT_EQ(tarvelon::testing::nodes_text(r.dag.nodes, r.dag.dtypes),
            (std::vector<std::string>{"f32 param 0", "bool param 1", "bool const true",
                                      "bool const false", "f32 const 1i", "f32 const 0",
                                      "f32 if %1 %0 %4", "f32 const 1", "f32 %0 + %4"}));
  EXPECT_EQ(r.dag.outputs, (std::vector<NodeId>{0, 4, 0, 7, 8, 6}));
  EXPECT_TRUE(r.diags.empty());
}

TEST(ConstFold, FoldsThroughChainsAndNamesTheInputNodeInNotices) {
  DagBuilder b;
  b.param("x", kU8);
  b.add(node::Param{0}, kU8);                                    // 0
  NodeId yes = b.add(node::Const{true}, kBool);                  // 1
  NodeId a = b.add(node::Const{std::int64_t{200}}, kU8);         // 2
  NodeId c = b.add(node::Const{std::int64_t{100}}, kU8);         // 3
  NodeId pick = b.add(node::If{yes, a, c}, kU8);                 // 4: the constant 200
  NodeId sum = b.add(node::Binary{pick, c, BO::Add}, kU8);       // 5: overflows
  NodeId wide = b.add(node::Cast{kF64, sum, false}, kF64);       // 6
  NodeId half = b.add(node::Binary{wide, wide, BO::Div}, kF64);  // 7
  b.dag.outputs = {half, sum};

  FoldResult r = const_fold(b.dag);
  EXPECT_EQ(
      tarvelon::testing::nodes_text(r.dag.nodes, r.dag.dtypes),
      (std::vector<std::string>{"u8 param 0", "bool const true", "u8 const 200i", "u8 const 100i",
                                "u16 const 300i", "f64 const 300", "f64 const 1"}));
  EXPECT_EQ(r.dag.outputs, (std::vector<NodeId>{6, 4}));
  EXPECT_EQ(tarvelon::testing::diags_text(r.diags),
            std::vector<std::string>{overflow(
                "const_fold node#5: integer overflow: 200 + 100 = 300; promoted u8 -> u16; "
                "write result directly `300` or wrapping result")});
  EXPECT_EQ(r.dag.params, (std::vector<ir::Param>{{"x", kU8}}));
}

TEST(ConstFold, AnInvalidRebuiltDagIsAnInternalFault) {
  struct Case {
    std::function<void(ir::TypedDag&)> spoil;
    const char* message;
  };
  const Case cases[] = {
      {[](ir::TypedDag& d) {
         d.outputs = {0, 5};
       },
       "const_fold produced invalid TypedDag: output node id 5 out of range (nodes len 2)"},
      {[](ir::TypedDag& d) { d.dtypes.pop_back(); },
       "const_fold produced invalid TypedDag: TypedDag.nodes and dtypes length mismatch"},
      {[](ir::TypedDag& d) {
         d.nodes[1] = node::Unary{1, UO::Neg};
       },
       "const_fold: node#1 uses node#1, which does not come before it"},
  };
  for (const Case& c : cases) {
    DagBuilder b;
    b.add(node::Const{2.0}, kF64);
    b.add(node::Unary{0, UO::Neg}, kF64);
    b.dag.outputs = {1};
    c.spoil(b.dag);
    try {
      const_fold(b.dag);
      ADD_FAILURE() << "no fault: " << c.message;
    } catch (const support::InternalFault& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

}  // namespace
}  // namespace tarvelon::opt
