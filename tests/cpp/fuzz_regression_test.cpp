#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "properties.h"

namespace tarvelon::fuzz {
namespace {

struct Regression {
  std::string target;
  std::string input;
  std::size_t line = 0;
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/// The text between the quotes of `quoted` with its escapes resolved, or nothing when malformed.
std::optional<std::string> unquote(std::string_view quoted) {
  if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') return std::nullopt;
  quoted = quoted.substr(1, quoted.size() - 2);
  std::string out;
  for (std::size_t i = 0; i < quoted.size(); ++i) {
    if (quoted[i] != '\\') {
      out += quoted[i];
      continue;
    }
    if (++i == quoted.size()) return std::nullopt;
    switch (quoted[i]) {
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case '\\':
        out += '\\';
        break;
      case '"':
        out += '"';
        break;
      case 'x': {
        if (i + 2 >= quoted.size()) return std::nullopt;
        int hi = hex_digit(quoted[i + 1]), lo = hex_digit(quoted[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return out;
}

std::vector<Regression> read_regressions() {
  std::ifstream file(TARVELON_FUZZ_REGRESSIONS);
  EXPECT_TRUE(file.good()) << "cannot read " << TARVELON_FUZZ_REGRESSIONS;
  std::vector<Regression> out;
  std::string line;
  for (std::size_t number = 1; std::getline(file, line); ++number) {
    if (line.empty() || line.front() == '#') continue;
    std::size_t space = line.find(' ');
    auto input = space == std::string::npos ? std::nullopt
                                            : unquote(std::string_view(line).substr(space + 1));
    if (!input) {
      ADD_FAILURE() << "malformed line " << number << ": " << line;
      continue;
    }
    out.push_back({line.substr(0, space), std::move(*input), number});
  }
  return out;
}

TEST(FuzzRegressions, EveryPastFindingPassesItsTargetsChecks) {
  const std::map<std::string, std::function<Violation(std::string_view)>> checks = {
      {"kernel", check_kernel},
      {"pattern", check_pattern},
      {"simplify", check_simplify},
  };
  auto regressions = read_regressions();
  EXPECT_FALSE(regressions.empty());
  for (const Regression& r : regressions) {
    auto check = checks.find(r.target);
    if (check == checks.end()) {
      ADD_FAILURE() << "line " << r.line << ": unknown target " << r.target;
      continue;
    }
    EXPECT_EQ(check->second(r.input), std::nullopt) << "line " << r.line;
  }
}

TEST(FuzzRegressions, EscapesReadBack) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {R"("a\nb\t\\\"")", std::string("a\nb\t\\\"")},
      {R"("\x00\xfF")", std::string("\0\xff", 2)},
      {R"("\x4")", std::nullopt},
      {R"("\q")", std::nullopt},
      {R"("open)", std::nullopt},
  };
  for (const auto& [quoted, text] : cases) EXPECT_EQ(unquote(quoted), text) << quoted;
}

}  // namespace
}  // namespace tarvelon::fuzz
