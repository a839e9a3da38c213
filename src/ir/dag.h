#pragma once

#include <expected>
#include <string>
#include <utility>
#include <vector>

#include "ir/node.h"
#include "vocab/dtype.h"

namespace tarvelon::ir {

struct TypedDagError {
  enum class Kind { LengthMismatch, OutputOutOfRange };
  Kind kind = Kind::LengthMismatch;
  NodeId id = 0;        // OutputOutOfRange only
  std::size_t len = 0;  // OutputOutOfRange only

  /// "TypedDag.nodes and dtypes length mismatch" or
  /// "output node id {id} out of range (nodes len {len})".
  std::string to_string() const;
  friend bool operator==(const TypedDagError&, const TypedDagError&) = default;
};

struct Param {
  std::string name;
  vocab::DType dtype;
  friend bool operator==(const Param&, const Param&) = default;
};

/// The lowered program: a flat, append-only node array with one dtype per node. Operands of a
/// node from lowering always have smaller ids than the node.
struct TypedDag {
  std::vector<Node> nodes;
  std::vector<vocab::DType> dtypes;
  std::vector<Param> params;
  std::vector<NodeId> outputs;

  /// Validates lengths and output ids; operand ids and parameter indices are the producer's
  /// guarantee and are not checked.
  static std::expected<TypedDag, TypedDagError> try_new(std::vector<Node> nodes,
                                                        std::vector<vocab::DType> dtypes,
                                                        std::vector<Param> params,
                                                        std::vector<NodeId> outputs);
};

}  // namespace tarvelon::ir
