#include "support/thread_setup.h"

#include <cstdlib>
#include <exception>

#include "support/stack_guard.h"

namespace tarvelon::support {

namespace {

/// Ample for both per-thread blocks and a grown table of them, and small enough that failing
/// to get it means the compilation could not have run anyway.
constexpr std::size_t kProbeBytes = 16 * 1024;

}  // namespace

bool prepare_thread() noexcept {
  void* probe = std::malloc(kProbeBytes);
  if (probe == nullptr) return false;
  std::free(probe);
  // Reads the runtime's per-thread exception state, creating it on first use. The function is
  // declared pure, so a call whose result went unused could be left out.
  [[maybe_unused]] volatile int in_flight = std::uncaught_exceptions();
  // Reads this library's per-thread data and finds the thread's stack bounds.
  static_cast<void>(stack_is_low());
  return true;
}

}  // namespace tarvelon::support
