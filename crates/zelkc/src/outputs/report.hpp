// The HTML report: one self-contained page with the summary, every tile's
// peak against its lower bound, the memory map of a tile chosen on the page
// and the phase list with its exchanges.
#pragma once

#include <cstdint>
#include <string>

#include <zelk_compiler/compiler.hpp>
#include <zelk_compiler/graph.hpp>

#include "outputs/summary.hpp"

namespace zelkc {

// The page embeds the schedule document and draws the memory map of the tile
// named in its address (`report.html#tile=3`), or of `default_tile`, with its
// own script. It loads nothing: no network, no other files. It is
// well-formed XML as well as HTML.
[[nodiscard]] std::string report_html(const zelk_compiler::Graph& graph,
                                      const zelk_compiler::Schedule& schedule,
                                      const Summary& summary, const SummaryContext& context,
                                      std::uint16_t default_tile);

}  // namespace zelkc
