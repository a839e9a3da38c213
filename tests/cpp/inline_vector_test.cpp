#include "support/inline_vector.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace tarvelon::support {
namespace {

using Vec = InlineVector<std::uint32_t, 2>;

std::vector<std::uint32_t> items(const Vec& v) { return {v.begin(), v.end()}; }

// Lists on either side of the inline room keep their values through every way of making,
// copying, moving and growing them; a moved-from list is empty and usable.
TEST(InlineVector, KeepsItsValuesInsideAndOnTheHeap) {
  for (std::uint32_t n : {0u, 1u, 2u, 3u, 7u, 100u}) {
    SCOPED_TRACE(n);
    std::vector<std::uint32_t> want;
    for (std::uint32_t i = 0; i < n; ++i) want.push_back(i * 7 + 1);
    Vec built(want.begin(), want.end());
    Vec pushed;
    for (std::uint32_t x : want) pushed.push_back(x);
    EXPECT_EQ(items(built), want);
    EXPECT_EQ(items(pushed), want);
    EXPECT_EQ(built, pushed);
    EXPECT_EQ(built.size(), n);
    EXPECT_EQ(built.empty(), n == 0);

    Vec copy = built;
    Vec assigned{9, 9, 9};
    assigned = built;
    EXPECT_EQ(items(copy), want);
    EXPECT_EQ(items(assigned), want);
    Vec moved = std::move(copy);
    EXPECT_EQ(items(moved), want);
    EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): moved-from state is specified
    copy.push_back(5);
    EXPECT_EQ(items(copy), std::vector<std::uint32_t>{5});

    if (n > 0) {
      moved[0] = 42;
      EXPECT_EQ(moved.front(), 42u);
      EXPECT_FALSE(moved == built);
    }
  }
}

TEST(InlineVector, ListsOfDifferentLengthsDiffer) {
  EXPECT_FALSE((Vec{1}) == (Vec{1, 2}));
  EXPECT_FALSE((Vec{}) == (Vec{0}));
  EXPECT_TRUE((Vec{1, 2, 3}) == (Vec{1, 2, 3}));
}

}  // namespace
}  // namespace tarvelon::support
