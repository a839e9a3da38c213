#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/log.h"
#include "egraph/pattern.h"
#include "egraph/rewrite.h"
#include "egraph/stop_reason.h"
#include "support/internal_fault.h"

namespace tarvelon::egraph {

/// What a list of rules shows before any run: for each rule, the latest earlier rule whose
/// searcher finds the same rows (so one search serves both), and whether the names are distinct.
/// Made once beside a rule list that is kept, it spares every run pairing the rules anew; it
/// describes only the list it was made from, which must outlive it unchanged.
template <Language L>
class RulePairing {
 public:
  static constexpr std::size_t kNone = ~std::size_t{0};

  explicit RulePairing(std::span<const Rewrite<L>> rules) : rules_(rules) {
    twins_.reserve(rules.size());
    echoes_.reserve(rules.size());
    for (std::size_t p = 0; p < rules.size(); ++p) {
      twins_.push_back(earlier_twin(rules, p));
      echoes_.push_back(twins_.back() != kNone && adds_the_same(rules[twins_.back()], rules[p]));
    }
    distinct_names_ = names_are_distinct(rules);
  }

  /// Whether this pairing was made from exactly `rules`.
  bool describes(std::span<const Rewrite<L>> rules) const {
    return rules.data() == rules_.data() && rules.size() == rules_.size();
  }
  /// The position of the twin of the rule at `position`, or `kNone`.
  std::size_t twin(std::size_t position) const { return twins_[position]; }
  /// Whether the rule at `position` adds for each row exactly the one node its twin adds for
  /// that row, and merges it with the same class.
  bool echoes_twin(std::size_t position) const { return echoes_[position]; }
  bool distinct_names() const { return distinct_names_; }
  /// The position of `rule` in the list, if it is one of its entries.
  std::optional<std::size_t> position_of(const Rewrite<L>& rule) const {
    const std::less<const Rewrite<L>*> before;
    if (rules_.empty() || before(&rule, rules_.data()) ||
        !before(&rule, rules_.data() + rules_.size()))
      return std::nullopt;
    return static_cast<std::size_t>(&rule - rules_.data());
  }

  /// Whether `second`, given the rows `first`'s searcher finds, instantiates for each exactly
  /// the node `first` does: both right-hand sides are one node whose children are variables,
  /// equal once each variable is read as its column in the rows.
  static bool adds_the_same(const Rewrite<L>& first, const Rewrite<L>& second) {
    const auto instance = [](const Rewrite<L>& rule) -> std::optional<L> {
      const PatternAst<L>* rhs = rule.applier().get_pattern_ast();
      const Program<L>* program = rule.searcher().matching_program();
      if (rhs == nullptr || program == nullptr || rhs->empty() || rhs->root().is_var())
        return std::nullopt;
      bool vars_only = true;
      L node = map_children(rhs->root().node(), [&](Id child) -> Id {
        const ENodeOrVar<L>& entry = (*rhs)[child];
        if (!entry.is_var()) {
          vars_only = false;
          return child;
        }
        const auto& vars = program->vars;
        return static_cast<Id>(std::find(vars.begin(), vars.end(), entry.var()) - vars.begin());
      });
      if (!vars_only) return std::nullopt;
      return node;
    };
    const std::optional<L> a = instance(first);
    const std::optional<L> b = instance(second);
    return a && b && *a == *b;
  }

  /// The latest rule before `position` whose searcher finds the rows of the one at `position`.
  static std::size_t earlier_twin(std::span<const Rewrite<L>> rules, std::size_t position) {
    return latest_same_rows(rules[position].searcher().matching_program(), position,
                            [&](std::size_t q) -> std::pair<std::uint64_t, const Program<L>*> {
                              const Program<L>* other = rules[q].searcher().matching_program();
                              return {other != nullptr ? other->rows_key : 0, other};
                            });
  }

  /// The latest of the first `n` entries whose program finds the rows `program` finds, or
  /// `kNone`; `entry(q)` gives entry q's rows key and program (null for none).
  template <class Entry>
  static std::size_t latest_same_rows(const Program<L>* program, std::size_t n, Entry entry) {
    if (program == nullptr) return kNone;
    for (std::size_t q = n; q-- > 0;) {
      // The keys settle nearly every pair without a call.
      const auto [key, other] = entry(q);
      if (key == program->rows_key && other != nullptr && other->finds_same_rows(*program))
        return q;
    }
    return kNone;
  }

