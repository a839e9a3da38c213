// Arithmetic trees: every step of the tree kernel on every unit this CPU has, and kernels whose
// arithmetic the program computes as trees against the same operations rounded one at a time;
// the wide units' comparisons and selects of floats against the scalar operators.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "eval/float_format.h"
#include "eval/fused.h"
#include "eval/wide_math.h"
#include "eval/wide_select.h"
#include "eval_test_util.h"

namespace tarvelon::testing {
namespace {

using eval::Program;
using eval::detail::FusedFn;
using eval::detail::FusedOp;
using eval::detail::FusedSource;
using eval::detail::FusedStep;

/// Equal bits, or both NaN: which NaN an operation with two NaN operands gives is not fixed.
template <class T>
bool same(T a, T b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

/// Signed zeros, infinities, NaN, the smallest subnormal and normal, the largest value, values
/// whose products round, then a spread of both signs; `shift` rotates it, so that each operand
/// meets the others' special values. For integers: the edges, then any bits.
template <class T>
std::vector<T> operands(std::size_t n, std::size_t shift) {
  if constexpr (std::is_integral_v<T>) {
    using L = std::numeric_limits<T>;
    const T special[] = {T(0), T(1), T(2), L::max(), T(L::max() / 2), T(L::max() / 2 + 1), T(-1)};
    std::vector<T> xs(n);
    std::uint64_t state = 0x2545f4914f6cdd1du + shift;
    for (std::size_t i = 0; i < n; ++i) {
      state = state * 6364136223846793005u + 1442695040888963407u;
      const std::size_t k = (i + shift * 3) % 14;
      xs[i] = k < std::size(special) ? special[k] : static_cast<T>(state >> 17);
    }
    return xs;
  } else {
    using L = std::numeric_limits<T>;
    const std::vector<T> special = {T(0),
                                    -T(0),
                                    T(1),
                                    T(-1),
                                    L::infinity(),
                                    -L::infinity(),
                                    L::quiet_NaN(),
                                    L::denorm_min(),
                                    -L::denorm_min(),
                                    L::min(),
                                    L::max(),
                                    -L::max(),
                                    1 + L::epsilon(),
                                    1 - L::epsilon() / 2,
                                    T(3),
                                    T(0.1)};
    std::vector<T> xs(n);
    std::uint64_t state = 0x9e3779b97f4a7c15u + shift;
    for (std::size_t i = 0; i < n; ++i) {
      state = state * 6364136223846793005u + 1442695040888963407u;
      const std::size_t k = (i + shift * 5) % (2 * special.size());
      xs[i] = k < special.size()
                  ? special[k]
                  : static_cast<T>(((state & 1) ? -1.0 : 1.0) *
                                   std::ldexp(1.0 + static_cast<double>(state >> 11) * 0x1p-53,
                                              static_cast<int>((state >> 4) % 40) - 20));
    }
    return xs;
  }
}

struct Unit {
  const char* name;
  eval::detail::CpuVectors needs;
  FusedFn (*fn)(eval::detail::TreeElement);
};
const Unit kUnits[] = {
    {"baseline", eval::detail::CpuVectors::Baseline, &eval::detail::baseline_fused_fn},
    {"avx2", eval::detail::CpuVectors::Avx2, &eval::detail::avx2_fused_fn},
    {"avx512", eval::detail::CpuVectors::Avx512, &eval::detail::avx512_fused_fn},
};

/// One operation, wrapping for integers (computed wide enough that no promotion overflows).
template <class T>
T apply(FusedOp op, T a, T b) {
  using W = std::conditional_t<std::is_integral_v<T>, std::uint64_t, T>;
  switch (op) {
    case FusedOp::Add:
      return static_cast<T>(W(a) + W(b));
    case FusedOp::Sub:
      return static_cast<T>(W(a) - W(b));
    case FusedOp::Mul:
      return static_cast<T>(W(a) * W(b));
    case FusedOp::Div:
      return a / b;
  }
  return a;
}

/// Each operator step in each form after a prologue that fills both slots and negates the
/// accumulator: `a` in slot 0, `b` in slot 1, `-c` in the accumulator, `b` the leaf, one element
/// of `b` the scalar.
/// `round` is what each operator's result becomes: itself, or for bf16 the nearest bf16; the
/// operands are then values of that format.
template <class T>
void every_step_on_every_unit(eval::detail::TreeElement element, T (*round)(T) = nullptr) {
  for (const std::size_t n : {std::size_t{1}, std::size_t{7}, std::size_t{64}, std::size_t{100},
                              std::size_t{255}, std::size_t{256}}) {
    std::vector<T> a = operands<T>(n, 0), b = operands<T>(n, 1), c = operands<T>(n, 2);
    if (round != nullptr) {
      for (auto* v : {&a, &b, &c}) {
        for (T& x : *v) x = round(x);
      }
    }
    // A scalar operand is one element alone on the heap, so that reading past it is caught.
    const std::unique_ptr<T> one = std::make_unique<T>(b[n / 2]);
    const std::byte* blocks[] = {reinterpret_cast<const std::byte*>(a.data()),
                                 reinterpret_cast<const std::byte*>(b.data()),
                                 reinterpret_cast<const std::byte*>(c.data()),
                                 reinterpret_cast<const std::byte*>(one.get())};
    for (const Unit& unit : kUnits) {
      if (eval::detail::cpu_vectors() < unit.needs || unit.fn(element) == nullptr) continue;
      const FusedStep load[] = {{FusedStep::LoadScalar, 3}};
      std::vector<T> got(n + 1, T(42));
      unit.fn(element)(reinterpret_cast<std::byte*>(got.data()), blocks, 4, load, 1, n);
      for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(same(got[i], *one)) << unit.name << i;
      ASSERT_EQ(got[n], T(42)) << unit.name << " wrote past n = " << n;
    }
    for (const FusedOp op : {FusedOp::Add, FusedOp::Sub, FusedOp::Mul, FusedOp::Div}) {
      if (std::is_integral_v<T> && op == FusedOp::Div) continue;  // integers have no `/`
      for (const FusedSource source :
           {FusedSource::Leaf, FusedSource::Slot0, FusedSource::Slot1, FusedSource::Scalar}) {
        for (const bool reversed : {false, true}) {
          const FusedStep steps[] = {{FusedStep::Load, 0},
                                     {FusedStep::Push0, 0},
                                     {FusedStep::Load, 1},
                                     {FusedStep::Push1, 0},
                                     {FusedStep::Load, 2},
                                     {FusedStep::Negate, 0},
                                     {eval::detail::fused_operator(op, source, reversed),
                                      std::uint8_t(source == FusedSource::Scalar ? 3 : 1)}};
          for (const Unit& unit : kUnits) {
            if (eval::detail::cpu_vectors() < unit.needs) continue;
            const FusedFn fn = unit.fn(element);
            if (fn == nullptr) continue;  // f16 trees only where the unit rounds vectors to f16
            // One element more than asked for, which must stay as it was.
            std::vector<T> got(n + 1, T(42));
            fn(reinterpret_cast<std::byte*>(got.data()), blocks, 4, steps, std::size(steps), n);
            for (std::size_t i = 0; i < n; ++i) {
              const T x = source == FusedSource::Slot0    ? a[i]
                          : source == FusedSource::Scalar ? *one
                                                          : b[i];
              T acc = -c[i];
              if constexpr (std::is_integral_v<T>) acc = apply(FusedOp::Sub, T(0), c[i]);
              T want = reversed ? apply(op, x, acc) : apply(op, acc, x);
              if (round != nullptr) want = round(want);
              ASSERT_TRUE(same(got[i], want))
                  << unit.name << " op " << int(op) << " source " << int(source) << " reversed "
                  << reversed << " n " << n << " at " << i << ": " << got[i] << " for " << want;
            }
            ASSERT_EQ(got[n], T(42)) << unit.name << " wrote past n = " << n;
          }
        }
      }
    }
  }
}

TEST(EvalFused, FetchedSlotsAreTheValuesPushed) {
  // Slot 0 keeps x and slot 1 keeps y; the accumulator then holds z until a fetch replaces it.
  constexpr std::size_t n = 300;
  const std::vector<float> x = operands<float>(n, 0), y = operands<float>(n, 1),
                           z = operands<float>(n, 2);
  const std::byte* blocks[] = {reinterpret_cast<const std::byte*>(x.data()),
                               reinterpret_cast<const std::byte*>(y.data()),
                               reinterpret_cast<const std::byte*>(z.data())};
  struct Case {
    FusedStep::Code fetch;
    const std::vector<float>* want;
  };
  for (const Case c : {Case{FusedStep::Fetch0, &x}, Case{FusedStep::Fetch1, &y}}) {
    const FusedStep steps[] = {{FusedStep::Load, 0},  {FusedStep::Push0, 0}, {FusedStep::Load, 1},
                               {FusedStep::Push1, 0}, {FusedStep::Load, 2},  {c.fetch, 0}};
    for (const Unit& unit : kUnits) {
      if (eval::detail::cpu_vectors() < unit.needs) continue;
      std::vector<float> got(n);
      unit.fn(eval::detail::TreeElement::F32)(reinterpret_cast<std::byte*>(got.data()), blocks, 3,
                                              steps, std::size(steps), n);
      for (std::size_t i = 0; i < n; ++i)
        ASSERT_TRUE(same(got[i], (*c.want)[i])) << unit.name << " fetch " << int(c.fetch) << i;
    }
  }
}

/// A tree that calls a builtin's block kernel between operators: `(f(b) - a) * a` with `a`
/// pushed before the call, which the slot does not keep across it, so `a` is read again from its
/// block; each unit's tree gives the kernel's own elements, for whole and partial tiles.
template <class T>
void calls_on_every_unit(eval::detail::TreeElement element, vocab::DType dtype) {
  for (const vocab::Builtin b : {vocab::Builtin::Tanh, vocab::Builtin::Exp}) {
    const eval::detail::OpFn f = eval::detail::builtin_fn(b, dtype);
    ASSERT_NE(f, nullptr);
    for (const std::size_t n : {std::size_t{1}, std::size_t{7}, std::size_t{100}, std::size_t{129},
                                std::size_t{255}, std::size_t{256}}) {
      const std::vector<T> a = operands<T>(n, 0);
      // A block kernel may compute the pair that ends one element past an odd `n`, as blocks
      // leave room for; the direct call's arrays leave it too.
      std::vector<T> x = operands<T>(n, 1);
      x.resize(n + n % 2);
      std::vector<T> fx(x.size());
      f(reinterpret_cast<std::byte*>(fx.data()), reinterpret_cast<const std::byte*>(x.data()),
        nullptr, nullptr, n);
      const std::byte* blocks[] = {reinterpret_cast<const std::byte*>(a.data()),
                                   reinterpret_cast<const std::byte*>(x.data()),
                                   reinterpret_cast<const std::byte*>(&f)};
      const FusedStep steps[] = {
          {FusedStep::Load, 0},
          {FusedStep::Push0, 0},
          {FusedStep::Load, 1},
          {FusedStep::Call, 2},
          {eval::detail::fused_operator(FusedOp::Sub, FusedSource::Leaf, false), 0},
          {eval::detail::fused_operator(FusedOp::Mul, FusedSource::Leaf, false), 0}};
      for (const Unit& unit : kUnits) {
        if (eval::detail::cpu_vectors() < unit.needs) continue;
        std::vector<T> got(n + 1, T(42));
        unit.fn(element)(reinterpret_cast<std::byte*>(got.data()), blocks, 3, steps,
                         std::size(steps), n);
        for (std::size_t i = 0; i < n; ++i) {
          const T want = (fx[i] - a[i]) * a[i];
          ASSERT_TRUE(same(got[i], want)) << unit.name << " builtin " << int(b) << " n " << n
                                          << " at " << i << ": " << got[i] << " for " << want;
        }
        ASSERT_EQ(got[n], T(42)) << unit.name << " wrote past n = " << n;
      }
    }
  }
}

TEST(EvalFused, CallsOnEveryUnitGiveTheBuiltinsOwnElements) {
  calls_on_every_unit<float>(eval::detail::TreeElement::F32, vocab::dtypes::kF32);
  calls_on_every_unit<double>(eval::detail::TreeElement::F64, vocab::dtypes::kF64);
}

/// The same tree with its leaves read as halves (in the load, as either side of each operator)
/// and its result written as halves gives the halves of the float-register tree, for whole and
/// partial tiles, and writes nothing past n.
void f16_tree_on_storage(FusedFn floats, FusedFn stored) {
  for (const std::size_t n :
       {std::size_t{1}, std::size_t{15}, std::size_t{16}, std::size_t{129}, std::size_t{256}}) {
    std::vector<float> a = operands<float>(n, 0), b = operands<float>(n, 1);
    for (auto* v : {&a, &b}) {
      for (float& x : *v) x = eval::round_to_f16(x);
    }
    std::vector<std::uint16_t> a_bits(n), b_bits(n);
    eval::f16_block_to_bits(a.data(), a_bits.data(), n);
    eval::f16_block_to_bits(b.data(), b_bits.data(), n);
    const std::byte* as_floats[] = {reinterpret_cast<const std::byte*>(a.data()),
                                    reinterpret_cast<const std::byte*>(b.data())};
    const std::byte* as_halves[] = {reinterpret_cast<const std::byte*>(a_bits.data()),
                                    reinterpret_cast<const std::byte*>(b_bits.data())};
    for (const FusedOp op : {FusedOp::Add, FusedOp::Sub, FusedOp::Mul, FusedOp::Div}) {
      for (const bool reversed : {false, true}) {
        const FusedStep on_floats[] = {
            {FusedStep::Load, 0},
            {eval::detail::fused_operator(op, FusedSource::Leaf, reversed), 1}};
        const FusedStep on_halves[] = {
            {FusedStep::LoadHalf, 0},
            {eval::detail::fused_operator(op, FusedSource::Half, reversed), 1}};
        std::vector<float> want(n);
        floats(reinterpret_cast<std::byte*>(want.data()), as_floats, 2, on_floats, 2, n);
        std::vector<std::uint16_t> want_bits(n);
        eval::f16_block_to_bits(want.data(), want_bits.data(), n);
        std::vector<std::uint16_t> got(n + 1, 0x5555);
        stored(reinterpret_cast<std::byte*>(got.data()), as_halves, 2, on_halves, 2, n);
        for (std::size_t i = 0; i < n; ++i) {
          const float g = eval::float_from_f16_bits(got[i]);
          ASSERT_TRUE(same(g, eval::float_from_f16_bits(want_bits[i])))
              << "op " << int(op) << " reversed " << reversed << " n " << n << " at " << i;
        }
        ASSERT_EQ(got[n], 0x5555) << "wrote past n = " << n;
      }
    }
  }
}

TEST(EvalFused, F16TreesOnStorageComputeAsOnFloatRegisters) {
  using eval::detail::TreeElement;
  bool ran = false;
  for (const Unit& unit : kUnits) {
    if (eval::detail::cpu_vectors() < unit.needs) continue;
    const FusedFn floats = unit.fn(TreeElement::F16);
    const FusedFn stored = unit.fn(TreeElement::F16Stored);
    // Units that cannot round a vector to f16 have neither kernel.
    ASSERT_EQ(floats == nullptr, stored == nullptr) << unit.name;
    if (stored == nullptr) continue;
    ran = true;
    SCOPED_TRACE(unit.name);
    f16_tree_on_storage(floats, stored);
  }
  if (!ran) GTEST_SKIP() << "no unit of this CPU rounds vectors to f16";
}

TEST(EvalFused, EveryStepOnEveryUnitRoundsOrWrapsAsOneOperation) {
  using eval::detail::TreeElement;
  every_step_on_every_unit<float>(TreeElement::F32);
  every_step_on_every_unit<double>(TreeElement::F64);
  every_step_on_every_unit<std::uint32_t>(TreeElement::U32);
  every_step_on_every_unit<float>(TreeElement::BF16, &eval::round_to_bf16);
  every_step_on_every_unit<float>(TreeElement::F16, &eval::round_to_f16);
}

template <class T>
bool compared(vocab::BinaryOp op, T x, T y) {
  using vocab::BinaryOp;
  switch (op) {
    case BinaryOp::Eq:
      return x == y;
    case BinaryOp::Ne:
      return x != y;
    case BinaryOp::Lt:
      return x < y;
    case BinaryOp::Le:
      return x <= y;
    case BinaryOp::Gt:
      return x > y;
    default:
      return x >= y;
  }
}

/// Every comparison, then a select by its result, on each wide unit the CPU has; one byte past
/// `n` stays as it was.
template <class T>
void compare_and_select_on_every_unit() {
  using vocab::BinaryOp;
  const bool single = sizeof(T) == 4;
  struct WideUnit {
    const char* name;
    eval::detail::CpuVectors needs;
    eval::detail::OpFn (*compare)(BinaryOp, bool);
    eval::detail::OpFn (*select)(bool);
  };
  const WideUnit units[] = {
      {"avx2", eval::detail::CpuVectors::Avx2, &eval::detail::avx2_compare_fn,
       &eval::detail::avx2_select_fn},
      {"avx512", eval::detail::CpuVectors::Avx512, &eval::detail::avx512_compare_fn,
       &eval::detail::avx512_select_fn},
  };
  for (const std::size_t n :
       {std::size_t{1}, std::size_t{5}, std::size_t{16}, std::size_t{100}, std::size_t{256}}) {
    const std::vector<T> a = operands<T>(n, 0);
    std::vector<T> b = operands<T>(n, 3);
    for (std::size_t i = 0; i < n; i += 3) b[i] = a[i];  // equal pairs, NaN with NaN among them
    const auto* pa = reinterpret_cast<const std::byte*>(a.data());
    const auto* pb = reinterpret_cast<const std::byte*>(b.data());
    for (const BinaryOp op :
         {BinaryOp::Eq, BinaryOp::Ne, BinaryOp::Lt, BinaryOp::Le, BinaryOp::Gt, BinaryOp::Ge}) {
      for (const WideUnit& unit : units) {
        if (eval::detail::cpu_vectors() < unit.needs) continue;
        std::vector<std::uint8_t> truth(n + 1, 7);
        unit.compare(op, single)(reinterpret_cast<std::byte*>(truth.data()), pa, pb, nullptr, n);
        std::vector<T> chosen(n + 1, T(42));
        unit.select(single)(reinterpret_cast<std::byte*>(chosen.data()),
                            reinterpret_cast<const std::byte*>(truth.data()), pa, pb, n);
        for (std::size_t i = 0; i < n; ++i) {
          const bool want = compared(op, a[i], b[i]);
          ASSERT_EQ(truth[i], want ? 1 : 0)
              << unit.name << " op " << int(op) << " at " << i << ": " << a[i] << ", " << b[i];
          ASSERT_TRUE(same(chosen[i], want ? a[i] : b[i])) << unit.name << " select at " << i;
        }
        ASSERT_EQ(truth[n], 7) << unit.name << " compared past n = " << n;
        ASSERT_EQ(chosen[n], T(42)) << unit.name << " selected past n = " << n;
      }
    }
  }
}

TEST(EvalFused, WideComparisonsAndSelectsAreTheScalarOnes) {
  compare_and_select_on_every_unit<float>();
  compare_and_select_on_every_unit<double>();
}

/// One element of a builtin, by the block kernel the program calls for it. A block kernel may
/// compute the pair that ends past an odd count, as blocks leave room for: so do these arrays.
template <class T>
T builtin(vocab::Builtin b, T x) {
  const T in[2] = {x, x};
  T out[2];
  eval::detail::builtin_fn(b, sizeof(T) == 4 ? vocab::dtypes::kF32 : vocab::dtypes::kF64)(
      reinterpret_cast<std::byte*>(out), reinterpret_cast<const std::byte*>(in), nullptr, nullptr,
      1);
  return out[0];
}

/// A kernel of x, y, z with `{T}` standing for the dtype, and what it computes, one rounding per
/// operation.
template <class T>
struct Kernel {
  std::string source;
  std::function<T(T, T, T)> expected;
};

std::string with_dtype(std::string text, const std::string& dtype) {
  for (std::size_t at = text.find("{T}"); at != std::string::npos; at = text.find("{T}"))
    text.replace(at, 3, dtype);
  return text;
}

template <class T>
std::vector<Kernel<T>> kernels() {
  std::vector<Kernel<T>> table = {
      {"x * y + z", [](T x, T y, T z) { return x * y + z; }},
      {"x * y - 1.0@{T}", [](T x, T y, T) { return x * y - T(1); }},
      {"z - x * y", [](T x, T y, T z) { return z - x * y; }},
      {"2.0@{T} / (x - y) * z", [](T x, T y, T z) { return T(2) / (x - y) * z; }},
      {"-(x - y) / (z + x) * 3.0@{T} - x",
       [](T x, T y, T z) { return -(x - y) / (z + x) * T(3) - x; }},
      {"((2.0@{T} * x - 3.0@{T}) * x + 0.5@{T}) * x - 7.0@{T}",
       [](T x, T, T) { return ((T(2) * x - T(3)) * x + T(0.5)) * x - T(7); }},
      {"0.044715@{T} * x * x * x + x", [](T x, T, T) { return T(0.044715) * x * x * x + x; }},
      // Operands read three times or more, kept in the slots the tree leaves free: one beside
      // a slot the tree keeps its own value in, and two when it needs none.
      {"(x * y - x) / (z - x * x)", [](T x, T y, T z) { return (x * y - x) / (z - x * x); }},
      {"y * x - x * y / x + y", [](T x, T y, T) { return y * x - x * y / x + y; }},
      {"x * y * x - y * x / y + x", [](T x, T y, T) { return x * y * x - y * x / y + x; }},
      {"x * y * x * y * x * y - x", [](T x, T y, T) { return x * y * x * y * x * y - x; }},
      {"(((x + y) * (y - z)) - ((z * x) + (x / y))) * z",
       [](T x, T y, T z) { return (((x + y) * (y - z)) - ((z * x) + (x / y))) * z; }},
      {"x / -(y * -z)", [](T x, T y, T z) { return x / -(y * -z); }},
      // Two subtrees at every level: the kernel's two slots, then a third it has not.
      {"((x + y) * (y - z)) / ((z * x) - (x / y))",
       [](T x, T y, T z) { return ((x + y) * (y - z)) / ((z * x) - (x / y)); }},
      {"(((x + y) * (y - z)) - ((z * x) + (x / y))) * (((x - z) / (y + x)) + ((y * y) - (z / x)))",
       [](T x, T y, T z) {
         return (((x + y) * (y - z)) - ((z * x) + (x / y))) *
                (((x - z) / (y + x)) + ((y * y) - (z / x)));
       }},
  };
  // Builtins called inside trees: between operators (tanh-GELU), on the side of an operator
  // computed first, chained, on both sides of one operator (one stays out), on a leaf or as a
  // tree's last step (left to their kernels), and around too few operators (likewise).
  const auto f = [](vocab::Builtin b, T x) { return builtin<T>(b, x); };
  using vocab::Builtin;
  table.push_back(
      {"0.5@{T} * x * (1.0@{T} + tanh(0.7978845608028654@{T} * (x + 0.044715@{T} * x * x * x)))",
       [f](T x, T, T) {
         return T(0.5) * x *
                (T(1) + f(Builtin::Tanh, T(0.7978845608028654) * (x + T(0.044715) * x * x * x)));
       }});
  table.push_back({"(x * y + z) * (sigmoid(x * y - z) / y)", [f](T x, T y, T z) {
                     return (x * y + z) * (f(Builtin::Sigmoid, x * y - z) / y);
                   }});
  table.push_back({"(y - x) * exp(tanh(x * y + z) * y - x) * z + x", [f](T x, T y, T z) {
                     return (y - x) * f(Builtin::Exp, f(Builtin::Tanh, x * y + z) * y - x) * z + x;
                   }});
  table.push_back({"(tanh(x * y) - z) * (exp(y - z) + x) / y", [f](T x, T y, T z) {
                     return (f(Builtin::Tanh, x * y) - z) * (f(Builtin::Exp, y - z) + x) / y;
                   }});
  table.push_back({"x * y + z * sin(z) - tanh(x * y + z)", [f](T x, T y, T z) {
                     return x * y + z * f(Builtin::Sin, z) - f(Builtin::Tanh, x * y + z);
                   }});
  table.push_back({"exp(x * y) * z", [f](T x, T y, T z) { return f(Builtin::Exp, x * y) * z; }});
  // A product of a value and a builtin of it, one kernel where nothing else reads the builtin.
  table.push_back({"x * sigmoid(x)", [f](T x, T, T) { return x * f(Builtin::Sigmoid, x); }});
  table.push_back(
      {"exp(y) * y - x * z", [f](T x, T y, T z) { return f(Builtin::Exp, y) * y - x * z; }});
  table.push_back({"(x * tanh(x) + tanh(x)) * y", [f](T x, T y, T) {
                     return (x * f(Builtin::Tanh, x) + f(Builtin::Tanh, x)) * y;
                   }});
  table.push_back({"tanh(exp(x * y) * z - y)", [f](T x, T y, T z) {
                     return f(Builtin::Tanh, f(Builtin::Exp, x * y) * z - y);
                   }});
  // Longer than a tree's steps, and more distinct constants than its operands.
  std::string chain = "x", spread = "x";
  for (int k = 1; k <= 30; ++k) {
    chain = "(" + chain + " * y + z)";
    spread += " + " + std::to_string(k) + ".5@{T} * y";
  }
  table.push_back({chain, [](T x, T y, T z) {
                     for (int k = 1; k <= 30; ++k) x = x * y + z;
                     return x;
                   }});
  table.push_back({spread, [](T x, T y, T) {
                     for (int k = 1; k <= 30; ++k) x = x + (T(k) + T(0.5)) * y;
                     return x;
                   }});
  return table;
}

/// Runs every kernel over blocks and a partial one: into separate memory, over x itself, and with
/// z one value broadcast to every element (stride 0), each special value in turn.
template <class T>
void trees_compute_like_single_operations(const std::string& dtype) {
  constexpr std::size_t n = 777;
  const std::vector<T> xs = operands<T>(n, 0), ys = operands<T>(n, 1), zs = operands<T>(n, 2);
  const auto bytes = [](const T* p) { return reinterpret_cast<const std::byte*>(p); };
  enum class Layout { Separate, OverX, BroadcastZ };
  for (const Kernel<T>& k : kernels<T>()) {
    const std::string source = with_dtype("|x: {T}, y: {T}, z: {T}|\n" + k.source, dtype);
    auto program = build_program(source);
    ASSERT_TRUE(program.has_value()) << source;
    for (const Layout layout : {Layout::Separate, Layout::OverX, Layout::BroadcastZ}) {
      // Broadcasting runs once per value of z's first sixteen, the special ones.
      const std::size_t runs = layout == Layout::BroadcastZ ? 16 : 1;
      for (std::size_t z_at = 0; z_at < runs; ++z_at) {
        std::vector<T> x = xs, separate(n);
        T* result = layout == Layout::OverX ? x.data() : separate.data();
        const bool broadcast = layout == Layout::BroadcastZ;
        const Program::In in[] = {
            {bytes(x.data()), sizeof(T)},
            {bytes(ys.data()), sizeof(T)},
            {bytes(zs.data() + z_at), broadcast ? 0 : static_cast<std::ptrdiff_t>(sizeof(T))}};
        const Program::Out out[] = {{reinterpret_cast<std::byte*>(result), sizeof(T)}};
        auto ws = program->make_workspace();
        program->run(in, out, n, ws);
        for (std::size_t i = 0; i < n; ++i) {
          const T z = broadcast ? zs[z_at] : zs[i];
          const T want = k.expected(xs[i], ys[i], z);
          ASSERT_TRUE(same(result[i], want))
              << source << " layout " << int(layout) << " at " << i << " (" << xs[i] << ", "
              << ys[i] << ", " << z << "): " << result[i] << " for " << want;
        }
      }
    }
  }
}

TEST(EvalFused, TreesComputeWhatSingleOperationsCompute) {
  trees_compute_like_single_operations<float>("f32");
  trees_compute_like_single_operations<double>("f64");
}

/// Integer kernels wrap: each is computed in the unsigned type of the width, whose bits a signed
/// dtype shares.
template <class T>
void integer_trees_wrap(const std::string& dtype) {
  using U = std::make_unsigned_t<T>;
  const auto op = [](FusedOp o, U a, U b) { return apply(o, a, b); };
  struct Case {
    std::string source;
    std::function<U(U, U, U)> expected;
  };
  std::string chain = "x";
  for (int k = 0; k < 30; ++k) chain = "(" + chain + " * y + z)";
  const Case cases[] = {
      {"x * y + z", [&](U x, U y, U z) { return op(FusedOp::Add, op(FusedOp::Mul, x, y), z); }},
      {"-(x - y) * z + x",
       [&](U x, U y, U z) {
         const U d = op(FusedOp::Sub, x, y);
         return op(FusedOp::Add, op(FusedOp::Mul, op(FusedOp::Sub, U(0), d), z), x);
       }},
      {"((x + y) * (y - z)) - ((z * x) + (x * y))",
       [&](U x, U y, U z) {
         return op(FusedOp::Sub, op(FusedOp::Mul, op(FusedOp::Add, x, y), op(FusedOp::Sub, y, z)),
                   op(FusedOp::Add, op(FusedOp::Mul, z, x), op(FusedOp::Mul, x, y)));
       }},
      {chain,
       [&](U x, U y, U z) {
         for (int k = 0; k < 30; ++k) x = op(FusedOp::Add, op(FusedOp::Mul, x, y), z);
         return x;
       }},
  };
  constexpr std::size_t n = 700;
  const std::vector<U> xs = operands<U>(n, 0), ys = operands<U>(n, 1), zs = operands<U>(n, 2);
  for (const Case& c : cases) {
    const std::string source = with_dtype("|x: {T}, y: {T}, z: {T}|\n" + c.source, dtype);
    auto program = build_program(source);
    ASSERT_TRUE(program.has_value()) << source;
    std::vector<U> got(n);
    const Program::In in[] = {{reinterpret_cast<const std::byte*>(xs.data()), sizeof(U)},
                              {reinterpret_cast<const std::byte*>(ys.data()), sizeof(U)},
                              {reinterpret_cast<const std::byte*>(zs.data()), sizeof(U)}};
    const Program::Out out[] = {{reinterpret_cast<std::byte*>(got.data()), sizeof(U)}};
    auto ws = program->make_workspace();
    program->run(in, out, n, ws);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(got[i], c.expected(xs[i], ys[i], zs[i])) << source << " at " << i;
    }
  }
}

TEST(EvalFused, IntegerTreesWrapLikeSingleOperations) {
  integer_trees_wrap<std::int8_t>("i8");
  integer_trees_wrap<std::uint16_t>("u16");
  integer_trees_wrap<std::int32_t>("i32");
  integer_trees_wrap<std::uint64_t>("u64");
}

TEST(EvalFused, Bf16TreesRoundEveryOperationToTheFormat) {
  // Inputs are floats the program rounds to bf16; each operation rounds its float result again.
  const auto r = [](float v) { return eval::round_to_bf16(v); };
  struct Case {
    const char* source;
    std::function<float(float, float, float)> expected;
  };
  const Case cases[] = {
      {"x * y + z", [&](float x, float y, float z) { return r(r(x * y) + z); }},
      {"-(x - y) / (z + x) * 3.0@bf16 - x",
       [&](float x, float y, float z) { return r(r(r(-r(x - y) / r(z + x)) * 3.0f) - x); }},
      {"((x + y) * (y - z)) / ((z * x) - (x / y))",
       [&](float x, float y, float z) {
         return r(r(r(x + y) * r(y - z)) / r(r(z * x) - r(x / y)));
       }},
  };
  constexpr std::size_t n = 700;
  const std::vector<float> xs = operands<float>(n, 0), ys = operands<float>(n, 1),
                           zs = operands<float>(n, 2);
  for (const Case& c : cases) {
    const std::string source = std::string("|x: bf16, y: bf16, z: bf16|\n") + c.source;
    auto program = build_program(source);
    ASSERT_TRUE(program.has_value()) << source;
    std::vector<float> got(n);
    const Program::In in[] = {{reinterpret_cast<const std::byte*>(xs.data()), 4},
                              {reinterpret_cast<const std::byte*>(ys.data()), 4},
                              {reinterpret_cast<const std::byte*>(zs.data()), 4}};
    const Program::Out out[] = {{reinterpret_cast<std::byte*>(got.data()), 4}};
    auto ws = program->make_workspace();
    program->run(in, out, n, ws);
    for (std::size_t i = 0; i < n; ++i) {
      const float want = c.expected(r(xs[i]), r(ys[i]), r(zs[i]));
      ASSERT_TRUE(same(got[i], want)) << source << " at " << i << ": " << got[i] << " for " << want;
    }
  }
}

/// A Horner chain with more distinct coefficients than the program keeps as blocks, alternately
/// added and subtracted, over special values and a tail shorter than a vector: the trees read
/// the coefficients past the quota as one element each, and must compute what single operations
/// compute (`U` the unsigned type of an integer dtype, in which it wraps).
template <class T, class U = T>
void horner_past_the_constant_quota(const std::string& dtype, T (*round)(T) = nullptr) {
  constexpr int kCoefficients = 90;
  std::string chain = "x";
  for (int k = 1; k <= kCoefficients; ++k)
    chain = "(" + chain + " * x " + (k % 2 ? "+ " : "- ") + std::to_string(k) + "@{T})";
  auto program = build_program(with_dtype("|x: {T}|\n" + chain, dtype));
  ASSERT_TRUE(program.has_value()) << dtype;
  for (const std::size_t n : {std::size_t{1}, std::size_t{13}, std::size_t{700}}) {
    std::vector<T> xs = operands<T>(n, 0);
    if (round != nullptr) {
      for (T& x : xs) x = round(x);
    }
    std::vector<T> got(n);
    const Program::In in[] = {{reinterpret_cast<const std::byte*>(xs.data()), sizeof(T)}};
    const Program::Out out[] = {{reinterpret_cast<std::byte*>(got.data()), sizeof(T)}};
    auto ws = program->make_workspace();
    program->run(in, out, n, ws);
    for (std::size_t i = 0; i < n; ++i) {
      const U x = static_cast<U>(xs[i]);
      U want = x;
      for (int k = 1; k <= kCoefficients; ++k) {
        want = apply(FusedOp::Mul, want, x);
        if (round != nullptr) want = round(want);
        want = apply(k % 2 ? FusedOp::Add : FusedOp::Sub, want, static_cast<U>(k));
        if (round != nullptr) want = round(want);
      }
      ASSERT_TRUE(same(static_cast<T>(got[i]), static_cast<T>(want)))
          << dtype << " n " << n << " at " << i << ": " << got[i] << " for " << want;
    }
  }
}

TEST(EvalFused, TreesReadConstantsPastTheQuotaAsOneElement) {
  horner_past_the_constant_quota<float>("f32");
  horner_past_the_constant_quota<double>("f64");
  horner_past_the_constant_quota<std::int32_t, std::uint32_t>("i32");
  horner_past_the_constant_quota<float>("bf16", &eval::round_to_bf16);
}

TEST(EvalFused, NoProductIsContractedWithTheSumAfterIt) {
  // (1 + 2^-23)^2 - 1 is 2^-22 once the product rounds, and 2^-22 + 2^-46 from a fused
  // multiply-add.
  const float x = 1.0f + 0x1p-23f;
  EXPECT_EQ(as_double(eval_one("|x: f32, y: f32|\nx * y - 1.0@f32", {x, x})), 0x1p-22);
  const double d = 1.0 + 0x1p-52;
  EXPECT_EQ(as_double(eval_one("|x: f64, y: f64|\nx * y - 1.0", {d, d})), 0x1p-51);
}

TEST(EvalFused, ValuesReadTwiceAndResultsOfTreesStayExact) {
  // A tree's value feeding two results and another tree.
  auto program = build_program("|x: f64, y: f64|\na = x * y + 1.0\n(a, a * a - x, -a)");
  ASSERT_TRUE(program.has_value());
  for (const double x : {0.1, -3.5, 1e300}) {
    const double a = x * 0.3 + 1.0;
    const std::vector<Val> got = eval_all(*program, {x, 0.3});
    EXPECT_EQ(got.at(0), Val(a)) << x;
    EXPECT_EQ(got.at(1), Val(a * a - x)) << x;
    EXPECT_EQ(got.at(2), Val(-a)) << x;
  }
}

}  // namespace
}  // namespace tarvelon::testing
