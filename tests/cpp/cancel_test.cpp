#include "support/cancel.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <string>

#include "api/pipeline.h"
#include "backend/python.h"
#include "egraph/extract.h"
#include "egraph/flat_map.h"
#include "egraph/hash.h"
#include "egraph/runner.h"
#include "ir/lower.h"
#include "opt/const_fold.h"
#include "opt/driver.h"
#include "opt/restore.h"
#include "opt/rules/rules.h"
#include "opt/strip.h"
#include "parse/parser.h"
#include "render/render.h"
#include "support/stack_guard.h"

namespace tarvelon {
namespace {

/// A hook that counts how often it is asked and says stop at the `stop_at`-th question (never
/// when 0).
struct Countdown {
  std::size_t asked = 0;
  std::size_t stop_at = 0;

  static bool ask(void* self) {
    auto* c = static_cast<Countdown*>(self);
    return ++c->asked == c->stop_at;
  }
};

/// A kernel of `lines` assignments, each using the one before, with constants to fold.
std::string chain_kernel(std::size_t lines) {
  std::string s = "|x: f64, n: i32|\nt0 = x\n";
  for (std::size_t i = 1; i <= lines; ++i) {
    const std::string prev = "t" + std::to_string(i - 1);
    s += "t" + std::to_string(i) + " = " + prev + " * (2 + 3) + x / " + std::to_string(i % 7 + 1) +
         ".5 - n@f64 ** 1\n";
  }
  return s + "t" + std::to_string(lines) + "\n";
}

ir::TypedDag lowered(const std::string& source) {
  auto f = parse::parse_dsl_with_errors(source);
  return ir::lower_with_config_collect(*f, diag::DiagConfig{}, ir::Keep::Errors).dag;
}

egraph::RecExpr<opt::MathLang> extracted(const opt::StrippedExpr& s) {
  egraph::Runner<opt::MathLang> runner;
  runner.with_iter_limit(opt::OptConfig{}.max_iterations)
      .with_node_limit(opt::OptConfig{}.max_nodes);
  std::vector<egraph::Id> entries = runner.egraph().add_expr_entries(s.expr);
  runner.with_root(entries[s.root]);
  runner.run(opt::rules::all_rules(opt::OptConfig{}));
  egraph::Extractor<opt::MathLang, opt::OptCost> extractor(runner.egraph(), opt::OptCost{});
  return extractor.find_best(runner.roots().front()).second;
}

struct Stage {
  const char* name;
  /// Runs the stage and describes its result, so that a run after a cancelled one can be
  /// compared with an undisturbed one.
  std::function<std::string()> run;
};

TEST(Cancel, EveryStageStopsAtAnyPollAndRunsNormallyAfterwards) {
  const std::string big = chain_kernel(20000);
  const std::string small = chain_kernel(2000);
  const ir::TypedDag dag = lowered(big);
  const auto stripped = opt::strip_types(opt::const_fold(dag).dag);
  ASSERT_TRUE(stripped.has_value());
  const auto term = extracted(*stripped);
  const auto count = [](std::size_t n) { return std::to_string(n); };

  const Stage stages[] = {
      {"parse", [&] { return count(parse::parse_dsl_with_errors(big)->arena.value_nodes); }},
      {"lower", [&] { return count(lowered(big).nodes.size()); }},
      {"const_fold", [&] { return count(opt::const_fold(dag).dag.nodes.size()); }},
      {"strip", [&] { return count(opt::strip_types(dag)->expr.size()); }},
      {"saturate and extract", [&] { return count(extracted(*stripped).size()); }},
      {"restore",
       [&] {
         return count(
             opt::restore_types_with_info(term, stripped->types, dag.params)->dag.nodes.size());
       }},
      {"emit", [&] { return backend::PythonBackend{}.emit_kernel(dag, "k"); }},
      {"render", [&] { return *render::render_simplified_expr(dag, dag.outputs[0], true); }},
      {"emit, optimized",
       [&] {
         auto d = api::lowered_dag(small, true);
         return backend::PythonBackend{}.emit_kernel(*d, "k");
       }},
      {"simplify, optimized", [&] { return *api::simplify_expr(small, true); }},
  };
  for (const Stage& stage : stages) {
    SCOPED_TRACE(stage.name);
    const std::string expected = stage.run();
    Countdown counting;
    {
      support::CancelScope scope(&Countdown::ask, &counting);
      EXPECT_EQ(stage.run(), expected);
    }
    // Each stage polls often enough that a big input asks the hook several times.
    ASSERT_GE(counting.asked, 2u);
    for (std::size_t k : {std::size_t{1}, counting.asked / 2, counting.asked}) {
      Countdown stopping{0, k};
      {
        support::CancelScope scope(&Countdown::ask, &stopping);
        EXPECT_THROW(stage.run(), support::Cancelled) << "stopping at question " << k;
      }
      EXPECT_EQ(stopping.asked, k);
      EXPECT_EQ(stage.run(), expected);
    }
  }
}

TEST(Cancel, ScopesNestAndAThreadWithoutOneIsNeverStopped) {
  Countdown outer{0, 1};
  Countdown inner{0, 0};
  const std::string source = chain_kernel(2000);
  {
    support::CancelScope a(&Countdown::ask, &outer);
    {
      support::CancelScope b(&Countdown::ask, &inner);
      EXPECT_TRUE(api::simplify_expr(source, false).has_value());
    }
    EXPECT_THROW((void)api::simplify_expr(source, false), support::Cancelled);
  }
  EXPECT_GT(inner.asked, 0u);
  EXPECT_TRUE(api::simplify_expr(source, false).has_value());
}

std::size_t guarded_depth(std::size_t n) {
  support::poll_cancel();
  if (n == 0) return 0;
  return support::with_stack_guard([&] { return guarded_depth(n - 1) + 1; });
}

TEST(Cancel, AStopUnwindsAcrossFreshStackSegmentsAndLeavesTheGuardWorking) {
  // The second stop comes a million calls deep: past the thread's own stack with any
  // compiler's frame size, so the unwinding crosses fresh segments.
  constexpr std::size_t kDepth = 200'000;
  const std::size_t segments_before = support::fresh_segments_used();
  for (std::size_t k : {std::size_t{1}, std::size_t{250}}) {
    Countdown stopping{0, k};
    support::CancelScope scope(&Countdown::ask, &stopping);
    EXPECT_THROW((void)guarded_depth(kDepth * k), support::Cancelled);
  }
  EXPECT_GT(support::fresh_segments_used(), segments_before);
  EXPECT_EQ(guarded_depth(kDepth), kDepth);
}

TEST(Cancel, DeepNestingStopsAndCompilesAgain) {
  const std::string deep =
      "|x: f64| " + std::string(1'000'000, '(') + "-x" + std::string(1'000'000, ')');
  const auto expected = api::simplify_expr(deep, true);
  ASSERT_TRUE(expected.has_value());
  for (std::size_t k : {std::size_t{1}, std::size_t{100}}) {
    Countdown stopping{0, k};
    support::CancelScope scope(&Countdown::ask, &stopping);
    EXPECT_THROW((void)api::simplify_expr(deep, true), support::Cancelled);
  }
  EXPECT_EQ(api::simplify_expr(deep, true), expected);
}

TEST(Cancel, AHashTableStoppedWhileGrowingKeepsEveryEntry) {
  using Map = egraph::FlatHashMap<egraph::Id, egraph::Id, egraph::IdHash>;
  constexpr egraph::Id kEntries = 1'000'000;
  for (std::size_t stop_at : {1u, 3u, 20u}) {
    SCOPED_TRACE(stop_at);
    Map map;
    egraph::Id inserted = 0;
    Countdown stop{0, stop_at};
    {
      support::CancelScope scope(&Countdown::ask, &stop);
      EXPECT_THROW(for (; inserted < kEntries; ++inserted) map.try_emplace(inserted, inserted + 1),
                   support::Cancelled);
    }
    ASSERT_EQ(map.size(), inserted);
    for (egraph::Id k = 0; k < inserted; ++k) ASSERT_EQ(*map.find(k), k + 1);
    for (egraph::Id k = inserted; k < kEntries; ++k) map.try_emplace(k, k + 1);
    EXPECT_EQ(map.size(), kEntries);
    EXPECT_EQ(*map.find(kEntries - 1), kEntries);
  }
}

}  // namespace
}  // namespace tarvelon