 private:
  std::span<const Rewrite<L>> rules_;
  std::vector<std::size_t> twins_;
  std::vector<bool> echoes_;
  bool distinct_names_ = true;
};

/// Decides, rule by rule and iteration by iteration, how much of each rule is searched and
/// whether the run may stop once nothing changes.
template <Language L>
class RewriteScheduler {
 public:
  using Matches = std::vector<SearchMatches<L>>;
  using LimitCheck = std::function<std::optional<StopReason>()>;

  virtual ~RewriteScheduler() = default;

  /// Offers what is known about the rule list a run will pass, or null; the pairing must outlive
  /// the runs that use it.
  virtual void use_pairing(const RulePairing<L>* /*pairing*/) {}

  /// Whether a run with no changes in `iteration` may stop as saturated.
  virtual bool can_stop(std::size_t /*iteration*/) { return true; }

  virtual Matches search_rewrite(std::size_t /*iteration*/, const EGraph<L>& egraph,
                                 const Rewrite<L>& rule) {
    return rule.search(egraph);
  }

  /// `search_rewrite` into `out`, replacing what it holds; the room `out` kept from earlier
  /// searches serves this one.
  virtual void search_rewrite_into(std::size_t iteration, const EGraph<L>& egraph,
                                   const Rewrite<L>& rule, Matches& out) {
    out = search_rewrite(iteration, egraph, rule);
  }

  /// Searches every rule in order, checking the limits after each; the first limit reached ends
  /// the search and is returned instead of the matches.
  std::variant<std::vector<Matches>, StopReason> search_rewrites(std::size_t iteration,
                                                                 const EGraph<L>& egraph,
                                                                 std::span<const Rewrite<L>> rules,
                                                                 const LimitCheck& limit_check) {
    std::vector<Matches> all;
    if (auto stop = search_rewrites_into(iteration, egraph, rules, limit_check, all))
      return std::move(*stop);
    return all;
  }

  /// `search_rewrites` into `results`, whose entry k receives rule k's matches: a run passes
  /// the same list every iteration, so the room its entries kept serves the next search.
  /// Returns the first limit reached, if one is.
  template <class Check>
  std::optional<StopReason> search_rewrites_into(std::size_t iteration, const EGraph<L>& egraph,
                                                 std::span<const Rewrite<L>> rules,
                                                 Check&& limit_check,
                                                 std::vector<Matches>& results) {
    if (results.size() < rules.size()) results.resize(rules.size());
    for (Matches& m : results) m.clear();
    struct Phase {
      RewriteScheduler& scheduler;
      ~Phase() { scheduler.on_search_phase(nullptr, {}); }
    } phase{*this};
    on_search_phase(&results, rules);
    for (std::size_t k = 0; k < rules.size(); ++k) {
      search_rewrite_into(iteration, egraph, rules[k], results[k]);
      if (auto stop = limit_check()) return stop;
    }
    return std::nullopt;
  }

  /// Applies `matches`; returns the number of merges that changed something. A run asks only
  /// about rules that matched something.
  virtual std::size_t apply_rewrite(std::size_t /*iteration*/, EGraph<L>& egraph,
                                    const Rewrite<L>& rule, const Matches& matches) {
    return rule.apply_count(egraph, matches);
  }

 protected:
  /// Called with the list that `search_rewrites_into` fills, rule by rule, and the rules it
  /// searches, as its search begins, and with null once it ends; each `search_rewrite_into`
  /// during the search fills the next entry, from the first.
  virtual void on_search_phase(const std::vector<Matches>* /*results*/,
                               std::span<const Rewrite<L>> /*rules*/) {}
};

/// Per-rule statistics of the backoff scheduler.
struct RuleStats {
  std::size_t search_count = 0;
  /// The rule is not searched in iterations before this one.
  std::size_t banned_until = 0;
  std::size_t ban_count = 0;
  std::size_t match_limit = 0;
  std::size_t ban_length = 0;
  friend bool operator==(const RuleStats&, const RuleStats&) = default;
};

namespace detail {

inline std::size_t saturating_shift(std::size_t value, std::size_t bits) {
  if (value == 0) return 0;
  if (bits >= std::numeric_limits<std::size_t>::digits ||
      value > (std::numeric_limits<std::size_t>::max() >> bits)) {
    return std::numeric_limits<std::size_t>::max();
  }
  return value << bits;
}

inline std::size_t saturating_add(std::size_t a, std::size_t b) {
  return a > std::numeric_limits<std::size_t>::max() - b ? std::numeric_limits<std::size_t>::max()
                                                         : a + b;
}

}  // namespace detail

/// Bans rules whose matches explode: a search finding more than `match_limit << ban_count`
/// matches is discarded and the rule sits out `ban_length << ban_count` iterations, so both the
/// threshold and the ban double with every ban of the same rule.
template <Language L>
class BackoffScheduler final : public RewriteScheduler<L> {
 public:
  using typename RewriteScheduler<L>::Matches;

