// A compiled kernel as a NumPy ufunc with one loop over the parameters' storage dtypes, so that
// NumPy's own machinery gives it out=, where=, casting=, broadcasting, reductions and the
// __array_ufunc__ protocol; and the routing of a kernel call whose arguments are Dask arrays.
#define PY_SSIZE_T_CLEAN
#include "pybindings/ufunc.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>
#include <structmember.h>

#include <algorithm>
#include <array>
#include <cfenv>
#include <chrono>
#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/pipeline.h"
#include "eval/parallel.h"
#include "eval/program.h"
#include "pybindings/array_storage.h"
#include "pybindings/binding.h"
#include "pybindings/evaluate.h"
#include "vocab/dtype.h"

namespace tarvelon::pybindings {

namespace {

constexpr const char* kCapsuleName = "tarvelon._native.ufunc_loop";

/// Everything a ufunc's loop and NumPy's ufunc object read, owned by a capsule the ufunc holds:
/// a ufunc lives as long as anyone holds it, beyond the kernel and the cache that made it.
struct UfuncLoop {
  eval::Program program;
  std::string name;
  std::string doc;
  std::vector<char> types;
  PyUFuncGenericFunction functions[1] = {};
  void* data[1] = {};

  /// Whether an output overlaps an input other than exactly (same start and stride), as in a
  /// reduction's accumulator or an accumulation's shifted view: each element must then see the
  /// one written before it, which a run over blocks would read too early. NumPy copies
  /// overlapping operands of a plain call, so only its reductions take this path.
  bool sequential(char** args, const npy_intp* steps, std::size_t n) const {
    if (n < 2) return false;
    const std::size_t nin = program.params().size();
    const auto span_of = [&](std::size_t op, vocab::DType d) {
      const std::ptrdiff_t reach = steps[op] * static_cast<std::ptrdiff_t>(n - 1);
      const char* first = args[op] + std::min<std::ptrdiff_t>(reach, 0);
      const char* last = args[op] + std::max<std::ptrdiff_t>(reach, 0) +
                         static_cast<std::ptrdiff_t>(eval::storage_size(d));
      return std::pair(first, last);
    };
    for (std::size_t o = 0; o < program.results().size(); ++o) {
      const std::size_t op = nin + o;
      const auto [out_first, out_last] = span_of(op, program.results()[o]);
      for (std::size_t i = 0; i < nin; ++i) {
        if (args[i] == args[op] && steps[i] == steps[op]) continue;
        const auto [in_first, in_last] = span_of(i, program.params()[i]);
        if (in_first < out_last && out_first < in_last) return true;
      }
      if (steps[op] == 0) return true;
    }
    return false;
  }
};

void free_loop(PyObject* capsule) {
  delete static_cast<UfuncLoop*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

/// What a thread keeps between the loop's runs: its working memory, grown to the largest kernel
/// it has run, and the state of its Ctrl-C polling.
struct LoopThread {
  eval::Program::Workspace workspace;
  std::chrono::steady_clock::time_point last_look{};
  /// Elements computed since the clock was last read.
  std::size_t unpolled = 0;
  /// Set when this thread's loop raised: NumPy goes on calling the loop for the rest of the
  /// call's buffers, which are then skipped while the exception is pending.
  bool stopped = false;
};

thread_local LoopThread loop_thread;

/// Takes the interpreter lock to look for Ctrl-C once kSignalInterval has passed; false once a
/// signal handler raised, which leaves the exception set for NumPy to find.
bool look_for_signals(LoopThread& thread) {
  const auto now = std::chrono::steady_clock::now();
  if (now - thread.last_look < kSignalInterval) return true;
  thread.last_look = now;
  const PyGILState_STATE gil = PyGILState_Ensure();
  thread.stopped = PyErr_CheckSignals() < 0;
  PyGILState_Release(gil);
  return !thread.stopped;
}

/// The one place the ufunc's loop hands a run of elements to the evaluator: a long run is shared
/// with the evaluator's worker threads, looking for Ctrl-C between pieces.
void compute(const eval::Program& program, std::span<const eval::Program::In> in,
             std::span<const eval::Program::Out> out, std::size_t n, LoopThread& thread) {
  eval::ParallelOptions options;
  options.interval = kSignalInterval;
  options.keep_going = [&thread] { return look_for_signals(thread); };
  eval::run_parallel(program, in, out, n, thread.workspace, options);
}

/// NumPy's inner loop: `args` holds the inputs then the outputs, each strided by `steps`. NumPy
/// may call it without the interpreter lock, which it takes only to look for Ctrl-C and to raise.
void kernel_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void* data) {
  const auto& loop = *static_cast<const UfuncLoop*>(data);
  LoopThread& thread = loop_thread;
  if (thread.stopped) {
    const PyGILState_STATE gil = PyGILState_Ensure();
    const bool pending = PyErr_Occurred() != nullptr;
    PyGILState_Release(gil);
    if (pending) return;
    thread.stopped = false;
  }
  const std::size_t nin = loop.program.params().size();
  const std::size_t nout = loop.program.results().size();
  std::array<eval::Program::In, NPY_MAXARGS> in;
  std::array<eval::Program::Out, NPY_MAXARGS> out;
  const auto total = static_cast<std::size_t>(dimensions[0]);
  const auto ins = std::span(in.data(), nin);
  const auto outs = std::span(out.data(), nout);
  // Points the operands at element `first` of NumPy's runs.
  const auto place = [&](std::size_t first) {
    const auto offset = static_cast<std::ptrdiff_t>(first);
    for (std::size_t k = 0; k < nin; ++k)
      in[k] = {reinterpret_cast<const std::byte*>(args[k]) + offset * steps[k], steps[k]};
    for (std::size_t k = 0; k < nout; ++k) {
      const std::size_t op = nin + k;
      out[k] = {reinterpret_cast<std::byte*>(args[op]) + offset * steps[op], steps[op]};
    }
  };
  try {
    // An output that overlaps an input other than exactly (a reduction's running value) must
    // see each element written before the next is read: such runs go one element at a time.
    if (total > 0 && !loop.sequential(args, steps, total)) {
      place(0);
      compute(loop.program, ins, outs, total, thread);
      if (thread.stopped) return;
    } else {
      for (std::size_t done = 0; done < total; ++done) {
        place(done);
        loop.program.run(ins, outs, 1, thread.workspace);
        // NumPy may hand over a few elements a call (buffers, reductions): the clock is read
        // once a chunk's worth, counted across calls.
        if (++thread.unpolled < kPollChunk) continue;
        thread.unpolled = 0;
        if (!look_for_signals(thread)) return;
      }
    }
  } catch (...) {
    const PyGILState_STATE gil = PyGILState_Ensure();
    raise_current_exception(native_internal_fault);
    PyGILState_Release(gil);
    thread.stopped = true;
  }
  // Typed evaluation neither raises nor warns, and the flags its inner steps leave (a branch not
  // taken, an exponential that overflows on the way to a finite result) are no news to the
  // caller: NumPy would turn them into warnings.
  std::feclearexcept(FE_ALL_EXCEPT);
}

bool numpy_ready = false;

int ensure_numpy() {
  if (numpy_ready) return 0;
  if (_import_array() < 0 || _import_umath() < 0) return -1;
  numpy_ready = true;
  return 0;
}

/// "k(x: f32, n: i32) -> f32 ..." for the ufunc's docstring, which NumPy puts after its own
/// signature line.
std::string loop_doc(std::string_view name, const std::vector<std::string>& arg_names,
                     const eval::Program& program) {
  std::string doc(name);
  doc += '(';
  for (std::size_t k = 0; k < arg_names.size(); ++k) {
    if (k > 0) doc += ", ";
    doc += arg_names[k] + ": " + program.params()[k].to_str();
  }
  doc += ") -> ";
  const auto results = program.results();
  if (results.size() > 1) doc += '(';
  for (std::size_t k = 0; k < results.size(); ++k) {
    if (k > 0) doc += ", ";
    doc += results[k].to_str();
  }
  if (results.size() > 1) doc += ')';
  return doc +
         "\n\nA compiled tarvelon kernel as a NumPy ufunc: one loop over its parameters' "
         "dtypes, bf16 as float32.";
}

/// The ufunc of a compiled kernel, moving its program out of `compiled`.
PyObject* new_ufunc(std::string_view name, api::Compilation& compiled) {
  auto loop = std::make_unique<UfuncLoop>(UfuncLoop{std::move(**compiled.program), {}, {}, {}});
  const std::size_t nin = loop->program.params().size();
  const std::size_t nout = loop->program.results().size();
  if (nin + nout > NPY_MAXARGS) {
    // The call's refusal of the same kernel.
    PyErr_Format(PyExc_ValueError,
                 "%s(): typed evaluation takes at most %d parameters and results together, this "
                 "kernel has %zu",
                 std::string(name).c_str(), NPY_MAXARGS, nin + nout);
    return nullptr;
  }
  loop->name = name;
  loop->doc = loop_doc(name, compiled.python_params, loop->program);
  for (vocab::DType d : loop->program.params())
    loop->types.push_back(static_cast<char>(storage_type(d)));
  for (vocab::DType d : loop->program.results())
    loop->types.push_back(static_cast<char>(storage_type(d)));
  loop->functions[0] = &kernel_loop;
  loop->data[0] = loop.get();
  PyObject* capsule = PyCapsule_New(loop.get(), kCapsuleName, &free_loop);
  if (capsule == nullptr) return nullptr;
  UfuncLoop* owned = loop.release();
  PyObject* ufunc = PyUFunc_FromFuncAndData(
      owned->functions, owned->data, owned->types.data(), 1, static_cast<int>(nin),
      static_cast<int>(nout), PyUFunc_None, owned->name.c_str(), owned->doc.c_str(), 0);
  if (ufunc == nullptr) {
    Py_DECREF(capsule);
    return nullptr;
  }
  // NumPy releases `obj` with the ufunc.
  reinterpret_cast<PyUFuncObject*>(ufunc)->obj = capsule;
  return ufunc;
}

PyObject* make_ufunc(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  static constexpr ArgDecl kDecls[] = {{"source", false, ParamKind::Source},
                                       {"function_name", false, ParamKind::FunctionName},
                                       {"optimize", true, ParamKind::Optimize}};
  CallArgs call;
  if (!bind_call("ufunc", kDecls, args, nargs, kwnames, call)) return nullptr;
  if (ensure_numpy() < 0) return nullptr;
  return compiling_call(native_internal_fault, [&]() -> PyObject* {
    api::Compilation compiled = api::compile(call.source, {.output = api::Request::Output::Python,
                                                           .function_name = call.function_name,
                                                           .optimize = call.optimize,
                                                           .diagnosis = false,
                                                           .param_names = true,
                                                           .evaluator = true});
    if (compiled.error) return raise_api_error(*compiled.error);
    if (!*compiled.program) {
      // The same refusal the kernel's call gives.
      const std::string name(call.function_name);
      PyErr_Format(PyExc_ValueError, "%s(): %s", name.c_str(),
                   compiled.program->error().message.c_str());
      return nullptr;
    }
    return new_ufunc(call.function_name, compiled);
  });
}

// ---- the routed call -------------------------------------------------------------------------

struct RoutedCallObject {
  PyObject_HEAD PyObject* evaluator;
  PyObject* deferred;
  vectorcallfunc vectorcall;
  /// Whether `evaluator` is an Evaluator, whose call this one makes without a dispatch.
  bool direct;
};

/// The interned "__module__", made when the module is first executed.
PyObject* module_key = nullptr;

/// Whether `value` belongs to Dask: its type, or a class it derives from, is defined in a module
/// of the `dask` package. Static types (numbers, NumPy arrays and scalars) are never Dask's, so
/// the common call looks at nothing but a flag.
bool is_deferred(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || type->tp_mro == nullptr) return false;
  PyObject* mro = type->tp_mro;
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(mro); ++k) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, k));
    if (!PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE)) continue;
    PyObject* module = PyDict_GetItemWithError(base->tp_dict, module_key);
    if (module == nullptr || !PyUnicode_Check(module)) {
      PyErr_Clear();
      continue;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(module, &size);
    if (utf8 == nullptr) {
      PyErr_Clear();
      continue;
    }
    const std::string_view text(utf8, static_cast<std::size_t>(size));
    if (text.starts_with("dask") && (text.size() == 4 || text[4] == '.')) return true;
  }
  return false;
}

