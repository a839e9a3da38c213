// Long runs shared with the worker pool. The suite is named ThreadSafety so that the
// ThreadSanitizer build runs it with the other tests that start threads.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "dag_build.h"
#include "eval/parallel.h"
#include "eval_test_util.h"

namespace tarvelon::testing {
namespace {

using eval::Program;

/// Inputs and outputs of a two-result kernel over strided, reversed and broadcast operands.
struct Operands {
  static constexpr const char* kSource =
      "|x: f32, y: i16, k: f64|\n(x * sigmoid(x) + 1.5@f32, y * y + (k * y@f64)@i16)";
  explicit Operands(std::size_t count) : n(count), xs(2 * count), ys(count), r0(count), r1(count) {
    for (std::size_t i = 0; i < n; ++i) {
      xs[2 * i] = static_cast<float>(static_cast<double>(i % 9973) * 0.01 - 50.0);
      ys[i] = static_cast<std::int16_t>(i * 7919);
    }
  }
  std::vector<Program::In> in() const {
    return {{reinterpret_cast<const std::byte*>(xs.data()), 8},
            {reinterpret_cast<const std::byte*>(n == 0 ? ys.data() : ys.data() + (n - 1)), -2},
            {reinterpret_cast<const std::byte*>(&k), 0}};
  }
  std::vector<Program::Out> out() {
    return {{reinterpret_cast<std::byte*>(r0.data()), 4},
            {reinterpret_cast<std::byte*>(r1.data()), 2}};
  }
  bool same_bits(const Operands& o) const {
    return (n == 0 || std::memcmp(r0.data(), o.r0.data(), n * sizeof(float)) == 0) && r1 == o.r1;
  }

