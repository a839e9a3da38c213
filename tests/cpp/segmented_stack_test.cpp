#include "support/segmented_stack.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace tarvelon::support {
namespace {

// Depths on both sides of each segment boundary: elements keep their address and value while
// the stack grows past them, shrinking by pops and by truncation runs each destructor once,
// and the stack grows again after shrinking.
TEST(SegmentedStack, KeepsElementsInPlaceAcrossSegmentBoundaries) {
  const std::size_t depths[] = {0, 1, 3, 4, 5, 8, 9, 100, 1000};
  for (std::size_t depth : depths) {
    auto alive = std::make_shared<int>(0);
    struct Counted {
      std::shared_ptr<int> alive;
      std::string text;
      explicit Counted(std::shared_ptr<int> a, std::string t)
          : alive(std::move(a)), text(std::move(t)) {
        ++*alive;
      }
      Counted(Counted&&) = delete;
      ~Counted() { --*alive; }
    };
    {
      SegmentedStack<Counted, 4> stack;
      std::vector<const Counted*> where;
      for (int round = 0; round < 2; ++round) {
        for (std::size_t i = stack.size(); i < depth; ++i) {
          where.push_back(&stack.emplace_back(alive, "element " + std::to_string(i)));
        }
        ASSERT_EQ(stack.size(), depth);
        EXPECT_EQ(*alive, static_cast<int>(depth));
        std::size_t i = 0;
        for (const Counted& c : stack) {
          EXPECT_EQ(&c, where[i]) << depth;
          EXPECT_EQ(c.text, "element " + std::to_string(i)) << depth;
          ++i;
        }
        EXPECT_EQ(static_cast<std::size_t>(stack.end() - stack.begin()), depth);
        const std::size_t half = depth / 2;
        if (depth > 0) stack.pop_back();
        stack.truncate(half);
        where.resize(half);
        EXPECT_EQ(stack.size(), half);
        EXPECT_EQ(*alive, static_cast<int>(half));
        if (half > 0) {
          EXPECT_EQ(stack.back().text, "element " + std::to_string(half - 1));
        }
      }
    }
    EXPECT_EQ(*alive, 0) << depth;
  }
}

}  // namespace
}  // namespace tarvelon::support
