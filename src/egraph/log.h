#pragma once

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

/// Installs `sink` (nullptr removes it) and returns the previous one. No sink is installed by
/// default, and then no record is ever formatted.
const LogSink* set_log_sink(const LogSink* sink) noexcept;

/// Whether a record at `level` would reach a sink.
bool log_enabled(LogLevel level) noexcept;

/// Hands `message` to the installed sink, if it accepts `level`.
void log_write(LogLevel level, std::string_view message);

/// Formats a record with `make()` and writes it, only when a sink accepts `level`.
template <class Make>
void log(LogLevel level, Make&& make) {
  if (log_enabled(level)) [[unlikely]]
    log_write(level, make());
}

}  // namespace tarvelon::egraph
