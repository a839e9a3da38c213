// Prints the worst error, in ulps, of every float builtin of the typed evaluator in f32 and f64,
// measured against MPFR on many points per function (ten million unless given):
//   eval_accuracy [points per function] [builtin,builtin,...]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "eval_ulp.h"

int main(int argc, char** argv) {
  using namespace tarvelon::testing;  // NOLINT
  const std::size_t points = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000'000;
  const std::string only = argc > 2 ? "," + std::string(argv[2]) + "," : "";
  constexpr std::size_t kChunk = 1 << 20;  // bounds the buffers, not the sample
  widen_mpfr_range();
  std::printf("%-12s %-5s %10s %8s  %s\n", "builtin", "dtype", "max ulp", "bound", "worst x");
  for (const AccuracyCase& c : accuracy_cases()) {
    const std::string name(tarvelon::ir::builtin_name(c.builtin));
    if (!only.empty() && only.find("," + name + ",") == std::string::npos) continue;
    for (const bool single : {true, false}) {
      Measured worst;
      for (std::size_t done = 0, k = 0; done < points; done += kChunk, ++k) {
        const std::size_t n = std::min(kChunk, points - done);
        const auto xs = sample_points(c, single, n, 0xacc0 + 1000 * k + unsigned(c.builtin));
        const Measured m = measure(c, single, xs);
        if (m.max_ulp > worst.max_ulp) worst = m;
      }
      std::printf("%-12s %-5s %10.4f %8.1f  %a\n", name.c_str(), single ? "f32" : "f64",
                  worst.max_ulp, c.bound, worst.worst_x);
      std::fflush(stdout);
    }
  }
  return 0;
}
