// Typed evaluation of a compiled kernel over NumPy arrays: argument conversion, broadcasting and
// casting come from NumPy's multi-operand iterator; every inner run goes to the evaluator.
#define PY_SSIZE_T_CLEAN
#include "pybindings/evaluate.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <version>  // names the C++ library
#if defined(__GLIBCXX__)
#include <cxxabi.h>  // abi::__forced_unwind, the C library ending a thread
#endif
#include <numpy/arrayobject.h>
#include <structmember.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/pipeline.h"
#include "eval/parallel.h"
#include "eval/program.h"
#include "pybindings/array_storage.h"
#include "vocab/dtype.h"

namespace tarvelon::pybindings {

namespace {

/// The working memory of this thread's calls, grown to the largest kernel it has run. A call
/// takes it and gives it back when done, so that a call made while another is under way on the
/// same thread (from a signal handler) works on memory of its own.
thread_local eval::Program::Workspace spare_workspace;

/// The compiled side of one kernel. `program` is empty when the evaluator refused the kernel;
/// `refusal` then says why.
struct Evaluator {
  std::string name;
  std::vector<std::string> arg_names;
  std::vector<vocab::DType> params;
  std::vector<vocab::DType> results;
  std::optional<eval::Program> program;
  std::string refusal;
};

struct EvaluatorObject {
  PyObject_HEAD Evaluator* impl;
  vectorcallfunc vectorcall;
};

/// Owns one reference; releases it when the scope ends unless released.
struct Ref {
  PyObject* p = nullptr;
  Ref() = default;
  explicit Ref(PyObject* o) : p(o) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p(std::exchange(o.p, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    std::swap(p, o.p);
    return *this;
  }
  ~Ref() { Py_XDECREF(p); }
  PyObject* release() { return std::exchange(p, nullptr); }
  PyArrayObject* array() const { return reinterpret_cast<PyArrayObject*>(p); }
};

bool numpy_ready = false;

int ensure_numpy() {
  if (numpy_ready) return 0;
  if (_import_array() < 0) return -1;
  numpy_ready = true;
  return 0;
}

/// The text of a NumPy dtype as users write it ("float64").
std::string descr_name(PyArray_Descr* d) {
  Ref s(PyObject_Str(reinterpret_cast<PyObject*>(d)));
  if (s.p == nullptr) {
    PyErr_Clear();
    return "?";
  }
  const char* utf8 = PyUnicode_AsUTF8(s.p);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return utf8;
}

class Call {
 public:
  Call(const Evaluator& ev, std::size_t index) : ev_(ev), i_(index) {}

  /// The argument as an array the iterator can cast to the parameter's storage under the
  /// same_kind rule; nullptr with TypeError or OverflowError naming the parameter.
  PyArrayObject* operand(PyObject* v) const {
    // An array of exactly the parameter's storage is taken as it is, as the checks below would.
    if (PyArray_CheckExact(v)) {
      auto* a = reinterpret_cast<PyArrayObject*>(v);
      if (PyArray_TYPE(a) == storage_type(ev_.params[i_]) &&
          PyArray_ISNBO(PyArray_DESCR(a)->byteorder))
        return reinterpret_cast<PyArrayObject*>(Py_NewRef(v));
    }
    PyArrayObject* arr = converted(v);
    return arr != nullptr && ev_.params[i_].is_bf16() ? rounded_to_odd(arr) : arr;
  }

