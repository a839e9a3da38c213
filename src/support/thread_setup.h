#pragma once

namespace tarvelon::support {

/// Readies the calling thread for a compilation; call it before each one, before anything can
/// throw. The C++ runtime's per-thread exception state and this library's per-thread data are
/// allocated by the C library on a thread's first use of them, and the C library ends the
/// process when that allocation fails. Left to itself, that first use would be the first
/// `std::bad_alloc` thrown once memory has run out. Here it happens right after a small
/// allocation has succeeded and been returned, so it is served from that memory. Doing it at
/// every call also brings the thread's table of such data up to date after other libraries
/// have been loaded, which can take memory too. Returns false, having used nothing, when even
/// the small allocation fails.
///
/// The one window left open: another thread taking that memory between its release and its
/// reuse here, which under the interpreter lock only a thread outside the interpreter can do.
bool prepare_thread() noexcept;

}  // namespace tarvelon::support
