// The transfer rule of one operation and the check of one exchange phase.
#include <gtest/gtest.h>

#include "compiler/test_graphs.hpp"
#include "zelk_compiler/compiler.hpp"

namespace zelk_compiler {
namespace {

using test_support::prefix_layout;

std::vector<Layout> layouts_of(const Graph& graph, std::uint16_t tile_count = 64) {
  std::vector<Layout> layouts;
  for (const Tensor& tensor : graph.tensors) layouts.push_back(choose_layout(tensor, tile_count));
  return layouts;
}

TEST(Transfers, NarrowInputIsSentToTheExtraOutputTiles) {
  Graph graph;
  const TensorId x = graph.input("x", {32, 64});    // 8 tiles
  const TensorId w = graph.weight("w", {64, 256});  // 64 tiles
  const TensorId y = *graph.matmul("y", x, w);      // 32 tiles
  const auto layouts = layouts_of(graph);
  const auto transfers = transfers_for(graph, layouts, graph.ops[0], layouts[y.index]);
  ASSERT_TRUE(transfers.has_value());
  ASSERT_EQ(transfers->size(), 24U);
  for (std::size_t i = 0; i < 24; ++i) {
    const auto destination = static_cast<std::uint16_t>(8 + i);
    EXPECT_EQ((*transfers)[i],
              (Transfer{static_cast<std::uint16_t>(destination % 8), destination, x, 1024}));
  }
}

TEST(Transfers, NoneWhenTheInputCoversTheOutputTiles) {
  Graph graph;
  const TensorId w = graph.weight("w", {64, 64});           // 16 tiles, Columns
  const TensorId a = graph.input("a", {64, 64});            // 16 tiles, Rows
  const TensorId wide = graph.input("wide", {128, 64});     // 32 tiles
  const TensorId narrow = graph.input("narrow", {32, 64});  // 8 tiles
  const TensorId sum = *graph.add("sum", a, w);
  const auto layouts = layouts_of(graph);
  // Same tiles, other sharding: positions coincide, nothing moves.
  EXPECT_TRUE(transfers_for(graph, layouts, graph.ops[0], layouts[sum.index])->empty());
  // 32 tiles feeding 8: the output tiles already hold their share.
  Op shrink{.id = OpId{0}, .name = "s", .kind = Gelu{}, .inputs = {wide}, .output = narrow};
  EXPECT_TRUE(transfers_for(graph, layouts, shrink, layouts[narrow.index])->empty());
}

TEST(Transfers, FollowArbitraryTileListsByPosition) {
  Graph graph;
  const TensorId x = graph.input("x", {10});
  graph.mark_output(x);
  const std::vector<Layout> layouts = {
      Layout{.tensor = x, .tiles = {5, 2}, .sharding = Sharding::Rows, .alignment = 16}};
  const Layout output{
      .tensor = x, .tiles = {2, 2, 5, 7}, .sharding = Sharding::Rows, .alignment = 16};
  Op op{.id = OpId{0}, .name = "op", .kind = Add{}, .inputs = {x, x}, .output = x};
  const auto transfers = transfers_for(graph, layouts, op, output);
  ASSERT_TRUE(transfers.has_value());
  // Positions 0..3 read source positions 0, 1, 0, 1: tiles 5, 2, 5, 2; the
  // pairs 2 <- 2 and 5 <- 5 already hold their share.
  // The input is listed twice but sent once, so the epoch stays consistent.
  const std::vector<Transfer> once = {{5, 2, x, 20}, {2, 7, x, 20}};
  EXPECT_EQ(*transfers, once);
  EXPECT_TRUE(validate_transfers(*transfers).has_value());
}

TEST(Transfers, ShareBeyond32BitsIsADataLimitError) {
  Graph graph;
  const TensorId big = graph.input("big", {std::uint64_t{1} << 31U});  // 8 GiB
  const TensorId out = graph.input("out", {1});
  const std::vector<Layout> layouts = {prefix_layout(0, 2), prefix_layout(1, 3)};
  Op op{.id = OpId{0}, .name = "op", .kind = Gelu{}, .inputs = {big}, .output = out};
  EXPECT_EQ(transfers_for(graph, layouts, op, layouts[1]).error(),
            CompileError::memory("tile 0 exceeds data limit allocating big"));
  // 4 GiB over two tiles is exactly 2^31 each: fits.
  const std::vector<Layout> wider = {prefix_layout(0, 4), prefix_layout(1, 5)};
  EXPECT_EQ(transfers_for(graph, wider, op, wider[1])->front().bytes, std::uint32_t{1} << 31U);
}

TEST(TransferValidation, Conditions) {
  const TensorId a{1};
  const TensorId b{2};
  struct Case {
    const char* label;
    std::vector<Transfer> transfers;
    const char* error;  // nullptr when valid
  };
  const std::vector<Case> cases = {
      {"empty list", {}, nullptr},
      {"self send", {{3, 3, a, 8}}, "invalid exchange transfer"},
      {"zero bytes", {{0, 1, a, 0}, {3, 3, a, 8}}, "invalid exchange transfer"},
      {"same region from two sources",
       {{0, 5, a, 8}, {1, 5, a, 8}},
       "multiple sends target one tensor region in an epoch"},
      {"a duplicate before a self send",
       {{0, 5, a, 8}, {0, 5, a, 8}, {2, 2, a, 8}},
       "multiple sends target one tensor region in an epoch"},
      {"a self send before a duplicate",
       {{2, 2, a, 8}, {0, 5, a, 8}, {0, 5, a, 8}},
       "invalid exchange transfer"},
      {"different tensors to one tile", {{0, 5, a, 8}, {0, 5, b, 8}}, nullptr},
      {"one tensor to two tiles", {{0, 5, a, 8}, {0, 6, a, 8}}, nullptr},
  };
  for (const auto& c : cases) {
    const auto result = validate_transfers(c.transfers);
    if (c.error == nullptr) {
      EXPECT_TRUE(result.has_value()) << c.label;
    } else {
      EXPECT_EQ(result.error(), CompileError::graph(c.error)) << c.label;
    }
  }
}

}  // namespace
}  // namespace zelk_compiler