 private:
  /// The argument as an array the iterator can cast to the parameter's storage; Python
  /// numbers for a bf16 parameter become float64, so that they round only once.
  PyArrayObject* converted(PyObject* v) const {
    const vocab::DType d = ev_.params[i_];
    PyArray_Descr* target = PyArray_DescrFromType(storage_type(d));
    if (PyArray_Check(v) || PyArray_IsScalar(v, Generic)) {
      Ref arr(PyArray_FromAny(v, nullptr, 0, 0, 0, nullptr));
      if (arr.p == nullptr) {
        Py_DECREF(target);
        return nullptr;
      }
      return same_kind(std::move(arr), target);
    }
    if (PyUnicode_Check(v) || PyBytes_Check(v) || PyByteArray_Check(v)) {
      Py_DECREF(target);
      return wrong_type(v);
    }
    if (PyBool_Check(v) || PyLong_Check(v) || PyFloat_Check(v) || PyComplex_Check(v)) {
      Py_DECREF(target);
      if (number_fits(v, d) < 0) return nullptr;
      if (stores_numbers_directly(d)) return number_in_storage(v, d);
      // Checked by value: NumPy reads the number in its own dtype and the iterator converts it.
      Ref value(Py_NewRef(v));
      if (PyLong_Check(v) && !PyBool_Check(v) && !d.is_integer()) {
        value = Ref(d.kind == vocab::DTypeKind::Bool ? PyBool_FromLong(PyObject_IsTrue(v))
                                                     : PyNumber_Float(v));
        if (value.p == nullptr) return nullptr;
      }
      return reinterpret_cast<PyArrayObject*>(PyArray_FromAny(value.p, nullptr, 0, 0, 0, nullptr));
    }
    Ref arr(PyArray_FromAny(v, nullptr, 0, 0, 0, nullptr));
    if (arr.p == nullptr) {
      Py_DECREF(target);
      PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
      PyErr_Fetch(&type, &value, &trace);
      PyErr_Format(PyExc_TypeError, "%s() argument '%s' (%s) must be a number or an array: %S",
                   ev_.name.c_str(), arg(), d.to_str(), value ? value : Py_None);
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(trace);
      return nullptr;
    }
    if (!PyList_Check(v) && !PyTuple_Check(v)) {
      if (PyArray_TYPE(arr.array()) == NPY_OBJECT) {
        Py_DECREF(target);
        return wrong_type(v);
      }
      return same_kind(std::move(arr), target);
    }
    if (PyArray_DESCR(arr.array())->kind == 'f' &&
        (d.is_integer() || d.kind == vocab::DTypeKind::Bool)) {
      // NumPy reads integers beyond int64 as floats; as Python objects they stay integers.
      Ref objects(PyArray_FromAny(v, PyArray_DescrFromType(NPY_OBJECT), 0, 0, 0, nullptr));
      if (objects.p == nullptr) {
        Py_DECREF(target);
        return nullptr;
      }
      if (all_integers(objects.array())) arr = std::move(objects);
    }
    if (numbers_fit(arr.array(), d) < 0) {
      Py_DECREF(target);
      return nullptr;
    }
    if (PyArray_TYPE(arr.array()) != NPY_OBJECT) {
      Py_DECREF(target);
      return reinterpret_cast<PyArrayObject*>(arr.release());
    }
    // Integers beyond 64 bits, already checked against an integer parameter's range.
    if (d.is_bf16() || d.kind == vocab::DTypeKind::Float) {
      Py_DECREF(target);
      target = PyArray_DescrFromType(NPY_FLOAT64);
    }
    PyObject* cast = PyArray_CastToType(arr.array(), target, 0);
    if (cast == nullptr && PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_OverflowError,
                   "%s() argument '%s' (%s): an integer is out of range for %s", ev_.name.c_str(),
                   arg(), d.to_str(), d.to_str());
    }
    return reinterpret_cast<PyArrayObject*>(cast);
  }

