// The schedule up to memory planning, shared by compile and the fit
// diagnosis.
#pragma once

#include <stop_token>

#include "zelk_compiler/compiler.hpp"

namespace zelk_compiler::detail {

// Validates the graph and the options, lays out every tensor and emits the
// phases: a schedule without allocations and peaks. A stop requested on
// `stop` throws Stopped before the next operation.
[[nodiscard]] Result<Schedule> schedule_phases(const Graph& graph, const CompilerOptions& options,
                                               const std::stop_token& stop);

}  // namespace zelk_compiler::detail
