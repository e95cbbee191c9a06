// Operand order: every operation reads only tensors that are sources or that
// an earlier operation computes. `validate` does not ask it of a graph;
// `compile`, `diagnose_fit` and `evaluate` do, since they run operations in
// list order and a graph assembled from raw records may read a result before
// it exists (or its own).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "zelk_compiler/graph.hpp"

namespace zelk_compiler::detail {

// Per tensor, the position of the operation that computes it, if any.
// `validate` makes sure that no tensor has two.
[[nodiscard]] std::vector<std::optional<std::uint64_t>> tensor_writers(const Graph& graph);

// Fails with "operand computed after op " + name when `op`, at `position` in
// the list, reads a tensor that it or a later operation computes.
[[nodiscard]] Result<void> check_operand_order(
    const Op& op, std::uint64_t position, const std::vector<std::optional<std::uint64_t>>& writer);

// `validate`, then the operand order of every operation in list order.
[[nodiscard]] Result<void> validate_in_order(const Graph& graph);

}  // namespace zelk_compiler::detail
