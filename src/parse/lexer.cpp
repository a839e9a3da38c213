#include "parse/lexer.h"

#include <array>
#include <limits>
#include <new>

#include "parse/error.h"
#include "support/cancel.h"
#include "support/number_text.h"
#include "support/packed_word.h"
#include "support/unicode.h"
#include "vocab/dtype.h"

namespace tarvelon::parse {

namespace {

struct Spelled {
  TokenKind kind;
  std::string_view text;
};

constexpr std::string_view kTokenText[] = {
#define TARVELON_TOKEN(name, text) text,
#include "parse/token_kinds.def"
};

constexpr std::string_view kTokenKindName[] = {
#define TARVELON_TOKEN(name, text) #name,
#include "parse/token_kinds.def"
};

constexpr Spelled kKeywords[] = {
#define TARVELON_KEYWORD(name, spelling) {TokenKind::name, spelling},
#include "parse/token_kinds.def"
};

constexpr Spelled kPuncts[] = {
#define TARVELON_PUNCT(name, spelling) {TokenKind::name, spelling},
#include "parse/token_kinds.def"
};

/// Punctuation by first byte: the single-character kind and the one two-character spelling
/// that starts with that byte, which wins when its second byte follows.
struct PunctEntry {
  bool has_single = false;
  TokenKind single{};
  char second = 0;  ///< 0: no two-character spelling starts here
  TokenKind pair{};
};

constexpr std::array<PunctEntry, 256> kPunctByByte = [] {
  std::array<PunctEntry, 256> table{};
  for (const Spelled& p : kPuncts) {
    PunctEntry& e = table[static_cast<unsigned char>(p.text[0])];
    if (p.text.size() == 1) {
      e.has_single = true;
      e.single = p.kind;
    } else {
      e.second = p.text[1];
      e.pair = p.kind;
    }
  }
  return table;
}();

constexpr std::string_view kInvalidInteger = "invalid integer literal";
/// Integer literals of up to this many digits always fit in 64 bits; only longer ones are
/// checked.
constexpr std::size_t kAlwaysFitting = 18;

/// What an ASCII byte can be in an expression, as bits; a byte of 0x80 and above is none of
/// these and is decoded as part of a UTF-8 character instead.
enum ByteClass : std::uint8_t {
  kBlank = 1,  ///< ASCII White_Space
  kDigit = 2,
  kIdentStart = 4,  ///< "_" or an ASCII letter
  kIdentContinue = 8,
};

constexpr std::array<std::uint8_t, 256> kByteClass = [] {
  std::array<std::uint8_t, 256> table{};
  for (unsigned c : {' ', '\t', '\n', '\v', '\f', '\r'}) table[c] = kBlank;
  for (unsigned c = '0'; c <= '9'; ++c) table[c] = kDigit | kIdentContinue;
  for (unsigned c = 'a'; c <= 'z'; ++c) {
    table[c] = kIdentStart | kIdentContinue;
    table[c - 'a' + 'A'] = kIdentStart | kIdentContinue;
  }
  table['_'] = kIdentStart | kIdentContinue;
  return table;
}();

bool has_class(char c, ByteClass k) { return (kByteClass[static_cast<unsigned char>(c)] & k) != 0; }
bool is_digit(char c) { return has_class(c, kDigit); }

/// The reserved words: the keywords with their kinds, and the fifteen dtype words as
/// `DtypeName`. Every identifier of the kernel is looked up here, so a word is packed into one
/// integer and found in a small open-addressed table with one probe, usually, and no byte loop.
class ReservedWords {
 public:
  ReservedWords() {
    for (const Spelled& k : kKeywords) add(k.text, k.kind);
    for (const vocab::DType& d : vocab::dtypes::kAll) add(d.to_str(), TokenKind::DtypeName);
  }

  std::optional<TokenKind> find(std::string_view word) const {
    if (word.empty() || word.size() > kMaxLength ||
        !(first_chars_[static_cast<unsigned char>(word[0])] & (1u << word.size()))) {
      return std::nullopt;
    }
    const std::uint64_t key = support::pack_short_word(word);
    for (std::size_t s = slot_of(key);; s = (s + 1) % kSlots) {
      if (slots_[s].key == key) return slots_[s].kind;
      if (slots_[s].key == 0) return std::nullopt;
    }
  }

