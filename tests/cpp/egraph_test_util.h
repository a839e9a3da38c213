#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/log.h"
#include "egraph/recexpr.h"
#include "egraph/rewrite.h"
#include "egraph/symbol_lang.h"
#include "support/internal_fault.h"

namespace tarvelon::egraph::testing {

using Node = SymbolLang;
using Graph = EGraph<SymbolLang>;

inline RecExpr<Node> expr(std::string_view text) {
  auto parsed = parse_recexpr<Node>(text);
  if (!parsed) ADD_FAILURE() << "cannot read " << text << ": " << to_string(parsed.error());
  return parsed ? std::move(*parsed) : RecExpr<Node>();
}

inline Id add(Graph& g, std::string_view text) { return g.add_expr(expr(text)); }

inline Rewrite<Node> rule(std::string_view name, std::string_view lhs, std::string_view rhs) {
  auto made = Rewrite<Node>::from_patterns(name, lhs, rhs);
  if (!made) throw std::runtime_error(made.error());
  return std::move(*made);
}

/// Installs a sink that keeps every record at `min_level` and above while in scope.
class LogCapture {
 public:
  explicit LogCapture(LogLevel min_level = LogLevel::Trace) {
    sink_.min_level = min_level;
    sink_.write = &LogCapture::write;
    sink_.context = this;
    previous_ = set_log_sink(&sink_);
  }
  ~LogCapture() { set_log_sink(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> messages(LogLevel level) const {
    std::vector<std::string> out;
    for (const auto& [l, m] : records) {
      if (l == level) out.push_back(m);
    }
    return out;
  }

  std::vector<std::pair<LogLevel, std::string>> records;

 private:
  static void write(void* context, LogLevel level, std::string_view message) {
    static_cast<LogCapture*>(context)->records.emplace_back(level, std::string(message));
  }
  LogSink sink_;
  const LogSink* previous_ = nullptr;
};

/// The message of the internal fault `f()` throws, or "no fault".
template <class F>
std::string fault_of(F&& f) {
  try {
    f();
  } catch (const support::InternalFault& fault) {
    return fault.what();
  }
  return "no fault";
}

}  // namespace tarvelon::egraph::testing
