#include "egraph/recexpr.h"

namespace tarvelon::egraph {

std::string to_string(const ENodeOrVarParseError& error) {
  struct Visit {
    std::string operator()(const ENodeOrVarParseError::BadVar& e) const {
      return to_string(e.error);
    }
    std::string operator()(const ENodeOrVarParseError::UnexpectedVar& e) const {
      return "pattern variable " + debug_quote(e.op) + " cannot have children";
    }
    std::string operator()(const ENodeOrVarParseError::BadOp& e) const {
      return to_string(e.error);
    }
  };
  return std::visit(Visit{}, error.value);
}

std::string to_string(const RecExprParseError& error) {
  struct Visit {
    std::string operator()(const RecExprParseError::EmptySexp&) const {
      return "found an empty s-expression";
    }
    std::string operator()(const RecExprParseError::HeadList& e) const {
      return "found a list in the head position: " + to_string(e.list);
    }
    std::string operator()(const RecExprParseError::BadOp& e) const { return to_string(e.error); }
    std::string operator()(const RecExprParseError::BadSexp& e) const { return to_string(e.error); }
  };
  return std::visit(Visit{}, error.value);
}

}  // namespace tarvelon::egraph
