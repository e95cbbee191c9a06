// An independent checker of compiled schedules: re-derives every invariant of
// a successful compile from the graph and the options alone.
#pragma once

#include <string>
#include <vector>

#include "zelk_compiler/compiler.hpp"

namespace zelk_compiler::test_support {

// What a buffer's address must be beyond lying inside the window, aligned
// unless at the window's start, and apart from every buffer live with it.
enum class AddressRule {
  Lowest,  // no lower such address was free when it was placed (first fit)
  Any,     // nothing more (any planning strategy)
};

// Every violated invariant, one line each; empty when the schedule is sound.
// Checks layouts, the phase structure, transfers, kernel commands, lifetimes,
// placement (inside the window, aligned unless at the window's start,
// disjoint while live, and as `rule` says) and the peak map.
[[nodiscard]] std::vector<std::string> check_schedule(const Graph& graph,
                                                      const CompilerOptions& options,
                                                      const Schedule& schedule,
                                                      AddressRule rule = AddressRule::Lowest);

}  // namespace zelk_compiler::test_support
