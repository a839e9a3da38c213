#pragma once

#include <cstddef>

namespace tarvelon::support {

/// The size of a large page of the machine's memory map (2 MiB on x86-64 and most arm64).
inline constexpr std::size_t kLargePage = std::size_t{2} << 20;

/// `bytes` (a multiple of `kLargePage`) of fresh, zeroed memory starting on a large-page
/// boundary, for which the system is asked to use large pages: a big buffer filled front to back
/// then takes one page fault per large page instead of one per small page. Throws
/// `std::bad_alloc` when the memory cannot be had.
void* map_large_pages(std::size_t bytes);
/// Returns memory from `map_large_pages`, with the size it was asked for.
void unmap_large_pages(void* at, std::size_t bytes) noexcept;

/// Asks the system to back the whole large pages inside [at, at + bytes) with large pages when
/// they are first touched. A hint only: the memory may belong to any allocator, nothing changes
/// for the caller, and where large pages are unsupported nothing happens.
void prefer_large_pages(void* at, std::size_t bytes) noexcept;

}  // namespace tarvelon::support
