#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/enode_or_var.h"
#include "egraph/log.h"
#include "egraph/machine.h"
#include "egraph/recexpr.h"
#include "egraph/subst.h"
#include "egraph/symbol.h"
#include "support/cancel.h"

namespace tarvelon::egraph {

/// The matches of a searcher in one class: at least one substitution, in the order found.
template <Language L>
struct SearchMatches {
  Id eclass = 0;
  SubstRows substs;
  /// The searcher's pattern, when it has one; borrowed from the searcher.
  const PatternAst<L>* ast = nullptr;
};

inline constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

/// What a rewrite rule looks for.
template <Language L>
class Searcher {
 public:
  virtual ~Searcher() = default;

  virtual std::optional<SearchMatches<L>> search_eclass_with_limit(const EGraph<L>& egraph,
                                                                   Id eclass,
                                                                   std::size_t limit) const = 0;
  /// At most `limit` substitutions in total, class by class.
  virtual std::vector<SearchMatches<L>> search_with_limit(const EGraph<L>& egraph,
                                                          std::size_t limit) const = 0;
  /// Appends what `search_with_limit(egraph, limit)` returns to `out`, whose room a caller may
  /// keep from one search to the next.
  virtual void search_into(const EGraph<L>& egraph, std::size_t limit,
                           std::vector<SearchMatches<L>>& out) const {
    std::vector<SearchMatches<L>> found = search_with_limit(egraph, limit);
    out.insert(out.end(), std::make_move_iterator(found.begin()),
               std::make_move_iterator(found.end()));
  }
  virtual std::vector<Var> vars() const = 0;
  virtual const PatternAst<L>* get_pattern_ast() const { return nullptr; }
  /// The compiled program whose match rows `search_with_limit` returns, class by class in
  /// ascending order, one column per entry of its `vars`; null for a searcher that is not one.
  virtual const Program<L>* matching_program() const { return nullptr; }

  std::optional<SearchMatches<L>> search_eclass(const EGraph<L>& egraph, Id eclass) const {
    return search_eclass_with_limit(egraph, eclass, kNoLimit);
  }
  std::vector<SearchMatches<L>> search(const EGraph<L>& egraph) const {
    return search_with_limit(egraph, kNoLimit);
  }
  /// How many substitutions `search_with_limit(egraph, limit)` returns, without keeping them.
  virtual std::size_t count_with_limit(const EGraph<L>& egraph, std::size_t limit) const {
    std::size_t total = 0;
    for (const auto& m : search_with_limit(egraph, limit)) total += m.substs.size();
    return total;
  }
  std::size_t n_matches(const EGraph<L>& egraph) const {
    std::size_t total = 0;
    for (const auto& m : search(egraph)) total += m.substs.size();
    return total;
  }
};

/// What a rewrite rule adds and merges for each match.
template <Language L>
class Applier {
 public:
  virtual ~Applier() = default;

  /// Instantiates for `subst` and merges the result with `eclass`; returns the ids whose merge
  /// changed something.
  virtual std::vector<Id> apply_one(EGraph<L>& egraph, Id eclass, const Subst& subst,
                                    const PatternAst<L>* searcher_ast,
                                    GlobalSymbol rule_name) const = 0;
  virtual std::vector<Var> vars() const = 0;
  virtual const PatternAst<L>* get_pattern_ast() const { return nullptr; }

  /// Applies every substitution of every match in order.
  virtual std::vector<Id> apply_matches(EGraph<L>& egraph,
                                        const std::vector<SearchMatches<L>>& matches,
                                        GlobalSymbol rule_name) const {
    std::vector<Id> changed;
    for (const auto& m : matches) {
      for (const Subst& subst : m.substs) {
        auto ids = apply_one(egraph, m.eclass, subst, m.ast, rule_name);
        changed.insert(changed.end(), ids.begin(), ids.end());
      }
    }
    return changed;
  }

