// The fit diagnosis as text: a table of the tile groups and, for a graph that
// does not fit, where it holds the most bytes, what is live there and
// whether a better placement could help. The command line prints it and the
// Python package's diagnosis reads as it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "zelk_compiler/fit.hpp"
#include "zelk_compiler/graph.hpp"
#include "zelk_compiler/placement.hpp"

namespace zelk_compiler {

// "first-fit" or "best", as the command line's --planner spells them.
[[nodiscard]] std::string planner_name(PlacementStrategy strategy);

// Tiles `first` to `last`: "4-7", or "12" for one tile. Every tile range the
// library's texts and the tools' pictures write is written by this.
[[nodiscard]] std::string tile_range(std::uint16_t first, std::uint16_t last);

// The same range named: "tiles 4-7", or "tile 12" for one tile.
[[nodiscard]] std::string tiles_named(std::uint16_t first, std::uint16_t last);

// The name, in `graph` (the graph diagnosed), of the operation of the phase
// where `diagnosis` finds the most bytes. None when the graph fits, when that
// phase has no operation, or when `graph` has no such operation.
[[nodiscard]] std::optional<std::string_view> failing_op_name(const Graph& graph,
                                                              const FitDiagnosis& diagnosis);

// How many live buffers `write_fit` lists unless told otherwise.
inline constexpr std::size_t kLiveRows = 12;

// The table of tile groups, the verdict and, when the graph does not fit,
// the busiest phase (its operation named `failing_op`, from failing_op_name)
// with its live buffers, largest first (the first `live_rows` of them). The
// verdict goes on to say, per planner of `fewest`, on how many tiles the
// graph fits; `tile_count` is the count diagnosed. With the diagnosed
// graph's `tensors`, a live buffer whose type is not F32 shows it after its
// name ("l0.w1 (bf16)"). Every line ends in a newline.
void write_fit(std::ostream& out, const FitDiagnosis& diagnosis,
               std::optional<std::string_view> failing_op, std::span<const FewestTiles> fewest = {},
               std::uint16_t tile_count = 0, std::size_t live_rows = kLiveRows,
               std::span<const Tensor> tensors = {});

// "fits on 256 tiles or more; not on 255": where the search for the fewest
// tiles ended. Without "or more" when `tile_count`, a count that does not
// fit with the same planner, lies above.
[[nodiscard]] std::string fewest_tiles_text(const FewestTiles& fewest, std::uint16_t tile_count);

// The three lines that say most about a graph that does not fit, each
// indented and ending in a newline: where and by how much, what is live
// there, and whether a better placement can help. Empty when it fits. With
// the diagnosed graph's `tensors`, the largest buffers show their types as
// `write_fit`'s do.
[[nodiscard]] std::string misfit_lines(const FitDiagnosis& diagnosis,
                                       std::optional<std::string_view> failing_op,
                                       std::span<const Tensor> tensors = {});

}  // namespace zelk_compiler
