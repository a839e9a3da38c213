#include "api/pipeline.h"

#include <limits>

#include "diag/diag.h"
#include "ir/lower.h"
#include "opt/const_fold.h"
#include "opt/driver.h"
#include "parse/parser.h"
#include "repl/render.h"
#include "support/number_text.h"

namespace tarvelon::api {

std::string ApiError::to_string() const {
  switch (kind) {
    case Kind::Parse:
      return "parse failed: " + detail;
    case Kind::Lower:
      return "lowering failed: " + detail;
    case Kind::Optimize:
      return "optimization failed: " + detail;
    case Kind::OutputCount:
      break;
    case Kind::OutputTooLarge: {
      std::string text = "rendered expression too large: ";
      if (count == std::numeric_limits<std::uint64_t>::max()) text += "at least ";
      support::append_int(text, count);
      text += " bytes, the limit is ";
      support::append_int(text, repl::kMaxRenderedBytes);
      text += " bytes (";
      support::append_int(text, repl::kMaxRenderedBytes >> 20);
      text += " MiB)";
      return text;
    }
  }
  return "expected a single output expression, got " + std::to_string(count);
}

namespace {

/// The kernel parsed and lowered. The syntax tree is released before this returns, so that
/// what comes after lowering does not hold memory on top of it.
std::expected<ir::TypedDag, ApiError> parsed_and_lowered(std::string_view source) {
  auto func = parse::parse_dsl_with_errors(source);
  if (!func) return std::unexpected(ApiError::parse(diag::format_diags(func.error())));
  ir::CollectResult lowered =
      ir::lower_with_config_collect(*func, diag::DiagConfig{}, ir::Keep::Errors);
  if (!lowered.errors.empty()) {
    return std::unexpected(ApiError::lower(diag::format_diags(lowered.errors)));
  }
  return std::move(lowered.dag);
}

}  // namespace

namespace {

/// The optimizing step; the optimizer's notes (constant overflow, promotions made while
/// restoring) are not shown.
std::expected<ir::TypedDag, ApiError> optimized(const ir::TypedDag& lowered) {
  auto result = opt::optimize_with_info_and_config(lowered, opt::OptConfig{});
  if (!result) return std::unexpected(ApiError::optimize(result.error().to_string()));
  return std::move(result->dag);
}

}  // namespace

std::expected<ir::TypedDag, ApiError> lowered_dag(std::string_view source, bool optimize) {
  auto lowered = parsed_and_lowered(source);
  if (!lowered || !optimize) return lowered;
  return optimized(*lowered);
}

namespace {

std::expected<std::string, ApiError> simplified(std::string_view source, bool optimize,
                                                bool exact) {
  auto dag = parsed_and_lowered(source);
  if (!dag) return std::unexpected(std::move(dag.error()));
  // Exact text keeps the dtype the kernel declares, which folding and optimizing may widen.
  const ir::DType declared = dag->outputs.size() == 1 ? dag->dtypes[dag->outputs[0]] : ir::DType{};
  if (optimize) {
    dag = optimized(*dag);
    if (!dag) return std::unexpected(std::move(dag.error()));
  }
  const ir::TypedDag folded = opt::const_fold(*dag).dag;
  *dag = ir::TypedDag{};  // released before rendering, which reads the folded DAG alone
  if (folded.outputs.size() != 1) {
    return std::unexpected(ApiError::output_count(folded.outputs.size()));
  }
  auto text = exact ? repl::render_exact_expr(folded, folded.outputs[0], declared)
                    : repl::render_simplified_expr(folded, folded.outputs[0], true);
  if (!text) return std::unexpected(ApiError::output_too_large(text.error().size));
  return std::move(*text);
}

}  // namespace

std::expected<std::string, ApiError> simplify_expr(std::string_view source, bool optimize) {
  return simplified(source, optimize, false);
}

std::expected<std::string, ApiError> simplify_exact(std::string_view source, bool optimize) {
  return simplified(source, optimize, true);
}

}  // namespace tarvelon::api
