#include "parse/parser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "deep_input.h"
#include "front_end_printers.h"
#include "parse/error.h"
#include "support/number_text.h"

namespace tarvelon::parse {
namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

std::string dtype_suffix(const std::optional<vocab::DType>& d) {
  return d ? std::string("@") + d->to_str() : "";
}

/// The tree as an s-expression: literals as written (with their own dtype), operators by their
/// text, `(let name value body)`.
std::string dump(const SpannedExpr& e) {
  auto list = [](std::string head, std::initializer_list<const SpannedExpr*> kids) {
    for (const SpannedExpr* k : kids) head += " " + dump(*k);
    return "(" + head + ")";
  };
  return std::visit(
      Overloaded{
          [](const expr::BoolLit& x) -> std::string { return x.value ? "true" : "false"; },
          [](const expr::IntLit& x) { return std::to_string(x.value) + dtype_suffix(x.dtype); },
          [](const expr::FloatLit& x) {
            return support::format_double(x.value) + "f" + dtype_suffix(x.dtype);
          },
          [](const expr::ComplexLit& x) {
            return support::format_double(x.re) + "+" + support::format_double(x.im) + "j" +
                   dtype_suffix(x.dtype);
          },
          [](const expr::ConstE&) -> std::string { return "e"; },
          [](const expr::ConstPi&) -> std::string { return "pi"; },
          [](const expr::Var& x) { return x.name.str(); },
          [&](const expr::Unary& x) {
            return list(std::string(vocab::op_text(x.op)), {x.operand.get()});
          },
          [&](const expr::Binary& x) {
            return list(std::string(vocab::op_text(x.op)), {x.lhs.get(), x.rhs.get()});
          },
          [&](const expr::If& x) {
            return list("if", {x.cond.get(), x.then_branch.get(), x.else_branch.get()});
          },
          [](const expr::Call& x) {
            std::string s = "(call " + x.name.str();
            for (const auto& a : x.args) s += " " + dump(a);
            return s + ")";
          },
          [&](const expr::Cast& x) {
            return list(std::string("cast ") + x.dtype.to_str(), {x.operand.get()});
          },
          [](const expr::Tuple& x) {
            std::string s = "(tuple";
            for (const auto& a : x.elements) s += " " + dump(a);
            return s + ")";
          },
          [&](const expr::Let& x) {
            return list("let " + x.name.str(), {x.value.get(), x.body.get()});
          },
      },
      e.value);
}

/// Every node's span, in pre-order, as "start-end".
void collect_spans(const SpannedExpr& e, std::string& out) {
  if (!out.empty()) out += ' ';
  out += std::to_string(e.span.start) + "-" + std::to_string(e.span.end);
  std::visit(Overloaded{
                 [&](const expr::Unary& x) { collect_spans(*x.operand, out); },
                 [&](const expr::Binary& x) {
                   collect_spans(*x.lhs, out);
                   collect_spans(*x.rhs, out);
                 },
                 [&](const expr::If& x) {
                   collect_spans(*x.cond, out);
                   collect_spans(*x.then_branch, out);
                   collect_spans(*x.else_branch, out);
                 },
                 [&](const expr::Call& x) {
                   for (const auto& a : x.args) collect_spans(a, out);
                 },
                 [&](const expr::Cast& x) { collect_spans(*x.operand, out); },
                 [&](const expr::Tuple& x) {
                   for (const auto& a : x.elements) collect_spans(a, out);
                 },
                 [&](const expr::Let& x) {
                   collect_spans(*x.value, out);
                   collect_spans(*x.body, out);
                 },
                 [](const auto&) {},
             },
             e.value);
}

std::string parse_dump(std::string_view text) {
  auto r = parse_expr_with_offset(text, 0);
  if (!r) return "error: " + diag::format_diags(r.error());
  return dump(*r);
}

struct TreeCase {
  const char* text;
  const char* tree;
};

class ExpressionTrees : public testing::TestWithParam<TreeCase> {};

TEST_P(ExpressionTrees, ParseToExactTree) {
  EXPECT_EQ(parse_dump(GetParam().text), GetParam().tree);
}

INSTANTIATE_TEST_SUITE_P(
    Precedence, ExpressionTrees,
    testing::Values(TreeCase{"a - b - c", "(- (- a b) c)"},
                    TreeCase{"a / b * c % d // f", "(// (% (* (/ a b) c) d) f)"},
                    TreeCase{"a ** b ** c", "(** a (** b c))"},
                    TreeCase{"a + b < c * d", "(< (+ a b) (* c d))"},
                    TreeCase{"a < b < c", "(< (< a b) c)"},
                    TreeCase{"a == b != c", "(!= (== a b) c)"},
                    TreeCase{"a <= b >= c > d", "(> (>= (<= a b) c) d)"},
                    TreeCase{"a || b && c || d", "(or (or a (and b c)) d)"},
                    TreeCase{"a && b == c", "(and a (== b c))"},
                    TreeCase{"a + b * c ** d", "(+ a (* b (** c d)))"},
                    TreeCase{"-x ** 2", "(neg (** x 2))"}, TreeCase{"-2 ** 2", "(neg (** 2 2))"},
                    TreeCase{"(-2) ** 2", "(** (neg 2) 2)"}, TreeCase{"-a * b", "(* (neg a) b)"},
                    TreeCase{"!a && b", "(and (not a) b)"}, TreeCase{"2 ** -3", "(** 2 (neg 3))"},
                    TreeCase{"2 ** -3 * 4", "(* (** 2 (neg 3)) 4)"},
                    TreeCase{"a - -b", "(- a (neg b))"}, TreeCase{"--!x", "(neg (neg (not x)))"},
                    TreeCase{"a * -b ** c", "(* a (neg (** b c)))"}));

INSTANTIATE_TEST_SUITE_P(
    Atoms, ExpressionTrees,
    testing::Values(TreeCase{"f(x)", "(call f x)"}, TreeCase{"f()", "(call f)"},
                    TreeCase{"g(1, x + 1, h(2))", "(call g 1 (+ x 1) (call h 2))"},
                    TreeCase{"(x)", "x"}, TreeCase{"((x))", "x"}, TreeCase{"(x, y)", "(tuple x y)"},
                    TreeCase{"(1, (2, 3), x)", "(tuple 1 (tuple 2 3) x)"},
                    TreeCase{"cast<f32>(x)", "(cast f32 x)"}, TreeCase{"x@f32", "(cast f32 x)"},
                    TreeCase{"x@f32@i8", "(cast i8 (cast f32 x))"}, TreeCase{"1@u8", "1@u8"},
                    TreeCase{"1@u8@f32", "(cast f32 1@u8)"}, TreeCase{"(1)@u8", "(cast u8 1)"},
                    TreeCase{"2.5@bf16", "2.5f@bf16"}, TreeCase{"0.5j@c64", "0+0.5j@c64"},
                    TreeCase{"1.5j", "0+1.5j"}, TreeCase{"1e400", "inff"},
                    TreeCase{"-1@i8", "(neg 1@i8)"}, TreeCase{"f(x)@f16", "(cast f16 (call f x))"},
                    TreeCase{"x@f32 ** 2", "(** (cast f32 x) 2)"},
                    TreeCase{"true || false", "(or true false)"}, TreeCase{"e * pi", "(* e pi)"},
                    TreeCase{"\xC3\xA9t\xC3\xA9 + 1", "(+ \xC3\xA9t\xC3\xA9 1)"},
                    TreeCase{"if c then a else b", "(if c a b)"},
                    TreeCase{"if a < b then 1 else 2 + 3", "(if (< a b) 1 (+ 2 3))"},
                    TreeCase{"if a then if b then 1 else 2 else 3", "(if a (if b 1 2) 3)"},
                    TreeCase{"if a then 1 else if b then 2 else 3", "(if a 1 (if b 2 3))"},
                    TreeCase{"1 + (if c then a else b)", "(+ 1 (if c a b))"},
                    TreeCase{"f(if c then 1 else 2, 3)", "(call f (if c 1 2) 3)"}));

struct SpanCase {
  const char* text;
  std::size_t offset;
  const char* spans;
};

class NodeSpans : public testing::TestWithParam<SpanCase> {};

TEST_P(NodeSpans, CoverFirstToLastToken) {
  auto r = parse_expr_with_offset(GetParam().text, GetParam().offset);
  ASSERT_TRUE(r.has_value()) << diag::format_diags(r.error());
  std::string spans;
  collect_spans(*r, spans);
  EXPECT_EQ(spans, GetParam().spans);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NodeSpans,
    testing::Values(SpanCase{"a + b * c", 0, "0-9 0-1 4-9 4-5 8-9"},
                    SpanCase{"a + b", 100, "100-105 100-101 104-105"}, SpanCase{"-x", 0, "0-2 1-2"},
                    SpanCase{"(a + b) * c", 0, "0-11 0-7 1-2 5-6 10-11"},
                    SpanCase{"f(x, 2)", 0, "0-7 2-3 5-6"}, SpanCase{"( x , y )", 0, "0-9 2-3 6-7"},
                    SpanCase{"1@u8", 0, "0-4"}, SpanCase{"1 @ u8 @ f32", 0, "0-12 0-6"},
                    SpanCase{"x@f64", 0, "0-5 0-1"}, SpanCase{"cast<f32>( x )", 0, "0-14 11-12"},
                    SpanCase{"if c then a else b + 1", 0, "0-22 3-4 10-11 17-22 17-18 21-22"},
                    // The last offsets a node's 32-bit span holds.
                    SpanCase{"a + b", 4294967290,
                             "4294967290-4294967295 4294967290-4294967291 "
                             "4294967294-4294967295"}));

// An expression reaching past the offsets a node span holds is refused as too large, never
// given wrapped spans.
TEST(NodeSpans, PastFourGibibytesIsTooLarge) {
  for (const std::size_t offset : {std::size_t{4294967291}, std::size_t{4294967295},
                                   std::size_t{4294967296}, std::size_t{1} << 40}) {
    EXPECT_THROW(parse_expr_with_offset("a + b", offset), std::bad_alloc) << offset;
  }
}

std::string params_text(const FuncDef& def) {
  std::string s;
  for (const auto& p : def.params) s += (s.empty() ? "" : ", ") + p.name + ": " + p.dtype.to_str();
  return s;
}

struct KernelCase {
  const char* source;
  const char* params;
  const char* body;
};

class Kernels : public testing::TestWithParam<KernelCase> {};

TEST_P(Kernels, ParseIntoParamsAndNestedLets) {
  auto r = parse_dsl_with_errors(GetParam().source);
  ASSERT_TRUE(r.has_value()) << diag::format_diags(r.error());
  EXPECT_EQ(params_text(*r), GetParam().params);
  EXPECT_EQ(dump(r->body), GetParam().body);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Kernels,
    testing::Values(
        KernelCase{"|x: f64, n: i32|  # header\ny = x * 2.0\ny + n@f64", "x: f64, n: i32",
                   "(let y (* x 2f) (+ y (cast f64 n)))"},
        KernelCase{"|| a = 1\nb = a + 1\nb * 2", "", "(let a 1 (let b (+ a 1) (* b 2)))"},
        KernelCase{"|| 1", "", "1"}, KernelCase{"| \t |\n1", "", "1"},
        KernelCase{"|x: f64| x # note", "x: f64", "x"},
        KernelCase{"|x: f64| x == 1", "x: f64", "(== x 1)"},
        KernelCase{"|x: f64|\nx != 1\n", "x: f64", "(!= x 1)"},
        KernelCase{"|a: bool, b: bool|\nc=a<=b\nd = c >= a\nd", "a: bool, b: bool",
                   "(let c (<= a b) (let d (>= c a) d))"},
        KernelCase{"the kernel: |x:f16|\r\n\r\n  y = x\r\n\n\ty # done", "x: f16", "(let y x y)"},
        KernelCase{"# |not: the header|\n|x: u8| x", "x: u8", "x"},
        // Any White_Space trims a parameter or a line, not only ASCII blanks.
        KernelCase{"|x:\xC2\xA0"
                   "f64,\xE3\x80\x80n\t: i8\xE2\x80\x83|\xC2\x85x\xE2\x80\xA8",
                   "x: f64, n: i8", "x"},
        KernelCase{"|x: f64, # first\n y: c128| # second\nx + y", "x: f64, y: c128", "(+ x y)"},
        KernelCase{"|x: f64, x: f64| x", "x: f64, x: f64", "x"},
        KernelCase{"|| y = 1\ny = y + 1\ny", "", "(let y 1 (let y (+ y 1) y))"},
        KernelCase{"|_a1: bf16| _a1", "_a1: bf16", "_a1"}));

TEST(Kernels, LetSpansRunFromTheLineToTheBodyEnd) {
  const std::string src = "|| a = 1\n b = a\n b";
  auto r = parse_dsl_with_errors(src);
  ASSERT_TRUE(r.has_value());
  std::string spans;
  collect_spans(r->body, spans);
  EXPECT_EQ(spans, "3-18 7-8 10-18 14-15 17-18");
}

/// The parameters and tree of a kernel with every span, or its diagnostics with their spans.
std::string kernel_outcome(std::string_view source) {
  auto r = parse_dsl_with_errors(source);
  std::string out;
  if (!r) {
    for (const auto& d : r.error()) {
      out += d.message + " @" + std::to_string(d.span->start) + "-" + std::to_string(d.span->end) +
             "\n";
    }
    return out;
  }
  collect_spans(r->body, out);
  return params_text(*r) + " | " + dump(r->body) + " | " + out;
}

TEST(Kernels, ReadAsTheirCommentBlankedCopies) {
  // Lines of many lengths, so that comments, "j"s and line ends fall everywhere within a word
  // of the line scan; comments hiding bars, signs and imaginary literals; broken lines too.
  const std::vector<std::string> pieces = {"a = x",
                                           "b = a * 2.0",
                                           "c=b",
                                           "abcdefgh = 1",
                                           "d = 2j",
                                           "e1 = x2j",
                                           "k = 1.5j + 3e2j",
                                           "q = a == b",
                                           "r = (a, b)",
                                           "",
                                           "   ",
                                           "\t\r",
                                           "y",
                                           "= x",
                                           "w = = x",
                                           "1 + 2",
                                           "u = ~",
                                           "jj = j",
                                           "v = f(x, 1@u8)"};
  const std::vector<std::string> comments = {"",      "#",        "# |x| = 2j",
                                             "#j\tj", " # a=b #", "#########"};
  const std::vector<std::string> headers = {"|x: f64|", "|x: f64 # c|\n|", "# |y: u8|\n|x: f64|",
                                            "|x: f64, # z: 2j\n n: i32|", "|x: f64, n: i3#2|"};
  std::mt19937 rng(20261209);
  auto pick = [&](const std::vector<std::string>& v) -> const std::string& {
    return v[std::uniform_int_distribution<std::size_t>(0, v.size() - 1)(rng)];
  };
  for (int round = 0; round < 3000; ++round) {
    std::string src = pick(headers);
    const int lines = std::uniform_int_distribution<int>(0, 5)(rng);
    for (int i = 0; i < lines; ++i) {
      src += std::string(std::uniform_int_distribution<std::size_t>(0, 9)(rng), ' ');
      src += pick(pieces) + pick(comments) + (rng() % 4 == 0 ? "\r\n" : "\n");
    }
    if (rng() % 2 == 0) src += "a + x" + pick(comments);
    std::string blanked = src;
    bool in_comment = false;
    for (char& c : blanked) {
      in_comment = c != '\n' && (in_comment || c == '#');
      if (in_comment) c = ' ';
    }
    EXPECT_EQ(kernel_outcome(src), kernel_outcome(blanked)) << src;
  }
}

TEST(Kernels, ReportTheFaultNearestTheResultLine) {
  // Each kernel has several faulty lines; only the last one's diagnostics are reported, and a
  // faulty result line beats them all.
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"|| a = 1 +\nb\nc = )\nd = c\n1", "syntax error: syntax error @17-18\n"},
      {"|| 2x = 1\n = 3\ny", "syntax error: invalid assignment @11-14\n"},
      {"|| a = 2j\nb = 2 +\nc = 3\n(", "syntax error: syntax error @25-25\n"},
      {"|| q\nif = 1\nz = 2\nz", "reserved word `if` cannot be used as an identifier @5-7\n"},
      {"|| a = 1 2\nb = 2 3 4\nb", "syntax error: syntax error @17-18\n"},
      {"|| a = 1 2 # c = )\nb = x@foo + y@bar\nb",
       "unknown type `foo` @25-28\nunknown type `bar` @33-36\n"},
      {"|| a = 1 2\nb = 3\nb = 3 =\nb", "syntax error: lex error @23-24\n"},
  };
  for (const auto& [source, expected] : cases) {
    EXPECT_EQ(kernel_outcome(source), expected) << source;
  }
}

