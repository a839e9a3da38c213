// Test and benchmark support, not part of the product:
//  - `emit_folded(source)` emits the kernel after constant folding alone. The optimizer folds
//    before it rewrites, so this is the reference an optimized kernel must agree with: folding
//    evaluates constants in f64 and converts them to their node's dtype, which plain Python
//    evaluation does not.
//  - `optimize_stats(source)` is (iterations, e-nodes, e-classes, stop reason) of the
//    optimizer's equality-saturation run on the kernel.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <string>

#include "api/pipeline.h"
#include "backend/python.h"
#include "opt/const_fold.h"
#include "opt/driver.h"

namespace {

/// Lowers the kernel text `arg` and hands the DAG to `use`; errors become Python exceptions.
template <class Use>
PyObject* with_lowered(PyObject* arg, Use&& use) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(arg, &size);
  if (text == nullptr) return nullptr;
  try {
    auto dag =
        tarvelon::api::lowered_dag(std::string_view(text, static_cast<std::size_t>(size)), false);
    if (!dag) {
      PyErr_SetString(PyExc_ValueError, dag.error().to_string().c_str());
      return nullptr;
    }
    return use(*dag);
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
}

PyObject* emit_folded(PyObject*, PyObject* arg) {
  return with_lowered(arg, [](const tarvelon::ir::TypedDag& dag) {
    std::string out =
        tarvelon::backend::PythonBackend{}.emit_kernel(tarvelon::opt::const_fold(dag).dag, "k");
    return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
  });
}

PyObject* optimize_stats(PyObject*, PyObject* arg) {
  return with_lowered(arg, [](const tarvelon::ir::TypedDag& dag) -> PyObject* {
    tarvelon::opt::OptStats stats;
    auto result = tarvelon::opt::optimize_with_info_and_config(dag, {}, &stats);
    if (!result) {
      PyErr_SetString(PyExc_ValueError, result.error().to_string().c_str());
      return nullptr;
    }
    std::string reason = stats.stop_reason ? tarvelon::egraph::to_string(*stats.stop_reason) : "";
    return Py_BuildValue("(nnns)", static_cast<Py_ssize_t>(stats.iterations),
                         static_cast<Py_ssize_t>(stats.egraph_nodes),
                         static_cast<Py_ssize_t>(stats.egraph_classes), reason.c_str());
  });
}

PyMethodDef kMethods[] = {
    {"emit_folded", emit_folded, METH_O,
     "emit_folded(source)\n--\n\nThe kernel after constant folding, as a function k."},
    {"optimize_stats", optimize_stats, METH_O,
     "optimize_stats(source)\n--\n\n(iterations, e-nodes, e-classes, stop reason) of the "
     "optimizer's run."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT,
                       "_tarvelon_testing",
                       nullptr,
                       0,
                       kMethods,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__tarvelon_testing() { return PyModule_Create(&kModule); }
