#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "egraph/arena_list.h"
#include "egraph/flat_map.h"
#include "egraph/hash.h"
#include "egraph/id.h"
#include "egraph/language.h"
#include "egraph/log.h"
#include "egraph/recexpr.h"
#include "egraph/unionfind.h"
#include "support/block_recycler.h"
#include "support/cancel.h"
#include "support/internal_fault.h"

namespace tarvelon::egraph {

/// One equivalence class of e-nodes.
template <Language L>
struct EClass {
  /// The class's root id.
  Id id = 0;
  /// Children canonical as of the last rebuild, then sorted ascending and free of duplicates.
  ArenaList<L> nodes;
  /// Ids of the nodes (not classes) with a child in this class; may hold stale ids and repeats.
  ArenaList<Id> parents;
  /// The operator kinds of `nodes`: bit `d` for each discriminant `d` below 63, and bit 63 when
  /// some node's discriminant is 63 or more.
  std::uint64_t kinds = 0;
  /// Whether `nodes` may have lost canonical children, order or uniqueness since the last rebuild.
  bool touched = false;

  std::size_t size() const { return nodes.size(); }

  /// The nodes among which all that match `pattern_node` (children ignored) lie, in node order:
  /// none when the class has no node of the pattern node's kind; every node of a small class; in a
  /// large one, found by binary search, the nodes of the pattern node's operator kind, which the
  /// sorted order keeps contiguous.
  [[gnu::always_inline]] std::span<const L> matching_run(const L& pattern_node) const {
    const std::uint32_t kind = pattern_node.discriminant();
    // A class without a node of the kind hands over nothing, without a node read.
    if (kind < 63 && (kinds & (std::uint64_t{1} << kind)) == 0) return {};
    std::span<const L> all(nodes.data(), nodes.size());
    if (all.size() < kBinarySearchThreshold) return all;
    return run_of_kind(all, pattern_node);
  }

  /// The nodes of `pattern_node`'s operator kind among `all`, a large class's sorted nodes. Out
  /// of line, so that the common answers above inline into the matcher's loops.
  [[gnu::noinline]] static std::span<const L> run_of_kind(std::span<const L> all,
                                                          const L& pattern_node) {
    const std::uint32_t kind = pattern_node.discriminant();
    // The kind's nodes are contiguous and `at` lies among them or just past them, so each side
    // of it splits in two by whether a node is of the kind.
    auto at = std::lower_bound(all.begin(), all.end(), pattern_node);
    auto first = std::partition_point(
        all.begin(), at, [kind](const L& node) { return node.discriminant() != kind; });
    auto last = std::partition_point(at, all.end(),
                                     [kind](const L& node) { return node.discriminant() == kind; });
    return {first, last};
  }

  static constexpr std::size_t kBinarySearchThreshold = 50;
};

/// A set of terms stored compactly: every distinct node once, equal nodes grouped into classes,
/// children pointing at classes. Merges only record work; `rebuild` restores canonical children,
/// congruence and the by-operator index, and searching requires a rebuilt ("clean") store.
template <Language L>
class EGraph {
 public:
  EGraph() = default;

  /// The root of `id`; never changes the union-find.
  Id find(Id id) const { return union_find_.find(id); }

  /// The class of an equal node, if the store holds one.
  std::optional<Id> lookup(L node) const {
    update_children(node, [&](Id child) { return find(child); });
    const Id* found = memo_.find(node);
    if (found == nullptr) return std::nullopt;
    return union_find_.find_in_range(*found);
  }

  /// Adds `node` unless an equal node exists. Returns the id stored with the existing node (not
  /// necessarily a root) or the new node's id.
  Id add_uncanonical(const L& node) {
    L canonical = node;
    update_children(canonical, [&](Id child) { return find(child); });
    auto [existing, inserted] = memo_.try_emplace(canonical, static_cast<Id>(union_find_.size()));
    if (!inserted) return *existing;
    return make_class(node, canonical);
  }

  /// `add_uncanonical`, then the root of the result.
  Id add(const L& node) { return union_find_.find_in_range(add_uncanonical(node)); }

