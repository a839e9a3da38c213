// The CPython module `_tarvelon`: argument handling at the edge, the pipeline behind it.
#include "pybindings/binding.h"

namespace tarvelon::pybindings {

namespace {

FaultClass internal_fault{"_tarvelon.InternalFault"};

/// The requested text of a compilation, or ValueError with its error's display text.
PyObject* text_or_error(api::Compilation&& compiled) {
  if (compiled.error) return raise_api_error(*compiled.error);
  return new_str(*compiled.text);
}

PyObject* simplify_expr(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static constexpr ArgDecl kDecls[] = {{"source", false, ParamKind::Source},
                                       {"optimize", true, ParamKind::Optimize}};
  CallArgs call;
  if (!bind_call("simplify_expr", kDecls, args, nargs, kwnames, call)) return nullptr;
  return compiling_call(internal_fault, [&] {
    return text_or_error(api::compile(call.source, {.output = api::Request::Output::Simplified,
                                                    .optimize = call.optimize,
                                                    .diagnosis = false}));
  });
}

PyObject* emit_python(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  static constexpr ArgDecl kDecls[] = {{"source", false, ParamKind::Source},
                                       {"function_name", false, ParamKind::FunctionName},
                                       {"optimize", true, ParamKind::Optimize}};
  CallArgs call;
  if (!bind_call("emit_python", kDecls, args, nargs, kwnames, call)) return nullptr;
  return compiling_call(internal_fault, [&] {
    return text_or_error(api::compile(call.source, {.output = api::Request::Output::Python,
                                                    .function_name = call.function_name,
                                                    .optimize = call.optimize,
                                                    .diagnosis = false}));
  });
}

PyMethodDef kFunctions[] = {
    {"simplify_expr", fastcall<&simplify_expr>(), METH_FASTCALL | METH_KEYWORDS,
     "simplify_expr(source, *, optimize=False)\n--\n\n"},
    {"emit_python", fastcall<&emit_python>(), METH_FASTCALL | METH_KEYWORDS,
     "emit_python(source, function_name=\"_kernel\", *, optimize=False)\n--\n\n"},
};

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "_tarvelon: module execution needs a module object");
    return -1;
  }
  if (internal_fault.get() == nullptr) return -1;
  if (PyModule_AddStringConstant(module, "__version__", "0.0.1") < 0) return -1;
  return add_functions(module, kFunctions);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "_tarvelon", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace tarvelon::pybindings

PyMODINIT_FUNC PyInit__tarvelon() { return PyModuleDef_Init(&tarvelon::pybindings::kModuleDef); }