  std::size_t n;
  double k = 0.375;
  std::vector<float> xs;
  std::vector<std::int16_t> ys;
  std::vector<float> r0;
  std::vector<std::int16_t> r1;
};

Program must_build(std::string_view source) {
  auto program = build_program(source, false);
  if (!program) throw std::runtime_error(program.error().message);
  return std::move(*program);
}

eval::ParallelOptions on(std::size_t threads, bool measure = true) {
  eval::ParallelOptions options;
  options.threads = threads;
  options.measure = measure;
  return options;
}

/// What Program::run alone computes.
Operands serial(const Program& p, std::size_t n) {
  Operands r(n);
  Program::Workspace ws = p.make_workspace();
  p.run(r.in(), r.out(), n, ws);
  return r;
}

TEST(ThreadSafety, PoolGivesTheSameBitsForAnyThreadCountAndLength) {
  const Program p = must_build(Operands::kSource);
  using eval::kBlock, eval::kParallelMinimum, eval::kPiece, eval::kProbe;
  // Either side of the pool's minimum and of the timed first piece, lengths ending in a partial
  // block, and either side of where pieces stop growing with the length on 2 and 5 threads.
  const std::size_t lengths[] = {0,
                                 1000,
                                 kProbe + 1,
                                 kParallelMinimum - 1,
                                 kParallelMinimum,
                                 kParallelMinimum + kPiece + 3,
                                 7 * kPiece + 129,
                                 8 * kPiece - kBlock + 1,
                                 8 * kPiece + kBlock + 1,
                                 20 * kPiece + 7};
  for (std::size_t n : lengths) {
    const Operands expected = serial(p, n);
    for (bool measure : {true, false}) {
      for (std::size_t threads : {1, 2, 3, 5}) {
        Operands r(n);
        Program::Workspace ws;
        EXPECT_TRUE(eval::run_parallel(p, r.in(), r.out(), n, ws, on(threads, measure)));
        EXPECT_TRUE(r.same_bits(expected))
            << n << " elements on " << threads << " threads, measured " << measure;
      }
    }
  }
}

TEST(ThreadSafety, ShortRunsOfCheapAndCostlyKernelsGiveTheSameBitsAsOneThread) {
  // A kernel that only copies stays on one thread far longer than a costly one; both are run
  // back to back, so that the workers are both asleep and still watching for work.
  const char* sources[] = {"|x: f32, y: i16, k: f64|\n(x, y)", Operands::kSource};
  const std::size_t lengths[] = {eval::kParallelMinimum, 3 * eval::kPiece + 1, 12 * eval::kPiece};
  for (const char* source : sources) {
    const Program p = must_build(source);
    for (std::size_t n : lengths) {
      const Operands expected = serial(p, n);
      Program::Workspace ws;
      for (int round = 0; round < 4; ++round) {
        Operands r(n);
        EXPECT_TRUE(eval::run_parallel(p, r.in(), r.out(), n, ws, on(2)));
        EXPECT_TRUE(r.same_bits(expected)) << source << ", " << n << " elements, round " << round;
      }
    }
  }
}

TEST(ThreadSafety, ResultsLargeEnoughToStreamAreTheSameForAnyThreadCount) {
  const Program p = must_build("|x: f32| x * x + 1.0@f32");
  const std::size_t n = eval::kStreamMinimum / sizeof(float) + 2 * eval::kPiece + 5;
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<float>(i % 4099) * 0.25f - 512.0f;
  const Program::In in[] = {{reinterpret_cast<const std::byte*>(x.data()), sizeof(float)}};
  const auto result = [&](std::size_t threads) {
    std::vector<float> r(n, -1.0f);
    const Program::Out out[] = {{reinterpret_cast<std::byte*>(r.data()), sizeof(float)}};
    Program::Workspace ws;
    if (threads == 0) {
      p.run(in, out, n, ws);
    } else {
      EXPECT_TRUE(eval::run_parallel(p, in, out, n, ws, on(threads)));
    }
    return r;
  };
  const std::vector<float> expected = result(0);
  for (std::size_t threads : {1, 2, 3}) {
    EXPECT_TRUE(result(threads) == expected) << threads << " threads";
  }
}

TEST(ThreadSafety, CallersAtOnceShareThePoolOrRunAlone) {
  const Program p = must_build(Operands::kSource);
  const std::size_t n = 9 * eval::kPiece + 5;
  const Operands expected = serial(p, n);
  constexpr int kCallers = 4;
  std::vector<int> wrong(kCallers, 0);
  std::vector<std::thread> callers;
  for (int t = 0; t < kCallers; ++t) {
    callers.emplace_back([&, t] {
      Program::Workspace ws;
      for (int round = 0; round < 5; ++round) {
        Operands r(n);
        if (!eval::run_parallel(p, r.in(), r.out(), n, ws, on(3)) || !r.same_bits(expected))
          ++wrong[t];
      }
    });
  }
  for (std::thread& c : callers) c.join();
  for (int t = 0; t < kCallers; ++t) EXPECT_EQ(wrong[t], 0) << "caller " << t;
}

TEST(ThreadSafety, StoppingEndsTheRunAfterTheStartedPieces) {
  const Program p = must_build(Operands::kSource);
  const std::size_t n = 20 * eval::kPiece;
  const Operands expected = serial(p, n);
  for (std::size_t threads : {1, 2, 4}) {
    for (bool measure : {true, false}) {
      Operands r(n);
      const std::int16_t untouched = 0x5555;
      std::fill(r.r1.begin(), r.r1.end(), untouched);
      std::atomic<int> asked{0};
      Program::Workspace ws;
      eval::ParallelOptions options = on(threads, measure);
      options.keep_going = [&] {
        ++asked;
        return false;
      };
      EXPECT_FALSE(eval::run_parallel(p, r.in(), r.out(), n, ws, options)) << threads;
      EXPECT_EQ(asked.load(), 1) << "asked again after being told to stop, " << threads;
      // Alone, or timing its first piece before it hands any out, the calling thread is asked
      // before anything is computed; with workers at once, how far they got depends on the
      // scheduler.
      if (threads == 1 || measure) {
        EXPECT_EQ(std::count(r.r1.begin(), r.r1.end(), untouched), std::ptrdiff_t(n));
      }
      // The pool is usable again afterwards.
      Operands again(n);
      EXPECT_TRUE(eval::run_parallel(p, again.in(), again.out(), n, ws, on(threads, measure)));
      EXPECT_TRUE(again.same_bits(expected));
    }
  }
}

// Outside the ThreadSanitizer suite: that runtime does not follow a fork of a threaded process.
TEST(EvalParallel, ChildOfForkRunsOnAPoolOfItsOwn) {
  const Program p = must_build(Operands::kSource);
  const std::size_t n = 6 * eval::kPiece;
  const Operands expected = serial(p, n);
  Program::Workspace ws;
  Operands before(n);
  ASSERT_TRUE(eval::run_parallel(p, before.in(), before.out(), n, ws, on(2)));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);  // a deadlocked child is killed, and the parent sees the signal
    Operands r(n);
    const bool ok = eval::run_parallel(p, r.in(), r.out(), n, ws, on(2));
    _exit(ok && r.same_bits(expected) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tarvelon::testing
