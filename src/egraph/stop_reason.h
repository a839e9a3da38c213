#pragma once

#include <cstddef>
#include <string>
#include <variant>

namespace tarvelon::egraph {

/// Why a run ended.
struct StopReason {
  /// No rule changed anything and the scheduler agreed to stop.
  struct Saturated {
    friend bool operator==(const Saturated&, const Saturated&) = default;
  };
  struct IterationLimit {
    std::size_t iterations;
    friend bool operator==(const IterationLimit&, const IterationLimit&) = default;
  };
  struct NodeLimit {
    std::size_t nodes;
    friend bool operator==(const NodeLimit&, const NodeLimit&) = default;
  };
  struct TimeLimit {
    double seconds;
    friend bool operator==(const TimeLimit&, const TimeLimit&) = default;
  };
  /// A hook's error text.
  struct Other {
    std::string text;
    friend bool operator==(const Other&, const Other&) = default;
  };

  std::variant<Saturated, IterationLimit, NodeLimit, TimeLimit, Other> value;
  friend bool operator==(const StopReason&, const StopReason&) = default;
};

/// The debug form: "Saturated", "IterationLimit(8)", "NodeLimit(20001)", "TimeLimit(5.2)",
/// "Other(\"text\")".
std::string to_string(const StopReason& reason);

}  // namespace tarvelon::egraph
