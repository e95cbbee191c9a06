// The fewest tiles a graph fits on: the bisection against a scan of every
// count, its bound on compiles and its errors.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/random_graphs.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/encoder.hpp"
#include "zelk_compiler/fit.hpp"

namespace zelk_compiler {
namespace {

using test_support::Random;

bool compiles_on(const Graph& graph, CompilerOptions options, PlacementStrategy strategy,
                 std::uint16_t tiles) {
  options.tile_count = tiles;
  return compile(graph, options, PlanningOptions{.strategy = strategy}).has_value();
}

// The fewest tiles by compiling every count from 1 up, the plain oracle.
std::optional<std::uint16_t> scan(const Graph& graph, const CompilerOptions& options,
                                  PlacementStrategy strategy, std::uint16_t max_tiles) {
  for (std::uint16_t tiles = 1; tiles <= max_tiles; ++tiles) {
    if (compiles_on(graph, options, strategy, tiles)) {
      return tiles;
    }
  }
  return std::nullopt;
}

// Whether whatever fits on some count fits on every larger one up to the
// most: where this holds the bisection must find the scan's answer.
bool monotone(const Graph& graph, const CompilerOptions& options, PlacementStrategy strategy,
              std::uint16_t from, std::uint16_t max_tiles) {
  for (std::uint16_t tiles = from; tiles <= max_tiles; ++tiles) {
    if (!compiles_on(graph, options, strategy, tiles)) {
      return false;
    }
  }
  return true;
}

// The encoder block's peak falls as tiles are added, down to 9216 bytes from
// 64 tiles on: these windows put the answer at 6 to 64 tiles, or nowhere.
TEST(FewestTiles, MatchesAScanOfEveryCountOnTheEncoderBlock) {
  const Graph graph = encoder_graph(EncoderConfig{}).value();
  for (const std::uint32_t window : {6000U, 9216U, 12000U, 20000U, 40000U}) {
    const CompilerOptions options{
        .tile_count = 64, .data_base = 0x1000, .data_limit = 0x1000 + window};
    const auto found = fewest_tiles(graph, options, {}, 128);
    ASSERT_TRUE(found.has_value());
    ASSERT_EQ(found->size(), 2U);
    for (const FewestTiles& fewest : *found) {
      const std::string context = "window " + std::to_string(window) + " " + debug_string(fewest);
      const auto expected = scan(graph, options, fewest.strategy, 128);
      if (!expected) {
        EXPECT_EQ(fewest.tile_count, std::nullopt) << context;
        continue;
      }
      ASSERT_TRUE(monotone(graph, options, fewest.strategy, *expected, 128)) << context;
      EXPECT_EQ(fewest.tile_count, expected) << context;
      ASSERT_TRUE(fewest.diagnosis.has_value()) << context;
      EXPECT_TRUE(fewest.diagnosis->fits) << context;
      EXPECT_EQ(fewest.diagnosis->strategy, fewest.strategy) << context;
      EXPECT_LE(fewest.compiles, 10U) << context;  // 1 + 7 probes of 128, and 2 compiles
    }
    EXPECT_LE((*found)[1].tile_count, (*found)[0].tile_count) << "best never needs more tiles";
  }
}

// On generated graphs and windows the answer is always a count that
// compiles beside one that does not, and the scan's answer wherever fitting
// is monotone; never more than 19 plans over the whole range of counts.
TEST(FewestTiles, EndsOnACountThatCompilesBesideOneThatDoesNot) {
  Random random(26);
  int answered = 0;
  for (int round = 0; round < 60; ++round) {
    const Graph graph = test_support::random_graph(random, {.max_ops = 8, .max_extent = 32});
    CompilerOptions options = test_support::random_options(random, 16);
    const std::string context = "round " + std::to_string(round);
    const auto found = fewest_tiles(graph, options);
    if (!found) {
      // Only what no tile count mends: the options themselves.
      EXPECT_EQ(found.error().kind, CompileError::Kind::Graph) << context;
      continue;
    }
    for (const FewestTiles& fewest : *found) {
      EXPECT_LE(fewest.compiles, 19U) << context;
      if (!fewest.tile_count) {
        EXPECT_FALSE(compiles_on(graph, options, fewest.strategy, kMostTiles)) << context;
        continue;
      }
      ++answered;
      const std::uint16_t tiles = *fewest.tile_count;
      EXPECT_TRUE(compiles_on(graph, options, fewest.strategy, tiles)) << context;
      if (tiles > 1) {
        EXPECT_FALSE(compiles_on(graph, options, fewest.strategy, tiles - 1)) << context;
      }
      const auto expected = scan(graph, options, fewest.strategy, 64);
      if (expected && monotone(graph, options, fewest.strategy, *expected, 64)) {
        EXPECT_EQ(fewest.tile_count, expected) << context;
      }
    }
  }
  EXPECT_GT(answered, 40);
}

TEST(FewestTiles, SaysWhenNothingUpToTheMostFitsAndWhenOneTileIs) {
  Graph graph;
  const TensorId x = graph.input("x", {1, 1});
  graph.mark_output(graph.gelu("y", x).value());
  // One element cannot be split: its input and output, live together, pass
  // a 4-byte window whatever the count.
  const CompilerOptions tight{.tile_count = 4, .data_base = 0, .data_limit = 4};
  const auto none = fewest_tiles(graph, tight, {}, 64);
  ASSERT_TRUE(none.has_value());
  for (const FewestTiles& fewest : *none) {
    EXPECT_EQ(fewest.tile_count, std::nullopt);
    EXPECT_EQ(fewest.diagnosis, std::nullopt);
    EXPECT_EQ(fewest.compiles, 0U) << "the lower bound settles it without planning";
  }
  const auto one = fewest_tiles(graph, CompilerOptions{}, {}, 1);
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ((*one)[0].tile_count, 1U);
  EXPECT_EQ((*one)[0].compiles, 2U) << "the probe and the confirming compile";
}

TEST(FewestTiles, RefusesWhatNoTileCountMends) {
  Graph graph;
  (void)graph.input("x", {4, 4});
  EXPECT_EQ(fewest_tiles(graph, CompilerOptions{}).error(),
            CompileError::graph("graph has no outputs"));
  const Graph encoder = encoder_graph(EncoderConfig{}).value();
  const CompilerOptions empty_window{.tile_count = 4, .data_base = 16, .data_limit = 16};
  EXPECT_EQ(fewest_tiles(encoder, empty_window).error().kind, CompileError::Kind::Graph);
  EXPECT_THROW((void)fewest_tiles(encoder, CompilerOptions{}, {}, 0), std::invalid_argument);
}

TEST(FewestTiles, PrintsItsFields) {
  const FewestTiles none{.strategy = PlacementStrategy::Best,
                         .tile_count = std::nullopt,
                         .diagnosis = std::nullopt,
                         .compiles = 3};
  EXPECT_EQ(debug_string(none),
            "FewestTiles { strategy: Best, tile_count: None, diagnosis: None, compiles: 3 }");
}

}  // namespace
}  // namespace zelk_compiler
