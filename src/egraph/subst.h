#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "egraph/id.h"
#include "egraph/text.h"
#include "egraph/var.h"
#include "support/internal_fault.h"

namespace tarvelon::egraph {

/// A substitution: pattern variables bound to class ids, searched linearly. Up to three
/// bindings are held without allocation.
class Subst {
 public:
  struct Binding {
    Var var;
    Id id = 0;
    friend bool operator==(const Binding&, const Binding&) = default;
  };

  /// Binds `var` to `id`; returns the previous binding of `var`, if any.
  std::optional<Id> insert(Var var, Id id) {
    for (Binding& b : bindings_mut()) {
      if (b.var == var) return std::exchange(b.id, id);
    }
    append(var, id);
    return std::nullopt;
  }

  /// Binds `var`, which must not be bound yet, to `id`.
  void append(Var var, Id id) {
    if (size_ < kInline) {
      inline_[size_] = {var, id};
    } else {
      if (size_ == kInline) heap_.assign(inline_.begin(), inline_.end());
      heap_.push_back({var, id});
    }
    ++size_;
  }

  std::optional<Id> get(Var var) const {
    for (const Binding& b : bindings()) {
      if (b.var == var) return b.id;
    }
    return std::nullopt;
  }

  /// The binding of `var`, which must be present.
  Id operator[](Var var) const {
    if (auto id = get(var)) return *id;
    support::internal_fault(cat("Var '", var, "=", var, "' not found in ", *this));
  }

  std::span<const Binding> bindings() const {
    return size_ <= kInline ? std::span<const Binding>(inline_.data(), size_)
                            : std::span<const Binding>(heap_);
  }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  friend bool operator==(const Subst& a, const Subst& b) {
    auto x = a.bindings(), y = b.bindings();
    return std::equal(x.begin(), x.end(), y.begin(), y.end());
  }

  /// "{?x: 1, ?y: 2}"
  friend void append_text(std::string& out, const Subst& subst) {
    out += '{';
    append_joined(out, subst.bindings(), ", ", [](std::string& o, const Binding& b) {
      append_text(o, b.var);
      o += ": ";
      append_text(o, b.id);
    });
    out += '}';
  }

 private:
  static constexpr std::size_t kInline = 3;
  std::span<Binding> bindings_mut() {
    return size_ <= kInline ? std::span<Binding>(inline_.data(), size_) : std::span<Binding>(heap_);
  }
  std::array<Binding, kInline> inline_{};
  std::vector<Binding> heap_;
  std::uint32_t size_ = 0;
};

}  // namespace tarvelon::egraph
