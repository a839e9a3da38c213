#pragma once
// How deep the tests of deeply nested input nest.

#include <cstddef>

namespace tarvelon::test {

/// Far deeper than any recursion over the nesting could go on a thread's stack. The instrumented
/// build runs these inputs an order of magnitude slower per level and with larger frames, so a
/// tenth of the depth still overflows any recursion there while keeping its run short.
#if defined(TARVELON_ASAN)
inline constexpr std::size_t kDeepInput = 100'000;
#else
inline constexpr std::size_t kDeepInput = 1'000'000;
#endif

}  // namespace tarvelon::test
