#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "egraph/symbol.h"

namespace tarvelon::egraph {
namespace {

TEST(GlobalSymbol, EqualTextsShareOneHandleAndTextsRoundTrip) {
  const std::string texts[] = {"x", "?x", "", "f64", "exp_sigmoid", "na\xc3\xafve", std::string("a\0b", 3)};
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

TEST(GlobalSymbol, ConcurrentInterningAgreesAcrossThreads) {
  constexpr int kThreads = 4, kTexts = 2000;
  std::vector<std::vector<std::uint32_t>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen] {
      for (int i = 0; i < kTexts; ++i) {
        int k = (i * 7 + t * 13) % kTexts;
        seen[t].push_back(GlobalSymbol("concurrent-" + std::to_string(k)).handle());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < kTexts; ++i) {
    GlobalSymbol symbol("concurrent-" + std::to_string(i));
    EXPECT_EQ(symbol.as_str(), "concurrent-" + std::to_string(i));
    for (int t = 0; t < kThreads; ++t) {
      int position = 0;
      while ((position * 7 + t * 13) % kTexts != i) ++position;
      ASSERT_EQ(seen[t][position], symbol.handle());
    }
  }
}

}  // namespace
}  // namespace tarvelon::egraph
