// Tile groups: the tiles that receive the same buffers in the same order,
// found by refining a partition of the tiles tensor by tensor.
#include <algorithm>
#include <limits>
#include <map>
#include <utility>

#include "compiler/memory_plan.hpp"

namespace zelk_compiler::detail {
namespace {

// Refines a partition of the tiles tensor by tensor: the tiles a layout names
// leave their group for a new one, split by how often the layout names them.
// Each id remembers the group it split from, so a group's buffer sequence is
// its chain of origins. Id 0 is the group of tiles that hold nothing yet.
class Partition {
 public:
  explicit Partition(std::size_t tile_count) : group_of_(tile_count, 0), origins_(1) {}

  void name_tiles(std::uint64_t tensor, std::span<const std::uint16_t> tiles, bool repeats) {
    if (!repeats) {
      // Each tile named once: consecutive tiles mostly share their group.
      std::uint64_t last_old = kNone;
      std::uint64_t last_new = kNone;
      for (const std::uint16_t tile : tiles) {
        const std::uint64_t old = group_of_[tile];
        if (old != last_old) {
          last_old = old;
          last_new = split(old, tensor, 1);
        }
        group_of_[tile] = last_new;
      }
      return;
    }
    TileCounts counts(group_of_.size());
    for (const std::uint16_t tile : tiles) {
      (void)counts.next(tile, tensor);
    }
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t> moved;
    TileCounts seen(group_of_.size());
    for (const std::uint16_t tile : tiles) {
      if (seen.next(tile, tensor) != 0) {
        continue;
      }
      const std::uint64_t old = group_of_[tile];
      const std::uint64_t times = counts.count(tile);
      auto [entry, added] = moved.try_emplace({old, times}, 0);
      if (added) {
        entry->second = split(old, tensor, times);
      }
      group_of_[tile] = entry->second;
    }
  }

  [[nodiscard]] std::uint64_t group_of(std::size_t tile) const { return group_of_[tile]; }

  // The buffer sequence of the tiles in group `id`.
  [[nodiscard]] std::vector<std::uint64_t> buffers(std::uint64_t id) const {
    std::vector<std::uint64_t> chain;
    for (; id != 0; id = origins_[id].parent) {
      chain.push_back(id);
    }
    std::vector<std::uint64_t> sequence;
    for (auto link = chain.rbegin(); link != chain.rend(); ++link) {
      for (std::uint64_t n = 0; n < origins_[*link].times; ++n) {
        sequence.push_back(origins_[*link].tensor);
      }
    }
    return sequence;
  }

 private:
  static constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

  struct Origin {
    std::uint64_t parent = 0;
    std::uint64_t tensor = 0;
    std::uint64_t times = 0;
    std::uint64_t split_by = 0;  // tensor + 1 of the last tensor that split this group
    std::uint64_t split_to = 0;  // the id its tiles named once then moved to
  };

  // The id that tiles of group `old` named `times` times by `tensor` move
  // to. Tiles named once share one new id per old group and tensor.
  std::uint64_t split(std::uint64_t old, std::uint64_t tensor, std::uint64_t times) {
    if (times == 1 && origins_[old].split_by == tensor + 1) {
      return origins_[old].split_to;
    }
    const std::uint64_t id = origins_.size();
    origins_.push_back(Origin{.parent = old, .tensor = tensor, .times = times});
    if (times == 1) {
      origins_[old].split_by = tensor + 1;
      origins_[old].split_to = id;
    }
    return id;
  }

  std::vector<std::uint64_t> group_of_;
  std::vector<Origin> origins_;
};

}  // namespace

void find_groups(const Graph& graph, std::span<const Layout> layouts, MemoryProblem& problem) {
  std::size_t tile_count = 0;
  for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
    tile_count = std::max(tile_count, std::size_t{std::ranges::max(layouts[i].tiles)} + 1);
  }
  Partition partition(tile_count);
  std::vector<std::uint64_t> stamp(tile_count, 0);
  problem.repeats.assign(graph.tensors.size(), false);
  for (std::uint64_t tensor = 0; tensor < graph.tensors.size(); ++tensor) {
    for (const std::uint16_t tile : layouts[tensor].tiles) {
      problem.repeats[tensor] = problem.repeats[tensor] || stamp[tile] == tensor + 1;
      stamp[tile] = tensor + 1;
    }
    partition.name_tiles(tensor, layouts[tensor].tiles, problem.repeats[tensor]);
  }

  std::map<std::uint64_t, std::uint32_t> dense;
  problem.group_of_tile.assign(tile_count, kNoGroup);
  for (std::size_t tile = 0; tile < tile_count; ++tile) {
    const std::uint64_t id = partition.group_of(tile);
    if (id == 0) {
      continue;
    }
    const auto [entry, added] =
        dense.try_emplace(id, static_cast<std::uint32_t>(problem.groups.size()));
    if (added) {
      problem.groups.push_back(TileGroup{.tiles = {}, .buffers = partition.buffers(id)});
    }
    problem.group_of_tile[tile] = entry->second;
    problem.groups[entry->second].tiles.push_back(static_cast<std::uint16_t>(tile));
  }
}

}  // namespace zelk_compiler::detail
