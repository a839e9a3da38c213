#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "egraph/hash.h"
#include "egraph/symbol.h"

namespace tarvelon::egraph {

/// Why a pattern-variable text was refused.
struct VarParseError {
  struct MissingQuestionMark {
    std::string text;
    friend bool operator==(const MissingQuestionMark&, const MissingQuestionMark&) = default;
  };
  /// The digits after "?#" are not a 32-bit unsigned decimal number.
  struct BadNumber {
    enum class Reason { Empty, InvalidDigit, Overflow };
    Reason reason;
    friend bool operator==(const BadNumber&, const BadNumber&) = default;
  };
  std::variant<MissingQuestionMark, BadNumber> value;
  friend bool operator==(const VarParseError&, const VarParseError&) = default;
};

std::string to_string(const VarParseError& error);

/// A pattern variable: named (the interned text including its leading "?") or numbered ("?#3").
class Var {
 public:
  Var() = default;
  static Var named(GlobalSymbol name) { return Var(name.handle(), false); }
  static Var numbered(std::uint32_t number) { return Var(number, true); }

  /// "?name" gives a named variable, "?#digits" a numbered one; anything else is refused.
  static std::expected<Var, VarParseError> from_str(std::string_view text);

  bool is_numbered() const { return numbered_; }
  std::uint32_t number() const { return value_; }
  GlobalSymbol name() const;

  std::uint64_t hash() const { return hash_finish(hash_combine(value_, numbered_ ? 1 : 0)); }
  friend bool operator==(const Var&, const Var&) = default;

 private:
  Var(std::uint32_t value, bool numbered) : value_(value), numbered_(numbered) {}
  std::uint32_t value_ = 0;
  bool numbered_ = false;
};

/// The variable's text: the name as written, or "?#" and the number.
void append_text(std::string& out, const Var& var);

}  // namespace tarvelon::egraph
