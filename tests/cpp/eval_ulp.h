#pragma once
// Measures how far the typed evaluator's float builtins are from the exact functions, in units
// in the last place of the result's format, with MPFR as the reference.

#include <mpfr.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "eval/kernels.h"
#include "eval/program.h"
#include "eval/wide_math.h"
#include "ir/dag.h"

namespace tarvelon::testing {

/// Working precision of the reference: far beyond f64's 53 bits, so its own error is negligible.
inline constexpr mpfr_prec_t kRefPrecision = 160;

/// The exact function at `x`, computed in a form that stays finite wherever the result is.
using RefFn = void (*)(mpfr_t y, const mpfr_t x);

namespace ref {
inline void exp(mpfr_t y, const mpfr_t x) { mpfr_exp(y, x, MPFR_RNDN); }
inline void log(mpfr_t y, const mpfr_t x) { mpfr_log(y, x, MPFR_RNDN); }
inline void sin(mpfr_t y, const mpfr_t x) { mpfr_sin(y, x, MPFR_RNDN); }
inline void cos(mpfr_t y, const mpfr_t x) { mpfr_cos(y, x, MPFR_RNDN); }
inline void tanh(mpfr_t y, const mpfr_t x) { mpfr_tanh(y, x, MPFR_RNDN); }
inline void sqrt(mpfr_t y, const mpfr_t x) { mpfr_sqrt(y, x, MPFR_RNDN); }
/// log(1 + e^x), as x + log(1 + e^-x) for positive x.
inline void softplus(mpfr_t y, const mpfr_t x) {
  mpfr_t t;
  mpfr_init2(t, kRefPrecision);
  if (mpfr_sgn(x) > 0) {
    mpfr_neg(t, x, MPFR_RNDN);
    mpfr_exp(t, t, MPFR_RNDN);
    mpfr_log1p(t, t, MPFR_RNDN);
    mpfr_add(y, x, t, MPFR_RNDN);
  } else {
    mpfr_exp(t, x, MPFR_RNDN);
    mpfr_log1p(y, t, MPFR_RNDN);
  }
  mpfr_clear(t);
}
/// 1 / (1 + e^-x)
inline void sigmoid(mpfr_t y, const mpfr_t x) {
  mpfr_t t;
  mpfr_init2(t, kRefPrecision);
  mpfr_neg(t, x, MPFR_RNDN);
  mpfr_exp(t, t, MPFR_RNDN);
  mpfr_add_ui(t, t, 1, MPFR_RNDN);
  mpfr_ui_div(y, 1, t, MPFR_RNDN);
  mpfr_clear(t);
}
inline void exp_sigmoid(mpfr_t y, const mpfr_t x) {
  mpfr_t t;
  mpfr_init2(t, kRefPrecision);
  mpfr_exp(t, x, MPFR_RNDN);
  sigmoid(y, t);
  mpfr_clear(t);
}
/// log(sigmoid(x)) = -softplus(-x)
inline void sigmoid_log(mpfr_t y, const mpfr_t x) {
  mpfr_t t;
  mpfr_init2(t, kRefPrecision);
  mpfr_neg(t, x, MPFR_RNDN);
  softplus(y, t);
  mpfr_neg(y, y, MPFR_RNDN);
  mpfr_clear(t);
}
}  // namespace ref

struct AccuracyCase {
  vocab::Builtin builtin;
  RefFn exact;
  /// The bound the function must meet, in ulps.
  double bound;
  /// Where the function changes behaviour: arguments are drawn densely around here.
  double lo, hi;
};

inline const std::vector<AccuracyCase>& accuracy_cases() {
  static const std::vector<AccuracyCase> cases = {
      {vocab::Builtin::Exp, ref::exp, 1.0, -750.0, 710.0},
      {vocab::Builtin::Log, ref::log, 1.0, 0.0, 4.0},
      {vocab::Builtin::Sin, ref::sin, 1.0, -20.0, 20.0},
      {vocab::Builtin::Cos, ref::cos, 1.0, -20.0, 20.0},
      {vocab::Builtin::Tanh, ref::tanh, 1.0, -20.0, 20.0},
      {vocab::Builtin::Sqrt, ref::sqrt, 0.5, 0.0, 4.0},
      {vocab::Builtin::Sigmoid, ref::sigmoid, 2.0, -750.0, 40.0},
      {vocab::Builtin::Softplus, ref::softplus, 2.0, -750.0, 40.0},
      {vocab::Builtin::ExpSigmoid, ref::exp_sigmoid, 2.0, -40.0, 10.0},
      {vocab::Builtin::SigmoidLog, ref::sigmoid_log, 2.0, -40.0, 750.0},
  };
  return cases;
}

/// A binary float format's parameters.
struct Format {
  int precision;
  int min_exp;  ///< exponent of the smallest normal number
  int max_exp;  ///< exponent of the largest finite number
};
inline constexpr Format kSingle{24, -126, 127};
inline constexpr Format kDouble{53, -1022, 1023};

/// The error of `got` against the exact value `y`, in ulps of the format at `y`. An infinity
/// is exact when `y` rounds to it; a NaN is exact when `y` is one; otherwise either costs
/// infinitely many ulps.
inline double ulp_error(double got, const mpfr_t y, Format f) {
  constexpr double kWrong = std::numeric_limits<double>::infinity();
  if (mpfr_nan_p(y)) return std::isnan(got) ? 0.0 : kWrong;
  if (std::isnan(got)) return kWrong;
  mpfr_t t;
  mpfr_init2(t, kRefPrecision + 64);
  double err = 0;
  if (mpfr_inf_p(y) || mpfr_zero_p(y)) {
    mpfr_set_d(t, got, MPFR_RNDN);
    err = mpfr_equal_p(t, y) ? 0.0 : kWrong;
    if (mpfr_zero_p(y) && got == 0.0) err = 0.0;
    if (mpfr_zero_p(y) && std::isfinite(got)) {
      err = std::ldexp(std::fabs(got), f.precision - 1 - f.min_exp);  // ulps of the subnormal step
    }
  } else {
    const int lead = std::clamp(static_cast<int>(mpfr_get_exp(y)) - 1, f.min_exp, f.max_exp);
    const int ulp_exp = lead - (f.precision - 1);
    if (std::isinf(got)) {
      // rounds to infinity from max + half an ulp on
      mpfr_set_ui_2exp(t, (std::uint64_t{1} << f.precision) - 1, f.max_exp - f.precision + 1,
                       MPFR_RNDN);
      mpfr_t half;
      mpfr_init2(half, kRefPrecision);
      mpfr_set_ui_2exp(half, 1, f.max_exp - f.precision, MPFR_RNDN);
      mpfr_add(t, t, half, MPFR_RNDN);
      mpfr_clear(half);
      mpfr_t a;
      mpfr_init2(a, kRefPrecision);
      mpfr_abs(a, y, MPFR_RNDN);
      const bool rounds_to_inf = mpfr_cmp(a, t) >= 0 && (got > 0) == (mpfr_sgn(y) > 0);
      mpfr_clear(a);
      err = rounds_to_inf ? 0.0 : kWrong;
    } else {
      mpfr_set_d(t, got, MPFR_RNDN);
      mpfr_sub(t, t, y, MPFR_RNDN);
      mpfr_mul_2si(t, t, -ulp_exp, MPFR_RNDN);
      err = std::fabs(mpfr_get_d(t, MPFR_RNDN));
    }
  }
  mpfr_clear(t);
  return err;
}

/// Arguments covering the whole range of a format, and densely the region where the function
/// changes behaviour, plus the special values.
inline std::vector<double> sample_points(const AccuracyCase& c, bool single, std::size_t n,
                                         std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<double> xs = {
      0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e-300, -1e-300, 1e-30, -1e-30, 0x1p-1022, 0x1p-1074, DBL_MAX,
      -DBL_MAX, FLT_MAX, -FLT_MAX, 0x1p-149, 0x1p-126, 709.78, -745.1, 88.72, -103.97, M_PI,
      M_PI / 2, 1e22, 0x1p1023, 6381956970095103.0 * 0x1p797, 1e300, 36.0, 710.0,
      // where the f64 composites change form or their results turn subnormal
      -40.0, -0x1.3fffffffffffp+5, -708.39, -744.44, 40.0, -0x1p-60, HUGE_VAL, -HUGE_VAL, NAN,
      // where the f32 ones change form, clamp their argument or turn subnormal
      0x1.62e43p-7, -0x1.62e43p-7, 0x1.62e42p-7, 0x1.62e44p-7, -104.0, -103.97, -87.34, 87.34,
      -87.0, -87.01, 5.0, 5.01, 20.0, -20.01, 0x1p24, 0x1.fffffep23, 9.01, -9.02,
      // where f32 softplus changes piece or hands over to the exponential
      -0.375, 0.375, -1.125, -22.875, -23.6, -0x1.79999cp+4, 23.6, 0x1.79999cp+4, -23.625, 23.625,
      -21.0, 0x1p100};
  std::uniform_real_distribution<double> dense(c.lo, c.hi);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  while (xs.size() < n) {
    switch (xs.size() % 4) {
      case 0:  // any bit pattern: every magnitude equally often
        xs.push_back(single ? double(std::bit_cast<float>(static_cast<std::uint32_t>(rng())))
                            : std::bit_cast<double>(rng()));
        break;
      case 1:
      case 2:
        xs.push_back(dense(rng));
        break;
      default:  // near zero
        xs.push_back(std::ldexp(unit(rng), -static_cast<int>(rng() % 60)));
        break;
    }
  }
  xs.resize(n);
  if (single) {
    for (double& x : xs) x = static_cast<double>(static_cast<float>(x));
  }
  return xs;
}

struct Measured {
  double max_ulp = 0;
  double worst_x = 0;
  /// The same over the points whose exact result is not subnormal: a subnormal result may round
  /// twice, so kernels are held to a tighter bound elsewhere.
  double max_ulp_normal = 0;
  double worst_x_normal = 0;
};

/// One way the evaluator computes a builtin: the whole program (on the unit the CPU dispatches
/// to), or the block kernel of one vector unit called directly.
struct Path {
  const char* name;
  /// Needed of the CPU before `kernel` may be called.
  eval::detail::CpuVectors needs;
  /// Null for the program; a unit's lookup otherwise, which gives null where it has no form.
  eval::detail::OpFn (*kernel)(vocab::Builtin, bool);
};
inline const std::vector<Path>& paths() {
  using eval::detail::CpuVectors;
  static const std::vector<Path> all = {
      {"program", CpuVectors::Baseline, nullptr},
      {"baseline", CpuVectors::Baseline, &eval::detail::baseline_builtin_fn},
      {"avx2", CpuVectors::Avx2, &eval::detail::avx2_builtin_fn},
      {"avx512", CpuVectors::Avx512, &eval::detail::avx512_builtin_fn},
  };
  return all;
}

/// The builtin of `c` over `xs` by `path`, widened to double; empty where the path has no form of
/// it or the CPU lacks the unit.
inline std::vector<double> evaluate(const Path& path, const AccuracyCase& c, bool single,
                                    std::span<const double> xs) {
  const std::size_t n = xs.size();
  const std::size_t width = single ? 4 : 8;
  std::vector<std::byte> in(n * width), out(n * width);
  for (std::size_t i = 0; i < n; ++i) {
    if (single) {
      const float v = static_cast<float>(xs[i]);
      std::memcpy(in.data() + i * 4, &v, 4);
    } else {
      std::memcpy(in.data() + i * 8, &xs[i], 8);
    }
  }
  if (path.kernel == nullptr) {
    const vocab::DType d = single ? vocab::dtypes::kF32 : vocab::dtypes::kF64;
    ir::TypedDag dag;
    dag.params.push_back({"x", d});
    dag.nodes.push_back(ir::node::Param{0});
    dag.dtypes.push_back(d);
    dag.nodes.push_back(ir::node::Call{{0}, c.builtin});
    dag.dtypes.push_back(d);
    dag.outputs = {1};
    auto program = eval::Program::build(dag);
    if (!program) return {};
    auto ws = program->make_workspace();
    const eval::Program::In args[] = {{in.data(), static_cast<std::ptrdiff_t>(width)}};
    const eval::Program::Out results[] = {{out.data(), static_cast<std::ptrdiff_t>(width)}};
    program->run(args, results, n, ws);
  } else {
    if (eval::detail::cpu_vectors() < path.needs) return {};
    const eval::detail::OpFn fn = path.kernel(c.builtin, single);
    if (fn == nullptr) return {};
    // Through a whole block at a time: a kernel may touch the rest of its block.
    constexpr std::size_t kBlock = eval::detail::kMaxBlock;
    std::vector<std::byte> a(kBlock * width), r(kBlock * width);
    for (std::size_t start = 0; start < n; start += kBlock) {
      const std::size_t len = std::min(kBlock, n - start);
      std::memcpy(a.data(), in.data() + start * width, len * width);
      fn(r.data(), a.data(), nullptr, nullptr, len);
      std::memcpy(out.data() + start * width, r.data(), len * width);
    }
  }
  std::vector<double> got(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (single) {
      float v;
      std::memcpy(&v, out.data() + i * 4, 4);
      got[i] = v;
    } else {
      std::memcpy(&got[i], out.data() + i * 8, 8);
    }
  }
  return got;
}

/// The worst error of the builtin over `xs` in f32 or f64 on every path, in paths() order;
/// `ran` tells which paths computed it.
inline std::vector<Measured> measure(const AccuracyCase& c, bool single, std::span<const double> xs,
                                     std::vector<bool>* ran = nullptr) {
  std::vector<std::vector<double>> got;
  for (const Path& p : paths()) got.push_back(evaluate(p, c, single, xs));
  if (ran != nullptr) {
    ran->clear();
    for (const auto& g : got) ran->push_back(!g.empty());
  }
  std::vector<Measured> m(got.size());
  if (got[0].empty()) {  // not built
    m[0].max_ulp = m[0].max_ulp_normal = std::numeric_limits<double>::infinity();
  }
  mpfr_t x, y;
  mpfr_init2(x, kRefPrecision);
  mpfr_init2(y, kRefPrecision);
  const Format format = single ? kSingle : kDouble;
  for (std::size_t i = 0; i < xs.size(); ++i) {
    mpfr_set_d(x, xs[i], MPFR_RNDN);
    c.exact(y, x);
    const bool subnormal =
        mpfr_regular_p(y) && static_cast<int>(mpfr_get_exp(y)) - 1 < format.min_exp;
    for (std::size_t k = 0; k < got.size(); ++k) {
      if (got[k].empty()) continue;
      const double e = ulp_error(got[k][i], y, format);
      if (e > m[k].max_ulp || std::isnan(e)) {
        m[k].max_ulp = e;
        m[k].worst_x = xs[i];
      }
      if (!subnormal && (e > m[k].max_ulp_normal || std::isnan(e))) {
        m[k].max_ulp_normal = e;
        m[k].worst_x_normal = xs[i];
      }
    }
  }
  mpfr_clear(x);
  mpfr_clear(y);
  return m;
}

/// Widens MPFR's exponent range so that no reference overflows before the formats do.
inline void widen_mpfr_range() {
  mpfr_set_emin(mpfr_get_emin_min());
  mpfr_set_emax(mpfr_get_emax_max());
}

}  // namespace tarvelon::testing
