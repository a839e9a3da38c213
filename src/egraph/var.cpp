#include "egraph/var.h"

#include "egraph/text.h"

namespace tarvelon::egraph {

namespace {

std::expected<std::uint32_t, VarParseError::BadNumber::Reason> parse_u32(std::string_view digits) {
  using Reason = VarParseError::BadNumber::Reason;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return std::unexpected(Reason::Empty);
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::unexpected(Reason::InvalidDigit);
  }
  for (char c : digits) {
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > UINT32_MAX) return std::unexpected(Reason::Overflow);
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace

std::expected<Var, VarParseError> Var::from_str(std::string_view text) {
  if (text.starts_with("?#")) {
    auto number = parse_u32(text.substr(2));
    if (!number) return std::unexpected(VarParseError{VarParseError::BadNumber{number.error()}});
    return Var::numbered(*number);
  }
  if (text.size() >= 2 && text.front() == '?') return Var::named(GlobalSymbol(text));
  return std::unexpected(VarParseError{VarParseError::MissingQuestionMark{std::string(text)}});
}

GlobalSymbol Var::name() const { return GlobalSymbol::from_handle(value_); }

void append_text(std::string& out, const Var& var) {
  if (var.is_numbered()) {
    out += "?#";
    append_text(out, var.number());
  } else {
    out += var.name().as_str();
  }
}

std::string to_string(const VarParseError& error) {
  struct Visit {
    std::string operator()(const VarParseError::MissingQuestionMark& e) const {
      return "pattern variable " + debug_quote(e.text) + " must begin with \"?\"";
    }
    std::string operator()(const VarParseError::BadNumber& e) const {
      switch (e.reason) {
        case VarParseError::BadNumber::Reason::Empty:
          return "numbered pattern variable has no number";
        case VarParseError::BadNumber::Reason::InvalidDigit:
          return "numbered pattern variable has a non-digit";
        case VarParseError::BadNumber::Reason::Overflow:
          return "numbered pattern variable does not fit 32 bits";
      }
      return {};
    }
  };
  return std::visit(Visit{}, error.value);
}

}  // namespace tarvelon::egraph
