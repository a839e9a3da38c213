#include "support/large_pages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace tarvelon::support {
namespace {

TEST(LargePages, MappedMemoryIsAlignedZeroedAndWritable) {
  for (std::size_t pages : {1u, 3u}) {
    const std::size_t bytes = pages * kLargePage;
    auto* at = static_cast<unsigned char*>(map_large_pages(bytes));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(at) % kLargePage, 0u);
    EXPECT_EQ(at[0], 0);
    EXPECT_EQ(at[bytes - 1], 0);
    std::memset(at, 0x5A, bytes);
    unmap_large_pages(at, bytes);
  }
}

TEST(LargePages, SizesThatAreNotWholeLargePagesAreRefused) {
  for (std::size_t bytes : {std::size_t{0}, std::size_t{4096}, kLargePage + 1, SIZE_MAX}) {
    EXPECT_THROW(map_large_pages(bytes), std::bad_alloc) << bytes;
  }
}

// The hint changes nothing the owner of the memory can see, whatever its bounds.
TEST(LargePages, PreferringLargePagesLeavesTheContentsAlone) {
  std::vector<unsigned char> buffer(3 * kLargePage + 123, 7);
  prefer_large_pages(buffer.data() + 1, buffer.size() - 1);
  prefer_large_pages(buffer.data(), 10);
  prefer_large_pages(nullptr, 0);
  for (unsigned char c : buffer) ASSERT_EQ(c, 7);
}

}  // namespace
}  // namespace tarvelon::support
