// The summary's counts, tile groups and peak lower bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <zelk_compiler/lib.hpp>

#include "formats/schedule_json.hpp"
#include "outputs/report.hpp"
#include "outputs/summary.hpp"
#include "outputs/trace.hpp"
#include "support/random_graphs.hpp"

namespace zelkc {
namespace {

namespace zc = zelk_compiler;

TEST(Summary, DefaultEncoderBlock) {
  const zc::Graph graph = *zc::encoder_graph({});
  const zc::Schedule schedule = *zc::compile(graph, {});
  const Summary summary = summarize(graph, schedule);

  EXPECT_EQ(summary.tensors, 22U);
  EXPECT_EQ(summary.operations, 15U);
  EXPECT_EQ(summary.phases, 17U);
  EXPECT_EQ(summary.compute_phases, 15U);
  EXPECT_EQ(summary.exchange_phases, 2U);
  EXPECT_EQ(summary.transfers, 28U);
  EXPECT_EQ(summary.transfer_bytes, 28U * 1024U);
  EXPECT_EQ(summary.allocations, 360U);
  EXPECT_EQ(summary.tile_count, 64U);
  ASSERT_EQ(summary.tiles.size(), 64U);

  // Tiles 4 to 7 lack the two [32, 32] attention tensors that span tiles 0
  // to 3; the other runs follow the widths of the weights and ffn tensors.
  const std::vector<TileGroup> groups = {
      {0, 3, 22, 9216, 9216},  {4, 7, 20, 9216, 9216},  {8, 15, 8, 6144, 6144},
      {16, 31, 4, 3072, 3072}, {32, 63, 2, 2048, 2048},
  };
  EXPECT_EQ(summary.groups, groups);

  ASSERT_NE(largest_peak(summary), nullptr);
  EXPECT_EQ(largest_peak(summary)->tile, 0U);
  EXPECT_EQ(largest_peak(summary)->peak, 9216U);
  EXPECT_EQ(smallest_peak(summary)->tile, 32U);
  EXPECT_EQ(smallest_peak(summary)->peak, 2048U);

  std::ostringstream text;
  write_summary(text, summary,
                {.workload = "encoder block",
                 .options = {},
                 .planner = "best",
                 .compile_time = std::chrono::microseconds(1500)});
  for (const char* line : {
           "phases:        17 (15 compute, 2 exchange)\n",
           "transfers:     28 (28672 bytes)\n",
           "tiles used:    64 of 64\n",
           "largest peak:  9216 bytes on tile 0 (8 tiles)\n",
           "smallest peak: 2048 bytes on tile 32 (32 tiles)\n",
           "  tiles  tensors  lower bound       peak\n",
           "  8-15         8         6144       6144\n",
           "compile time:  1.500 ms\n",
           "options:       64 tiles, data window 0x52000 to 0xE0000 (581632 bytes)\n"
           "planner:       best\n",
       }) {
    EXPECT_NE(text.str().find(line), std::string::npos) << line << text.str();
  }
}

zc::Allocation buffer(std::uint16_t tile, std::uint64_t tensor, std::uint32_t size,
                      std::uint64_t from, std::uint64_t until) {
  return zc::Allocation{.tensor = zc::TensorId{tensor},
                        .tile = tile,
                        .address = 0,
                        .size = size,
                        .live_from = from,
                        .live_until = until};
}

TEST(Summary, LowerBoundIsTheBusiestPhase) {
  zc::Schedule schedule;
  schedule.allocations = {
      buffer(0, 0, 100, 0, 1),
      buffer(0, 1, 50, 1, 2),   // meets the first in phase 1: 150 together
      buffer(0, 2, 120, 3, 3),  // alone in phase 3
      buffer(0, 3, 999, 5, 4),  // a lifetime that contains no phase
      buffer(1, 0, 100, 0, 1),
      buffer(1, 1, 60, 2, 2),  // touches nothing: the first ended in phase 1
  };
  const auto bounds = peak_lower_bounds(schedule);
  EXPECT_EQ(bounds, (std::map<std::uint16_t, std::uint64_t>{{0, 150}, {1, 100}}));
}

TEST(Summary, GroupsAreRunsOfNeighbouringTilesHoldingTheSameTensors) {
  zc::Schedule schedule;
  schedule.allocations = {
      buffer(0, 0, 16, 0, 1), buffer(1, 0, 16, 0, 1), buffer(3, 0, 16, 0, 1),
      buffer(0, 1, 16, 0, 1), buffer(1, 1, 16, 0, 1), buffer(3, 1, 16, 0, 1),
      buffer(4, 1, 16, 0, 1),
  };
  schedule.peak_sram = {{0, 32}, {1, 32}, {3, 32}, {4, 16}};
  const Summary summary = summarize(zc::Graph{}, schedule);
  // Tile 2 holds nothing, so tile 3 starts a new run; tile 4 holds less.
  const std::vector<TileGroup> groups = {{0, 1, 2, 32, 32}, {3, 3, 2, 32, 32}, {4, 4, 1, 16, 16}};
  EXPECT_EQ(summary.groups, groups);
}

// The bound from first principles: for every phase, the bytes of the
// buffers whose lifetime contains it.
std::map<std::uint16_t, std::uint64_t> brute_force_bounds(const zc::Schedule& schedule) {
  std::map<std::uint16_t, std::uint64_t> bounds;
  for (const zc::Allocation& a : schedule.allocations) {
    bounds.try_emplace(a.tile, 0);
  }
  for (std::uint64_t phase = 0; phase <= schedule.phases.size(); ++phase) {
    std::map<std::uint16_t, std::uint64_t> live;
    for (const zc::Allocation& a : schedule.allocations) {
      if (a.live_from <= phase && phase <= a.live_until) {
        live[a.tile] += a.size;
      }
    }
    for (const auto& [tile, bytes] : live) {
      bounds[tile] = std::max(bounds[tile], bytes);
    }
  }
  return bounds;
}

TEST(Summary, LowerBoundsOfGeneratedSchedulesMatchBruteForceAndStayUnderThePeak) {
  zc::test_support::Random random(4242);
  int compiled = 0;
  for (int round = 0; round < 150; ++round) {
    const zc::Graph graph = zc::test_support::random_graph(random);
    const auto schedule = zc::compile(graph, zc::test_support::random_options(random, 16));
    if (!schedule) {
      continue;
    }
    ++compiled;
    const auto bounds = peak_lower_bounds(*schedule);
    ASSERT_EQ(bounds, brute_force_bounds(*schedule)) << "round " << round;
    for (const TilePeak& row : summarize(graph, *schedule).tiles) {
      EXPECT_LE(row.lower_bound, row.peak) << "round " << round << " tile " << row.tile;
    }
  }
  EXPECT_GT(compiled, 50);
}

TEST(Summary, AddressesAreUppercaseHexWithoutPadding) {
  const std::vector<std::pair<std::uint64_t, std::string>> cases = {
      {0, "0x0"},
      {0x52000, "0x52000"},
      {0xABCDEF, "0xABCDEF"},
      {~std::uint64_t{0}, "0xFFFFFFFFFFFFFFFF"}};
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(hex(value), expected);
  }
}

TEST(Summary, TypesOtherThanF32ShowInEveryOutputAndF32GoesUnsaid) {
  // An F32 input cast to F16 for a product with an F16 weight.
  zc::Graph graph;
  const zc::TensorId x = graph.input("x", {64, 64});
  const zc::TensorId w = graph.weight("w", {64, 64}, zc::DType::F16);
  graph.mark_output(*graph.matmul("y", *graph.cast("half", x, zc::DType::F16), w));
  const zc::Schedule schedule = *zc::compile(graph, {});
  const Summary summary = summarize(graph, schedule);
  const SummaryContext context{.workload = "typed", .options = {}};

  std::ostringstream text;
  write_summary(text, summary, context);
  EXPECT_NE(text.str().find("tensors:       4 (1 f32, 3 f16)\n"), std::string::npos) << text.str();

  const Json document = schedule_to_json(graph, {}, schedule);
  EXPECT_FALSE(document["tensors"][0].contains("dtype"));
  EXPECT_EQ(document["tensors"][1]["dtype"], "f16");
  EXPECT_EQ(document["tensors"][3]["dtype"], "f16");

  const std::string trace = trace_json(graph, schedule, summary, {}, "typed");
  EXPECT_NE(trace.find(R"("dtype":"f16")"), std::string::npos) << trace;
  const std::string page = report_html(graph, schedule, summary, context, 0);
  EXPECT_NE(page.find(R"(["w","Weight, f16",)"), std::string::npos);
  EXPECT_NE(page.find(R"(["x","Input",)"), std::string::npos);

  // An all-F32 graph says nothing of types anywhere.
  const zc::Graph plain = *zc::encoder_graph({});
  const zc::Schedule plain_schedule = *zc::compile(plain, {});
  const Summary plain_summary = summarize(plain, plain_schedule);
  std::ostringstream plain_text;
  write_summary(plain_text, plain_summary, context);
  EXPECT_NE(plain_text.str().find("tensors:       22\n"), std::string::npos);
  EXPECT_EQ(schedule_to_json(plain, {}, plain_schedule).dump().find("dtype"), std::string::npos);
  EXPECT_EQ(trace_json(plain, plain_schedule, plain_summary, {}, "plain").find("dtype"),
            std::string::npos);
}

}  // namespace
}  // namespace zelkc
