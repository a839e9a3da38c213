#include "api/pipeline.h"

#include <gtest/gtest.h>

namespace tarvelon::api {
namespace {

TEST(ApiError, DisplayTexts) {
  const std::pair<ApiError, const char*> cases[] = {
      {ApiError::parse("syntax error: missing function body"),
       "parse failed: syntax error: missing function body"},
      {ApiError::lower("undefined variable `a`; undefined variable `b`"),
       "lowering failed: undefined variable `a`; undefined variable `b`"},
      {ApiError::optimize("rule failed"), "optimization failed: rule failed"},
      {ApiError::output_count(3), "expected a single output expression, got 3"},
      {ApiError::parse(""), "parse failed: "},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(error.to_string(), text);
}

}  // namespace
}  // namespace tarvelon::api
