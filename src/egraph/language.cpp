#include "egraph/language.h"

namespace tarvelon::egraph {

std::string to_string(const FromOpError& error) {
  std::string out =
      "could not parse an e-node with operator " + debug_quote(error.op) + " and children [";
  append_joined(out, error.children, ", ", [](std::string& o, Id id) { append_text(o, id); });
  out += ']';
  return out;
}

}  // namespace tarvelon::egraph