  /// `add` for a node whose children are all roots, which it takes as they are: the instances of
  /// a rule's right-hand side, built from the roots a match and the entries before it found.
  Id add_with_root_children(const L& node) {
    auto [existing, inserted] = memo_.try_emplace(node, static_cast<Id>(union_find_.size()));
    // The hash-cons holds only ids the store handed out.
    if (!inserted) return union_find_.find_mut_in_range(*existing);
    return make_class(node, node);
  }

  /// Adds every entry of `expr` in order, each child mapped through the ids of the entries before
  /// it; returns the id of every entry (not necessarily roots).
  std::vector<Id> add_expr_entries(const RecExpr<L>& expr) {
    std::vector<Id> ids;
    ids.reserve(expr.size());
    // Doubling a store of millions of classes moves them all in one step that cannot poll. A
    // new store sets aside room for a small kernel's whole run, which then grows no array.
    const std::size_t n = union_find_.size() == 0 ? std::max(expr.size(), kFirstRoom) : expr.size();
    reserve_ids(n);
    memo_.reserve(n);
    for (const L& node : expr) {
      support::poll_cancel();
      ids.push_back(add_uncanonical(map_children(node, [&](Id child) { return ids[child]; })));
    }
    return ids;
  }

  /// Adds every entry of `expr`; returns the id of the last. `expr` must not be empty.
  Id add_expr_uncanonical(const RecExpr<L>& expr) {
    if (expr.empty()) support::internal_fault("cannot add an empty expression");
    return add_expr_entries(expr).back();
  }

  Id add_expr(const RecExpr<L>& expr) { return find(add_expr_uncanonical(expr)); }

  /// Merges the classes of `a` and `b`; true when they were different. The class with more
  /// parents survives; on a tie, the class of `a`. Leaves the store not clean either way.
  bool union_(Id a, Id b) {
    clean_ = false;
    return merge_roots_if_apart(union_find_.find_mut(a), union_find_.find_mut(b));
  }

  /// `union_` for ids the store handed out, such as a match's class and the root of the
  /// instance built for it, which need no range check.
  bool union_stored(Id a, Id b) {
    clean_ = false;
    return merge_roots_if_apart(union_find_.find_mut_in_range(a), union_find_.find_mut_in_range(b));
  }

  /// `find` for an id the store handed out, such as one a match row or the matcher's register
  /// holds.
  Id find_stored(Id id) const { return union_find_.find_in_range(id); }

  /// `find_stored`, halving the path on the way. The roots are the same; the paths that later
  /// finds walk are shorter, for applying a rule's matches looks up the same row ids again and
  /// again, each a root when searched and absorbed by merges since.
  Id find_stored_mut(Id id) { return union_find_.find_mut_in_range(id); }

  /// Restores canonical children, congruence and the by-operator index; returns the number of
  /// merges that congruence required.
  std::size_t rebuild() {
    std::size_t old_nodes = node_count(), old_classes = class_count();
    auto start = std::chrono::steady_clock::now();
    std::size_t unions = 0, trimmed = 0;
    if (changed_) {
      unions = process_unions();
      trimmed = rebuild_classes();
      changed_ = false;
      ++version_;
    }
    settled_ids_ = union_find_.size();
    settled_intact_ = true;
    auto elapsed = std::chrono::steady_clock::now() - start;
    log(LogLevel::Info, [&] {
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
      auto fraction = std::to_string(ms % 1000);
      return cat("REBUILT! in ", ms / 1000, ".", std::string(3 - fraction.size(), '0'), fraction,
                 "s\n", "  Old: hc size ", old_nodes, ", eclasses: ", old_classes, "\n",
                 "  New: hc size ", node_count(), ", eclasses: ", class_count(), "\n",
                 "  unions: ", unions, ", trimmed nodes: ", trimmed);
    });
    clean_ = true;
    return unions;
  }

  /// The class of `find(id)`.
  const EClass<L>& operator[](Id id) const { return root_class(find(id)); }

