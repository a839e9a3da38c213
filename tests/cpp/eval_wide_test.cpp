// The kernels built for wider vector units against the baseline ones, on every unit this CPU has:
// the same special values and signs, the same rounded arithmetic, elementary functions within an
// ulp of each other (the baseline's are within half an ulp and a hair of the exact value in f32,
// the wide ones within one) and the f32 composites that spend their 2-ulp bound within two.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "eval/wide_math.h"

namespace tarvelon::testing {
namespace {

using eval::detail::CpuVectors;
using eval::detail::OpFn;
using vocab::BinaryOp;
using vocab::Builtin;

struct Unit {
  const char* name;
  CpuVectors needs;
  OpFn (*builtin)(Builtin, bool);
  OpFn (*arith)(BinaryOp, bool);
  OpFn (*times)(Builtin, bool);
};
const Unit kUnits[] = {
    {"avx2", CpuVectors::Avx2, &eval::detail::avx2_builtin_fn, &eval::detail::avx2_arith_fn,
     &eval::detail::avx2_builtin_times_fn},
    {"avx512", CpuVectors::Avx512, &eval::detail::avx512_builtin_fn, &eval::detail::avx512_arith_fn,
     &eval::detail::avx512_builtin_times_fn},
};

/// Edges of both formats and of the functions, then a spread over many binades of both signs; an
/// odd count, so every unit also runs its partial last vector.
template <class T>
std::vector<T> sample() {
  using L = std::numeric_limits<T>;
  std::vector<T> xs = {T(0),           -T(0),          T(1),     T(-1),           L::infinity(),
                       -L::infinity(), L::quiet_NaN(), L::min(), L::denorm_min(), -L::denorm_min(),
                       L::max(),       -L::max(),      T(88.72), T(-103.9),       T(709.78),
                       T(-745.1),      T(1e-9),        T(-1e-9), T(3e-6),         T(0.5493)};
  std::uint64_t state = 0x9e3779b97f4a7c15u;
  while (xs.size() < 1001) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    const double mantissa = static_cast<double>(state >> 11) * 0x1p-53;
    const int exponent = static_cast<int>((state >> 3) % 80) - 40;
    xs.push_back(static_cast<T>(((state & 1) ? -1.0 : 1.0) * std::ldexp(1.0 + mantissa, exponent)));
  }
  return xs;
}

/// Ulps between two finite values of one sign, else 0 when both are the same special value.
template <class T>
std::uint64_t distance(T a, T b) {
  using U = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) ? 0 : ~0ull;
  if (std::signbit(a) != std::signbit(b) || std::isinf(a) != std::isinf(b)) return ~0ull;
  const U x = std::bit_cast<U>(a), y = std::bit_cast<U>(b);
  return x > y ? x - y : y - x;
}

/// The f32 builtins whose wide kernels may be up to 1.7 ulp from the exact value: two float
/// steps from the baseline's correctly rounded result.
constexpr Builtin kSpendTheirBound[] = {Builtin::Sigmoid, Builtin::Softplus, Builtin::SigmoidLog};
std::uint64_t steps_allowed(Builtin b, bool single) {
  for (const Builtin loose : kSpendTheirBound) {
    if (single && b == loose) return 2;
  }
  return 1;
}

