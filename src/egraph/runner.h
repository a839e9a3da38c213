#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <time.h>

#include "egraph/egraph.h"
#include "egraph/log.h"
#include "egraph/rewrite.h"
#include "egraph/scheduler.h"
#include "egraph/stop_reason.h"
#include "egraph/symbol.h"
#include "support/internal_fault.h"

namespace tarvelon::egraph {

/// The record of one iteration of a run.
struct Iteration {
  /// Rule name -> applications that merged something, in first-application order; rules that
  /// merged nothing are absent.
  std::vector<std::pair<GlobalSymbol, std::size_t>> applied_counts;
  /// Node and class counts at the start of the iteration, after the hooks.
  std::size_t node_count = 0;
  std::size_t class_count = 0;
  double hook_seconds = 0;
  double search_seconds = 0;
  double apply_seconds = 0;
  double rebuild_seconds = 0;
  /// Merges performed by the iteration's rebuild.
  std::size_t union_count = 0;
  /// Seconds since the run started, at the end of the iteration.
  double elapsed_seconds = 0;
  std::optional<StopReason> stop_reason;
};

/// Equality saturation: repeats search-all, apply-all, rebuild until nothing changes or a limit
/// is reached. Limits are checked after every rule's search and every rule's application, and
/// the e-graph is always left rebuilt.
template <Language L>
class Runner {
 public:
  using Hook = std::function<std::optional<std::string>(Runner&)>;
  using Clock = std::chrono::steady_clock;
  using Matches = typename RewriteScheduler<L>::Matches;

  Runner() : scheduler_(std::make_unique<BackoffScheduler<L>>()) {
    matches_.swap(spare_match_lists());
  }
  Runner(Runner&&) = default;
  Runner& operator=(Runner&&) = default;
  ~Runner() { keep_match_lists(); }

  Runner& with_iter_limit(std::size_t max_iterations) {
    max_iterations_ = max_iterations;
    return *this;
  }
  Runner& with_node_limit(std::size_t max_nodes) {
    max_nodes_ = max_nodes;
    return *this;
  }
  Runner& with_time_limit(Clock::duration max_time) {
    max_time_ = max_time;
    if (start_) set_coarse_deadline();
    return *this;
  }
  Runner& with_scheduler(std::unique_ptr<RewriteScheduler<L>> scheduler) {
    scheduler_ = std::move(scheduler);
    return *this;
  }
  /// A callback run at the start of every iteration; an error text ends the run with `Other`.
  Runner& with_hook(Hook hook) {
    hooks_.push_back(std::move(hook));
    return *this;
  }
  /// Adds `expr` to the e-graph and records its class as a root.
  Runner& with_expr(const RecExpr<L>& expr) {
    return with_root(egraph_.add_expr_uncanonical(expr));
  }
  /// Records the class of `id`, already in the e-graph, as a root.
  Runner& with_root(Id id) {
    roots_.push_back(egraph_.find(id));
    return *this;
  }

  std::size_t max_iterations() const { return max_iterations_; }
  std::size_t max_nodes() const { return max_nodes_; }
  Clock::duration max_time() const { return max_time_; }
  const EGraph<L>& egraph() const { return egraph_; }
  EGraph<L>& egraph() { return egraph_; }
  const std::vector<Id>& roots() const { return roots_; }
  const std::vector<Iteration>& iterations() const { return iterations_; }
  const std::optional<StopReason>& stop_reason() const { return stop_reason_; }
  RewriteScheduler<L>& scheduler() { return *scheduler_; }

  /// Runs `rules` to saturation or a limit; afterwards `stop_reason` is set and there is at
  /// least one iteration. `pairing`, when given, was made from `rules` once and is kept.
  Runner& run(std::span<const Rewrite<L>> rules, const RulePairing<L>* pairing = nullptr) {
    if (pairing != nullptr && !pairing->describes(rules)) pairing = nullptr;
    if (pairing == nullptr || !pairing->distinct_names()) check_rule_names(rules);
    scheduler_->use_pairing(pairing);
    egraph_.rebuild();
    if (iterations_.empty()) iterations_.reserve(std::min(max_iterations_, kTypicalIterations));
    for (;;) {
      Iteration iteration = run_one(rules);
      std::optional<StopReason> stop = iteration.stop_reason;
      iterations_.push_back(std::move(iteration));
      if (!stop) stop = check_limits();
      if (stop) {
        log(LogLevel::Info, [&] { return cat("Stopping: ", to_string(*stop)); });
        stop_reason_ = std::move(stop);
        return *this;
      }
    }
  }

 private:
  static double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

  Clock::duration elapsed(Clock::time_point now = Clock::now()) const {
    auto d = now - *start_;
    return d < Clock::duration::zero() ? Clock::duration::zero() : d;
  }

