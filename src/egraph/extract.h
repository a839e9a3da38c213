#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/log.h"
#include "egraph/recexpr.h"
#include "egraph/unionfind.h"
#include "support/block_recycler.h"
#include "support/cancel.h"
#include "support/internal_fault.h"

namespace tarvelon::egraph {

/// Extraction cost: an unsigned machine word, totally ordered.
using Cost = std::size_t;

/// The costs already chosen for child classes, looked up by any id of the class.
class ChildCosts {
 public:
  /// `canonical`: every child asked about is its class's root, as in a clean store. `checked`:
  /// the caller has made sure that every child asked about has a cost, under `canonical` as the
  /// root it is.
  ChildCosts(const UnionFind& union_find, std::span<const Cost> costs,
             std::span<const std::uint8_t> known, bool canonical = false, bool checked = false)
      : union_find_(union_find),
        costs_(costs),
        known_(known),
        canonical_(canonical),
        checked_(canonical && checked) {}

  Cost operator()(Id child) const {
    if (checked_) return costs_[child];
    Id root = canonical_ && child < known_.size() ? child : union_find_.find(child);
    if (!known_[root]) support::internal_fault("no entry found for key");
    return costs_[root];
  }

 private:
  const UnionFind& union_find_;
  std::span<const Cost> costs_;
  std::span<const std::uint8_t> known_;
  bool canonical_;
  bool checked_;
};

/// A cost function: the cost of a node given the costs of its children's classes.
template <class C, class L>
concept CostModel = requires(C& model, const L& node, const ChildCosts& child_costs) {
  { model.node_cost(node, child_costs) } -> std::same_as<Cost>;
};

/// A cost model whose node cost is the node's own weight plus its children's costs, added in
/// child order after the weight, exactly as `node_cost` adds them: a node is then costed in one
/// pass over its children.
template <class C, class L>
concept AdditiveCostModel = CostModel<C, L> && requires(const C& model, const L& node) {
  { model.node_weight(node) } -> std::same_as<Cost>;
};

/// "EClass { id: 3, nodes: [...], data: (), parents: [...] }"
template <Language L>
std::string eclass_text(const EClass<L>& c) {
  std::string parents;
  append_joined(parents, c.parents, ", ", [](std::string& o, Id id) { append_text(o, id); });
  return cat("EClass { id: ", c.id, ", nodes: ", nodes_text<L>(c.nodes), ", data: (), parents: [",
             parents, "] }");
}

/// Chooses, for every class, the node whose term is cheapest, and builds the cheapest term of
/// any class. The e-graph must stay unchanged while the extractor exists.
template <Language L, CostModel<L> C>
class Extractor {
 public:
  Extractor(const EGraph<L>& egraph, C cost_model)
      : egraph_(egraph), model_(std::move(cost_model)) {
    std::size_t n = egraph.union_find().size();
    costs_.assign(n, 0);
    known_.assign(n, 0);
    best_.assign(n, L{});
    find_costs();
  }

  /// The cheapest term of `eclass` and its cost; equal sub-terms appear once, the root last.
  std::pair<Cost, RecExpr<L>> find_best(Id eclass) const {
    Id root = checked_root(eclass);
    Cost cost = costs_[root];
    if (egraph_.clean()) return {cost, clean_term(best_[root])};
    return {cost, build_recexpr(best_[root], [&](Id child) { return find_best_node(child); })};
  }

  /// The chosen node of `eclass`.
  const L& find_best_node(Id eclass) const { return best_[checked_root(eclass)]; }

  Cost find_best_cost(Id eclass) const { return costs_[checked_root(eclass)]; }

 private:
  Id checked_root(Id eclass) const {
    Id root = egraph_.find(eclass);
    if (!known_[root]) support::internal_fault("no entry found for key");
    return root;
  }

  /// The term `build_recexpr` builds below `root`, for a clean store, where it needs no lookup
  /// of equal entries: every child is a class root, and since no two classes hold the same node,
  /// no two classes' chosen nodes become equal entries. Entries are found by class instead.
  RecExpr<L> clean_term(const L& root) const {
    constexpr Id kNone = ~Id{0};
    constexpr std::size_t kFirstRoom = 16;
    std::vector<Id, support::RecyclingAllocator<Id>> entry_of(best_.size(), kNone);
    RecExpr<L> term;
    term.reserve(kFirstRoom);
    std::vector<Id> stack;
    stack.reserve(kFirstRoom);
    stack.assign(root.children().begin(), root.children().end());
    while (!stack.empty()) {
      support::poll_cancel();
      const Id id = stack.back();
      if (entry_of[id] != kNone) {
        stack.pop_back();
        continue;
      }
      // A clean store's children are roots: the chosen node is found by class directly.
      if (!known_[id]) support::internal_fault("no entry found for key");
      const L& node = best_[id];
      bool pushed = false;
      for (Id child : node.children()) {
        if (entry_of[child] == kNone) {
          stack.push_back(child);
          pushed = true;
        }
      }
      if (pushed) continue;
      entry_of[id] = term.add(map_children(node, [&](Id child) { return entry_of[child]; }));
      stack.pop_back();
    }
    term.add(map_children(root, [&](Id child) { return entry_of[child]; }));
    return term;
  }

  /// The root of a node's child; `canonical` when the store is clean, whose nodes have roots for
  /// children.
  Id child_root(Id child, bool canonical) const {
    return canonical ? child : egraph_.union_find().find_in_range(child);
  }

