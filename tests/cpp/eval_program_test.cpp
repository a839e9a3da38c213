// The evaluator's program as a whole: blocks, strides, several results, aliasing, threads and
// working memory.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dag_build.h"
#include "eval_test_util.h"

namespace tarvelon::testing {
namespace {

using eval::Program;

Program must_build(std::string_view source, bool optimize = false) {
  auto program = build_program(source, optimize);
  if (!program) throw std::runtime_error(program.error().message);
  return std::move(*program);
}

TEST(EvalProgram, StridedReversedAndBroadcastArgumentsOverManyBlocks) {
  const Program p = must_build("|x: f32, y: i8, k: i8|\n(x * 2.0@f32, y * k + y)");
  constexpr std::size_t n = 1000;  // several blocks and a partial one
  std::vector<float> xs(2 * n);    // every other element is used
  std::vector<std::int8_t> ys(n);
  for (std::size_t i = 0; i < n; ++i) {
    xs[2 * i] = static_cast<float>(i) + 0.25f;
    ys[i] = static_cast<std::int8_t>(i);
  }
  const std::int8_t k = 3;
  std::vector<float> r0(n);
  std::vector<std::int8_t> r1(n);
  const Program::In in[] = {{reinterpret_cast<const std::byte*>(xs.data()), 8},
                            {reinterpret_cast<const std::byte*>(ys.data() + n - 1), -1},
                            {reinterpret_cast<const std::byte*>(&k), 0}};
  const Program::Out out[] = {{reinterpret_cast<std::byte*>(r0.data()), 4},
                              {reinterpret_cast<std::byte*>(r1.data()), 1}};
  auto ws = p.make_workspace();
  p.run(in, out, n, ws);
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(r0[i], xs[2 * i] * 2.0f) << i;
    const std::int8_t y = ys[n - 1 - i];
    ASSERT_EQ(r1[i], static_cast<std::int8_t>(y * 4)) << i;
  }
}

TEST(EvalProgram, WideningInstructionsDoNotOverwriteTheirOperands) {
  // Each kernel's last use of its operand writes wider elements than it reads.
  struct Widening {
    const char* source;
    double (*expected)(double);
  };
  const Widening cases[] = {
      {"|x: i8|\nx@f64", [](double x) { return x; }},
      {"|x: i8|\nx@c128", [](double x) { return x; }},
      {"|x: i16|\nx@i64 * 3", [](double x) { return 3 * x; }},
  };
  for (const Widening& c : cases) {
    const Program p = must_build(c.source);
    constexpr std::size_t n = 300;
    std::vector<std::byte> in(n * 2), out(n * 16);
    for (std::size_t i = 0; i < n; ++i) {
      const auto v = static_cast<std::int16_t>(static_cast<int>(i % 100) - 50);
      std::memcpy(in.data() + i * eval::storage_size(p.params()[0]), &v,
                  eval::storage_size(p.params()[0]));
    }
    const auto in_size = static_cast<std::ptrdiff_t>(eval::storage_size(p.params()[0]));
    const auto out_size = static_cast<std::ptrdiff_t>(eval::storage_size(p.results()[0]));
    const Program::In args[] = {{in.data(), in_size}};
    const Program::Out results[] = {{out.data(), out_size}};
    auto ws = p.make_workspace();
    p.run(args, results, n, ws);
    for (std::size_t i = 0; i < n; ++i) {
      const double x = static_cast<double>(static_cast<int>(i % 100) - 50);
      const Val got =
          from_storage(p.results()[0], out.data() + i * static_cast<std::size_t>(out_size));
      ASSERT_EQ(as_double(got), c.expected(x)) << c.source << " at " << i;
    }
  }
}

TEST(EvalProgram, AnOutputMayAliasItsInput) {
  const Program p = must_build("|x: f64, y: f64|\nx * y + x");
  std::vector<double> xs(777), ys(777, 3.0);
  for (std::size_t i = 0; i < xs.size(); ++i) xs[i] = static_cast<double>(i);
  const Program::In in[] = {{reinterpret_cast<const std::byte*>(xs.data()), 8},
                            {reinterpret_cast<const std::byte*>(ys.data()), 8}};
  const Program::Out out[] = {{reinterpret_cast<std::byte*>(xs.data()), 8}};
  auto ws = p.make_workspace();
  p.run(in, out, xs.size(), ws);
  for (std::size_t i = 0; i < xs.size(); ++i) ASSERT_EQ(xs[i], 4.0 * static_cast<double>(i));
}

/// Room for `bytes` that ends where an inaccessible page begins, so that reading or writing
/// one byte past the end faults.
class BeforeAGuardPage {
 public:
  explicit BeforeAGuardPage(std::size_t bytes) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    size_ = (bytes + page - 1) / page * page + page;
    void* base = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) throw std::bad_alloc();
    base_ = static_cast<std::byte*>(base);
    if (mprotect(base_ + size_ - page, page, PROT_NONE) != 0) throw std::bad_alloc();
    data_ = base_ + size_ - page - bytes;
  }
  ~BeforeAGuardPage() { munmap(base_, size_); }
  BeforeAGuardPage(const BeforeAGuardPage&) = delete;
  BeforeAGuardPage& operator=(const BeforeAGuardPage&) = delete;
  std::byte* data() const { return data_; }

 private:
  std::byte* base_ = nullptr;
  std::byte* data_ = nullptr;
  std::size_t size_ = 0;
};

