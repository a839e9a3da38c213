#pragma once

#include <atomic>
#include <string>
#include <string_view>

namespace tarvelon::egraph {

enum class LogLevel : unsigned char { Trace, Debug, Info, Warn };

/// Receives the engine's log records at `min_level` and above. The host owns the sink and keeps
/// it alive while installed.
struct LogSink {
  LogLevel min_level = LogLevel::Info;
  void (*write)(void* context, LogLevel level, std::string_view message) = nullptr;
  void* context = nullptr;
};

namespace detail {

/// The host's diagnostics hook. Holds no compilation state: it only decides where trace records
/// go. Visible here so that the check on the engine's hot paths is a load, not a call.
inline std::atomic<const LogSink*> installed_sink{nullptr};

}  // namespace detail

/// Installs `sink` (nullptr removes it) and returns the previous one. No sink is installed by
/// default, and then no record is ever formatted.
const LogSink* set_log_sink(const LogSink* sink) noexcept;

/// Whether a record at `level` would reach a sink.
inline bool log_enabled(LogLevel level) noexcept {
  const LogSink* sink = detail::installed_sink.load(std::memory_order_acquire);
  return sink != nullptr && sink->write != nullptr && level >= sink->min_level;
}

/// Hands `message` to the installed sink, if it accepts `level`.
void log_write(LogLevel level, std::string_view message);

/// Formats a record with `make()` and writes it, only when a sink accepts `level`.
template <class Make>
void log(LogLevel level, Make&& make) {
  if (log_enabled(level)) [[unlikely]]
    log_write(level, make());
}

}  // namespace tarvelon::egraph
