#pragma once

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>

#include "support/number_text.h"

namespace tarvelon::egraph {

inline void append_text(std::string& out, std::string_view text) { out.append(text); }
inline void append_text(std::string& out, const char* text) { out.append(text); }
inline void append_text(std::string& out, const std::string& text) { out.append(text); }
inline void append_text(std::string& out, char c) { out.push_back(c); }
inline void append_text(std::string& out, double value) { support::append_double(out, value); }

template <std::integral T>
requires(!std::same_as<T, char> && !std::same_as<T, bool>) void append_text(std::string& out,
                                                                            T value) {
  support::append_int(out, value);
}

/// Concatenates the texts of `parts`; every type with an `append_text` overload may take part.
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  (append_text(out, parts), ...);
  return out;
}

/// `text` in double quotes with quotes, backslashes and control characters escaped: the debug
/// form of a string in messages.
std::string debug_quote(std::string_view text);

/// Appends the texts of `items` separated by `separator`, each written by `write(out, item)`.
template <class Range, class Write>
void append_joined(std::string& out, const Range& items, std::string_view separator,
                   Write&& write) {
  bool first = true;
  for (const auto& item : items) {
    if (!first) out.append(separator);
    first = false;
    write(out, item);
  }
}

}  // namespace tarvelon::egraph
