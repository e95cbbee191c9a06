// Grouping tiles into runs of identical buffers.
#include "outputs/tile_runs.hpp"

#include <algorithm>

namespace zelkc {
namespace zc = zelk_compiler;

namespace {

// Equal buffers apart from the tile they sit on.
bool same_buffers(std::span<const zc::Allocation* const> a, std::span<const zc::Allocation> b) {
  return std::ranges::equal(a, b, [](const zc::Allocation* x, const zc::Allocation& y) {
    return x->tensor == y.tensor && x->address == y.address && x->size == y.size &&
           x->live_from == y.live_from && x->live_until == y.live_until;
  });
}

}  // namespace

std::vector<TileRun> tile_runs(const zc::Schedule& schedule) {
  // Bucket the allocations by tile, keeping schedule order within a tile.
  std::size_t tiles = 0;
  for (const zc::Allocation& allocation : schedule.allocations) {
    tiles = std::max<std::size_t>(tiles, std::size_t{allocation.tile} + 1);
  }
  std::vector<std::size_t> starts(tiles + 1, 0);
  for (const zc::Allocation& allocation : schedule.allocations) {
    ++starts[std::size_t{allocation.tile} + 1];
  }
  for (std::size_t tile = 0; tile < tiles; ++tile) {
    starts[tile + 1] += starts[tile];
  }
  std::vector<const zc::Allocation*> by_tile(schedule.allocations.size());
  std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
  for (const zc::Allocation& allocation : schedule.allocations) {
    by_tile[next[allocation.tile]++] = &allocation;
  }

  std::vector<TileRun> runs;
  for (std::size_t tile = 0; tile < tiles; ++tile) {
    const std::span<const zc::Allocation* const> buffers(by_tile.data() + starts[tile],
                                                         starts[tile + 1] - starts[tile]);
    if (buffers.empty()) {
      continue;
    }
    const auto number = static_cast<std::uint16_t>(tile);
    if (!runs.empty() && std::size_t{runs.back().last_tile} + 1 == tile &&
        same_buffers(buffers, runs.back().buffers)) {
      runs.back().last_tile = number;
      continue;
    }
    TileRun run{.first_tile = number, .last_tile = number, .buffers = {}};
    run.buffers.reserve(buffers.size());
    for (const zc::Allocation* buffer : buffers) {
      run.buffers.push_back(*buffer);
    }
    runs.push_back(std::move(run));
  }
  return runs;
}

std::vector<std::uint64_t> live_bytes_by_phase(const TileRun& run, std::uint64_t phases) {
  // Sizes are added where a lifetime starts and taken off one phase after it
  // ends; the running sum is then the bytes live in each phase. It cannot
  // overflow: it never exceeds the sum of the run's 32-bit sizes.
  std::vector<std::uint64_t> starting(phases + 2, 0);
  std::vector<std::uint64_t> ending(phases + 2, 0);
  for (const zc::Allocation& buffer : run.buffers) {
    if (buffer.live_until < buffer.live_from || buffer.live_from > phases) {
      continue;  // a lifetime that ends before it starts holds no phase
    }
    starting[buffer.live_from] += buffer.size;
    ending[std::min(buffer.live_until, phases) + 1] += buffer.size;
  }
  std::vector<std::uint64_t> live(phases + 1, 0);
  std::uint64_t bytes = 0;
  for (std::uint64_t phase = 0; phase <= phases; ++phase) {
    bytes = bytes + starting[phase] - ending[phase];
    live[phase] = bytes;
  }
  return live;
}

std::string tile_ranges(std::span<const std::uint16_t> tiles, std::size_t most) {
  std::string text;
  std::size_t written = 0;
  std::size_t at = 0;
  while (at < tiles.size()) {
    std::size_t end = at + 1;
    while (end < tiles.size() && tiles[end] == tiles[end - 1] + 1) {
      ++end;
    }
    if (written == most) {
      text += " and " + std::to_string(tiles.size() - at) + " more tiles";
      break;
    }
    text += written == 0 ? "" : ", ";
    text += tile_range(tiles[at], tiles[end - 1]);
    ++written;
    at = end;
  }
  return text;
}

}  // namespace zelkc
