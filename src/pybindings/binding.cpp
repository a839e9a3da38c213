#include "pybindings/binding.h"

#include <new>

namespace tarvelon::pybindings {

PyObject* FaultClass::get() {
  if (class_ == nullptr) {
    class_ = PyErr_NewExceptionWithDoc(
        name_,
        "A broken invariant inside the compiler. The call failed; the interpreter is unaffected.",
        PyExc_BaseException, nullptr);
  }
  return class_;
}

namespace {

/// Matches positional and keyword arguments to `decls` in order, leaving nullptr for those not
/// given. Returns false with TypeError set on a binding failure.
bool bind(const char* fn, std::span<const ArgDecl> decls, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, std::span<PyObject*> out) {
  const std::size_t n = decls.size();
  for (auto& o : out) o = nullptr;
  std::size_t positional = 0;
  while (positional < n && !decls[positional].keyword_only) ++positional;
  if (nargs < 0 || static_cast<std::size_t>(nargs) > positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)", fn,
                 positional, positional == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    std::size_t slot = n;
    for (std::size_t s = 0; s < n; ++s) {
      if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, decls[s].name) == 0) {
        slot = s;
        break;
      }
    }
    if (slot == n) {
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

/// The most parameters a compiling function has.
constexpr std::size_t kMaxParams = 4;

}  // namespace

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

/// The field a flag parameter sets; nullptr for a text parameter.
bool* flag_of(ParamKind kind, CallArgs& out) {
  switch (kind) {
    case ParamKind::Optimize:
      return &out.optimize;
    case ParamKind::Exact:
      return &out.exact;
    case ParamKind::Evaluator:
      return &out.evaluator;
    case ParamKind::Source:
    case ParamKind::FunctionName:
      break;
  }
  return nullptr;
}

bool bind_call(const char* fn, std::span<const ArgDecl> decls, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, CallArgs& out) {
  if (decls.size() > kMaxParams) {
    PyErr_Format(PyExc_SystemError, "%s() declares too many parameters", fn);
    return false;
  }
  PyObject* storage[kMaxParams];
  std::span<PyObject*> bound(storage, decls.size());
  if (!bind(fn, decls, args, nargs, kwnames, bound)) return false;
  for (std::size_t i = 0; i < decls.size(); ++i) {
    const char* name = decls[i].name;
    if (bound[i] == nullptr) {
      if (decls[i].kind != ParamKind::Source) continue;
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fn, name,
                   i + 1);
      return false;
    }
    if (bool* flag = flag_of(decls[i].kind, out)) {
      auto value = bool_arg(fn, name, bound[i]);
      if (!value) return false;
      *flag = *value;
      continue;
    }
    auto text = str_arg(fn, name, bound[i]);
    if (!text) return false;
    (decls[i].kind == ParamKind::Source ? out.source : out.function_name) = *text;
  }
  return true;
}

PyObject* new_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* new_str_lenient(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* raise_api_error(const api::ApiError& error) {
  // Built from the whole text, not a C string: source fragments quoted in a message may hold
  // NUL characters.
  PyObject* value = new_str_lenient(error.to_string());
  if (value == nullptr) return nullptr;
  PyErr_SetObject(PyExc_ValueError, value);
  Py_DECREF(value);
  return nullptr;
}

PyObject* raise_current_exception(FaultClass& fault) {
  const char* message = "unknown exception inside the compiler";
  try {
    throw;
  } catch (const support::Cancelled&) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    // Internal faults included: their text is the fault's fixed message.
    message = e.what();
  } catch (...) {
  }
  if (PyObject* cls = fault.get()) PyErr_SetString(cls, message);
  return nullptr;
}

bool interrupt_pending(void* /*context*/) { return PyErr_CheckSignals() != 0; }

int add_functions(PyObject* module, std::span<PyMethodDef> defs) {
  PyObject* name = PyModule_GetNameObject(module);
  if (name == nullptr) return -1;
  int rc = 0;
  for (PyMethodDef& def : defs) {
    PyObject* fn = PyCMethod_New(&def, module, name, nullptr);
    rc = fn == nullptr ? -1 : PyModule_AddObjectRef(module, def.ml_name, fn);
    Py_XDECREF(fn);
    if (rc < 0) break;
  }
  Py_DECREF(name);
  return rc;
}

}  // namespace tarvelon::pybindings