  /// Steals `arr`. Data for a bf16 parameter travels as float32, which the evaluator rounds to
  /// bf16; data wider than float32 is first rounded to float32 by rounding to odd, so that the
  /// second rounding gives the single correct one.
  static PyArrayObject* rounded_to_odd(PyArrayObject* arr) {
    switch (PyArray_TYPE(arr)) {
      case NPY_BOOL:
      case NPY_INT8:
      case NPY_UINT8:
      case NPY_INT16:
      case NPY_UINT16:
      case NPY_HALF:
      case NPY_FLOAT:
        return arr;
      default:
        break;
    }
    Ref owned(reinterpret_cast<PyObject*>(arr));
    Ref wide(PyArray_FROM_OTF(owned.p, NPY_FLOAT64, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
    if (wide.p == nullptr) return nullptr;
    Ref narrow(PyArray_SimpleNew(PyArray_NDIM(arr), PyArray_DIMS(arr), NPY_FLOAT32));
    if (narrow.p == nullptr) return nullptr;
    const auto* from = static_cast<const double*>(PyArray_DATA(wide.array()));
    auto* to = static_cast<float*>(PyArray_DATA(narrow.array()));
    const npy_intp n = PyArray_SIZE(wide.array());
    PyThreadState* released = PyEval_SaveThread();
    for (npy_intp k = 0; k < n; ++k) to[k] = float_rounded_to_odd(from[k]);
    PyEval_RestoreThread(released);
    return reinterpret_cast<PyArrayObject*>(narrow.release());
  }

  static float float_rounded_to_odd(double x) {
    if (std::isnan(x)) return static_cast<float>(x);
    float t = static_cast<float>(x);
    if (std::isinf(t) && !std::isinf(x)) {
      t = std::copysign(std::numeric_limits<float>::max(), t);
    } else if (std::fabs(static_cast<double>(t)) > std::fabs(x)) {
      t = std::nextafter(t, 0.0f);
    }
    if (static_cast<double>(t) == x) return t;
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(t) | 1u);
  }

  /// Whether a Python number for a parameter of dtype `d` is written straight into its storage:
  /// every dtype but f16 and the complex ones, whose conversions stay with NumPy.
  static bool stores_numbers_directly(vocab::DType d) {
    return d.kind != vocab::DTypeKind::Complex &&
           !(d.kind == vocab::DTypeKind::Float && d.bits == 16 && !d.brain);
  }

  /// The Python number `v`, already checked against `d` by value, as a 0-d array of d's storage
  /// holding what NumPy's reading of the number and its cast to that storage would give: an
  /// integer in range keeps its value, a bool is 0 or 1 (or itself), a real rounds once from
  /// double (bf16 through float32 rounded to odd, as arrays go). Such an operand needs no
  /// iterator. Null with an exception on failure.
  static PyArrayObject* number_in_storage(PyObject* v, vocab::DType d) {
    const int type = storage_type(d);
    Ref arr(PyArray_SimpleNew(0, nullptr, type));
    if (arr.p == nullptr) return nullptr;
    void* data = PyArray_DATA(arr.array());
    if (d.kind == vocab::DTypeKind::Bool) {
      const int truth = PyObject_IsTrue(v);
      if (truth < 0) return nullptr;
      *static_cast<npy_bool*>(data) = static_cast<npy_bool>(truth);
    } else if (d.is_integer()) {
      if (!store_integer(v, type, data)) return nullptr;
    } else {
      const double x = PyFloat_AsDouble(v);
      if (x == -1.0 && PyErr_Occurred()) return nullptr;
      if (type == NPY_FLOAT64) {
        *static_cast<double*>(data) = x;
      } else {
        *static_cast<float*>(data) = d.is_bf16() ? float_rounded_to_odd(x) : static_cast<float>(x);
      }
    }
    return reinterpret_cast<PyArrayObject*>(arr.release());
  }

  /// Writes the integer (or bool) `v`, in range of `type`, into `data`.
  static bool store_integer(PyObject* v, int type, void* data) {
    if (type == NPY_UINT64) {
      const unsigned long long u = PyLong_AsUnsignedLongLong(v);
      if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
      *static_cast<npy_uint64*>(data) = u;
      return true;
    }
    const long long x = PyLong_AsLongLong(v);
    if (x == -1 && PyErr_Occurred()) return false;
    switch (type) {
      case NPY_INT8:
        *static_cast<npy_int8*>(data) = static_cast<npy_int8>(x);
        break;
      case NPY_UINT8:
        *static_cast<npy_uint8*>(data) = static_cast<npy_uint8>(x);
        break;
      case NPY_INT16:
        *static_cast<npy_int16*>(data) = static_cast<npy_int16>(x);
        break;
      case NPY_UINT16:
        *static_cast<npy_uint16*>(data) = static_cast<npy_uint16>(x);
        break;
      case NPY_INT32:
        *static_cast<npy_int32*>(data) = static_cast<npy_int32>(x);
        break;
      case NPY_UINT32:
        *static_cast<npy_uint32*>(data) = static_cast<npy_uint32>(x);
        break;
      default:
        *static_cast<npy_int64*>(data) = x;
        break;
    }
    return true;
  }

  const char* arg() const { return ev_.arg_names[i_].c_str(); }

  PyArrayObject* wrong_type(PyObject* v) const {
    PyErr_Format(PyExc_TypeError,
                 "%s() argument '%s' (%s) must be a number or an array, not %.200s",
                 ev_.name.c_str(), arg(), ev_.params[i_].to_str(), Py_TYPE(v)->tp_name);
    return nullptr;
  }

  /// What a number of Python's kind `kind` ('b', 'i', 'f', 'c') may become: integers and bools
  /// take no floats and no complex numbers, reals no complex numbers. 0, or -1 with TypeError.
  int kind_fits(char kind, const char* what) const {
    const vocab::DType d = ev_.params[i_];
    const bool integral = d.kind == vocab::DTypeKind::Bool || d.is_integer();
    if ((kind == 'f' && integral) || (kind == 'c' && d.kind != vocab::DTypeKind::Complex)) {
      PyErr_Format(PyExc_TypeError, "%s() argument '%s' (%s) must be %s, not %s", ev_.name.c_str(),
                   arg(), d.to_str(),
                   d.kind == vocab::DTypeKind::Bool ? "a bool or an integer"
                   : integral                       ? "an integer"
                                                    : "a real number",
                   what);
      return -1;
    }
    return 0;
  }

  static bool all_integers(PyArrayObject* objects) {
    auto* items = static_cast<PyObject**>(PyArray_DATA(objects));
    for (npy_intp k = 0; k < PyArray_SIZE(objects); ++k) {
      if (!PyLong_Check(items[k])) return false;
    }
    return true;
  }

  /// Whether the integer `v` is in range of an integer dtype: 0, or -1 with OverflowError.
  int int_in_range(PyObject* v, vocab::DType d) const {
    if (!d.is_integer()) return 0;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    bool fits = overflow == 0;
    if (d.kind == vocab::DTypeKind::UInt) {
      if (overflow > 0 && d.bits == 64) {
        PyLong_AsUnsignedLongLong(v);
        fits = !PyErr_Occurred();
        PyErr_Clear();
      } else {
        fits = fits && value >= 0 && (d.bits == 64 || value < (1LL << d.bits));
      }
    } else if (d.bits < 64) {
      fits = fits && value >= -(1LL << (d.bits - 1)) && value < (1LL << (d.bits - 1));
    }
    if (fits) return 0;
    PyErr_Format(PyExc_OverflowError, "%s() argument '%s' (%s): %S is out of range for %s",
                 ev_.name.c_str(), arg(), d.to_str(), v, d.to_str());
    return -1;
  }

  int number_fits(PyObject* v, vocab::DType d) const {
    if (PyBool_Check(v)) return 0;
    if (PyLong_Check(v)) {
      if (int_in_range(v, d) < 0) return -1;
      if (d.kind == vocab::DTypeKind::Float || d.kind == vocab::DTypeKind::Complex) {
        // Beyond the doubles an integer has no float value to round.
        if (PyLong_AsDouble(v) == -1.0 && PyErr_Occurred()) {
          PyErr_Clear();
          PyErr_Format(PyExc_OverflowError, "%s() argument '%s' (%s): %S is out of range for %s",
                       ev_.name.c_str(), arg(), d.to_str(), v, d.to_str());
          return -1;
        }
      }
      return 0;
    }
    return kind_fits(PyFloat_Check(v) ? 'f' : 'c', Py_TYPE(v)->tp_name);
  }

  /// The by-value checks of a list or tuple of Python numbers, read as NumPy reads it.
  int numbers_fit(PyArrayObject* arr, vocab::DType d) const {
    const char kind = PyArray_DESCR(arr)->kind;
    switch (kind) {
      case 'b':
        return 0;
      case 'i':
      case 'u':
      case 'O':
        break;
      case 'f':
        return kind_fits('f', "float");
      case 'c':
        return kind_fits('c', "complex");
      default:
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' (%s) must hold numbers, not %s",
                     ev_.name.c_str(), arg(), d.to_str(), descr_name(PyArray_DESCR(arr)).c_str());
        return -1;
    }
    if (PyArray_SIZE(arr) == 0) return 0;
    if (kind == 'O') {
      // Integers beyond 64 bits, or a mixture NumPy could not type.
      Ref lo(PyArray_Min(arr, NPY_MAXDIMS, nullptr));
      Ref hi(lo.p ? PyArray_Max(arr, NPY_MAXDIMS, nullptr) : nullptr);
      if (hi.p == nullptr || !PyLong_Check(lo.p) || !PyLong_Check(hi.p)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' (%s) must hold numbers", ev_.name.c_str(),
                     arg(), d.to_str());
        return -1;
      }
      return int_in_range(lo.p, d) < 0 ? -1 : int_in_range(hi.p, d);
    }
    if (!d.is_integer()) return 0;
    Ref lo(PyArray_Min(arr, NPY_MAXDIMS, nullptr));
    if (lo.p == nullptr) return -1;
    Ref hi(PyArray_Max(arr, NPY_MAXDIMS, nullptr));
    if (hi.p == nullptr) return -1;
    Ref lo_int(PyNumber_Index(lo.p));
    Ref hi_int(lo_int.p ? PyNumber_Index(hi.p) : nullptr);
    if (hi_int.p == nullptr) return -1;
    return int_in_range(lo_int.p, d) < 0 ? -1 : int_in_range(hi_int.p, d);
  }

