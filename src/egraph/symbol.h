#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvelon::egraph {

/// An interned string as a 32-bit handle: the top 4 bits name the symbol table's shard, the low
/// 28 bits are one plus the string's index in that shard. Two symbols are equal exactly when
/// their texts are equal. The handle 0 is the placeholder value of a default-constructed symbol
/// and names no text. Numeric handle order differs between processes.
class GlobalSymbol {
 public:
  GlobalSymbol() = default;
  /// Interns `text`.
  explicit GlobalSymbol(std::string_view text);
  static GlobalSymbol from_str(std::string_view text) { return GlobalSymbol(text); }
  /// The symbol of a handle obtained from `handle()` in this process.
  static GlobalSymbol from_handle(std::uint32_t handle) {
    GlobalSymbol symbol;
    symbol.handle_ = handle;
    return symbol;
  }

  /// The interned text; it lives until the process ends.
  std::string_view as_str() const;
  std::uint32_t handle() const { return handle_; }

  friend bool operator==(GlobalSymbol, GlobalSymbol) = default;
  friend std::strong_ordering operator<=>(GlobalSymbol, GlobalSymbol) = default;

 private:
  std::uint32_t handle_ = 0;
};

inline void append_text(std::string& out, GlobalSymbol symbol) { out.append(symbol.as_str()); }

namespace detail {
/// The handle of the string at `index` of shard `shard`: the shard in the top 4 bits and
/// `index` + 1 in the low 28. An index whose successor does not fit below 0x0FFFFFFF is an
/// internal fault.
std::uint32_t symbol_handle(std::uint32_t shard, std::size_t index);
}  // namespace detail

/// The process-wide string interner: 16 shards, each a mutex-guarded list of owned strings with
/// a hash index, created once on first use and never freed. Interning and resolving lock exactly
/// one shard.
class SymbolTable {
 public:
  static SymbolTable& instance();

  /// The handle of `text`, storing a copy of it on first sight.
  std::uint32_t intern(std::string_view text);
  /// The text of a handle returned by `intern`.
  std::string_view resolve(std::uint32_t handle);

  SymbolTable(const SymbolTable&) = delete;
  SymbolTable& operator=(const SymbolTable&) = delete;

 private:
  SymbolTable();
  struct Shard;
  Shard* shards_;
  std::uint64_t key0_, key1_;
};

}  // namespace tarvelon::egraph
