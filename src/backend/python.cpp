#include "backend/python.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "support/cancel.h"
#include "support/internal_fault.h"
#include "support/number_text.h"

namespace tarvelon::backend {

namespace {

using ir::Node;
using ir::NodeId;
using vocab::Builtin;
using vocab::DType;
using vocab::DTypeKind;
namespace node = ir::node;

/// The module-level names an emitted body may read; a parameter must not shadow them.
struct GlobalUse {
  std::string_view name;
  std::string_view use;  ///< how the name appears in an emitted expression
};
constexpr GlobalUse kGlobals[] = {{"math", "math."}, {"abs", "abs("},   {"float", "float("},
                                  {"int", "int("},   {"bool", "bool("}, {"complex", "complex("}};
using GlobalMask = std::uint8_t;
static_assert(std::size(kGlobals) <= 8 * sizeof(GlobalMask));

constexpr GlobalMask globals_in(std::string_view text) {
  GlobalMask mask = 0;
  for (std::size_t g = 0; g < std::size(kGlobals); ++g) {
    if (text.find(kGlobals[g].use) != std::string_view::npos) mask |= GlobalMask(1u << g);
  }
  return mask;
}

/// A fixed pattern in which each "{}" stands for a temporary, cut at its holes once, at compile
/// time, so that filling it copies pieces and searches nothing.
struct Form {
  std::string_view pieces[3];  ///< the text before the first hole, between the two, and after
  std::size_t holes = 0;

  constexpr explicit Form(std::string_view pattern) {
    for (std::size_t hole; holes < 2 && (hole = pattern.find("{}")) != std::string_view::npos;) {
      pieces[holes++] = pattern.substr(0, hole);
      pattern.remove_prefix(hole + 2);
    }
    pieces[holes] = pattern;
  }
};

/// One line of the body in the making, for the forms whose length has a small bound: the
/// pieces are copied into a buffer on the machine stack and the line joins the text in one
/// append.
class Line {
 public:
  /// The longest fixed pattern of a builtin or a conversion; each of its holes and the line's
  /// own temporaries add at most 11 bytes.
  static constexpr std::size_t kLongestPattern = 48;

  void put(std::string_view text) noexcept {
    std::memcpy(buf_ + n_, text.data(), text.size());
    n_ += text.size();
  }
  void put(char c) noexcept { buf_[n_++] = c; }
  /// The temporary of `id`: "t" and its digits.
  void temp(NodeId id) noexcept {
    buf_[n_++] = 't';
    n_ = static_cast<std::size_t>(support::write_decimal_u32(buf_ + n_, id) - buf_);
  }
  /// `form` with each hole filled by the temporary of `id`.
  void fill(const Form& form, NodeId id) noexcept {
    put(form.pieces[0]);
    for (std::size_t k = 0; k < form.holes; ++k) {
      temp(id);
      put(form.pieces[k + 1]);
    }
  }
  void flush(std::string& out) {
    out.append(buf_, n_);
    n_ = 0;
  }

