// The fewest tiles of the importer's ONNX fixtures, as zelkc fit searches
// them: right (a scan of every smaller count compiles none) and within 20
// memory plans per planner.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include <zelk_compiler/debug.hpp>
#include <zelk_compiler/fit.hpp>
#include <zelk_onnx/onnx.hpp>

namespace zelkc {
namespace {

namespace zc = zelk_compiler;

bool compiles_on(const zc::Graph& graph, zc::CompilerOptions options,
                 zc::PlacementStrategy strategy, std::uint16_t tiles) {
  options.tile_count = tiles;
  return zc::compile(graph, options, zc::PlanningOptions{.strategy = strategy}).has_value();
}

TEST(FewestTiles, OfTheOnnxFixturesIsTheFirstCountThatCompiles) {
  const struct {
    std::string file;
    zelk_onnx::Dims dims;
    std::uint16_t first_fit;
    std::uint16_t best;
  } models[] = {
      {"bert_layer.op17.onnx", {{"batch", 1}, {"sequence", 128}}, 74, 52},
      {"gpt_block.op17.onnx", {}, 5, 5},
      {"mlp.op17.onnx", {}, 2, 2},
  };
  // A 16 KiB window, so that none fits on one tile.
  const zc::CompilerOptions options{.tile_count = 1, .data_base = 0, .data_limit = 16384};
  for (const auto& model : models) {
    const auto imported =
        zelk_onnx::load_onnx(std::string(ZELKC_ONNX_FIXTURES) + "/" + model.file, model.dims);
    ASSERT_TRUE(imported.has_value()) << model.file;
    const auto found = zc::fewest_tiles(imported->graph, options);
    ASSERT_TRUE(found.has_value()) << model.file;
    ASSERT_EQ(found->size(), 2U);
    EXPECT_EQ((*found)[0].tile_count, model.first_fit) << model.file;
    EXPECT_EQ((*found)[1].tile_count, model.best) << model.file;
    for (const zc::FewestTiles& fewest : *found) {
      const std::string context = model.file + " " + zc::debug_string(fewest.strategy);
      EXPECT_LE(fewest.compiles, 20U) << context;
      ASSERT_TRUE(fewest.tile_count.has_value()) << context;
      EXPECT_TRUE(compiles_on(imported->graph, options, fewest.strategy, *fewest.tile_count))
          << context;
      for (std::uint16_t tiles = 1; tiles < *fewest.tile_count; ++tiles) {
        EXPECT_FALSE(compiles_on(imported->graph, options, fewest.strategy, tiles))
            << context << " on " << tiles << " tiles";
      }
    }
  }
}

}  // namespace
}  // namespace zelkc
