#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/enode_or_var.h"
#include "egraph/flat_map.h"
#include "egraph/hash.h"
#include "egraph/log.h"
#include "egraph/recexpr.h"
#include "egraph/subst.h"
#include "support/stack_guard.h"

namespace tarvelon::egraph {

/// A register of the matching machine; holds a class id.
using Reg = std::uint32_t;

/// A register number as the leaf of a `Lookup` term.
struct RegSlot {
  Reg reg = 0;
  std::uint64_t hash() const { return hash_finish(reg); }
  friend bool operator==(const RegSlot&, const RegSlot&) = default;
};

/// One entry of a `Lookup` term: a node whose children are earlier entries, or a register.
template <Language L>
class ENodeOrReg : public NodeOr<L, RegSlot> {
 public:
  using NodeOr<L, RegSlot>::NodeOr;
  static ENodeOrReg reg(Reg r) { return ENodeOrReg(RegSlot{r}); }
  bool is_reg() const { return !this->is_node(); }
  Reg reg() const { return this->leaf().reg; }
};

/// Enumerates the nodes of the class in register `eclass` that match `node`'s operator, writing
/// each one's children to registers `out`, `out` + 1, ...
template <Language L>
struct Bind {
  /// Children all 0; only the operator counts.
  L node;
  Reg eclass = 0;
  Reg out = 0;
  friend bool operator==(const Bind&, const Bind&) = default;
};

/// Continues only when registers `i` and `j` hold the same class.
struct Compare {
  Reg i = 0;
  Reg j = 0;
  friend bool operator==(const Compare&, const Compare&) = default;
};

/// Continues only when the ground term `term` exists in the e-graph and is in the class of
/// register `i`.
template <Language L>
struct Lookup {
  RecExpr<ENodeOrReg<L>> term;
  Reg i = 0;
  friend bool operator==(const Lookup&, const Lookup&) = default;
};

template <Language L>
using Instruction = std::variant<Bind<L>, Compare, Lookup<L>>;

template <Language L>
std::string to_string(const Instruction<L>& instruction) {
  struct Visit {
    std::string operator()(const Bind<L>& b) const {
      return cat("Bind { node: ", node_text(b.node), ", eclass: ", b.eclass, ", out: ", b.out,
                 " }");
    }
    std::string operator()(const Compare& c) const {
      return cat("Compare { i: ", c.i, ", j: ", c.j, " }");
    }
    std::string operator()(const Lookup<L>& l) const {
      std::string out = "Lookup { term: [";
      append_joined(out, l.term, ", ", [](std::string& o, const ENodeOrReg<L>& e) {
        o += e.is_reg() ? cat("Reg(", e.reg(), ")") : cat("ENode(", node_text(e.node()), ")");
      });
      return cat(out, "], i: ", l.i, " }");
    }
  };
  return std::visit(Visit{}, instruction);
}

/// A pattern compiled for the register machine. `subst` maps each variable to the register that
/// holds its class.
template <Language L>
struct Program {
  std::vector<Instruction<L>> instructions;
  /// When the instructions are `nested_binds.size()` (1 to `kMaxNestedBinds`) `Bind`s followed
  /// only by `Compare`s, as every pattern of a rule set is: the same instructions unpacked, for
  /// the machine to run as nested loops. Both empty otherwise.
  std::vector<Bind<L>> nested_binds;
  std::vector<Compare> nested_compares;
  Subst subst;
  /// The variables of `subst` in order and the register of each: the columns of a match row.
  std::vector<Var> vars;
  std::vector<Reg> var_regs;
  /// Registers the program uses; the machine holds them all from the start.
  std::size_t register_count = 1;
  /// A hash of what decides the rows found (instructions, column registers, register count),
  /// set by the compiler: programs with different keys find different rows.
  std::uint64_t rows_key = 0;

  static constexpr std::size_t kMaxNestedBinds = 3;

  /// The operator kind of which a class must hold a node for the program to find a row in it:
  /// that of the first instruction when it binds the class searched; none otherwise.
  std::optional<std::uint32_t> root_kind() const {
    if (instructions.empty()) return std::nullopt;
    const auto* bind = std::get_if<Bind<L>>(&instructions.front());
    if (bind == nullptr || bind->eclass != 0) return std::nullopt;
    return bind->node.discriminant();
  }

