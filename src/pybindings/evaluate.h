#pragma once

#include <Python.h>

namespace tarvelon::pybindings {

/// Adds the type `Evaluator` to `module`: `Evaluator(source, optimize, name, arg_names)` compiles
/// a kernel for typed evaluation over NumPy arrays, and calling it evaluates the kernel. NumPy is
/// imported when the first evaluator is built, not when the module is. Returns 0, or -1 with an
/// exception set.
int add_evaluator_type(PyObject* module);

}  // namespace tarvelon::pybindings
