// A compiled kernel as a genuine NumPy ufunc, and the call that hands arrays of a deferred
// library (Dask) to Python code instead of the typed evaluator.
#pragma once

#include <Python.h>

namespace tarvelon::pybindings {

/// Adds `ufunc(source, function_name="_kernel", *, optimize=False)` and `routed_call(evaluator,
/// deferred)` to `module`. NumPy is imported by the first `ufunc` call, not here. Returns 0, or
/// -1 with an exception set.
int add_ufunc_functions(PyObject* module);

}  // namespace tarvelon::pybindings