  /// Compiles a compacted pattern. Grounded sub-terms become `Lookup`s; otherwise the most
  /// constrained pending sub-pattern is bound next.
  static Program compile_from_pat(const PatternAst<L>& pattern);

  /// Whether `other` finds the rows this program finds, column by column, on any e-graph: the
  /// same instructions reading the columns from the same registers (its variables may be named
  /// differently).
  bool finds_same_rows(const Program& other) const {
    return rows_key == other.rows_key && instructions == other.instructions &&
           var_regs == other.var_regs && register_count == other.register_count;
  }

  /// The substitutions under which the pattern matches class `eclass`, at most `limit` of them.
  /// The e-graph must be clean.
  std::vector<Subst> run_with_limit(const EGraph<L>& egraph, Id eclass, std::size_t limit) const;
};

/// "Program { instructions: [...], subst: {?x: 1} }"
template <Language L>
std::string to_string(const Program<L>& program) {
  std::string out = "Program { instructions: [";
  append_joined(out, program.instructions, ", ",
                [](std::string& o, const Instruction<L>& i) { o += to_string<L>(i); });
  return cat(out, "], subst: ", program.subst, " }");
}

namespace detail {

template <Language L>
class Compiler {
 public:
  explicit Compiler(const PatternAst<L>& pattern) : pattern_(pattern) {
    free_.resize(pattern.size());
    size_.resize(pattern.size());
    reg_of_.assign(pattern.size(), kUnbound);
    // Every entry of one variable stands for its first entry, so that a pattern that was not
    // compacted still binds each variable once.
    FlatHashMap<Var, Id, MemberHash> first_entry;
    for (Id i = 0; i < pattern.size(); ++i) {
      const ENodeOrVar<L>& entry = pattern[i];
      if (entry.is_var()) {
        free_[i] = {*first_entry.try_emplace(entry.var(), i).first};
        size_[i] = 0;
        continue;
      }
      std::size_t size = 1;
      std::vector<Id> vars;
      for (Id child : entry.children()) {
        size += size_[child];
        std::vector<Id> merged;
        std::set_union(vars.begin(), vars.end(), free_[child].begin(), free_[child].end(),
                       std::back_inserter(merged));
        vars.swap(merged);
      }
      free_[i] = std::move(vars);
      size_[i] = size;
    }
  }

  Program<L> compile() {
    if (pattern_.empty()) support::internal_fault("cannot compile an empty pattern");
    add_todo(static_cast<Id>(pattern_.size() - 1), 0);
    next_reg_ = 1;
    while (!todo_.empty()) {
      std::size_t best = pick();
      Todo item = todo_[best];
      todo_.erase(todo_.begin() + static_cast<std::ptrdiff_t>(best));
      const L& node = pattern_[item.entry].node();
      if (unbound_count(item.entry) == 0 && !is_leaf(node)) {
        program_.instructions.push_back(Lookup<L>{ground_term(item.entry), item.reg});
        continue;
      }
      Reg out = next_reg_;
      next_reg_ += static_cast<Reg>(num_children(node));
      program_.instructions.push_back(
          Bind<L>{map_children(node, [](Id) { return Id{0}; }), item.reg, out});
      Reg k = 0;
      for (Id child : node.children()) add_todo(child, out + k++);
    }
    for (Id var_entry : var_order_) {
      program_.subst.append(pattern_[var_entry].var(), reg_of_[var_entry]);
      program_.vars.push_back(pattern_[var_entry].var());
      program_.var_regs.push_back(reg_of_[var_entry]);
    }
    program_.register_count = next_reg_;
    program_.rows_key = rows_key(program_);
    unpack_nested();
    return std::move(program_);
  }

 private:
  static constexpr Reg kUnbound = std::numeric_limits<Reg>::max();

  static std::uint64_t rows_key(const Program<L>& program) {
    struct Visit {
      std::uint64_t operator()(const Bind<L>& b) const {
        return hash_combine(hash_combine(b.node.hash(), b.eclass), b.out);
      }
      std::uint64_t operator()(const Compare& c) const {
        return hash_combine(hash_combine(2, c.i), c.j);
      }
      std::uint64_t operator()(const Lookup<L>& l) const {
        std::uint64_t h = hash_combine(3, l.i);
        for (const ENodeOrReg<L>& entry : l.term) h = hash_combine(h, entry.hash());
        return h;
      }
    };
    std::uint64_t h = program.register_count;
    for (const Instruction<L>& instruction : program.instructions)
      h = hash_combine(h, std::visit(Visit{}, instruction));
    for (Reg reg : program.var_regs) h = hash_combine(h, reg);
    return hash_finish(h);
  }

