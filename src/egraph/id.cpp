#include "egraph/id.h"

#include <string>

#include "support/internal_fault.h"

namespace tarvelon::egraph {

void index_out_of_bounds(std::size_t length, std::size_t index) {
  support::internal_fault("index out of bounds: the len is " + std::to_string(length) +
                          " but the index is " + std::to_string(index));
}

}  // namespace tarvelon::egraph
