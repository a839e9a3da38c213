#include "support/block_recycler.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "support/releaser.h"

namespace tarvelon::support {
namespace {

constexpr std::size_t KiB = 1024;

/// Starts from an empty recycler, with no structure still being freed in the background.
void start_empty() {
  wait_for_releases();
  release_recycled_blocks();
}

TEST(BlockRecycler, ALargeBlockGivenBackServesTheNextRequestOfItsSize) {
  struct Case {
    std::size_t given;
    std::size_t kept;  ///< bytes held after giving it back
    std::size_t asked;
    bool reused;
  };
  const Case cases[] = {
      {kRecycledBlockMin - 1, 0, kRecycledBlockMin - 1, false},
      {kRecycledBlockMin, kRecycledBlockMin, kRecycledBlockMin, true},
      {40 * KiB, 64 * KiB, 60 * KiB, true},
      {64 * KiB, 64 * KiB, 64 * KiB + 1, false},
      {kRecycledBlockMax, kRecycledBlockMax, kRecycledBlockMax - 1, true},
      {kRecycledBlockMax + 1, 0, kRecycledBlockMax + 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    start_empty();
    void* block = take_block(c.given);
    std::memset(block, 1, c.given);
    give_block(block, c.given);
    EXPECT_EQ(recycler_kept_bytes(), c.kept);
    void* again = take_block(c.asked);
    if (c.reused) {
      EXPECT_EQ(again, block);
      EXPECT_EQ(recycler_kept_bytes(), 0u);
    } else {
      EXPECT_EQ(recycler_kept_bytes(), c.kept);
    }
    std::memset(again, 2, c.asked);
    give_block(again, c.asked);
  }
  start_empty();
}

TEST(BlockRecycler, WhatIsKeptStaysWithinItsBounds) {
  struct Case {
    std::size_t size;
    std::size_t count;
    std::size_t kept;
  };
  const Case cases[] = {
      {kRecycledBlockMax, 6, kRecyclerCapacity},  // the total
      {64 * KiB, 20, 8 * 64 * KiB},               // the blocks of one size
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    start_empty();
    std::vector<void*> blocks;
    for (std::size_t i = 0; i < c.count; ++i) blocks.push_back(take_block(c.size));
    for (void* block : blocks) give_block(block, c.size);
    EXPECT_EQ(recycler_kept_bytes(), c.kept);
  }
  start_empty();
}

TEST(BlockRecycler, ThreadsNeverShareABlock) {
  start_empty();
  constexpr int kThreads = 4;
  std::vector<std::thread> threads;
  std::vector<int> faults(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &faults] {
      for (std::size_t i = 0; i < 2000; ++i) {
        const std::size_t bytes = (32 + (i * 7 + t) % 200) * KiB;
        auto* block = static_cast<std::uint8_t*>(take_block(bytes));
        std::memset(block, t, bytes);
        std::this_thread::yield();
        if (block[0] != t || block[bytes - 1] != t) ++faults[t];
        give_block(block, bytes);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(faults, std::vector<int>(kThreads, 0));
  EXPECT_LE(recycler_kept_bytes(), kRecyclerCapacity);
  start_empty();
}

}  // namespace
}  // namespace tarvelon::support
