#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "api/pipeline.h"
#include "pybindings/binding.h"

namespace tarvelon::pybindings {

/// The package module's internal-fault class, which an evaluator's failures raise as well.
extern FaultClass native_internal_fault;

/// Adds the type `Evaluator` to `module`: a kernel compiled for typed evaluation over NumPy
/// arrays, which calling evaluates. Only a compiling call makes one; NumPy is imported by the
/// first call of an evaluator, not when the module is. Returns 0, or -1 with an exception set.
int add_evaluator_type(PyObject* module);

/// A new Evaluator of `compiled`'s program, taking its arguments under the emitted function's
/// parameter names and reporting under `name`; None when the compilation built no program. A
/// kernel without typed meaning still gives an Evaluator, which raises ValueError when called.
/// Moves the program and the names out of `compiled`. Needs the module executed once.
PyObject* new_evaluator(std::string_view name, api::Compilation& compiled);

/// Calls Evaluator `evaluator` as a vectorcall would: the positional arguments, then the values
/// of the keywords `kwnames` names (or null for none). The evaluator's own call; a caller that
/// already holds the arguments in this form skips a second dispatch.
PyObject* call_evaluator(PyObject* evaluator, PyObject* const* args, std::size_t nargsf,
                         PyObject* kwnames);

/// Whether `object` is an Evaluator.
bool is_evaluator(PyObject* object);

}  // namespace tarvelon::pybindings
