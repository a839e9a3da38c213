#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "egraph/symbol.h"
#include "support/internal_fault.h"

namespace tarvelon::egraph {
namespace {

TEST(GlobalSymbol, EqualTextsShareOneHandleAndTextsRoundTrip) {
  const std::string texts[] = {
      "x", "?x", "", "f64", "exp_sigmoid", "na\xc3\xafve", std::string("a\0b", 3)};
  std::set<std::uint32_t> handles;
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    GlobalSymbol first(text);
    EXPECT_EQ(GlobalSymbol(std::string(text)), first);
    EXPECT_EQ(first.as_str(), text);
    EXPECT_NE(first.handle() & 0x0FFFFFFFu, 0u);
    handles.insert(first.handle());
  }
  EXPECT_EQ(handles.size(), std::size(texts));
}

TEST(GlobalSymbol, HandlesCarryTheShardOnTopAndTheIndexPlusOneBelow) {
  struct Case {
    std::uint32_t shard;
    std::size_t index;
    std::string expected;
  };
  const Case cases[] = {
      {0, 0, "0x1"},
      {15, 0, "0xf0000001"},
      {3, 0x0FFFFFFD, "0x3ffffffe"},
      {3, 0x0FFFFFFE, "Can't represent index 268435455 in a Symbol"},
      {0, 0xFFFFFFFF, "Can't represent index 4294967296 in a Symbol"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.index);
    std::string got;
    try {
      std::ostringstream hex;
      hex << std::hex << std::showbase << detail::symbol_handle(c.shard, c.index);
      got = hex.str();
    } catch (const support::InternalFault& fault) {
      got = fault.what();
    }
    EXPECT_EQ(got, c.expected);
  }
  // Fresh texts are numbered densely within their shard, in interning order.
  std::map<std::uint32_t, std::vector<std::uint32_t>> by_shard;
  for (int i = 0; i < 200; ++i) {
    std::uint32_t handle = GlobalSymbol("layout-" + std::to_string(i)).handle();
    by_shard[handle >> 28].push_back(handle & 0x0FFFFFFFu);
  }
  EXPECT_GT(by_shard.size(), 1u);
  for (const auto& [shard, indices] : by_shard) {
    for (std::size_t k = 1; k < indices.size(); ++k)
      EXPECT_EQ(indices[k], indices[k - 1] + 1) << "shard " << shard;
  }
}

}  // namespace
}  // namespace tarvelon::egraph
