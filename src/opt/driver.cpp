#include "opt/driver.h"

#include <iterator>
#include <memory>

#include "egraph/runner.h"
#include "opt/const_fold.h"
#include "opt/restore.h"
#include "opt/rules/rules.h"
#include "opt/strip.h"
#include "support/releaser.h"

namespace tarvelon::opt {

namespace {

/// The cheapest equivalent of the stripped expression's output, after equality saturation.
std::expected<egraph::RecExpr<MathLang>, OptError> saturate_and_extract(
    const StrippedExpr& stripped, const OptConfig& config, OptStats* stats) {
  const rules::RuleSet& rule_set = rules::rule_set(config);
  using Runner = egraph::Runner<MathLang>;
  // A saturated e-graph of millions of classes takes a second to free: it goes to the releaser
  // thread, also when Ctrl-C unwinds past it, so the interrupt surfaces at once.
  struct ReleaseRunner {
    void operator()(Runner* r) const noexcept {
      const std::size_t parts = r->egraph().node_count();
      support::release(std::unique_ptr<Runner>(r), parts);
    }
  };
  std::unique_ptr<Runner, ReleaseRunner> owned(new Runner);
  Runner& runner = *owned;
  runner.with_iter_limit(config.max_iterations)
      .with_node_limit(config.max_nodes)
      .with_time_limit(config.max_time);
  std::vector<Id> entries = runner.egraph().add_expr_entries(stripped.expr);
  runner.with_root(entries[stripped.root]);
  // Reaching a limit is no failure: the e-graph as the run left it is extracted.
  runner.run(rule_set.rules, &rule_set.pairing);
  if (stats != nullptr) {
    *stats = {runner.iterations().size(), runner.egraph().node_count(),
              runner.egraph().class_count(), runner.stop_reason()};
  }
  if (runner.roots().empty())
    return std::unexpected(OptError::invalid_expr("runner produced no roots"));
  egraph::Extractor<MathLang, OptCost> extractor(runner.egraph(), OptCost{});
  return extractor.find_best(runner.roots().front()).second;
}

}  // namespace

std::expected<OptResult, OptError> optimize_with_info_and_config(const ir::TypedDag& dag,
                                                                 const OptConfig& config,
                                                                 OptStats* stats) {
  if (dag.outputs.size() != 1) return std::unexpected(OptError::multi_output());
  FoldResult folded = const_fold(dag);
  auto stripped = strip_types(folded.dag);
  if (!stripped) return std::unexpected(std::move(stripped.error()));
  auto best = saturate_and_extract(*stripped, config, stats);
  if (!best) return std::unexpected(std::move(best.error()));
  auto restored = restore_types_with_info(*best, stripped->types, folded.dag.params);
  if (!restored) return std::unexpected(std::move(restored.error()));
  if (config.effective_aggressive()) restored->dag = const_fold(restored->dag).dag;
  std::vector<diag::Diag> diags = std::move(folded.diags);
  diags.insert(diags.end(), std::make_move_iterator(restored->diags.begin()),
               std::make_move_iterator(restored->diags.end()));
  return OptResult{std::move(restored->dag), std::move(diags)};
}

}  // namespace tarvelon::opt
