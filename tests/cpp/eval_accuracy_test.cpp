// Every float builtin of the evaluator stays within its ulp bound of the exact function.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "eval_ulp.h"

namespace tarvelon::testing {
namespace {

TEST(EvalAccuracy, BuiltinsStayWithinTheirUlpBoundsOnEveryPath) {
  widen_mpfr_range();
  for (const bool single : {true, false}) {
    for (const AccuracyCase& c : accuracy_cases()) {
      const auto xs = sample_points(c, single, 20000, 0x5eed + static_cast<unsigned>(c.builtin));
      const std::vector<Measured> m = measure(c, single, xs);
      for (std::size_t k = 0; k < m.size(); ++k) {
        EXPECT_LE(m[k].max_ulp, c.bound)
            << vocab::builtin_name(c.builtin) << (single ? " f32 " : " f64 ") << paths()[k].name
            << " at x = " << std::hexfloat << m[k].worst_x;
      }
    }
  }
}

/// The f32 tanh and composites are proven inside the bounds above, each to its own margin: the
/// half ulp of the last rounding plus what the exponential, the polynomials, the one sum left
/// unpaired and the pair arithmetic add, and a quarter ulp more where a result turns subnormal
/// and rounds twice. A kernel that quietly spends more (a shorter polynomial, a dropped low part,
/// a cruder reciprocal, a piece read from its neighbour's slot) fails here before it breaks the
/// bounds users are promised. Where the units prove different margins, a row names its path.
struct ProvenBound {
  vocab::Builtin builtin;
  double normal;          ///< where the exact result is a normal number or zero
  double overall;         ///< subnormal results too
  const char* path = "";  ///< the one path the row holds, or every path when empty
};
constexpr ProvenBound kF32Proven[] = {
    {vocab::Builtin::Tanh, 0.62, 0.62, "avx512"},
    {vocab::Builtin::Tanh, 0.75, 0.75, "avx2"},
    {vocab::Builtin::Tanh, 0.75, 0.75, "program"},
    {vocab::Builtin::Tanh, 0.51, 0.51, "baseline"},
    {vocab::Builtin::ExpSigmoid, 0.72, 0.72, "avx512"},
    {vocab::Builtin::ExpSigmoid, 0.94, 0.94, "avx2"},
    {vocab::Builtin::ExpSigmoid, 0.94, 0.94, "program"},
    {vocab::Builtin::ExpSigmoid, 0.504, 0.504, "baseline"},
    {vocab::Builtin::Sigmoid, 1.7, 1.7},
    {vocab::Builtin::Softplus, 1.59, 1.59},
    {vocab::Builtin::SigmoidLog, 1.59, 1.59},
};

TEST(EvalAccuracy, F32TanhAndCompositesKeepTheirProvenMargins) {
  widen_mpfr_range();
  for (const ProvenBound& proven : kF32Proven) {
    for (const AccuracyCase& c : accuracy_cases()) {
      if (c.builtin != proven.builtin) continue;
      const auto xs = sample_points(c, true, 50000, 0x3a31 + static_cast<unsigned>(c.builtin));
      const std::vector<Measured> m = measure(c, true, xs);
      for (std::size_t k = 0; k < m.size(); ++k) {
        if (*proven.path != '\0' && std::string_view(proven.path) != paths()[k].name) continue;
        const std::string where =
            std::string(vocab::builtin_name(c.builtin)) + " f32 " + paths()[k].name;
        EXPECT_LE(m[k].max_ulp_normal, proven.normal)
            << where << " at x = " << std::hexfloat << m[k].worst_x_normal;
        EXPECT_LE(m[k].max_ulp, proven.overall)
            << where << " at x = " << std::hexfloat << m[k].worst_x;
      }
    }
  }
}

/// f32 sigmoid splits x into n ln2 + r, n a multiple of 1/16 or 1/8, and reads the power of two
/// of n's integer part from its bits and 2^(n's fraction) from a table; tanh on AVX2 splits -2|x|
/// into n ln2 + r from 3 on, where it leaves its pieces, and reads 2^n from n's bits. Around
/// every multiple of the reduction's step from one end of its range to the other (where n steps,
/// a table's index wraps and the power of two changes) and halfway between (where n's rounding
/// turns), the floats on either side hold the proven margin: an index or exponent one off would
/// cost far more.
struct ReductionSteps {
  vocab::Builtin builtin;
  double step;  ///< of the argument, between two values of n
  float from, to;
  double bound;
};
constexpr double kLn2 = 0.69314718055994530942;
constexpr ReductionSteps kReductionSteps[] = {
    {vocab::Builtin::Sigmoid, kLn2 / 16, -104.0f, 20.0f, 1.7},
    {vocab::Builtin::Tanh, kLn2 / 2, -9.75f, 9.75f, 0.75},
    // Where AVX2 tanh leaves its pieces for the exponential.
    {vocab::Builtin::Tanh, 3.0, -3.0f, 3.0f, 0.75},
};

TEST(EvalAccuracy, F32ReductionsKeepTheirMarginAtEveryStep) {
  widen_mpfr_range();
  for (const ReductionSteps& r : kReductionSteps) {
    std::vector<double> xs;
    const double half = r.step / 2;
    for (auto k = static_cast<int>(r.from / half) - 1; k <= static_cast<int>(r.to / half) + 1;
         ++k) {
      const auto x = static_cast<float>(k * half);
      if (x < r.from || x > r.to) continue;
      float below = x, above = x;
      xs.push_back(x);
      for (int step = 0; step < 2; ++step) {
        below = std::nextafter(below, -1000.0f);
        above = std::nextafter(above, 1000.0f);
        xs.push_back(below);
        xs.push_back(above);
      }
    }
    for (const AccuracyCase& c : accuracy_cases()) {
      if (c.builtin != r.builtin) continue;
      const std::vector<Measured> m = measure(c, true, xs);
      for (std::size_t k = 0; k < m.size(); ++k) {
        EXPECT_LE(m[k].max_ulp, r.bound)
            << vocab::builtin_name(r.builtin) << " f32 " << paths()[k].name
            << " at x = " << std::hexfloat << m[k].worst_x;
      }
    }
  }
}

}  // namespace
}  // namespace tarvelon::testing
