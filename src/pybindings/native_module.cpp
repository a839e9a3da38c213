// The CPython module `tarvelon._native`: what the tarvelon package needs of a kernel in one
// call (text, every diagnostic, parameters and result dtypes), where `_tarvelon` gives only the
// text or one error message. It lives in the same library as `_tarvelon`, which the package
// loads a second time under this name.
#include "pybindings/binding.h"
#include "pybindings/evaluate.h"
#include "pybindings/ufunc.h"

#include <span>
#include <string_view>

#include "diag/diag.h"

namespace tarvelon::pybindings {

FaultClass native_internal_fault{"tarvelon._native.InternalFault"};

namespace {

PyObject* text(std::string_view s) { return new_str_lenient(s); }

PyObject* span_tuple(const diag::Span& span) {
  return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(span.start),
                       static_cast<Py_ssize_t>(span.end));
}

/// (start, end, text) for each label; the empty tuple when the diagnostic has none.
PyObject* labels_tuple(const diag::Diag& d) {
  const auto count = static_cast<Py_ssize_t>(d.labels ? d.labels->size() : 0);
  PyObject* out = PyTuple_New(count);
  if (out == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const diag::DiagLabel& label = (*d.labels)[static_cast<std::size_t>(i)];
    PyObject* item = Py_BuildValue("(nnN)", static_cast<Py_ssize_t>(label.span.start),
                                   static_cast<Py_ssize_t>(label.span.end), text(label.text));
    if (item == nullptr) {
      Py_DECREF(out);
      return nullptr;
    }
    PyTuple_SET_ITEM(out, i, item);
  }
  return out;
}

/// (kind name, kind number, severity, message, hint or None, (start, end) or None, labels), the
/// severity as its number under the default policy.
PyObject* diag_tuple(const diag::Diag& d) {
  PyObject* hint = nullptr;
  if (d.hint) {
    hint = text(*d.hint);
  } else {
    hint = Py_NewRef(Py_None);
  }
  PyObject* span = d.span ? span_tuple(*d.span) : Py_NewRef(Py_None);
  const std::string_view kind = diag::kind_name(d.kind);
  return Py_BuildValue("(NiiNNNN)", text(kind), static_cast<int>(d.kind),
                       static_cast<int>(diag::DiagConfig{}.severity(d.kind)), text(d.message), hint,
                       span, labels_tuple(d));
}

/// Errors first, then notes and warnings, each list in its reported order.
PyObject* diagnostics_tuple(const api::Diagnosis& diagnosis) {
  const std::span<const diag::Diag> lists[] = {diagnosis.errors, diagnosis.warnings};
  PyObject* out =
      PyTuple_New(static_cast<Py_ssize_t>(diagnosis.errors.size() + diagnosis.warnings.size()));
  if (out == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& list : lists) {
    for (const diag::Diag& d : list) {
      PyObject* item = diag_tuple(d);
      if (item == nullptr) {
        Py_DECREF(out);
        return nullptr;
      }
      PyTuple_SET_ITEM(out, i++, item);
    }
  }
  return out;
}

PyObject* params_tuple(const api::Diagnosis& diagnosis) {
  PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(diagnosis.params.size()));
  if (out == nullptr) return nullptr;
  for (std::size_t i = 0; i < diagnosis.params.size(); ++i) {
    const ir::Param& p = diagnosis.params[i];
    PyObject* item = Py_BuildValue("(Ns)", text(p.name), p.dtype.to_str());
    if (item == nullptr) {
      Py_DECREF(out);
      return nullptr;
    }
    PyTuple_SET_ITEM(out, static_cast<Py_ssize_t>(i), item);
  }
  return out;
}

PyObject* outputs_tuple(const api::Diagnosis& diagnosis) {
  PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(diagnosis.outputs.size()));
  if (out == nullptr) return nullptr;
  for (std::size_t i = 0; i < diagnosis.outputs.size(); ++i) {
    PyObject* item = PyUnicode_FromString(diagnosis.outputs[i].to_str());
    if (item == nullptr) {
      Py_DECREF(out);
      return nullptr;
    }
    PyTuple_SET_ITEM(out, static_cast<Py_ssize_t>(i), item);
  }
  return out;
}

const char* stage_name(const api::Diagnosis& diagnosis) {
  return diagnosis.stage == api::Diagnosis::Stage::Parse ? "parse" : "lower";
}