  /// Steals `target`. NumPy data keeps its dtype until the iterator casts it; only a cast the
  /// same_kind rule forbids is refused here, where the parameter can be named.
  PyArrayObject* same_kind(Ref arr, PyArray_Descr* target) const {
    PyArray_Descr* from = PyArray_DESCR(arr.array());
    const bool ok = PyArray_CanCastTypeTo(from, target, NPY_SAME_KIND_CASTING);
    if (!ok) {
      const vocab::DType d = ev_.params[i_];
      PyErr_Format(PyExc_TypeError,
                   "%s() argument '%s' (%s): cannot cast %s data to %s under the same_kind rule",
                   ev_.name.c_str(), arg(), d.to_str(), descr_name(from).c_str(),
                   descr_name(target).c_str());
      Py_DECREF(target);
      return nullptr;
    }
    Py_DECREF(target);
    return reinterpret_cast<PyArrayObject*>(arr.release());
  }

  const Evaluator& ev_;
  std::size_t i_;
};

/// A call's operands, parameters then results: at most NPY_MAXARGS, held in place, so that a
/// call allocates nothing beyond its results.
class Operands {
 public:
  Operands() = default;
  Operands(const Operands&) = delete;
  Operands& operator=(const Operands&) = delete;
  /// Only the slots in use are constructed and destroyed: the call is short enough that
  /// clearing all of them would show.
  ~Operands() {
    for (std::size_t k = 0; k < count_; ++k) (*this)[k].~Ref();
  }
  void push_back(Ref r) { new (&slots_[count_++]) Ref(std::move(r)); }
  void emplace_back(PyObject* o) { push_back(Ref(o)); }
  std::size_t size() const { return count_; }
  Ref& operator[](std::size_t k) { return *std::launder(reinterpret_cast<Ref*>(&slots_[k])); }
  const Ref& operator[](std::size_t k) const {
    return *std::launder(reinterpret_cast<const Ref*>(&slots_[k]));
  }
  const Ref* begin() const { return &(*this)[0]; }
  const Ref* end() const { return begin() + count_; }

