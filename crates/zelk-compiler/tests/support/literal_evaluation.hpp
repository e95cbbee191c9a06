// Host evaluation written out literally, element by element through
// multi-indices, as the oracle for `evaluate`: each kind's arithmetic as
// docs/operations.md states it, with none of evaluate's walks, strides,
// shared buffers or vector kernels.
#pragma once

#include <cstdint>
#include <vector>

#include "zelk_compiler/evaluate.hpp"
#include "zelk_compiler/graph.hpp"

namespace zelk_compiler::test_support {

// Every output of `graph` by name, for a graph that `evaluate` accepts with
// these values (nothing is checked here). An operation whose output has a
// 16-bit type has its float result rounded by `literal_round`.
[[nodiscard]] TensorValues literal_evaluate(const Graph& graph, const TensorValues& values);

// The value of `dtype` nearest `value` (ties to the even fraction, beyond
// the largest finite value infinity), found by scaling to a whole number of
// the type's steps and rounding that; a NaN becomes the quiet NaN of the
// same sign that keeps the top of its payload. Values of other types than
// F16 and BF16 are returned as they are.
[[nodiscard]] float literal_round(DType dtype, float value);

// The multi-index of position `flat` in a row-major `shape`.
[[nodiscard]] std::vector<std::uint64_t> unravel(std::uint64_t flat,
                                                 const std::vector<std::uint64_t>& shape);

// The position in a row-major `shape` of output index `index`, read the
// NumPy way: `shape` aligned at the last axis, its extents of 1 read at 0.
[[nodiscard]] std::uint64_t broadcast_position(const std::vector<std::uint64_t>& index,
                                               const std::vector<std::uint64_t>& shape);

}  // namespace zelk_compiler::test_support
