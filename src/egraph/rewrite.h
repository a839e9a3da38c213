#pragma once

#include <algorithm>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/pattern.h"
#include "egraph/symbol.h"

namespace tarvelon::egraph {

/// A named rule: every match of the searcher is merged with the applier's instance.
template <Language L>
class Rewrite {
 public:
  /// Fails with "Rewrite <name> refers to unbound var <var>" when the applier uses a variable
  /// the searcher does not bind.
  static std::expected<Rewrite, std::string> make(std::string_view name,
                                                  std::shared_ptr<const Searcher<L>> searcher,
                                                  std::shared_ptr<const Applier<L>> applier) {
    GlobalSymbol symbol(name);
    std::vector<Var> bound = searcher->vars();
    for (const Var& var : applier->vars()) {
      if (std::find(bound.begin(), bound.end(), var) == bound.end()) {
        return std::unexpected(cat("Rewrite ", symbol, " refers to unbound var ", var));
      }
    }
    return Rewrite(symbol, std::move(searcher), std::move(applier));
  }

  /// A rule whose searcher and applier are patterns read from text; a text that does not read
  /// is reported as "<name>: <reason>".
  static std::expected<Rewrite, std::string> from_patterns(std::string_view name,
                                                           std::string_view searcher,
                                                           std::string_view applier) {
    auto lhs = Pattern<L>::from_str(searcher);
    if (!lhs) return std::unexpected(cat(name, ": ", to_string(lhs.error())));
    auto rhs = Pattern<L>::from_str(applier);
    if (!rhs) return std::unexpected(cat(name, ": ", to_string(rhs.error())));
    return make(name, std::make_shared<const Pattern<L>>(std::move(*lhs)),
                std::make_shared<const Pattern<L>>(std::move(*rhs)));
  }

  GlobalSymbol name() const { return name_; }
  const Searcher<L>& searcher() const { return *searcher_; }
  const Applier<L>& applier() const { return *applier_; }

  std::vector<SearchMatches<L>> search_with_limit(const EGraph<L>& egraph,
                                                  std::size_t limit) const {
    return searcher_->search_with_limit(egraph, limit);
  }
  /// Appends the matches `search_with_limit` returns to `out`.
  void search_into(const EGraph<L>& egraph, std::size_t limit,
                   std::vector<SearchMatches<L>>& out) const {
    searcher_->search_into(egraph, limit, out);
  }
  std::size_t count_with_limit(const EGraph<L>& egraph, std::size_t limit) const {
    return searcher_->count_with_limit(egraph, limit);
  }
  std::vector<SearchMatches<L>> search(const EGraph<L>& egraph) const {
    return searcher_->search(egraph);
  }

  /// Applies `matches`; returns the ids whose merge changed something.
  std::vector<Id> apply(EGraph<L>& egraph, const std::vector<SearchMatches<L>>& matches) const {
    return applier_->apply_matches(egraph, matches, name_);
  }
  /// `apply(...).size()`, without listing the ids.
  std::size_t apply_count(EGraph<L>& egraph, const std::vector<SearchMatches<L>>& matches) const {
    return applier_->apply_matches_count(egraph, matches, name_);
  }

 private:
  Rewrite(GlobalSymbol name, std::shared_ptr<const Searcher<L>> searcher,
          std::shared_ptr<const Applier<L>> applier)
      : name_(name), searcher_(std::move(searcher)), applier_(std::move(applier)) {}

  GlobalSymbol name_;
  std::shared_ptr<const Searcher<L>> searcher_;
  std::shared_ptr<const Applier<L>> applier_;
};

/// Whether no two of `rules` share a name. Rule sets are built with distinct names: sorted
/// handles show that in one pass.
template <Language L>
bool names_are_distinct(std::span<const Rewrite<L>> rules) {
  std::vector<std::uint32_t> handles;
  handles.reserve(rules.size());
  for (const Rewrite<L>& rule : rules) handles.push_back(rule.name().handle());
  std::sort(handles.begin(), handles.end());
  return std::adjacent_find(handles.begin(), handles.end()) == handles.end();
}

}  // namespace tarvelon::egraph
