#include "backend/python.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "dag_build.h"
#include "support/internal_fault.h"

namespace tarvelon::backend {
namespace {

using namespace vocab::dtypes;  // NOLINT
using ir::NodeId;
using vocab::BinaryOp;
using vocab::Builtin;
using vocab::DType;
namespace node = ir::node;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

/// Builds a DAG node by node and emits it.
struct DagBuilder : tarvelon::testing::DagBuilder {
  std::string emit(std::vector<NodeId> outputs, std::string_view name = "f") {
    dag.outputs = std::move(outputs);
    return PythonBackend{}.emit_kernel(dag, name);
  }
};

TEST(PyParamName, KeepsPlainIdentifiersOnly) {
  struct Case {
    const char* name;
    const char* expected;
  };
  const Case cases[] = {
      {"x", "x"},      {"y_1", "y_1"},     {"_", "_"},         {"match", "match"},
      {"class", "p3"}, {"None", "p3"},     {"2d", "p3"},       {"", "p3"},
      {"a-b", "p3"},   {"\xc3\xa9", "p3"}, {"Class", "Class"}, {"yield", "p3"},
  };
  for (const Case& c : cases) EXPECT_EQ(py_param_name(c.name, 3), c.expected) << c.name;
}

TEST(EmitKernel, IdentityKernel) {
  DagBuilder b;
  b.param("x", kF64);
  NodeId x = b.add(node::Param{0}, kF64);
  EXPECT_EQ(b.emit({x}, "_kernel"), "import math\n\ndef _kernel(x):\n    t0 = x\n    return t0\n");
}

TEST(EmitKernel, UnusableParameterNamesFallBackToTheirPosition) {
  DagBuilder b;
  b.param("x", kF64).param("class", kF64).param("2d", kF64).param("y_1", kF64);
  NodeId y = b.add(node::Param{3}, kF64);
  EXPECT_EQ(b.emit({y}), "import math\n\ndef f(x, p1, p2, y_1):\n    t0 = y_1\n    return t0\n");
}

TEST(EmitKernel, EveryLineForm) {
  DagBuilder b;
  b.param("x", kF64).param("n", kI32).param("p", kBool);
  NodeId x = b.add(node::Param{0}, kF64);                            // 0
  NodeId n = b.add(node::Param{1}, kI32);                            // 1
  NodeId p = b.add(node::Param{2}, kBool);                           // 2
  NodeId neg = b.add(node::Unary{x, vocab::UnaryOp::Neg}, kF64);     // 3
  NodeId nt = b.add(node::Unary{p, vocab::UnaryOp::Not}, kBool);     // 4
  NodeId fd = b.add(node::Binary{n, n, BinaryOp::FloorDiv}, kI32);   // 5
  NodeId cmp = b.add(node::Binary{x, neg, BinaryOp::Ge}, kBool);     // 6
  NodeId both = b.add(node::Binary{cmp, nt, BinaryOp::And}, kBool);  // 7
  NodeId relu = b.add(node::Call{{x}, Builtin::Relu}, kF64);         // 8
  NodeId sel = b.add(node::If{both, relu, neg}, kF64);               // 9
  b.add(node::Const{2.5}, kF64);                                     // 10: dead
  NodeId fl = b.add(node::Cast{kF64, fd, false}, kF64);              // 11
  NodeId sum = b.add(node::Binary{sel, fl, BinaryOp::Pow}, kF64);    // 12
  EXPECT_EQ(b.emit({sum, n}),
            "import math\n\ndef f(x, n, p):\n"
            "    t0 = x\n"
            "    t1 = n\n"
            "    t2 = p\n"
            "    t3 = -t0\n"
            "    t4 = (not t2)\n"
            "    t5 = (t1 // t1)\n"
            "    t6 = (t0 >= t3)\n"
            "    t7 = (t6 and t4)\n"
            "    t8 = (t0 if t0 > 0 else 0.0)\n"
            "    t9 = (t8 if t7 else t3)\n"
            "    t11 = float(t5)\n"
            "    t12 = (t9 ** t11)\n"
            "    return (t12, t1)\n");
}

TEST(EmitKernel, BuiltinTexts) {
  const std::pair<Builtin, const char*> cases[] = {
      {Builtin::Exp, "math.exp(t0)"},
      {Builtin::Log, "math.log(t0)"},
      {Builtin::Sqrt, "math.sqrt(t0)"},
      {Builtin::Abs, "abs(t0)"},
      {Builtin::Sin, "math.sin(t0)"},
      {Builtin::Cos, "math.cos(t0)"},
      {Builtin::Tanh, "math.tanh(t0)"},
      {Builtin::Sigmoid, "(1.0 / (1.0 + math.exp(-t0)))"},
      {Builtin::Relu, "(t0 if t0 > 0 else 0.0)"},
      {Builtin::Softplus, "math.log(1.0 + math.exp(t0))"},
      {Builtin::Floor, "float(math.floor(t0))"},
      {Builtin::Ceil, "float(math.ceil(t0))"},
      {Builtin::ExpSigmoid, "(1.0 / (1.0 + math.exp(-math.exp(t0))))"},
      {Builtin::SigmoidLog, "math.log(1.0 / (1.0 + math.exp(-t0)))"},
  };
  for (const auto& [builtin, text] : cases) {
    DagBuilder b;
    b.param("x", kF64);
    b.add(node::Param{0}, kF64);
    NodeId c = b.add(node::Call{{0, 0}, builtin}, kF64);
    EXPECT_EQ(b.emit({c}), std::string("import math\n\ndef f(x):\n    t0 = x\n    t1 = ") + text +
                               "\n    return t1\n");
  }
}

/// The assignment line of a lone constant node.
std::string const_line(ir::Literal lit, DType d) {
  DagBuilder b;
  NodeId c = b.add(node::Const{lit}, d);
  std::string text = b.emit({c});
  const std::string head = "import math\n\ndef f():\n    t0 = ";
  EXPECT_EQ(text.substr(0, head.size()), head);
  return text.substr(head.size(),
                     text.size() - head.size() - std::string("\n    return t0\n").size());
}

TEST(EmitKernel, LiteralTexts) {
  const std::pair<ir::Literal, const char*> cases[] = {
      {true, "True"},
      {false, "False"},
      {std::int64_t{-42}, "-42"},
      {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
      {1.0, "1"},
      {0.5, "0.5"},
      {1e20, "100000000000000000000"},
      // A Python int keeps every digit, so a large double is written as its exact value.
      {1e23, "99999999999999991611392"},
      {-0x1.fffffffffffffp+52, "-9007199254740991"},
      {0x1p53 + 2, "9007199254740994"},
      {std::ldexp(1.0, 130), "1361129467683753853853498429727072845824"},
      {-0.0, "-0.0"},  // "-0" would read back as the integer 0, losing the sign
      {0.0, "0"},
      {kNaN, "float('nan')"},
      {kInf, "float('inf')"},
      {-kInf, "float('-inf')"},
      {ir::ComplexValue{0, 2}, "complex(0, 2)"},
      {ir::ComplexValue{-1.5, 0.1}, "complex(-1.5, 0.1)"},
      {ir::ComplexValue{1e23, -1e23}, "complex(99999999999999991611392, -99999999999999991611392)"},
      // Python has no literal for these parts.
      {ir::ComplexValue{kNaN, -kInf}, "complex(float('nan'), float('-inf'))"},
      {ir::ComplexValue{kInf, 1}, "complex(float('inf'), 1)"},
      {ir::ComplexValue{-0.0, -0.0}, "complex(-0.0, -0.0)"},
  };
  for (const auto& [lit, text] : cases) EXPECT_EQ(const_line(lit, kF64), text);
  EXPECT_EQ(const_line(std::int64_t{3}, kF32), "3");  // the dtype is not consulted
}

TEST(EmitKernel, ConversionTexts) {
  struct Case {
    DType from;
    DType to;
    const char* text;
  };
  const Case cases[] = {
      {kI32, kF64, "float(t0)"},
      {kI32, kBool, "bool(t0)"},
      {kI32, kU8, "int(t0)"},
      {kF32, kI64, "int(t0)"},
      {kI32, kC128, "complex(t0, 0.0)"},
      {kC64, kC128, "t0"},
      {kC128, kC64, "t0"},
      {kF32, kF32, "t0"},
      {kF16, kBF16, "float(t0)"},
      {kC64, kF64, "float(t0)"},
  };
  for (const Case& c : cases) {
    DagBuilder b;
    b.param("v", c.from);
    b.add(node::Param{0}, c.from);
    NodeId k = b.add(node::Cast{c.to, 0, true}, c.to);
    EXPECT_EQ(b.emit({k}), std::string("import math\n\ndef f(v):\n    t0 = v\n    t1 = ") + c.text +
                               "\n    return t1\n")
        << c.from.to_str() << " -> " << c.to.to_str();
  }
}

TEST(EmitKernel, ReturnLineForEachOutputCount) {
  DagBuilder b;
  b.param("a", kI8);
  b.add(node::Param{0}, kI8);
  EXPECT_EQ(b.emit({}), "import math\n\ndef f(a):\n    return ()\n");
  EXPECT_EQ(b.emit({0, 0, 0}), "import math\n\ndef f(a):\n    t0 = a\n    return (t0, t0, t0)\n");
}

/// The def line of a kernel over `params` whose body reads every parameter and, through
/// `extra`, possibly a global.
std::string def_line(std::vector<std::string> params, ir::Node extra = node::Const{1.0}) {
  DagBuilder b;
  std::vector<NodeId> outs;
  for (std::size_t k = 0; k < params.size(); ++k) {
    b.param(params[k], kF64);
    outs.push_back(b.add(node::Param{static_cast<std::uint32_t>(k)}, kF64));
  }
  outs.push_back(b.add(std::move(extra), kF64));
  std::string text = b.emit(outs);
  std::size_t start = text.find("def ");
  return text.substr(start, text.find('\n', start) - start);
}

TEST(EmitKernel, ParameterNamesThatWouldBreakTheFunctionAreReplaced) {
  struct Case {
    std::vector<std::string> params;
    ir::Node extra;
    const char* def;
  };
  const Case cases[] = {
      {{"x", "x"}, node::Const{1.0}, "def f(x, p1):"},
      {{"class", "p0"}, node::Const{1.0}, "def f(p0_1, p0):"},
      {{"p1", "class"}, node::Const{1.0}, "def f(p1, p1_1):"},
      {{"p1", "p1", "class"}, node::Const{1.0}, "def f(p1, p1_1, p2):"},
      // t2 is the temporary of the constant; t7 and t02 are assigned nowhere.
      {{"t2", "t7", "t02"}, node::Const{1.0}, "def f(p0, t7, t02):"},
      {{"math"}, node::Call{{0}, Builtin::Exp}, "def f(p0):"},
      {{"math"}, node::Call{{0}, Builtin::Abs}, "def f(math):"},
      {{"abs"}, node::Call{{0}, Builtin::Abs}, "def f(p0):"},
      {{"float", "int"}, node::Call{{0}, Builtin::Floor}, "def f(p0, int):"},
      {{"float", "complex"}, node::Const{ir::ComplexValue{kNaN, 0}}, "def f(p0, p1):"},
      {{"float", "complex"}, node::Const{ir::ComplexValue{1, 0}}, "def f(float, p1):"},
      {{"int", "bool"}, node::Cast{kBool, 0, true}, "def f(int, p1):"},
      {{"__debug__"}, node::Const{1.0}, "def f(p0):"},
  };
  for (const Case& c : cases) EXPECT_EQ(def_line(c.params, c.extra), c.def) << c.def;
}

// Past sixteen parameters the names given so far are looked up another way; a repeated name
// and a fallback that is taken must still be found there.
TEST(EmitKernel, ManyParametersKeepTheirNamesApart) {
  std::vector<std::string> params;
  std::string expected = "def f(";
  for (int i = 0; i <= 16; ++i) {
    params.push_back("x" + std::to_string(i));
    expected += params.back() + ", ";
  }
  params.push_back("x5");
  params.push_back("p17");
  expected += "p17_1, p17):";
  EXPECT_EQ(def_line(params, node::Const{1.0}), expected);
}

// Temporaries are numbered across every count of digits a chain of nodes reaches.
TEST(EmitKernel, TemporariesOfEveryLength) {
  DagBuilder b;
  b.param("x", kF64);
  NodeId last = b.add(node::Param{0}, kF64);
  for (NodeId i = 1; i <= 1'000'001; ++i)
    last = b.add(node::Unary{last, vocab::UnaryOp::Neg}, kF64);
  const std::string text = b.emit({last});
  for (NodeId id : {1u, 9u, 10u, 99u, 100u, 999u, 1000u, 9999u, 10000u, 99999u, 100000u, 999999u,
                    1000000u, 1000001u}) {
    const std::string line = "    t" + std::to_string(id) + " = -t" + std::to_string(id - 1) + "\n";
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  EXPECT_TRUE(text.ends_with("    return t1000001\n"));
}

// Lowering numbers operands below their users, but any DAG may be emitted: one numbered
// otherwise still gets a line for every node its outputs reach, and only for those.
TEST(EmitKernel, OperandsNumberedAboveTheirUsersAreStillLive) {
  DagBuilder b;
  b.param("x", kF64);
  b.add(node::Binary{2, 3, BinaryOp::Mul}, kF64);  // t0 uses the later t2 and t3
  b.add(node::Const{5.0}, kF64);                   // dead
  b.add(node::Param{0}, kF64);
  b.add(node::Unary{2, vocab::UnaryOp::Neg}, kF64);
  EXPECT_EQ(b.emit({0}),
            "import math\n\ndef f(x):\n    t0 = (t2 * t3)\n    t2 = x\n    t3 = -t2\n"
            "    return t0\n");
}

TEST(EmitKernel, MalformedDagsAreInternalFaults) {
  struct Case {
    const char* what;
    std::function<void(DagBuilder&)> build;
    std::vector<NodeId> outputs;
    const char* message;
  };
  const Case cases[] = {
      {"param index",
       [](DagBuilder& b) { b.add(node::Param{0}, kF64); },
       {0},
       "invalid Param index in TypedDag"},
      {"call without arguments",
       [](DagBuilder& b) {
         b.add(node::Call{{}, Builtin::Exp}, kF64);
       },
       {0},
       "Call node must have at least one argument"},
      {"output",
       [](DagBuilder& b) { b.add(node::Const{1.0}, kF64); },
       {3},
       "node id 3 out of range (nodes len 1)"},
      {"operand",
       [](DagBuilder& b) {
         b.add(node::Binary{0, 9, BinaryOp::Add}, kF64);
       },
       {0},
       "node id 9 out of range (nodes len 1)"},
      {"cast operand without a dtype",
       [](DagBuilder& b) {
         b.add(node::Const{1.0}, kF64);
         b.add(node::Cast{kI8, 0, true}, kI8);
         b.dag.dtypes.resize(0);
       },
       {1},
       "node id 0 out of range (nodes len 0)"},
  };
  for (const Case& c : cases) {
    DagBuilder b;
    c.build(b);
    try {
      b.emit(c.outputs);
      ADD_FAILURE() << c.what << ": no fault";
    } catch (const support::InternalFault& e) {
      EXPECT_EQ(std::string(e.what()), c.message) << c.what;
    }
  }
}

}  // namespace
}  // namespace tarvelon::backend
