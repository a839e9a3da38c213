#pragma once
// The tree kernel, included once by each unit of one instruction set (fused.cpp for the baseline,
// kernels_avx2.cpp, kernels_avx512.cpp): everything here has internal linkage, so that no copy
// compiled for a wider set can stand in for the baseline's.

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "eval/fused.h"
#include "eval/kernels.h"

namespace tarvelon::eval::detail {
namespace {

/// Trees over vectors `V` of `T` (a GCC vector type, whose operators round each float lane once and
/// wrap each unsigned one). The
/// accumulator and the slots are a tile of `kUnroll` vectors each, kept in registers:
/// the steps' dispatch is paid once per tile of `kTile` elements, and no intermediate value
/// touches memory.
/// What an operator's lanes become: themselves, for the dtypes whose arithmetic the vector
/// operators compute.
struct Exact {
  template <class V>
  static V apply(V x) {
    return x;
  }
};

/// bfloat16 values held in float lanes (`U` the same bits as unsigned lanes): each float result
/// rounded to the nearest bfloat16 (ties to even), a NaN kept quiet with its sign, as the
/// format's scalar rounding does. The float result is within 2^-24 of the exact one, so the
/// second rounding, to 8 bits, gives the correctly rounded result.
template <class U>
struct ToBf16 {
  template <class V>
  static V apply(V x) {
    const U u = (U)x;
    const U rounded = (u + 0x7fffu + ((u >> 16) & 1u)) & 0xffff0000u;
    const U quiet = (u | 0x00400000u) & 0xffff0000u;
    return (V)((u & 0x7fffffffu) > 0x7f800000u ? quiet : rounded);
  }
};

/// Whether `Round` also converts vectors from and to f16 storage (`load_half`, `store_half`).
template <class Round, class V>
concept HalfStorage = requires(const std::uint16_t* in, std::uint16_t* out, V v) {
  { Round::template load_half<V>(in) } -> std::same_as<V>;
  Round::store_half(out, v);
};

/// `HalfOut`: the accumulator is written as f16 storage.
template <class V, class T, std::size_t Unroll, class Round = Exact, bool HalfOut = false>
struct FusedKernel {
  static constexpr std::size_t kLanes = sizeof(V) / sizeof(T);
  /// A tile never exceeds a block, which would leave every block to the partial tile's copies.
  static constexpr std::size_t kUnroll = std::min(Unroll, kMaxBlock / kLanes);
  static constexpr std::size_t kTile = kLanes * kUnroll;

  static V load(const T* p) {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
  }

  /// Every lane `*p`.
  static V splat(const T* p) {
    const T x = *p;
    // An initializer of equal lanes, which the compiler turns into one broadcast where a loop
    // of lane writes became one masked move per lane.
    return [&]<std::size_t... I>(std::index_sequence<I...>) { return V{((void)I, x)...}; }
    (std::make_index_sequence<kLanes>{});
  }

  /// Four vectors, named rather than an array: the compiler keeps named members in registers,
  /// where it leaves an array that a loop indexes in memory.
  struct Tile {
    V v0{}, v1{}, v2{}, v3{}, v4{}, v5{}, v6{}, v7{};
    template <std::size_t J>
    V& operator[](std::integral_constant<std::size_t, J>) {
      static_assert(J < kUnroll && kUnroll <= 8);
      if constexpr (J == 0) return v0;
      if constexpr (J == 1) return v1;
      if constexpr (J == 2) return v2;
      if constexpr (J == 3) return v3;
      if constexpr (J == 4) return v4;
      if constexpr (J == 5) return v5;
      if constexpr (J == 6) return v6;
      if constexpr (J == 7) return v7;
    }
  };

  /// `f(j)` for each vector j of a tile, j a constant, so that the compiler sees every array
  /// index and keeps the arrays in registers.
  template <class Fn>
  [[gnu::always_inline]] static void each_vector(Fn f) {
    [&]<std::size_t... J>(std::index_sequence<J...>) __attribute__((always_inline)) {
      (f(std::integral_constant<std::size_t, J>{}), ...);
    }
    (std::make_index_sequence<kUnroll>{});
  }

  /// By value, so that the accumulator never has its address taken and stays in registers.
  static void store(T* p, V v) { __builtin_memcpy(p, &v, sizeof v); }

  static constexpr bool kHalves = HalfStorage<Round, V>;
  static_assert(kHalves || !HalfOut);
  /// The vector of f16 storage at element `at` of an operand that holds halves.
  static V load_half(const T* base, std::size_t at) {
    if constexpr (kHalves) {
      return Round::template load_half<V>(reinterpret_cast<const std::uint16_t*>(base) + at);
    } else {
      return V{};
    }
  }