template <class T>
void compare_unit(const Unit& unit, bool single) {
  const std::vector<T> xs = sample<T>();
  const std::size_t n = xs.size();
  const auto* in = reinterpret_cast<const std::byte*>(xs.data());
  for (std::size_t b = 0; b < vocab::kBuiltinCount; ++b) {
    const auto builtin = static_cast<Builtin>(b);
    const OpFn wide = unit.builtin(builtin, single);
    if (wide == nullptr) continue;
    const OpFn base = eval::detail::baseline_builtin_fn(builtin, single);
    ASSERT_NE(base, nullptr);
    // The baseline kernels work on pairs and may touch one element past the end of a block.
    std::vector<T> padded(xs), expected(n + 1), got(xs);
    padded.push_back(T(0));
    base(reinterpret_cast<std::byte*>(expected.data()),
         reinterpret_cast<const std::byte*>(padded.data()), nullptr, nullptr, n);
    // In place, as a register written over its own operand.
    wide(reinterpret_cast<std::byte*>(got.data()), reinterpret_cast<const std::byte*>(got.data()),
         nullptr, nullptr, n);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_LE(distance(got[i], expected[i]), steps_allowed(builtin, single))
          << unit.name << ' ' << vocab::builtin_name(builtin) << (single ? " f32 " : " f64 ")
          << xs[i] << ": " << got[i] << " vs " << expected[i];
    }
    // x * b(x) in one kernel: the unit's own b(x), times x, rounded once.
    const OpFn times = unit.times(builtin, single);
    ASSERT_NE(times, nullptr) << vocab::builtin_name(builtin);
    std::vector<T> product(xs);
    times(reinterpret_cast<std::byte*>(product.data()),
          reinterpret_cast<const std::byte*>(product.data()), nullptr, nullptr, n);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(distance(product[i], xs[i] * got[i]), 0u)
          << unit.name << " x * " << vocab::builtin_name(builtin) << "(x) at " << xs[i];
    }
  }
  std::vector<T> ys(xs.rbegin(), xs.rend());
  for (const BinaryOp op : {BinaryOp::Add, BinaryOp::Sub, BinaryOp::Mul, BinaryOp::Div}) {
    const OpFn wide = unit.arith(op, single);
    ASSERT_NE(wide, nullptr);
    std::vector<T> got(n);
    wide(reinterpret_cast<std::byte*>(got.data()), in,
         reinterpret_cast<const std::byte*>(ys.data()), nullptr, n);
    for (std::size_t i = 0; i < n; ++i) {
      const T x = xs[i], y = ys[i];
      const T want = op == BinaryOp::Add   ? x + y
                     : op == BinaryOp::Sub ? x - y
                     : op == BinaryOp::Mul ? x * y
                                           : x / y;
      ASSERT_EQ(distance(got[i], want), 0u)
          << unit.name << ' ' << vocab::op_text(op) << ' ' << x << ' ' << y;
    }
  }
}

/// `check(unit)` for every unit the CPU has; the test is skipped where it has none.
template <class Check>
void on_every_unit(Check check) {
  bool ran = false;
  for (const Unit& unit : kUnits) {
    if (eval::detail::cpu_vectors() < unit.needs) continue;
    ran = true;
    check(unit);
  }
  if (!ran) GTEST_SKIP() << "no vector unit beyond the baseline on this CPU";
}

TEST(EvalWide, EveryUnitTheCpuHasAgreesWithTheBaseline) {
  on_every_unit([](const Unit& unit) {
    compare_unit<float>(unit, true);
    compare_unit<double>(unit, false);
  });
}

