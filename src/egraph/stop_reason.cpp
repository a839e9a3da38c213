#include "egraph/stop_reason.h"

#include "egraph/text.h"

namespace tarvelon::egraph {

std::string to_string(const StopReason& reason) {
  struct Visit {
    std::string operator()(const StopReason::Saturated&) const { return "Saturated"; }
    std::string operator()(const StopReason::IterationLimit& r) const {
      return cat("IterationLimit(", r.iterations, ")");
    }
    std::string operator()(const StopReason::NodeLimit& r) const {
      return cat("NodeLimit(", r.nodes, ")");
    }
    std::string operator()(const StopReason::TimeLimit& r) const {
      return cat("TimeLimit(", r.seconds, ")");
    }
    std::string operator()(const StopReason::Other& r) const {
      return cat("Other(", debug_quote(r.text), ")");
    }
  };
  return std::visit(Visit{}, reason.value);
}

}  // namespace tarvelon::egraph
