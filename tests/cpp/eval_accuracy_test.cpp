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

}  // namespace
}  // namespace tarvelon::testing