  /// `apply_matches(...).size()`: the number of merges that changed something.
  virtual std::size_t apply_matches_count(EGraph<L>& egraph,
                                          const std::vector<SearchMatches<L>>& matches,
                                          GlobalSymbol rule_name) const {
    return apply_matches(egraph, matches, rule_name).size();
  }
};

namespace detail {

/// Adds the instance of `pattern` to `egraph`, entry by entry, taking the class of the variable
/// at entry `i` from `var_id(i)`; returns the root's class. `buffer` is scratch space, grown to
/// the pattern's size and never shrunk, so that one buffer serves every match of a rule.
template <Language L, class VarId>
Id instantiate(std::vector<Id>& buffer, const PatternAst<L>& pattern, EGraph<L>& egraph,
               VarId&& var_id) {
  if (buffer.size() < pattern.size()) buffer.resize(pattern.size());
  for (Id i = 0; i < pattern.size(); ++i) {
    const ENodeOrVar<L>& entry = pattern[i];
    if (entry.is_var()) {
      buffer[i] = var_id(i);
      continue;
    }
    L node = map_children(entry.node(), [&](Id child) { return buffer[child]; });
    log(LogLevel::Trace, [&] { return cat("adding: ", node_text(node)); });
    buffer[i] = egraph.add(node);
  }
  return buffer[pattern.size() - 1];
}

}  // namespace detail

/// Adds the instance of `pattern` under `subst` to `egraph` and returns its class; `buffer` is
/// scratch space reused across calls.
template <Language L>
Id apply_pat(std::vector<Id>& buffer, const PatternAst<L>& pattern, EGraph<L>& egraph,
             const Subst& subst) {
  log(LogLevel::Trace, [&] { return cat("apply_rec ", to_string(pattern), " ", subst); });
  return detail::instantiate(buffer, pattern, egraph,
                             [&](Id i) { return subst[pattern[i].var()]; });
}

/// A term with variables, compiled once for matching; serves as both searcher and applier.
template <Language L>
class Pattern final : public Searcher<L>, public Applier<L> {
 public:
  /// Compacts `ast` and compiles it. `ast` must not be empty.
  explicit Pattern(const PatternAst<L>& ast)
      : ast_(compact(ast)), program_(Program<L>::compile_from_pat(ast_)) {
    for (Id i = 0; i < ast_.size(); ++i) {
      if (!ast_[i].is_var()) parts_.push_back({ast_[i].node(), i});
    }
    direct_ = DirectShape::of(program_);
    log(LogLevel::Debug,
        [&] { return cat("Compiled ", to_string(ast_), " to ", to_string(program_)); });
  }

  /// Reads a pattern such as "(+ ?x 0)".
  static std::expected<Pattern, RecExprParseError> from_str(std::string_view text) {
    auto ast = parse_recexpr<ENodeOrVar<L>>(text);
    if (!ast) return std::unexpected(std::move(ast.error()));
    return Pattern(*ast);
  }

  const PatternAst<L>& ast() const { return ast_; }
  const Program<L>& program() const { return program_; }
  const PatternAst<L>* get_pattern_ast() const override { return &ast_; }
  const Program<L>* matching_program() const override { return &program_; }
  /// Whether searching reads the rows straight off the nodes rather than running the machine.
  bool reads_rows_off_nodes() const { return direct_.usable; }

  /// The variables in entry order, each once.
  std::vector<Var> vars() const override {
    std::vector<Var> out;
    for (const auto& entry : ast_) {
      if (entry.is_var() && std::find(out.begin(), out.end(), entry.var()) == out.end())
        out.push_back(entry.var());
    }
    return out;
  }

  std::optional<SearchMatches<L>> search_eclass_with_limit(const EGraph<L>& egraph, Id eclass,
                                                           std::size_t limit) const override {
    if (!egraph.clean()) support::internal_fault("Tried to search a dirty e-graph!");
    if (limit == 0) return std::nullopt;
    detail::Machine<L> machine(program_, egraph);
    return run_in(machine, eclass, limit);
  }

  std::vector<SearchMatches<L>> search_with_limit(const EGraph<L>& egraph,
                                                  std::size_t limit) const override {
    std::vector<SearchMatches<L>> matches;
    search_into(egraph, limit, matches);
    return matches;
  }

  void search_into(const EGraph<L>& egraph, std::size_t limit,
                   std::vector<SearchMatches<L>>& out) const override {
    // A trace log records each class's rows as the machine finds them.
    if (direct_.usable && !log_enabled(LogLevel::Trace))
      return search_direct_into(egraph, limit, out);
    detail::Machine<L> machine(program_, egraph);
    for_each_candidate(egraph, [&](Id eclass) {
      if (limit == 0) return false;
      if (auto m = run_in(machine, eclass, limit)) {
        limit -= m->substs.size();
        // A rule matching in a few classes then takes one allocation, not one per doubling.
        if (out.capacity() == 0) [[unlikely]]
          make_first_room(out);
        out.push_back(std::move(*m));
      }
      return true;
    });
  }

