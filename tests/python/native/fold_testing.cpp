// Test and benchmark support, not part of the product:
//  - `emit_folded(source)` emits the kernel after constant folding alone. The optimizer folds
//    before it rewrites, so this is the reference an optimized kernel must agree with: folding
//    evaluates constants in f64 and converts them to their node's dtype, which plain Python
//    evaluation does not.
//  - `optimize_stats(source)` is (iterations, e-nodes, e-classes, stop reason) of the
//    optimizer's equality-saturation run on the kernel.
#include "pybindings/binding.h"

#include <string>

#include "backend/python.h"
#include "opt/const_fold.h"
#include "opt/driver.h"

namespace tarvelon::pybindings {
namespace {

FaultClass internal_fault{"_tarvelon_testing.InternalFault"};

/// Lowers the kernel text `arg` and hands the DAG to `use`; errors become Python exceptions.
template <class Use>
PyObject* with_lowered(const char* fn, PyObject* arg, Use&& use) {
  auto text = str_arg(fn, "source", arg);
  if (!text) return nullptr;
  return compiling_call(internal_fault, [&]() -> PyObject* {
    auto dag = api::lowered_dag(*text, false);
    if (!dag) return raise_api_error(dag.error());
    return use(*dag);
  });
}

PyObject* emit_folded(PyObject*, PyObject* arg) {
  return with_lowered("emit_folded", arg, [](const ir::TypedDag& dag) {
    return new_str(backend::PythonBackend{}.emit_kernel(opt::const_fold(dag).dag, "k"));
  });
}

PyObject* optimize_stats(PyObject*, PyObject* arg) {
  return with_lowered("optimize_stats", arg, [](const ir::TypedDag& dag) -> PyObject* {
    opt::OptStats stats;
    auto result = opt::optimize_with_info_and_config(dag, {}, &stats);
    if (!result) return raise_api_error(api::ApiError::optimize(result.error().to_string()));
    std::string reason = stats.stop_reason ? egraph::to_string(*stats.stop_reason) : "";
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
}  // namespace tarvelon::pybindings

PyMODINIT_FUNC PyInit__tarvelon_testing() {
  return PyModule_Create(&tarvelon::pybindings::kModule);
}
