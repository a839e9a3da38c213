#include "egraph/sexp.h"

#include "egraph/text.h"
#include "support/stack_guard.h"
#include "support/unicode.h"

namespace tarvelon::egraph {

namespace {

void release_nested(std::vector<Sexp>& items) {
  std::vector<Sexp> pending = std::move(items);
  while (!pending.empty()) {
    Sexp last = std::move(pending.back());
    pending.pop_back();
    for (Sexp& item : last.items()) pending.push_back(std::move(item));
    last.items().clear();
  }
}

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  std::expected<Sexp, SexpError> parse() {
    return support::with_stack_guard([&] { return parse_here(); });
  }

 private:
  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }

  /// The character at the current position. Malformed UTF-8 (including overlong forms and
  /// surrogates) is read one byte per character, so a delimiter after a broken lead byte is never
  /// swallowed.
  std::string_view current_char() const {
    return text_.substr(pos_, support::decode_utf8(text_, pos_).len);
  }

  /// Consumes one character and returns it.
  std::string_view advance() {
    std::string_view c = current_char();
    pos_ += c.size();
    ++column_;
    if (c == "\n") {
      ++line_;
      column_ = 0;
    }
    return c;
  }

  std::unexpected<SexpError> fail(std::string message) const {
    return std::unexpected(SexpError{std::move(message), line_ + 1, column_ + 1});
  }

  void eat_space() {
    while (!at_end() && (peek() == ' ' || peek() == '\t')) advance();
  }

  std::expected<void, SexpError> eat_char(char expected) {
    if (at_end()) return fail("End of file reached");
    std::string_view got = advance();
    if (got.size() != 1 || got[0] != expected)
      return fail(cat("expected ", expected, " got ", got));
    return {};
  }

  std::expected<Sexp, SexpError> parse_here() {
    eat_space();
    if (at_end()) return fail("End of file reached");
    switch (peek()) {
      case '"':
        return parse_quoted();
      case ')':
        return fail("Unexpected )");
      case '(':
        return parse_list();
      default:
        return parse_atom();
    }
  }

  std::expected<Sexp, SexpError> parse_quoted() {
    advance();
    std::size_t start = pos_;
    bool escaped = false;
    while (!at_end() && !(peek() == '"' && !escaped)) {
      escaped = peek() == '\\';
      advance();
    }
    std::string text(text_.substr(start, pos_ - start));
    if (auto closed = eat_char('"'); !closed) return std::unexpected(closed.error());
    return Sexp::atom(std::move(text));
  }

  std::expected<Sexp, SexpError> parse_list() {
    advance();
    std::vector<Sexp> items;
    for (;;) {
      while (!at_end() && (peek() == '\t' || peek() == '\n' || peek() == '\r' || peek() == ' '))
        advance();
      if (!at_end() && peek() == ')') break;
      auto item = parse();
      if (!item) return item;
      items.push_back(std::move(*item));
    }
    if (auto closed = eat_char(')'); !closed) return std::unexpected(closed.error());
    eat_space();
    return Sexp::list(std::move(items));
  }

  std::expected<Sexp, SexpError> parse_atom() {
    std::size_t start = pos_;
    while (!at_end()) {
      char c = peek();
      if (c == '\n' || c == '\r' || c == ' ' || c == '(' || c == ')') break;
      advance();
    }
    return Sexp::atom(std::string(text_.substr(start, pos_ - start)));
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t line_ = 0;
  std::size_t column_ = 0;
};

void write(std::string& out, const Sexp& sexp) {
  switch (sexp.kind()) {
    case Sexp::Kind::Empty:
      return;
    case Sexp::Kind::Atom:
      out += sexp.text();
      return;
    case Sexp::Kind::List:
      out += '(';
      append_joined(out, sexp.items(), " ", [](std::string& o, const Sexp& item) {
        support::with_stack_guard([&] { write(o, item); });
      });
      out += ')';
      return;
  }
}

}  // namespace

Sexp Sexp::atom(std::string text) {
  Sexp s;
  s.kind_ = Kind::Atom;
  s.text_ = std::move(text);
  return s;
}

Sexp Sexp::list(std::vector<Sexp> items) {
  Sexp s;
  s.kind_ = Kind::List;
  s.items_ = std::move(items);
  return s;
}

Sexp& Sexp::operator=(Sexp&& other) noexcept {
  if (this != &other) {
    release_nested(items_);
    kind_ = other.kind_;
    text_ = std::move(other.text_);
    items_ = std::move(other.items_);
  }
  return *this;
}

Sexp::~Sexp() {
  if (!items_.empty()) release_nested(items_);
}

std::string to_string(const Sexp& sexp) {
  std::string out;
  write(out, sexp);
  return out;
}

std::string to_string(const SexpError& error) {
  return cat(error.message, " at line ", error.line, ", column ", error.column);
}

std::expected<Sexp, SexpError> parse_str(std::string_view text) {
  if (text.empty()) return Sexp();
  return Reader(text).parse();
}

}  // namespace tarvelon::egraph
