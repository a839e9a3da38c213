#include "support/stack_guard.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace tarvelon::support {
namespace {

// Deliberately not tail-recursive, with a frame that is not trivially small.
std::size_t depth_sum(std::size_t n) {
  if (n == 0) return 0;
  volatile char pad[64] = {};
  pad[0] = static_cast<char>(n);
  return with_stack_guard([&] { return depth_sum(n - 1); }) + 1 + (pad[0] & 0);
}

TEST(StackGuard, MillionLevelsOfRecursion) {
  const std::size_t before = fresh_segments_used();
  EXPECT_EQ(depth_sum(1'000'000), 1'000'000u);
  EXPECT_GT(fresh_segments_used(), before);
}

void throw_at(std::size_t n) {
  if (n == 0) throw std::runtime_error("bottom");
  with_stack_guard([&] { throw_at(n - 1); });
}

TEST(StackGuard, ExceptionCrossesSegmentsIntact) {
  try {
    throw_at(200'000);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "bottom");
  }
  // The guard is still usable after an exception unwound through many segments.
  EXPECT_EQ(depth_sum(300'000), 300'000u);
}

TEST(StackGuard, ReturnsReferencesAndMoveOnlyValues) {
  std::string s = "kept";
  std::string& r = with_stack_guard([&]() -> std::string& { return s; });
  EXPECT_EQ(&r, &s);
  auto p = with_stack_guard([] { return std::make_unique<int>(7); });
  EXPECT_EQ(*p, 7);
}

}  // namespace
}  // namespace tarvelon::support