  /// The coarse monotonic clock: read in a few nanoseconds where the precise clock takes tens,
  /// and the limits are checked after every rule's search and application.
  static Clock::duration coarse_now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
  }

  /// How far the coarse clock may trail the precise one: its tick, with room for a late tick.
  static Clock::duration coarse_lag() {
    timespec res{};
    if (clock_getres(CLOCK_MONOTONIC_COARSE, &res) != 0) return Clock::duration::max() / 4;
    const Clock::duration tick =
        std::chrono::seconds(res.tv_sec) + std::chrono::nanoseconds(res.tv_nsec);
    return 4 * tick + std::chrono::milliseconds(20);
  }

  /// Whether the run may have used up its time: the coarse clock trails the precise one by at
  /// most `coarse_lag`, so a coarse reading that far inside the limit proves the run inside it.
  bool may_be_out_of_time() const { return coarse_now() > coarse_deadline_; }

  /// Sets the coarse reading up to which the run is surely inside its time limit.
  void set_coarse_deadline() {
    static const Clock::duration lag = coarse_lag();
    using Duration = Clock::duration;
    if (max_time_ < Duration::min() + lag) {
      coarse_deadline_ = Duration::min();
      return;
    }
    const Duration room = max_time_ - lag;
    coarse_deadline_ =
        room > Duration::max() - coarse_start_ ? Duration::max() : coarse_start_ + room;
  }

  /// Whether `check_limits` may find a limit reached: false for nearly every check, and read
  /// without building its answer.
  bool may_reach_limits() const { return may_be_out_of_time() || past_size_limits(); }

  /// Whether the store is past its node limit or the iterations are used up.
  bool past_size_limits() const {
    return egraph_.node_count() > max_nodes_ || iterations_.size() >= max_iterations_;
  }

  std::optional<StopReason> check_limits() const {
    if (may_be_out_of_time()) {
      Clock::duration e = elapsed();
      if (e > max_time_) return StopReason{StopReason::TimeLimit{seconds(e)}};
    }
    std::size_t nodes = egraph_.node_count();
    if (nodes > max_nodes_) return StopReason{StopReason::NodeLimit{nodes}};
    if (iterations_.size() >= max_iterations_)
      return StopReason{StopReason::IterationLimit{iterations_.size()}};
    return std::nullopt;
  }

  static void check_rule_names(std::span<const Rewrite<L>> rules) {
    // Only a set with a repeated name is counted name by name for the report.
    if (names_are_distinct(rules)) return;
    std::vector<std::pair<GlobalSymbol, std::size_t>> counts;
    for (const Rewrite<L>& rule : rules) {
      auto it = std::find_if(counts.begin(), counts.end(),
                             [&](const auto& c) { return c.first == rule.name(); });
      if (it == counts.end()) {
        counts.emplace_back(rule.name(), 1);
      } else {
        ++it->second;
      }
    }
    if (std::none_of(counts.begin(), counts.end(), [](const auto& c) { return c.second > 1; }))
      return;
    std::string text = "Duplicated rule names may affect rule reporting and scheduling.";
    std::string report = cat("WARNING: ", text, "\n");
    log(LogLevel::Warn, [&] { return text; });
    for (const auto& [name, count] : counts) {
      if (count <= 1) continue;
      std::string line = cat("Rule '", name, "' appears ", count, " times");
      report += line + "\n";
      log(LogLevel::Warn, [&] { return line; });
    }
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
  }

