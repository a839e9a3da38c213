#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
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

/// Substitutions over one list of variables, stored as rows of class ids, one id per variable:
/// the matches of a searcher in one class, kept without a `Subst` per match. The variable list
/// is borrowed and must outlive the rows (it belongs to the searcher's compiled pattern).
class SubstRows {
 public:
  SubstRows() = default;
  explicit SubstRows(std::span<const Var> vars) : vars_(vars) {}

  std::span<const Var> vars() const { return vars_; }
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

  /// Row `i`: the id of each variable, in the order of `vars()`.
  std::span<const Id> row(std::size_t i) const { return {ids() + i * vars_.size(), vars_.size()}; }
  /// Row `i` as a substitution.
  Subst operator[](std::size_t i) const {
    Subst subst;
    std::span<const Id> ids = row(i);
    for (std::size_t k = 0; k < vars_.size(); ++k) subst.append(vars_[k], ids[k]);
    return subst;
  }

  /// The same rows read through `vars`, one variable per column as before: the rows of another
  /// program that binds the same registers to its columns under other names.
  void rename_vars(std::span<const Var> vars) {
    if (vars.size() != vars_.size())
      support::internal_fault("renamed match rows must keep their columns");
    vars_ = vars;
  }

  /// Makes these, which hold no rows, the `count` rows given one after another in `ids`, one
  /// id per entry of `vars` per row.
  void assign_rows(std::span<const Var> vars, std::span<const Id> ids, std::size_t count) {
    vars_ = vars;
    append_rows(ids, count);
  }

  /// Appends `count` rows given one after another in `ids`, `vars().size()` ids per row.
  void append_rows(std::span<const Id> ids, std::size_t count) {
    std::size_t held = count_ * vars_.size();
    if (heap_.empty() && held + ids.size() <= kInline) {
      std::copy(ids.begin(), ids.end(), inline_.begin() + static_cast<std::ptrdiff_t>(held));
    } else {
      if (heap_.empty())
        heap_.assign(inline_.begin(), inline_.begin() + static_cast<std::ptrdiff_t>(held));
      heap_.insert(heap_.end(), ids.begin(), ids.end());
    }
    count_ += count;
  }

  /// Walks the rows as `Subst` values, each built on the way.
  class iterator {
   public:
    using value_type = Subst;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    iterator(const SubstRows* rows, std::size_t i) : rows_(rows), i_(i) {}
    Subst operator*() const { return (*rows_)[i_]; }
    iterator& operator++() {
      ++i_;
      return *this;
    }
    iterator operator++(int) {
      iterator before = *this;
      ++i_;
      return before;
    }
    friend bool operator==(const iterator& a, const iterator& b) { return a.i_ == b.i_; }

   private:
    const SubstRows* rows_ = nullptr;
    std::size_t i_ = 0;
  };
  iterator begin() const { return {this, 0}; }
  iterator end() const { return {this, count_}; }

 private:
  /// Rows of up to this many ids in all are held without allocation: most classes match a rule
  /// once or twice, and few more than four times with three variables.
  static constexpr std::size_t kInline = 12;
  const Id* ids() const { return heap_.empty() ? inline_.data() : heap_.data(); }

  std::span<const Var> vars_;
  std::array<Id, kInline> inline_{};
  std::vector<Id> heap_;
  std::size_t count_ = 0;
};

}  // namespace tarvelon::egraph
