#pragma once

#include <cstdint>

namespace tarvelon::support {

/// Thrown from a poll point when the caller's hook asks the work to stop. Every stage unwinds
/// through it as it does through `std::bad_alloc`, releasing what it holds on the way out.
struct Cancelled {};

/// Asked on the compiling thread, between steps of the work (never from a signal handler):
/// returns true when the work should stop. The caller records why (the binding layer leaves the
/// interpreter's pending exception set) before returning true.
using CancelHook = bool (*)(void* context);

/// Installs a hook on the current thread for the lifetime of the scope; scopes nest, and a
/// thread without one is never cancelled. The hook is first asked after a full stride of steps
/// within the scope.
class CancelScope {
 public:
  CancelScope(CancelHook hook, void* context) noexcept;
  ~CancelScope();
  CancelScope(const CancelScope&) = delete;
  CancelScope& operator=(const CancelScope&) = delete;

 private:
  CancelHook saved_hook_;
  void* saved_context_;
};

namespace detail {
/// Steps left before the hook is asked again; kept per thread so polling is a decrement.
/// Constant-initialised and in the initial-exec model, so that a poll reads it directly: no
/// initialisation check and no call to find the thread's copy, even inside the extension module
/// (it takes four bytes of the static TLS space the loader keeps for such modules).
extern thread_local constinit std::uint32_t cancel_countdown [[gnu::tls_model("initial-exec")]];
void ask_cancel_hook();
}  // namespace detail

/// Steps between two questions to the hook: small enough that a step of any stage, times this,
/// stays far below the 100 ms within which an interrupt must surface.
inline constexpr std::uint32_t kCancelStride = 4096;

/// Counts one step of work; every `kCancelStride` steps asks the installed hook and throws
/// `Cancelled` when it says stop.
inline void poll_cancel() {
  if (--detail::cancel_countdown == 0) detail::ask_cancel_hook();
}

}  // namespace tarvelon::support