PyObject* analyze(PyObject* /*module*/, PyObject* source) {
  auto utf8 = str_arg("analyze", "source", source);
  if (!utf8) return nullptr;
  return compiling_call(native_internal_fault, [&] {
    const api::Diagnosis diagnosis = api::compile(*utf8, {}).diagnosis;
    return Py_BuildValue("(sNNN)", stage_name(diagnosis), diagnostics_tuple(diagnosis),
                         params_tuple(diagnosis), outputs_tuple(diagnosis));
  });
}

/// What `analyze` returns, followed by the text made (or None), the error's display text (or
/// None) and the typed evaluator of the kernel (or None when not asked for or after an error).
PyObject* compilation_tuple(std::string_view name, api::Compilation& compiled) {
  const api::Diagnosis& diagnosis = compiled.diagnosis;
  return Py_BuildValue(
      "(sNNNNNN)", stage_name(diagnosis), diagnostics_tuple(diagnosis), params_tuple(diagnosis),
      outputs_tuple(diagnosis), compiled.text ? new_str(*compiled.text) : Py_NewRef(Py_None),
      compiled.error ? new_str_lenient(compiled.error->to_string()) : Py_NewRef(Py_None),
      new_evaluator(name, compiled));
}

/// Binds a call of `fn` and compiles for `output` (its exact form when the call asks for it),
/// every diagnostic kept.
template <std::size_t N>
PyObject* compile_for(const char* fn, const ArgDecl (&decls)[N], api::Request::Output output,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  CallArgs call;
  if (!bind_call(fn, decls, args, nargs, kwnames, call)) return nullptr;
  if (call.exact) output = api::Request::Output::Exact;
  return compiling_call(native_internal_fault, [&] {
    api::Compilation compiled = api::compile(call.source, {.output = output,
                                                           .function_name = call.function_name,
                                                           .optimize = call.optimize,
                                                           .param_names = call.evaluator,
                                                           .evaluator = call.evaluator});
    return compilation_tuple(call.function_name, compiled);
  });
}

PyObject* compile(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  static constexpr ArgDecl kDecls[] = {{"source", false, ParamKind::Source},
                                       {"function_name", false, ParamKind::FunctionName},
                                       {"optimize", true, ParamKind::Optimize},
                                       {"evaluator", true, ParamKind::Evaluator}};
  return compile_for("compile", kDecls, api::Request::Output::Python, args, nargs, kwnames);
}

PyObject* simplify(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
  static constexpr ArgDecl kDecls[] = {{"source", false, ParamKind::Source},
                                       {"optimize", true, ParamKind::Optimize},
                                       {"exact", true, ParamKind::Exact}};
  return compile_for("simplify", kDecls, api::Request::Output::Simplified, args, nargs, kwnames);
}

PyMethodDef kFunctions[] = {
    {"analyze", &analyze, METH_O,
     "analyze($module, source, /)\n--\n\n"
     "Parses and lowers a kernel; returns (stage, diagnostics, params, output dtypes)."},
    {"compile", fastcall<&compile>(), METH_FASTCALL | METH_KEYWORDS,
     "compile(source, function_name=\"_kernel\", *, optimize=False, evaluator=False)\n--\n\n"
     "Compiles a kernel to Python source; returns (stage, diagnostics, params, output dtypes,\n"
     "source text or None, error message or None, Evaluator or None). With evaluator=True the\n"
     "same compilation also gives the kernel's typed evaluator."},
    {"simplify", fastcall<&simplify>(), METH_FASTCALL | METH_KEYWORDS,
     "simplify(source, *, optimize=False, exact=False)\n--\n\n"
     "Simplifies a kernel's result, with exact=True to text that reads back as the same\n"
     "computation; returns (stage, diagnostics, params, output dtypes, infix text or None,\n"
     "error message or None, None)."},
};

int exec_module(PyObject* module) {
  PyObject* fault = native_internal_fault.get();
  if (fault == nullptr || PyModule_AddObjectRef(module, "InternalFault", fault) < 0) return -1;
  if (add_functions(module, kFunctions) < 0 || add_evaluator_type(module) < 0) return -1;
  return add_ufunc_functions(module);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "tarvelon._native",
    "The full diagnostic lists of a kernel, for the tarvelon package.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tarvelon::pybindings

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&tarvelon::pybindings::kModuleDef); }
