#include "egraph/log.h"

namespace tarvelon::egraph {

const LogSink* set_log_sink(const LogSink* sink) noexcept {
  return detail::installed_sink.exchange(sink, std::memory_order_acq_rel);
}

void log_write(LogLevel level, std::string_view message) {
  const LogSink* sink = detail::installed_sink.load(std::memory_order_acquire);
  if (sink != nullptr && sink->write != nullptr && level >= sink->min_level) {
    sink->write(sink->context, level, message);
  }
}

}  // namespace tarvelon::egraph
