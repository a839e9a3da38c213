#include "api/pipeline.h"

#include "diag/diag.h"
#include "ir/lower.h"
#include "opt/driver.h"
#include "parse/parser.h"

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
  }
  return "expected a single output expression, got " + std::to_string(count);
}

std::expected<ir::TypedDag, ApiError> lowered_dag(std::string_view source, bool optimize) {
  auto func = parse::parse_dsl_with_errors(source);
  if (!func) return std::unexpected(ApiError::parse(diag::format_diags(func.error())));
  ir::CollectResult lowered = ir::lower_with_config_collect(*func, diag::DiagConfig{});
  if (!lowered.errors.empty()) {
    return std::unexpected(ApiError::lower(diag::format_diags(lowered.errors)));
  }
  if (!optimize) return std::move(lowered.dag);
  // The optimizer's notes (constant overflow, promotions made while restoring) are not shown.
  auto optimized = opt::optimize_with_info_and_config(lowered.dag, opt::OptConfig{});
  if (!optimized) return std::unexpected(ApiError::optimize(optimized.error().to_string()));
  return std::move(optimized->dag);
}

}  // namespace tarvelon::api