TEST(EvalProgram, NothingPastTheCallersArraysIsReadOrWritten) {
  // Inputs read in place and results written in place, each ending at an inaccessible page, over
  // odd counts: the elementary functions compute pairs and vectors, and none may touch the
  // element after the last.
  const char* const kernels[] = {"|x: {T}| sin(x)", "|x: {T}| tanh(x)",
                                 "|x: {T}| exp(x)", "|x: {T}| sigmoid(x) * x",
                                 "|x: {T}| log(x)", "|x: {T}| softplus(x) + cos(x)"};
  for (const char* dtype : {"f32", "f64"}) {
    const std::size_t size = std::string_view(dtype) == "f32" ? 4 : 8;
    for (const char* kernel : kernels) {
      std::string source = kernel;
      for (std::size_t at; (at = source.find("{T}")) != std::string::npos;)
        source.replace(at, 3, dtype);
      const Program p = must_build(source);
      for (const std::size_t n : {std::size_t{1}, std::size_t{3}, std::size_t{257}}) {
        BeforeAGuardPage x(n * size), result(n * size);
        for (std::size_t i = 0; i < n; ++i) {
          const double v = 0.5 + 0.25 * static_cast<double>(i % 7);
          if (size == 4) {
            const float f = static_cast<float>(v);
            std::memcpy(x.data() + i * size, &f, size);
          } else {
            std::memcpy(x.data() + i * size, &v, size);
          }
        }
        const Program::In in[] = {{x.data(), static_cast<std::ptrdiff_t>(size)}};
        const Program::Out out[] = {{result.data(), static_cast<std::ptrdiff_t>(size)}};
        auto ws = p.make_workspace();
        p.run(in, out, n, ws);
        // And computed in place, over the input.
        const Program::Out over[] = {{x.data(), static_cast<std::ptrdiff_t>(size)}};
        p.run(in, over, n, ws);
        EXPECT_EQ(std::memcmp(x.data(), result.data(), n * size), 0) << source << " n " << n;
      }
    }
  }
}

