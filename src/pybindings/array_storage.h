// Where the evaluator's storage meets NumPy: the NumPy type of each dtype's storage, and how
// often a long computation looks for Ctrl-C. Shared by every entry that runs a program over
// NumPy's arrays.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstddef>

#include <numpy/ndarraytypes.h>

#include "vocab/dtype.h"

namespace tarvelon::pybindings {

/// Elements computed between two looks at the clock: small enough for the most expensive kernel
/// to look often, large enough that looking costs nothing.
inline constexpr std::size_t kPollChunk = std::size_t{1} << 14;
/// How often a long evaluation takes the interpreter lock to look for Ctrl-C.
inline constexpr std::chrono::milliseconds kSignalInterval{20};

/// The NumPy type that stores a dtype at the evaluator's boundary; bf16 travels as float32.
inline int storage_type(vocab::DType d) {
  using vocab::DTypeKind;
  static constexpr int kUInt[] = {NPY_UINT8, NPY_UINT16, NPY_UINT32, NPY_UINT64};
  static constexpr int kInt[] = {NPY_INT8, NPY_INT16, NPY_INT32, NPY_INT64};
  const int width = d.bits == 8 ? 0 : d.bits == 16 ? 1 : d.bits == 32 ? 2 : 3;
  switch (d.kind) {
    case DTypeKind::Bool:
      return NPY_BOOL;
    case DTypeKind::UInt:
      return kUInt[width];
    case DTypeKind::Int:
      return kInt[width];
    case DTypeKind::Float:
      return d.bits == 64 ? NPY_FLOAT64 : d.bits == 32 || d.brain ? NPY_FLOAT32 : NPY_FLOAT16;
    case DTypeKind::Complex:
      return d.bits == 64 ? NPY_COMPLEX64 : NPY_COMPLEX128;
  }
  return NPY_FLOAT64;
}

}  // namespace tarvelon::pybindings
