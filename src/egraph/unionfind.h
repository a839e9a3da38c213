#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "egraph/id.h"
#include "support/block_recycler.h"

namespace tarvelon::egraph {

/// Disjoint sets over dense ids as one parent array. A set is a root when its parent is itself.
/// No rank is kept: the caller decides which root survives a merge.
class UnionFind {
 public:
  /// Appends a new singleton set whose id is the current length.
  Id make_set() {
    Id id = static_cast<Id>(parents_.size());
    parents_.push_back(id);
    return id;
  }

  std::size_t size() const { return parents_.size(); }

  /// Makes room for `n` more sets, growing at least geometrically.
  void reserve(std::size_t n) {
    if (parents_.capacity() - parents_.size() < n)
      parents_.reserve(std::max(2 * parents_.capacity(), parents_.size() + n));
  }

  /// The root of `id`, without touching the parent array.
  Id find(Id id) const {
    check(id);
    while (parents_[id] != id) id = parents_[id];
    return id;
  }

  /// `find` for an id known to be below `size()`, such as a stored node's child: the store's
  /// own passes over its nodes ask it by the million.
  Id find_in_range(Id id) const {
    while (parents_[id] != id) id = parents_[id];
    return id;
  }

  /// The root of `id`, halving the path on the way: every visited id is re-pointed at its
  /// grandparent.
  Id find_mut(Id id) {
    check(id);
    return find_mut_in_range(id);
  }

  /// `find_mut` for an id known to be below `size()`.
  Id find_mut_in_range(Id id) {
    while (parents_[id] != id) {
      Id grandparent = parents_[parents_[id]];
      parents_[id] = grandparent;
      id = grandparent;
    }
    return id;
  }

  /// Makes root `child` point at root `root`; returns `root`.
  Id union_roots(Id root, Id child) {
    parents_[child] = root;
    return root;
  }

  Id parent(Id id) const {
    check(id);
    return parents_[id];
  }

 private:
  void check(Id id) const {
    if (id >= parents_.size()) [[unlikely]]
      index_out_of_bounds(parents_.size(), id);
  }

  std::vector<Id, support::RecyclingAllocator<Id>> parents_;
};

}  // namespace tarvelon::egraph