TEST(Kernels, FindIntegerImaginaryLiteralsAtEveryPlaceInALine) {
  for (std::size_t pad = 0; pad < 20; ++pad) {
    const std::string lead(pad, ' ');
    for (const std::string& src : {"|| x = " + lead + "12j\nx\n", "|| x = 1\n" + lead + "x + 12j",
                                   "||" + lead + "x + 12j # 1j"}) {
      const std::size_t at = src.find("12j");
      EXPECT_EQ(
          kernel_outcome(src),
          "integer imaginary literal `12j` is not supported; use float form `12.0j` instead @" +
              std::to_string(at) + "-" + std::to_string(at + 3) + "\n")
          << src;
    }
  }
}

struct IdentCase {
  const char* name;
  const char* error;  ///< empty: accepted
};

class ParseIdent : public testing::TestWithParam<IdentCase> {};

TEST_P(ParseIdent, AcceptsOnlyPlainUnreservedNames) {
  const auto r = parse_ident(GetParam().name, Span{4, 9});
  if (std::string_view(GetParam().error).empty()) {
    ASSERT_TRUE(r.has_value()) << r.error().message;
    EXPECT_EQ(*r, GetParam().name);
    return;
  }
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message, GetParam().error);
  EXPECT_EQ(r.error().span, (Span{4, 9}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseIdent,
    testing::Values(IdentCase{"x", ""}, IdentCase{"_", ""}, IdentCase{"Pi", ""},
                    IdentCase{"pie", ""}, IdentCase{"f128", ""}, IdentCase{"x_1Y", ""},
                    IdentCase{"", "syntax error: identifier cannot be empty"},
                    IdentCase{"1x", "syntax error: invalid identifier `1x`"},
                    IdentCase{"a b", "syntax error: invalid identifier `a b`"},
                    IdentCase{"\xC3\xA9", "syntax error: invalid identifier `\xC3\xA9`"},
                    IdentCase{"e", "reserved word `e` cannot be used as an identifier"},
                    IdentCase{"false", "reserved word `false` cannot be used as an identifier"},
                    IdentCase{"c128", "reserved word `c128` cannot be used as an identifier"}));

TEST(ParseIdent, ReservesExactlyTheKeywordsAndDtypeWords) {
  const char* const reserved[] = {"e",    "if",   "pi",   "u8",   "i8",   "u16",  "u32",  "u64",
                                  "i16",  "i32",  "i64",  "f16",  "f32",  "f64",  "c64",  "then",
                                  "else", "cast", "true", "bool", "bf16", "c128", "false"};
  for (const char* word : reserved) {
    const auto r = parse_ident(word, Span{0, 1});
    ASSERT_FALSE(r.has_value()) << word;
    EXPECT_EQ(r.error().kind, diag::DiagKind::ReservedIdentifier) << word;
  }
}

struct RecoveryCase {
  const char* text;
  const char* messages;  ///< format_diags of the result
  std::vector<Span> spans;
};

class Recovery : public testing::TestWithParam<RecoveryCase> {};

TEST_P(Recovery, ReportsTheRecordedErrorsInOrder) {
  auto r = parse_expr_with_offset(GetParam().text, 0);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(diag::format_diags(r.error()), GetParam().messages);
  std::vector<Span> spans;
  for (const auto& d : r.error()) spans.push_back(*d.span);
  EXPECT_EQ(spans, GetParam().spans);
}

constexpr const char* kOne = "syntax error: syntax error";
constexpr const char* kTwo = "syntax error: syntax error; syntax error: syntax error";

INSTANTIATE_TEST_SUITE_P(
    Table, Recovery,
    testing::Values(
        RecoveryCase{"1 + + 2", kOne, {{4, 5}}}, RecoveryCase{"1 2", kOne, {{2, 3}}},
        RecoveryCase{"1 +", kOne, {{3, 3}}}, RecoveryCase{")", kOne, {{0, 1}}},
        RecoveryCase{"(1 +) + (2 *)", kTwo, {{4, 5}, {12, 13}}},
        RecoveryCase{"f(1 +, 2 *)", kTwo, {{5, 6}, {10, 11}}},
        RecoveryCase{"f(1 2)", kOne, {{4, 5}}}, RecoveryCase{"f(1, 2", kOne, {{6, 6}}},
        RecoveryCase{"(1", kOne, {{2, 2}}}, RecoveryCase{"(1, 2 3) + (", kTwo, {{6, 7}, {12, 12}}},
        RecoveryCase{"f(1,)", kOne, {{4, 5}}}, RecoveryCase{"()", kOne, {{1, 2}}},
        RecoveryCase{"cast<f32>(x y) + )", kTwo, {{12, 13}, {17, 18}}},
        RecoveryCase{"cast f32", kOne, {{5, 8}}}, RecoveryCase{"x@1", kOne, {{2, 3}}},
        RecoveryCase{"if c a else b", kOne, {{5, 6}}},
        RecoveryCase{"if c then a", kOne, {{11, 11}}},
        RecoveryCase{"1 + if c then a else b", kOne, {{4, 6}}},
        RecoveryCase{"x@foo + y@bar", "unknown type `foo`; unknown type `bar`", {{2, 5}, {10, 13}}},
        RecoveryCase{"f(x@f128, * 2)",
                     "unknown type `f128`; syntax error: syntax error",
                     {{4, 8}, {10, 11}}},
        RecoveryCase{"1 ** ** 2 , 3", kOne, {{5, 7}}}, RecoveryCase{"1 2 3", kOne, {{2, 3}}},
        RecoveryCase{"x) + (y", kOne, {{1, 2}}}));

/// The node at the end of the chain of single-child links (or of `next` for binary nodes), and
/// the number of links followed.
template <class Next>
std::size_t chain_length(const SpannedExpr& root, Next next) {
  std::size_t n = 0;
  for (const SpannedExpr* e = &root; (e = next(*e)) != nullptr;) ++n;
  return n;
}

constexpr std::size_t kDeep = test::kDeepInput;

TEST(DeepNesting, MillionParentheses) {
  const std::string text = std::string(kDeep, '(') + "x" + std::string(kDeep, ')');
  auto r = parse_expr_with_offset(text, 0);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(dump(*r), "x");
  EXPECT_EQ(r->span, (Span{0, text.size()}));
}

TEST(DeepNesting, MillionPrefixMinusSigns) {
  auto r = parse_expr_with_offset(std::string(kDeep, '-') + "x", 0);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(chain_length(*r,
                         [](const SpannedExpr& e) -> const SpannedExpr* {
                           const auto* u = std::get_if<expr::Unary>(&e.value);
                           return u ? u->operand.get() : nullptr;
                         }),
            kDeep);
}

struct ChainCase {
  const char* link;  ///< appended a million times after "x"
  bool left;         ///< the chain grows through the left operand
};

class DeepOperatorChains : public testing::TestWithParam<ChainCase> {};

TEST_P(DeepOperatorChains, ParseAndDropAMillionOperators) {
  std::string text = "x";
  for (std::size_t i = 0; i < kDeep; ++i) text += GetParam().link;
  auto r = parse_expr_with_offset(text, 0);
  ASSERT_TRUE(r.has_value());
  const bool left = GetParam().left;
  EXPECT_EQ(chain_length(*r,
                         [left](const SpannedExpr& e) -> const SpannedExpr* {
                           const auto* b = std::get_if<expr::Binary>(&e.value);
                           return b ? (left ? b->lhs : b->rhs).get() : nullptr;
                         }),
            kDeep);
}

INSTANTIATE_TEST_SUITE_P(Table, DeepOperatorChains,
                         testing::Values(ChainCase{"-x", true}, ChainCase{"**x", false}));

TEST(DeepNesting, NestedConditionals) {
  constexpr std::size_t kDepth = 100'000;
  std::string text;
  for (std::size_t i = 0; i < kDepth; ++i) text += "if c then ";
  text += "1";
  for (std::size_t i = 0; i < kDepth; ++i) text += " else 2";
  EXPECT_TRUE(parse_expr_with_offset(text, 0).has_value());
}

TEST(DeepNesting, UnclosedMillionParenthesesReportOneError) {
  const std::string text = std::string(kDeep, '(') + "x";
  auto r = parse_expr_with_offset(text, 0);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), std::vector{parse_syntax("syntax error", Span{text.size(), text.size()})});
}