  std::size_t count_with_limit(const EGraph<L>& egraph, std::size_t limit) const override {
    if (direct_.usable) return count_direct(egraph, limit);
    std::size_t total = 0;
    detail::Machine<L> machine(program_, egraph);
    for_each_candidate(egraph, [&](Id eclass) {
      if (total == limit) return false;
      total += machine.count(eclass, limit - total);
      return true;
    });
    return total;
  }

  std::vector<Id> apply_matches(EGraph<L>& egraph, const std::vector<SearchMatches<L>>& matches,
                                GlobalSymbol) const override {
    std::vector<Id> changed;
    apply_each(egraph, matches, [&](Id id) { changed.push_back(id); });
    return changed;
  }

  std::size_t apply_matches_count(EGraph<L>& egraph, const std::vector<SearchMatches<L>>& matches,
                                  GlobalSymbol) const override {
    std::size_t changed = 0;
    apply_each(egraph, matches, [&](Id) { ++changed; });
    return changed;
  }

  std::vector<Id> apply_one(EGraph<L>& egraph, Id eclass, const Subst& subst, const PatternAst<L>*,
                            GlobalSymbol) const override {
    std::vector<Id> buffer;
    Id id = apply_pat(buffer, ast_, egraph, subst);
    if (egraph.union_(eclass, id)) return {eclass};
    return {};
  }

 private:
  /// Calls `visit(eclass)` for every class the root of the pattern may match, in ascending order,
  /// until it returns false.
  template <class Visit>
  void for_each_candidate(const EGraph<L>& egraph, Visit&& visit) const {
    if (!egraph.clean()) support::internal_fault("Tried to search a dirty e-graph!");
    const ENodeOrVar<L>& root = ast_.root();
    if (root.is_var()) {
      for (const EClass<L>& c : egraph.classes()) {
        support::poll_cancel();
        if (!visit(c.id)) return;
      }
      return;
    }
    const std::vector<Id>* candidates = egraph.classes_by_op(root.node().discriminant());
    if (candidates == nullptr) return;
    for (Id eclass : *candidates) {
      support::poll_cancel();
      if (!visit(eclass)) return;
    }
  }

  /// How a program of one or two `Bind`s and nothing else reads its rows: the first binds the
  /// class searched, the second, if any, a child of the first's node, and every column is a
  /// child of one of the two nodes. Most left-hand sides of a rule set compile so; their rows
  /// are read straight off the nodes, in the order the machine finds them, without it.
  struct DirectShape {
    static constexpr std::size_t kMaxColumns = 8;
    bool usable = false;
    bool nested = false;
    L outer;
    L inner;
    /// The child of the outer node whose class the inner `Bind` reads.
    std::uint8_t inner_child = 0;
    std::uint8_t width = 0;
    /// For each column: whether the inner node holds it, and which of its children it is.
    std::array<bool, kMaxColumns> from_inner{};
    std::array<std::uint8_t, kMaxColumns> child{};

    static DirectShape of(const Program<L>& program) {
      DirectShape shape;
      const std::vector<Bind<L>>& binds = program.nested_binds;
      if (binds.empty() || binds.size() > 2 || !program.nested_compares.empty() ||
          binds[0].eclass != 0 || program.var_regs.size() > kMaxColumns)
        return shape;
      const Reg outer_end = binds[0].out + static_cast<Reg>(num_children(binds[0].node));
      if (binds.size() == 2 && (binds[1].eclass < binds[0].out || binds[1].eclass >= outer_end))
        return shape;
      shape.outer = binds[0].node;
      if (binds.size() == 2) {
        shape.nested = true;
        shape.inner = binds[1].node;
        shape.inner_child = static_cast<std::uint8_t>(binds[1].eclass - binds[0].out);
      }
      shape.width = static_cast<std::uint8_t>(program.var_regs.size());
      for (std::size_t k = 0; k < program.var_regs.size(); ++k) {
        const Reg reg = program.var_regs[k];
        if (reg >= binds[0].out && reg < outer_end) {
          shape.child[k] = static_cast<std::uint8_t>(reg - binds[0].out);
        } else if (shape.nested && reg >= binds[1].out &&
                   reg < binds[1].out + num_children(binds[1].node)) {
          shape.from_inner[k] = true;
          shape.child[k] = static_cast<std::uint8_t>(reg - binds[1].out);
        } else {
          return shape;
        }
      }
      shape.usable = true;
      return shape;
    }
  };

