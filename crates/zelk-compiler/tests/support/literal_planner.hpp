// The memory planner written step for step in its plainest form: every
// candidate rescans the tile's buffers from the first. Kept as the oracle
// that the fast planner must match exactly.
#pragma once

#include <span>
#include <vector>

#include "zelk_compiler/compiler.hpp"

namespace zelk_compiler::test_support {

[[nodiscard]] Result<std::vector<Allocation>> plan_memory_literal(const Graph& graph,
                                                                  std::span<const Layout> layouts,
                                                                  std::span<const Phase> phases,
                                                                  const CompilerOptions& options);

}  // namespace zelk_compiler::test_support