  void unpack_nested() {
    std::vector<Bind<L>> binds;
    std::vector<Compare> compares;
    for (const Instruction<L>& instruction : program_.instructions) {
      if (const auto* bind = std::get_if<Bind<L>>(&instruction)) {
        if (!compares.empty()) return;
        binds.push_back(*bind);
      } else if (const auto* compare = std::get_if<Compare>(&instruction)) {
        compares.push_back(*compare);
      } else {
        return;
      }
    }
    if (binds.empty() || binds.size() > Program<L>::kMaxNestedBinds) return;
    program_.nested_binds = std::move(binds);
    program_.nested_compares = std::move(compares);
  }

  struct Todo {
    Id entry;
    Reg reg;
  };

  void add_todo(Id entry, Reg reg) {
    if (!pattern_[entry].is_var()) {
      todo_.push_back({entry, reg});
      return;
    }
    Id var = free_[entry].front();
    if (reg_of_[var] != kUnbound) {
      program_.instructions.push_back(Compare{reg, reg_of_[var]});
    } else {
      reg_of_[var] = reg;
      var_order_.push_back(var);
    }
  }

  std::size_t unbound_count(Id entry) const {
    return static_cast<std::size_t>(std::count_if(free_[entry].begin(), free_[entry].end(),
                                                  [&](Id v) { return reg_of_[v] == kUnbound; }));
  }

  /// Priority of a to-do item: grounded first, then the most unbound variables, then the
  /// smallest.
  std::tuple<bool, std::size_t, std::ptrdiff_t> priority(const Todo& item) const {
    std::size_t free = unbound_count(item.entry);
    return {free == 0, free, -static_cast<std::ptrdiff_t>(size_[item.entry])};
  }

  /// The item of greatest priority; the last one among equals.
  std::size_t pick() const {
    std::size_t best = 0;
    auto best_priority = priority(todo_[0]);
    for (std::size_t i = 1; i < todo_.size(); ++i) {
      auto p = priority(todo_[i]);
      if (p >= best_priority) {
        best = i;
        best_priority = p;
      }
    }
    return best;
  }

  RecExpr<ENodeOrReg<L>> ground_term(Id entry) const {
    auto fetch = [&](Id id) -> ENodeOrReg<L> {
      const ENodeOrVar<L>& e = pattern_[id];
      return e.is_var() ? ENodeOrReg<L>::reg(reg_of_[free_[id].front()]) : ENodeOrReg<L>(e.node());
    };
    return build_recexpr(ENodeOrReg<L>(pattern_[entry].node()), fetch);
  }

  const PatternAst<L>& pattern_;
  std::vector<std::vector<Id>> free_;
  std::vector<std::size_t> size_;
  /// Register of each variable's first entry, `kUnbound` until bound.
  std::vector<Reg> reg_of_;
  std::vector<Id> var_order_;
  std::vector<Todo> todo_;
  Program<L> program_;
  Reg next_reg_ = 0;
};

}  // namespace detail

template <Language L>
Program<L> Program<L>::compile_from_pat(const PatternAst<L>& pattern) {
  return detail::Compiler<L>(pattern).compile();
}

namespace detail {

template <Language L>
class Machine {
 public:
  /// A machine for running `program` on `egraph` class after class; it keeps its registers
  /// between runs.
  Machine(const Program<L>& program, const EGraph<L>& egraph) : program_(program), egraph_(egraph) {
    if (program.register_count > kInlineIds) {
      heap_registers_.assign(program.register_count, Id{0});
      registers_ = heap_registers_.data();
    }
  }
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  /// Appends to `rows` the match rows in class `eclass`, at most `limit` (at least 1) of them;
  /// returns how many were appended.
  std::size_t run(Id eclass, std::size_t limit, SubstRows& rows) {
    std::size_t count = run(eclass, limit);
    rows.append_rows(found(), count);
    return count;
  }

