#include "diag/diag.h"

#include <array>

namespace tarvelon::diag {

namespace {

struct KindInfo {
  std::string_view name;
  Severity severity;
  std::string_view hint;
};

constexpr std::array<KindInfo, kDiagKindCount> kKinds = {{
#define TARVELON_DIAG_KIND(name, severity, hint) {#name, Severity::severity, hint},
#include "diag/diag_kinds.def"
#undef TARVELON_DIAG_KIND
}};

const KindInfo& info(DiagKind kind) { return kKinds.at(static_cast<std::size_t>(kind)); }

}  // namespace

std::string_view kind_name(DiagKind kind) { return info(kind).name; }
Severity default_severity(DiagKind kind) { return info(kind).severity; }
std::string_view default_hint(DiagKind kind) { return info(kind).hint; }

Diag Diag::make(DiagKind kind, std::string message, std::optional<Span> span,
                std::optional<std::string> hint) {
  if (!hint) hint = std::string(default_hint(kind));
  return Diag{kind, span, std::move(message), std::nullopt, std::move(hint)};
}

Severity DiagConfig::severity(DiagKind kind) const {
  switch (kind) {
    case DiagKind::IntImaginary:
    case DiagKind::UnknownDtype:
    case DiagKind::Syntax:
      return Severity::Fatal;
    default:
      break;
  }
  Severity s = default_severity(kind);
  if (auto it = overrides.find(kind); it != overrides.end()) s = it->second;
  if (s == Severity::Warning && warnings_as_errors) return Severity::Error;
  return s;
}

std::string format_diags(std::span<const Diag> diags) {
  std::string out;
  for (std::size_t i = 0; i < diags.size(); ++i) {
    if (i != 0) out += "; ";
    out += diags[i].message;
  }
  return out;
}

}  // namespace tarvelon::diag