  /// The tile through a block kernel of one operand. The kernel lies in another unit, built
  /// with its own contraction rules, so it is called rather than inlined; the tile stays in the
  /// first level of the cache on the way.
  [[gnu::always_inline]] static void call(Tile& acc, OpFn f) {
    alignas(64) T buffer[kTile];
    each_vector([&](auto j) __attribute__((always_inline)) { store(buffer + j * kLanes, acc[j]); });
    f(reinterpret_cast<std::byte*>(buffer), reinterpret_cast<const std::byte*>(buffer), nullptr,
      nullptr, kTile);
    each_vector([&](auto j) __attribute__((always_inline)) { acc[j] = load(buffer + j * kLanes); });
  }

  /// Elements `[at, at + kTile)` of every operand into the same elements of `out`.
  [[gnu::always_inline]] static void tile(T* out, const std::byte* const* ops,
                                          const FusedStep* steps, std::size_t count,
                                          std::size_t at) {
    Tile acc, slot0, slot1;
#define TARVELON_LANES(body)                                         \
  each_vector([&](auto j) __attribute__((always_inline)) { body; }); \
  break
#define TARVELON_OPERATOR(op, sym)                                                      \
  case fused_operator(FusedOp::op, FusedSource::Leaf, false):                           \
    TARVELON_LANES(acc[j] = Round::apply(acc[j] sym load(base + at + j * kLanes)));     \
  case fused_operator(FusedOp::op, FusedSource::Leaf, true):                            \
    TARVELON_LANES(acc[j] = Round::apply(load(base + at + j * kLanes) sym acc[j]));     \
  case fused_operator(FusedOp::op, FusedSource::Slot0, false):                          \
    TARVELON_LANES(acc[j] = Round::apply(acc[j] sym slot0[j]));                         \
  case fused_operator(FusedOp::op, FusedSource::Slot0, true):                           \
    TARVELON_LANES(acc[j] = Round::apply(slot0[j] sym acc[j]));                         \
  case fused_operator(FusedOp::op, FusedSource::Slot1, false):                          \
    TARVELON_LANES(acc[j] = Round::apply(acc[j] sym slot1[j]));                         \
  case fused_operator(FusedOp::op, FusedSource::Slot1, true):                           \
    TARVELON_LANES(acc[j] = Round::apply(slot1[j] sym acc[j]));                         \
  case fused_operator(FusedOp::op, FusedSource::Scalar, false): {                       \
    const V s = splat(base);                                                            \
    TARVELON_LANES(acc[j] = Round::apply(acc[j] sym s));                                \
  }                                                                                     \
  case fused_operator(FusedOp::op, FusedSource::Scalar, true): {                        \
    const V s = splat(base);                                                            \
    TARVELON_LANES(acc[j] = Round::apply(s sym acc[j]));                                \
  }                                                                                     \
  case fused_operator(FusedOp::op, FusedSource::Half, false):                           \
    TARVELON_LANES(acc[j] = Round::apply(acc[j] sym load_half(base, at + j * kLanes))); \
  case fused_operator(FusedOp::op, FusedSource::Half, true):                            \
    TARVELON_LANES(acc[j] = Round::apply(load_half(base, at + j * kLanes) sym acc[j]));
    for (std::size_t k = 0; k < count; ++k) {
      const T* base = reinterpret_cast<const T*>(ops[steps[k].operand]);
      switch (steps[k].code) {
        case FusedStep::Load:
          TARVELON_LANES(acc[j] = load(base + at + j * kLanes));
        case FusedStep::LoadHalf:
          TARVELON_LANES(acc[j] = load_half(base, at + j * kLanes));
        case FusedStep::LoadScalar: {
          const V s = splat(base);
          TARVELON_LANES(acc[j] = s);
        }
        case FusedStep::Negate:
          TARVELON_LANES(acc[j] = -acc[j]);
        case FusedStep::Push0:
          TARVELON_LANES(slot0[j] = acc[j]);
        case FusedStep::Push1:
          TARVELON_LANES(slot1[j] = acc[j]);
        case FusedStep::Fetch0:
          TARVELON_LANES(acc[j] = slot0[j]);
        case FusedStep::Fetch1:
          TARVELON_LANES(acc[j] = slot1[j]);
        case FusedStep::Call:
          // No slot holds a value across a call: cleared, they need no saving around it.
          slot0 = Tile{};
          slot1 = Tile{};
          call(acc, *reinterpret_cast<const OpFn*>(ops[steps[k].operand]));
          break;
          TARVELON_OPERATOR(Add, +)
          TARVELON_OPERATOR(Sub, -)
          TARVELON_OPERATOR(Mul, *)
          TARVELON_OPERATOR(Div, /)
        default:
          break;
      }
    }
#undef TARVELON_OPERATOR
#undef TARVELON_LANES
    each_vector([&](auto j) __attribute__((always_inline)) {
      if constexpr (HalfOut) {
        Round::store_half(reinterpret_cast<std::uint16_t*>(out) + at + j * kLanes, acc[j]);
      } else {
        store(out + at + j * kLanes, acc[j]);
      }
    });
  }