 private:
  struct alignas(Ref) Slot {
    std::byte bytes[sizeof(Ref)];
  };
  std::array<Slot, NPY_MAXARGS> slots_;
  std::size_t count_ = 0;
};

std::string shape_text(int ndim, const npy_intp* shape) {
  std::string s = "(";
  for (int k = 0; k < ndim; ++k) {
    if (k > 0) s += ", ";
    s += std::to_string(shape[k]);
  }
  if (ndim == 1) s += ",";
  return s + ")";
}

/// The broadcast shape of all operands into `shape`; its length, or -1 with ValueError.
int broadcast_shape(const Evaluator& ev, const Operands& ops, npy_intp* shape) {
  int ndim = 0;
  for (const Ref& op : ops) ndim = std::max(ndim, PyArray_NDIM(op.array()));
  for (int k = 0; k < ndim; ++k) shape[k] = 1;
  for (const Ref& op : ops) {
    const int nd = PyArray_NDIM(op.array());
    const npy_intp* dims = PyArray_DIMS(op.array());
    for (int k = 0; k < nd; ++k) {
      npy_intp& into = shape[ndim - nd + k];
      if (dims[k] == into || dims[k] == 1) continue;
      if (into != 1) {
        std::string shapes;
        for (const Ref& o : ops) {
          shapes += ' ';
          shapes += shape_text(PyArray_NDIM(o.array()), PyArray_DIMS(o.array()));
        }
        PyErr_Format(PyExc_ValueError,
                     "%s(): arguments could not be broadcast together with shapes%s",
                     ev.name.c_str(), shapes.c_str());
        return -1;
      }
      into = dims[k];
    }
  }
  return ndim;
}

/// The `out=` arrays, checked against the result dtypes and the broadcast shape; new references,
/// or an empty vector with TypeError or ValueError.
std::vector<Ref> out_arrays(const Evaluator& ev, PyObject* out, int ndim, const npy_intp* shape) {
  const std::size_t n = ev.results.size();
  std::vector<Ref> arrays;
  std::vector<PyObject*> items;
  if (PyTuple_Check(out)) {
    if (static_cast<std::size_t>(PyTuple_GET_SIZE(out)) != n) {
      PyErr_Format(PyExc_ValueError, "%s(): out must hold %zu array%s, not %zd", ev.name.c_str(), n,
                   n == 1 ? "" : "s", PyTuple_GET_SIZE(out));
      return {};
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(out); ++k)
      items.push_back(PyTuple_GET_ITEM(out, k));
  } else if (n == 1) {
    items.push_back(out);
  } else {
    PyErr_Format(PyExc_TypeError, "%s(): out must be a tuple of %zu arrays, not %.200s",
                 ev.name.c_str(), n, Py_TYPE(out)->tp_name);
    return {};
  }
  for (std::size_t k = 0; k < n; ++k) {
    PyObject* item = items[k];
    if (!PyArray_Check(item)) {
      PyErr_Format(PyExc_TypeError, "%s(): out must be a NumPy array, not %.200s", ev.name.c_str(),
                   Py_TYPE(item)->tp_name);
      return {};
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(item);
    const int type = storage_type(ev.results[k]);
    if (PyArray_TYPE(arr) != type || !PyArray_ISNBO(PyArray_DESCR(arr)->byteorder)) {
      Ref want(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type)));
      PyErr_Format(PyExc_TypeError, "%s(): out has dtype %s, the result is %s", ev.name.c_str(),
                   descr_name(PyArray_DESCR(arr)).c_str(),
                   descr_name(reinterpret_cast<PyArray_Descr*>(want.p)).c_str());
      return {};
    }
    bool same = PyArray_NDIM(arr) == ndim;
    for (int d = 0; same && d < ndim; ++d) same = PyArray_DIMS(arr)[d] == shape[d];
    if (!same) {
      PyErr_Format(PyExc_ValueError, "%s(): out has shape %s, the result has shape %s",
                   ev.name.c_str(), shape_text(PyArray_NDIM(arr), PyArray_DIMS(arr)).c_str(),
                   shape_text(ndim, shape).c_str());
      return {};
    }
    if (PyArray_FailUnlessWriteable(arr, "out array") < 0) return {};
    arrays.emplace_back(Py_NewRef(item));
  }
  return arrays;
}

/// Runs the program over the runs `next_run(in, out)` gives, which fills both and returns the
/// run's length, or nullopt when no run is left (or with an exception set). With `release`, the
/// interpreter lock is released meanwhile and taken back every kSignalInterval to look for
/// Ctrl-C. 0, -1 with an exception set, or -2 for a C++ failure being handled.
/// Without `looks`, the signals are left to the interpreter after the call: for a short call
/// that keeps the lock, where even reading the clock would cost a noticeable share.
template <class NextRun>
int run_runs(Evaluator& ev, bool release, bool looks, std::size_t nparams, std::size_t nresults,
             NextRun next_run) {
  eval::Program::Workspace ws = std::move(spare_workspace);
  std::array<eval::Program::In, NPY_MAXARGS> in_storage;
  std::array<eval::Program::Out, NPY_MAXARGS> out_storage;
  const std::span<eval::Program::In> in(in_storage.data(), nparams);
  const std::span<eval::Program::Out> out(out_storage.data(), nresults);
  struct Watch {
    PyThreadState* released;
    bool release;
    bool failed = false;
    std::chrono::steady_clock::time_point last_check{};
  } watch{release ? PyEval_SaveThread() : nullptr, release};
  bool cpp_failure = false;
  eval::ParallelOptions options;
  options.interval = kSignalInterval;
  if (looks) {
    watch.last_check = std::chrono::steady_clock::now();
    // One pointer captured, which the function object holds without allocating.
    options.keep_going = [w = &watch] {
      const auto now = std::chrono::steady_clock::now();
      if (now - w->last_check < kSignalInterval) return true;
      w->last_check = now;
      if (w->released != nullptr) PyEval_RestoreThread(w->released);
      w->released = nullptr;
      w->failed = PyErr_CheckSignals() < 0;
      if (w->release && !w->failed) w->released = PyEval_SaveThread();
      return !w->failed;
    };
  }
  PyThreadState*& released = watch.released;
  const bool& failed = watch.failed;
  try {
    // A run may span the whole array: the workers share it in pieces, between which the
    // signals are looked at.
    while (!failed) {
      const std::optional<std::size_t> n = next_run(in, out);
      if (!n) break;
      eval::run_parallel(*ev.program, in, out, *n, ws, options);
    }
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    // The interpreter ends this thread at its exit while the thread takes the lock back.
    throw;
#endif
  } catch (...) {
    cpp_failure = true;
  }
  if (released != nullptr) PyEval_RestoreThread(released);
  if (cpp_failure) return -2;
  spare_workspace = std::move(ws);
  if (failed || PyErr_Occurred()) return -1;
  return 0;
}

