// Every float builtin of the evaluator stays within its ulp bound of the exact function.
#include <gtest/gtest.h>

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

/// The f32 tanh and composites are proven well inside their bounds (a double result within 2^-29
/// before the one rounding to float); a kernel that quietly spends that margin, through a shorter
/// polynomial or a cruder reciprocal, would also stop agreeing with the baseline within an ulp.
TEST(EvalAccuracy, F32TanhAndCompositesKeepTheirProvenMargin) {
  widen_mpfr_range();
  constexpr double kProven = 0.5 + 0x1p24 * 0x1p-29;  // the rounding, and the double's error
  using vocab::Builtin;
  for (const Builtin b : {Builtin::Tanh, Builtin::Sigmoid, Builtin::Softplus, Builtin::ExpSigmoid,
                          Builtin::SigmoidLog}) {
    for (const AccuracyCase& c : accuracy_cases()) {
      if (c.builtin != b) continue;
      const auto xs = sample_points(c, true, 50000, 0x3a31 + static_cast<unsigned>(b));
      const std::vector<Measured> m = measure(c, true, xs);
      for (std::size_t k = 0; k < m.size(); ++k) {
        EXPECT_LE(m[k].max_ulp, kProven) << vocab::builtin_name(b) << " f32 " << paths()[k].name
                                         << " at x = " << std::hexfloat << m[k].worst_x;
      }
    }
  }
}

}  // namespace
}  // namespace tarvelon::testing