  /// Whole tiles straight from the operands; the last partial one through local copies padded
  /// with ones, so that nothing past `n` is read or written.
  static void run(std::byte* dst, const std::byte* const* operands, std::size_t operand_count,
                  const FusedStep* steps, std::size_t count, std::size_t n) {
    T* out = reinterpret_cast<T*>(dst);
    // The operands are cast where a step reads them: a local array of typed pointers would cost
    // every call a copy of the pointers, which the compiler makes a library call.
    std::size_t at = 0;
    for (; at + kTile <= n; at += kTile) tile(out, operands, steps, count, at);
    if (at == n) return;
    const std::size_t rest = n - at;
    // Only operands read as blocks are copied: a scalar's one element, or an operand no step
    // reads, may be all there is to read.
    std::uint32_t blocks = 0, halves = 0;
    for (std::size_t k = 0; k < count; ++k) {
      if (reads_block(steps[k].code)) blocks |= 1u << steps[k].operand;
      if (reads_half(steps[k].code)) halves |= 1u << steps[k].operand;
    }
    T local[kMaxFusedOperands][kTile];
    const std::byte* local_ops[kMaxFusedOperands];
    for (std::size_t k = 0; k < operand_count; ++k) {
      if (((blocks >> k) & 1u) == 0) {
        local_ops[k] = operands[k];
        continue;
      }
      if (((halves >> k) & 1u) != 0) {
        copy_padded(reinterpret_cast<std::uint16_t*>(local[k]),
                    reinterpret_cast<const std::uint16_t*>(operands[k]) + at, rest, kHalfOne);
      } else {
        copy_padded(local[k], reinterpret_cast<const T*>(operands[k]) + at, rest, T(1));
      }
      local_ops[k] = reinterpret_cast<const std::byte*>(local[k]);
    }
    T local_out[kTile];
    tile(local_out, local_ops, steps, count, 0);
    if constexpr (HalfOut) {
      __builtin_memcpy(reinterpret_cast<std::uint16_t*>(out) + at, local_out,
                       rest * sizeof(std::uint16_t));
    } else {
      for (std::size_t i = 0; i < rest; ++i) out[at + i] = local_out[i];
    }
  }

  /// 1.0 as f16: the padding of a partial tile, which no operation turns into a fault.
  static constexpr std::uint16_t kHalfOne = 0x3c00;

  /// `rest` elements of `from`, then `pad` up to a tile.
  template <class E>
  static void copy_padded(E* to, const E* from, std::size_t rest, E pad) {
    for (std::size_t i = 0; i < kTile; ++i) to[i] = i < rest ? from[i] : pad;
  }
};

/// Vectors of floats and doubles `Bytes` wide, named outside any template: a vector size that
/// depends on a template parameter is dropped.
template <std::size_t Bytes>
struct VectorsOf;
template <>
struct VectorsOf<16> {
  typedef float F __attribute__((vector_size(16)));
  typedef double D __attribute__((vector_size(16)));
  typedef std::uint32_t U32 __attribute__((vector_size(16)));
};
template <>
struct VectorsOf<32> {
  typedef float F __attribute__((vector_size(32)));
  typedef double D __attribute__((vector_size(32)));
  typedef std::uint32_t U32 __attribute__((vector_size(32)));
};
template <>
struct VectorsOf<64> {
  typedef float F __attribute__((vector_size(64)));
  typedef double D __attribute__((vector_size(64)));
  typedef std::uint32_t U32 __attribute__((vector_size(64)));
};

/// The tree kernel of elements `e` over vectors of `Bytes` bytes; `F16Round` rounds float lanes to
/// f16 (void where the unit has no such instruction, and the f16 kernel is null).
template <std::size_t Bytes, std::size_t Unroll, class F16Round = void>
FusedFn fused_kernel_of(TreeElement e) {
  using S = VectorsOf<Bytes>;
  switch (e) {
    case TreeElement::F32:
      return &FusedKernel<typename S::F, float, Unroll>::run;
    case TreeElement::F64:
      return &FusedKernel<typename S::D, double, Unroll>::run;
    case TreeElement::U32:
      return &FusedKernel<typename S::U32, std::uint32_t, Unroll>::run;
    case TreeElement::BF16:
      return &FusedKernel<typename S::F, float, Unroll, ToBf16<typename S::U32>>::run;
    case TreeElement::F16:
      if constexpr (std::is_void_v<F16Round>) {
        return nullptr;
      } else {
        return &FusedKernel<typename S::F, float, Unroll, F16Round>::run;
      }
    case TreeElement::F16Stored:
      if constexpr (std::is_void_v<F16Round>) {
        return nullptr;
      } else if constexpr (!HalfStorage<F16Round, typename S::F>) {
        return nullptr;
      } else {
        return &FusedKernel<typename S::F, float, Unroll, F16Round, true>::run;
      }
  }
  return nullptr;
}

}  // namespace
}  // namespace tarvelon::eval::detail
