#include "support/cancel.h"

namespace tarvelon::support {
namespace {

thread_local CancelHook current_hook = nullptr;
thread_local void* current_context = nullptr;

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