  BackoffScheduler& with_initial_match_limit(std::size_t limit) {
    initial_match_limit_ = limit;
    return *this;
  }
  BackoffScheduler& with_ban_length(std::size_t length) {
    initial_ban_length_ = length;
    return *this;
  }

  void use_pairing(const RulePairing<L>* pairing) override { pairing_ = pairing; }

  /// The statistics of each rule searched so far, in first-search order; a run over a paired
  /// list makes every rule's at its first search phase, in list order.
  std::span<const std::pair<GlobalSymbol, RuleStats>> stats() const { return stats_; }

  /// When every rule that could still fire is banned, moves the earliest bans forward to
  /// `iteration` and refuses to stop, so the next iteration searches those rules again.
  bool can_stop(std::size_t iteration) override {
    std::size_t banned = 0;
    std::size_t min_ban = std::numeric_limits<std::size_t>::max();
    for (const auto& [name, s] : stats_) {
      if (s.banned_until > iteration) {
        ++banned;
        min_ban = std::min(min_ban, s.banned_until);
      }
    }
    if (banned == 0) return true;
    if (min_ban < iteration) support::internal_fault("assertion failed: min_ban >= iteration");
    std::size_t delta = min_ban - iteration;
    std::vector<GlobalSymbol> unbanned;
    for (auto& [name, s] : stats_) {
      if (s.banned_until <= iteration) continue;
      s.banned_until -= delta;
      if (s.banned_until == iteration) unbanned.push_back(name);
    }
    if (unbanned.empty()) support::internal_fault("assertion failed: !unbanned.is_empty()");
    log(LogLevel::Info, [&] {
      std::string names;
      append_joined(names, unbanned, ", ",
                    [](std::string& o, GlobalSymbol n) { append_text(o, n); });
      return cat("Banned ", banned, "/", stats_.size(), ", fast-forwarded by ", delta, " to unban ",
                 names);
    });
    return false;
  }

  Matches search_rewrite(std::size_t iteration, const EGraph<L>& egraph,
                         const Rewrite<L>& rule) override {
    Matches matches;
    search_rewrite_into(iteration, egraph, rule, matches);
    return matches;
  }