 private:
  static constexpr std::size_t kMaxLength = 5;
  /// A power of two, well above the number of words, so that probes are short and end.
  static constexpr std::size_t kSlots = 64;

  static std::size_t slot_of(std::uint64_t key) noexcept {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15u) >> 58);
  }

  void add(std::string_view word, TokenKind kind) {
    const std::uint64_t key = support::pack_short_word(word);
    std::size_t s = slot_of(key);
    while (slots_[s].key != 0) s = (s + 1) % kSlots;
    slots_[s] = {key, kind};
    first_chars_[static_cast<unsigned char>(word[0])] |= 1u << word.size();
  }

  struct Slot {
    std::uint64_t key = 0;  ///< 0: empty
    TokenKind kind{};
  };
  std::array<Slot, kSlots> slots_{};
  /// Bit n of entry c: some reserved word of length n starts with byte c.
  std::array<std::uint8_t, 256> first_chars_{};
};

/// Built before main from constant data alone, so that a lookup, made for every identifier,
/// tests no guard of a first use.
const ReservedWords kReserved;

std::optional<TokenKind> reserved_kind(std::string_view word) { return kReserved.find(word); }

/// Reads a digit run as a signed 64-bit value; false when it does not fit.
bool read_int64(std::string_view digits, std::int64_t& value) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t v = 0;
  for (char c : digits) {
    const int d = c - '0';
    if (v > (kMax - d) / 10) return false;
    v = v * 10 + d;
  }
  value = v;
  return true;
}

/// End of the digit run starting at `i`.
std::size_t skip_digits(std::string_view text, std::size_t i) {
  while (i < text.size() && is_digit(text[i])) ++i;
  return i;
}

/// End of the float literal starting with the digit run [start, digits_end), or 0 when the
/// run has neither a fraction nor an exponent.
std::size_t float_literal_end(std::string_view text, std::size_t digits_end) {
  std::size_t end = digits_end;
  bool is_float = false;
  if (end + 1 < text.size() && text[end] == '.' && is_digit(text[end + 1])) {
    end = skip_digits(text, end + 1);
    is_float = true;
  }
  if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
    std::size_t m = end + 1;
    if (m < text.size() && (text[m] == '+' || text[m] == '-')) ++m;
    if (m < text.size() && is_digit(text[m])) {
      end = skip_digits(text, m);
      is_float = true;
    }
  }
  return is_float ? end : 0;
}

/// Length of the identifier starting at `i`, or 0 when none starts there.
std::size_t identifier_length(std::string_view text, std::size_t i) {
  std::size_t j = i;
  bool first = true;
  while (j < text.size()) {
    const char c = text[j];
    if (static_cast<unsigned char>(c) < 0x80) {
      if (!has_class(c, first ? kIdentStart : kIdentContinue)) break;
      ++j;
    } else {
      const support::DecodedChar d = support::decode_utf8(text, j);
      if (!(first ? support::is_xid_start(d.cp) : support::is_xid_continue(d.cp))) break;
      j += d.len;
    }
    first = false;
  }
  return j - i;
}

}  // namespace

std::optional<std::int64_t> int_literal_value(std::string_view text) {
  std::int64_t value = 0;
  if (!read_int64(text, value)) return std::nullopt;
  return value;
}

std::int64_t lexed_int_value(std::string_view text) {
  if (text.size() > kAlwaysFitting) return int_literal_value(text).value_or(0);
  std::int64_t value = 0;
  for (char c : text) value = value * 10 + (c - '0');
  return value;
}

double lexed_float_value(std::string_view text) {
  if (text.back() == 'j') text.remove_suffix(1);
  return support::read_decimal(text);
}

std::optional<double> float_literal_value(std::string_view text) {
  if (!text.empty() && text.back() == 'j') text.remove_suffix(1);
  double value = 0.0;
  if (!support::parse_decimal(text, value)) return std::nullopt;
  return value;
}

std::string_view token_kind_name(TokenKind kind) {
  return kTokenKindName[static_cast<std::size_t>(kind)];
}

std::string_view token_text(TokenKind kind) { return kTokenText[static_cast<std::size_t>(kind)]; }

bool is_reserved_word(std::string_view word) { return reserved_kind(word).has_value(); }

