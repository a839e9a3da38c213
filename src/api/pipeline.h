#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "ir/dag.h"

namespace tarvelon::api {

/// The failure of a compilation; its display text is the whole message the caller sees.
struct ApiError {
  enum class Kind : std::uint8_t { Parse, Lower, Optimize, OutputCount, OutputTooLarge };
  Kind kind = Kind::Parse;
  /// The rendered diagnostics (Parse, Lower) or the optimizer's error text (Optimize).
  std::string detail;
  /// The number of outputs (OutputCount) or the length in bytes of the expression text that was
  /// refused (OutputTooLarge; UINT64_MAX stands for that many or more).
  std::uint64_t count = 0;

  static ApiError parse(std::string detail) { return {Kind::Parse, std::move(detail), 0}; }
  static ApiError lower(std::string detail) { return {Kind::Lower, std::move(detail), 0}; }
  static ApiError optimize(std::string detail) { return {Kind::Optimize, std::move(detail), 0}; }
  static ApiError output_count(std::size_t n) { return {Kind::OutputCount, {}, n}; }
  static ApiError output_too_large(std::uint64_t size) { return {Kind::OutputTooLarge, {}, size}; }

  /// "parse failed: ...", "lowering failed: ...", "optimization failed: ...",
  /// "expected a single output expression, got {count}", or "rendered expression too large:
  /// {count} bytes, the limit is 67108864 bytes (64 MiB)" ("at least 18446744073709551615
  /// bytes" when the count saturated).
  std::string to_string() const;
  friend bool operator==(const ApiError&, const ApiError&) = default;
};

/// Parses and lowers a kernel with the default diagnostic policy and, with `optimize` set, runs
/// the optimizer over it. Notes and warnings are dropped; the first failing stage decides the
/// error.
std::expected<ir::TypedDag, ApiError> lowered_dag(std::string_view source, bool optimize);

/// The kernel's single result as infix text: `lowered_dag`, then constant folding (its
/// diagnostics dropped), then the renderer with explicit casts shown. A result that is not one
/// output is an OutputCount error; a text beyond the renderer's 64 MiB bound is OutputTooLarge.
std::expected<std::string, ApiError> simplify_expr(std::string_view source, bool optimize);

/// As `simplify_expr`, but the text reads back as the same computation (see
/// `repl::render_exact_expr`).
std::expected<std::string, ApiError> simplify_exact(std::string_view source, bool optimize);

}  // namespace tarvelon::api