/// Runs the program over the iterator's inner runs.
int run_iterator(Evaluator& ev, NpyIter* iter, std::size_t nparams, std::size_t nresults) {
  NpyIter_IterNextFunc* next = NpyIter_GetIterNext(iter, nullptr);
  if (next == nullptr) return -1;
  char** data = NpyIter_GetDataPtrArray(iter);
  npy_intp* strides = NpyIter_GetInnerStrideArray(iter);
  npy_intp* size = NpyIter_GetInnerLoopSizePtr(iter);
  bool first = true;
  return run_runs(ev, !NpyIter_IterationNeedsAPI(iter), true, nparams, nresults,
                  [&](std::span<eval::Program::In> in,
                      std::span<eval::Program::Out> out) -> std::optional<std::size_t> {
                    if (!first && !next(iter)) return std::nullopt;
                    first = false;
                    for (std::size_t k = 0; k < nparams; ++k)
                      in[k] = {reinterpret_cast<const std::byte*>(data[k]), strides[k]};
                    for (std::size_t k = 0; k < nresults; ++k) {
                      const std::size_t op = nparams + k;
                      out[k] = {reinterpret_cast<std::byte*>(data[op]), strides[op]};
                    }
                    return static_cast<std::size_t>(*size);
                  });
}

/// Shorter calls keep the interpreter lock: releasing and taking it back would cost more than
/// other threads gain.
constexpr std::size_t kReleaseMinimum = 4096;

/// The byte range an operand's elements take.
std::pair<const char*, const char*> extent(PyArrayObject* a) {
  const char* p = PyArray_BYTES(a);
  return {p, p + PyArray_NBYTES(a)};
}

/// Computes the call without the iterator when its operands are already what the evaluator
/// reads: every operand of exactly its storage dtype, in native byte order and aligned, and
/// either one element (read for every element) or C-contiguous in the broadcast shape; and no
/// result sharing memory with an input unless it is that input exactly. 1 when it did not
/// apply (nothing was computed), else what run_runs gives.
int run_direct(Evaluator& ev, const Operands& ops, int ndim, const npy_intp* shape,
               std::size_t nparams, std::size_t nresults) {
  npy_intp n = 1;
  for (int k = 0; k < ndim; ++k) n *= shape[k];
  std::array<std::ptrdiff_t, NPY_MAXARGS> strides;
  for (std::size_t k = 0; k < ops.size(); ++k) {
    PyArrayObject* a = ops[k].array();
    const bool input = k < nparams;
    const vocab::DType d = input ? ev.params[k] : ev.results[k - nparams];
    if (PyArray_TYPE(a) != storage_type(d) || !PyArray_ISNOTSWAPPED(a) || !PyArray_ISALIGNED(a))
      return 1;
    if (input && PyArray_SIZE(a) == 1 && n != 1) {
      strides[k] = 0;
      continue;
    }
    if (!PyArray_IS_C_CONTIGUOUS(a) || PyArray_NDIM(a) != ndim ||
        !std::equal(shape, shape + ndim, PyArray_DIMS(a)))
      return 1;
    strides[k] = PyArray_ITEMSIZE(a);
  }
  for (std::size_t r = nparams; r < ops.size(); ++r) {
    const auto [lo, hi] = extent(ops[r].array());
    for (std::size_t k = 0; k < nparams; ++k) {
      const auto [in_lo, in_hi] = extent(ops[k].array());
      const bool same = in_lo == lo && strides[k] == strides[r];
      if (!same && in_lo < hi && lo < in_hi) return 1;
    }
  }
  bool done = false;
  const bool long_run = static_cast<std::size_t>(n) >= kReleaseMinimum;
  return run_runs(
      ev, long_run, long_run, nparams, nresults,
      [&](std::span<eval::Program::In> in,
          std::span<eval::Program::Out> out) -> std::optional<std::size_t> {
        if (done) return std::nullopt;
        done = true;
        for (std::size_t k = 0; k < nparams; ++k)
          in[k] = {reinterpret_cast<const std::byte*>(PyArray_BYTES(ops[k].array())), strides[k]};
        for (std::size_t k = 0; k < nresults; ++k) {
          const std::size_t op = nparams + k;
          out[k] = {reinterpret_cast<std::byte*>(PyArray_BYTES(ops[op].array())), strides[op]};
        }
        return static_cast<std::size_t>(n);
      });
}

