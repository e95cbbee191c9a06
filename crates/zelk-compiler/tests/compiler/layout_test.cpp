// Options, layouts, per-tile shares and worker counts.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <stdexcept>

#include "compiler/test_graphs.hpp"
#include "zelk_compiler/compiler.hpp"
#include "zelk_compiler/debug.hpp"

namespace zelk_compiler {
namespace {

using test_support::make_tensor;
using test_support::prefix_layout;

TEST(CompilerOptions, DefaultsAndValidity) {
  const CompilerOptions options;
  EXPECT_EQ(options.tile_count, 64);
  EXPECT_EQ(options.data_base, 0x52000U);
  EXPECT_EQ(options.data_limit, 0xE0000U);
  EXPECT_TRUE(options.valid());
  struct Case {
    CompilerOptions options;
    std::optional<OptionsFault> fault;
  };
  const std::vector<Case> cases = {
      {{.tile_count = 0}, OptionsFault::NoTiles},
      {{.tile_count = 0, .data_base = 16, .data_limit = 16}, OptionsFault::NoTiles},
      {{.tile_count = 1, .data_base = 16, .data_limit = 16}, OptionsFault::EmptyDataWindow},
      {{.tile_count = 1, .data_base = 17, .data_limit = 16}, OptionsFault::EmptyDataWindow},
      {{.tile_count = 1, .data_base = 15, .data_limit = 16}, std::nullopt},
      {{.tile_count = 65535, .data_base = 3, .data_limit = 0xFFFFFFFF}, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(options_fault(c.options), c.fault) << c.options;
    EXPECT_EQ(c.options.valid(), !c.fault.has_value()) << c.options;
  }
  EXPECT_EQ(debug_string(OptionsFault::EmptyDataWindow), "EmptyDataWindow");
}

TEST(Layouts, OneTilePerStartedKibFromTileZero) {
  struct Case {
    std::vector<std::uint64_t> shape;
    TensorKind kind;
    std::uint16_t tile_count;
    std::size_t tiles;
    Sharding sharding;
    std::uint64_t local;
  };
  const std::vector<Case> cases = {
      {{1}, TensorKind::Input, 64, 1, Sharding::Replicated, 4},
      {{256}, TensorKind::Input, 64, 1, Sharding::Replicated, 1024},
      {{257}, TensorKind::Output, 64, 2, Sharding::Replicated, 514},
      {{32, 64}, TensorKind::Input, 64, 8, Sharding::Rows, 1024},
      {{64, 64}, TensorKind::Weight, 64, 16, Sharding::Columns, 1024},
      {{64, 256}, TensorKind::Weight, 64, 64, Sharding::Columns, 1024},
      {{1024, 1024}, TensorKind::Intermediate, 64, 64, Sharding::Rows, 65536},
      {{4, 32, 16}, TensorKind::Intermediate, 64, 8, Sharding::Heads, 1024},
      {{4, 32, 16}, TensorKind::Weight, 64, 8, Sharding::Heads, 1024},
      {{3000}, TensorKind::Weight, 64, 12, Sharding::Replicated, 1000},
      {{}, TensorKind::Input, 64, 1, Sharding::Replicated, 4},
      {{0, 5}, TensorKind::Input, 64, 1, Sharding::Rows, 0},
      {{32, 64}, TensorKind::Input, 1, 1, Sharding::Rows, 8192},
      {{7, 3}, TensorKind::Intermediate, 3, 1, Sharding::Rows, 84},
  };
  for (const auto& c : cases) {
    const Tensor tensor = make_tensor(c.shape, c.kind, 5);
    const Layout layout = choose_layout(tensor, c.tile_count);
    EXPECT_EQ(layout.tensor, TensorId{5});
    ASSERT_EQ(layout.tiles.size(), c.tiles) << ::testing::PrintToString(c.shape);
    for (std::size_t i = 0; i < layout.tiles.size(); ++i) {
      EXPECT_EQ(layout.tiles[i], i);
    }
    EXPECT_EQ(layout.sharding, c.sharding) << ::testing::PrintToString(c.shape);
    EXPECT_EQ(layout.alignment, 16U);
    EXPECT_EQ(local_bytes(tensor, layout), c.local) << ::testing::PrintToString(c.shape);
  }
}

TEST(Layouts, LocalBytesIgnoresShardingAndRoundsUp) {
  const Tensor tensor = make_tensor({10});  // 40 bytes
  Layout layout = prefix_layout(0, 3, Sharding::Replicated);
  EXPECT_EQ(local_bytes(tensor, layout), 14U);
  layout.sharding = Sharding::Heads;
  EXPECT_EQ(local_bytes(tensor, layout), 14U);
  layout.tiles = {9, 9, 9, 9};  // only the count matters
  EXPECT_EQ(local_bytes(tensor, layout), 10U);
}

TEST(Layouts, BrokenPreconditionsThrow) {
  const Tensor tensor = make_tensor({4});
  EXPECT_THROW((void)choose_layout(tensor, 0), std::invalid_argument);
  EXPECT_THROW((void)local_bytes(tensor, Layout{}), std::invalid_argument);
  const Tensor huge = make_tensor({std::uint64_t{1} << 62U});
  EXPECT_THROW((void)choose_layout(huge, 64), std::overflow_error);
  EXPECT_THROW((void)local_bytes(huge, prefix_layout(0, 1)), std::overflow_error);
  // Just below 2^64 bytes still works.
  const Tensor largest = make_tensor({(std::uint64_t{1} << 62U) - 1});
  const Layout layout = choose_layout(largest, 65535);
  EXPECT_EQ(layout.tiles.size(), 65535U);
  EXPECT_EQ(local_bytes(largest, layout),
            (std::numeric_limits<std::uint64_t>::max() - 3) / 65535 + 1);
}

TEST(Layouts, WorkerCountCountsElements) {
  EXPECT_EQ(worker_count(make_tensor({95})), 1);
  EXPECT_EQ(worker_count(make_tensor({96})), 6);
  EXPECT_EQ(worker_count(make_tensor({8, 12})), 6);
  EXPECT_EQ(worker_count(make_tensor({})), 1);
}

}  // namespace
}  // namespace zelk_compiler
