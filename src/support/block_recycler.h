#pragma once

#include <cstddef>
#include <new>

namespace tarvelon::support {

/// Large blocks (an e-graph's node, class and parent arrays, hash-table slots, arena blocks) are
/// kept for the next optimizing call instead of going back to the system: the system hands a
/// freed large block back to the kernel, and the next call pays a page fault for every page it
/// touches again. Requests below this size are ordinary allocations.
inline constexpr std::size_t kRecycledBlockMin = std::size_t{32} << 10;
/// Blocks above this size are ordinary allocations: a structure that large does enough work per
/// page that the faults are no longer its cost.
inline constexpr std::size_t kRecycledBlockMax = std::size_t{8} << 20;
/// The most the recycler keeps, in bytes: the working set of a few concurrent optimizing calls on
/// kernels of some tens of thousands of e-nodes, small beside a Python process's own footprint.
/// A block given back beyond it goes to the system.
inline constexpr std::size_t kRecyclerCapacity = std::size_t{32} << 20;

namespace detail {
void* take_large_block(std::size_t bytes);
void give_large_block(void* block, std::size_t bytes) noexcept;
}  // namespace detail

/// `bytes` bytes aligned for any fundamental type; throws std::bad_alloc when memory runs out. A
/// block from `kRecycledBlockMin` to `kRecycledBlockMax` bytes may be one given back earlier.
inline void* take_block(std::size_t bytes) {
  if (bytes < kRecycledBlockMin) return ::operator new(bytes);
  return detail::take_large_block(bytes);
}

/// Gives back a block that `take_block(bytes)` returned, from any thread.
inline void give_block(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (bytes < kRecycledBlockMin) return ::operator delete(block, bytes);
  detail::give_large_block(block, bytes);
}

/// Bytes held for reuse now.
std::size_t recycler_kept_bytes() noexcept;

/// Hands every block held for reuse back to the system.
void release_recycled_blocks() noexcept;

/// A standard allocator over `take_block`, for the vectors that grow with an e-graph.
template <class T>
struct RecyclingAllocator {
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  using value_type = T;

  RecyclingAllocator() = default;
  template <class U>
  RecyclingAllocator(const RecyclingAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(take_block(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { give_block(p, n * sizeof(T)); }

  template <class U>
  friend bool operator==(const RecyclingAllocator&, const RecyclingAllocator<U>&) {
    return true;
  }
};

}  // namespace tarvelon::support
