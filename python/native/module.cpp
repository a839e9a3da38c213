// The CPython module `tarvelon._native`: the full diagnostic lists of a kernel for the tarvelon
// package, which `_tarvelon` reduces to one error message.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <span>
#include <string_view>

#include "api/diagnosis.h"
#include "diag/diag.h"
#include "pybindings/evaluate.h"
#include "support/internal_fault.h"

namespace tarvelon::native {

namespace {

/// A new str of UTF-8 text; a fragment cut inside a character still converts.
PyObject* text(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

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

/// Raises the module's InternalFault (or MemoryError) for the C++ exception in flight.
PyObject* raise_current_exception(PyObject* module) {
  const char* message = "unknown exception inside the compiler";
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
  }
  PyObject* cls = PyObject_GetAttrString(module, "InternalFault");
  if (cls == nullptr) return nullptr;
  PyErr_SetString(cls, message);
  Py_DECREF(cls);
  return nullptr;
}

PyObject* analyze(PyObject* module, PyObject* source) {
  if (!PyUnicode_Check(source)) {
    PyErr_Format(PyExc_TypeError, "analyze() argument 'source' must be str, not %.200s",
                 Py_TYPE(source)->tp_name);
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(source, &size);
  if (utf8 == nullptr) return nullptr;
  try {
    const api::Diagnosis diagnosis =
        api::diagnose(std::string_view(utf8, static_cast<std::size_t>(size)));
    const char* stage = diagnosis.stage == api::Diagnosis::Stage::Parse ? "parse" : "lower";
    return Py_BuildValue("(sNNN)", stage, diagnostics_tuple(diagnosis), params_tuple(diagnosis),
                         outputs_tuple(diagnosis));
  } catch (...) {
    return raise_current_exception(module);
  }
}

PyMethodDef kMethods[] = {
    {"analyze", &analyze, METH_O,
     "analyze($module, source, /)\n--\n\n"
     "Parses and lowers a kernel; returns (stage, diagnostics, params, output dtypes)."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  PyObject* fault = PyErr_NewExceptionWithDoc(
      "tarvelon._native.InternalFault",
      "A broken invariant inside the compiler. The call failed; the interpreter is unaffected.",
      PyExc_BaseException, nullptr);
  if (fault == nullptr) return -1;
  const int rc = PyModule_AddObjectRef(module, "InternalFault", fault);
  Py_DECREF(fault);
  if (rc < 0) return -1;
  return pybindings::add_evaluator_type(module);
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
    kMethods,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tarvelon::native

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&tarvelon::native::kModuleDef); }