  void search_rewrite_into(std::size_t iteration, const EGraph<L>& egraph, const Rewrite<L>& rule,
                           Matches& matches) override {
    const std::size_t position = phase_next_++;
    matches.clear();
    std::size_t index = rule_index(rule);
    records_[index].echo = false;
    RuleStats& s = stats_[index].second;
    if (iteration < s.banned_until) {
      log(LogLevel::Debug, [&] {
        return cat("Skipping ", rule.name(), " (", s.search_count, "-", s.ban_count,
                   "), banned until ", s.banned_until, "...");
      });
      return;
    }
    if (s.ban_count >= 32)
      support::internal_fault(cat("rule ", rule.name(), " was banned ", s.ban_count, " times"));
    Trend& trend = records_[index].trend;
    Sighting& sighting = records_[index].sighting;
    // Rules that repeat a name share its record: only the rule that made it takes part.
    const bool own =
        in_paired_order(index, position) || sighting.program == rule.searcher().matching_program();
    const std::uint64_t phase = own && phase_results_ != nullptr ? phase_ : 0;
    const std::size_t nodes = egraph.node_count();
    // No class of the clean store holds a node of the kind the rule's program binds first, so
    // its search finds no row: the outcome of searching, without the search. Most rules of a
    // small kernel end here, before their threshold is worked out: no rows are fewer than any
    // limit, which is at least 1.
    if (own && sighting.root_kind != kAnyKind && egraph.clean() &&
        !egraph.holds_kind(sighting.root_kind)) {
      trend = {0, nodes, &egraph, egraph.version()};
      sighting.see(phase, 0, 1, true, position);
      s.search_count += 1;
      return;
    }
    std::size_t threshold = detail::saturating_shift(s.match_limit, s.ban_count);
    std::size_t limit = detail::saturating_add(threshold, 1);
    const Sighting* twin = own ? twin_sighting(sighting) : nullptr;
    // Nothing changed the store since this rule last kept its matches, so applying them changed
    // nothing either: it would find the same matches, as many as then (within the threshold
    // then, which only grows), and they would change nothing again. A debug log reports every
    // search's matches, so while one is wanted the rule is searched as always.
    if (trend.searched_graph == &egraph && trend.searched_version == egraph.version() &&
        (trend.matches == 0 || trend.applied) && trend.matches <= threshold &&
        !log_enabled(LogLevel::Debug)) {
      s.search_count += 1;
      return;
    }
    // A search that will be banned finds its matches only to throw them away; when the rule's
    // last count, grown with the e-graph, points there, counting first (much cheaper than
    // keeping rows) settles the ban without them.
    if (trend.likely_over(threshold, nodes)) {
      std::size_t total = twin != nullptr && twin->knows(limit)
                              ? twin->count_within(limit)
                              : rule.count_with_limit(egraph, limit);
      sighting.see(phase, total, limit, false, 0);
      trend = {total, nodes};
      if (total > threshold) {
        ban(iteration, rule, s, threshold, total);
        return;
      }
    }
    // A rule whose searcher finds the same rows as one searched earlier in this phase finds
    // what that one found, on the same unchanged store: its count settles a ban, and its rows,
    // read under this rule's variable names, are this rule's matches.
    std::size_t total = 0;
    if (twin != nullptr && twin->knows(limit) &&
        (twin->kept || twin->count_within(limit) > threshold)) {
      total = twin->count_within(limit);
      if (total <= threshold) {
        rename_rows_into((*phase_results_)[twin->position], rule.searcher(), matches);
        records_[index].echo = echoes_twin(index, position);
      }
    } else {
      rule.search_into(egraph, limit, matches);
      for (const auto& m : matches) total += m.substs.size();
    }
    trend = {total, nodes};
    sighting.see(phase, total, limit, total <= threshold, position);
    if (total > threshold) {
      matches.clear();
      ban(iteration, rule, s, threshold, total);
      return;
    }
    trend.searched_graph = &egraph;
    trend.searched_version = egraph.version();
    s.search_count += 1;
  }

  std::size_t apply_rewrite(std::size_t iteration, EGraph<L>& egraph, const Rewrite<L>& rule,
                            const Matches& matches) override {
    // Applying nothing changes nothing.
    if (matches.empty()) return 0;
    if (Record* record = applied_record(rule.name())) {
      record->trend.applied = true;
      // A rule that adds what its twin added for the same rows, earlier in this phase, adds and
      // merges nothing, unless a merge since moved a child of those nodes to another root.
      if (record->echo && egraph.settled_classes_intact()) return 0;
    }
    return RewriteScheduler<L>::apply_rewrite(iteration, egraph, rule, matches);
  }

 private:
  static constexpr std::uint64_t kNoVersion = ~std::uint64_t{0};

  static constexpr std::size_t kNoTwin = ~std::size_t{0};
  static constexpr std::uint32_t kAnyKind = ~std::uint32_t{0};

  /// What a rule's search or count found in one search phase, for a later rule with the same
  /// matching program.
  struct Sighting {
    const Program<L>* program = nullptr;
    std::uint64_t rows_key = 0;
    /// The operator kind of the program's `root_kind`, or `kAnyKind`.
    std::uint32_t root_kind = kAnyKind;
    /// The latest earlier record with the same matching program, or `kNoTwin`.
    std::size_t twin = kNoTwin;
    /// The search phase of the sighting; 0 is none.
    std::uint64_t phase = 0;
    /// Rows found: all of them when `exact`, else the limit the search stopped at.
    std::size_t count = 0;
    bool exact = false;
    /// Whether the rows were kept, at `position` of the phase's results.
    bool kept = false;
    std::size_t position = 0;

    void see(std::uint64_t in_phase, std::size_t found, std::size_t limit, bool keep,
             std::size_t at) {
      if (in_phase == 0) return;
      phase = in_phase;
      count = found;
      exact = found < limit;
      kept = keep;
      position = at;
    }
    /// Whether a search with `limit` would find a number of rows known from this sighting.
    bool knows(std::size_t limit) const { return exact || limit <= count; }
    std::size_t count_within(std::size_t limit) const { return std::min(count, limit); }
  };