TEST(EvalProgram, ContiguousInputsReadInPlaceGiveTheSameResults) {
  // An input read where it lies must survive a result stored over it before another result that
  // passes it through, and a misaligned one is copied instead.
  const Program p = must_build("|x: f64, y: f64|\n(x * y, x, y + 1.0)");
  constexpr std::size_t n = 600;
  std::vector<double> original(n), ys(n, 0.5);
  for (std::size_t i = 0; i < n; ++i) original[i] = static_cast<double>(i) - 100.25;
  for (const std::size_t misalign : {std::size_t{0}, std::size_t{1}, std::size_t{4}}) {
    std::vector<std::byte> xbytes(n * 8 + 8);
    std::byte* xs = xbytes.data() + misalign;
    std::memcpy(xs, original.data(), n * 8);
    std::vector<double> passed(n), plus_one(n);
    const Program::In in[] = {{xs, 8}, {reinterpret_cast<const std::byte*>(ys.data()), 8}};
    const Program::Out out[] = {{xs, 8},
                                {reinterpret_cast<std::byte*>(passed.data()), 8},
                                {reinterpret_cast<std::byte*>(plus_one.data()), 8}};
    auto ws = p.make_workspace();
    p.run(in, out, n, ws);
    for (std::size_t i = 0; i < n; ++i) {
      double product;
      std::memcpy(&product, xs + i * 8, 8);
      ASSERT_EQ(product, original[i] * 0.5) << misalign << ' ' << i;
      ASSERT_EQ(passed[i], original[i]) << misalign << ' ' << i;
      ASSERT_EQ(plus_one[i], 1.5) << misalign << ' ' << i;
    }
  }
}

TEST(EvalProgram, ParametersPassedThroughSurviveResultsStoredOverTheirInputs) {
  // Each result list is run with every result in turn written over input x; the other results
  // must be what a run into separate memory gives.
  const char* sources[] = {
      "|x: f32, y: f32|\n(x, x * y)", "|x: f32, y: f32|\n(x * y, x)", "|x: f32, y: f32|\n(x, x, y)",
      "|x: f32, y: f32|\n(y, x)",     "|x: f32, y: f32|\nx",
  };
  constexpr std::size_t n = 700;
  std::vector<float> original(n), ys(n);
  for (std::size_t i = 0; i < n; ++i) {
    original[i] = static_cast<float>(i) * 0.75f - 200.0f;
    ys[i] = static_cast<float>(i % 7) - 3.0f;
  }
  const auto bytes = [](const float* p) { return reinterpret_cast<const std::byte*>(p); };
  for (const char* source : sources) {
    const Program p = must_build(source);
    const std::size_t results = p.results().size();
    std::vector<std::vector<float>> expected(results, std::vector<float>(n));
    {
      std::vector<Program::Out> out;
      for (auto& e : expected) out.push_back({reinterpret_cast<std::byte*>(e.data()), 4});
      const Program::In in[] = {{bytes(original.data()), 4}, {bytes(ys.data()), 4}};
      auto ws = p.make_workspace();
      p.run(in, out, n, ws);
    }
    for (std::size_t over = 0; over < results; ++over) {
      std::vector<float> xs = original;
      std::vector<std::vector<float>> got(results, std::vector<float>(n));
      std::vector<Program::Out> out;
      for (std::size_t r = 0; r < results; ++r) {
        float* at = r == over ? xs.data() : got[r].data();
        out.push_back({reinterpret_cast<std::byte*>(at), 4});
      }
      got[over].clear();
      const Program::In in[] = {{bytes(xs.data()), 4}, {bytes(ys.data()), 4}};
      auto ws = p.make_workspace();
      p.run(in, out, n, ws);
      got[over] = xs;
      for (std::size_t r = 0; r < results; ++r) {
        EXPECT_EQ(got[r], expected[r])
            << source << ": result " << r << ", result " << over << " over x";
      }
    }
  }
}

