#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "ir/dag.h"

namespace tarvelon::api {

/// The failure of a compilation; its display text is the whole message the caller sees.
struct ApiError {
  enum class Kind : std::uint8_t { Parse, Lower, Optimize, OutputCount };
  Kind kind = Kind::Parse;
  /// The rendered diagnostics (Parse, Lower) or the optimizer's error text (Optimize).
  std::string detail;
  /// The number of outputs (OutputCount only).
  std::size_t count = 0;

  static ApiError parse(std::string detail) { return {Kind::Parse, std::move(detail), 0}; }
  static ApiError lower(std::string detail) { return {Kind::Lower, std::move(detail), 0}; }
  static ApiError optimize(std::string detail) { return {Kind::Optimize, std::move(detail), 0}; }
  static ApiError output_count(std::size_t n) { return {Kind::OutputCount, {}, n}; }

  /// "parse failed: ...", "lowering failed: ...", "optimization failed: ..." or
  /// "expected a single output expression, got {count}".
  std::string to_string() const;
  friend bool operator==(const ApiError&, const ApiError&) = default;
};

/// Parses and lowers a kernel with the default diagnostic policy and, with `optimize` set, runs
/// the optimizer over it. Notes and warnings are dropped; the first failing stage decides the
/// error.
std::expected<ir::TypedDag, ApiError> lowered_dag(std::string_view source, bool optimize);

}  // namespace tarvelon::api