  /// A rule's match count at its last search and the e-graph's node count then.
  struct Trend {
    std::size_t matches = 0;
    std::size_t nodes = 0;
    /// The store searched by the rule's last search and its version then, when that search
    /// kept its matches.
    const EGraph<L>* searched_graph = nullptr;
    std::uint64_t searched_version = kNoVersion;
    /// Whether the matches of that search went to `apply_rewrite`.
    bool applied = false;

    /// Whether the count, grown with the square of the node count (a rule's matches grow about
    /// as pairs of nodes), is likely to exceed `threshold` now.
    bool likely_over(std::size_t threshold, std::size_t nodes_now) const {
      if (nodes == 0 || matches == 0) return false;
      double growth = static_cast<double>(nodes_now) / static_cast<double>(nodes);
      return static_cast<double>(matches) * growth * growth > static_cast<double>(threshold);
    }
  };

  void ban(std::size_t iteration, const Rewrite<L>& rule, RuleStats& s, std::size_t threshold,
           std::size_t total) {
    std::size_t ban_length = detail::saturating_shift(s.ban_length, s.ban_count);
    s.ban_count += 1;
    s.banned_until = detail::saturating_add(iteration, ban_length);
    log(LogLevel::Info, [&] {
      return cat("Banning ", rule.name(), " (", s.search_count, "-", s.ban_count, ") for ",
                 ban_length, " iters: ", threshold, " < ", total);
    });
  }

  /// The position of the rule's record in `stats_`, created on its first search.
  std::size_t rule_index(const Rewrite<L>& rule) {
    // A run searches its rules in one order every iteration, so the record after the last one
    // found is nearly always the one asked for; the names of the records are distinct. That
    // check is all most searches pay, kept apart from finding or making a record.
    if (next_ < stats_.size() && stats_[next_].first == rule.name()) return next_++;
    return find_or_add_record(rule);
  }

  /// The record of `rule` when it is not the one after the last one found, made if new.
  std::size_t find_or_add_record(const Rewrite<L>& rule) {
    const GlobalSymbol name = rule.name();
    // A rule next in the paired list, after records that follow it, is new: its names are
    // distinct.
    const bool follows = next_in_pairing(rule);
    if (!follows) {
      for (std::size_t i = 0; i < stats_.size(); ++i) {
        if (stats_[i].first == name) {
          next_ = i + 1;
          return i;
        }
      }
    }
    next_ = stats_.size() + 1;
    if (stats_.empty()) {
      stats_.reserve(kTypicalRules);
      records_.reserve(kTypicalRules);
    }
    // Record k of the pairing's list has, as its twin, the record of the rule the pairing names.
    const std::size_t twin = follows ? pairing_->twin(stats_.size()) : twin_of(rule);
    followed_ = follows ? pairing_ : nullptr;
    add_record(rule, twin);
    return stats_.size() - 1;
  }

  /// Appends a fresh record for `rule`, whose twin is the record `twin` (or `kNoTwin`).
  void add_record(const Rewrite<L>& rule, std::size_t twin) {
    stats_.push_back({rule.name(), RuleStats{0, 0, 0, initial_match_limit_, initial_ban_length_}});
    const Program<L>* program = rule.searcher().matching_program();
    records_.push_back(
        {Trend{},
         Sighting{program, program != nullptr ? program->rows_key : 0,
                  program != nullptr ? program->root_kind().value_or(kAnyKind) : kAnyKind, twin},
         false});
  }

  /// Makes, before the first search of a run over the paired list, the records of all its rules
  /// in list order, as their first searches would one by one: record k is rule k's.
  void add_paired_records(std::span<const Rewrite<L>> rules) {
    stats_.reserve(rules.size());
    records_.reserve(rules.size());
    for (std::size_t k = 0; k < rules.size(); ++k) add_record(rules[k], pairing_->twin(k));
    followed_ = pairing_;
    next_ = 0;
  }

  /// The latest record whose searcher finds the rows `rule`'s searcher finds, or `kNoTwin`.
  std::size_t twin_of(const Rewrite<L>& rule) const {
    static_assert(kNoTwin == RulePairing<L>::kNone);
    return RulePairing<L>::latest_same_rows(rule.searcher().matching_program(), records_.size(),
                                            [&](std::size_t i) {
                                              // The keys are held in the records.
                                              const Sighting& other = records_[i].sighting;
                                              return std::pair{other.rows_key, other.program};
                                            });
  }