/// Runs each kernel of parameters stored as `T` with its result in separate memory, strided,
/// misaligned and over its first input, against the contiguous result.
template <class T>
void same_wherever_written(std::initializer_list<const char*> sources) {
  constexpr std::size_t n = 600;
  constexpr std::size_t size = sizeof(T);
  std::vector<T> original(n), ys(n, T(0.5));
  for (std::size_t i = 0; i < n; ++i)
    original[i] = static_cast<T>(static_cast<double>(i) * 0.25 - 70.0);
  const auto in_bytes = [](const T* p) { return reinterpret_cast<const std::byte*>(p); };
  enum class Layout { Contiguous, Strided, Misaligned, OverX };
  for (const char* source : sources) {
    const Program p = must_build(source);
    const std::size_t out_size = eval::storage_size(p.results()[0]);
    std::vector<std::byte> expected(n * out_size);
    {
      const Program::In in[] = {{in_bytes(original.data()), size}, {in_bytes(ys.data()), size}};
      const Program::Out out[] = {{expected.data(), static_cast<std::ptrdiff_t>(out_size)}};
      auto ws = p.make_workspace();
      p.run(in, out, n, ws);
    }
    for (const Layout layout :
         {Layout::Contiguous, Layout::Strided, Layout::Misaligned, Layout::OverX}) {
      if (layout == Layout::OverX && out_size != size) continue;
      std::vector<T> xs = original;
      std::vector<std::byte> memory(n * 2 * out_size + 8);
      std::byte* at = layout == Layout::OverX        ? reinterpret_cast<std::byte*>(xs.data())
                      : layout == Layout::Misaligned ? memory.data() + 1
                                                     : memory.data();
      const auto stride =
          static_cast<std::ptrdiff_t>(layout == Layout::Strided ? 2 * out_size : out_size);
      const Program::In in[] = {{in_bytes(xs.data()), size}, {in_bytes(ys.data()), size}};
      const Program::Out out[] = {{at, stride}};
      auto ws = p.make_workspace();
      p.run(in, out, n, ws);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(std::memcmp(at + static_cast<std::ptrdiff_t>(i) * stride, &expected[i * out_size],
                              out_size),
                  0)
            << source << " layout " << int(layout) << " at " << i;
      }
    }
  }
}

TEST(EvalProgram, AResultIsTheSameWhereverItIsWritten) {
  // The last instruction writes a contiguous, aligned result in place; any other layout goes
  // through a register and the store.
  same_wherever_written<double>({
      "|x: f64, y: f64|\nx * y",        // one operator
      "|x: f64, y: f64|\nx * y + x",    // a tree
      "|x: f64, y: f64|\ntanh(x) + y",  // a builtin, then an operator
      "|x: f64, y: f64|\ntanh(x)",      // a builtin alone
      "|x: f64, y: f64|\n-x",           // an operator of one operand
      "|x: f64, y: f64|\nx@i64",        // a cast
      "|x: f64, y: f64|\nx",            // a parameter
  });
  // bf16 is stored as the float its register holds.
  same_wherever_written<float>({
      "|x: bf16, y: bf16|\nx * y",
      "|x: bf16, y: bf16|\nx * y + x",
      "|x: bf16, y: bf16|\nx",
      "|x: f32, y: f32|\nx@bf16",
      "|x: f32, y: f32|\nsoftplus(x)",
      "|x: f32, y: f32|\nsqrt(x)",
  });
}

TEST(EvalProgram, NothingIsWrittenForZeroElements) {
  const Program p = must_build("|x: u16|\nx + 1@u16");
  std::uint16_t x = 5, r = 42;
  const Program::In in[] = {{reinterpret_cast<const std::byte*>(&x), 2}};
  const Program::Out out[] = {{reinterpret_cast<std::byte*>(&r), 2}};
  Program::Workspace ws;  // an empty workspace grows to what the program needs
  p.run(in, out, 0, ws);
  EXPECT_EQ(r, 42);
  p.run(in, out, 1, ws);
  EXPECT_EQ(r, 6);
}

TEST(EvalProgram, RegistersAreReusedOnceValuesAreDead) {
  std::string source = "|x: f64|\na0 = x\n";
  for (int i = 1; i <= 300; ++i) {
    source += "a" + std::to_string(i) + " = a" + std::to_string(i - 1) + " * 1.5 + x\n";
  }
  source += "a300";
  const Program p = must_build(source);
  EXPECT_LE(p.register_count(), 3u);
  EXPECT_EQ(eval_all(p, {0.0}).at(0), Val(0.0));
}

