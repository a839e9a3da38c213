#pragma once

#include <algorithm>
#include <array>
#include <compare>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "egraph/hash.h"
#include "egraph/language.h"
#include "egraph/symbol.h"
#include "egraph/text.h"
#include "support/internal_fault.h"
#include "support/ordering.h"

namespace tarvelon::egraph {

/// The smallest useful engine language: every operator is an interned symbol, and a node has up
/// to `kMaxChildren` children. Two nodes match when they have the same symbol and the same number
/// of children. Used by the engine's own tests and benchmarks, and as an example of what a
/// language provides.
class SymbolLang {
 public:
  static constexpr std::size_t kMaxChildren = 4;

  SymbolLang() = default;
  /// At most `kMaxChildren` children; more is a fault of the caller (`from_op` refuses them).
  SymbolLang(GlobalSymbol op, std::span<const Id> children)
      : op_(op), count_(static_cast<std::uint32_t>(children.size())) {
    if (children.size() > kMaxChildren)
      support::internal_fault(cat("a node has at most ", kMaxChildren, " children"));
    std::copy(children.begin(), children.end(), children_.begin());
  }
  SymbolLang(std::string_view op, std::initializer_list<Id> children)
      : SymbolLang(GlobalSymbol(op), std::span<const Id>(children.begin(), children.size())) {}

  static std::expected<SymbolLang, FromOpError> from_op(std::string_view op,
                                                        std::span<const Id> children) {
    if (children.size() > kMaxChildren) {
      return std::unexpected(FromOpError{std::string(op), {children.begin(), children.end()}});
    }
    return SymbolLang(GlobalSymbol(op), children);
  }

  GlobalSymbol op() const { return op_; }
  std::span<const Id> children() const { return {children_.data(), count_}; }
  std::span<Id> children_mut() { return {children_.data(), count_}; }
  std::uint32_t discriminant() const { return op_.handle(); }
  bool matches(const SymbolLang& other) const { return op_ == other.op_ && count_ == other.count_; }
  std::string op_text() const { return std::string(op_.as_str()); }

  std::uint64_t hash() const {
    std::uint64_t h = hash_combine(op_.handle(), count_);
    for (std::uint32_t i = 0; i < count_; ++i) h = hash_combine(h, children_[i]);
    return hash_finish(h);
  }

  friend bool operator==(const SymbolLang& a, const SymbolLang& b) {
    bool same = a.op_ == b.op_ && a.count_ == b.count_;
    for (std::size_t i = 0; i < kMaxChildren; ++i) same &= a.children_[i] == b.children_[i];
    return same;
  }

  /// By operator text (not handle, so the order is the same in every process), then number of
  /// children, then children.
  friend std::strong_ordering operator<=>(const SymbolLang& a, const SymbolLang& b) {
    if (a.op_ != b.op_) {
      int c = a.op_.as_str().compare(b.op_.as_str());
      return c < 0 ? std::strong_ordering::less : std::strong_ordering::greater;
    }
    if (auto c = a.count_ <=> b.count_; c != 0) return c;
    return support::lexicographic_order(a.children_, b.children_);
  }

 private:
  GlobalSymbol op_;
  std::uint32_t count_ = 0;
  /// Unused slots stay 0, so equality and order may compare the whole array.
  std::array<Id, kMaxChildren> children_{};
};

}  // namespace tarvelon::egraph
