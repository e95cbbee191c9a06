// Tensors of 16-bit and integer types: layouts, shares, transfers, memory and
// fit sized by each tensor's own type, and kernel keys that tell the types
// apart while 32-bit keys stay as they are.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "compiler/test_graphs.hpp"
#include "support/random_graphs.hpp"
#include "support/schedule_checker.hpp"
#include "zelk_compiler/compiler.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/fit.hpp"

namespace zelk_compiler {
namespace {

using test_support::make_tensor;
using test_support::Random;

// `graph` with every tensor of type `dtype`: the graph the builders make
// from sources of that type.
Graph retyped(Graph graph, DType dtype) {
  for (Tensor& tensor : graph.tensors) {
    tensor.dtype = dtype;
  }
  return graph;
}

// x [256, 256] times w [256, 256], then GELU: every tensor spans all 64
// tiles in 16 and in 32 bits, so only the share of each tile differs.
Graph wide_graph(DType dtype) {
  Graph graph;
  const TensorId x = graph.input("x", {256, 256}, dtype);
  const TensorId w = graph.weight("w", {256, 256}, dtype);
  graph.mark_output(*graph.gelu("z", *graph.matmul("y", x, w)));
  return graph;
}

std::vector<const Compute*> computes(const Schedule& schedule) {
  std::vector<const Compute*> found;
  for (const Phase& phase : schedule.phases) {
    if (const auto* compute = std::get_if<Compute>(&phase)) found.push_back(compute);
  }
  return found;
}

TEST(ElementSizes, LayoutsAndSharesFollowTheElementSize) {
  struct Case {
    DType dtype;
    std::size_t tiles;
    std::uint64_t local;
  };
  // [32, 64]: 2,048 elements.
  const std::vector<Case> cases = {
      {DType::F32, 8, 1024}, {DType::F16, 4, 1024},  {DType::BF16, 4, 1024},
      {DType::I32, 8, 1024}, {DType::I64, 16, 1024},
  };
  for (const Case& c : cases) {
    Tensor tensor = make_tensor({32, 64});
    tensor.dtype = c.dtype;
    const Layout layout = choose_layout(tensor, 64);
    EXPECT_EQ(layout.tiles.size(), c.tiles) << debug_string(c.dtype);
    EXPECT_EQ(local_bytes(tensor, layout), c.local) << debug_string(c.dtype);
    // The worker count counts elements, whatever their size.
    EXPECT_EQ(worker_count(tensor), 6);
  }
  // 513 half-precision elements are 1,026 bytes: two tiles of 513.
  Tensor odd = make_tensor({513});
  odd.dtype = DType::F16;
  const Layout layout = choose_layout(odd, 64);
  EXPECT_EQ(layout.tiles.size(), 2U);
  EXPECT_EQ(local_bytes(odd, layout), 513U);
  Tensor bad = make_tensor({2});
  bad.dtype = static_cast<DType>(99);
  EXPECT_THROW((void)choose_layout(bad, 64), std::invalid_argument);
}

TEST(ElementSizes, A16BitGraphNeedsHalfTheMemory) {
  const auto wide = compile(wide_graph(DType::F32), CompilerOptions{});
  ASSERT_TRUE(wide.has_value()) << wide.error();
  for (const DType half : {DType::F16, DType::BF16}) {
    const Graph graph = wide_graph(half);
    const auto narrow = compile(graph, CompilerOptions{});
    ASSERT_TRUE(narrow.has_value()) << narrow.error();
    EXPECT_TRUE(test_support::check_schedule(graph, CompilerOptions{}, *narrow).empty());
    EXPECT_EQ(narrow->layouts, wide->layouts);
    ASSERT_EQ(narrow->allocations.size(), wide->allocations.size());
    for (std::size_t i = 0; i < narrow->allocations.size(); ++i) {
      EXPECT_EQ(narrow->allocations[i].size * 2, wide->allocations[i].size) << i;
    }
    ASSERT_EQ(narrow->peak_sram.size(), wide->peak_sram.size());
    for (const auto& [tile, peak] : wide->peak_sram) {
      EXPECT_EQ(narrow->peak_sram.at(tile) * 2, peak) << "tile " << tile;
    }
  }
}

TEST(ElementSizes, TransfersCarryEachTensorsOwnBytes) {
  // a [3, 100] is sent to the tiles of the wider concatenation; its share
  // per tile: 1,200 bytes over 2 tiles in F32, 600 on 1 in F16, 2,400 over
  // 3 in I64.
  struct Case {
    DType dtype;
    std::uint32_t share;
  };
  for (const Case c : {Case{DType::F32, 600}, Case{DType::F16, 600}, Case{DType::I64, 800}}) {
    Graph graph;
    const TensorId a = graph.input("a", {3, 100}, c.dtype);
    const TensorId b = graph.input("b", {3, 300}, c.dtype);
    graph.mark_output(*graph.concat("c", {a, b}, 1));
    const auto schedule = compile(graph, CompilerOptions{});
    ASSERT_TRUE(schedule.has_value()) << schedule.error();
    EXPECT_TRUE(test_support::check_schedule(graph, CompilerOptions{}, *schedule).empty());
    const auto& exchange = std::get<Exchange>(schedule->phases.front());
    std::size_t sent = 0;
    for (const Transfer& transfer : exchange.transfers) {
      if (transfer.tensor == a) {
        EXPECT_EQ(transfer.bytes, c.share) << debug_string(c.dtype);
        ++sent;
      }
    }
    EXPECT_GT(sent, 0U) << debug_string(c.dtype);
  }
}

TEST(ElementSizes, KernelKeysNameTheTypesOfKernelsThatAreNot32Bit) {
  const auto wide = compile(wide_graph(DType::F32), CompilerOptions{});
  const auto half = compile(wide_graph(DType::F16), CompilerOptions{});
  const auto brain = compile(wide_graph(DType::BF16), CompilerOptions{});
  ASSERT_TRUE(wide && half && brain);
  const auto keys = [](const Schedule& schedule) {
    std::vector<std::string> operations;
    for (const Compute* compute : computes(schedule)) {
      operations.push_back(compute->commands.front().specialization.operation);
    }
    return operations;
  };
  EXPECT_EQ(keys(*wide), (std::vector<std::string>{"matmul", "gelu"}));
  EXPECT_EQ(keys(*half), (std::vector<std::string>{"matmul.f16", "gelu.f16"}));
  EXPECT_EQ(keys(*brain), (std::vector<std::string>{"matmul.bf16", "gelu.bf16"}));
  // Only the operation differs: shape, workers, role and alignment agree.
  SpecializationKey key = computes(*half).front()->commands.back().specialization;
  key.operation = "matmul";
  EXPECT_EQ(key, computes(*wide).front()->commands.back().specialization);

  // Records may mix types that no builder would: each operand's type, then
  // the output's.
  Graph mixed = wide_graph(DType::F16);
  mixed.tensors[1].dtype = DType::F32;
  const auto schedule = compile(mixed, CompilerOptions{});
  ASSERT_TRUE(schedule.has_value()) << schedule.error();
  EXPECT_EQ(keys(*schedule), (std::vector<std::string>{"matmul.f16.f32.f16", "gelu.f16"}));
  EXPECT_TRUE(test_support::check_schedule(mixed, CompilerOptions{}, *schedule).empty());
}

TEST(ElementSizes, CastsAreKeyedByBothTypesAndMoveEachTypesBytes) {
  // x [256, 256] in F32, to F16, a sigmoid in F16, back to F32.
  Graph graph;
  const TensorId x = graph.input("x", {256, 256});
  const TensorId half = *graph.cast("half", x, DType::F16);
  const TensorId gate = *graph.unary("gate", Sigmoid{}, half);
  graph.mark_output(*graph.cast("back", gate, DType::F32));
  graph.mark_output(*graph.cast("same", x, DType::F32));
  const auto schedule = compile(graph, CompilerOptions{});
  ASSERT_TRUE(schedule.has_value()) << schedule.error();
  std::vector<std::string> keys;
  for (const Compute* compute : computes(*schedule)) {
    keys.push_back(compute->commands.front().specialization.operation);
  }
  EXPECT_EQ(keys,
            (std::vector<std::string>{"cast.f32.f16", "sigmoid.f16", "cast.f16.f32", "cast"}));
  // Each side of a cast is sized by its own type: the F16 share is half.
  const auto share = [&](TensorId id) {
    return local_bytes(graph.tensors[id.index], schedule->layouts[id.index]);
  };
  EXPECT_EQ(share(half) * 2, share(x));
  EXPECT_TRUE(test_support::check_schedule(graph, CompilerOptions{}, *schedule).empty());
}

TEST(ElementSizes, TheFitLowerBoundHalvesIn16Bits) {
  const CompilerOptions options{.tile_count = 1};
  const auto wide = diagnose_fit(wide_graph(DType::F32), options);
  const auto half = diagnose_fit(wide_graph(DType::F16), options);
  ASSERT_TRUE(wide.has_value() && half.has_value());
  // The product's three 256 KiB operands and result on one tile cannot fit a
  // 568 KiB window; in 16 bits they can.
  EXPECT_FALSE(wide->fits);
  EXPECT_TRUE(half->fits);
  ASSERT_EQ(half->groups.size(), wide->groups.size());
  for (std::size_t i = 0; i < half->groups.size(); ++i) {
    EXPECT_EQ(half->groups[i].lower_bound * 2, wide->groups[i].lower_bound) << i;
  }
}

TEST(ElementSizes, AGatherIsKeyedByItsTableAndIdTypesAndPlacesItsTableLikeAnyWeight) {
  // An embedding: a [512, 64] table, ids [4, 32], rows [4, 32, 64].
  for (const DType table_type : {DType::F32, DType::F16}) {
    Graph graph;
    const TensorId table = graph.weight("table", {512, 64}, table_type);
    const TensorId ids = graph.input("ids", {4, 32}, DType::I64);
    const TensorId rows = *graph.gather("rows", table, ids);
    graph.mark_output(*graph.layer_norm("norm", rows, 1e-5F));
    const auto schedule = compile(graph, CompilerOptions{});
    ASSERT_TRUE(schedule.has_value()) << schedule.error();
    const std::string type(dtype_name(table_type));
    EXPECT_EQ(computes(*schedule).front()->commands.front().specialization.operation,
              "gather." + type + ".i64." + type);
    EXPECT_EQ(schedule->layouts[table.index].sharding, Sharding::Columns);
    EXPECT_EQ(local_bytes(graph.tensors[ids.index], schedule->layouts[ids.index]), 1024U);
    EXPECT_TRUE(test_support::check_schedule(graph, CompilerOptions{}, *schedule).empty());
  }
}

TEST(ElementSizes, GeneratedGraphsInEveryTypeGiveSoundSchedules) {
  Random random(20261210);
  int compiled = 0;
  for (int round = 0; round < 150; ++round) {
    const Graph base = test_support::random_graph(random);
    Graph graph = retyped(base, kDTypes[random.between(0, kDTypes.size() - 1)]);
    // Now and then records that mix types, which compile sizes all the same.
    if (random.chance(30)) {
      for (Tensor& tensor : graph.tensors) {
        tensor.dtype = kDTypes[random.between(0, kDTypes.size() - 1)];
      }
    }
    const CompilerOptions options = test_support::random_options(random);
    const auto schedule = compile(graph, options);
    if (!schedule) {
      ASSERT_EQ(schedule.error().kind, CompileError::Kind::Memory) << schedule.error();
      continue;
    }
    ++compiled;
    const auto problems = test_support::check_schedule(graph, options, *schedule);
    ASSERT_TRUE(problems.empty()) << "round " << round << ": " << problems.front();
  }
  EXPECT_GT(compiled, 50);
}

}  // namespace
}  // namespace zelk_compiler