 private:
  char buf_[160];  // indentation and temporary (18), a pattern with two holes, the line feed
  std::size_t n_ = 0;
};

constexpr bool fits_a_line(std::string_view pattern) {
  std::size_t holes = 0;
  for (std::size_t h = pattern.find("{}"); h != std::string_view::npos;
       h = pattern.find("{}", h + 2)) {
    ++holes;
  }
  return pattern.size() <= Line::kLongestPattern && holes <= 2;
}

/// A builtin's Python form; each "{}" is the argument's temporary.
struct BuiltinText {
  Builtin builtin;
  std::string_view pattern;
};
constexpr BuiltinText kBuiltinTexts[] = {
    {Builtin::Exp, "math.exp({})"},
    {Builtin::Log, "math.log({})"},
    {Builtin::Sqrt, "math.sqrt({})"},
    {Builtin::Abs, "abs({})"},
    {Builtin::Sin, "math.sin({})"},
    {Builtin::Cos, "math.cos({})"},
    {Builtin::Tanh, "math.tanh({})"},
    {Builtin::Sigmoid, "(1.0 / (1.0 + math.exp(-{})))"},
    {Builtin::Relu, "({} if {} > 0 else 0.0)"},
    {Builtin::Softplus, "math.log(1.0 + math.exp({}))"},
    {Builtin::Floor, "float(math.floor({}))"},
    {Builtin::Ceil, "float(math.ceil({}))"},
    {Builtin::ExpSigmoid, "(1.0 / (1.0 + math.exp(-math.exp({}))))"},
    {Builtin::SigmoidLog, "math.log(1.0 / (1.0 + math.exp(-{})))"},
};
static_assert(vocab::in_builtin_order(kBuiltinTexts));
static_assert(std::ranges::all_of(kBuiltinTexts,
                                  [](const BuiltinText& b) { return fits_a_line(b.pattern); }));

/// Each table of patterns, cut into forms.
template <std::size_t N, class F>
constexpr auto forms_of_each(F pattern) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<Form, N>{Form(pattern(I))...};
  }
  (std::make_index_sequence<N>());
}
constexpr auto kBuiltinForms =
    forms_of_each<std::size(kBuiltinTexts)>([](std::size_t i) { return kBuiltinTexts[i].pattern; });

const Form& builtin_form(Builtin b) { return kBuiltinForms[static_cast<std::size_t>(b)]; }

/// The forms a cast takes; "{}" is the operand's temporary.
enum class Conversion : std::uint8_t { None, Bool, Int, Float, Complex };
constexpr std::string_view kConversionPatterns[] = {"{}", "bool({})", "int({})", "float({})",
                                                    "complex({}, 0.0)"};
static_assert(std::ranges::all_of(kConversionPatterns, fits_a_line));

/// The conversion a cast from `from` to `to` needs.
Conversion conversion(DType from, DType to) {
  if (from == to) return Conversion::None;
  switch (to.kind) {
    case DTypeKind::Bool:
      return Conversion::Bool;
    case DTypeKind::UInt:
    case DTypeKind::Int:
      return Conversion::Int;
    case DTypeKind::Float:
      return Conversion::Float;
    case DTypeKind::Complex:
      break;
  }
  return from.kind == DTypeKind::Complex ? Conversion::None : Conversion::Complex;
}

constexpr auto kConversionForms = forms_of_each<std::size(kConversionPatterns)>(
    [](std::size_t i) { return kConversionPatterns[i]; });

const Form& conversion_form(DType from, DType to) {
  return kConversionForms[static_cast<std::size_t>(conversion(from, to))];
}

constexpr Form kNegForm{"-{}"};
constexpr Form kNotForm{"(not {})"};

/// The globals of each fixed pattern, found once at compile time rather than at every node.
template <std::size_t N, class F>
constexpr std::array<GlobalMask, N> globals_of_each(F pattern) {
  std::array<GlobalMask, N> masks{};
  for (std::size_t i = 0; i < N; ++i) masks[i] = globals_in(pattern(i));
  return masks;
}
constexpr auto kBuiltinGlobals = globals_of_each<std::size(kBuiltinTexts)>(
    [](std::size_t i) { return kBuiltinTexts[i].pattern; });
constexpr auto kConversionGlobals = globals_of_each<std::size(kConversionPatterns)>(
    [](std::size_t i) { return kConversionPatterns[i]; });

void append_temp(std::string& out, NodeId id) {
  out += 't';
  support::append_int(out, id);
}

/// A double as Python source: the shortest round-trip decimal, or a spelling of the values
/// whose decimal text would not read back as a float of the same value (NaN, the infinities,
/// and negative zero, which an integer-looking "-0" would turn into plain 0).
void append_py_double(std::string& out, double v) {
  if (v == 0.0 && std::signbit(v)) {
    out += "-0.0";
  } else if (std::isnan(v)) {
    out += "float('nan')";
  } else if (std::isinf(v)) {
    out += v > 0 ? "float('inf')" : "float('-inf')";
  } else if (std::fabs(v) >= 0x1p53) {
    // Doubles this large are whole numbers and are written as Python ints, which keep every
    // digit: the shortest digits padded with zeros would be a different number (1e23 would not
    // compare equal to itself), so the exact expansion is written instead.
    char buf[320];  // the largest double has 309 digits
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    (void)ec;
    out.append(buf, end);
  } else {
    support::append_double(out, v);
  }
}