std::optional<diag::Diag> int_imaginary_prescan(std::string_view text, std::size_t offset) {
  // Every finding ends in a "j", so only the digit run directly before each "j" needs looking
  // at; a digit run ends at most one "j", which keeps the scan linear.
  for (std::size_t t = text.find('j'); t != std::string_view::npos; t = text.find('j', t + 1)) {
    std::size_t s = t;
    while (s > 0 && is_digit(text[s - 1])) --s;
    if (s == t) continue;
    if (s > 0) {
      const char before = text[s - 1];
      const bool exponent_sign =
          (before == '+' || before == '-') && s >= 2 && (text[s - 2] == 'e' || text[s - 2] == 'E');
      if (before == '.' || before == 'e' || before == 'E' || exponent_sign) continue;
    }
    std::int64_t value = 0;
    if (!read_int64(text.substr(s, t - s), value)) value = 0;
    return parse_int_imaginary(value, Span{offset + s, offset + t + 1});
  }
  return std::nullopt;
}

LexResult lex(std::string_view text) {
  LexResult out;
  lex_into(text, out);
  return out;
}

void lex_into(std::string_view text, LexResult& out) {
  out.tokens.clear();
  out.errors.clear();
  const std::size_t n = text.size();
  if (n > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  std::size_t i = 0;
  auto push = [&](TokenKind kind, std::size_t start, std::size_t end) {
    out.tokens.push_back(
        Token{static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end), kind});
  };
  while (true) {
    support::poll_cancel();
    while (i < n) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (kByteClass[c] & kBlank) {
        ++i;
      } else if (c < 0x80) {
        break;
      } else {
        const support::DecodedChar d = support::decode_utf8(text, i);
        if (!support::is_white_space(d.cp)) break;
        i += d.len;
      }
    }
    if (i == n) break;

    const char c = text[i];
    const std::uint8_t cls = kByteClass[static_cast<unsigned char>(c)];
    if (cls & kIdentStart) {
      // An ASCII identifier, read without decoding unless a non-ASCII byte follows it.
      std::size_t end = i + 1;
      while (end < n && has_class(text[end], kIdentContinue)) ++end;
      if (end < n && static_cast<unsigned char>(text[end]) >= 0x80) {
        end = i + identifier_length(text, i);
      }
      push(reserved_kind(text.substr(i, end - i)).value_or(TokenKind::Ident), i, end);
      i = end;
      continue;
    }
    if (cls & kDigit) {
      const std::size_t digits_end = skip_digits(text, i);
      if (const std::size_t float_end = float_literal_end(text, digits_end)) {
        const bool imaginary = float_end < n && text[float_end] == 'j';
        const std::size_t end = imaginary ? float_end + 1 : float_end;
        push(imaginary ? TokenKind::ImagLit : TokenKind::FloatLit, i, end);
        // The text just matched is digits, an optional fraction and an optional exponent with
        // digits: the decimal grammar, every text of which has a value (infinity and zero
        // included). So a float literal is never invalid, and its value is read only once, by
        // the parser.
        i = end;
        continue;
      }
      // Leading zeros are not part of an integer literal: "0" stands alone.
      const std::size_t end = c == '0' ? i + 1 : digits_end;
      push(TokenKind::IntLit, i, end);
      if (end - i > kAlwaysFitting && !int_literal_value(text.substr(i, end - i))) {
        out.errors.push_back({Span{i, end}, kInvalidInteger});
      }
      i = end;
      continue;
    }

    if (static_cast<unsigned char>(c) >= 0x80) {
      if (const std::size_t len = identifier_length(text, i)) {
        const std::string_view word = text.substr(i, len);
        push(reserved_kind(word).value_or(TokenKind::Ident), i, i + len);
        i += len;
        continue;
      }
    }

    const PunctEntry& p = kPunctByByte[static_cast<unsigned char>(c)];
    if (p.second != 0 && i + 1 < n && text[i + 1] == p.second) {
      push(p.pair, i, i + 2);
      i += 2;
      continue;
    }
    if (p.has_single) {
      push(p.single, i, i + 1);
      ++i;
      continue;
    }

    out.errors.push_back({Span{i, i + support::decode_utf8(text, i).len}, {}});
    break;
  }
}

}  // namespace tarvelon::parse
