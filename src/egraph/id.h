#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvelon::egraph {

/// Names one union-find set. Ids are dense and handed out in order 0, 1, 2, ...; each is created
/// together with exactly one e-node.
using Id = std::uint32_t;

/// Throws the internal fault for indexing an id-addressed list of `length` entries at `index`.
[[noreturn]] void index_out_of_bounds(std::size_t length, std::size_t index);

}  // namespace tarvelon::egraph
