#pragma once

#include <optional>

namespace tarvelon::opt {

/// How hard the optimizer works.
struct OptConfig {
  /// Re-associate sums and products, and fold constants once more after restoring dtypes.
  bool aggressive = false;
  /// When present, replaces `aggressive`.
  std::optional<bool> aggressive_override;

  bool effective_aggressive() const { return aggressive_override.value_or(aggressive); }
};

}  // namespace tarvelon::opt