/// What the f32 tanh and composites must give exactly at the edges of their clamps, tails and
/// special values: each unit's kernel and the baseline's, for a lone element (the partial last
/// vector) and for a block of them (whole vectors).
struct EdgeCase {
  Builtin builtin;
  float x;
  float want;  ///< compared bit for bit, so the sign of a zero counts
};
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kMax = std::numeric_limits<float>::max();
const EdgeCase kEdges[] = {
    {Builtin::Sigmoid, -kInf, 0.0f},
    {Builtin::Sigmoid, kInf, 1.0f},
    {Builtin::Sigmoid, -0.0f, 0.5f},
    {Builtin::Sigmoid, kNaN, kNaN},
    {Builtin::Sigmoid, -104.0f, 0.0f},
    {Builtin::Sigmoid, -103.0f, 0x1p-149f},
    {Builtin::Sigmoid, 20.0f, 1.0f},
    {Builtin::Sigmoid, -kMax, 0.0f},
    {Builtin::Sigmoid, kMax, 1.0f},
    {Builtin::Tanh, -0.0f, -0.0f},
    {Builtin::Tanh, 0.0f, 0.0f},
    {Builtin::Tanh, -kInf, -1.0f},
    {Builtin::Tanh, kInf, 1.0f},
    {Builtin::Tanh, kNaN, kNaN},
    {Builtin::Tanh, 0x1p-149f, 0x1p-149f},
    {Builtin::Tanh, -0x1p-149f, -0x1p-149f},
    {Builtin::Tanh, 1e-30f, 1e-30f},
    {Builtin::Tanh, 9.02f, 1.0f},
    {Builtin::Tanh, 9.1f, 1.0f},
    {Builtin::Tanh, 9.75f, 1.0f},
    {Builtin::Tanh, -0x1.380002p+3f, -1.0f},
    {Builtin::Tanh, 0x1p-13f, 0x1p-13f},
    {Builtin::Tanh, -0x1.fffffep-14f, -0x1.fffffep-14f},
    {Builtin::Tanh, -kMax, -1.0f},
    {Builtin::Softplus, kInf, kInf},
    {Builtin::Softplus, -kInf, 0.0f},
    {Builtin::Softplus, 1000.0f, 1000.0f},
    {Builtin::Softplus, 0x1p24f, 0x1p24f},
    {Builtin::Softplus, kMax, kMax},
    {Builtin::Softplus, kNaN, kNaN},
    {Builtin::Softplus, -104.0f, 0.0f},
    {Builtin::Softplus, -103.0f, 0x1p-149f},
    {Builtin::Softplus, -0.0f, 0x1.62e43p-1f},
    {Builtin::Softplus, 16.0f, 16.0f},
    {Builtin::Softplus, 23.6f, 23.6f},
    // past the table: x itself, through the lanes that take the exponential
    {Builtin::Softplus, 0x1.79999cp+4f, 0x1.79999cp+4f},
    {Builtin::Softplus, 0x1p100f, 0x1p100f},
    {Builtin::SigmoidLog, -0x1.79999cp+4f, -0x1.79999cp+4f},
    {Builtin::Softplus, -1000.0f, 0.0f},
    {Builtin::SigmoidLog, -1000.0f, -1000.0f},
    {Builtin::SigmoidLog, -kInf, -kInf},
    {Builtin::SigmoidLog, 103.0f, -0x1p-149f},
    {Builtin::SigmoidLog, kNaN, kNaN},
    {Builtin::SigmoidLog, -23.6f, -23.6f},
    {Builtin::ExpSigmoid, -kInf, 0.5f},
    {Builtin::ExpSigmoid, kInf, 1.0f},
    {Builtin::ExpSigmoid, -30.0f, 0.5f},
    {Builtin::ExpSigmoid, 5.0f, 1.0f},
    {Builtin::ExpSigmoid, kMax, 1.0f},
    {Builtin::ExpSigmoid, kNaN, kNaN},
    {Builtin::ExpSigmoid, -16.5f, 0.5f},
    {Builtin::ExpSigmoid, -16.6f, 0.5f},
    {Builtin::ExpSigmoid, 3.1f, 1.0f},
    {Builtin::ExpSigmoid, 2.9f, 1.0f},
};

TEST(EvalWide, F32TanhAndCompositesMeetTheirEdgesExactly) {
  std::vector<std::pair<std::string, OpFn (*)(Builtin, bool)>> kernels = {
      {"baseline", &eval::detail::baseline_builtin_fn}};
  for (const Unit& unit : kUnits) {
    if (eval::detail::cpu_vectors() >= unit.needs) kernels.emplace_back(unit.name, unit.builtin);
  }
  for (const auto& [name, lookup] : kernels) {
    for (const EdgeCase& e : kEdges) {
      const OpFn fn = lookup(e.builtin, true);
      ASSERT_NE(fn, nullptr) << name;
      for (const std::size_t n : {std::size_t{1}, std::size_t{37}}) {
        std::vector<float> in(n + 1, e.x), out(n + 1);  // the baseline may touch one past n
        fn(reinterpret_cast<std::byte*>(out.data()), reinterpret_cast<const std::byte*>(in.data()),
           nullptr, nullptr, n);
        std::size_t i = 0;
        while (i < n && distance(out[i], e.want) == 0) ++i;
        EXPECT_EQ(i, n) << name << ' ' << vocab::builtin_name(e.builtin) << ' ' << std::hexfloat
                        << e.x << ": " << out[i] << " instead of " << e.want;
      }
    }
  }
}

