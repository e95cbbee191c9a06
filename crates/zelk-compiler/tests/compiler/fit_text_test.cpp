// The fit diagnosis as text: the group table, the busiest phase and the
// verdict, and the short form printed under a memory error.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <zelk_compiler/lib.hpp>

namespace zelk_compiler {
namespace {

namespace zc = zelk_compiler;

// First fit peaks at 184,320 bytes on these 16 tiles, the bound is 156,672.
const zc::Graph& long_sequence() {
  static const zc::Graph graph =
      *zc::encoder_graph({.sequence = 512, .hidden = 64, .heads = 4, .feed_forward = 256});
  return graph;
}

std::string fit_text(const zc::Graph& graph, const zc::FitDiagnosis& diagnosis,
                     std::size_t rows = 12) {
  std::ostringstream out;
  write_fit(out, diagnosis, failing_op_name(graph, diagnosis), {}, 0, rows);
  return out.str();
}

zc::FitDiagnosis diagnose(std::uint32_t limit, zc::PlacementStrategy strategy) {
  return *zc::diagnose_fit(long_sequence(), {.tile_count = 16, .data_base = 0, .data_limit = limit},
                           {.strategy = strategy});
}

TEST(FitText, TableOfAGraphThatFits) {
  const auto diagnosis = *zc::diagnose_fit(*zc::encoder_graph({}), {});
  EXPECT_EQ(fit_text(*zc::encoder_graph({}), diagnosis),
            "planner:       first-fit\n"
            "tile groups (tiles holding the same buffers in the same order; bytes per tile):\n"
            "  tiles  buffers  lower bound   first fit        best   headroom\n"
            "  0-3         22         9216        9216        9216     572416\n"
            "  4-7         20         9216        9216        9216     572416\n"
            "  8-15         8         6144        6144        6144     575488\n"
            "  16-31        4         3072        3072        3072     578560\n"
            "  32-63        2         2048        2048        2048     579584\n"
            "fits:          yes\n");
  EXPECT_EQ(misfit_lines(diagnosis, failing_op_name(*zc::encoder_graph({}), diagnosis)), "");
}

TEST(FitText, BestFitsWhereFirstFitDoesNot) {
  const auto diagnosis = diagnose(170000, zc::PlacementStrategy::FirstFit);
  const std::string text = fit_text(long_sequence(), diagnosis, 3);
  EXPECT_NE(text.find("  0-15        22       156672      184320      156672     -14320\n"
                      "fits:          no\n"
                      "most bytes:    tiles 0-15 in phase 6 (attention_softmax): 156672 bytes, "
                      "9216 of weights and 147456 of activations\n"
                      "verdict:       the lower bound is 13328 bytes under the window, and "
                      "--planner best fits it (peak 156672)\n"
                      "live there, largest first:\n"
                      "       bytes  kind          phases  tensor\n"
                      "       65536  intermediate     5-6  attention_scores\n"
                      "       65536  intermediate     6-7  attention_softmax\n"
                      "        8192  input            0-9  input\n"
                      "  ... and 4 more (17408 bytes)\n"),
            std::string::npos)
      << text;

  const std::string lines = misfit_lines(diagnosis, failing_op_name(long_sequence(), diagnosis));
  EXPECT_EQ(std::ranges::count(lines, '\n'), 3) << lines;
  EXPECT_EQ(lines,
            "  tiles 0-15: 156672 bytes live in phase 6 (attention_softmax) against a window of "
            "170000; first-fit peak 184320, best 156672\n"
            "  live there: 9216 bytes of weights, largest w1 (4096), 147456 of activations, "
            "largest attention_scores (65536)\n"
            "  the lower bound is 13328 bytes under the window, and --planner best fits it (peak "
            "156672); see zelkc fit\n");

  const std::string best = fit_text(long_sequence(), diagnose(170000, zc::PlacementStrategy::Best));
  EXPECT_NE(best.find("planner:       best\n"), std::string::npos) << best;
  EXPECT_NE(best.find("fits:          yes\n"), std::string::npos) << best;
}

TEST(FitText, BytesOfTheRowsNotShownStopAtTheLargestCountInsteadOfWrapping) {
  zc::FitDiagnosis diagnosis = diagnose(170000, zc::PlacementStrategy::FirstFit);
  std::vector<zc::LiveBuffer>& live = diagnosis.failure->live;
  ASSERT_EQ(live.size(), 7U);
  live[4].bytes = std::uint64_t{1} << 63U;
  live[5].bytes = std::uint64_t{1} << 63U;
  const std::string text = fit_text(long_sequence(), diagnosis, 3);
  EXPECT_NE(text.find("  ... and 4 more (18446744073709551615 bytes)\n"), std::string::npos)
      << text;
}

TEST(FitText, NoPlacementFitsWhenTheBoundIsOverTheWindow) {
  const auto diagnosis = diagnose(150000, zc::PlacementStrategy::Best);
  const std::string lines = misfit_lines(diagnosis, failing_op_name(long_sequence(), diagnosis));
  EXPECT_NE(lines.find("  no placement can fit: the lower bound alone is 6672 bytes over the "
                       "window; shrink the model or use more tiles"),
            std::string::npos)
      << lines;
}

// "or more" only where no count above the answer is known not to fit.
TEST(FitText, SaysOnHowManyTilesTheWorkloadFits) {
  const auto on = [](std::optional<std::uint16_t> tiles) {
    return zc::FewestTiles{.strategy = zc::PlacementStrategy::FirstFit,
                           .tile_count = tiles,
                           .diagnosis = std::nullopt,
                           .compiles = 0};
  };
  const struct {
    std::optional<std::uint16_t> fewest;
    std::uint16_t misfit;
    std::string text;
  } cases[] = {
      {256, 16, "fits on 256 tiles or more; not on 255"},
      {256, 0, "fits on 256 tiles or more; not on 255"},
      {1, 0, "fits on 1 tile or more"},
      {12, 64, "fits on 12 tiles; not on 11"},
      {std::nullopt, 64, "does not fit on 65535 tiles, the most there are"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fewest_tiles_text(on(c.fewest), c.misfit), c.text);
  }
}

TEST(FitText, LiveBuffersOfAnotherTypeThanF32ShowIt) {
  // A BF16 product whose weight, converted from F32, does not fit one tile.
  zc::Graph graph;
  const TensorId x = graph.input("x", {256, 512});
  const TensorId w = graph.weight("w", {512, 512}, DType::BF16);
  graph.mark_output(*graph.matmul("y", *graph.cast("xb", x, DType::BF16), w));
  const zc::CompilerOptions options{.tile_count = 1};
  const auto diagnosis = zc::diagnose_fit(graph, options);
  ASSERT_TRUE(diagnosis.has_value()) << diagnosis.error();
  ASSERT_FALSE(diagnosis->fits);
  std::ostringstream out;
  write_fit(out, *diagnosis, failing_op_name(graph, *diagnosis), {}, 0, kLiveRows, graph.tensors);
  const std::string text = out.str();
  EXPECT_NE(text.find("  w (bf16)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  x\n"), std::string::npos) << text;
  const std::string lines =
      misfit_lines(*diagnosis, failing_op_name(graph, *diagnosis), graph.tensors);
  EXPECT_NE(lines.find("largest w (bf16) (524288)"), std::string::npos) << lines;
  // Without the tensors, the names alone, as before.
  EXPECT_EQ(fit_text(graph, *diagnosis).find("(bf16)"), std::string::npos);
}

}  // namespace
}  // namespace zelk_compiler