TEST(EvalProgram, ManyDistinctConstantsStillComputeExactly) {
  std::string source = "|x: i64|\nx";
  std::int64_t sum = 0;
  for (int i = 1; i <= 300; ++i) {  // more literals than the program keeps as whole blocks
    source += " + " + std::to_string(i);
    sum += i;
  }
  const Program p = must_build(source);
  EXPECT_LE(p.register_count(), 3u);
  EXPECT_EQ(eval_all(p, {5}).at(0), Val(sum + 5));
}

TEST(EvalProgram, EachConstantTakesOneBlockInTheDtypeItIsReadIn) {
  struct Case {
    const char* source;
    std::size_t blocks;
    Val x, result;
  };
  const Case cases[] = {
      {"|x: f64|\nx", 0, 1.5, 1.5},
      {"|x: f64|\nx * 2", 1, 1.5, 3.0},              // an i64 literal read as f64 only
      {"|x: f64|\nx * 2 + 2.0", 1, 1.5, 5.0},        // the same value twice
      {"|x: f64|\n(2 + 3) * x", 1, 1.5, 7.5},        // folded: the operands are never read
      {"|x: f32|\nx * 2 + 2.5@f32", 2, 1.5, 5.5},    // two values
      {"|x: i8|\nx + (300)@i8", 1, 1, 45},           // cast wraps before the block is filled
      {"|x: f64|\n1.5@f64 + 2.5@f64", 1, 0.0, 4.0},  // a constant result is stored from a block
  };
  for (const Case& c : cases) {
    const Program p = must_build(c.source);
    EXPECT_EQ(p.constant_blocks(), c.blocks) << c.source;
    EXPECT_EQ(eval_all(p, {c.x}).at(0), c.result) << c.source;
  }
  std::string source = "|x: f64|\nx";
  for (int i = 1; i <= 100; ++i) source += " + " + std::to_string(i);
  EXPECT_EQ(must_build(source).constant_blocks(), 64u);  // the quota holds
}

TEST(EvalProgram, ConstantKernelsNeedNoRegisters) {
  const Program p = must_build("|x: f64|\n(2.0 + 3.0) * 4.0");
  EXPECT_EQ(p.register_count(), 0u);
  EXPECT_EQ(eval_all(p, {1.0}).at(0), Val(20.0));
}

TEST(EvalProgram, OptimizedKernelsComputeLikeLoweredOnes) {
  const char* sources[] = {
      "|x: i32|\nx * 2 + x * 3",
      "|x: u8, y: u8|\n(x + y) * (x + y) - x",
      "|x: f64|\nlog(1.0 + exp(x))",
      "|x: f64|\n1.0 / (1.0 + exp(-x))",
  };
  for (const char* s : sources) {
    const Program plain = must_build(s);
    const Program optimized = must_build(s, true);
    for (const Val& x : {Val(0), Val(7), Val(200)}) {
      std::vector<Val> args(plain.params().size(), x);
      if (plain.params()[0].kind == vocab::DTypeKind::Float)
        args.assign(args.size(), as_double(x) / 8);
      const Val a = eval_all(plain, args).at(0), b = eval_all(optimized, args).at(0);
      if (a.kind == Val::Kind::Float) {
        EXPECT_NEAR(a.f, b.f, 4e-16 * std::max(1.0, std::fabs(a.f))) << s;
      } else {
        EXPECT_EQ(a, b) << s;
      }
    }
  }
}