/// `builtin` over `in` by `unit`'s f32 kernel into `got`, each result asserted to lie within one
/// step of the baseline kernel's (two for the composites that spend their bound).
void within_a_step_of_the_baseline(const Unit& unit, Builtin builtin, std::vector<float> in,
                                   std::vector<float>& got) {
  const OpFn wide = unit.builtin(builtin, true);
  const OpFn base = eval::detail::baseline_builtin_fn(builtin, true);
  ASSERT_NE(wide, nullptr);
  const std::size_t n = in.size();
  got.assign(n, 0.0f);
  std::vector<float> want(n + 1);
  in.push_back(0.0f);  // the baseline may touch one past the end
  wide(reinterpret_cast<std::byte*>(got.data()), reinterpret_cast<const std::byte*>(in.data()),
       nullptr, nullptr, n);
  base(reinterpret_cast<std::byte*>(want.data()), reinterpret_cast<const std::byte*>(in.data()),
       nullptr, nullptr, n);
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_LE(distance(got[i], want[i]), steps_allowed(builtin, true))
        << unit.name << ' ' << vocab::builtin_name(builtin) << std::hexfloat << ' ' << in[i] << ": "
        << got[i] << " vs " << want[i];
  }
}

/// f32 tanh and exp_sigmoid are read from polynomial pieces, and clamp their arguments where the
/// result has settled. Around each change of piece and each clamp, a run of neighbouring floats
/// of either sign must give results that never decrease as the argument grows (both functions
/// rise) and stay within one step of the baseline's: a piece fitted or indexed one off breaks one
/// or the other. (softplus, 1.59 ulp from the exact value, is not monotonic step by step anywhere
/// its slope is under an ulp a step; the sweep below holds its pieces.)
struct PieceEdges {
  Builtin builtin;
  std::vector<float> (*edges)();
};
/// tanh: the quarters of each binade from 1/4 up to 8 (halves on AVX2, a subset), the last piece's
/// clamp, and 9.011, from where the result rounds to 1.
std::vector<float> tanh_edges() {
  std::vector<float> edges = {0x1.205966p+3f, 9.75f};
  for (int e = -2; e <= 3; ++e) {
    for (int quarter = 0; quarter < 4; ++quarter) {
      edges.push_back(std::ldexp(1 + quarter / 4.0f, e));
    }
  }
  return edges;
}
/// exp_sigmoid: the edges 5/8 (j + 1/2) of its pieces and its clamps.
std::vector<float> exp_sigmoid_edges() {
  std::vector<float> edges = {-16.5f, 3.1f};
  for (int j = -26; j < 5; ++j) edges.push_back(0.625f * (static_cast<float>(j) + 0.5f));
  return edges;
}
const PieceEdges kPieceEdges[] = {{Builtin::Tanh, &tanh_edges},
                                  {Builtin::ExpSigmoid, &exp_sigmoid_edges}};

TEST(EvalWide, F32PiecewiseFunctionsRiseSteadilyAcrossTheirPieces) {
  on_every_unit([](const Unit& unit) {
    for (const PieceEdges& piecewise : kPieceEdges) {
      for (const float edge : piecewise.edges()) {
        for (const float sign : {1.0f, -1.0f}) {
          std::vector<float> in, got;
          for (int step = -40; step <= 40; ++step) {
            in.push_back(sign * std::bit_cast<float>(std::bit_cast<std::uint32_t>(edge) + step));
          }
          if (in.front() > in.back()) std::reverse(in.begin(), in.end());
          within_a_step_of_the_baseline(unit, piecewise.builtin, in, got);
          if (::testing::Test::HasFatalFailure()) return;
          for (std::size_t i = 1; i < in.size(); ++i) {
            ASSERT_LE(got[i - 1], got[i])
                << unit.name << ' ' << vocab::builtin_name(piecewise.builtin) << std::hexfloat
                << " falls from " << in[i - 1] << " to " << in[i];
          }
        }
      }
    }
  });
}

