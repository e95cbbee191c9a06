// The fit diagnosis as text: a table of the tile groups and, for a graph that
// does not fit, where it holds the most bytes, what is live there and
// whether a better placement could help.
#pragma once

#include <iosfwd>
#include <string>

#include <zelk_compiler/fit.hpp>
#include <zelk_compiler/graph.hpp>

namespace zelkc {

// "first-fit" or "best", as --planner spells them.
[[nodiscard]] std::string planner_name(zelk_compiler::PlacementStrategy strategy);

// The table of tile groups, the verdict and, when the graph does not fit,
// the busiest phase with its live buffers, largest first (the first
// `live_rows` of them).
void write_fit(std::ostream& out, const zelk_compiler::Graph& graph,
               const zelk_compiler::FitDiagnosis& diagnosis, std::size_t live_rows = 12);

// The three lines that say most about a graph that does not fit, each
// indented and ending in a newline: where and by how much, what is live
// there, and whether a better placement can help. Empty when it fits.
[[nodiscard]] std::string misfit_lines(const zelk_compiler::Graph& graph,
                                       const zelk_compiler::FitDiagnosis& diagnosis);

}  // namespace zelkc
