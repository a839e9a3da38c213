#include "diag/diag.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarvelon::diag {
namespace {

TEST(Diag, MakeFillsTheDefaultHintOnlyWhenAbsent) {
  const Diag d = Diag::make(DiagKind::IntOutOfRange, "m", Span{1, 2});
  EXPECT_EQ(d.hint,
            "adjust the literal value or choose a wider integer dtype that can represent it");
  EXPECT_EQ(d.span, (Span{1, 2}));
  EXPECT_FALSE(d.labels.has_value());
  EXPECT_EQ(Diag::make(DiagKind::IntOutOfRange, "m", std::nullopt, "own").hint, "own");
}

TEST(Diag, CatalogueKeepsNumbersSeveritiesAndHints) {
  EXPECT_EQ(static_cast<int>(DiagKind::IntImaginary), 0);
  EXPECT_EQ(static_cast<int>(DiagKind::TupleInScalarPosition), 11);
  EXPECT_EQ(static_cast<int>(DiagKind::Shadowing), 18);
  EXPECT_EQ(kind_name(DiagKind::RestorePromotion), "RestorePromotion");
  EXPECT_EQ(default_severity(DiagKind::RestorePromotion), Severity::Allow);
  EXPECT_EQ(default_severity(DiagKind::ImplicitPromotion), Severity::Note);
  EXPECT_EQ(default_hint(DiagKind::UnsafeUintToSint),
            "avoid mixing `u64` with signed ints, or cast to a wider float/complex dtype if large "
            "values are expected");
}

TEST(DiagConfig, SeverityPolicy) {
  struct Case {
    DiagKind kind;
    std::vector<std::pair<DiagKind, Severity>> overrides;
    bool warnings_as_errors;
    Severity expected;
  };
  const Case cases[] = {
      {DiagKind::Syntax, {{DiagKind::Syntax, Severity::Allow}}, true, Severity::Fatal},
      {DiagKind::UnknownDtype, {}, false, Severity::Fatal},
      {DiagKind::ImplicitPromotion, {}, false, Severity::Note},
      {DiagKind::ImplicitPromotion, {}, true, Severity::Note},
      {DiagKind::FloatPrecisionLoss, {}, false, Severity::Warning},
      {DiagKind::FloatPrecisionLoss, {}, true, Severity::Error},
      {DiagKind::RestorePromotion, {}, true, Severity::Allow},
      {DiagKind::RestorePromotion,
       {{DiagKind::RestorePromotion, Severity::Warning}},
       true,
       Severity::Error},
      {DiagKind::UseBeforeDeclaration, {}, false, Severity::Error},
      {DiagKind::Shadowing, {{DiagKind::Shadowing, Severity::Fatal}}, true, Severity::Fatal},
      {DiagKind::TypeMismatch, {{DiagKind::TypeMismatch, Severity::Allow}}, false, Severity::Allow},
  };
  for (const auto& c : cases) {
    DiagConfig config;
    config.warnings_as_errors = c.warnings_as_errors;
    for (const auto& [k, s] : c.overrides) config.overrides[k] = s;
    EXPECT_EQ(config.severity(c.kind), c.expected) << kind_name(c.kind);
  }
}

TEST(FormatDiags, JoinsMessagesWithSemicolons) {
  const std::vector<Diag> none;
  EXPECT_EQ(format_diags(none), "");
  const std::vector<Diag> two = {Diag::make(DiagKind::UndefinedVariable, "undefined variable `a`"),
                                 Diag::make(DiagKind::UndefinedVariable, "undefined variable `b`")};
  EXPECT_EQ(format_diags(std::span(two).first(1)), "undefined variable `a`");
  EXPECT_EQ(format_diags(two), "undefined variable `a`; undefined variable `b`");
}

}  // namespace
}  // namespace tarvelon::diag