void append_literal(std::string& out, const ir::Literal& lit) {
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          out += v ? "True" : "False";
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          support::append_int(out, v);
        } else if constexpr (std::is_same_v<T, double>) {
          append_py_double(out, v);
        } else {
          out += "complex(";
          append_py_double(out, v.re);
          out += ", ";
          append_py_double(out, v.im);
          out += ')';
        }
      },
      lit);
}

/// The globals `append_literal` writes for `lit`, found without writing it: only the spellings
/// of NaN and the infinities call `float`, and only complex constants call `complex`.
GlobalMask literal_globals(const ir::Literal& lit) {
  constexpr GlobalMask kFloat = globals_in("float(");
  constexpr GlobalMask kComplex = globals_in("complex(");
  auto spelled = [&](double v) { return std::isfinite(v) ? GlobalMask(0) : kFloat; };
  if (const auto* d = std::get_if<double>(&lit)) return spelled(*d);
  if (const auto* c = std::get_if<ir::ComplexValue>(&lit)) {
    return kComplex | spelled(c->re) | spelled(c->im);
  }
  return 0;
}

[[noreturn]] void out_of_range(NodeId id, std::size_t len) {
  support::internal_fault("node id " + std::to_string(id) + " out of range (nodes len " +
                          std::to_string(len) + ")");
}

/// The globals the line of `nd` reads.
GlobalMask line_globals(const ir::TypedDag& dag, const Node& nd) {
  if (const auto* c = std::get_if<node::Call>(&nd)) {
    return kBuiltinGlobals[static_cast<std::size_t>(c->builtin)];
  }
  if (const auto* c = std::get_if<node::Cast>(&nd)) {
    return kConversionGlobals[static_cast<std::size_t>(conversion(dag.dtypes[c->arg], c->to))];
  }
  if (const auto* c = std::get_if<node::Const>(&nd)) return literal_globals(c->value);
  return 0;
}

/// The nodes reachable from the outputs, and the globals their lines read.
struct Liveness {
  std::vector<std::uint8_t> live;
  GlobalMask globals = 0;
};

/// Marks the nodes reachable from the outputs and checks every reference on the way, following
/// references from node to node.
Liveness liveness_by_walk(const ir::TypedDag& dag) {
  const std::size_t n = dag.nodes.size();
  Liveness out{std::vector<std::uint8_t>(n, 0)};
  std::vector<NodeId> work;
  auto mark = [&](NodeId id) {
    if (id >= n) out_of_range(id, n);
    if (!out.live[id]) {
      out.live[id] = 1;
      work.push_back(id);
    }
  };
  for (NodeId o : dag.outputs) mark(o);
  while (!work.empty()) {
    support::poll_cancel();
    NodeId id = work.back();
    work.pop_back();
    const Node& nd = dag.nodes[id];
    if (const auto* p = std::get_if<node::Param>(&nd); p && p->index >= dag.params.size()) {
      support::internal_fault("invalid Param index in TypedDag");
    }
    if (const auto* c = std::get_if<node::Call>(&nd); c && c->args.empty()) {
      support::internal_fault("Call node must have at least one argument");
    }
    if (const auto* c = std::get_if<node::Cast>(&nd); c && c->arg >= dag.dtypes.size()) {
      out_of_range(c->arg, dag.dtypes.size());
    }
    ir::for_each_operand(nd, mark);
    out.globals |= line_globals(dag, nd);
  }
  return out;
}

