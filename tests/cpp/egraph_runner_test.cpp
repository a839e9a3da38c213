#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "egraph/runner.h"
#include "egraph/scheduler.h"
#include "egraph/symbol_lang.h"
#include "egraph_test_util.h"

namespace tarvelon::egraph {
namespace {

using testing::add;
using testing::expr;
using testing::fault_of;
using testing::Graph;
using testing::LogCapture;
using testing::Node;
using testing::rule;

using Rules = std::vector<Rewrite<Node>>;

std::string stop_text(const Runner<Node>& runner) { return to_string(*runner.stop_reason()); }

TEST(Rewrite, RejectsAnApplierVariableTheSearcherDoesNotBind) {
  auto made = Rewrite<Node>::from_patterns("bad", "(f ?x)", "(g ?x ?z)");
  ASSERT_FALSE(made.has_value());
  EXPECT_EQ(made.error(), "Rewrite bad refers to unbound var ?z");
  auto unreadable = Rewrite<Node>::from_patterns("worse", "(f ?x", "?x");
  ASSERT_FALSE(unreadable.has_value());
  EXPECT_EQ(unreadable.error(), "worse: End of file reached at line 1, column 6");
}

TEST(StopReason, DebugFormsNameTheVariantAndItsValue) {
  const std::pair<StopReason, std::string> cases[] = {
      {{StopReason::Saturated{}}, "Saturated"},
      {{StopReason::IterationLimit{8}}, "IterationLimit(8)"},
      {{StopReason::NodeLimit{20001}}, "NodeLimit(20001)"},
      {{StopReason::TimeLimit{5.25}}, "TimeLimit(5.25)"},
      {{StopReason::Other{"hook \"x\""}}, "Other(\"hook \\\"x\\\"\")"},
  };
  for (const auto& [reason, text] : cases) EXPECT_EQ(to_string(reason), text);
}

TEST(Runner, UsesTheEngineDefaults) {
  Runner<Node> runner;
  EXPECT_EQ(runner.max_iterations(), 30u);
  EXPECT_EQ(runner.max_nodes(), 10'000u);
  EXPECT_EQ(runner.max_time(), std::chrono::seconds(5));
}

TEST(Runner, StopsForTheFirstReasonThatApplies) {
  struct Case {
    const char* name;
    const char* rule_lhs;
    std::size_t max_iterations, max_nodes;
    const char* stop;
    std::size_t iterations;
    const char* last_record_stop;  // the iteration-limit check runs after the record is kept
    const char* applied;
  };
  const Case cases[] = {
      {"nothing changes", "(nothere ?x ?y)", 30, 10'000, "Saturated", 1, "Saturated", ""},
      {"one iteration", "(+ ?x ?y)", 1, 10'000, "IterationLimit(1)", 1, "none", "grow=1 comm=1 "},
      // The limit ends the apply phase right after "grow": "comm" is not applied.
      {"node limit in the apply phase", "(+ ?x ?y)", 30, 4, "NodeLimit(5)", 1, "NodeLimit(5)",
       "grow=1 "},
      // Rebuilding adds re-canonicalized keys, so the check after the iteration trips.
      {"node limit after a rebuild", "(+ ?x ?y)", 30, 8, "NodeLimit(9)", 2, "none",
       "grow=2 comm=1 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Runner<Node> runner;
    runner.with_iter_limit(c.max_iterations).with_node_limit(c.max_nodes);
    runner.with_expr(expr("(+ a b)"));
    Rules rules{rule("grow", c.rule_lhs, "(+ (+ ?y ?x) ?x)"),
                rule("comm", "(+ ?x ?y)", "(+ ?y ?x)")};
    if (std::string_view(c.rule_lhs) != "(+ ?x ?y)") rules.pop_back();
    runner.run(rules);
    EXPECT_EQ(stop_text(runner), c.stop);
    EXPECT_EQ(runner.iterations().size(), c.iterations);
    EXPECT_TRUE(runner.egraph().clean());
    const Iteration& last = runner.iterations().back();
    EXPECT_EQ(last.stop_reason ? to_string(*last.stop_reason) : "none", c.last_record_stop);
    std::string applied;
    for (const auto& [name, count] : last.applied_counts) applied += cat(name, "=", count, " ");
    EXPECT_EQ(applied, c.applied);
  }
}

TEST(Runner, ReachesTheTimeLimitAndStopsOnAHookError) {
  Runner<Node> timed;
  timed.with_time_limit(std::chrono::nanoseconds(0)).with_expr(expr("(+ a b)"));
  timed.run(Rules{rule("comm", "(+ ?x ?y)", "(+ ?y ?x)")});
  EXPECT_TRUE(std::holds_alternative<StopReason::TimeLimit>(timed.stop_reason()->value));

  Runner<Node> hooked;
  int calls = 0;
  hooked.with_hook([&](Runner<Node>&) -> std::optional<std::string> {
    return ++calls == 2 ? std::optional<std::string>("enough") : std::nullopt;
  });
  hooked.with_expr(expr("(+ a b)")).run(Rules{rule("grow", "(+ ?x ?y)", "(+ (+ ?y ?x) ?x)")});
  EXPECT_EQ(stop_text(hooked), "Other(\"enough\")");
  EXPECT_EQ(hooked.iterations().size(), 2u);
  EXPECT_TRUE(hooked.iterations()[1].applied_counts.empty());
}

// A hook runs after the limits are checked as an iteration begins: a store it grows past the
// node limit ends the search at its first check, before anything is applied.
TEST(Runner, AHookThatGrowsTheStorePastTheNodeLimitEndsTheSearch) {
  struct Case {
    const char* name;
    std::size_t max_nodes;
    const char* stop;
    const char* applied;
  };
  const Case cases[] = {
      {"past the limit", 5, "NodeLimit(6)", ""},
      {"within the limit", 100, "IterationLimit(1)", "comm=1 id=1 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Runner<Node> runner;
    runner.with_iter_limit(1).with_node_limit(c.max_nodes).with_expr(expr("(+ a b)"));
    runner.with_hook([](Runner<Node>& r) -> std::optional<std::string> {
      r.egraph().add_expr(expr("(* c d)"));
      r.egraph().rebuild();
      return std::nullopt;
    });
    runner.run(Rules{rule("comm", "(+ ?x ?y)", "(+ ?y ?x)"), rule("id", "(* ?x ?y)", "?x")});
    EXPECT_EQ(stop_text(runner), c.stop);
    ASSERT_EQ(runner.iterations().size(), 1u);
    std::string applied;
    for (const auto& [name, count] : runner.iterations()[0].applied_counts)
      applied += cat(name, "=", count, " ");
    EXPECT_EQ(applied, c.applied);
  }
}

// A limit long enough that most checks read only the cheap clock: the run still stops once past
// it, and soon after, however the checks are gated.
TEST(Runner, StopsSoonAfterALimitLongerThanTheCheapClocksTick) {
  using namespace std::chrono_literals;
  Runner<Node> runner;
  runner.with_time_limit(150ms).with_iter_limit(1'000).with_node_limit(1'000'000);
  runner.with_hook([](Runner<Node>&) -> std::optional<std::string> {
    std::this_thread::sleep_for(10ms);
    return std::nullopt;
  });
  runner.with_expr(expr("(+ a b)")).run(Rules{rule("grow", "(+ ?x ?y)", "(+ (+ ?y ?x) ?x)")});
  const auto* stop = std::get_if<StopReason::TimeLimit>(&runner.stop_reason()->value);
  ASSERT_NE(stop, nullptr) << stop_text(runner);
  EXPECT_GT(stop->seconds, 0.150);
  EXPECT_LT(runner.iterations().size(), 60u);
}

// Limits at the ends of the clock's range neither wrap around nor stop a run early.
TEST(Runner, TimeLimitsAtTheEndsOfTheClocksRange) {
  using Duration = Runner<Node>::Clock::duration;
  struct Case {
    const char* name;
    Duration limit;
    bool time_stops;
  };
  const Case cases[] = {
      {"the longest", Duration::max(), false},
      {"a century", std::chrono::hours(24 * 365 * 100), false},
      {"zero", Duration::zero(), true},
      {"negative", -std::chrono::seconds(1), true},
      {"the most negative", Duration::min(), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Runner<Node> runner;
    runner.with_time_limit(c.limit).with_iter_limit(3).with_expr(expr("(+ a b)"));
    runner.run(Rules{rule("grow", "(+ ?x ?y)", "(+ (+ ?y ?x) ?x)")});
    EXPECT_EQ(std::holds_alternative<StopReason::TimeLimit>(runner.stop_reason()->value),
              c.time_stops)
        << stop_text(runner);
    if (!c.time_stops) {
      EXPECT_EQ(stop_text(runner), "IterationLimit(3)");
    }
  }
}

// An iteration's phases follow one another without gaps or overlaps, so their times add up to
// the time the iteration took; hooks take time only when there are some.
TEST(Runner, PhaseTimesTileEachIteration) {
  using namespace std::chrono_literals;
  struct Case {
    const char* name;
    bool hooked;
  };
  for (const Case c : {Case{"no hooks", false}, Case{"a sleeping hook", true}}) {
    SCOPED_TRACE(c.name);
    Runner<Node> runner;
    if (c.hooked) {
      runner.with_hook([](Runner<Node>&) -> std::optional<std::string> {
        std::this_thread::sleep_for(2ms);
        return std::nullopt;
      });
    }
    runner.with_iter_limit(4).with_expr(expr("(+ a b)"));
    runner.run(Rules{rule("grow", "(+ ?x ?y)", "(+ (+ ?y ?x) ?x)")});
    ASSERT_EQ(runner.iterations().size(), 4u);
    double before = 0;
    for (const Iteration& it : runner.iterations()) {
      const double phases =
          it.hook_seconds + it.search_seconds + it.apply_seconds + it.rebuild_seconds;
      EXPECT_GE(it.elapsed_seconds, before);
      EXPECT_LE(phases, it.elapsed_seconds - before + 1e-9);
      if (c.hooked) {
        EXPECT_GE(it.hook_seconds, 0.002);
      } else {
        EXPECT_EQ(it.hook_seconds, 0.0);
      }
      before = it.elapsed_seconds;
    }
  }
}

TEST(Runner, RecordsAppliedCountsPerIteration) {
  Runner<Node> runner;
  runner.with_expr(expr("(+ (+ a 0) 0)"));
  runner.run(Rules{rule("zero", "(+ ?x 0)", "?x"), rule("never", "(nothere ?x)", "?x")});
  EXPECT_EQ(stop_text(runner), "Saturated");
  ASSERT_EQ(runner.iterations().size(), 2u);
  const Iteration& first = runner.iterations()[0];
  ASSERT_EQ(first.applied_counts.size(), 1u);
  EXPECT_EQ(first.applied_counts[0].first.as_str(), "zero");
  EXPECT_EQ(first.applied_counts[0].second, 2u);
  EXPECT_EQ(first.node_count, 4u);
  EXPECT_EQ(first.class_count, 4u);
  EXPECT_EQ(runner.egraph().find(runner.roots()[0]), runner.egraph().find(0));
}

// The scheduler is asked to apply exactly the rules that matched, each with all its rows.
TEST(Runner, AsksTheSchedulerToApplyOnlyWhatMatched) {
  struct Call {
    std::size_t iteration;
    std::string rule;
    std::size_t rows;
    bool operator==(const Call&) const = default;
  };
  struct Recording final : RewriteScheduler<Node> {
    std::vector<Call>* calls;
    explicit Recording(std::vector<Call>* out) : calls(out) {}
    std::size_t apply_rewrite(std::size_t iteration, EGraph<Node>& egraph,
                              const Rewrite<Node>& rule, const Matches& matches) override {
      std::size_t rows = 0;
      for (const auto& m : matches) rows += m.substs.size();
      calls->push_back({iteration, std::string(rule.name().as_str()), rows});
      return RewriteScheduler<Node>::apply_rewrite(iteration, egraph, rule, matches);
    }
  };
  std::vector<Call> calls;
  Runner<Node> runner;
  runner.with_scheduler(std::make_unique<Recording>(&calls));
  runner.with_expr(expr("(+ (+ a 0) 0)"));
  runner.run(Rules{rule("never", "(nothere ?x)", "?x"), rule("zero", "(+ ?x 0)", "?x")});
  EXPECT_EQ(stop_text(runner), "Saturated");
  EXPECT_EQ(calls, (std::vector<Call>{{0, "zero", 2}, {1, "zero", 1}}));
  ASSERT_EQ(runner.iterations().size(), 2u);
  EXPECT_EQ(runner.iterations()[0].applied_counts.size(), 1u);
  EXPECT_TRUE(runner.iterations()[1].applied_counts.empty());
}

TEST(Runner, WarnsOnceAboutDuplicatedRuleNames) {
  Runner<Node> runner;
  runner.with_expr(expr("a"));
  ::testing::internal::CaptureStderr();
  runner.run(Rules{rule("same", "(f ?x)", "?x"), rule("other", "(g ?x)", "?x"),
                   rule("same", "(h ?x)", "?x"), rule("other", "(k ?x)", "?x"),
                   rule("same", "(m ?x)", "?x"), rule("alone", "(n ?x)", "?x")});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n"
            "Rule 'same' appears 3 times\n"
            "Rule 'other' appears 2 times\n");
  auto* backoff = dynamic_cast<BackoffScheduler<Node>*>(&runner.scheduler());
  ASSERT_NE(backoff, nullptr);
  EXPECT_EQ(backoff->stats().size(), 3u);
}

/// A store with `n` classes matching (f ?x).
Graph many_f(std::size_t n) {
  Graph g;
  for (std::size_t i = 0; i < n; ++i) add(g, cat("(f a", i, ")"));
  g.rebuild();
  return g;
}

std::size_t total(const std::vector<SearchMatches<Node>>& found) {
  std::size_t n = 0;
  for (const auto& m : found) n += m.substs.size();
  return n;
}

TEST(BackoffScheduler, BansARuleThatMatchesTooOftenWithDoublingThresholdAndLength) {
  Graph g = many_f(2001);
  Rewrite<Node> r = rule("f-to-g", "(f ?x)", "(g ?x)");
  BackoffScheduler<Node> scheduler;
  LogCapture log(LogLevel::Debug);

  EXPECT_EQ(total(scheduler.search_rewrite(0, g, r)), 0u);  // 2001 > 1000: banned 5
  EXPECT_EQ(scheduler.stats()[0].second, (RuleStats{0, 5, 1, 1000, 5}));
  EXPECT_EQ(total(scheduler.search_rewrite(4, g, r)), 0u);  // still banned
  EXPECT_EQ(total(scheduler.search_rewrite(5, g, r)), 0u);  // 2001 > 2000: banned 10
  EXPECT_EQ(scheduler.stats()[0].second, (RuleStats{0, 15, 2, 1000, 5}));
  EXPECT_EQ(total(scheduler.search_rewrite(15, g, r)), 2001u);  // threshold 4000
  EXPECT_EQ(scheduler.stats()[0].second, (RuleStats{1, 15, 2, 1000, 5}));

  EXPECT_EQ(log.messages(LogLevel::Info),
            (std::vector<std::string>{"Banning f-to-g (0-1) for 5 iters: 1000 < 1001",
                                      "Banning f-to-g (0-2) for 10 iters: 2000 < 2001"}));
  EXPECT_EQ(log.messages(LogLevel::Debug),
            std::vector<std::string>{"Skipping f-to-g (0-1), banned until 5..."});
}

// A rule whose matches grew with the e-graph since its last search is counted before it is
// searched: the ban, the statistics and the matches kept must be what a plain search gives.
TEST(BackoffScheduler, AGrownRuleIsJudgedAsAPlainSearchWouldJudgeIt) {
  struct Case {
    const char* name;
    std::size_t more_f;      // f nodes added after the first search, which finds 600
    std::size_t more_other;  // nodes the rule does not match, also added
    std::size_t kept;        // matches the second search returns
    RuleStats stats;
    std::vector<std::string> info;
  };
  const Case cases[] = {
      {"grown past the threshold",
       600,
       0,
       0,
       {1, 6, 1, 1000, 5},
       {"Banning f-to-g (1-1) for 5 iters: 1000 < 1001"}},
      {"grown to exactly the threshold", 400, 0, 1000, {2, 0, 0, 1000, 5}, {}},
      {"only other nodes grew", 0, 1200, 600, {2, 0, 0, 1000, 5}, {}},
      {"nothing grew", 0, 0, 600, {2, 0, 0, 1000, 5}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph g = many_f(600);
    Rewrite<Node> r = rule("f-to-g", "(f ?x)", "(g ?x)");
    BackoffScheduler<Node> scheduler;
    EXPECT_EQ(total(scheduler.search_rewrite(0, g, r)), 600u);
    for (std::size_t i = 0; i < c.more_f; ++i) add(g, cat("(f b", i, ")"));
    for (std::size_t i = 0; i < c.more_other; ++i) add(g, cat("(k b", i, ")"));
    g.rebuild();
    LogCapture log(LogLevel::Info);
    EXPECT_EQ(total(scheduler.search_rewrite(1, g, r)), c.kept);
    EXPECT_EQ(scheduler.stats()[0].second, c.stats);
    EXPECT_EQ(log.messages(LogLevel::Info), c.info);
  }
}

TEST(BackoffScheduler, ARuleKeepsItsOwnRecordWhateverOrderTheRulesComeIn) {
  // 2001 f nodes ban f-to-g; the others match nothing and are only counted as searched.
  Graph g = many_f(2001);
  const Rewrite<Node> rules[] = {rule("f-to-g", "(f ?x)", "(g ?x)"),
                                 rule("h-to-g", "(h ?x)", "(g ?x)"),
                                 rule("k-to-g", "(k ?x)", "(g ?x)")};
  const std::vector<std::size_t> orders[] = {{0, 1, 2}, {0, 1, 2}, {2, 0, 1}, {2}, {2, 1, 0}};
  BackoffScheduler<Node> scheduler;
  std::size_t searched[3] = {};
  for (std::size_t iteration = 0; iteration < std::size(orders); ++iteration) {
    for (std::size_t k : orders[iteration]) {
      scheduler.search_rewrite(iteration, g, rules[k]);
      if (k != 0) ++searched[k];
    }
  }
  ASSERT_EQ(scheduler.stats().size(), 3u);
  EXPECT_EQ(scheduler.stats()[0], (std::pair{GlobalSymbol("f-to-g"), RuleStats{0, 5, 1, 1000, 5}}));
  EXPECT_EQ(scheduler.stats()[1],
            (std::pair{GlobalSymbol("h-to-g"), RuleStats{searched[1], 0, 0, 1000, 5}}));
  EXPECT_EQ(scheduler.stats()[2],
            (std::pair{GlobalSymbol("k-to-g"), RuleStats{searched[2], 0, 0, 1000, 5}}));
}

TEST(BackoffScheduler, ExactlyTheThresholdIsNotBanned) {
  Graph g = many_f(1000);
  BackoffScheduler<Node> scheduler;
  EXPECT_EQ(total(scheduler.search_rewrite(0, g, rule("f-to-g", "(f ?x)", "(g ?x)"))), 1000u);
  EXPECT_EQ(scheduler.stats()[0].second, (RuleStats{1, 0, 0, 1000, 5}));
}

// Two rules whose searchers compile to one program find the same rows; within one search phase
// the second takes the first's count and rows. Every outcome must be what searching each rule
// on its own gives: the matches under the second rule's names, the bans, counts and log.
TEST(BackoffScheduler, RulesWithOneMatchingProgramShareASearchAsIfEachSearched) {
  struct Step {
    std::size_t iteration;
    std::size_t f_nodes;  // classes matching both rules
    std::vector<std::size_t> rules;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"both keep their rows", {{0, 3, {0, 1}}, {1, 5, {0, 1}}}},
      {"both banned", {{0, 1500, {0, 1}}}},
      // "swap-rev" alone is banned first, so its threshold is twice that of "swap".
      {"the first banned, the second keeps", {{0, 1500, {1}}, {5, 1500, {0, 1}}}},
      {"the first keeps, the second banned", {{0, 1500, {0}}, {5, 1500, {1, 0}}}},
      {"counted after growing", {{0, 600, {0, 1}}, {1, 1400, {0, 1}}, {2, 1400, {0, 1}}}},
      {"a shorter list after a longer one", {{0, 3, {0, 1}}, {1, 5, {1}}, {2, 7, {0, 1}}}},
  };
  const Rewrite<Node> rules[] = {rule("swap", "(f ?x ?y)", "(f ?y ?x)"),
                                 rule("swap-rev", "(f ?y ?x)", "(f ?x ?y)")};
  struct Outcome {
    std::vector<std::vector<std::pair<Id, std::vector<Subst>>>> found;
    std::vector<std::pair<GlobalSymbol, RuleStats>> stats;
    std::vector<std::string> info;
  };
  // `Kept` searches every phase into one list of results, as a run does, whose entries still
  // hold the room of earlier phases' matches.
  enum class Mode { Alone, InPhases, Paired, Kept };
  auto run = [&](const Case& c, Mode mode) {
    Outcome out;
    Graph g;
    std::size_t f_nodes = 0;
    BackoffScheduler<Node> scheduler;
    std::vector<std::vector<SearchMatches<Node>>> kept;
    LogCapture log(LogLevel::Info);
    for (const Step& step : c.steps) {
      for (; f_nodes < step.f_nodes; ++f_nodes) add(g, cat("(f a", f_nodes, " b", f_nodes, ")"));
      g.rebuild();
      std::vector<Rewrite<Node>> chosen;
      for (std::size_t k : step.rules) chosen.push_back(rules[k]);
      std::vector<std::vector<SearchMatches<Node>>> found;
      const RulePairing<Node> pairing(chosen);
      if (mode == Mode::Paired) scheduler.use_pairing(&pairing);
      if (mode == Mode::Kept) {
        EXPECT_EQ(scheduler.search_rewrites_into(
                      step.iteration, g, std::span(chosen),
                      [] { return std::optional<StopReason>(); }, kept),
                  std::nullopt);
        found.assign(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(chosen.size()));
      } else if (mode != Mode::Alone) {
        found = std::get<0>(
            scheduler.search_rewrites(step.iteration, g, chosen, [] { return std::nullopt; }));
      } else {
        for (const auto& r : chosen)
          found.push_back(scheduler.search_rewrite(step.iteration, g, r));
      }
      for (const auto& matches : found) {
        out.found.emplace_back();
        for (const auto& m : matches)
          out.found.back().emplace_back(m.eclass,
                                        std::vector<Subst>(m.substs.begin(), m.substs.end()));
      }
    }
    out.stats.assign(scheduler.stats().begin(), scheduler.stats().end());
    // The scheduler's own records; the store's rebuild records carry their timing.
    for (std::string& m : log.messages(LogLevel::Info))
      if (!m.starts_with("REBUILT!")) out.info.push_back(std::move(m));
    return out;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome alone = run(c, Mode::Alone);
    for (Mode mode : {Mode::InPhases, Mode::Paired, Mode::Kept}) {
      Outcome shared = run(c, mode);
      EXPECT_EQ(shared.found, alone.found);
      EXPECT_EQ(shared.stats, alone.stats);
      EXPECT_EQ(shared.info, alone.info);
    }
  }
}

TEST(RulePairing, PairsEachRuleWithTheLatestEarlierOneFindingTheSameRows) {
  constexpr std::size_t kNone = RulePairing<Node>::kNone;
  struct Case {
    const char* name;
    Rules rules;
    std::vector<std::size_t> twins;
    bool distinct;
    /// The rules that add what their twins add (an echo is applied for nothing).
    std::vector<bool> echoes;
  };
  const Case cases[] = {
      {"no twins",
       {rule("a", "(f ?x)", "?x"), rule("b", "(g ?x)", "?x")},
       {kNone, kNone},
       true,
       {false, false}},
      {"renamed variables pair, the latest earlier one wins",
       {rule("a", "(f ?x ?y)", "(f ?y ?x)"), rule("b", "(g ?x)", "?x"),
        rule("c", "(f ?y ?x)", "(f ?x ?y)"), rule("d", "(f ?p ?q)", "?p")},
       {kNone, kNone, 0, 2},
       true,
       {false, false, true, false}},
      {"an echo adds one node of variables only",
       {rule("a", "(f ?x ?y)", "(g (f ?y ?x))"), rule("b", "(f ?y ?x)", "(g (f ?x ?y))"),
        rule("c", "(f ?x ?y)", "(f ?y 0)"), rule("d", "(f ?x ?y)", "(f ?y 0)"),
        rule("e", "(f ?x ?y)", "(f ?x ?y)"), rule("f", "(f ?x ?y)", "(f ?y ?x)")},
       {kNone, 0, 1, 2, 3, 4},
       true,
       {false, false, false, false, false, false}},
      {"a repeated variable is another program",
       {rule("a", "(f ?x ?y)", "?x"), rule("b", "(f ?x ?x)", "?x")},
       {kNone, kNone},
       true,
       {false, false}},
      {"repeated names are noticed",
       {rule("a", "(f ?x)", "?x"), rule("b", "(g ?x)", "?x"), rule("a", "(f ?y)", "?y")},
       {kNone, kNone, 0},
       false,
       {false, false, false}},
      {"an empty list", {}, {}, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RulePairing<Node> pairing(c.rules);
    EXPECT_TRUE(pairing.describes(c.rules));
    EXPECT_EQ(pairing.distinct_names(), c.distinct);
    for (std::size_t p = 0; p < c.rules.size(); ++p) {
      EXPECT_EQ(pairing.twin(p), c.twins[p]) << p;
      EXPECT_EQ(pairing.echoes_twin(p), c.echoes[p]) << p;
      EXPECT_EQ(pairing.position_of(c.rules[p]), p);
    }
    const Rules copy = c.rules;
    if (!copy.empty()) {
      EXPECT_FALSE(pairing.describes(copy));
      EXPECT_EQ(pairing.position_of(copy.front()), std::nullopt);
    }
  }
}

/// What a run leaves that a change of its bookkeeping must not alter: each rule's stats, every
/// debug record but those carrying a timing, the store and the number of iterations.
struct RunOutcome {
  std::vector<std::pair<GlobalSymbol, RuleStats>> stats;
  std::vector<std::string> debug;
  std::string dump;
  std::size_t iterations = 0;
  friend bool operator==(const RunOutcome&, const RunOutcome&) = default;
};

RunOutcome run_observed(const Rules& rules, const RulePairing<Node>* pairing, const char* start,
                        std::size_t iter_limit) {
  Runner<Node> runner;
  LogCapture log(LogLevel::Debug);
  runner.with_expr(expr(start)).with_iter_limit(iter_limit).run(rules, pairing);
  RunOutcome out;
  const auto* backoff = dynamic_cast<BackoffScheduler<Node>*>(&runner.scheduler());
  out.stats.assign(backoff->stats().begin(), backoff->stats().end());
  for (auto& [level, m] : log.records)
    if (!m.starts_with("REBUILT!") && !m.contains(" time: ")) out.debug.push_back(std::move(m));
  out.dump = runner.egraph().dump();
  out.iterations = runner.iterations().size();
  return out;
}

// A runner handed the pairing of its list, or one of another list, runs as it does without one.
// A runner takes the match lists an earlier run on its thread left; whatever ran before, with
// lists too large to keep or with another runner still alive, a run finds what a first run on a
// fresh thread finds.
TEST(Runner, RunsAlikeWithTheMatchListsOfEarlierRunsOnItsThread) {
  const Rules rules{rule("comm", "(+ ?x ?y)", "(+ ?y ?x)"), rule("zero", "(+ ?x 0)", "?x"),
                    rule("assoc", "(+ ?x (+ ?y ?z))", "(+ (+ ?x ?y) ?z)")};
  using Outcome =
      std::pair<std::size_t, std::vector<std::vector<std::pair<GlobalSymbol, std::size_t>>>>;
  auto run = [&] {
    Runner<Node> runner;
    runner.with_expr(expr("(+ a (+ b (+ c 0)))")).run(rules);
    Outcome out{runner.egraph().node_count(), {}};
    for (const Iteration& it : runner.iterations()) out.second.push_back(it.applied_counts);
    return out;
  };
  Outcome fresh;
  std::thread([&] { fresh = run(); }).join();
  ASSERT_GT(fresh.second.size(), 1u);
  EXPECT_EQ(run(), fresh);
  {
    // Over a thousand matches in one list: more room than a thread keeps.
    Runner<Node> large;
    for (int i = 0; i < 1001; ++i) large.with_expr(expr(cat("(+ a", i, " 0)")));
    large.run(rules);
  }
  EXPECT_EQ(run(), fresh);
  {
    Runner<Node> alive;
    alive.with_expr(expr("(+ d 0)")).run(rules);
    EXPECT_EQ(run(), fresh);
  }
  EXPECT_EQ(run(), fresh);
}

TEST(Runner, RunsAlikeWithTheListsPairingAnotherOrNone) {
  const Rules rules{rule("comm", "(+ ?x ?y)", "(+ ?y ?x)"), rule("zero", "(+ ?x 0)", "?x"),
                    rule("comm-rev", "(+ ?y ?x)", "(+ ?x ?y)"),
                    rule("assoc", "(+ ?x (+ ?y ?z))", "(+ (+ ?x ?y) ?z)"),
                    rule("assoc-again", "(+ ?a (+ ?b ?c))", "(+ (+ ?a ?b) ?c)")};
  const Rules other(rules);
  auto run = [&](const RulePairing<Node>* pairing) {
    return run_observed(rules, pairing, "(+ a (+ b (+ c 0)))", 30);
  };
  const RunOutcome plain = run(nullptr);
  const RulePairing<Node> own(rules), foreign(other);
  for (const RulePairing<Node>* pairing : {&own, &foreign}) EXPECT_EQ(run(pairing), plain);
}

// An echo of its twin is applied for nothing only while no merge has moved a child of the nodes
// its twin added: here "drop-g" merges (g a) into a between "comm" and its echo, and the echo
// then adds (+ c a), as it does when it searches and applies for itself.
TEST(Runner, AnEchoAppliesItsRowsOnceAMergeMovedAChildOfTheirNodes) {
  const Rules rules{rule("comm", "(+ ?x ?y)", "(+ ?y ?x)"), rule("drop-g", "(g ?x)", "?x"),
                    rule("comm-rev", "(+ ?y ?x)", "(+ ?x ?y)")};
  auto run = [&](const RulePairing<Node>* pairing) {
    Runner<Node> runner;
    // Three parents of a against two of (g a), so that the merge absorbs (g a).
    for (const char* e : {"(+ (g a) c)", "(h a)", "(k a)"}) runner.with_expr(expr(e));
    runner.with_iter_limit(1).run(rules, pairing);
    return std::pair{runner.egraph().node_count(), runner.egraph().dump()};
  };
  const RulePairing<Node> pairing(rules);
  ASSERT_TRUE(pairing.echoes_twin(2));
  const auto plain = run(nullptr);
  EXPECT_EQ(run(&pairing), plain);
}

TEST(BackoffScheduler, FastForwardsTheEarliestBansWhenOnlyBannedRulesRemain) {
  Graph g = many_f(1001);
  Rewrite<Node> early = rule("early", "(f ?x)", "(g ?x)");
  BackoffScheduler<Node> scheduler;
  scheduler.with_ban_length(3);
  scheduler.search_rewrite(1, g, early);  // banned until 4
  Rewrite<Node> late = rule("late", "(f ?y)", "(h ?y)");
  scheduler.search_rewrite(2, g, late);  // banned until 5
  Rewrite<Node> idle = rule("idle", "(q ?y)", "?y");
  scheduler.search_rewrite(2, g, idle);
  LogCapture log(LogLevel::Info);
  EXPECT_FALSE(scheduler.can_stop(2));
  EXPECT_EQ(log.messages(LogLevel::Info),
            std::vector<std::string>{"Banned 2/3, fast-forwarded by 2 to unban early"});
  EXPECT_EQ(scheduler.stats()[0].second.banned_until, 2u);
  EXPECT_EQ(scheduler.stats()[1].second.banned_until, 3u);
  EXPECT_FALSE(scheduler.can_stop(2));  // "late" is still banned: moved to 2
  EXPECT_TRUE(scheduler.can_stop(2));
}

TEST(BackoffScheduler, RunGoesOnWhileOnlyBannedRulesCouldFire) {
  Runner<Node> runner;
  for (int i = 0; i < 1001; ++i) runner.with_expr(expr(cat("(f a", i, ")")));
  runner.run(Rules{rule("f-to-g", "(f ?x)", "(g ?x)")});
  EXPECT_EQ(stop_text(runner), "Saturated");
  ASSERT_EQ(runner.iterations().size(), 3u);
  EXPECT_TRUE(runner.iterations()[0].applied_counts.empty());
  EXPECT_EQ(runner.iterations()[1].applied_counts[0].second, 1001u);
  EXPECT_EQ(runner.egraph().lookup(Node("g", {0})), runner.egraph().find(runner.roots()[0]));
}

/// A searcher that counts the searches that reach it.
class CountedSearcher final : public Searcher<Node> {
 public:
  explicit CountedSearcher(std::string_view text) : pattern_(*Pattern<Node>::from_str(text)) {}
  std::optional<SearchMatches<Node>> search_eclass_with_limit(const Graph& g, Id eclass,
                                                              std::size_t limit) const override {
    return pattern_.search_eclass_with_limit(g, eclass, limit);
  }
  std::vector<SearchMatches<Node>> search_with_limit(const Graph& g,
                                                     std::size_t limit) const override {
    ++searches;
    return pattern_.search_with_limit(g, limit);
  }
  std::vector<Var> vars() const override { return pattern_.vars(); }
  mutable std::size_t searches = 0;

 private:
  Pattern<Node> pattern_;
};

// A rule whose program first binds a kind that no class holds is not searched, and leaves each
// phase as a search would: a run ends with the stats, records and store of the same rules behind
// searchers without a program, which always search.
TEST(Runner, RulesWhoseFirstKindNoClassHoldsRunAsIfSearched) {
  struct Case {
    const char* name;
    std::vector<std::array<const char*, 3>> rules;
    const char* start;
  };
  const Case cases[] = {
      {"kinds that appear in later iterations",
       {{"f-to-g", "(f ?x)", "(g ?x)"},
        {"g-to-h", "(g ?x)", "(h ?x ?x)"},
        {"h-to-k", "(h ?x ?x)", "(k ?x)"}},
       "(f a)"},
      {"a kind that never appears, between twins",
       {{"comm", "(+ ?x ?y)", "(+ ?y ?x)"},
        {"q-drop", "(q ?x)", "?x"},
        {"comm-rev", "(+ ?y ?x)", "(+ ?x ?y)"}},
       "(+ a b)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rules compiled, searching;
    for (const auto& [name, lhs, rhs] : c.rules) {
      compiled.push_back(rule(name, lhs, rhs));
      searching.push_back(*Rewrite<Node>::make(
          name, std::make_shared<CountedSearcher>(lhs),
          std::make_shared<const Pattern<Node>>(*Pattern<Node>::from_str(rhs))));
    }
    const RunOutcome searched = run_observed(searching, nullptr, c.start, 6);
    const RulePairing<Node> pairing(compiled);
    for (const RulePairing<Node>* p : {static_cast<const RulePairing<Node>*>(nullptr), &pairing})
      EXPECT_EQ(run_observed(compiled, p, c.start, 6), searched);
  }
}

// Appending into a list kept from earlier searches leaves what it holds and adds exactly what a
// search of its own returns, for a compiled pattern and for a searcher with only the plain search.
TEST(Searcher, SearchIntoAppendsWhatASearchReturns) {
  Graph g;
  for (int i = 0; i < 5; ++i) add(g, cat("(f a", i, " b", i % 2, ")"));
  g.rebuild();
  const Pattern<Node> pattern = *Pattern<Node>::from_str("(f ?x ?y)");
  const CountedSearcher plain("(f ?x ?y)");
  auto rows = [](const std::vector<SearchMatches<Node>>& found, std::size_t from) {
    std::vector<std::pair<Id, std::vector<Subst>>> out;
    for (std::size_t k = from; k < found.size(); ++k)
      out.emplace_back(found[k].eclass,
                       std::vector<Subst>(found[k].substs.begin(), found[k].substs.end()));
    return out;
  };
  for (const Searcher<Node>* searcher :
       {static_cast<const Searcher<Node>*>(&pattern), static_cast<const Searcher<Node>*>(&plain)}) {
    for (std::size_t limit : {kNoLimit, std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
      SCOPED_TRACE(limit);
      std::vector<SearchMatches<Node>> kept = searcher->search(g);
      const std::size_t held = kept.size();
      searcher->search_into(g, limit, kept);
      EXPECT_EQ(rows(kept, held), rows(searcher->search_with_limit(g, limit), 0));
      EXPECT_EQ(
          rows(std::vector(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(held)), 0),
          rows(searcher->search(g), 0));
    }
  }
}

// A rule whose matches all went in without changing the store, which has not changed since, is
// not searched again: it would find the same matches and they would change nothing. Anything
// else searches it, and so does a run whose debug log reports every search's matches.
TEST(BackoffScheduler, SearchesARuleAgainOnlyWhenItsMatchesMayChangeSomething) {
  enum Between { kNothing, kAddNode, kMerge, kOtherGraph, kDebugLog };
  struct Case {
    const char* name;
    const char* lhs;
    bool apply;  // the first search's matches go to apply_rewrite
    Between between;
    std::size_t searches;  // that reach the searcher, of two
    std::size_t second;    // matches the second search returns
  };
  const Case cases[] = {
      {"applied, unchanged", "(f ?x)", true, kNothing, 1, 0},
      {"not applied, unchanged", "(f ?x)", false, kNothing, 2, 2},
      {"no matches, unchanged", "(q ?x)", false, kNothing, 1, 0},
      {"applied, a node added", "(f ?x)", true, kAddNode, 2, 2},
      {"applied, two classes merged", "(f ?x)", true, kMerge, 2, 2},
      {"applied, another store", "(f ?x)", true, kOtherGraph, 2, 2},
      {"applied, unchanged, debug log wanted", "(f ?x)", true, kDebugLog, 2, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph g, other;
    for (Graph* graph : {&g, &other}) {
      add(*graph, "(f a)");
      add(*graph, "(f b)");
      add(*graph, "(g a)");
      add(*graph, "(g b)");
      graph->rebuild();
    }
    auto searcher = std::make_shared<CountedSearcher>(c.lhs);
    auto made = Rewrite<Node>::make("r", searcher,
                                    std::make_shared<const Pattern<Node>>(*Pattern<Node>::from_str(
                                        c.lhs[1] == 'f' ? "(g ?x)" : "?x")));
    ASSERT_TRUE(made.has_value());
    // The rule's instances are merged already, so applying it changes nothing.
    add(g, "(h a)");
    g.union_(add(g, "(f a)"), add(g, "(g a)"));
    g.union_(add(g, "(f b)"), add(g, "(g b)"));
    g.rebuild();
    other.union_(add(other, "(f a)"), add(other, "(g a)"));
    other.union_(add(other, "(f b)"), add(other, "(g b)"));
    other.rebuild();
    BackoffScheduler<Node> scheduler;
    auto first = scheduler.search_rewrite(0, g, *made);
    if (c.apply) {
      EXPECT_EQ(scheduler.apply_rewrite(0, g, *made, first), 0u);
    }
    if (c.between == kAddNode) add(g, "(k a)");
    if (c.between == kMerge) g.union_(add(g, "a"), add(g, "(h a)"));
    g.rebuild();
    Graph& second_graph = c.between == kOtherGraph ? other : g;
    const LogSink debug{LogLevel::Debug, [](void*, LogLevel, std::string_view) {}, nullptr};
    const LogSink* before = set_log_sink(c.between == kDebugLog ? &debug : nullptr);
    EXPECT_EQ(total(scheduler.search_rewrite(1, second_graph, *made)), c.second);
    set_log_sink(before);
    EXPECT_EQ(searcher->searches, c.searches);
    EXPECT_EQ(scheduler.stats()[0].second.search_count, 2u);
  }
}

TEST(Runner, SearchRequiresAFreshRunnerEachTime) {
  Runner<Node> runner;
  runner.with_expr(expr("a")).run(Rules{});
  EXPECT_EQ(stop_text(runner), "Saturated");
  EXPECT_EQ(fault_of([&] { runner.run(Rules{}); }), "assertion failed: self.stop_reason.is_none()");
}

}  // namespace
}  // namespace tarvelon::egraph

namespace tarvelon::egraph {
namespace {

TEST(Runner, CommutativityAndAssociativityCloseASumOverAllSplits) {
  // With four summands, every non-empty subset is one class, and a subset of k elements holds
  // one node per ordered split into two non-empty parts: 4 leaves + 6*2 + 4*6 + 1*14 nodes.
  Runner<testing::Node> runner;
  runner.with_expr(testing::expr("(+ (+ (+ a b) c) d)"));
  runner.run(std::vector<Rewrite<testing::Node>>{
      testing::rule("comm", "(+ ?a ?b)", "(+ ?b ?a)"),
      testing::rule("assoc", "(+ (+ ?a ?b) ?c)", "(+ ?a (+ ?b ?c))"),
      testing::rule("assoc-rev", "(+ ?a (+ ?b ?c))", "(+ (+ ?a ?b) ?c)")});
  EXPECT_EQ(to_string(*runner.stop_reason()), "Saturated");
  std::size_t nodes = 0;
  for (const auto& c : runner.egraph().classes()) nodes += c.nodes.size();
  EXPECT_EQ(runner.egraph().class_count(), 15u);
  EXPECT_EQ(nodes, 54u);
  const auto& g = runner.egraph();
  auto id_of = [&](const char* leaf) { return *g.lookup(testing::Node(leaf, {})); };
  Id db = *g.lookup(testing::Node("+", {id_of("d"), id_of("b")}));
  Id ca = *g.lookup(testing::Node("+", {id_of("c"), id_of("a")}));
  EXPECT_EQ(g.lookup(testing::Node("+", {db, ca})), g.find(runner.roots()[0]));
}

}  // namespace
}  // namespace tarvelon::egraph
