#include "parse/error.h"

#include "vocab/dtype.h"

namespace tarvelon::parse {

using diag::Diag;
using diag::DiagKind;

Diag parse_syntax(std::string_view detail, Span span) {
  std::string message = "syntax error: ";
  message += detail;
  return Diag::make(DiagKind::Syntax, std::move(message), span);
}

Diag parse_int_imaginary(std::int64_t value, Span span) {
  const std::string v = std::to_string(value);
  return Diag::make(DiagKind::IntImaginary,
                    "integer imaginary literal `" + v + "j` is not supported; use float form `" +
                        v + ".0j` instead",
                    span);
}

Diag parse_unknown_dtype(std::string_view dtype, Span span) {
  std::string hint = "expected one of: ";
  bool first = true;
  for (const char* name : vocab::all_dtype_names()) {
    if (!first) hint += ", ";
    hint += name;
    first = false;
  }
  return Diag::make(DiagKind::UnknownDtype, "unknown type `" + std::string(dtype) + "`", span,
                    std::move(hint));
}

Diag parse_reserved_identifier(std::string_view name, Span span) {
  return Diag::make(DiagKind::ReservedIdentifier,
                    "reserved word `" + std::string(name) + "` cannot be used as an identifier",
                    span, "use a different name for the variable or parameter");
}

Diag parse_error_from_rich(const ParseError& error) {
  if (const auto* custom = std::get_if<std::string>(&error.reason)) {
    const std::string_view m = *custom;
    if (m.starts_with(kUnknownDtypeMarker)) {
      return parse_unknown_dtype(m.substr(kUnknownDtypeMarker.size()), error.span);
    }
    return parse_syntax(m, error.span);
  }
  return parse_syntax("syntax error", error.span);
}

}  // namespace tarvelon::parse