/// The same as `liveness_by_walk`. Lowering and the optimizer number every operand below the
/// node that uses it, so one sweep from the last node down finds every live node after all its
/// users, with no list of pending work, and reads each node once. A DAG numbered otherwise, or
/// one with a fault to report, is left to the walk, which reports the first fault it meets.
Liveness liveness(const ir::TypedDag& dag) {
  const std::size_t n = dag.nodes.size();
  if (dag.dtypes.size() != n) return liveness_by_walk(dag);
  Liveness out{std::vector<std::uint8_t>(n, 0)};
  for (NodeId o : dag.outputs) {
    if (o >= n) return liveness_by_walk(dag);
    out.live[o] = 1;
  }
  for (std::size_t i = n; i-- > 0;) {
    if (!out.live[i]) continue;
    const Node& nd = dag.nodes[i];
    bool sound = true;
    if (const auto* p = std::get_if<node::Param>(&nd)) {
      sound = p->index < dag.params.size();
    } else if (const auto* c = std::get_if<node::Call>(&nd)) {
      sound = !c->args.empty();
    }
    ir::for_each_operand(nd, [&](NodeId id) {
      sound = sound && id < i;
      if (sound) out.live[id] = 1;
    });
    if (!sound) return liveness_by_walk(dag);
    out.globals |= line_globals(dag, nd);
  }
  return out;
}

/// Whether `name` is the temporary of a live node ("t" and the index without leading zeros).
bool is_assigned_temp(std::string_view name, const std::vector<std::uint8_t>& live) {
  if (name.size() < 2 || name[0] != 't') return false;
  std::string_view digits = name.substr(1);
  if (digits.size() > 1 && digits[0] == '0') return false;
  std::uint64_t index = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
  if (ec != std::errc() || end != digits.data() + digits.size()) return false;
  return index < live.size() && live[index];
}

/// Whether `name` can stand as a Python parameter as it is: ASCII letters, digits and "_", not
/// starting with a digit, and not a keyword.
bool is_plain_python_name(std::string_view name) {
  static constexpr std::string_view kKeywords[] = {
      "False", "None",     "True",  "and",    "as",   "assert", "async",  "await",    "break",
      "class", "continue", "def",   "del",    "elif", "else",   "except", "finally",  "for",
      "from",  "global",   "if",    "import", "in",   "is",     "lambda", "nonlocal", "not",
      "or",    "pass",     "raise", "return", "try",  "while",  "with",   "yield"};
  auto is_alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  bool ok = !name.empty() && !is_digit(name[0]);
  for (char c : name) ok = ok && (is_alpha(c) || is_digit(c) || c == '_');
  for (std::string_view kw : kKeywords) ok = ok && name != kw;
  return ok;
}

/// The names already given to parameters. A kernel has few parameters, so they are compared
/// one by one; a kernel with many gets a hash set.
class TakenNames {
 public:
  bool contains(std::string_view name) const {
    if (!set_.empty()) return set_.contains(name);
    return std::find(list_.begin(), list_.end(), name) != list_.end();
  }
  /// Adds `name`, which must stay alive as long as this set.
  void insert(std::string_view name) {
    if (set_.empty() && list_.size() < kListed) {
      list_.push_back(name);
      return;
    }
    if (set_.empty()) set_.insert(list_.begin(), list_.end());
    set_.insert(name);
  }

 private:
  static constexpr std::size_t kListed = 16;
  std::vector<std::string_view> list_;
  std::unordered_set<std::string_view> set_;
};

/// "p{k}", the name parameter `k` takes when its own is not a plain Python name. Appended
/// rather than concatenated: g++ 12 misreads `"p" + std::to_string(k)` as an overlapping copy.
std::string positional_name(std::size_t k) {
  std::string name = "p";
  support::append_int(name, k);
  return name;
}

