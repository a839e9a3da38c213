#include "support/stack_guard.h"

#include <pthread.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <cstdlib>
#include <new>

#if defined(TARVELON_ASAN)
#include <sanitizer/common_interface_defs.h>
#endif

namespace tarvelon::support::detail {

thread_local std::uintptr_t stack_floor = 0;

namespace {

// Per-thread state is plain data throughout: a thread-local object with a destructor would be
// registered with the C library on first use, and that registration ends the process when
// memory is exhausted.

/// Segments in use by the guarded calls running on this thread, and ever used.
thread_local std::size_t segments_in_use = 0;
thread_local std::size_t segments_used = 0;

/// Segments kept for reuse while a guarded recursion runs, so that recursion oscillating
/// around a segment boundary does not map and unmap memory at every step. All are unmapped
/// once the thread is back on its own stack, since nothing would release them at thread exit.
constexpr std::size_t kSpareSegments = 4;
thread_local void* spare_segments[kSpareSegments] = {};
thread_local std::size_t spare_count = 0;

void* acquire_segment() {
  if (spare_count > 0) return spare_segments[--spare_count];
  void* s =
      mmap(nullptr, kStackSegment, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (s == MAP_FAILED) throw std::bad_alloc();
  return s;
}

void release_segment(void* s) noexcept {
  if (segments_in_use > 0 && spare_count < kSpareSegments) {
    spare_segments[spare_count++] = s;
    return;
  }
  munmap(s, kStackSegment);
  if (segments_in_use == 0) {
    while (spare_count > 0) munmap(spare_segments[--spare_count], kStackSegment);
  }
}

/// What the trampoline needs; handed over through a thread-local because makecontext passes
/// only ints.
struct Switch {
  void (*body)(void*);
  void* context;
  std::exception_ptr error;
  ucontext_t caller;
  ucontext_t callee;
#if defined(TARVELON_ASAN)
  const void* caller_bottom = nullptr;
  std::size_t caller_size = 0;
#endif
};
thread_local Switch* pending_switch = nullptr;

void trampoline() {
  Switch* sw = pending_switch;
#if defined(TARVELON_ASAN)
  __sanitizer_finish_switch_fiber(nullptr, &sw->caller_bottom, &sw->caller_size);
#endif
  try {
    sw->body(sw->context);
  } catch (...) {
    sw->error = std::current_exception();
  }
#if defined(TARVELON_ASAN)
  // The segment is finished with: its fake frames may be dropped.
  __sanitizer_start_switch_fiber(nullptr, sw->caller_bottom, sw->caller_size);
#endif
  // Returning resumes `uc_link`, the caller's context.
}

// Kept out of line: getcontext and swapcontext return twice, which must not touch the caller's
// locals.
[[gnu::noinline]] void switch_to_segment(Switch& sw, void* segment) {
  getcontext(&sw.callee);
  sw.callee.uc_stack.ss_sp = segment;
  sw.callee.uc_stack.ss_size = kStackSegment;
  sw.callee.uc_link = &sw.caller;
  makecontext(&sw.callee, trampoline, 0);
#if defined(TARVELON_ASAN)
  void* fake_stack = nullptr;
  __sanitizer_start_switch_fiber(&fake_stack, segment, kStackSegment);
#else
  (void)segment;
#endif
  swapcontext(&sw.caller, &sw.callee);
#if defined(TARVELON_ASAN)
  __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
#endif
}

}  // namespace

void init_stack_floor() noexcept {
  pthread_attr_t attr;
  void* addr = nullptr;
  std::size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
  }
  if (addr == nullptr) {
    // Unknown bounds: assume a conservative 256 KiB below the current frame.
    stack_floor =
        reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) - 256 * 1024 + kStackReserve;
    return;
  }
  stack_floor = reinterpret_cast<std::uintptr_t>(addr) + kStackReserve;
}

void run_on_fresh_segment(void (*body)(void*), void* context) {
  void* segment = acquire_segment();
  ++segments_in_use;
  ++segments_used;
  Switch sw{body, context, nullptr, {}, {}};

  const std::uintptr_t saved_floor = stack_floor;
  Switch* saved_switch = pending_switch;
  pending_switch = &sw;
  stack_floor = reinterpret_cast<std::uintptr_t>(segment) + kStackReserve;
  switch_to_segment(sw, segment);
  stack_floor = saved_floor;
  pending_switch = saved_switch;
  --segments_in_use;
  release_segment(segment);
  if (sw.error) std::rethrow_exception(sw.error);
}

}  // namespace tarvelon::support::detail

namespace tarvelon::support {

std::size_t fresh_segments_used() noexcept { return detail::segments_used; }

}  // namespace tarvelon::support
