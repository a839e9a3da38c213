#include "egraph/arena_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

namespace tarvelon::egraph {
namespace {

std::vector<std::uint32_t> values(const ArenaList<std::uint32_t>& list) {
  return {list.begin(), list.end()};
}

// Lists interleave their growth in one arena, as a store's classes do: each keeps its own values
// in order, across moves to larger pieces and across the arena's blocks.
TEST(ArenaList, InterleavedListsKeepTheirValuesThroughGrowth) {
  for (std::size_t n : {1u, 2u, 3u, 17u, 1000u, 5000u}) {
    SCOPED_TRACE(n);
    Arena arena;
    ArenaList<std::uint32_t> a, b;
    std::vector<std::uint32_t> want_a, want_b;
    for (std::uint32_t i = 0; i < n; ++i) {
      a.push_back(i, arena);
      want_a.push_back(i);
      if (i % 3 == 0) {
        b.push_back(~i, arena);
        want_b.push_back(~i);
      }
    }
    EXPECT_EQ(values(a), want_a);
    EXPECT_EQ(values(b), want_b);
  }
}

TEST(ArenaList, ASingleValueListGrowsOutOfItsPieceWithoutTouchingItsNeighbours) {
  // A single-value list's piece holds one value: growing must move it, not write past it into
  // the list allocated right after.
  Arena arena;
  ArenaList<std::uint32_t> a = ArenaList<std::uint32_t>::single(7, arena);
  ArenaList<std::uint32_t> b = ArenaList<std::uint32_t>::single(8, arena);
  EXPECT_EQ(values(a), std::vector<std::uint32_t>{7});
  a.push_back(1, arena);
  a.append(b.data(), b.size(), arena);
  EXPECT_EQ(values(a), (std::vector<std::uint32_t>{7, 1, 8}));
  EXPECT_EQ(values(b), std::vector<std::uint32_t>{8});
}

TEST(ArenaList, AListMadeWithRoomFillsItInPlaceThenGrowsWithoutTouchingItsNeighbour) {
  for (std::size_t room : {1u, 4u, 9u}) {
    SCOPED_TRACE(room);
    Arena arena;
    ArenaList<std::uint32_t> a = ArenaList<std::uint32_t>::with_room(room, arena);
    ArenaList<std::uint32_t> b = ArenaList<std::uint32_t>::single(99, arena);
    EXPECT_TRUE(a.empty());
    const std::uint32_t* piece = a.data();
    std::vector<std::uint32_t> want;
    for (std::uint32_t i = 0; i < room; ++i) {
      a.push_back(i, arena);
      want.push_back(i);
    }
    EXPECT_EQ(a.data(), piece);
    a.push_back(1000, arena);
    want.push_back(1000);
    EXPECT_NE(a.data(), piece);
    EXPECT_EQ(values(a), want);
    EXPECT_EQ(values(b), std::vector<std::uint32_t>{99});
  }
}

TEST(ArenaList, AppendSwapTruncateAndMoveActAsOnAVector) {
  Arena arena;
  ArenaList<std::uint32_t> a, b;
  for (std::uint32_t i = 0; i < 5; ++i) a.push_back(i, arena);
  for (std::uint32_t i = 10; i < 12; ++i) b.push_back(i, arena);
  a.append(b.data(), b.size(), arena);
  EXPECT_EQ(values(a), (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 10, 11}));
  a.append(nullptr, 0, arena);
  EXPECT_EQ(a.size(), 7u);
  a.swap(b);
  EXPECT_EQ(values(b), (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 10, 11}));
  EXPECT_EQ(values(a), (std::vector<std::uint32_t>{10, 11}));
  b.truncate(3);
  EXPECT_EQ(values(b), (std::vector<std::uint32_t>{0, 1, 2}));
  b.push_back(9, arena);
  EXPECT_EQ(values(b), (std::vector<std::uint32_t>{0, 1, 2, 9}));
  ArenaList<std::uint32_t> moved = std::move(b);
  EXPECT_EQ(values(moved), (std::vector<std::uint32_t>{0, 1, 2, 9}));
  EXPECT_EQ(values(b), values(moved));  // a move copies the view
  a.clear();
  EXPECT_TRUE(a.empty());
}

TEST(Arena, HandsOutAlignedPiecesAndGrowsByBlocks) {
  Arena arena;
  const std::pair<std::size_t, std::size_t> requests[] = {{1, 1}, {8, 8},     {3, 4}, {16, 16},
                                                          {1, 8}, {10000, 8}, {5, 16}};
  for (const auto& [bytes, align] : requests) {
    void* p = arena.allocate(bytes, align);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % align, 0u) << bytes << " " << align;
  }
  // The 10,000-byte piece did not fit the first block: a block of its own size was taken.
  EXPECT_GE(arena.reserved(), 10000u + 4096u);
}

}  // namespace
}  // namespace tarvelon::egraph
