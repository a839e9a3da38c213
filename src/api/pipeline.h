#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/diagnosis.h"
#include "eval/program.h"
#include "ir/dag.h"

namespace tarvelon::api {

/// The failure of a compilation; its display text is the whole message the caller sees.
struct ApiError {
  enum class Kind : std::uint8_t { Parse, Lower, Optimize, OutputCount, OutputTooLarge };
  Kind kind = Kind::Parse;
  /// The rendered diagnostics (Parse, Lower) or the optimizer's error text (Optimize).
  std::string detail;
  /// The number of outputs (OutputCount) or the length in bytes of the expression text that was
  /// refused (OutputTooLarge; UINT64_MAX stands for that many or more).
  std::uint64_t count = 0;

  static ApiError parse(std::string detail) { return {Kind::Parse, std::move(detail), 0}; }
  static ApiError lower(std::string detail) { return {Kind::Lower, std::move(detail), 0}; }
  static ApiError optimize(std::string detail) { return {Kind::Optimize, std::move(detail), 0}; }
  static ApiError output_count(std::size_t n) { return {Kind::OutputCount, {}, n}; }
  static ApiError output_too_large(std::uint64_t size) { return {Kind::OutputTooLarge, {}, size}; }

  /// "parse failed: ...", "lowering failed: ...", "optimization failed: ...",
  /// "expected a single output expression, got {count}", or "rendered expression too large:
  /// {count} bytes, the limit is 67108864 bytes (64 MiB)" ("at least 18446744073709551615
  /// bytes" when the count saturated).
  std::string to_string() const;
  friend bool operator==(const ApiError&, const ApiError&) = default;
};

/// What one compilation is asked to produce besides its diagnosis.
struct Request {
  enum class Output : std::uint8_t {
    /// No text: a diagnosis, and the DAG when `keep_dag` is set.
    None,
    /// The kernel as the source of a Python function named `function_name`.
    Python,
    /// The single result, constants folded, as infix text with explicit casts shown.
    Simplified,
    /// As `Simplified`, but the text reads back as the same computation (see
    /// `render::render_exact_expr`).
    Exact,
  };
  Output output = Output::None;
  std::string_view function_name = "_kernel";
  /// Runs the optimizer between lowering and the output.
  bool optimize = false;
  /// Fills the diagnosis beyond its errors: lowering's notes and warnings, the parameters and the
  /// result dtypes. Without it none of them is built, since writing the warnings' texts costs more
  /// than the rest of lowering a small kernel and a caller after text alone reads none of them.
  bool diagnosis = true;
  /// Gives the Python name of each parameter in the emitted def line, for a caller that binds
  /// arguments by those names.
  bool param_names = false;
  /// Hands back the (optimized) DAG for a backend built from it; otherwise it is released as soon
  /// as the text is made.
  bool keep_dag = false;
  /// Builds the typed evaluator's program from the same (optimized) DAG the output is made from.
  bool evaluator = false;
};

/// Everything one compilation gives its caller, the kernel parsed and lowered once.
struct Compilation {
  /// The front end's or lowering's diagnostics, with the parameters and result dtypes; only its
  /// errors unless `diagnosis` was set.
  Diagnosis diagnosis;
  /// The first failing stage's error; when set, `text` and `dag` are empty.
  std::optional<ApiError> error;
  /// The requested output text.
  std::optional<std::string> text;
  /// The lowered DAG (optimized when asked), when `keep_dag` was set and no stage failed.
  std::optional<ir::TypedDag> dag;
  /// The Python name of each parameter in the emitted def line, when the output is Python and
  /// `param_names` was set.
  std::vector<std::string> python_params;
  /// The typed evaluator's program, or why the kernel has no typed meaning, when `evaluator` was
  /// set and no stage failed.
  std::optional<std::expected<eval::Program, eval::EvalError>> program;
};

/// The one entry into the compiler: parses, lowers with the default diagnostic policy (in
/// collecting mode, so every problem is reported), optimizes when asked, and makes the requested
/// output. The first failing stage decides the error.
Compilation compile(std::string_view source, const Request& request);

/// Parses and lowers a kernel with the default diagnostic policy and, with `optimize` set, runs
/// the optimizer over it. Notes and warnings are dropped; the first failing stage decides the
/// error.
std::expected<ir::TypedDag, ApiError> lowered_dag(std::string_view source, bool optimize);

/// The kernel's single result as infix text: `lowered_dag`, then constant folding (its
/// diagnostics dropped), then the renderer with explicit casts shown. A result that is not one
/// output is an OutputCount error; a text beyond the renderer's 64 MiB bound is OutputTooLarge.
std::expected<std::string, ApiError> simplify_expr(std::string_view source, bool optimize);

/// As `simplify_expr`, but the text reads back as the same computation (see
/// `render::render_exact_expr`).
std::expected<std::string, ApiError> simplify_exact(std::string_view source, bool optimize);

}  // namespace tarvelon::api