/// A sweep through every range a piecewise kernel reads from a table, a few hundred thousand
/// evenly spaced floats: each result within one step of the baseline's (two for softplus), so a
/// single slot with a wrong coefficient cannot hide between random samples. tanh is odd, so negated
/// arguments must give the results negated, bit for bit.
struct Sweep {
  Builtin builtin;
  float lo, hi;
  bool odd;
};
const Sweep kSweeps[] = {
    {Builtin::Tanh, 0.0f, 10.0f, true},
    {Builtin::ExpSigmoid, -17.0f, 3.5f, false},
    {Builtin::Softplus, -24.0f, 24.0f, false},
};

TEST(EvalWide, F32PiecewiseFunctionsFollowTheBaselineOverEveryPiece) {
  on_every_unit([](const Unit& unit) {
    for (const Sweep& sweep : kSweeps) {
      std::vector<float> in, got, negated, got_negated;
      for (const float end : {sweep.lo, sweep.hi}) {  // from zero out to each end
        const std::uint32_t last = std::bit_cast<std::uint32_t>(end);
        for (std::uint32_t bits = std::bit_cast<std::uint32_t>(std::copysign(0.0f, end));
             bits < last; bits += 4099) {
          in.push_back(std::bit_cast<float>(bits));
          negated.push_back(-in.back());
        }
      }
      within_a_step_of_the_baseline(unit, sweep.builtin, in, got);
      if (::testing::Test::HasFatalFailure()) return;
      if (!sweep.odd) continue;
      within_a_step_of_the_baseline(unit, sweep.builtin, negated, got_negated);
      for (std::size_t i = 0; i < in.size(); ++i) {
        ASSERT_EQ(distance(got_negated[i], -got[i]), 0u)
            << unit.name << ' ' << vocab::builtin_name(sweep.builtin) << std::hexfloat << ' '
            << in[i];
      }
    }
  });
}

/// A lane's result depends on its argument alone: a block mixing arguments that take different
/// paths (a clamp, a piece of a table, the exponential some kernels run only for the lanes that
/// need it) gives what each argument gives on its own, bit for bit. Checked for the kernels of
/// our own; the library's f32 cos picks its argument reduction for a whole vector at once.
constexpr Builtin kOwnKernels[] = {Builtin::Tanh, Builtin::Sigmoid, Builtin::Softplus,
                                   Builtin::ExpSigmoid, Builtin::SigmoidLog};
template <class T>
void lanes_alone(const Unit& unit, bool single) {
  const std::vector<T> xs = sample<T>();
  for (const Builtin builtin : kOwnKernels) {
    const OpFn wide = unit.builtin(builtin, single);
    if (wide == nullptr) continue;
    std::vector<T> block(xs.size());
    wide(reinterpret_cast<std::byte*>(block.data()), reinterpret_cast<const std::byte*>(xs.data()),
         nullptr, nullptr, xs.size());
    for (std::size_t i = 0; i < xs.size(); ++i) {
      T alone;
      wide(reinterpret_cast<std::byte*>(&alone), reinterpret_cast<const std::byte*>(&xs[i]),
           nullptr, nullptr, 1);
      ASSERT_EQ(distance(block[i], alone), 0u)
          << unit.name << ' ' << vocab::builtin_name(builtin) << (single ? " f32 " : " f64 ")
          << std::hexfloat << xs[i] << ": " << block[i] << " in a block, " << alone << " alone";
    }
  }
}

TEST(EvalWide, EachLaneIsComputedFromItsOwnArgumentAlone) {
  on_every_unit([](const Unit& unit) {
    lanes_alone<float>(unit, true);
    lanes_alone<double>(unit, false);
  });
}

}  // namespace
}  // namespace tarvelon::testing
