#pragma once

#include <cstdint>

namespace tarvelon::egraph {

/// Names one union-find set. Ids are dense and handed out in order 0, 1, 2, ...; each is created
/// together with exactly one e-node.
using Id = std::uint32_t;

}  // namespace tarvelon::egraph
