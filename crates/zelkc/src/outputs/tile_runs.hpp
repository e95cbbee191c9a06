// Runs of consecutive tiles whose buffers are identical: same tensors at the
// same addresses with the same lifetimes. Pictures and timelines of a
// schedule draw one run once instead of once per tile, which keeps them small
// on schedules of a thousand tiles or more.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <zelk_compiler/compiler.hpp>
#include <zelk_compiler/fit_text.hpp>

namespace zelkc {

struct TileRun {
  std::uint16_t first_tile = 0;
  std::uint16_t last_tile = 0;
  // The buffers of each tile of the run, in schedule order, as allocated on
  // `first_tile`.
  std::vector<zelk_compiler::Allocation> buffers;
};

// The runs of the tiles holding at least one buffer, ascending; tiles without
// buffers belong to no run.
[[nodiscard]] std::vector<TileRun> tile_runs(const zelk_compiler::Schedule& schedule);

// Bytes of the run's buffers live in each phase 0 to `phases` (outputs stay
// live one phase past the last), so `phases + 1` entries. Lifetimes past
// `phases` are cut there.
[[nodiscard]] std::vector<std::uint64_t> live_bytes_by_phase(const TileRun& run,
                                                             std::uint64_t phases);

// Every tile range zelkc writes, in text, tables, reports and timelines, is
// written as the library writes it: "4-7", "tile 12".
using zelk_compiler::tile_range;
using zelk_compiler::tiles_named;

// Ascending tile numbers as ranges, "0-3, 8, 12-15"; past `most` ranges the
// rest is counted instead: "0, 2, 4 and 61 more tiles". Empty for no tiles.
[[nodiscard]] std::string tile_ranges(std::span<const std::uint16_t> tiles, std::size_t most = 4);

}  // namespace zelkc
