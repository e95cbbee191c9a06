// The fit diagnosis as text: a table of the tile groups and, for a graph that
// does not fit, where it holds the most bytes, what is live there and
// whether a better placement could help.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>

#include <zelk_compiler/fit.hpp>
#include <zelk_compiler/graph.hpp>

namespace zelkc {

// "first-fit" or "best", as --planner spells them.
[[nodiscard]] std::string planner_name(zelk_compiler::PlacementStrategy strategy);

// The table of tile groups, the verdict and, when the graph does not fit,
// the busiest phase with its live buffers, largest first (the first
// `live_rows` of them). The verdict goes on to say, per planner of
// `fewest`, on how many tiles the graph fits; `tile_count` is the count
// diagnosed.
void write_fit(std::ostream& out, const zelk_compiler::Graph& graph,
               const zelk_compiler::FitDiagnosis& diagnosis,
               std::span<const zelk_compiler::FewestTiles> fewest = {},
               std::uint16_t tile_count = 0, std::size_t live_rows = 12);

// "fits on 256 tiles or more; not on 255": where the search for the fewest
// tiles ended. Without "or more" when `tile_count`, a count that does not
// fit with the same planner, lies above.
[[nodiscard]] std::string fewest_tiles_text(const zelk_compiler::FewestTiles& fewest,
                                            std::uint16_t tile_count);

// The three lines that say most about a graph that does not fit, each
// indented and ending in a newline: where and by how much, what is live
// there, and whether a better placement can help. Empty when it fits.
[[nodiscard]] std::string misfit_lines(const zelk_compiler::Graph& graph,
                                       const zelk_compiler::FitDiagnosis& diagnosis);

}  // namespace zelkc
