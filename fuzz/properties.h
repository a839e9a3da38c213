#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarvelon::fuzz {

/// What an input broke, as a one-line description, or nothing. Every check also turns an
/// internal fault into a violation; any other exception escapes to the caller.
using Violation = std::optional<std::string>;

/// Kernel text to emitted Python, unoptimized and optimized: every diagnostic span lies within
/// the source, each result is the same twice, and a kernel that compiles unoptimized compiles
/// optimized too or fails with the optimizer's own error.
Violation check_kernel(std::string_view source);

/// Kernel text to simplified infix text, unoptimized and optimized: the same properties, and
/// a kernel whose result is not one expression fails with the output count.
Violation check_simplify(std::string_view source);

/// Text read as a rewrite pattern: reading is repeatable, reading errors point into the text,
/// a pattern without variables reads as the same ground term, and every pattern matches its own
/// instance in an e-graph.
Violation check_pattern(std::string_view text);

}  // namespace tarvelon::fuzz
