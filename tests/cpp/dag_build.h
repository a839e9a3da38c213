// Builds typed DAGs node by node, so stages after lowering can be tested on exact inputs.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ir/dag.h"

namespace tarvelon::testing {

/// `add` appends a node with its dtype and returns its id; the DAG is not validated.
struct DagBuilder {
  ir::TypedDag dag;
  DagBuilder& param(std::string name, vocab::DType d) {
    dag.params.push_back({std::move(name), d});
    return *this;
  }
  ir::NodeId add(ir::Node n, vocab::DType d) {
    dag.nodes.push_back(std::move(n));
    dag.dtypes.push_back(d);
    return static_cast<ir::NodeId>(dag.nodes.size() - 1);
  }
};

}  // namespace tarvelon::testing