TEST(EvalProgram, EveryElementOfARunOverManyBlocksIsComputedAlike) {
  // Every element of a run over several blocks and a partial one must be what the kernel gives
  // for that element alone: a constant block filled short, or a block boundary misplaced, shows
  // past the first block. One kernel of each register width.
  const char* const sources[] = {
      "|x: f32| x * 3.0@f32 + 0.5@f32",
      "|x: f32| x - 1.5@f32",
      "|x: f32| (x * 2.0@f32)@f64 / 3.0",
      "|x: i8| x * 7@i8 + 1@i8",
      "|x: u16| x > 9@u16",
      "|x: f16| x * 0.5@f16 + 1.0@f16",
      "|x: c64| x * 2.0@c64",
      "|x: f64| (x@c128 * 2.0@c128)@f64",
  };
  for (const char* source : sources) {
    const Program p = must_build(source);
    const std::size_t n = 4 * eval::kBlock + 37;
    const vocab::DType in_dtype = p.params()[0];
    const vocab::DType out_dtype = p.results()[0];
    const std::size_t in_size = eval::storage_size(in_dtype);
    const std::size_t out_size = eval::storage_size(out_dtype);
    std::vector<std::byte> xs(n * in_size), got(n * out_size);
    for (std::size_t i = 0; i < n; ++i) {
      const std::vector<std::byte> x = to_storage(in_dtype, Val(static_cast<int>(i % 200) - 100));
      std::memcpy(xs.data() + i * in_size, x.data(), in_size);
    }
    const Program::In in[] = {{xs.data(), static_cast<std::ptrdiff_t>(in_size)}};
    const Program::Out out[] = {{got.data(), static_cast<std::ptrdiff_t>(out_size)}};
    auto ws = p.make_workspace();
    p.run(in, out, n, ws);
    for (std::size_t i = 0; i < n; ++i) {
      const Val alone = eval_all(p, {Val(static_cast<int>(i % 200) - 100)}).at(0);
      ASSERT_EQ(from_storage(out_dtype, got.data() + i * out_size), alone) << source << " at " << i;
    }
  }
}

TEST(EvalProgram, F16TreesGiveEachElementsOwnResultInEveryLayout) {
  // Where a unit's f16 trees read and write f16 storage directly, an input read in place, one
  // copied from strided or misaligned memory, a result written in place or through the store,
  // and a partial last tile must all give what each element gives alone: every operation
  // rounded once to f16, halves of every kind (subnormals, infinities, NaNs) included.
  const char* const sources[] = {
      "|x: f16, y: f16| x * y + x",                // leaves read as halves
      "|x: f16, y: f16| (x - y) / (y + 1.0@f16)",  // a slot and a constant
      "|x: f16, y: f16| x * x * x + x * y - x",    // an operand kept in a slot
      "|x: f16, y: f16| -(x * y) + x@f32@f16",     // one leaf also read by a cast
      "|x: f16, y: f16| (x * y + y, x)",           // an input passed through
      "|x: f16, y: f16| (x * y + x)@f32",          // a result not stored as f16
  };
  enum class Layout { Contiguous, Strided, Misaligned };
  const vocab::DType f16 = vocab::dtypes::kF16;
  for (const char* source : sources) {
    const Program p = must_build(source);
    for (const std::size_t n :
         {std::size_t{1}, std::size_t{17}, std::size_t{128}, std::size_t{eval::kBlock + 129}}) {
      std::vector<std::uint16_t> xs(n), ys(n);
      for (std::size_t i = 0; i < n; ++i) {
        xs[i] = static_cast<std::uint16_t>(i * 40503u + 7u);
        ys[i] = static_cast<std::uint16_t>(i * 2654435761u >> 16);
      }
      std::vector<std::vector<Val>> alone(n);
      for (std::size_t i = 0; i < n; ++i) {
        alone[i] = eval_all(p, {from_storage(f16, reinterpret_cast<const std::byte*>(&xs[i])),
                                from_storage(f16, reinterpret_cast<const std::byte*>(&ys[i]))});
      }
      for (const Layout in_layout : {Layout::Contiguous, Layout::Strided, Layout::Misaligned}) {
        for (const Layout out_layout : {Layout::Contiguous, Layout::Strided, Layout::Misaligned}) {
          const std::size_t gap = in_layout == Layout::Strided ? 2 : 1;
          const std::size_t shift = in_layout == Layout::Misaligned ? 1 : 0;
          std::vector<std::byte> x_mem(n * 2 * gap + 1), y_mem(n * 2 * gap + 1);
          for (std::size_t i = 0; i < n; ++i) {
            std::memcpy(&x_mem[shift + i * 2 * gap], &xs[i], 2);
            std::memcpy(&y_mem[shift + i * 2 * gap], &ys[i], 2);
          }
          const auto in_stride = static_cast<std::ptrdiff_t>(2 * gap);
          const Program::In in[] = {{x_mem.data() + shift, in_stride},
                                    {y_mem.data() + shift, in_stride}};
          std::vector<Program::Out> out;
          std::vector<std::vector<std::byte>> out_mem;
          for (const vocab::DType d : p.results()) {
            const std::size_t size = eval::storage_size(d);
            const std::size_t out_gap = out_layout == Layout::Strided ? 2 : 1;
            const std::size_t out_shift = out_layout == Layout::Misaligned ? 1 : 0;
            out_mem.emplace_back(n * size * out_gap + 1);
            out.push_back(
                {out_mem.back().data() + out_shift, static_cast<std::ptrdiff_t>(size * out_gap)});
          }
          for (const bool stream : {false, true}) {
            auto ws = p.make_workspace();
            p.run(in, out, n, ws, stream);
            for (std::size_t k = 0; k < out.size(); ++k) {
              for (std::size_t i = 0; i < n; ++i) {
                const Val got = from_storage(
                    p.results()[k], out[k].data + static_cast<std::ptrdiff_t>(i) * out[k].stride);
                ASSERT_EQ(got, alone[i][k])
                    << source << " n " << n << " layouts " << int(in_layout) << "/"
                    << int(out_layout) << " stream " << stream << " result " << k << " at " << i;
              }
            }
          }
        }
      }
    }
  }
}

