#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/block_recycler.h"

namespace tarvelon::egraph {

/// Bump allocation for the many small lists of one e-graph. Nothing is freed on its own: a list
/// that grows moves to a larger piece, and every block goes when the arena goes.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena() {
    for (const Block& block : blocks_) support::give_block(block.at, block.size);
  }

  /// `bytes` bytes aligned to `align` (a power of two no larger than
  /// `__STDCPP_DEFAULT_NEW_ALIGNMENT__`, the blocks' alignment).
  void* allocate(std::size_t bytes, std::size_t align) {
    const auto next = reinterpret_cast<std::uintptr_t>(next_);
    const std::uintptr_t at = (next + align - 1) & ~(align - 1);
    if (next_ != nullptr && bytes <= reinterpret_cast<std::uintptr_t>(end_) - at) [[likely]] {
      next_ = reinterpret_cast<std::byte*>(at + bytes);
      return reinterpret_cast<void*>(at);
    }
    return allocate_in_new_block(bytes);
  }

  /// Bytes taken from the system so far.
  std::size_t reserved() const { return reserved_; }

 private:
  /// Blocks double from the first, so that a small e-graph takes one or two and a large one
  /// a few dozen.
  [[gnu::noinline]] void* allocate_in_new_block(std::size_t bytes) {
    std::size_t size = std::max(bytes, next_block_);
    // Room for the block's record first, so that a block once taken is always recorded.
    if (blocks_.size() == blocks_.capacity())
      blocks_.reserve(std::max<std::size_t>(8, 2 * blocks_.size()));
    void* block = support::take_block(size);
    blocks_.push_back({block, size});
    next_block_ = std::max(next_block_, size) * 2;
    reserved_ += size;
    next_ = static_cast<std::byte*>(block);
    end_ = next_ + size;
    void* at = next_;
    next_ += bytes;
    return at;
  }

  struct Block {
    void* at;
    std::size_t size;
  };
  static constexpr std::size_t kFirstBlock = 4096;

  std::vector<Block> blocks_;
  std::byte* next_ = nullptr;
  std::byte* end_ = nullptr;
  std::size_t next_block_ = kFirstBlock;
  std::size_t reserved_ = 0;
};

/// A list of small values held in an `Arena`: a pointer and two 32-bit counts, so that an
/// e-class with its node and parent lists fits in 40 bytes. Growing takes the arena; the list
/// owns no memory of its own, so a moved-from list still views the same values.
template <class T>
class ArenaList {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  ArenaList() = default;
  ArenaList(const ArenaList&) = delete;
  ArenaList& operator=(const ArenaList&) = delete;
  /// A move copies the view and leaves the source as it was, so that the class array moves
  /// its records as plain bytes when it grows.
  ArenaList(ArenaList&&) noexcept = default;
  ArenaList& operator=(ArenaList&&) noexcept = default;

  /// A list holding just `value`, in a piece of its size: what a new e-class's node list
  /// starts as, made without the out-of-line growth.
  static ArenaList single(const T& value, Arena& arena) {
    ArenaList list;
    list.data_ = static_cast<T*>(arena.allocate(sizeof(T), alignof(T)));
    list.data_[0] = value;
    list.size_ = 1;
    list.capacity_ = 1;
    return list;
  }

  /// An empty list with room for `room` values (at least 1), made without the out-of-line
  /// growth: what a new e-class's parent list starts as, since most classes become a child soon.
  static ArenaList with_room(std::size_t room, Arena& arena) {
    ArenaList list;
    list.data_ = static_cast<T*>(arena.allocate(room * sizeof(T), alignof(T)));
    list.capacity_ = static_cast<std::uint32_t>(room);
    return list;
  }

  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  const T& front() const { return data_[0]; }

  void push_back(const T& value, Arena& arena) {
    if (size_ == capacity_) [[unlikely]]
      grow(arena, std::size_t{size_} + 1);
    data_[size_++] = value;
  }

  /// Appends `n` values from `first`, which must not lie in this list.
  void append(const T* first, std::size_t n, Arena& arena) {
    if (n == 0) return;
    if (capacity_ - size_ < n) grow(arena, std::size_t{size_} + n);
    std::memcpy(static_cast<void*>(data_ + size_), first, n * sizeof(T));
    size_ += static_cast<std::uint32_t>(n);
  }

  /// Keeps the first `n` values; `n` must not exceed the size.
  void truncate(std::size_t n) { size_ = static_cast<std::uint32_t>(n); }
  void clear() { size_ = 0; }

  void swap(ArenaList& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

 private:
  /// Moves to a piece of at least twice the capacity, `kFirstGrowth` values and room for `need`.
  [[gnu::noinline]] void grow(Arena& arena, std::size_t need) {
    constexpr std::size_t kMax = std::numeric_limits<std::uint32_t>::max();
    if (need > kMax) throw std::bad_alloc();
    std::size_t capacity =
        std::min(kMax, std::max({need, 2 * std::size_t{capacity_}, kFirstGrowth}));
    T* grown = static_cast<T*>(arena.allocate(capacity * sizeof(T), alignof(T)));
    if (size_ > 0) std::memcpy(static_cast<void*>(grown), data_, size_ * sizeof(T));
    data_ = grown;
    capacity_ = static_cast<std::uint32_t>(capacity);
  }

  /// Values a list makes room for when it first grows: a class's parent list takes a few
  /// values one by one, and each growth copies the list.
  static constexpr std::size_t kFirstGrowth = 4;

  T* data_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = 0;
};

}  // namespace tarvelon::egraph
