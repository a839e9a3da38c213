#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarvelon::diag {

/// A half-open range [start, end) of byte offsets into the kernel source as the caller passed
/// it; start == end marks a position.
struct Span {
  std::size_t start = 0;
  std::size_t end = 0;
  friend bool operator==(const Span&, const Span&) = default;
};

enum class DiagKind : std::uint8_t {
#define TARVELON_DIAG_KIND(name, severity, hint) name,
#include "diag/diag_kinds.def"
#undef TARVELON_DIAG_KIND
};

inline constexpr std::size_t kDiagKindCount = 19;

enum class Severity : std::uint8_t { Allow = 0, Note = 1, Warning = 2, Error = 3, Fatal = 4 };

/// The kind's name as written in the catalogue ("IntImaginary", ...).
std::string_view kind_name(DiagKind kind);
Severity default_severity(DiagKind kind);
std::string_view default_hint(DiagKind kind);

/// A secondary annotation on a diagnostic.
struct DiagLabel {
  Span span;
  std::string text;
  friend bool operator==(const DiagLabel&, const DiagLabel&) = default;
};

/// One problem found in a kernel. Only `message` is ever rendered for the caller.
struct Diag {
  DiagKind kind = DiagKind::Syntax;
  std::optional<Span> span;
  std::string message;
  std::optional<std::vector<DiagLabel>> labels;
  std::optional<std::string> hint;

  /// Builds a diagnostic without labels; an absent hint becomes the kind's default hint.
  static Diag make(DiagKind kind, std::string message, std::optional<Span> span = std::nullopt,
                   std::optional<std::string> hint = std::nullopt);

  friend bool operator==(const Diag&, const Diag&) = default;
};

/// The severity policy. Syntax-level kinds are always Fatal.
struct DiagConfig {
  std::unordered_map<DiagKind, Severity> overrides;
  bool warnings_as_errors = false;

  Severity severity(DiagKind kind) const;
};

/// The messages of `diags`, in order, joined by "; ".
std::string format_diags(std::span<const Diag> diags);

}  // namespace tarvelon::diag
