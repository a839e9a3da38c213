#pragma once

#include <cstddef>
#include <memory>

namespace tarvelon::support {

/// Structures with at least this many parts (nodes, classes) are released in the background: a
/// smaller one frees in well under a millisecond.
inline constexpr std::size_t kBackgroundReleaseParts = std::size_t{1} << 16;

namespace detail {
/// Hands `destroy(object)` to the releaser thread, or runs it here when that thread cannot run.
void release_in_background(void* object, void (*destroy)(void*)) noexcept;
}  // namespace detail

/// Destroys `object`, which has `parts` parts. A large one is destroyed on the one releaser
/// thread, so that a compiling thread done with it (or unwinding past it when Ctrl-C stops the
/// work) does not wait through millions of frees. `T`'s destructor must only free memory: it may
/// run on another thread, after the caller returned, without the interpreter lock.
template <class T>
void release(std::unique_ptr<T> object, std::size_t parts) noexcept {
  if (object == nullptr || parts < kBackgroundReleaseParts) return;
  detail::release_in_background(object.release(), [](void* p) { delete static_cast<T*>(p); });
}

/// Returns once every release handed over before the call has run.
void wait_for_releases() noexcept;

}  // namespace tarvelon::support
