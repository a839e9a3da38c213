#include "support/large_pages.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace tarvelon::support {

void* map_large_pages(std::size_t bytes) {
  // Mapping one large page more than asked leaves room to start on a boundary; the ends beyond
  // the aligned part go straight back.
  if (bytes == 0 || bytes % kLargePage != 0 || bytes > SIZE_MAX - kLargePage) {
    throw std::bad_alloc();
  }
  const std::size_t mapped = bytes + kLargePage;
  void* raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kLargePage - 1) & ~(kLargePage - 1);
  if (aligned > start) ::munmap(raw, aligned - start);
  const std::uintptr_t tail = aligned + bytes;
  if (start + mapped > tail) ::munmap(reinterpret_cast<void*>(tail), start + mapped - tail);
  auto* at = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  ::madvise(at, bytes, MADV_HUGEPAGE);
#endif
  return at;
}

void unmap_large_pages(void* at, std::size_t bytes) noexcept { ::munmap(at, bytes); }

void prefer_large_pages(void* at, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  const auto start = reinterpret_cast<std::uintptr_t>(at);
  const std::uintptr_t first = (start + kLargePage - 1) & ~(kLargePage - 1);
  const std::uintptr_t last = (start + bytes) & ~(kLargePage - 1);
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)at;
  (void)bytes;
#endif
}

}  // namespace tarvelon::support
