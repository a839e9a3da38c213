#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelon::egraph {

/// The text form of terms and patterns as read: nothing, an atom, or a list.
class Sexp {
 public:
  enum class Kind { Empty, Atom, List };

  Sexp() = default;
  static Sexp atom(std::string text);
  static Sexp list(std::vector<Sexp> items);

  Sexp(Sexp&&) noexcept = default;
  Sexp& operator=(Sexp&&) noexcept;
  Sexp(const Sexp&) = delete;
  Sexp& operator=(const Sexp&) = delete;
  /// Tears nested lists down without recursion, so any nesting depth is safe.
  ~Sexp();

  Kind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  const std::vector<Sexp>& items() const { return items_; }
  std::vector<Sexp>& items() { return items_; }

 private:
  Kind kind_ = Kind::Empty;
  std::string text_;
  std::vector<Sexp> items_;
};

/// The s-expression written back as text: atoms as read, lists in parentheses separated by one
/// space, nothing for empty.
std::string to_string(const Sexp& sexp);

/// A reading failure, at 1-based line and column (columns count characters, not bytes).
struct SexpError {
  std::string message;
  std::size_t line = 0;
  std::size_t column = 0;
  friend bool operator==(const SexpError&, const SexpError&) = default;
};

std::string to_string(const SexpError& error);

/// Reads the first s-expression of `text`; anything after it is not looked at. An empty text
/// gives an empty `Sexp`.
std::expected<Sexp, SexpError> parse_str(std::string_view text);

}  // namespace tarvelon::egraph