  /// What the twin of the rule of `sighting` saw in the current search phase, if it searched
  /// or counted in it. A trace log records every search's rows, so while one is wanted every
  /// rule searches for itself.
  const Sighting* twin_sighting(const Sighting& sighting) const {
    if (sighting.twin == kNoTwin || phase_results_ == nullptr) return nullptr;
    const Sighting& twin = records_[sighting.twin].sighting;
    if (twin.phase != phase_ || log_enabled(LogLevel::Trace)) return nullptr;
    return &twin;
  }

  /// `rows` as the matches of `searcher`, whose program finds the same rows, into `out`.
  static void rename_rows_into(const Matches& rows, const Searcher<L>& searcher, Matches& out) {
    const std::span<const Var> vars = searcher.matching_program()->vars;
    const PatternAst<L>* ast = searcher.get_pattern_ast();
    out.assign(rows.begin(), rows.end());
    for (SearchMatches<L>& m : out) {
      m.substs.rename_vars(vars);
      m.ast = ast;
    }
  }

  void on_search_phase(const std::vector<Matches>* results,
                       std::span<const Rewrite<L>> rules) override {
    phase_results_ = results;
    phase_next_ = 0;
    phase_paired_ = pairing_ != nullptr && pairing_->describes(rules);
    if (results != nullptr) ++phase_;
    if (results != nullptr && phase_paired_ && stats_.empty() && pairing_->distinct_names())
      add_paired_records(rules);
  }

  /// Whether `rule` is the entry of the paired list at the position of the next record, with
  /// each record so far belonging to the list's entry at its position.
  bool next_in_pairing(const Rewrite<L>& rule) const {
    if (!phase_paired_ || !pairing_->distinct_names()) return false;
    const std::size_t n = stats_.size();
    return (n == 0 || followed_ == pairing_) && pairing_->position_of(rule) == n;
  }

  /// Whether the rule whose record is `index`, at `position` of the list searched, is the
  /// paired list's entry there and adds what its twin adds.
  bool echoes_twin(std::size_t index, std::size_t position) const {
    return in_paired_order(index, position) && pairing_->echoes_twin(position);
  }

  /// Whether the rule whose record is `index`, at `position` of the list searched, is the
  /// paired list's entry there, which made the record: the names of that list are distinct.
  bool in_paired_order(std::size_t index, std::size_t position) const {
    return phase_paired_ && followed_ == pairing_ && index == position;
  }

  struct Record;
  /// The record of a rule being applied, if it was ever searched. The apply phase takes the
  /// rules in the order the search phase did, so the record after the last one found is nearly
  /// always it.
  Record* applied_record(GlobalSymbol name) {
    if (apply_next_ < stats_.size() && stats_[apply_next_].first == name)
      return &records_[apply_next_++];
    for (std::size_t i = 0; i < stats_.size(); ++i) {
      if (stats_[i].first == name) {
        apply_next_ = i + 1;
        return &records_[i];
      }
    }
    return nullptr;
  }

  /// Room for the records of a whole rule set at once, rather than one growth at a time.
  static constexpr std::size_t kTypicalRules = 32;
  std::size_t initial_match_limit_ = 1000;
  std::size_t initial_ban_length_ = 5;
  std::vector<std::pair<GlobalSymbol, RuleStats>> stats_;
  /// What a rule's searches found, parallel to `stats_`.
  struct Record {
    Trend trend;
    Sighting sighting;
    /// Whether the rule's matches in the phase under way are its twin's, renamed, and it adds
    /// what its twin adds for them.
    bool echo = false;
  };
  std::vector<Record> records_;
  /// The search phase under way (counted from 1) and its results so far, null between phases.
  std::uint64_t phase_ = 0;
  const std::vector<Matches>* phase_results_ = nullptr;
  /// The entry of `phase_results_` the next search fills.
  std::size_t phase_next_ = 0;
  /// What is known about the rule list runs pass, if anything, and whether the phase under way
  /// searches that list.
  const RulePairing<L>* pairing_ = nullptr;
  bool phase_paired_ = false;
  /// The pairing whose list's rule k owns record k, for every record so far, or null.
  const RulePairing<L>* followed_ = nullptr;
  /// Where `rule_index` looks first.
  std::size_t next_ = 0;
  /// Where `applied_record` looks first.
  std::size_t apply_next_ = 0;
};

}  // namespace tarvelon::egraph
