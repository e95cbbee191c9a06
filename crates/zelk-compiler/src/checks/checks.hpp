// The built-in checks: the encoder block compiled end to end and evaluated on
// the host, and the table that hands them to the runner.
#pragma once

#include <span>

#include "checks/runner.hpp"

namespace zelk_compiler::tests {

// The default encoder block compiles to equal schedules twice, with 15
// operations, at least as many phases and every tile's peak inside the data
// window.
void encoder_graph_compiles_deterministically();

// The reference encoder block on a fixed small input gives the same finite
// values twice, summing to the checksum of the reference arithmetic.
void encoder_reference_is_finite_and_repeatable();

// No two allocations of one tile that are live at the same time share a byte.
void live_allocations_do_not_overlap();

// The three checks above, in the order the runner reports them.
[[nodiscard]] std::span<const checks::Check> check_table();

}  // namespace zelk_compiler::tests
