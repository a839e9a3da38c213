#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "backend/backend.h"

namespace tarvelon::backend {

/// Emits a kernel as a Python function over plain Python numbers, using only built-ins and
/// the `math` module. Stateless.
/// An emitted function's text and the Python name of each kernel parameter in it.
struct EmittedFunction {
  std::string text;
  std::vector<std::string> params;
};

class PythonBackend {
 public:
  /// "import math", a blank line, the def line, one assignment `t{i} = ...` per node reachable
  /// from the outputs in increasing node order, and the return line. Parameter names that
  /// would break the function (see `py_param_name`, duplicates, clashes with an assigned
  /// temporary or a global the body uses) are replaced by a fresh `p{k}`.
  std::string emit_kernel(const ir::TypedDag& dag, std::string_view function_name) const;
  /// As `emit_kernel`, also giving the parameter names the def line uses, in parameter order, for
  /// a caller that binds arguments by those names.
  EmittedFunction emit_function(const ir::TypedDag& dag, std::string_view function_name) const;
};

/// `name` when it is a usable Python identifier (ASCII letters, digits and '_', not starting
/// with a digit, not a keyword), else "p" followed by `k`.
std::string py_param_name(std::string_view name, std::size_t k);

static_assert(Backend<PythonBackend>);

}  // namespace tarvelon::backend
