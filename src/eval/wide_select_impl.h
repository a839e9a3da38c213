#pragma once
// Included once by each unit of one instruction set (kernels_avx2.cpp, kernels_avx512.cpp):
// everything here has internal linkage, as in the other kernels of those units.

#include <immintrin.h>

#include <cstddef>

#include "eval/kernels.h"
#include "eval/wide_select.h"
#include "vocab/ops.h"

namespace tarvelon::eval::detail {
namespace {

/// Comparisons and selects of blocks of `T`, a vector of `Unit::kLanes` at a time. `Unit` gives,
/// for one vector, `compare<Predicate>(dst, a, b)` writing a byte 0 or 1 a lane (the predicates
/// are the `_CMP_*` ones of the scalar operators: false with a NaN, but `!=` true), and
/// `select(dst, c, a, b)` taking a lane of `a` where the byte of `c` is 1, of `b` where it is 0.
/// The last partial vector is computed one element at a time, so nothing past `n` is touched.
template <class Unit, class T>
struct WideSelect {
  static constexpr std::size_t kLanes = Unit::kLanes;

  template <vocab::BinaryOp Op>
  static bool scalar(T x, T y) {
    using vocab::BinaryOp;
    if constexpr (Op == BinaryOp::Eq) return x == y;
    if constexpr (Op == BinaryOp::Ne) return x != y;
    if constexpr (Op == BinaryOp::Lt) return x < y;
    if constexpr (Op == BinaryOp::Le) return x <= y;
    if constexpr (Op == BinaryOp::Gt) return x > y;
    if constexpr (Op == BinaryOp::Ge) return x >= y;
  }

  template <vocab::BinaryOp Op, int Predicate>
  static void compare(std::byte* dst, const std::byte* a, const std::byte* b, const std::byte*,
                      std::size_t n) {
    const T* x = reinterpret_cast<const T*>(a);
    const T* y = reinterpret_cast<const T*>(b);
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) Unit::template compare<Predicate>(dst + i, x + i, y + i);
    for (; i < n; ++i) dst[i] = static_cast<std::byte>(scalar<Op>(x[i], y[i]) ? 1 : 0);
  }

  static void select(std::byte* dst, const std::byte* c, const std::byte* a, const std::byte* b,
                     std::size_t n) {
    T* out = reinterpret_cast<T*>(dst);
    const T* x = reinterpret_cast<const T*>(a);
    const T* y = reinterpret_cast<const T*>(b);
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) Unit::select(out + i, c + i, x + i, y + i);
    for (; i < n; ++i) {
      const T u = x[i], v = y[i];
      out[i] = c[i] != std::byte{0} ? u : v;
    }
  }

  static OpFn compare_of(vocab::BinaryOp op) {
    using vocab::BinaryOp;
    switch (op) {
      case BinaryOp::Eq:
        return &compare<BinaryOp::Eq, _CMP_EQ_OQ>;
      case BinaryOp::Ne:
        return &compare<BinaryOp::Ne, _CMP_NEQ_UQ>;
      case BinaryOp::Lt:
        return &compare<BinaryOp::Lt, _CMP_LT_OQ>;
      case BinaryOp::Le:
        return &compare<BinaryOp::Le, _CMP_LE_OQ>;
      case BinaryOp::Gt:
        return &compare<BinaryOp::Gt, _CMP_GT_OQ>;
      case BinaryOp::Ge:
        return &compare<BinaryOp::Ge, _CMP_GE_OQ>;
      default:
        return nullptr;
    }
  }
};

template <class SingleUnit, class DoubleUnit>
OpFn wide_compare_of(vocab::BinaryOp op, bool single) {
  return single ? WideSelect<SingleUnit, float>::compare_of(op)
                : WideSelect<DoubleUnit, double>::compare_of(op);
}

template <class SingleUnit, class DoubleUnit>
OpFn wide_select_of(bool single) {
  return single ? &WideSelect<SingleUnit, float>::select : &WideSelect<DoubleUnit, double>::select;
}

}  // namespace
}  // namespace tarvelon::eval::detail
