// An independent checker of compiled schedules: re-derives every invariant of
// a successful compile from the graph and the options alone.
#pragma once

#include <string>
#include <vector>

#include "zelk_compiler/compiler.hpp"

namespace zelk_compiler::test_support {

// Every violated invariant, one line each; empty when the schedule is sound.
// Checks layouts, the phase structure, transfers, kernel commands, lifetimes,
// placement (inside the window, aligned unless at the window's start,
// disjoint while live, first fit) and the peak map.
[[nodiscard]] std::vector<std::string> check_schedule(const Graph& graph,
                                                      const CompilerOptions& options,
                                                      const Schedule& schedule);

}  // namespace zelk_compiler::test_support
