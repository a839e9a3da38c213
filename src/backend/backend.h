#pragma once

#include <concepts>
#include <string>
#include <string_view>

#include "ir/dag.h"

namespace tarvelon::backend {

/// A code generator that turns a whole kernel into the text of one function: `emit_kernel(dag,
/// function_name)` gives the source of a function named `function_name` computing `dag`, and a
/// malformed DAG is an internal fault. Stated as a concept, not a virtual base: every caller
/// knows which generator it holds.
template <class B>
concept Backend = requires(const B& backend, const ir::TypedDag& dag, std::string_view name) {
  { backend.emit_kernel(dag, name) } -> std::same_as<std::string>;
};

}  // namespace tarvelon::backend
