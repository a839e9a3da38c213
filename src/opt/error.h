#pragma once

#include <cstdint>
#include <string>

namespace tarvelon::opt {

/// Why the optimizer could not run on a DAG.
struct OptError {
  enum class Kind : std::uint8_t { MultiOutput, UnsupportedCall, InvalidExpr };
  Kind kind = Kind::MultiOutput;
  /// The builtin's source name (UnsupportedCall) or the message (InvalidExpr).
  std::string detail;

  static OptError multi_output() { return {Kind::MultiOutput, {}}; }
  static OptError unsupported_call(std::string builtin) {
    return {Kind::UnsupportedCall, std::move(builtin)};
  }
  static OptError invalid_expr(std::string message) {
    return {Kind::InvalidExpr, std::move(message)};
  }

  /// "only single-output DAG is currently supported by optimize", "unsupported call `exp` in
  /// opt conversion" or "invalid expr during conversion: ...".
  std::string to_string() const;
  friend bool operator==(const OptError&, const OptError&) = default;
};

}  // namespace tarvelon::opt
