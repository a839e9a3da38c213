#include "egraph/log.h"

#include <atomic>

namespace tarvelon::egraph {

namespace {

// The host's diagnostics hook. Holds no compilation state: it only decides where trace records go.
std::atomic<const LogSink*> installed_sink{nullptr};

}  // namespace

const LogSink* set_log_sink(const LogSink* sink) noexcept {
  return installed_sink.exchange(sink, std::memory_order_acq_rel);
}

bool log_enabled(LogLevel level) noexcept {
  const LogSink* sink = installed_sink.load(std::memory_order_acquire);
  return sink != nullptr && sink->write != nullptr && level >= sink->min_level;
}

void log_write(LogLevel level, std::string_view message) {
  const LogSink* sink = installed_sink.load(std::memory_order_acquire);
  if (sink != nullptr && sink->write != nullptr && level >= sink->min_level) {
    sink->write(sink->context, level, message);
  }
}

}  // namespace tarvelon::egraph