  /// Finds the match rows in class `eclass`, at most `limit` (at least 1) of them, and returns
  /// how many; `found()` holds them until the next run.
  std::size_t run(Id eclass, std::size_t limit) {
    remaining_ = limit;
    registers_[0] = eclass;
    first_ = &egraph_[eclass];
    found_size_ = 0;
    start<false>();
    return limit - remaining_;
  }

  /// The rows of the last `run`, one after another.
  std::span<const Id> found() const { return {found_, found_size_}; }

  /// The number of match rows `run` would append in class `eclass`, at most `limit` (at least
  /// 1), found without writing them.
  std::size_t count(Id eclass, std::size_t limit) {
    remaining_ = limit;
    registers_[0] = eclass;
    first_ = &egraph_[eclass];
    start<true>();
    return limit - remaining_;
  }

 private:
  template <bool kCountOnly>
  void start() {
    switch (program_.nested_binds.size()) {
      case 1:
        nest<kCountOnly, 0, 1>();
        return;
      case 2:
        nest<kCountOnly, 0, 2>();
        return;
      case 3:
        nest<kCountOnly, 0, 3>();
        return;
      default:
        step<kCountOnly>(0);
    }
  }

  /// Runs a program of `kBinds` nested `Bind`s and then `Compare`s from the `Bind` at `kLevel`
  /// as that many nested loops, which the compiler lays out in one frame; true once the limit
  /// is reached. Finds what `step` finds, in its order.
  template <bool kCountOnly, std::size_t kLevel, std::size_t kBinds>
  bool nest() {
    if constexpr (kLevel == kBinds) {
      for (const Compare& compare : compares_) {
        if (egraph_.find_stored(registers_[compare.i]) !=
            egraph_.find_stored(registers_[compare.j]))
          return false;
      }
      if constexpr (kCountOnly) return --remaining_ == 0;
      return yield();
    } else {
      const Bind<L>& bind = binds_[kLevel];
      const std::span<const L> run = class_in(bind.eclass).matching_run(bind.node);
      if constexpr (kCountOnly && kLevel + 1 == kBinds) {
        // Without compares, every matching node of the last bind is a row: counted in one sweep.
        if (compares_.empty()) {
          const auto found = static_cast<std::size_t>(std::count_if(
              run.begin(), run.end(), [&](const L& node) { return node.matches(bind.node); }));
          if (found >= remaining_) {
            remaining_ = 0;
            return true;
          }
          remaining_ -= found;
          return false;
        }
      }
      for (const L& node : run) {
        if (!node.matches(bind.node)) continue;
        copy_children(node.children(), registers_ + bind.out);
        if (nest<kCountOnly, kLevel + 1, kBinds>()) return true;
      }
      return false;
    }
  }

  /// Runs from instruction `pc`; true once the limit is reached, which ends the whole run. A
  /// final `Bind` yields a match per matching node in place, without a nested step for each.
  template <bool kCountOnly>
  bool step(std::size_t pc) {
    const auto& code = program_.instructions;
    for (; pc < code.size(); ++pc) {
      const Instruction<L>& instruction = code[pc];
      if (const auto* bind = std::get_if<Bind<L>>(&instruction)) {
        const EClass<L>& eclass = class_in(bind->eclass);
        const bool last = pc + 1 == code.size();
        for (const L& node : eclass.matching_run(bind->node)) {
          if (!node.matches(bind->node)) continue;
          if (last && kCountOnly) {
            if (--remaining_ == 0) return true;
            continue;
          }
          copy_children(node.children(), registers_ + bind->out);
          if (last) {
            if (yield()) return true;
            continue;
          }
          // Each bound node nests one frame; checking the stack on every few levels keeps the
          // deepest pattern safe without paying for the check on every node.
          bool reached = (pc + 1) % kGuardStride == 0
                             ? support::with_stack_guard([&] { return step<kCountOnly>(pc + 1); })
                             : step<kCountOnly>(pc + 1);
          if (reached) return true;
        }
        return false;
      }
      if (const auto* compare = std::get_if<Compare>(&instruction)) {
        if (egraph_.find_stored(registers_[compare->i]) !=
            egraph_.find_stored(registers_[compare->j]))
          return false;
        continue;
      }
      const auto& lookup = std::get<Lookup<L>>(instruction);
      scratch_.clear();
      for (const ENodeOrReg<L>& entry : lookup.term) {
        if (entry.is_reg()) {
          scratch_.push_back(egraph_.find_stored(registers_[entry.reg()]));
          continue;
        }
        auto id =
            egraph_.lookup(map_children(entry.node(), [&](Id child) { return scratch_[child]; }));
        if (!id) return false;
        scratch_.push_back(*id);
      }
      if (scratch_.back() != egraph_.find_stored(registers_[lookup.i])) return false;
    }
    if constexpr (kCountOnly) return --remaining_ == 0;
    return yield();
  }

