#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/block_recycler.h"
#include "support/cancel.h"

namespace tarvelon::egraph {

/// Open-addressing hash map with linear probing, for small keys held by value (ids, e-nodes).
/// Entries are never removed. With a fixed hash, the layout depends only on the sequence of
/// insertions.
template <class K, class V, class Hash, class Eq = std::equal_to<K>>
class FlatHashMap {
 public:
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  V* find(const K& key) {
    return find_hashed(Hash{}(key), [&](const K& k) { return Eq{}(k, key); });
  }
  const V* find(const K& key) const { return const_cast<FlatHashMap*>(this)->find(key); }

  /// Finds the entry with hash `hash` whose key satisfies `same`.
  template <class Same>
  V* find_hashed(std::uint64_t hash, Same&& same) {
    if (size_ == 0) return nullptr;
    std::uint32_t tag = tag_of(hash);
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.tag == 0) return nullptr;
      if (slot.tag == tag && same(slot.key)) return &slot.value;
    }
  }

  /// Inserts `key` -> `value` unless `key` is present. Returns the entry's value and whether it
  /// was inserted.
  std::pair<V*, bool> try_emplace(const K& key, V value) {
    std::uint64_t hash = Hash{}(key);
    if (full()) [[unlikely]]
      grow();
    std::uint32_t tag = tag_of(hash);
    std::size_t i = hash & mask_;
    for (; slots_[i].tag != 0; i = (i + 1) & mask_) {
      if (slots_[i].tag == tag && Eq{}(slots_[i].key, key)) return {&slots_[i].value, false};
    }
    return {place(i, tag, key, std::move(value)), true};
  }

  /// Makes room for `n` more entries without growing.
  void reserve(std::size_t n) {
    std::size_t capacity = std::max<std::size_t>(16, slots_.size());
    while ((size_ + n) * 4 > capacity * 3) capacity *= 2;
    if (capacity > slots_.size()) grow_to(capacity);
  }

  /// Inserts `key` -> `value` under a precomputed `hash`; `key` must be absent.
  V* insert_new_hashed(std::uint64_t hash, K key, V value) {
    if (full()) [[unlikely]]
      grow();
    std::uint32_t tag = tag_of(hash);
    std::size_t i = hash & mask_;
    while (slots_[i].tag != 0) i = (i + 1) & mask_;
    return place(i, tag, std::move(key), std::move(value));
  }

 private:
  /// An entry and its tag side by side, so that a probe reads one cache line, not two.
  struct Slot {
    std::uint32_t tag = 0;
    K key{};
    V value{};
  };

  /// The low bits of the hash, which place the entry, with the top bit set to mark the slot
  /// used: growing the table re-places entries from their tags without hashing their keys again.
  static std::uint32_t tag_of(std::uint64_t hash) {
    return static_cast<std::uint32_t>(hash) | kUsed;
  }
  static constexpr std::uint32_t kUsed = 0x8000'0000u;

  V* place(std::size_t i, std::uint32_t tag, K key, V value) {
    slots_[i].tag = tag;
    slots_[i].key = std::move(key);
    slots_[i].value = std::move(value);
    ++size_;
    return &slots_[i].value;
  }

  /// `n` value-initialised entries, cleared a block at a time between polls: clearing a table of
  /// millions of entries takes longer than an interrupt may wait.
  template <class T>
  static std::vector<T, support::RecyclingAllocator<T>> cleared(std::size_t n) {
    constexpr std::size_t kBlock = 4096;
    std::vector<T, support::RecyclingAllocator<T>> v;
    v.reserve(n);
    while (v.size() < n) {
      support::poll_cancel();
      v.resize(std::min(n, v.size() + kBlock));
    }
    return v;
  }

  /// Whether one more entry would pass the load factor of 3/4 (measured as fast as 1/2 on small
  /// tables and faster on large ones, where the smaller table stays in cache).
  bool full() const { return size_ >= most_; }

  /// Starts the table at 16 slots, quadruples it while small and doubles it after. A store that
  /// grows to thousands of nodes rehashes its first entries half as often, for at most a few
  /// hundred KiB of slots more at the step past `kQuadrupleBelow`.
  void grow() {
    if (slots_.empty()) return grow_to(16);
    grow_to(slots_.size() * (slots_.size() < kQuadrupleBelow ? 4 : 2));
  }
  static constexpr std::size_t kQuadrupleBelow = std::size_t{1} << 14;

  /// Moves the entries to a table of `capacity` slots, a larger power of two. Kept out of line
  /// so that the insertions that do not grow the table, nearly all, pay only for the test.
  [[gnu::noinline]] void grow_to(std::size_t capacity) {
    auto new_slots = cleared<Slot>(capacity);
    const std::size_t new_mask = capacity - 1;
    for (std::size_t j = 0; j < slots_.size(); ++j) {
      // A table of millions of entries takes a second to rehash. Copying leaves this table whole
      // when a poll stops the work, so only tables whose entries copy as bytes poll here.
      if constexpr (std::is_trivially_copyable_v<Slot>) support::poll_cancel();
      if (slots_[j].tag == 0) continue;
      std::size_t i =
          capacity <= kUsed ? slots_[j].tag & new_mask : Hash{}(slots_[j].key) & new_mask;
      while (new_slots[i].tag != 0) i = (i + 1) & new_mask;
      new_slots[i] = std::move(slots_[j]);
    }
    slots_ = std::move(new_slots);
    mask_ = new_mask;
    most_ = capacity * 3 / 4;
  }

  std::vector<Slot, support::RecyclingAllocator<Slot>> slots_;
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
  /// The entries the table holds before it grows: three quarters of its slots.
  std::size_t most_ = 0;
};

}  // namespace tarvelon::egraph
