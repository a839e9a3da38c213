#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

namespace tarvelon::opt {

/// How hard the optimizer works. Every limit of the equality-saturation run is stated here, so
/// that no product behaviour rests on the engine's own defaults.
struct OptConfig {
  /// Re-associate sums and products, and fold constants once more after restoring dtypes.
  bool aggressive = false;
  /// When present, replaces `aggressive`.
  std::optional<bool> aggressive_override;
  /// The run stops after this many iterations...
  std::size_t max_iterations = 8;
  /// ...or once the e-graph holds more e-nodes than this...
  std::size_t max_nodes = 20'000;
  /// ...or once this much time has passed on the monotonic clock since the run started.
  std::chrono::steady_clock::duration max_time = std::chrono::seconds(5);

  bool effective_aggressive() const { return aggressive_override.value_or(aggressive); }
};

}  // namespace tarvelon::opt
