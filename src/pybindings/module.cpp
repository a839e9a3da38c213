// The CPython module `_tarvelon`: argument handling at the edge, the pipeline behind it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "api/pipeline.h"
#include "backend/python.h"
#include "support/internal_fault.h"
#include "support/thread_setup.h"

namespace tarvelon::pybindings {

namespace {

/// The exception class of internal faults. Created once per process by the first module
/// execution and kept for the life of the process.
PyObject* internal_fault_class() {
  static PyObject* cls = nullptr;
  if (cls == nullptr) {
    cls = PyErr_NewExceptionWithDoc(
        "_tarvelon.InternalFault",
        "A broken invariant inside the compiler. The call failed; the interpreter is unaffected.",
        PyExc_BaseException, nullptr);
  }
  return cls;
}

/// Translates the C++ exception in flight into a Python exception; returns nullptr.
PyObject* raise_current_exception() {
  try {
    throw;
  } catch (const support::InternalFault& e) {
    if (PyObject* cls = internal_fault_class()) PyErr_SetString(cls, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    if (PyObject* cls = internal_fault_class()) PyErr_SetString(cls, e.what());
  } catch (...) {
    if (PyObject* cls = internal_fault_class()) {
      PyErr_SetString(cls, "unknown exception inside the compiler");
    }
  }
  return nullptr;
}

/// A parameter of the module's functions; each converts its argument in its own way.
enum class ParamKind : std::uint8_t { Source, FunctionName, Optimize };

/// One bound argument of a fast call.
struct ArgDecl {
  const char* name;
  bool keyword_only;
  ParamKind kind;
};

/// Binds positional and keyword arguments of a vectorcall to `decls` in order. Returns false
/// with TypeError set on a binding failure.
template <std::size_t N>
bool bind(const char* fn, const ArgDecl (&decls)[N], PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject* (&out)[N]) {
  for (auto& o : out) o = nullptr;
  std::size_t positional = 0;
  while (positional < N && !decls[positional].keyword_only) ++positional;
  if (nargs < 0 || static_cast<std::size_t>(nargs) > positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)", fn,
                 positional, positional == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    std::size_t slot = N;
    for (std::size_t s = 0; s < N; ++s) {
      if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, decls[s].name) == 0) {
        slot = s;
        break;
      }
    }
    if (slot == N) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", fn, key);
      return false;
    }
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fn,
                   decls[slot].name);
      return false;
    }
    out[slot] = args[nargs + j];
  }
  return true;
}

/// The UTF-8 text of a str argument; TypeError naming the parameter for any other type, and
/// CPython's own UnicodeEncodeError for text that has no UTF-8 form (lone surrogates).
std::optional<std::string_view> str_arg(const char* fn, const char* param, PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", fn, param,
                 Py_TYPE(obj)->tp_name);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) return std::nullopt;
  return std::string_view(text, static_cast<std::size_t>(size));
}

/// Whether `obj` is NumPy's boolean scalar: 1 or 0, or -1 with the Python error set when the
/// look-up itself failed (an interrupt, say), which must reach the caller. NumPy is looked up
/// among the modules already imported (none of its scalars can exist before it is), and the
/// type is compared by identity: a look-alike type of the same name and module is not NumPy's.
int is_numpy_bool(PyObject* obj) {
  PyObject* name = PyUnicode_FromString("numpy");
  if (name == nullptr) return -1;
  PyObject* numpy = PyImport_GetModule(name);
  Py_DECREF(name);
  if (numpy == nullptr) return PyErr_Occurred() ? -1 : 0;
  PyObject* type = PyObject_GetAttrString(numpy, "bool_");
  Py_DECREF(numpy);
  if (type == nullptr) {
    // A NumPy without the type has no boolean scalar to accept.
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  const bool same = type == reinterpret_cast<PyObject*>(Py_TYPE(obj));
  Py_DECREF(type);
  return same ? 1 : 0;
}

/// The truth value of a bool argument: Python's booleans and NumPy's boolean scalar only.
std::optional<bool> bool_arg(const char* fn, const char* param, PyObject* obj) {
  if (PyBool_Check(obj)) return obj == Py_True;
  const int numpy_bool = is_numpy_bool(obj);
  if (numpy_bool < 0) return std::nullopt;
  if (numpy_bool == 1) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return std::nullopt;
    return truth == 1;
  }
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be bool, not %.200s", fn, param,
               Py_TYPE(obj)->tp_name);
  return std::nullopt;
}