/// The Python name of each parameter. A name that is usable on its own and clashes with
/// nothing is kept; every other parameter gets "p{k}", or "p{k}_{n}" when that is taken too.
std::vector<std::string> param_names(const ir::TypedDag& dag, const std::vector<std::uint8_t>& live,
                                     GlobalMask globals) {
  const auto& params = dag.params;
  auto clashes = [&](std::string_view name) {
    if (name == "__debug__" || is_assigned_temp(name, live)) return true;
    for (std::size_t g = 0; g < std::size(kGlobals); ++g) {
      if ((globals >> g & 1u) && kGlobals[g].name == name) return true;
    }
    return false;
  };
  // A name left empty here is not kept: a kept name is never empty.
  std::vector<std::string> names(params.size());
  TakenNames taken;
  for (std::size_t k = 0; k < params.size(); ++k) {
    const std::string& name = params[k].name;
    if (is_plain_python_name(name) && !clashes(name) && !taken.contains(name)) {
      taken.insert(name);
      names[k] = name;
    }
  }
  for (std::size_t k = 0; k < params.size(); ++k) {
    if (!names[k].empty()) continue;
    std::string base = positional_name(k);
    std::string candidate = base;
    for (std::size_t n = 1; taken.contains(candidate); ++n) {
      candidate = base + "_" + std::to_string(n);
    }
    names[k] = std::move(candidate);
    taken.insert(names[k]);
  }
  return names;
}

}  // namespace

std::string py_param_name(std::string_view name, std::size_t k) {
  if (is_plain_python_name(name)) return std::string(name);
  return positional_name(k);
}

std::string PythonBackend::emit_kernel(const ir::TypedDag& dag,
                                       std::string_view function_name) const {
  return emit_function(dag, function_name).text;
}

EmittedFunction PythonBackend::emit_function(const ir::TypedDag& dag,
                                             std::string_view function_name) const {
  const auto [live, globals] = liveness(dag);
  std::vector<std::string> names = param_names(dag, live, globals);

  std::string out;
  out.reserve(64 + function_name.size() + 32 * dag.nodes.size());
  out += "import math\n\ndef ";
  out += function_name;
  out += '(';
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (k) out += ", ";
    out += names[k];
  }
  out += "):\n";

  Line line;
  for (std::size_t i = 0; i < dag.nodes.size(); ++i) {
    support::poll_cancel();
    if (!live[i]) continue;
    line.put("    ");
    line.temp(static_cast<NodeId>(i));
    line.put(" = ");
    std::visit(
        [&](const auto& x) {
          using T = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<T, node::Param>) {
            line.flush(out);
            out += names[x.index];
          } else if constexpr (std::is_same_v<T, node::Const>) {
            line.flush(out);
            append_literal(out, x.value);
          } else if constexpr (std::is_same_v<T, node::Unary>) {
            line.fill(x.op == vocab::UnaryOp::Neg ? kNegForm : kNotForm, x.arg);
          } else if constexpr (std::is_same_v<T, node::Binary>) {
            line.put('(');
            line.temp(x.lhs);
            line.put(' ');
            line.put(vocab::op_text(x.op));
            line.put(' ');
            line.temp(x.rhs);
            line.put(')');
          } else if constexpr (std::is_same_v<T, node::If>) {
            line.put('(');
            line.temp(x.then_branch);
            line.put(" if ");
            line.temp(x.cond);
            line.put(" else ");
            line.temp(x.else_branch);
            line.put(')');
          } else if constexpr (std::is_same_v<T, node::Call>) {
            line.fill(builtin_form(x.builtin), x.args[0]);
          } else {
            static_assert(std::is_same_v<T, node::Cast>);
            line.fill(conversion_form(dag.dtypes[x.arg], x.to), x.arg);
          }
        },
        dag.nodes[i]);
    line.put('\n');
    line.flush(out);
  }

  out += "    return ";
  if (dag.outputs.size() == 1) {
    append_temp(out, dag.outputs[0]);
  } else {
    out += '(';
    for (std::size_t k = 0; k < dag.outputs.size(); ++k) {
      if (k) out += ", ";
      append_temp(out, dag.outputs[k]);
    }
    out += ')';
  }
  out += '\n';
  return {std::move(out), std::move(names)};
}

}  // namespace tarvelon::backend