/// What a call returns once its results are computed: `out` when given, else the results (NumPy
/// scalars for a 0-d call), one or in a tuple.
PyObject* result_of(Operands& ops, PyObject* out, int ndim, std::size_t nparams,
                    std::size_t nresults) {
  if (out != nullptr) return Py_NewRef(nresults == 1 ? ops[nparams].p : out);
  if (nresults == 1) {
    PyObject* result = ops[nparams].release();
    return ndim == 0 ? PyArray_Return(reinterpret_cast<PyArrayObject*>(result)) : result;
  }
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(nresults)));
  if (tuple.p == nullptr) return nullptr;
  for (std::size_t k = 0; k < nresults; ++k) {
    PyObject* result = ops[nparams + k].release();
    if (ndim == 0) result = PyArray_Return(reinterpret_cast<PyArrayObject*>(result));
    if (result == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.p, static_cast<Py_ssize_t>(k), result);
  }
  return tuple.release();
}

PyObject* evaluate(Evaluator& ev, PyObject* const* args, PyObject* out) {
  const std::size_t nparams = ev.params.size();
  const std::size_t nresults = ev.results.size();
  if (nparams + nresults > NPY_MAXARGS) {
    PyErr_Format(PyExc_ValueError,
                 "%s(): typed evaluation takes at most %d parameters and results together, this "
                 "kernel has %zu",
                 ev.name.c_str(), NPY_MAXARGS, nparams + nresults);
    return nullptr;
  }
  Operands ops;
  for (std::size_t k = 0; k < nparams; ++k) {
    PyArrayObject* arr = Call(ev, k).operand(args[k]);
    if (arr == nullptr) return nullptr;
    ops.emplace_back(reinterpret_cast<PyObject*>(arr));
  }
  npy_intp shape[NPY_MAXDIMS];
  const int ndim = broadcast_shape(ev, ops, shape);
  if (ndim < 0) return nullptr;
  const bool given_out = out != nullptr && out != Py_None;
  if (given_out) {
    std::vector<Ref> outs = out_arrays(ev, out, ndim, shape);
    if (outs.empty()) return nullptr;
    for (Ref& o : outs) ops.push_back(std::move(o));
  } else {
    for (std::size_t k = 0; k < nresults; ++k) {
      PyObject* arr = PyArray_SimpleNew(ndim, shape, storage_type(ev.results[k]));
      if (arr == nullptr) return nullptr;
      ops.emplace_back(arr);
    }
  }

  if (const int rc = run_direct(ev, ops, ndim, shape, nparams, nresults); rc != 1) {
    if (rc == -2) raise_current_exception(native_internal_fault);
    return rc < 0 ? nullptr : result_of(ops, given_out ? out : nullptr, ndim, nparams, nresults);
  }

  const std::size_t nop = ops.size();
  // The iterator sees 0-d operands as one element: it converts a 0-d operand through a checked
  // copy that warns on overflow, where a typed value must convert silently.
  std::vector<Ref> views;
  std::vector<PyArrayObject*> operands(nop);
  std::vector<npy_uint32> op_flags(nop);
  std::vector<PyArray_Descr*> op_dtypes(nop);
  for (std::size_t k = 0; k < nop; ++k) {
    operands[k] = ops[k].array();
    if (PyArray_NDIM(operands[k]) == 0) {
      npy_intp one = 1;
      PyArray_Dims dims = {&one, 1};
      views.emplace_back(PyArray_Newshape(operands[k], &dims, NPY_ANYORDER));
      if (views.back().p == nullptr) return nullptr;
      operands[k] = views.back().array();
    }
    const bool input = k < nparams;
    op_flags[k] = NPY_ITER_NBO | NPY_ITER_ALIGNED | NPY_ITER_OVERLAP_ASSUME_ELEMENTWISE |
                  (input ? NPY_ITER_READONLY : NPY_ITER_WRITEONLY | NPY_ITER_NO_BROADCAST);
    op_dtypes[k] =
        PyArray_DescrFromType(storage_type(input ? ev.params[k] : ev.results[k - nparams]));
  }
  NpyIter* iter = NpyIter_MultiNew(
      static_cast<int>(nop), operands.data(),
      NPY_ITER_EXTERNAL_LOOP | NPY_ITER_BUFFERED | NPY_ITER_GROWINNER | NPY_ITER_ZEROSIZE_OK |
          NPY_ITER_COPY_IF_OVERLAP | NPY_ITER_DELAY_BUFALLOC,
      // Every operand has passed its parameter's rules already: same_kind for NumPy data, by
      // value for Python numbers.
      NPY_KEEPORDER, NPY_UNSAFE_CASTING, op_flags.data(), op_dtypes.data());
  for (PyArray_Descr* d : op_dtypes) Py_DECREF(d);
  if (iter == nullptr) return nullptr;
  int rc = 0;
  if (NpyIter_GetIterSize(iter) > 0) {
    rc = NpyIter_Reset(iter, nullptr) == NPY_SUCCEED ? run_iterator(ev, iter, nparams, nresults)
                                                     : -1;
  }
  if (rc == -2) {
    NpyIter_Deallocate(iter);
    raise_current_exception(native_internal_fault);
    return nullptr;
  }
  if (NpyIter_Deallocate(iter) != NPY_SUCCEED || rc < 0) return nullptr;
  return result_of(ops, given_out ? out : nullptr, ndim, nparams, nresults);
}

