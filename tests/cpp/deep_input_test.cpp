// Kernels nested a million levels deep, in every way the language nests: parsing, lowering and
// tearing the tree down run on a thread with a small stack, never move to a fresh stack segment
// (so no recursion is left to save them), and teardown allocates nothing.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdlib>
#include <exception>
#include <functional>
#include <new>
#include <string>

#include "deep_input.h"
#include "ir/lower.h"
#include "parse/parser.h"
#include "support/stack_guard.h"

namespace {

thread_local bool counting_allocations = false;
thread_local std::size_t allocations = 0;

}  // namespace

// Every allocation through `new` in this test binary goes through here, so a test can count the
// allocations a piece of code makes on its thread. (The replacements pair `new` with `free`
// by design, which the compiler would otherwise flag where it inlines them.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  if (counting_allocations) ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace tarvelon {
namespace {

constexpr std::size_t kDepth = test::kDeepInput;

/// Far less than a recursion over kDepth levels would need, at any frame size.
constexpr std::size_t kSmallStack = 512 * 1024;

/// Runs `f` on a new thread whose whole stack is `kSmallStack` bytes; rethrows what it throws.
void on_small_stack(const std::function<void()>& f) {
  struct Job {
    const std::function<void()>* f;
    std::exception_ptr error;
  } job{&f, nullptr};
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, kSmallStack), 0);
  pthread_t thread;
  auto run = [](void* p) -> void* {
    auto* j = static_cast<Job*>(p);
    try {
      (*j->f)();
    } catch (...) {
      j->error = std::current_exception();
    }
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, &job), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  if (job.error) std::rethrow_exception(job.error);
}

/// A kernel whose body is `open` repeated, then `leaf`, then `close` repeated, kDepth times.
struct Nesting {
  const char* name;
  const char* open;
  const char* leaf;
  const char* close;
  std::size_t nodes_per_level;  ///< syntax nodes each level adds
};

const Nesting kNestings[] = {
    {"prefix_minus", "-", "x", "", 1},
    {"prefix_not", "!", "b", "", 1},
    {"parentheses", "(", "x", ")", 0},
    {"minus_of_parentheses", "-(", "x", ")", 1},
    {"left_chain", "", "x", " + x", 2},
    {"right_power_chain", "x ** ", "x", "", 2},
    {"calls", "exp(", "x", ")", 1},
    {"cast_calls", "cast<f32>(", "x", ")", 1},
    {"cast_suffixes", "", "x", "@f32", 1},
    {"conditions", "if ", "b", " then b else b", 3},
    {"else_branches", "if b then x else ", "x", "", 3},
};

class DeepNesting : public testing::TestWithParam<Nesting> {};

std::string kernel_of(const Nesting& n) {
  std::string source = "|x: f64, b: bool| ";
  for (std::size_t k = 0; k < kDepth; ++k) source += n.open;
  source += n.leaf;
  for (std::size_t k = 0; k < kDepth; ++k) source += n.close;
  return source;
}

TEST_P(DeepNesting, ParsesLowersAndTearsDownInConstantStack) {
  const Nesting& n = GetParam();
  const std::string source = kernel_of(n);
  on_small_stack([&] {
    auto def = parse::parse_dsl_with_errors(source);
    ASSERT_TRUE(def.has_value()) << diag::format_diags(def.error());
    std::size_t nodes = 0;
    parse::for_each_node(def->body, [&](const parse::SpannedExpr&) { ++nodes; });
    EXPECT_EQ(nodes, kDepth * n.nodes_per_level + 1);

    auto lowered = ir::lower_with_config_collect(*def, {});
    EXPECT_TRUE(lowered.errors.empty());

    counting_allocations = true;
    allocations = 0;
    { auto doomed = std::move(def); }
    counting_allocations = false;
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(support::fresh_segments_used(), 0u) << "this thread moved to a fresh segment";
  });
}

INSTANTIATE_TEST_SUITE_P(Shapes, DeepNesting, testing::ValuesIn(kNestings),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DeepNesting, AssignmentChainsAndWideListsTearDownWithoutAllocating) {
  std::string source = "|x: f64|\n";
  for (std::size_t k = 0; k < kDepth; ++k) source += "x = x + 1.5\n";
  source += "f(x";
  for (std::size_t k = 0; k < kDepth; ++k) source += ", (x, -x)";
  source += ")";
  on_small_stack([&] {
    auto def = parse::parse_dsl_with_errors(source);
    ASSERT_TRUE(def.has_value());
    counting_allocations = true;
    allocations = 0;
    { auto doomed = std::move(def); }
    counting_allocations = false;
    EXPECT_EQ(allocations, 0u);
  });
}

}  // namespace
}  // namespace tarvelon
