#pragma once

#include <string>
#include <string_view>

#include "ir/dag.h"

namespace tarvelon::backend {

/// A code generator that turns a whole kernel into the text of one function.
class Backend {
 public:
  virtual ~Backend() = default;
  /// The source of a function named `function_name` computing `dag`. A malformed DAG is an
  /// internal fault.
  virtual std::string emit_kernel(const ir::TypedDag& dag,
                                  std::string_view function_name) const = 0;
};

}  // namespace tarvelon::backend
