#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "diag/diag.h"
#include "ir/dag.h"
#include "vocab/dtype.h"

namespace tarvelon::api {

/// Everything the front end and lowering report about a kernel, notes and warnings included,
/// under the default diagnostic policy: what a tool shows its user, where the pipeline keeps
/// only the error messages.
struct Diagnosis {
  enum class Stage : std::uint8_t { Parse, Lower };
  /// Parse when the front end rejected the kernel (then nothing was lowered), else Lower.
  Stage stage = Stage::Parse;
  /// Error and Fatal diagnostics, in the order the stage reported them.
  std::vector<diag::Diag> errors;
  /// Notes and warnings, in the order lowering reported them; empty after a failed parse.
  std::vector<diag::Diag> warnings;
  /// The kernel's parameters in declaration order; empty after a failed parse.
  std::vector<ir::Param> params;
  /// The dtype of each result value (several for a tuple result); empty after a failed parse.
  std::vector<vocab::DType> outputs;
};

/// Parses and lowers `source` in collecting mode, so one call reports every problem.
Diagnosis diagnose(std::string_view source);

}  // namespace tarvelon::api
