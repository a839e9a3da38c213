#pragma once

#include <compare>
#include <cstddef>
#include <iterator>

namespace tarvelon::support {

/// The lexicographic three-way order of two ranges, element by element, a proper prefix first.
/// Not every standard library orders its containers (std::array among them) with <=>.
template <class A, class B>
constexpr auto lexicographic_order(const A& a, const B& b)
    -> decltype(*std::begin(a) <=> *std::begin(b)) {
  auto x = std::begin(a), y = std::begin(b);
  for (; x != std::end(a) && y != std::end(b); ++x, ++y) {
    if (auto c = *x <=> *y; c != 0) return c;
  }
  if (x != std::end(a)) return std::strong_ordering::greater;
  if (y != std::end(b)) return std::strong_ordering::less;
  return std::strong_ordering::equal;
}

}  // namespace tarvelon::support
