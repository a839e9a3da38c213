#include "api/diagnosis.h"

#include "ir/lower.h"
#include "parse/parser.h"

namespace tarvelon::api {

Diagnosis diagnose(std::string_view source) {
  Diagnosis out;
  auto func = parse::parse_dsl_with_errors(source);
  if (!func) {
    out.errors = std::move(func.error());
    return out;
  }
  out.stage = Diagnosis::Stage::Lower;
  ir::CollectResult lowered = ir::lower_with_config_collect(*func, diag::DiagConfig{});
  out.errors = std::move(lowered.errors);
  out.warnings = std::move(lowered.warnings);
  out.params = std::move(lowered.dag.params);
  out.outputs.reserve(lowered.dag.outputs.size());
  for (ir::NodeId id : lowered.dag.outputs) out.outputs.push_back(lowered.dag.dtypes.at(id));
  return out;
}

}  // namespace tarvelon::api