TEST(DeepNesting, HundredThousandAssignments) {
  std::string src = "|x: f64|\n";
  for (std::size_t i = 0; i < 100'000; ++i) src += "x = x + 1\n";
  src += "x";
  auto r = parse_dsl_with_errors(src);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(chain_length(r->body,
                         [](const SpannedExpr& e) -> const SpannedExpr* {
                           const auto* l = std::get_if<expr::Let>(&e.value);
                           return l ? l->body.get() : nullptr;
                         }),
            100'000u);
}

// A kernel's tree lives in its arena: names longer than the inline room, argument and element
// lists, and the nodes themselves. The tree must read the same as the heap-built tree of the
// same expression, also after the parsed kernel has been moved (the arena travels with it), and
// after a kernel that shared nothing with it was dropped.
TEST(ArenaTrees, ReadTheSameAsHeapTreesAndTravelWithTheKernel) {
  const std::string long_name = "a_parameter_name_longer_than_sixteen_bytes";
  const std::string results[] = {
      long_name + " * 2.0",
      "exp(" + long_name + ") + sqrt(" + long_name + " * " + long_name + ")",
      "(1, " + long_name + ", cast<f32>(2.5))",
      "if " + long_name + " > 0.0 then -" + long_name + " else tanh(1.0)@f32",
  };
  for (const std::string& result : results) {
    const std::string src =
        "|" + long_name + ": f64|\n" + long_name + "_with_more_text = 1.0\n" + result;
    auto heap = parse_expr_with_offset(result, 0);
    ASSERT_TRUE(heap.has_value()) << result;
    std::optional<FuncDef> moved;
    {
      auto parsed = parse_dsl_with_errors(src);
      ASSERT_TRUE(parsed.has_value()) << diag::format_diags(parsed.error());
      EXPECT_TRUE(NodeArena::holds(std::get<expr::Let>(parsed->body.value).body.get()));
      moved.emplace(std::move(*parsed));
      auto other = parse_dsl_with_errors("|| f(1, 2)");  // dropped at once
    }
    const auto& let = std::get<expr::Let>(moved->body.value);
    EXPECT_EQ(let.name.view(), long_name + "_with_more_text");
    std::size_t value_nodes = 0;
    for_each_node(moved->body, [&](const SpannedExpr& e) {
      value_nodes += !std::holds_alternative<expr::Var>(e.value) &&
                     !std::holds_alternative<expr::Let>(e.value) &&
                     !std::holds_alternative<expr::Tuple>(e.value);
    });
    EXPECT_EQ(moved->arena.value_nodes, value_nodes) << result;
    EXPECT_EQ(moved->arena.bindings, 1u) << result;
    EXPECT_EQ(dump(*let.body), dump(*heap)) << result;
  }
  EXPECT_FALSE(NodeArena::holds(box(SpannedExpr(expr::ConstPi{}, Span{0, 2})).get()));
}

// A name keeps its text whatever its length and owner, through copies, moves and swaps; the
// lengths straddle the room in the word itself.
TEST(Names, KeepTheirTextAcrossLengthsOwnersAndMoves) {
  NodeArena arena;
  for (std::size_t length : {0u, 1u, 6u, 7u, 8u, 15u, 16u, 300u}) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += static_cast<char>('a' + (i * 7 + length) % 26);
    for (bool in_arena : {false, true}) {
      Name name = in_arena ? Name(text, arena) : Name(text);
      EXPECT_EQ(name.view(), text) << length;
      const Name copy = name;
      Name moved = std::move(name);
      EXPECT_EQ(moved.view(), text) << length;
      EXPECT_TRUE(name.view().empty()) << length;  // NOLINT(bugprone-use-after-move)
      Name other("zz");
      other = std::move(moved);
      EXPECT_EQ(other, copy) << length;
      EXPECT_EQ(copy, std::string_view(text)) << length;
    }
  }
}

// Nodes on the heap and in an arena are told apart by address alone, however the arena's
// nodes fall among its other allocations.
TEST(ArenaTrees, NodesAreToldApartFromHeapNodesByAddress) {
  NodeArena arena;
  std::vector<ExprBox> heap;
  for (std::size_t i = 0; i < 1000; ++i) {
    arena.allocate(i % 13, 1);  // a long name's text or a list, of any length
    ExprBox node = make_node_in(arena, expr::ConstE{}, Span{0, 1});
    EXPECT_TRUE(NodeArena::holds(node.get())) << i;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(node.get()) % alignof(SpannedExpr), 0u);
    heap.push_back(make_node(expr::ConstPi{}, Span{0, 2}));
    EXPECT_FALSE(NodeArena::holds(heap.back().get())) << i;
  }
}

