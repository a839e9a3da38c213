#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace tarvelon::support {

namespace detail {

/// Lowest address (plus the reserve) this thread may use for its current stack; 0 until known.
extern thread_local std::uintptr_t stack_floor;

/// Computes `stack_floor` for the thread's own stack.
void init_stack_floor() noexcept;

/// Runs `body(context)` on a fresh 1 MiB segment; an exception escaping `body` is rethrown here.
void run_on_fresh_segment(void (*body)(void*), void* context);

inline bool stack_is_low() noexcept {
  if (stack_floor == 0) [[unlikely]]
    init_stack_floor();
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < stack_floor;
}

}  // namespace detail

/// Reserve below which a recursive step moves to a fresh segment.
inline constexpr std::size_t kStackReserve = 64 * 1024;
/// Size of each fresh segment.
inline constexpr std::size_t kStackSegment = 1024 * 1024;

/// How many times this thread has moved to a fresh segment: zero for as long as recursion has
/// stayed within the thread's own stack.
std::size_t fresh_segments_used() noexcept;

/// Whether less than `kStackReserve` bytes of stack remain: the point at which a recursive step
/// must move to a fresh segment.
inline bool stack_is_low() noexcept { return detail::stack_is_low(); }

/// Calls `f()`. When less than `kStackReserve` bytes of stack remain, the call runs on a fresh
/// `kStackSegment` segment instead, released when it returns; exceptions reach the caller
/// unchanged. This is the safety net of recursion whose depth the input decides: such walks keep
/// their pending work on explicit stacks, and a recursion that remains (one with small frames
/// and no other choice) goes through here, so that its depth is bounded by memory, not by the
/// thread's stack. It allocates and may throw `std::bad_alloc`, so it has no place in teardown.
template <class F>
decltype(auto) with_stack_guard(F&& f) {
  using R = std::invoke_result_t<F&>;
  if (!detail::stack_is_low()) [[likely]]
    return std::forward<F>(f)();
  if constexpr (std::is_void_v<R>) {
    detail::run_on_fresh_segment([](void* c) { (*static_cast<std::remove_reference_t<F>*>(c))(); },
                                 &f);
  } else if constexpr (std::is_reference_v<R>) {
    struct Ctx {
      std::remove_reference_t<F>* f;
      std::remove_reference_t<R>* out;
    } ctx{&f, nullptr};
    detail::run_on_fresh_segment(
        [](void* c) {
          auto* x = static_cast<Ctx*>(c);
          x->out = &(*x->f)();
        },
        &ctx);
    return static_cast<R>(*ctx.out);
  } else {
    struct Ctx {
      std::remove_reference_t<F>* f;
      std::optional<R> out;
    } ctx{&f, std::nullopt};
    detail::run_on_fresh_segment(
        [](void* c) {
          auto* x = static_cast<Ctx*>(c);
          x->out.emplace((*x->f)());
        },
        &ctx);
    return R(std::move(*ctx.out));
  }
}

}  // namespace tarvelon::support
