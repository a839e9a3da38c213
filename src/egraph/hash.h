#pragma once

#include <cstdint>

#include "egraph/id.h"

namespace tarvelon::egraph {

/// Fixed, unseeded 64-bit mixing: the same values hash alike in every process, so tables keyed by
/// them iterate in an order that depends only on the operations performed. One multiply between
/// two folds: the store hashes every node it adds, and the low bits, which place an entry, take
/// in every input bit through the folds.
constexpr std::uint64_t hash_finish(std::uint64_t x) {
  x ^= x >> 32;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 29;
  return x;
}

/// Folds `value` into the running hash `h`; finish with `hash_finish`.
constexpr std::uint64_t hash_combine(std::uint64_t h, std::uint64_t value) {
  return (h ^ value) * 0x9e3779b97f4a7c15ULL + 0x632be59bd9b4e019ULL;
}

struct IdHash {
  std::uint64_t operator()(Id id) const { return hash_finish(id); }
};

/// Hashes any value with a `hash()` member, such as an engine-language node.
struct MemberHash {
  template <class T>
  std::uint64_t operator()(const T& value) const {
    return value.hash();
  }
};

}  // namespace tarvelon::egraph