TEST(EvalProgram, ThreadsShareOneProgramWithTheirOwnWorkspaces) {
  const Program p = must_build("|x: f32|\ntanh(x) * sigmoid(x) + x@f16@f32");
  constexpr std::size_t n = 5000;
  std::vector<float> xs(n);
  for (std::size_t i = 0; i < n; ++i) xs[i] = static_cast<float>(i) / 100.0f - 25.0f;
  const Program::In in[] = {{reinterpret_cast<const std::byte*>(xs.data()), 4}};
  std::vector<float> expected(n);
  {
    const Program::Out out[] = {{reinterpret_cast<std::byte*>(expected.data()), 4}};
    auto ws = p.make_workspace();
    p.run(in, out, n, ws);
  }
  std::vector<std::vector<float>> got(4, std::vector<float>(n));
  std::vector<std::thread> threads;
  for (auto& g : got) {
    threads.emplace_back([&] {
      const Program::Out out[] = {{reinterpret_cast<std::byte*>(g.data()), 4}};
      auto ws = p.make_workspace();
      for (int rep = 0; rep < 5; ++rep) p.run(in, out, n, ws);
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& g : got) EXPECT_EQ(std::memcmp(g.data(), expected.data(), n * 4), 0);
}

TEST(EvalProgram, MalformedDagsAreRefusedNotFollowed) {
  using vocab::dtypes::kF64;
  namespace node = ir::node;
  struct Malformed {
    const char* what;
    std::vector<ir::Node> nodes;
  };
  const Malformed cases[] = {
      {"operand past the end", {node::Param{0}, node::Binary{0, 7, vocab::BinaryOp::Add}}},
      {"parameter past the list", {node::Param{3}}},
      {"cycle",
       {node::Param{0}, node::Binary{0, 2, vocab::BinaryOp::Add},
        node::Binary{1, 0, vocab::BinaryOp::Mul}}},
      {"call of two arguments", {node::Param{0}, node::Call{{0, 0}, vocab::Builtin::Exp}}},
  };
  for (const Malformed& c : cases) {
    DagBuilder b;
    b.param("x", kF64);
    for (const ir::Node& n : c.nodes) b.add(n, kF64);
    b.dag.outputs = {static_cast<ir::NodeId>(c.nodes.size() - 1)};
    auto program = Program::build(b.dag);
    ASSERT_FALSE(program.has_value()) << c.what;
    EXPECT_EQ(program.error().message, "cannot evaluate a malformed typed DAG") << c.what;
  }
}

}  // namespace
}  // namespace tarvelon::testing
