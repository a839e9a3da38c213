// Every float builtin of the evaluator stays within its ulp bound of the exact function.
#include <gtest/gtest.h>

#include "eval_ulp.h"

namespace tarvelon::testing {
namespace {

TEST(EvalAccuracy, BuiltinsStayWithinTheirUlpBounds) {
  widen_mpfr_range();
  for (const bool single : {true, false}) {
    for (const AccuracyCase& c : accuracy_cases()) {
      const auto xs = sample_points(c, single, 20000, 0x5eed + static_cast<unsigned>(c.builtin));
      const Measured m = measure(c, single, xs);
      EXPECT_LE(m.max_ulp, c.bound) << ir::builtin_name(c.builtin) << (single ? " f32" : " f64")
                                    << " at x = " << std::hexfloat << m.worst_x;
    }
  }
}

}  // namespace
}  // namespace tarvelon::testing
