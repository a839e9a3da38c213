#include "support/block_recycler.h"

#include <pthread.h>

#include <array>
#include <bit>
#include <cstdint>
#include <mutex>

namespace tarvelon::support {
namespace {

constexpr unsigned kMinShift = std::countr_zero(kRecycledBlockMin);
constexpr unsigned kMaxShift = std::countr_zero(kRecycledBlockMax);
static_assert(std::has_single_bit(kRecycledBlockMin) && std::has_single_bit(kRecycledBlockMax));
/// Blocks kept of one size. Fixed, so that giving a block back never allocates.
constexpr std::size_t kSlotsPerSize = 8;

/// Recycled blocks come in powers of two, so that a vector grown to a slightly different length
/// than last time still finds one; the part beyond the request is never touched, so a fresh
/// block costs no more pages than the request.
std::size_t rounded(std::size_t bytes) { return std::bit_ceil(bytes); }

/// Size-indexed stacks of blocks. Never destroyed: a structure freed on the releaser thread while
/// the process exits may still give back a block.
class Recycler {
 public:
  Recycler() {
    pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                   [] { instance().mutex_.unlock(); });
  }

  static Recycler& instance() {
    static Recycler* const recycler = new Recycler;
    return *recycler;
  }

  void* take(std::size_t bytes) {
    if (bytes > kRecycledBlockMax) return ::operator new(bytes);
    const std::size_t size = rounded(bytes);
    {
      std::lock_guard lock(mutex_);
      Stack& stack = stacks_[index(size)];
      if (stack.count > 0) {
        kept_ -= size;
        return stack.blocks[--stack.count];
      }
    }
    try {
      return ::operator new(size);
    } catch (const std::bad_alloc&) {
      // What is kept here may be what the system lacks.
      release_all();
      return ::operator new(size);
    }
  }

  void give(void* block, std::size_t bytes) noexcept {
    if (bytes > kRecycledBlockMax) return ::operator delete(block, bytes);
    const std::size_t size = rounded(bytes);
    {
      std::lock_guard lock(mutex_);
      Stack& stack = stacks_[index(size)];
      if (!closed_ && stack.count < kSlotsPerSize && kept_ + size <= kRecyclerCapacity) {
        stack.blocks[stack.count++] = block;
        kept_ += size;
        return;
      }
    }
    ::operator delete(block, size);
  }

  std::size_t kept() noexcept {
    std::lock_guard lock(mutex_);
    return kept_;
  }

  /// Frees every kept block; with `close`, keeps none from then on.
  void release_all(bool close = false) noexcept {
    std::array<Stack, kSizes> taken;
    {
      std::lock_guard lock(mutex_);
      taken = stacks_;
      stacks_ = {};
      kept_ = 0;
      closed_ = closed_ || close;
    }
    for (std::size_t i = 0; i < kSizes; ++i) {
      for (std::size_t j = 0; j < taken[i].count; ++j)
        ::operator delete (taken[i].blocks[j], std::size_t{1} << (kMinShift + i));
    }
  }

 private:
  static constexpr std::size_t kSizes = kMaxShift - kMinShift + 1;
  struct Stack {
    std::array<void*, kSlotsPerSize> blocks{};
    std::size_t count = 0;
  };
  static std::size_t index(std::size_t size) {
    return static_cast<std::size_t>(std::countr_zero(size)) - kMinShift;
  }

  std::mutex mutex_;
  std::array<Stack, kSizes> stacks_{};
  std::size_t kept_ = 0;
  bool closed_ = false;
};

/// Hands the kept blocks back when the process exits, so that none is counted as a leak.
struct ReleaseAtExit {
  ReleaseAtExit() { Recycler::instance(); }
  ReleaseAtExit(const ReleaseAtExit&) = delete;
  ReleaseAtExit& operator=(const ReleaseAtExit&) = delete;
  ~ReleaseAtExit() { Recycler::instance().release_all(/*close=*/true); }
};
const ReleaseAtExit release_at_exit;

}  // namespace

namespace detail {

void* take_large_block(std::size_t bytes) { return Recycler::instance().take(bytes); }

void give_large_block(void* block, std::size_t bytes) noexcept {
  Recycler::instance().give(block, bytes);
}

}  // namespace detail

std::size_t recycler_kept_bytes() noexcept { return Recycler::instance().kept(); }

void release_recycled_blocks() noexcept { Recycler::instance().release_all(); }

}  // namespace tarvelon::support