  /// The class in register `reg`. Every register but the first holds a child of a bound node,
  /// which a clean store keeps canonical, so only the first, the caller's id, is looked up, and
  /// that once a run.
  const EClass<L>& class_in(Reg reg) const {
    return reg == 0 ? *first_ : egraph_.root_class(registers_[reg]);
  }

  /// Copies a bound node's children into its registers. Nodes have few children: stores by
  /// count beat a library copy, which is a call and a branch on the size for every node.
  static void copy_children(std::span<const Id> children, Id* out) {
    switch (children.size()) {
      case 3:
        out[2] = children[2];
        [[fallthrough]];
      case 2:
        out[1] = children[1];
        [[fallthrough]];
      case 1:
        out[0] = children[0];
        [[fallthrough]];
      case 0:
        return;
      default:
        std::copy(children.begin(), children.end(), out);
    }
  }

  /// Records the registers as a match row; true once the limit is reached.
  bool yield() {
    const std::size_t width = var_regs_.size();
    if (found_capacity_ - found_size_ < width) grow_found(width);
    Id* row = found_ + found_size_;
    for (std::size_t k = 0; k < width; ++k) row[k] = registers_[var_regs_[k]];
    found_size_ += width;
    return --remaining_ == 0;
  }

  /// Makes room for `width` more ids of rows, keeping the rows found so far.
  [[gnu::noinline]] void grow_found(std::size_t width) {
    std::vector<Id> grown(std::max(2 * found_capacity_, found_size_ + width));
    std::copy(found_, found_ + found_size_, grown.begin());
    heap_found_.swap(grown);
    found_ = heap_found_.data();
    found_capacity_ = heap_found_.size();
  }

  /// Instructions between two stack checks: fewer nested frames than the reserve holds.
  static constexpr std::size_t kGuardStride = 8;
  /// Registers, and ids of rows, that a machine holds in itself: a machine serves one search,
  /// and most searches need no more, so they allocate nothing.
  static constexpr std::size_t kInlineIds = 16;

  const Program<L>& program_;
  const EGraph<L>& egraph_;
  /// Views of `program_`'s parts that every node and row reads, one load away.
  const Bind<L>* binds_ = program_.nested_binds.data();
  std::span<const Compare> compares_ = program_.nested_compares;
  std::span<const Reg> var_regs_ = program_.var_regs;
  std::array<Id, kInlineIds> inline_registers_;
  std::vector<Id> heap_registers_;
  Id* registers_ = inline_registers_.data();
  /// The class of the first register, the one the current run started from.
  const EClass<L>* first_ = nullptr;
  std::vector<Id> scratch_;
  /// The rows of the current run in its first `found_size_` ids, reused from run to run; it only
  /// grows, so that writing a row is a few stores rather than a call per id.
  std::array<Id, 4 * kInlineIds> inline_found_;
  std::vector<Id> heap_found_;
  Id* found_ = inline_found_.data();
  std::size_t found_capacity_ = inline_found_.size();
  std::size_t found_size_ = 0;
  std::size_t remaining_ = 0;
};

}  // namespace detail

template <Language L>
std::vector<Subst> Program<L>::run_with_limit(const EGraph<L>& egraph, Id eclass,
                                              std::size_t limit) const {
  if (!egraph.clean()) support::internal_fault("Tried to search a dirty e-graph!");
  if (limit == 0) return {};
  SubstRows rows(vars);
  detail::Machine<L>(*this, egraph).run(eclass, limit, rows);
  std::vector<Subst> found(rows.begin(), rows.end());
  log(LogLevel::Trace, [&] {
    std::string out = "Ran program, found [";
    append_joined(out, found, ", ", [](std::string& o, const Subst& s) { append_text(o, s); });
    return out + "]";
  });
  return found;
}

}  // namespace tarvelon::egraph