  /// Calls `visit(outer, inner)` for each pair of nodes that makes a row of the direct shape in
  /// `c`, in the machine's order (`inner` is `outer` for a shape of one `Bind`), until it
  /// returns false; returns false then.
  template <class Visit>
  [[gnu::always_inline]] bool for_each_direct_row(const EGraph<L>& egraph, const EClass<L>& c,
                                                  Visit&& visit) const {
    for (const L& node : c.matching_run(direct_.outer)) {
      if (!node.matches(direct_.outer)) continue;
      if (!direct_.nested) {
        if (!visit(node, node)) return false;
        continue;
      }
      const EClass<L>& below = egraph.root_class(node.children()[direct_.inner_child]);
      for (const L& inner : below.matching_run(direct_.inner)) {
        if (!inner.matches(direct_.inner)) continue;
        if (!visit(node, inner)) return false;
      }
    }
    return true;
  }

  /// `search_into` for a program of the direct shape.
  void search_direct_into(const EGraph<L>& egraph, std::size_t limit,
                          std::vector<SearchMatches<L>>& out) const {
    // A class's rows are gathered first and handed over at once, as the machine does.
    std::array<Id, kInlineRowIds> inline_ids;
    std::vector<Id> heap_ids;
    Id* ids = inline_ids.data();
    std::size_t capacity = inline_ids.size();
    const std::size_t width = direct_.width;
    for_each_candidate(egraph, [&](Id eclass) {
      if (limit == 0) return false;
      std::size_t used = 0;
      std::size_t count = 0;
      const bool more = for_each_direct_row(
          egraph, egraph.root_class(eclass), [&](const L& outer, const L& inner) {
            if (capacity - used < width) [[unlikely]] {
              const bool on_heap = !heap_ids.empty();
              heap_ids.resize(std::max(2 * capacity, used + width));
              if (!on_heap) std::copy(ids, ids + used, heap_ids.data());
              ids = heap_ids.data();
              capacity = heap_ids.size();
            }
            for (std::size_t k = 0; k < width; ++k)
              ids[used + k] = (direct_.from_inner[k] ? inner : outer).children()[direct_.child[k]];
            used += width;
            ++count;
            return --limit != 0;
          });
      if (count != 0) {
        if (out.capacity() == 0) [[unlikely]]
          make_first_room(out);
        SearchMatches<L>& found = out.emplace_back();
        found.eclass = eclass;
        found.ast = &ast_;
        found.substs.assign_rows(program_.vars, {ids, used}, count);
      }
      return more;
    });
  }

  /// `count_with_limit` for a program of the direct shape.
  std::size_t count_direct(const EGraph<L>& egraph, std::size_t limit) const {
    std::size_t total = 0;
    for_each_candidate(egraph, [&](Id eclass) {
      if (total == limit) return false;
      return for_each_direct_row(egraph, egraph.root_class(eclass),
                                 [&](const L&, const L&) { return ++total != limit; });
    });
    return total;
  }

  /// The matches of the program in `eclass`, at most `limit` (at least 1) of them.
  std::optional<SearchMatches<L>> run_in(detail::Machine<L>& machine, Id eclass,
                                         std::size_t limit) const {
    // Most candidate classes do not match: the record is built only for one that does.
    const std::size_t count = machine.run(eclass, limit);
    if (count == 0) return std::nullopt;
    SearchMatches<L> found{eclass, SubstRows(program_.vars), &ast_};
    found.substs.append_rows(machine.found(), count);
    log(LogLevel::Trace, [&] {
      std::string out = "Ran program, found [";
      append_joined(out, found.substs, ", ",
                    [](std::string& o, const Subst& s) { append_text(o, s); });
      return out + "]";
    });
    return found;
  }