// Requests of every size and alignment, past the first block and larger than any block, each
// aligned as asked and none overlapping the previous one.
TEST(ArenaTrees, AllocationsAreAlignedAndDisjoint) {
  NodeArena arena;
  struct Request {
    std::size_t bytes, align, offset;
  };
  const Request requests[] = {{1, 1, 0},    {56, 16, 8}, {3, 1, 0},    {8, 8, 0},
                              {4000, 8, 0}, {56, 16, 8}, {100, 32, 0}, {3u << 20, 8, 0},
                              {56, 16, 8},  {1, 1, 0}};
  std::vector<std::pair<std::uintptr_t, std::uintptr_t>> taken;
  for (int round = 0; round < 50; ++round) {
    for (const Request& r : requests) {
      auto* p = static_cast<char*>(arena.allocate(r.bytes, r.align, r.offset));
      const auto at = reinterpret_cast<std::uintptr_t>(p);
      EXPECT_EQ(at % r.align, r.offset) << r.bytes;
      std::memset(p, 0xAB, r.bytes);  // the sanitizer build checks that all of it is ours
      for (const auto& [start, end] : taken) {
        ASSERT_TRUE(at + r.bytes <= start || at >= end) << r.bytes << " at round " << round;
      }
      taken.emplace_back(at, at + r.bytes);
    }
  }
}

}  // namespace
}  // namespace tarvelon::parse