/// The deferred path of a call: `deferred(args, kwargs)`, with kwargs None when there are none.
PyObject* call_deferred(PyObject* deferred, PyObject* const* args, std::size_t nargs,
                        PyObject* kwnames) {
  PyObject* positional = PyTuple_New(static_cast<Py_ssize_t>(nargs));
  if (positional == nullptr) return nullptr;
  for (std::size_t k = 0; k < nargs; ++k)
    PyTuple_SET_ITEM(positional, static_cast<Py_ssize_t>(k), Py_NewRef(args[k]));
  PyObject* keywords = Py_NewRef(Py_None);
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
    Py_SETREF(keywords, PyDict_New());
    for (Py_ssize_t i = 0; keywords != nullptr && i < PyTuple_GET_SIZE(kwnames); ++i) {
      if (PyDict_SetItem(keywords, PyTuple_GET_ITEM(kwnames, i),
                         args[nargs + static_cast<std::size_t>(i)]) < 0)
        Py_CLEAR(keywords);
    }
  }
  PyObject* result = keywords == nullptr
                         ? nullptr
                         : PyObject_CallFunctionObjArgs(deferred, positional, keywords, nullptr);
  Py_DECREF(positional);
  Py_XDECREF(keywords);
  return result;
}

/// A kernel's call: one dispatch, straight into the evaluator unless an argument is Dask's.
PyObject* routed_call(PyObject* self, PyObject* const* args, std::size_t nargsf,
                      PyObject* kwnames) {
  auto* routed = reinterpret_cast<RoutedCallObject*>(self);
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  const std::size_t total =
      nargs + (kwnames == nullptr ? 0 : static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)));
  for (std::size_t k = 0; k < total; ++k) {
    if (is_deferred(args[k])) return call_deferred(routed->deferred, args, nargs, kwnames);
  }
  if (routed->direct) return call_evaluator(routed->evaluator, args, nargsf, kwnames);
  return PyObject_Vectorcall(routed->evaluator, args, nargsf, kwnames);
}

