#include "properties.h"

#include <algorithm>
#include <chrono>
#include <span>
#include <vector>

#include "api/pipeline.h"
#include "backend/python.h"
#include "egraph/egraph.h"
#include "egraph/pattern.h"
#include "egraph/recexpr.h"
#include "egraph/sexp.h"
#include "egraph/text.h"
#include "ir/lower.h"
#include "opt/driver.h"
#include "opt/lang.h"
#include "parse/parser.h"
#include "support/internal_fault.h"
#include "support/unicode.h"

namespace tarvelon::fuzz {

namespace {

using egraph::cat;

/// Runs `check`, turning an internal fault into a violation.
template <class Check>
Violation guarded(Check&& check) {
  try {
    return check();
  } catch (const support::InternalFault& fault) {
    return cat("internal fault: ", fault.what());
  }
}

// ---- kernels ---------------------------------------------------------------------------------

Violation span_outside(std::span<const diag::Diag> diags, std::size_t source_size) {
  auto outside = [&](const diag::Span& s) { return s.start > s.end || s.end > source_size; };
  for (const diag::Diag& d : diags) {
    if (d.span && outside(*d.span)) {
      return cat("span [", d.span->start, ", ", d.span->end, ") of \"", d.message, "\" lies outside ",
                 source_size, " bytes");
    }
    for (const diag::DiagLabel& label : d.labels.value_or(std::vector<diag::DiagLabel>{})) {
      if (outside(label.span)) {
        return cat("label span [", label.span.start, ", ", label.span.end, ") of \"", d.message,
                   "\" lies outside ", source_size, " bytes");
      }
    }
  }
  return std::nullopt;
}

Violation check_spans(std::string_view source) {
  auto func = parse::parse_dsl_with_errors(source);
  if (!func) return span_outside(func.error(), source.size());
  ir::CollectResult lowered = ir::lower_with_config_collect(*func, diag::DiagConfig{});
  if (auto v = span_outside(lowered.errors, source.size())) return v;
  return span_outside(lowered.warnings, source.size());
}

/// A compilation as the caller sees it: the emitted text or the error.
struct Compiled {
  std::optional<api::ApiError::Kind> error;
  std::string text;
  std::size_t outputs = 0;
  friend bool operator==(const Compiled&, const Compiled&) = default;
};

Compiled emitted(const ir::TypedDag& dag) {
  return {std::nullopt, backend::PythonBackend{}.emit_kernel(dag, "_kernel"), dag.outputs.size()};
}

Compiled compile(std::string_view source, bool optimize) {
  auto dag = api::lowered_dag(source, optimize);
  if (!dag) return {dag.error().kind, dag.error().to_string(), 0};
  return emitted(*dag);
}

std::string describe(const Compiled& c) { return c.error ? "error \"" + c.text + "\"" : "text \"" + c.text + "\""; }

Violation differs(std::string_view what, const Compiled& first, const Compiled& second) {
  if (first == second) return std::nullopt;
  return cat(what, " differs between two runs: ", describe(first), " then ", describe(second));
}

/// The optimized compilation, checked against the unoptimized one.
Violation check_optimized(std::string_view source, const Compiled& plain) {
  using Kind = api::ApiError::Kind;
  auto started = std::chrono::steady_clock::now();
  Compiled optimized = compile(source, true);
  auto elapsed = std::chrono::steady_clock::now() - started;

  if (plain.error) {
    // The optimizer runs after the stage that failed.
    if (optimized != plain) return cat("optimizing changed a front-end failure: ", describe(optimized));
    return std::nullopt;
  }
  const std::string multi_output = api::ApiError::optimize(opt::OptError::multi_output().to_string()).to_string();
  if (plain.outputs != 1) {
    if (optimized.error != Kind::Optimize || optimized.text != multi_output) {
      return cat("a kernel of ", plain.outputs, " outputs optimized to ", describe(optimized));
    }
    return std::nullopt;
  }
  // The optimizer may refuse a kernel it cannot represent (a complex literal written with a
  // real dtype, say), but only with its own error, never the one for several outputs.
  if (optimized.error) {
    if (optimized.error != Kind::Optimize || optimized.text == multi_output) {
      return cat("a single-output kernel optimized to ", describe(optimized));
    }
    return std::nullopt;
  }

  // Once more through the optimizer itself, to learn whether the run was cut by the clock: a
  // run stopped by its time limit may legitimately stop elsewhere the next time.
  auto dag = api::lowered_dag(source, false);
  opt::OptStats stats;
  auto again = opt::optimize_with_info_and_config(*dag, opt::OptConfig{}, &stats);
  if (!again) return cat("the optimizer refused a kernel it accepted before: ", again.error().to_string());
  bool timed = (stats.stop_reason && std::holds_alternative<egraph::StopReason::TimeLimit>(stats.stop_reason->value)) ||
               elapsed >= std::chrono::seconds(4);
  if (timed) return std::nullopt;
  return differs("the optimized kernel", optimized, emitted(again->dag));
}

// ---- patterns --------------------------------------------------------------------------------

using MathPattern = egraph::Pattern<opt::MathLang>;
using MathAst = egraph::PatternAst<opt::MathLang>;

std::string read_text(const std::expected<egraph::Sexp, egraph::SexpError>& r) {
  return r ? "sexp " + egraph::to_string(*r) : "error " + egraph::to_string(r.error());
}

template <class T>
std::string read_text(const std::expected<T, egraph::RecExprParseError>& r) {
  return r ? "expr " + egraph::to_string(r->ast()) : "error " + egraph::to_string(r.error());
}

/// The 1-based position just past the end of `text`, counted as the reader counts: characters
/// as decoded (an invalid byte is one character), a line feed starting a new line.
std::pair<std::size_t, std::size_t> end_position(std::string_view text) {
  std::size_t line = 1, column = 1;
  for (std::size_t pos = 0; pos < text.size(); pos += support::decode_utf8(text, pos).len) {
    if (text[pos] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return {line, column};
}

Violation check_sexp(std::string_view text) {
  auto first = egraph::parse_str(text);
  auto second = egraph::parse_str(text);
  if (read_text(first) != read_text(second)) {
    return cat("reading differs between two runs: ", read_text(first), " then ", read_text(second));
  }
  if (first) return std::nullopt;
  const egraph::SexpError& e = first.error();
  auto [last_line, last_column] = end_position(text);
  bool inside = e.line >= 1 && e.column >= 1 &&
                (e.line < last_line || (e.line == last_line && e.column <= last_column));
  if (!inside) return cat("error ", egraph::to_string(e), " points outside the text");
  return std::nullopt;
}

/// The instance of `ast` with each variable standing for a fresh leaf must match `pattern` in
/// its own class.
Violation check_matches_instance(const MathPattern& pattern) {
  egraph::EGraph<opt::MathLang> graph;
  egraph::Subst subst;
  std::int64_t fresh = std::int64_t{1} << 40;
  for (const egraph::Var& var : pattern.vars()) {
    subst.insert(var, graph.add(opt::MathLang::integer(fresh++)));
  }
  std::vector<egraph::Id> buffer;
  egraph::Id root = egraph::apply_pat(buffer, pattern.ast(), graph, subst);
  graph.rebuild();
  if (!pattern.search_eclass(graph, graph.find(root))) {
    return cat("pattern ", egraph::to_string(pattern.ast()), " does not match its own instance");
  }
  return std::nullopt;
}

}  // namespace

Violation check_kernel(std::string_view source) {
  return guarded([&]() -> Violation {
    if (auto v = check_spans(source)) return v;
    Compiled plain = compile(source, false);
    if (auto v = differs("the unoptimized kernel", plain, compile(source, false))) return v;
    if (plain.error && *plain.error != api::ApiError::Kind::Parse && *plain.error != api::ApiError::Kind::Lower) {
      return cat("an unoptimized compilation failed past the front end: ", describe(plain));
    }
    return check_optimized(source, plain);
  });
}

Violation check_pattern(std::string_view text) {
  return guarded([&]() -> Violation {
    if (auto v = check_sexp(text)) return v;
    auto pattern = MathPattern::from_str(text);
    if (read_text(pattern) != read_text(MathPattern::from_str(text))) {
      return cat("pattern reading differs between two runs: ", read_text(pattern));
    }
    if (!pattern) return std::nullopt;
    if (pattern->vars().empty()) {
      auto ast = MathAst::from_str(text);
      auto ground = egraph::RecExpr<opt::MathLang>::from_str(text);
      if (!ast || !ground) return cat("a pattern without variables is no term: ", read_text(pattern));
      if (egraph::to_string(*ast) != egraph::to_string(*ground)) {
        return cat("the pattern reads as ", egraph::to_string(*ast), " but the term as ", egraph::to_string(*ground));
      }
    }
    return check_matches_instance(*pattern);
  });
}

}  // namespace tarvelon::fuzz