  Iteration run_one(std::span<const Rewrite<L>> rules) {
    if (stop_reason_) support::internal_fault("assertion failed: self.stop_reason.is_none()");
    std::size_t i = iterations_.size();
    log(LogLevel::Info, [&] { return cat("\nIteration ", i); });
    if (!start_) {
      coarse_start_ = coarse_now();
      start_ = Clock::now();
      set_coarse_deadline();
    }
    Iteration record;
    std::optional<StopReason> result = check_limits();

    // Each phase ends where the next begins, so one reading of the precise clock serves both
    // ends; a run without hooks spends no time on them.
    Clock::time_point mark = Clock::now();
    const auto lap = [&mark] {
      const Clock::time_point now = Clock::now();
      const double s = seconds(now - mark);
      mark = now;
      return s;
    };
    if (!result) {
      for (Hook& hook : hooks_) {
        if (auto error = hook(*this)) {
          result = StopReason{StopReason::Other{std::move(*error)}};
          break;
        }
      }
    }
    if (!hooks_.empty()) record.hook_seconds = lap();
    record.node_count = egraph_.node_count();
    record.class_count = egraph_.class_count();
    log(LogLevel::Trace, [&] { return cat("EGraph ", egraph_.dump()); });

    auto& matches = matches_;
    if (!result) {
      // Searching leaves the store and the iterations as they are, so of the limits only time
      // can be reached during it unless another was reached before it (by a hook).
      const bool reached_before = past_size_limits();
      result = scheduler_->search_rewrites_into(
          i, egraph_, rules,
          [&]() -> std::optional<StopReason> {
            if (!reached_before && !may_be_out_of_time()) return std::nullopt;
            return check_limits();
          },
          matches);
    }
    record.search_seconds = lap();
    log(LogLevel::Info, [&] { return cat("Search time: ", record.search_seconds); });

    if (!result) {
      for (std::size_t k = 0; k < rules.size(); ++k) {
        const Rewrite<L>& rule = rules[k];
        log(LogLevel::Debug, [&] {
          std::size_t total = 0;
          for (const auto& m : matches[k]) total += m.substs.size();
          return cat("Applying ", rule.name(), " ", total, " times");
        });
        // Most rules of an iteration matched nothing, and applying nothing changes nothing,
        // takes no time worth a clock reading and leaves the size limits as clear as they were
        // when the search ended: the scheduler is not asked.
        if (matches[k].empty()) continue;
        std::size_t applied = scheduler_->apply_rewrite(i, egraph_, rule, matches[k]);
        if (applied > 0) {
          add_count(record.applied_counts, rule.name(), applied);
          log(LogLevel::Debug,
              [&] { return cat("Applied ", rule.name(), " ", applied, " times"); });
        }
        if (!may_reach_limits()) continue;
        if (auto stop = check_limits()) {
          result = std::move(stop);
          break;
        }
      }
    }
    // The matches are spent; their lists keep their room for the next iteration's search.
    for (auto& m : matches) m.clear();
    record.apply_seconds = lap();
    log(LogLevel::Info, [&] { return cat("Apply time: ", record.apply_seconds); });

    record.union_count = egraph_.rebuild();
    record.rebuild_seconds = lap();
    log(LogLevel::Info, [&] { return cat("Rebuild time: ", record.rebuild_seconds); });
    log(LogLevel::Info,
        [&] { return cat("Size: n=", egraph_.node_count(), ", e=", egraph_.class_count()); });

    bool saturated = record.applied_counts.empty() && scheduler_->can_stop(i) &&
                     record.node_count == egraph_.node_count() &&
                     record.class_count == egraph_.class_count();
    if (saturated && !result) result = StopReason{StopReason::Saturated{}};
    record.elapsed_seconds = seconds(elapsed(mark));
    record.stop_reason = std::move(result);
    return record;
  }

  /// Match lists that a run on this thread left, their entries emptied, for the next run: a
  /// small kernel's run then allocates none for its matches.
  static std::vector<Matches>& spare_match_lists() {
    thread_local std::vector<Matches> lists;
    return lists;
  }

  /// Leaves this run's match lists for the next run on this thread, unless their room is past
  /// `kKeptMatchBytes` (a large run's goes back to the system) or lists are kept already.
  void keep_match_lists() noexcept {
    std::size_t bytes = matches_.capacity() * sizeof(Matches);
    for (Matches& m : matches_) {
      m.clear();
      bytes += m.capacity() * sizeof(SearchMatches<L>);
    }
    std::vector<Matches>& spare = spare_match_lists();
    if (bytes <= kKeptMatchBytes && spare.capacity() == 0) spare.swap(matches_);
  }

  static void add_count(std::vector<std::pair<GlobalSymbol, std::size_t>>& counts,
                        GlobalSymbol name, std::size_t n) {
    for (auto& [rule, count] : counts) {
      if (rule == name) {
        count += n;
        return;
      }
    }
    // Room for the rules a small kernel's iteration applies, rather than one growth at a time.
    if (counts.empty()) counts.reserve(kTypicalAppliedRules);
    counts.emplace_back(name, n);
  }

  static constexpr std::size_t kTypicalAppliedRules = 4;
  /// The most room in match lists a thread keeps between runs: a few small kernels' worth.
  static constexpr std::size_t kKeptMatchBytes = std::size_t{64} << 10;
  static constexpr std::size_t kTypicalIterations = 4;

  EGraph<L> egraph_;
  std::vector<Id> roots_;
  std::vector<Iteration> iterations_;
  std::optional<StopReason> stop_reason_;
  std::vector<Hook> hooks_;
  /// Each rule's matches in the iteration under way, by the rule's position in the list run.
  std::vector<Matches> matches_;
  std::size_t max_iterations_ = 30;
  std::size_t max_nodes_ = 10'000;
  Clock::duration max_time_ = std::chrono::seconds(5);
  std::optional<Clock::time_point> start_;
  /// The coarse clock's reading when the run started, taken just before `start_`.
  Clock::duration coarse_start_{};
  /// `coarse_start_` plus the time limit less the coarse clock's lag, saturated.
  Clock::duration coarse_deadline_ = Clock::duration::max();
  std::unique_ptr<RewriteScheduler<L>> scheduler_;
};

}  // namespace tarvelon::egraph
