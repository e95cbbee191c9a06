// Runs of identical tiles, the live bytes of a run per phase, and tile lists
// as ranges.
#include <gtest/gtest.h>

#include <algorithm>

#include <zelk_compiler/lib.hpp>

#include "outputs/tile_runs.hpp"
#include "support/random_graphs.hpp"

namespace zelkc {
namespace {

namespace zc = zelk_compiler;

zc::Allocation buffer(std::uint16_t tile, std::uint64_t tensor, std::uint32_t address,
                      std::uint32_t size, std::uint64_t from, std::uint64_t until) {
  return zc::Allocation{.tensor = zc::TensorId{tensor},
                        .tile = tile,
                        .address = address,
                        .size = size,
                        .live_from = from,
                        .live_until = until};
}

std::vector<zc::Allocation> on_tile(const zc::Schedule& schedule, std::uint16_t tile) {
  std::vector<zc::Allocation> buffers;
  for (const zc::Allocation& allocation : schedule.allocations) {
    if (allocation.tile == tile) {
      buffers.push_back(allocation);
      buffers.back().tile = 0;
    }
  }
  return buffers;
}

// Every tile's buffers are those of the run that covers it, and a tile
// without buffers is in no run.
void expect_runs_reproduce_every_tile(const zc::Schedule& schedule) {
  const std::vector<TileRun> runs = tile_runs(schedule);
  for (std::size_t i = 1; i < runs.size(); ++i) {
    ASSERT_LT(runs[i - 1].last_tile, runs[i].first_tile);
  }
  for (std::uint32_t tile = 0; tile < schedule.tile_count; ++tile) {
    const auto number = static_cast<std::uint16_t>(tile);
    const auto run = std::ranges::find_if(
        runs, [&](const TileRun& r) { return r.first_tile <= number && number <= r.last_tile; });
    std::vector<zc::Allocation> expected = on_tile(schedule, number);
    if (run == runs.end()) {
      EXPECT_TRUE(expected.empty()) << "tile " << tile;
      continue;
    }
    std::vector<zc::Allocation> got = run->buffers;
    for (zc::Allocation& allocation : got) {
      allocation.tile = 0;
    }
    EXPECT_EQ(got, expected) << "tile " << tile;
  }
}

using Span = std::pair<std::uint16_t, std::uint16_t>;

std::vector<Span> spans(const std::vector<TileRun>& runs) {
  std::vector<Span> first_last;
  for (const TileRun& run : runs) {
    first_last.emplace_back(run.first_tile, run.last_tile);
  }
  return first_last;
}

TEST(TileRuns, SplitWhereBuffersDifferOrATileHoldsNothing) {
  zc::Schedule schedule;
  schedule.tile_count = 6;
  schedule.allocations = {
      buffer(0, 0, 0x100, 16, 0, 1), buffer(1, 0, 0x100, 16, 0, 1),
      buffer(2, 0, 0x110, 16, 0, 1),  // another address
      buffer(4, 0, 0x110, 16, 0, 1),  // tile 3 holds nothing in between
      buffer(5, 0, 0x110, 16, 0, 1), buffer(0, 1, 0x200, 8, 1, 1),
      buffer(1, 1, 0x200, 8, 1, 1),
  };
  const std::vector<TileRun> runs = tile_runs(schedule);
  ASSERT_EQ(runs.size(), 3U);
  EXPECT_EQ(spans(runs), (std::vector<Span>{{0, 1}, {2, 2}, {4, 5}}));
  EXPECT_EQ(runs[0].buffers.size(), 2U);
  expect_runs_reproduce_every_tile(schedule);
}

TEST(TileRuns, ReproduceEveryTileOfGeneratedSchedules) {
  zc::test_support::Random random(77);
  int compiled = 0;
  for (int round = 0; round < 120; ++round) {
    const zc::Graph graph = zc::test_support::random_graph(random);
    const auto schedule = zc::compile(graph, zc::test_support::random_options(random, 24));
    if (!schedule) {
      continue;
    }
    ++compiled;
    SCOPED_TRACE(round);
    expect_runs_reproduce_every_tile(*schedule);
  }
  EXPECT_GT(compiled, 40);
}

TEST(TileRuns, TheDefaultBlockHasOneRunPerTileGroup) {
  const zc::Schedule schedule = *zc::compile(*zc::encoder_graph({}), {});
  EXPECT_EQ(spans(tile_runs(schedule)),
            (std::vector<Span>{{0, 3}, {4, 7}, {8, 15}, {16, 31}, {32, 63}}));
}

TEST(TileRuns, LiveBytesCountEachBufferInEveryPhaseOfItsLifetime) {
  const TileRun run{
      .first_tile = 0,
      .last_tile = 0,
      .buffers = {
          buffer(0, 0, 0, 100, 0, 1), buffer(0, 1, 0, 50, 1, 3), buffer(0, 2, 0, 7, 3, 3),
          buffer(0, 3, 0, 999, 4, 2),  // ends before it starts: no phase
          buffer(0, 4, 0, 20, 3, 99),  // cut at the last column
      }};
  EXPECT_EQ(live_bytes_by_phase(run, 4), (std::vector<std::uint64_t>{100, 150, 50, 77, 20}));
  EXPECT_EQ(live_bytes_by_phase(TileRun{}, 0), (std::vector<std::uint64_t>{0}));
}

TEST(TileRanges, WriteOneTileAloneAndSeveralAsFirstToLast) {
  const std::vector<std::tuple<std::uint16_t, std::uint16_t, std::string>> cases = {
      {0, 0, "0"}, {12, 12, "12"}, {4, 7, "4-7"}, {0, 65535, "0-65535"}};
  for (const auto& [first, last, expected] : cases) {
    EXPECT_EQ(tile_range(first, last), expected);
  }
}

TEST(TileRanges, WriteConsecutiveTilesAsRangesAndCountTheRest) {
  const std::vector<std::tuple<std::vector<std::uint16_t>, std::size_t, std::string>> cases = {
      {{}, 4, ""},
      {{7}, 4, "7"},
      {{0, 1, 2, 3}, 4, "0-3"},
      {{0, 1, 2, 3, 8, 12, 13, 14, 15}, 4, "0-3, 8, 12-15"},
      {{0, 2, 4, 6, 8, 10}, 3, "0, 2, 4 and 3 more tiles"},
      {{0, 65534, 65535}, 4, "0, 65534-65535"},
  };
  for (const auto& [tiles, most, expected] : cases) {
    EXPECT_EQ(tile_ranges(tiles, most), expected);
  }
}

}  // namespace
}  // namespace zelkc