  /// The class of `root`, which must be a root, such as a child of a node of a clean store's
  /// class or a class its by-operator index lists: `operator[]` without the `find`, for the
  /// matcher, which looks up a class for every node it binds.
  const EClass<L>& root_class(Id root) const {
    // The union-find has an entry per class slot, and its length costs no division.
    if (root >= union_find_.size() || !classes_[root]) [[unlikely]]
      invalid_id(root);
    return *classes_[root];
  }

  /// The node exactly as it was passed when `id` was created.
  const L& id_to_node(Id id) const {
    if (id >= nodes_.size()) [[unlikely]]
      index_out_of_bounds(nodes_.size(), id);
    return nodes_[id];
  }

  /// Number of distinct nodes ever hash-consed; only grows.
  std::size_t node_count() const { return memo_.size(); }
  std::size_t class_count() const { return class_count_; }
  /// Whether nothing changed since the last `rebuild`.
  bool clean() const { return clean_; }
  /// Grows with every node added, every merge and every rebuild that had work to do: two equal
  /// readings enclose no change of the store (a path halved by `find` aside).
  std::uint64_t version() const { return version_; }
  const UnionFind& union_find() const { return union_find_; }

  /// Whether no merge since the last rebuild has absorbed a class that was a root then and that
  /// a node names as a child. While none has, every node the store held at that rebuild, and
  /// every node added since whose children were such classes, keeps the canonical children it
  /// was stored with: adding it again finds it.
  bool settled_classes_intact() const { return settled_intact_; }

  /// Root ids of the classes holding a node of operator kind `discriminant`, in ascending order;
  /// exact only in a clean store. Null when no class ever held one.
  const std::vector<Id>* classes_by_op(std::uint32_t discriminant) const {
    const std::uint32_t* slot = op_slot_.find(discriminant);
    return slot == nullptr ? nullptr : &op_sets_[*slot];
  }

  /// Whether some class holds a node of operator kind `discriminant`; exact only in a clean
  /// store. Cheaper than `classes_by_op` for the kinds with a bit of their own.
  bool holds_kind(std::uint32_t discriminant) const {
    if (discriminant >= kNarrowKinds) {
      const std::vector<Id>* classes = classes_by_op(discriminant);
      return classes != nullptr && !classes->empty();
    }
    const std::uint32_t slot = narrow_slot_[discriminant];
    return slot != kNoSlot && !op_sets_[slot].empty();
  }

  /// The classes in ascending id order.
  class ClassRange {
   public:
    class iterator {
     public:
      using value_type = EClass<L>;
      using difference_type = std::ptrdiff_t;
      iterator() = default;
      iterator(const std::optional<EClass<L>>* at, const std::optional<EClass<L>>* end)
          : at_(at), end_(end) {
        skip();
      }
      const EClass<L>& operator*() const { return **at_; }
      const EClass<L>* operator->() const { return &**at_; }
      iterator& operator++() {
        ++at_;
        skip();
        return *this;
      }
      iterator operator++(int) {
        iterator before = *this;
        ++*this;
        return before;
      }
      friend bool operator==(const iterator& a, const iterator& b) { return a.at_ == b.at_; }

     private:
      void skip() {
        while (at_ != end_ && !at_->has_value()) ++at_;
      }
      const std::optional<EClass<L>>* at_ = nullptr;
      const std::optional<EClass<L>>* end_ = nullptr;
    };
    explicit ClassRange(std::span<const std::optional<EClass<L>>> classes) : classes_(classes) {}
    iterator begin() const { return {classes_.data(), classes_.data() + classes_.size()}; }
    iterator end() const {
      return {classes_.data() + classes_.size(), classes_.data() + classes_.size()};
    }

   private:
    std::span<const std::optional<EClass<L>>> classes_;
  };

  ClassRange classes() const { return ClassRange(classes_); }

  /// One line per class in ascending id order: the id, the (empty) data and the sorted nodes.
  std::string dump() const {
    std::string out;
    for (const EClass<L>& c : classes()) {
      std::vector<L> sorted(c.nodes.begin(), c.nodes.end());
      std::sort(sorted.begin(), sorted.end());
      out += cat(c.id, " (): ", nodes_text<L>(sorted), "\n");
    }
    return out;
  }

