// What every CPython module of the compiler shares: argument binding, the translation of C++
// exceptions into Python ones, and the preparation of each compiling call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "api/pipeline.h"
#include "support/cancel.h"
#include "support/thread_setup.h"

namespace tarvelon::pybindings {

/// A module's exception class for internal faults, derived from BaseException so that a broad
/// `except Exception` does not swallow a broken invariant. Created by the module's first
/// execution and kept for the life of the process, so every import sees the same class.
class FaultClass {
 public:
  constexpr explicit FaultClass(const char* qualified_name) : name_(qualified_name) {}
  /// The class, created on first use; nullptr with the Python error set when that fails.
  PyObject* get();

 private:
  const char* name_;
  PyObject* class_ = nullptr;
};

/// A parameter of a compiling function; each converts its argument in its own way.
enum class ParamKind : std::uint8_t { Source, FunctionName, Optimize, Exact, Evaluator };

/// One parameter of a fast call, in declaration order.
struct ArgDecl {
  const char* name;
  bool keyword_only;
  ParamKind kind;
};

/// The converted arguments of one call, defaults filled in. The views into str arguments live as
/// long as the call's arguments.
struct CallArgs {
  std::string_view source;
  std::string_view function_name = "_kernel";
  bool optimize = false;
  bool exact = false;
  bool evaluator = false;
};

/// Binds the positional and keyword arguments of a vectorcall of `fn` to `decls` and converts
/// them. Returns false with TypeError set on a binding or conversion failure (CPython's own
/// UnicodeEncodeError for a str without UTF-8 form); the messages name `fn` and the parameter.
bool bind_call(const char* fn, std::span<const ArgDecl> decls, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, CallArgs& out);

/// The UTF-8 text of a str argument; TypeError naming the parameter for any other type.
std::optional<std::string_view> str_arg(const char* fn, const char* param, PyObject* obj);

/// A new str of well-formed UTF-8 text the compiler produced.
PyObject* new_str(std::string_view text);
/// A new str of text that may quote a source fragment cut inside a character, which still
/// converts.
PyObject* new_str_lenient(std::string_view text);

/// Raises ValueError with the error's display text; returns nullptr.
PyObject* raise_api_error(const api::ApiError& error);

/// Translates the C++ exception in flight; returns nullptr. An internal fault becomes `fault`,
/// running out of memory MemoryError, and a cancelled compilation leaves the exception that the
/// interrupt check set (KeyboardInterrupt when the check set none).
PyObject* raise_current_exception(FaultClass& fault);

/// The interrupt check the core polls during a compilation: asks the interpreter to run its
/// signal handlers, which the interpreter lock held through the call makes safe; true, with the
/// handler's exception pending, when one raised.
bool interrupt_pending(void* context);

/// Runs one compiling call: readies the thread, lets Ctrl-C stop the work, and lets no C++
/// exception out. `body` returns a new reference or nullptr with the Python error set.
template <class Body>
PyObject* compiling_call(FaultClass& fault, Body&& body) {
  if (!support::prepare_thread()) return PyErr_NoMemory();
  try {
    support::CancelScope interruptible(&interrupt_pending, nullptr);
    return body();
  } catch (...) {
    return raise_current_exception(fault);
  }
}

/// Adds builtin functions bound to `module`, so their `__module__` is the module's name.
int add_functions(PyObject* module, std::span<PyMethodDef> defs);

/// A METH_FASTCALL | METH_KEYWORDS function as the method table stores it.
template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace tarvelon::pybindings
