// One tile's memory over the schedule as an SVG picture: phases across,
// addresses down, one labelled rectangle per buffer, with the data window and
// the tile's peak marked.
#pragma once

#include <cstdint>
#include <string>

#include <zelk_compiler/compiler.hpp>
#include <zelk_compiler/graph.hpp>

namespace zelkc {

// A standalone SVG document. `tile` may hold no buffer (the picture says so);
// the caller checks that it is below the schedule's tile count.
[[nodiscard]] std::string memory_map_svg(const zelk_compiler::Graph& graph,
                                         const zelk_compiler::CompilerOptions& options,
                                         const zelk_compiler::Schedule& schedule,
                                         std::uint16_t tile);

// The palette buffers are filled from, by tensor index; the report's script
// uses the same colours.
[[nodiscard]] std::string buffer_colour(std::uint64_t tensor);
[[nodiscard]] std::string buffer_palette_json();

}  // namespace zelkc
