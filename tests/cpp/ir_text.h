// Compact texts of lowered nodes and diagnostics, so tests compare whole results at a glance.
#pragma once

#include <string>
#include <vector>

#include "diag/diag.h"
#include "ir/dag.h"
#include "support/number_text.h"

namespace tarvelon::testing {

/// "{dtype} {operation}", operands written as %id: "f32 cast %1", "i8 const 5", "f64 %0 + %2".
inline std::string node_text(const ir::Node& n, vocab::DType dtype) {
  namespace node = ir::node;
  std::string out = std::string(dtype.to_str()) + " ";
  auto ref = [](ir::NodeId id) { return "%" + std::to_string(id); };
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, node::Param>) {
          out += "param " + std::to_string(x.index);
        } else if constexpr (std::is_same_v<T, node::Const>) {
          out += "const ";
          if (const auto* b = std::get_if<bool>(&x.value)) out += *b ? "true" : "false";
          if (const auto* i = std::get_if<std::int64_t>(&x.value)) out += std::to_string(*i) + "i";
          if (const auto* d = std::get_if<double>(&x.value)) out += support::format_double(*d);
          if (const auto* c = std::get_if<ir::ComplexValue>(&x.value)) {
            out += "(" + support::format_double(c->re) + ", " + support::format_double(c->im) + ")";
          }
        } else if constexpr (std::is_same_v<T, node::Unary>) {
          out += std::string(vocab::op_text(x.op)) + " " + ref(x.arg);
        } else if constexpr (std::is_same_v<T, node::Binary>) {
          out += ref(x.lhs) + " " + std::string(vocab::op_text(x.op)) + " " + ref(x.rhs);
        } else if constexpr (std::is_same_v<T, node::If>) {
          out += "if " + ref(x.cond) + " " + ref(x.then_branch) + " " + ref(x.else_branch);
        } else if constexpr (std::is_same_v<T, node::Call>) {
          out += std::string(vocab::builtin_name(x.builtin));
          for (ir::NodeId a : x.args) out += " " + ref(a);
        } else {
          out += (x.explicit_ ? "cast! " : "cast ") + ref(x.arg);
        }
      },
      n);
  return out;
}

inline std::vector<std::string> nodes_text(const std::vector<ir::Node>& nodes,
                                           const std::vector<vocab::DType>& dtypes) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < nodes.size(); ++i) out.push_back(node_text(nodes[i], dtypes[i]));
  return out;
}

/// "Kind [start,end) message | hint", then " | [s,e) label" per label; a hint equal to the
/// kind's default hint is written "<default>".
inline std::string diag_text(const diag::Diag& d) {
  auto span = [](diag::Span s) {
    return "[" + std::to_string(s.start) + "," + std::to_string(s.end) + ")";
  };
  std::string out = std::string(diag::kind_name(d.kind)) + " " + (d.span ? span(*d.span) : "-") +
                    " " + d.message + " | " +
                    (d.hint == diag::default_hint(d.kind) ? std::string("<default>")
                                                          : d.hint.value_or("<no hint>"));
  if (d.labels) {
    for (const auto& l : *d.labels) out += " | " + span(l.span) + " " + l.text;
  }
  return out;
}

inline std::vector<std::string> diags_text(const std::vector<diag::Diag>& diags) {
  std::vector<std::string> out;
  for (const auto& d : diags) out.push_back(diag_text(d));
  return out;
}

}  // namespace tarvelon::testing
