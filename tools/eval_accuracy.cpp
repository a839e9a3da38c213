// Prints the worst error, in ulps, of every float builtin of the typed evaluator in f32 and f64,
// through the whole program and through each vector unit's kernel the CPU has, measured against
// MPFR on many points per function (ten million unless given), over all points and over those whose
// result is not subnormal:
//   eval_accuracy [points per function] [builtin,builtin,...] [f32|f64]
// or, for the f32 builtins with a reference in double, over every one of the 2^32 f32 arguments
// against that reference (its own error, 2^-29 of an f32 ulp, is beside the point):
//   eval_accuracy every-f32 [builtin,builtin,...]
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "eval_ulp.h"

namespace {

using tarvelon::vocab::Builtin;

/// The f32 builtins whose exact value a double computes well within 2^-28 of an f32 ulp.
struct DoubleReference {
  Builtin builtin;
  double (*exact)(double);
};
constexpr DoubleReference kDoubleReferences[] = {
    {Builtin::Tanh, [](double x) { return std::tanh(x); }},
    {Builtin::Sigmoid, [](double x) { return 1.0 / (1.0 + std::exp(-x)); }},
    {Builtin::ExpSigmoid, [](double x) { return 1.0 / (1.0 + std::exp(-std::exp(x))); }},
    {Builtin::Softplus,
     [](double x) { return x > 0 ? x + std::log1p(std::exp(-x)) : std::log1p(std::exp(x)); }},
    {Builtin::SigmoidLog,
     [](double x) { return x < 0 ? x - std::log1p(std::exp(x)) : -std::log1p(std::exp(-x)); }},
};

/// `got` against `want` in ulps of the f32 format at `want`: NaN against NaN is exact.
double f32_ulps(float got, double want) {
  if (std::isnan(want) || std::isnan(got)) return std::isnan(want) && std::isnan(got) ? 0 : 1e9;
  if (std::isinf(want)) return got == want ? 0 : 1e9;
  const int exponent = want == 0 ? -126 : std::max(std::ilogb(want), -126);
  return std::fabs(static_cast<double>(got) - want) / std::ldexp(1.0, exponent - 23);
}

/// Every f32 argument through each vector unit's kernel and the baseline's, a block at a time.
void every_f32(const std::string& only) {
  using namespace tarvelon::testing;  // NOLINT
  constexpr std::size_t kBlock = tarvelon::eval::detail::kMaxBlock;
  std::printf("%-12s %-9s %10s  %s\n", "builtin", "path", "max ulp", "worst x");
  for (const DoubleReference& ref : kDoubleReferences) {
    const std::string name(tarvelon::vocab::builtin_name(ref.builtin));
    if (!only.empty() && only.find("," + name + ",") == std::string::npos) continue;
    std::vector<tarvelon::eval::detail::OpFn> kernels;
    std::vector<const char*> names;
    for (const Path& p : paths()) {
      if (p.kernel == nullptr || tarvelon::eval::detail::cpu_vectors() < p.needs) continue;
      if (auto fn = p.kernel(ref.builtin, true)) {
        kernels.push_back(fn);
        names.push_back(p.name);
      }
    }
    std::vector<double> worst(kernels.size(), 0.0);
    std::vector<float> worst_x(kernels.size(), 0.0f);
    std::vector<float> in(kBlock + 1), out(kBlock + 1);  // the baseline may touch one past
    std::vector<double> want(kBlock);
    for (std::uint64_t start = 0; start < (std::uint64_t{1} << 32); start += kBlock) {
      for (std::size_t i = 0; i < kBlock; ++i) {
        in[i] = std::bit_cast<float>(static_cast<std::uint32_t>(start + i));
        want[i] = ref.exact(in[i]);
      }
      for (std::size_t k = 0; k < kernels.size(); ++k) {
        kernels[k](reinterpret_cast<std::byte*>(out.data()),
                   reinterpret_cast<const std::byte*>(in.data()), nullptr, nullptr, kBlock);
        for (std::size_t i = 0; i < kBlock; ++i) {
          const double e = f32_ulps(out[i], want[i]);
          if (e > worst[k]) {
            worst[k] = e;
            worst_x[k] = in[i];
          }
        }
      }
    }
    for (std::size_t k = 0; k < kernels.size(); ++k) {
      std::printf("%-12s %-9s %10.6f  %a\n", name.c_str(), names[k], worst[k],
                  static_cast<double>(worst_x[k]));
    }
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarvelon::testing;  // NOLINT
  if (argc > 1 && std::string(argv[1]) == "every-f32") {
    every_f32(argc > 2 ? "," + std::string(argv[2]) + "," : "");
    return 0;
  }
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
