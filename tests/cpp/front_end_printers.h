#pragma once

#include <ostream>

#include "diag/diag.h"

namespace tarvelon::diag {

/// Readable failure output for diagnostics compared in front-end tests.
inline void PrintTo(const Diag& d, std::ostream* os) {
  *os << kind_name(d.kind) << " ";
  if (d.span) {
    *os << "[" << d.span->start << "," << d.span->end << ")";
  } else {
    *os << "(no span)";
  }
  *os << " \"" << d.message << "\" hint=\"" << d.hint.value_or("(none)") << "\""
      << (d.labels ? " (labels)" : "");
}

}  // namespace tarvelon::diag
