#include "api/pipeline.h"

#include <limits>

#include "backend/python.h"
#include "diag/diag.h"
#include "ir/lower.h"
#include "opt/const_fold.h"
#include "opt/driver.h"
#include "parse/parser.h"
#include "render/render.h"
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
      support::append_int(text, render::kMaxRenderedBytes);
      text += " bytes (";
      support::append_int(text, render::kMaxRenderedBytes >> 20);
      text += " MiB)";
      return text;
    }
  }
  return "expected a single output expression, got " + std::to_string(count);
}

namespace {

/// Parses and lowers into `out`, filling its diagnosis as `request` asks; returns the DAG, or
/// nothing with `out.error` set. The syntax tree is released before this returns, so that what
/// comes after lowering does not hold memory on top of it.
std::optional<ir::TypedDag> parse_and_lower(std::string_view source, const Request& request,
                                            Compilation& out) {
  Diagnosis& diagnosis = out.diagnosis;
  auto func = parse::parse_dsl_with_errors(source);
  if (!func) {
    out.error = ApiError::parse(diag::format_diags(func.error()));
    diagnosis.errors = std::move(func.error());
    return std::nullopt;
  }
  diagnosis.stage = Diagnosis::Stage::Lower;
  ir::CollectResult lowered = ir::lower_with_config_collect(
      *func, diag::DiagConfig{}, request.diagnosis ? ir::Keep::All : ir::Keep::Errors);
  diagnosis.errors = std::move(lowered.errors);
  if (request.diagnosis) {
    diagnosis.warnings = std::move(lowered.warnings);
    diagnosis.params = lowered.dag.params;
    diagnosis.outputs.reserve(lowered.dag.outputs.size());
    for (ir::NodeId id : lowered.dag.outputs) {
      diagnosis.outputs.push_back(lowered.dag.dtypes.at(id));
    }
  }
  if (!diagnosis.errors.empty()) {
    out.error = ApiError::lower(diag::format_diags(diagnosis.errors));
    return std::nullopt;
  }
  return std::move(lowered.dag);
}

/// The single result of `dag`, constants folded (their diagnostics dropped), as infix text: with
/// explicit casts shown, or, when `exact`, as text that reads back as the same computation with
/// the kernel's `declared` result dtype. `dag` is released before rendering unless `keep` is set.
std::expected<std::string, ApiError> simplified_text(ir::TypedDag& dag, bool keep, bool exact,
                                                     vocab::DType declared) {
  const ir::TypedDag folded = opt::const_fold(dag).dag;
  if (!keep) dag = ir::TypedDag{};
  if (folded.outputs.size() != 1) {
    return std::unexpected(ApiError::output_count(folded.outputs.size()));
  }
  auto text = exact ? render::render_exact_expr(folded, folded.outputs[0], declared)
                    : render::render_simplified_expr(folded, folded.outputs[0], true);
  if (!text) return std::unexpected(ApiError::output_too_large(text.error().size));
  return std::move(*text);
}

}  // namespace

Compilation compile(std::string_view source, const Request& request) {
  Compilation out;
  std::optional<ir::TypedDag> dag = parse_and_lower(source, request, out);
  if (!dag) return out;
  // Exact text keeps the dtype the kernel declares, which folding and optimizing may widen.
  const vocab::DType declared =
      dag->outputs.size() == 1 ? dag->dtypes.at(dag->outputs[0]) : vocab::DType{};
  if (request.optimize) {
    // The optimizer's notes (constant overflow, promotions made while restoring) are not shown.
    auto optimized = opt::optimize_with_info_and_config(*dag, opt::OptConfig{});
    if (!optimized) {
      out.error = ApiError::optimize(optimized.error().to_string());
      return out;
    }
    *dag = std::move(optimized->dag);
  }
  switch (request.output) {
    case Request::Output::None:
      break;
    case Request::Output::Python:
      if (request.param_names) {
        backend::EmittedFunction emitted =
            backend::PythonBackend{}.emit_function(*dag, request.function_name);
        out.text = std::move(emitted.text);
        out.python_params = std::move(emitted.params);
      } else {
        out.text = backend::PythonBackend{}.emit_kernel(*dag, request.function_name);
      }
      break;
    case Request::Output::Simplified:
    case Request::Output::Exact: {
      auto text = simplified_text(*dag, request.keep_dag || request.evaluator,
                                  request.output == Request::Output::Exact, declared);
      if (!text) {
        out.error = std::move(text.error());
        return out;
      }
      out.text = std::move(*text);
      break;
    }
  }
  if (request.evaluator) out.program = eval::Program::build(*dag);
  if (request.keep_dag) out.dag = std::move(dag);
  return out;
}

Diagnosis diagnose(std::string_view source) { return compile(source, Request{}).diagnosis; }

std::expected<ir::TypedDag, ApiError> lowered_dag(std::string_view source, bool optimize) {
  Compilation c =
      compile(source, Request{.optimize = optimize, .diagnosis = false, .keep_dag = true});
  if (c.error) return std::unexpected(std::move(*c.error));
  return std::move(*c.dag);
}

namespace {

std::expected<std::string, ApiError> text_of(std::string_view source, Request::Output output,
                                             bool optimize) {
  Compilation c =
      compile(source, Request{.output = output, .optimize = optimize, .diagnosis = false});
  if (c.error) return std::unexpected(std::move(*c.error));
  return std::move(*c.text);
}

}  // namespace

std::expected<std::string, ApiError> simplify_expr(std::string_view source, bool optimize) {
  return text_of(source, Request::Output::Simplified, optimize);
}

std::expected<std::string, ApiError> simplify_exact(std::string_view source, bool optimize) {
  return text_of(source, Request::Output::Exact, optimize);
}

}  // namespace tarvelon::api