int routed_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* routed = reinterpret_cast<RoutedCallObject*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(routed->evaluator);
  Py_VISIT(routed->deferred);
  return 0;
}

int routed_clear(PyObject* self) {
  auto* routed = reinterpret_cast<RoutedCallObject*>(self);
  Py_CLEAR(routed->evaluator);
  Py_CLEAR(routed->deferred);
  return 0;
}

void routed_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  routed_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMemberDef kRoutedMembers[] = {
    {"__vectorcalloffset__", T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(RoutedCallObject, vectorcall)), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kRoutedSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&routed_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&routed_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&routed_clear)},
    {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
    {Py_tp_members, kRoutedMembers},
    {Py_tp_doc, const_cast<char*>("A kernel's call: the typed evaluator, or the deferred path "
                                  "when an argument is a Dask collection.")},
    {0, nullptr},
};

PyType_Spec kRoutedSpec = {
    "tarvelon._native.RoutedCall",
    sizeof(RoutedCallObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_VECTORCALL,
    kRoutedSlots,
};

/// The type, made by the first execution of the module and kept for the life of the process.
PyObject* routed_type = nullptr;

PyObject* new_routed_call(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "routed_call() takes 2 positional arguments but %zd were given",
                 nargs);
    return nullptr;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(routed_type);
  auto* self = PyObject_GC_New(RoutedCallObject, type);
  if (self == nullptr) return nullptr;
  self->evaluator = Py_NewRef(args[0]);
  self->deferred = Py_NewRef(args[1]);
  self->vectorcall = &routed_call;
  self->direct = is_evaluator(args[0]);
  PyObject_GC_Track(self);
  return reinterpret_cast<PyObject*>(self);
}