 private:
  /// Out of line, so that the lookups the matcher makes for every node it binds stay small enough
  /// to inline.
  [[noreturn, gnu::noinline, gnu::cold]] static void invalid_id(Id id) {
    support::internal_fault(cat("Invalid id ", id));
  }

  /// Creates the class of a node that `memo_` has just taken as `canonical`; `node` is the node
  /// as given. Out of line: most additions find their node and never come here.
  [[gnu::noinline]] Id make_class(const L& node, const L& canonical) {
    if (classes_.size() == classes_.capacity()) [[unlikely]]
      reserve_ids(1);
    Id id = union_find_.make_set();
    // Checked here rather than through `log`, which the compiler keeps out of line.
    if (log_enabled(LogLevel::Trace)) [[unlikely]]
      log_write(LogLevel::Trace, cat("  ...adding to ", id));
    nodes_.push_back(node);
    classes_.emplace_back(std::in_place, EClass<L>{id, ArenaList<L>::single(canonical, *arena_),
                                                   ArenaList<Id>::with_room(kParentRoom, *arena_),
                                                   kind_bit(canonical.discriminant())});
    // Canonical children are roots: their classes need no find.
    for (Id child : canonical.children()) classes_[child]->parents.push_back(id, *arena_);
    ++class_count_;
    ++version_;
    clean_ = false;
    changed_ = true;
    return id;
  }

  /// Makes room for `n` more ids in the arrays indexed by id, which grow together: fourfold
  /// while small, twofold after. Growing moves every record one at a time, and a store that
  /// grows to thousands of classes moves its first ones half as often.
  [[gnu::noinline]] void reserve_ids(std::size_t n) {
    const std::size_t size = classes_.size();
    if (classes_.capacity() - size >= n) return;
    const std::size_t capacity = classes_.capacity();
    const std::size_t target =
        std::max((capacity < kQuadrupleIdsBelow ? 4 : 2) * capacity, size + n);
    nodes_.reserve(target);
    classes_.reserve(target);
    union_find_.reserve(target - size);
  }
  static constexpr std::size_t kQuadrupleIdsBelow = std::size_t{1} << 14;

  /// Appends the shorter of the two lists behind the longer one, leaving the result in `into`.
  template <class T>
  void concat(ArenaList<T>& into, ArenaList<T>& from) {
    if (into.size() < from.size()) into.swap(from);
    into.append(from.data(), from.size(), *arena_);
    from.clear();
  }

  bool merge_roots_if_apart(Id r1, Id r2) {
    if (r1 == r2) return false;
    merge_roots(r1, r2);
    return true;
  }

  /// Merges two different classes by their roots. Out of line: most merges the rules ask for
  /// find one class already.
  [[gnu::noinline]] void merge_roots(Id r1, Id r2) {
    changed_ = true;
    ++version_;
    if (classes_[r1]->parents.size() < classes_[r2]->parents.size()) std::swap(r1, r2);
    union_find_.union_roots(r1, r2);
    EClass<L>& absorbed = *classes_[r2];
    if (r2 < settled_ids_ && !absorbed.parents.empty()) settled_intact_ = false;
    --class_count_;
    EClass<L>& survivor = *classes_[r1];
    if (survivor.id != r1) support::internal_fault("assertion failed: class1.id == id1");
    pending_.insert(pending_.end(), absorbed.parents.begin(), absorbed.parents.end());
    concat(survivor.nodes, absorbed.nodes);
    concat(survivor.parents, absorbed.parents);
    survivor.kinds |= absorbed.kinds;
    survivor.touched = true;
    classes_[r2].reset();
  }