  /// Sweeps all classes until a sweep changes nothing; costs written in a sweep are used by the
  /// classes after them in the same sweep. A class none of whose child classes changed since it
  /// was last costed would find what it found then, which changed nothing the second time, so
  /// a sweep passes it by: the sweeps write exactly what sweeping every class would.
  void find_costs() {
    const UnionFind& uf = egraph_.union_find();
    // A saturated store keeps a slot for every id ever made, most of them absorbed into other
    // classes: the live classes are gathered once, in ascending id order, and every pass walks
    // them alone.
    std::vector<const EClass<L>*, support::RecyclingAllocator<const EClass<L>*>> live;
    live.reserve(egraph_.class_count());
    for (const EClass<L>& c : egraph_.classes()) live.push_back(&c);
    // Whether some child class of the class changed since it was last costed; all are at first.
    std::vector<std::uint8_t, support::RecyclingAllocator<std::uint8_t>> stale(known_.size(), 1);
    bool changed = true;
    while (changed) {
      changed = false;
      for (const EClass<L>* c : live) {
        support::poll_cancel();
        if (!stale[c->id]) continue;
        stale[c->id] = 0;
        auto pass = best_of(*c);
        if (!pass) continue;
        if (!known_[c->id] || pass->first < costs_[c->id]) {
          costs_[c->id] = pass->first;
          best_[c->id] = *pass->second;
          known_[c->id] = 1;
          changed = true;
          // Every node with a child here is listed among the parents, perhaps stale or twice.
          for (Id parent : c->parents) stale[uf.find_in_range(parent)] = 1;
        }
      }
    }
    choose_first_of_least_cost(live);
    for (const EClass<L>* c : live) {
      if (!known_[c->id]) {
        log(LogLevel::Warn, [&] {
          return cat("Failed to compute cost for eclass ", c->id, ": ", nodes_text<L>(c->nodes));
        });
      }
    }
  }

  /// The sweeps keep a stored node unless a strictly cheaper one appears, so which of several
  /// equally cheap nodes they leave depends on the order in which classes settled. Once costs
  /// are final, every class takes the first node of least cost in its own order instead, so
  /// that ties go by the class's node order alone. A node qualifies only when each child class
  /// is strictly cheaper than the node itself, which keeps the chosen nodes free of cycles even
  /// for a cost model with weightless nodes (with positive weights every node qualifies).
  void choose_first_of_least_cost(std::span<const EClass<L>* const> live) {
    const UnionFind& uf = egraph_.union_find();
    const bool canonical = egraph_.clean();
    const auto root = [&](Id child) { return child_root(child, canonical); };
    // Every node is costed only once each of its children's classes has a cost.
    ChildCosts child_costs(uf, costs_, known_, canonical, true);
    for (const EClass<L>* c : live) {
      support::poll_cancel();
      // A class of one node holds the node the sweeps chose: there is nothing to choose between.
      if (!known_[c->id] || c->nodes.size() == 1) continue;
      const Cost least = costs_[c->id];
      for (const L& node : c->nodes) {
        if constexpr (AdditiveCostModel<C, L>) {
          // A clean store's children are roots: the node is judged in one pass over them.
          if (canonical) {
            if (!sums_to_least(node, least)) continue;
            best_[c->id] = node;
            break;
          }
        }
        if (!all_children(node, [&](Id child) { return known_[root(child)] != 0; })) continue;
        if (model_.node_cost(node, child_costs) != least) continue;
        if (!all_children(node, [&](Id child) { return costs_[root(child)] < least; })) continue;
        best_[c->id] = node;
        break;
      }
    }
  }

  /// Whether each child class of `node`, children being roots, has a cost below `least`, and
  /// the node's cost is `least`.
  bool sums_to_least(const L& node, Cost least) const {
    Cost cost = model_.node_weight(node);
    for (Id child : node.children()) {
      if (!known_[child] || costs_[child] >= least) return false;
      cost += costs_[child];
    }
    return cost == least;
  }

  /// The first node of least cost in the class's order, or nothing if no node has a cost yet.
  std::optional<std::pair<Cost, const L*>> best_of(const EClass<L>& c) {
    if (c.nodes.empty())
      support::internal_fault("Can't extract, eclass is empty: " + eclass_text(c));
    std::optional<std::pair<Cost, const L*>> best;
    const UnionFind& uf = egraph_.union_find();
    const bool canonical = egraph_.clean();
    // Every node is costed only once each of its children's classes has a cost.
    ChildCosts child_costs(uf, costs_, known_, canonical, true);
    if constexpr (AdditiveCostModel<C, L>) {
      // A clean store's children are roots: a node is costed in one pass over them.
      if (canonical) {
        for (const L& node : c.nodes) {
          Cost cost = model_.node_weight(node);
          bool costed = true;
          for (Id child : node.children()) {
            if (!known_[child]) {
              costed = false;
              break;
            }
            cost += costs_[child];
          }
          if (costed && (!best || cost < best->first)) best.emplace(cost, &node);
        }
        return best;
      }
    }
    for (const L& node : c.nodes) {
      if (!all_children(node, [&](Id child) { return known_[child_root(child, canonical)] != 0; }))
        continue;
      Cost cost = model_.node_cost(node, child_costs);
      if (!best || cost < best->first) best.emplace(cost, &node);
    }
    return best;
  }

  const EGraph<L>& egraph_;
  C model_;
  /// Indexed by root id.
  std::vector<Cost, support::RecyclingAllocator<Cost>> costs_;
  std::vector<std::uint8_t, support::RecyclingAllocator<std::uint8_t>> known_;
  std::vector<L, support::RecyclingAllocator<L>> best_;
};

}  // namespace tarvelon::egraph
