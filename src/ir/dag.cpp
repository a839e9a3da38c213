#include "ir/dag.h"

namespace tarvelon::ir {

using vocab::DType;

std::string TypedDagError::to_string() const {
  if (kind == Kind::LengthMismatch) return "TypedDag.nodes and dtypes length mismatch";
  return "output node id " + std::to_string(id) + " out of range (nodes len " +
         std::to_string(len) + ")";
}

std::expected<TypedDag, TypedDagError> TypedDag::try_new(std::vector<Node> nodes,
                                                         std::vector<DType> dtypes,
                                                         std::vector<Param> params,
                                                         std::vector<NodeId> outputs) {
  if (nodes.size() != dtypes.size()) return std::unexpected(TypedDagError{});
  for (NodeId id : outputs) {
    if (id >= nodes.size()) {
      return std::unexpected(
          TypedDagError{TypedDagError::Kind::OutputOutOfRange, id, nodes.size()});
    }
  }
  return TypedDag{std::move(nodes), std::move(dtypes), std::move(params), std::move(outputs)};
}

}  // namespace tarvelon::ir