  /// Instantiates the pattern for every substitution of every match in order and merges it with
  /// the match's class, calling `changed(id)` for each merge that changed something.
  template <class Changed>
  void apply_each(EGraph<L>& egraph, const std::vector<SearchMatches<L>>& matches,
                  Changed&& changed) const {
    if (matches.empty()) return;
    // Asked once: the trace records cost a load and a branch per node otherwise.
    const bool trace = log_enabled(LogLevel::Trace);
    // The ids instantiated so far, by entry, and the node entries with each variable child
    // replaced by its column in the match rows: on the stack for the patterns a rule set holds,
    // on the heap for longer ones.
    std::array<Id, kInlineEntries> built_inline;
    std::array<Part, kInlineEntries> parts_inline;
    std::vector<Id> built_heap;
    std::vector<Part> parts_heap;
    std::span<Id> built(built_inline.data(), ast_.size());
    std::span<Part> parts(parts_inline.data(), parts_.size());
    if (ast_.size() > kInlineEntries) {
      built_heap.resize(ast_.size());
      parts_heap.resize(parts_.size());
      built = built_heap;
      parts = parts_heap;
    }
    const ENodeOrVar<L>& root = ast_.root();
    const bool root_is_var = root.is_var();
    std::size_t root_column = 0;
    // The columns the parts were last mapped to; none yet, even for rows of no columns (a
    // pattern without variables), whose empty list may look like the empty span.
    std::span<const Var> columns_for;
    bool mapped = false;
    for (const auto& m : matches) {
      if (m.substs.empty()) continue;
      if (!mapped || m.substs.vars().data() != columns_for.data() ||
          m.substs.vars().size() != columns_for.size()) {
        mapped = true;
        columns_for = m.substs.vars();
        for (std::size_t k = 0; k < parts_.size(); ++k) {
          parts[k] = parts_[k];
          update_children(parts[k].node, [&](Id child) {
            if (!ast_[child].is_var()) return child;
            return kFromRow | static_cast<Id>(column_of(m.substs, ast_[child].var()));
          });
        }
        if (root_is_var) root_column = column_of(m.substs, root.var());
      }
      for (std::size_t r = 0; r < m.substs.size(); ++r) {
        support::poll_cancel();
        std::span<const Id> row = m.substs.row(r);
        if (trace) [[unlikely]]
          log(LogLevel::Trace,
              [&] { return cat("apply_rec ", to_string(ast_), " ", m.substs[r]); });
        Id id = root_is_var ? row[root_column] : 0;
        for (const Part& part : parts) {
          // A row holds the roots of its search, which merges made since may have absorbed; an
          // entry built before holds the root it was just given.
          L instance = map_children(part.node, [&](Id child) {
            return (child & kFromRow) != 0 ? egraph.find_stored_mut(row[child & ~kFromRow])
                                           : built[child];
          });
          if (trace) [[unlikely]]
            log(LogLevel::Trace, [&] {
              return cat("adding: ", node_text(map_children(part.node, [&](Id child) {
                           return (child & kFromRow) != 0 ? row[child & ~kFromRow] : built[child];
                         })));
            });
          id = built[part.entry] = egraph.add_with_root_children(instance);
        }
        if (egraph.union_stored(id, m.eclass)) changed(id);
      }
    }
  }

  /// The column of `var` in `rows`; a variable the rows do not bind is a fault of the rule.
  static std::size_t column_of(const SubstRows& rows, const Var& var) {
    std::span<const Var> vars = rows.vars();
    for (std::size_t k = 0; k < vars.size(); ++k) {
      if (vars[k] == var) return k;
    }
    (void)rows[0][var];
    support::internal_fault("unreachable: an unbound variable was found");
  }

  static constexpr std::size_t kInlineEntries = 16;
  /// Ids of one class's rows that a search gathers without allocating.
  static constexpr std::size_t kInlineRowIds = 64;
  /// Gives the list of matched classes room for a few at its first match. Out of line, so that
  /// the search loop around it keeps its shape.
  [[gnu::noinline]] static void make_first_room(std::vector<SearchMatches<L>>& matches) {
    matches.reserve(8);
  }

  PatternAst<L> ast_;
  Program<L> program_;
  /// A node entry of `ast_` as instantiating builds it; its children are entry positions until
  /// a match list's columns are known, then each variable child is `kFromRow` and its column.
  struct Part {
    L node;
    Id entry = 0;
  };
  static constexpr Id kFromRow = Id{1} << 31;
  /// The node entries of `ast_` in entry order, the root last unless it is a variable.
  std::vector<Part> parts_;
  DirectShape direct_;
};

}  // namespace tarvelon::egraph
