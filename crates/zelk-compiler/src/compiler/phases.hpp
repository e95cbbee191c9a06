// The schedule up to memory planning, shared by compile and the fit
// diagnosis.
#pragma once

#include "zelk_compiler/compiler.hpp"

namespace zelk_compiler::detail {

// Validates the graph and the options, lays out every tensor and emits the
// phases: a schedule without allocations and peaks.
[[nodiscard]] Result<Schedule> schedule_phases(const Graph& graph, const CompilerOptions& options);

}  // namespace zelk_compiler::detail
