#include "properties.h"

#include <algorithm>
#include <chrono>
#include <span>
#include <vector>

#include "api/pipeline.h"
#include "egraph/egraph.h"
#include "egraph/pattern.h"
#include "egraph/recexpr.h"
#include "egraph/sexp.h"
#include "egraph/text.h"
#include "eval/program.h"
#include "ir/dag.h"
#include "opt/error.h"
#include "opt/lang.h"
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
      return cat("span [", d.span->start, ", ", d.span->end, ") of \"", d.message,
                 "\" lies outside ", source_size, " bytes");
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
  const api::Diagnosis diagnosis = api::compile(source, {}).diagnosis;
  if (auto v = span_outside(diagnosis.errors, source.size())) return v;
  return span_outside(diagnosis.warnings, source.size());
}

/// A call as the caller sees it: the text returned or the error.
struct Outcome {
  std::optional<api::ApiError::Kind> error;
  std::string text;
  friend bool operator==(const Outcome&, const Outcome&) = default;
};

Outcome outcome_of(const api::ApiError& e) { return {e.kind, e.to_string()}; }

std::string describe(const Outcome& o) {
  return o.error ? "error \"" + o.text + "\"" : "text \"" + o.text + "\"";
}

/// One of the two entry points: kernel text to emitted Python or to simplified infix text.
using EntryPoint = Outcome (*)(std::string_view source, bool optimize);

Outcome emit_python(std::string_view source, bool optimize) {
  api::Compilation c = api::compile(
      source, {.output = api::Request::Output::Python, .optimize = optimize, .diagnosis = false});
  if (c.error) return outcome_of(*c.error);
  return {std::nullopt, std::move(*c.text)};
}

Outcome simplify_expr(std::string_view source, bool optimize) {
  auto text = api::simplify_expr(source, optimize);
  if (!text) return outcome_of(text.error());
  return {std::nullopt, std::move(*text)};
}

/// The call made twice; a difference is a violation unless a run came near the optimizer's
/// 5-second limit, since a run stopped by the clock may stop elsewhere the next time.
std::expected<Outcome, std::string> repeatable(EntryPoint call, std::string_view source,
                                               bool optimize) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kNearTheClock = std::chrono::seconds(4);
  auto t0 = Clock::now();
  Outcome first = call(source, optimize);
  auto t1 = Clock::now();
  Outcome second = call(source, optimize);
  auto t2 = Clock::now();
  if (first != second && t1 - t0 < kNearTheClock && t2 - t1 < kNearTheClock) {
    return std::unexpected(cat(optimize ? "optimized" : "unoptimized",
                               " result differs between two runs: ", describe(first), " then ",
                               describe(second)));
  }
  return first;
}

/// The properties shared by both entry points. `lowered` is what the front end and lowering
/// made of the source; `plain` and `optimized` are the entry point's outcomes.
Violation check_entry_point(const std::expected<ir::TypedDag, api::ApiError>& lowered,
                            const Outcome& plain, const Outcome& optimized,
                            bool single_output_only) {
  using Kind = api::ApiError::Kind;
  if (!lowered) {
    // The first failing stage decides the error, and optimizing comes after it.
    Outcome expected = outcome_of(lowered.error());
    if (plain != expected || optimized != expected) {
      return cat("a front-end failure ", describe(expected), " came back as ", describe(plain),
                 " and ", describe(optimized));
    }
    return std::nullopt;
  }
  const std::size_t outputs = lowered->outputs.size();
  if (single_output_only && outputs != 1) {
    if (plain != outcome_of(api::ApiError::output_count(outputs))) {
      return cat("a kernel of ", outputs, " outputs gave ", describe(plain));
    }
  } else if (plain.error && *plain.error != Kind::OutputTooLarge) {
    return cat("a kernel that lowers failed unoptimized with ", describe(plain));
  }
  const Outcome multi_output =
      outcome_of(api::ApiError::optimize(opt::OptError::multi_output().to_string()));
  if (outputs != 1) {
    if (optimized != multi_output)
      return cat("a kernel of ", outputs, " outputs optimized to ", describe(optimized));
    return std::nullopt;
  }
  // The optimizer may refuse a kernel it cannot represent (a complex literal written with a
  // real dtype, say), but only with its own error, never the one for several outputs.
  if (optimized.error &&
      ((*optimized.error != Kind::Optimize && *optimized.error != Kind::OutputTooLarge) ||
       optimized == multi_output)) {
    return cat("a single-output kernel optimized to ", describe(optimized));
  }
  return std::nullopt;
}

Violation check_call(EntryPoint call, std::string_view source, bool single_output_only) {
  if (auto v = check_spans(source)) return v;
  auto plain = repeatable(call, source, false);
  if (!plain) return plain.error();
  auto optimized = repeatable(call, source, true);
  if (!optimized) return optimized.error();
  return check_entry_point(api::lowered_dag(source, false), *plain, *optimized, single_output_only);
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

/// Builds the typed evaluator for the kernel, unoptimized and optimized, and runs it twice over
/// the same few arguments (bit patterns that include zeros, all-ones, sign bits and NaNs): the
/// results must be the same bytes.
Violation check_evaluation(std::string_view source) {
  constexpr std::size_t kElements = 5;
  constexpr std::uint8_t kPatterns[kElements] = {0x00, 0xff, 0x80, 0x7f, 0x3c};
  for (const bool optimize : {false, true}) {
    api::Compilation compiled =
        api::compile(source, {.optimize = optimize, .diagnosis = false, .evaluator = true});
    if (compiled.error || !*compiled.program) continue;
    const eval::Program* program = &**compiled.program;
    std::vector<std::vector<std::byte>> args;
    std::vector<eval::Program::In> in;
    for (vocab::DType d : program->params()) {
      const std::size_t size = eval::storage_size(d);
      auto& bytes = args.emplace_back(size * kElements);
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::byte>(kPatterns[i / size] ^ static_cast<std::uint8_t>(i % 3));
      }
      in.push_back({bytes.data(), static_cast<std::ptrdiff_t>(size)});
    }
    std::vector<std::byte> runs[2];
    for (auto& results : runs) {
      std::vector<eval::Program::Out> out;
      std::size_t total = 0;
      for (vocab::DType d : program->results()) total += eval::storage_size(d) * kElements;
      results.assign(total, std::byte{0});
      std::size_t at = 0;
      for (vocab::DType d : program->results()) {
        const std::size_t size = eval::storage_size(d);
        out.push_back({results.data() + at, static_cast<std::ptrdiff_t>(size)});
        at += size * kElements;
      }
      auto ws = program->make_workspace();
      program->run(in, out, kElements, ws);
    }
    if (runs[0] != runs[1]) {
      return cat("typed evaluation differs between two runs", optimize ? " (optimized)" : "");
    }
  }
  return std::nullopt;
}

Violation check_kernel(std::string_view source) {
  return guarded([&]() -> Violation {
    if (auto v = check_call(emit_python, source, false)) return v;
    return check_evaluation(source);
  });
}

Violation check_simplify(std::string_view source) {
  return guarded([&] { return check_call(simplify_expr, source, true); });
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
      if (!ast || !ground)
        return cat("a pattern without variables is no term: ", read_text(pattern));
      if (egraph::to_string(*ast) != egraph::to_string(*ground)) {
        return cat("the pattern reads as ", egraph::to_string(*ast), " but the term as ",
                   egraph::to_string(*ground));
      }
    }
    return check_matches_instance(*pattern);
  });
}

}  // namespace tarvelon::fuzz