PyMethodDef kFunctions[] = {
    {"ufunc", fastcall<&make_ufunc>(), METH_FASTCALL | METH_KEYWORDS,
     "ufunc(source, function_name=\"_kernel\", *, optimize=False)\n--\n\n"
     "Compiles a kernel to a NumPy ufunc named `function_name`: one loop over its parameters'\n"
     "dtypes (bf16 as float32), which computes it typed. ValueError for a kernel without typed\n"
     "meaning or with more than 32 parameters and results."},
    {"routed_call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&new_routed_call)),
     METH_FASTCALL,
     "routed_call(evaluator, deferred, /)\n--\n\n"
     "A callable that calls `evaluator` with its arguments, or `deferred(args, kwargs)` when an\n"
     "argument is a Dask collection, which the evaluator would compute in full."},
};

}  // namespace

int add_ufunc_functions(PyObject* module) {
  if (module_key == nullptr) {
    module_key = PyUnicode_InternFromString("__module__");
    if (module_key == nullptr) return -1;
  }
  if (routed_type == nullptr) {
    routed_type = PyType_FromModuleAndSpec(module, &kRoutedSpec, nullptr);
    if (routed_type == nullptr) return -1;
  }
  if (PyModule_AddObjectRef(module, "RoutedCall", routed_type) < 0) return -1;
  return add_functions(module, kFunctions);
}

}  // namespace tarvelon::pybindings
