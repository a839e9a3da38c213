// Test support, not part of the product: `_tarvelon_testing.emit_folded(source)` emits the
// kernel after constant folding alone. The optimizer folds before it rewrites, so this is the
// reference an optimized kernel must agree with: folding evaluates constants in f64 and
// converts them to their node's dtype, which plain Python evaluation does not.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <string>

#include "api/pipeline.h"
#include "backend/python.h"
#include "opt/const_fold.h"

namespace {

PyObject* emit_folded(PyObject*, PyObject* arg) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(arg, &size);
  if (text == nullptr) return nullptr;
  try {
    auto dag = tarvelon::api::lowered_dag(std::string_view(text, static_cast<std::size_t>(size)), false);
    if (!dag) {
      PyErr_SetString(PyExc_ValueError, dag.error().to_string().c_str());
      return nullptr;
    }
    std::string out = tarvelon::backend::PythonBackend{}.emit_kernel(tarvelon::opt::const_fold(*dag).dag, "k");
    return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
}

PyMethodDef kMethods[] = {
    {"emit_folded", emit_folded, METH_O, "emit_folded(source)\n--\n\nThe kernel after constant folding, as a function k."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_tarvelon_testing", nullptr, 0, kMethods,
                       nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__tarvelon_testing() { return PyModule_Create(&kModule); }
