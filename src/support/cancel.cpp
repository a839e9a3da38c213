#include "support/cancel.h"

namespace tarvelon::support {
namespace {

// Initial-exec like the countdown: a compiling call installs and restores a scope each time, and
// finding the thread's copy through the general model would cost a call per access.
thread_local constinit CancelHook current_hook [[gnu::tls_model("initial-exec")]] = nullptr;
thread_local constinit void* current_context [[gnu::tls_model("initial-exec")]] = nullptr;

}  // namespace

namespace detail {

thread_local constinit std::uint32_t cancel_countdown [[gnu::tls_model("initial-exec")]] =
    kCancelStride;

void ask_cancel_hook() {
  cancel_countdown = kCancelStride;
  if (current_hook != nullptr && current_hook(current_context)) throw Cancelled{};
}

}  // namespace detail

CancelScope::CancelScope(CancelHook hook, void* context) noexcept
    : saved_hook_(current_hook), saved_context_(current_context) {
  current_hook = hook;
  current_context = context;
  // A new scope counts from a full stride, so the hook is asked after the same steps of work
  // whatever ran on the thread before.
  detail::cancel_countdown = kCancelStride;
}

CancelScope::~CancelScope() {
  current_hook = saved_hook_;
  current_context = saved_context_;
}

}  // namespace tarvelon::support
