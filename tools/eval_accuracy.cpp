// Prints the worst error, in ulps, of every float builtin of the typed evaluator in f32 and f64,
// through the whole program and through each vector unit's kernel the CPU has, measured against
// MPFR on many points per function (ten million unless given), over all points and over those whose
// result is not subnormal:
//   eval_accuracy [points per function] [builtin,builtin,...] [f32|f64]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "eval_ulp.h"

int main(int argc, char** argv) {
  using namespace tarvelon::testing;  // NOLINT
  const std::size_t points = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000'000;
  const std::string only = argc > 2 ? "," + std::string(argv[2]) + "," : "";
  const std::string dtype = argc > 3 ? argv[3] : "";
  constexpr std::size_t kChunk = 1 << 20;  // bounds the buffers, not the sample
  widen_mpfr_range();
  std::printf("%-12s %-5s %-9s %10s %10s %8s  %s\n", "builtin", "dtype", "path", "max ulp",
              "normal", "bound", "worst x");
  for (const AccuracyCase& c : accuracy_cases()) {
    const std::string name(tarvelon::vocab::builtin_name(c.builtin));
    if (!only.empty() && only.find("," + name + ",") == std::string::npos) continue;
    for (const bool single : {true, false}) {
      if (!dtype.empty() && dtype != (single ? "f32" : "f64")) continue;
      std::vector<Measured> worst(paths().size());
      std::vector<bool> ran;
      for (std::size_t done = 0, k = 0; done < points; done += kChunk, ++k) {
        const std::size_t n = std::min(kChunk, points - done);
        const auto xs = sample_points(c, single, n, 0xacc0 + 1000 * k + unsigned(c.builtin));
        const std::vector<Measured> m = measure(c, single, xs, &ran);
        for (std::size_t p = 0; p < m.size(); ++p) {
          if (m[p].max_ulp > worst[p].max_ulp) {
            worst[p].max_ulp = m[p].max_ulp;
            worst[p].worst_x = m[p].worst_x;
          }
          if (m[p].max_ulp_normal > worst[p].max_ulp_normal) {
            worst[p].max_ulp_normal = m[p].max_ulp_normal;
            worst[p].worst_x_normal = m[p].worst_x_normal;
          }
        }
      }
      for (std::size_t p = 0; p < worst.size(); ++p) {
        if (!ran[p]) continue;
        std::printf("%-12s %-5s %-9s %10.6f %10.6f %8.1f  %a\n", name.c_str(),
                    single ? "f32" : "f64", paths()[p].name, worst[p].max_ulp,
                    worst[p].max_ulp_normal, c.bound, worst[p].worst_x);
      }
      std::fflush(stdout);
    }
  }
  return 0;
}