  std::size_t process_unions() {
    std::size_t unions = 0;
    while (!pending_.empty()) {
      support::poll_cancel();
      Id n = pending_.back();
      pending_.pop_back();
      L node = nodes_[n];
      update_children(node, [&](Id child) { return union_find_.find_mut_in_range(child); });
      // Its class must re-canonicalize its copy; should the class be absorbed later in this
      // pass, the class that absorbs it is marked in its stead.
      classes_[union_find_.find_mut_in_range(n)]->touched = true;
      auto [value, inserted] = memo_.try_emplace(node, n);
      if (!inserted) {
        Id m = std::exchange(*value, n);
        if (union_stored(m, n)) ++unions;
      }
    }
    return unions;
  }

  /// Re-canonicalizes, sorts and de-duplicates the nodes of the touched classes and rebuilds the
  /// by-operator index; returns the number of duplicates dropped. A node's children can only
  /// have lost their roots if it went through `pending_`, and a class's order only if it
  /// absorbed another, so every other class is canonical, sorted and free of duplicates still.
  std::size_t rebuild_classes() {
    for (auto& set : op_sets_) set.clear();
    std::size_t trimmed = 0;
    for (auto& slot : classes_) {
      support::poll_cancel();
      if (!slot) continue;
      EClass<L>& c = *slot;
      if (c.touched) {
        c.touched = false;
        trimmed += tidy(c);
      }
      register_kinds(c);
    }
    return trimmed;
  }

  /// Canonicalizes, sorts and de-duplicates the nodes of `c`; returns how many it dropped.
  std::size_t tidy(EClass<L>& c) {
    for (L& node : c.nodes)
      update_children(node, [&](Id child) { return union_find_.find_mut_in_range(child); });
    // Most classes are still in order: checking is linear where sorting is not.
    if (!std::is_sorted(c.nodes.begin(), c.nodes.end())) sort_nodes(c.nodes);
    std::size_t before = c.nodes.size();
    c.nodes.truncate(
        static_cast<std::size_t>(std::unique(c.nodes.begin(), c.nodes.end()) - c.nodes.begin()));
    return before - c.nodes.size();
  }

  /// Sorts `nodes`, which hold an ascending run for each class merged in since the last rebuild,
  /// broken where a node's children moved. Merging neighbouring runs pass after pass compares a
  /// node about log2(runs) times where a full sort compares it about log2(size) times; a small
  /// class sorts whole, which costs it little more than a sweep. Nodes that compare equivalent
  /// are equal, so the order is the one any sort gives.
  void sort_nodes(ArenaList<L>& nodes) {
    const std::size_t n = nodes.size();
    L* data = nodes.data();
    if (n < kMergeRunsFrom) return std::sort(data, data + n);
    run_ends_.clear();
    for (std::size_t i = 1; i < n; ++i) {
      if (data[i] < data[i - 1]) run_ends_.push_back(i);
    }
    run_ends_.push_back(n);
    merge_scratch_.resize(n);
    L* from = data;
    L* to = merge_scratch_.data();
    while (run_ends_.size() > 1) {
      std::size_t begin = 0, kept = 0;
      for (std::size_t r = 0; r < run_ends_.size(); r += 2) {
        const std::size_t middle = run_ends_[r];
        const std::size_t end = r + 1 < run_ends_.size() ? run_ends_[r + 1] : middle;
        std::merge(from + begin, from + middle, from + middle, from + end, to + begin);
        run_ends_[kept++] = end;
        begin = end;
      }
      run_ends_.resize(kept);
      std::swap(from, to);
    }
    if (from != data) std::copy(from, from + n, data);
  }

  /// Lists `c` under each operator kind of its nodes.
  void register_kinds(const EClass<L>& c) {
    if ((c.kinds & kWideKinds) != 0) {
      // Some kind has no bit of its own: the nodes name them all, sorted kind by kind.
      if (c.nodes.empty()) return;
      const L* last = &c.nodes.front();
      register_class(last->discriminant(), c.id);
      for (const L& node : c.nodes) {
        if (!node.matches(*last)) {
          register_class(node.discriminant(), c.id);
          last = &node;
        }
      }
      return;
    }
    for (std::uint64_t kinds = c.kinds; kinds != 0; kinds &= kinds - 1)
      register_class(static_cast<std::uint32_t>(std::countr_zero(kinds)), c.id);
  }