/// The converted arguments of one call, defaults filled in.
struct CallArgs {
  std::string_view source;
  std::string_view function_name = "_kernel";
  bool optimize = false;
};

/// Binds and converts the arguments of a call of `fn` with parameters `decls`. Returns false with
/// TypeError set on a binding or conversion failure (UnicodeEncodeError for a str without UTF-8
/// form). The views into the str arguments live as long as the call's arguments.
template <std::size_t N>
bool bind_call(const char* fn, const ArgDecl (&decls)[N], PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, CallArgs& out) {
  PyObject* bound[N];
  if (!bind(fn, decls, args, nargs, kwnames, bound)) return false;
  for (std::size_t i = 0; i < N; ++i) {
    const char* name = decls[i].name;
    if (bound[i] == nullptr) {
      if (decls[i].kind != ParamKind::Source) continue;
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fn, name,
                   i + 1);
      return false;
    }
    if (decls[i].kind == ParamKind::Optimize) {
      auto flag = bool_arg(fn, name, bound[i]);
      if (!flag) return false;
      out.optimize = *flag;
      continue;
    }
    auto text = str_arg(fn, name, bound[i]);
    if (!text) return false;
    (decls[i].kind == ParamKind::Source ? out.source : out.function_name) = *text;
  }
  return true;
}

/// Raises ValueError with the error's display text; returns nullptr.
PyObject* raise_api_error(const api::ApiError& error) {
  // Built from the whole text, not a C string: source fragments quoted in a message may hold
  // NUL characters.
  const std::string message = error.to_string();
  PyObject* value =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (value == nullptr) return nullptr;
  PyErr_SetObject(PyExc_ValueError, value);
  Py_DECREF(value);
  return nullptr;
}

PyObject* new_str(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* simplify_expr(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static constexpr ArgDecl kDecls[] = {{"source", false, ParamKind::Source},
                                       {"optimize", true, ParamKind::Optimize}};
  CallArgs call;
  if (!bind_call("simplify_expr", kDecls, args, nargs, kwnames, call)) return nullptr;
  if (!support::prepare_thread()) return PyErr_NoMemory();
  try {
    auto text = api::simplify_expr(call.source, call.optimize);
    if (!text) return raise_api_error(text.error());
    return new_str(*text);
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* emit_python(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  static constexpr ArgDecl kDecls[] = {{"source", false, ParamKind::Source},
                                       {"function_name", false, ParamKind::FunctionName},
                                       {"optimize", true, ParamKind::Optimize}};
  CallArgs call;
  if (!bind_call("emit_python", kDecls, args, nargs, kwnames, call)) return nullptr;
  if (!support::prepare_thread()) return PyErr_NoMemory();
  try {
    std::string text;
    {
      auto dag = api::lowered_dag(call.source, call.optimize);
      if (!dag) return raise_api_error(dag.error());
      text = backend::PythonBackend{}.emit_kernel(*dag, call.function_name);
    }
    return new_str(text);
  } catch (...) {
    return raise_current_exception();
  }
}

PyMethodDef kSimplifyExprDef = {
    "simplify_expr",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&simplify_expr)),
    METH_FASTCALL | METH_KEYWORDS,
    "simplify_expr(source, *, optimize=False)\n--\n\n",
};

PyMethodDef kEmitPythonDef = {
    "emit_python",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&emit_python)),
    METH_FASTCALL | METH_KEYWORDS,
    "emit_python(source, function_name=\"_kernel\", *, optimize=False)\n--\n\n",
};

/// Adds a builtin function bound to `module`, so its `__module__` is the module's name.
int add_function(PyObject* module, PyMethodDef* def) {
  PyObject* name = PyModule_GetNameObject(module);
  if (name == nullptr) return -1;
  PyObject* fn = PyCMethod_New(def, module, name, nullptr);
  Py_DECREF(name);
  if (fn == nullptr) return -1;
  int rc = PyModule_AddObjectRef(module, def->ml_name, fn);
  Py_DECREF(fn);
  return rc;
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "_tarvelon: module execution needs a module object");
    return -1;
  }
  if (internal_fault_class() == nullptr) return -1;
  if (PyModule_AddStringConstant(module, "__version__", "0.0.1") < 0) return -1;
  if (add_function(module, &kSimplifyExprDef) < 0) return -1;
  return add_function(module, &kEmitPythonDef);
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
