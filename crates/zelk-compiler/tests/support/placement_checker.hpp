// An independent checker of buffer placements and a brute-force oracle for
// their optimum, sharing no code with the placement solver.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "zelk_compiler/placement.hpp"

namespace zelk_compiler::test_support {

// Every violated rule of `placement` for `buffers` under `options`, one line
// each; empty when it is sound. Checks one offset per buffer, alignment,
// that no two buffers whose lifetimes meet share a byte, the peak, the lower
// bound (worked out again at every start time), `fits` against the
// capacity, and that a placement at the bound claims to be optimal.
[[nodiscard]] std::vector<std::string> check_placement(std::span<const Buffer> buffers,
                                                       const PlacementOptions& options,
                                                       const Placement& placement);

// Offsets of the buffers served in `order`, each at the lowest offset that is
// a multiple of its alignment and free for its lifetime, the scan restarting
// from the first placed buffer after every bump.
[[nodiscard]] std::vector<std::uint64_t> first_fit_literal(std::span<const Buffer> buffers,
                                                           std::span<const std::size_t> order);

// The lowest peak of any placement, by trying every order of the buffers
// with the literal first fit. Exact: serving the
// buffers of an optimal placement in the order of their offsets, first fit
// puts each at or below its offset there. For up to eight buffers.
[[nodiscard]] std::uint64_t optimal_peak(std::span<const Buffer> buffers);

}  // namespace zelk_compiler::test_support