  /// The bit of `discriminant` in `EClass::kinds`.
  static std::uint64_t kind_bit(std::uint32_t discriminant) {
    return discriminant < 63 ? std::uint64_t{1} << discriminant : kWideKinds;
  }
  static constexpr std::uint64_t kWideKinds = std::uint64_t{1} << 63;

  void register_class(std::uint32_t discriminant, Id id) {
    std::uint32_t position = discriminant < kNarrowKinds ? narrow_slot_[discriminant] : kNoSlot;
    if (position == kNoSlot) {
      auto [slot, inserted] =
          op_slot_.try_emplace(discriminant, static_cast<std::uint32_t>(op_sets_.size()));
      if (inserted) op_sets_.emplace_back().reserve(kFirstOpSetRoom);
      position = *slot;
      if (discriminant < kNarrowKinds) narrow_slot_[discriminant] = position;
    }
    std::vector<Id>& set = op_sets_[position];
    // Classes register in ascending order, each contiguously, so a repeat is always at the back.
    if (set.empty() || set.back() != id) set.push_back(id);
  }

  /// Parents a new class makes room for at birth.
  static constexpr std::size_t kParentRoom = 4;
  /// Nodes a new store makes room for when its first expression arrives: a few KiB.
  static constexpr std::size_t kFirstRoom = 64;
  /// Classes an operator kind's index makes room for when it first appears.
  static constexpr std::size_t kFirstOpSetRoom = 16;

  /// Holds the node and parent lists of the classes: the store makes many small lists and grows
  /// them often, and releases them all together when it goes. Held by pointer so that the store
  /// can move.
  std::unique_ptr<Arena> arena_ = std::make_unique<Arena>();
  UnionFind union_find_;
  /// For every id, the node as passed when the id was created.
  std::vector<L, support::RecyclingAllocator<L>> nodes_;
  /// Node with children canonical as of its last canonicalization -> the id that put it there.
  FlatHashMap<L, Id, MemberHash> memo_;
  /// Ids whose nodes must be re-canonicalized and re-checked against `memo_`; a stack. A node
  /// enters when the class of one of its children is absorbed, through that class's parent list:
  /// a new node, whose children were roots when it was made, needs no check until then.
  std::vector<Id, support::RecyclingAllocator<Id>> pending_;
  /// Indexed by id; engaged exactly for roots.
  std::vector<std::optional<EClass<L>>, support::RecyclingAllocator<std::optional<EClass<L>>>>
      classes_;
  // Growing the class array then moves each record as plain bytes.
  static_assert(std::is_trivially_move_constructible_v<std::optional<EClass<L>>>);
  std::size_t class_count_ = 0;
  /// By-operator index: discriminant -> position in `op_sets_`.
  FlatHashMap<std::uint32_t, std::uint32_t, IdHash> op_slot_;
  /// `op_slot_` for the kinds with a bit of their own, `kNoSlot` until first registered.
  static constexpr std::uint32_t kNarrowKinds = 63;
  static constexpr std::uint32_t kNoSlot = std::numeric_limits<std::uint32_t>::max();
  std::array<std::uint32_t, kNarrowKinds> narrow_slot_ = [] {
    std::array<std::uint32_t, kNarrowKinds> slots{};
    slots.fill(kNoSlot);
    return slots;
  }();
  std::vector<std::vector<Id>> op_sets_;
  static constexpr std::size_t kMergeRunsFrom = 64;
  /// Scratch space of `sort_nodes`, kept from rebuild to rebuild.
  std::vector<std::size_t> run_ends_;
  std::vector<L> merge_scratch_;
  bool clean_ = false;
  std::uint64_t version_ = 0;
  /// Ids below this were handed out before the last rebuild; `settled_intact_` holds until a
  /// merge absorbs one of those classes that has parents.
  std::size_t settled_ids_ = 0;
  bool settled_intact_ = true;
  /// Whether a node was added or two classes merged since the last rebuild; when not, the
  /// classes are canonical and sorted and the index is exact, and a rebuild has nothing to do.
  bool changed_ = true;
};

}  // namespace tarvelon::egraph