/// `evaluate`, with a C++ failure raised as the internal fault.
PyObject* evaluate_guarded(Evaluator& ev, PyObject* const* args, PyObject* out) {
  try {
    return evaluate(ev, args, out);
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    throw;
#endif
  } catch (...) {
    raise_current_exception(native_internal_fault);
    return nullptr;
  }
}

/// The type, made by the first execution of the module and kept for the life of the process, as
/// every evaluator the compiling calls hand out is of it.
PyObject* evaluator_type = nullptr;

}  // namespace

PyObject* call_evaluator(PyObject* self, PyObject* const* args, std::size_t nargsf,
                         PyObject* kwnames) {
  Evaluator& ev = *reinterpret_cast<EvaluatorObject*>(self)->impl;
  if (!ev.program) {
    PyErr_Format(PyExc_ValueError, "%s(): %s", ev.name.c_str(), ev.refusal.c_str());
    return nullptr;
  }
  if (ensure_numpy() < 0) return nullptr;
  const std::size_t nparams = ev.params.size();
  const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  if (given > nparams) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zu were given",
                 ev.name.c_str(), nparams, nparams == 1 ? "" : "s", given);
    return nullptr;
  }
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  // All positional, as most calls are: the arguments are read where they lie.
  if (given == nparams && nkw == 0) return evaluate_guarded(ev, args, nullptr);
  // On the stack for any kernel typed evaluation takes (evaluate refuses more).
  std::array<PyObject*, NPY_MAXARGS> on_stack;
  std::vector<PyObject*> on_heap;
  if (nparams > on_stack.size()) on_heap.resize(nparams);
  PyObject** bound = on_heap.empty() ? on_stack.data() : on_heap.data();
  std::copy(args, args + given, bound);
  std::fill(bound + given, bound + nparams, nullptr);
  PyObject* out = nullptr;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* value = args[given + static_cast<std::size_t>(i)];
    const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, i));
    if (name == nullptr) return nullptr;
    if (std::string_view(name) == "out") {
      out = value;
      continue;
    }
    std::size_t k = 0;
    while (k < nparams && ev.arg_names[k] != name) ++k;
    if (k == nparams) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", ev.name.c_str(),
                   name);
      return nullptr;
    }
    if (bound[k] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", ev.name.c_str(),
                   name);
      return nullptr;
    }
    bound[k] = value;
  }
  for (std::size_t k = 0; k < nparams; ++k) {
    if (bound[k] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", ev.name.c_str(),
                   ev.arg_names[k].c_str());
      return nullptr;
    }
  }
  return evaluate_guarded(ev, bound, out);
}

bool is_evaluator(PyObject* object) {
  return evaluator_type != nullptr &&
         Py_IS_TYPE(object, reinterpret_cast<PyTypeObject*>(evaluator_type));
}

namespace {

void evaluator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<EvaluatorObject*>(self)->impl;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* evaluator_refusal(PyObject* self, void*) {
  const Evaluator& ev = *reinterpret_cast<EvaluatorObject*>(self)->impl;
  if (ev.program) Py_RETURN_NONE;
  return PyUnicode_FromString(ev.refusal.c_str());
}

PyGetSetDef kGetSet[] = {
    {"refusal", &evaluator_refusal, nullptr,
     "Why the kernel cannot be evaluated typed, or None when it can.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"__vectorcalloffset__", T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(EvaluatorObject, vectorcall)), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&evaluator_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
    {Py_tp_members, kMembers},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("A kernel compiled for typed evaluation over NumPy arrays.")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "tarvelon._native.Evaluator",
    sizeof(EvaluatorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_HAVE_VECTORCALL,
    kSlots,
};

}  // namespace

int add_evaluator_type(PyObject* module) {
  if (evaluator_type == nullptr) {
    evaluator_type = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
    if (evaluator_type == nullptr) return -1;
  }
  return PyModule_AddObjectRef(module, "Evaluator", evaluator_type);
}

PyObject* new_evaluator(std::string_view name, api::Compilation& compiled) {
  if (!compiled.program) Py_RETURN_NONE;
  auto impl = std::make_unique<Evaluator>();
  impl->name = name;
  impl->arg_names = std::move(compiled.python_params);
  if (*compiled.program) {
    impl->program.emplace(std::move(**compiled.program));
    const eval::Program& program = *impl->program;
    impl->params.assign(program.params().begin(), program.params().end());
    impl->results.assign(program.results().begin(), program.results().end());
  } else {
    impl->refusal = std::move(compiled.program->error().message);
  }
  auto* type = reinterpret_cast<PyTypeObject*>(evaluator_type);
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<EvaluatorObject*>(self)->impl = impl.release();
  reinterpret_cast<EvaluatorObject*>(self)->vectorcall = &call_evaluator;
  return self;
}

}  // namespace tarvelon::pybindings
