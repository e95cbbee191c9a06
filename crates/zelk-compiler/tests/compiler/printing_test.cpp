// Printed forms of the compiler's records.
#include <gtest/gtest.h>

#include "zelk_compiler/compiler.hpp"
#include "zelk_compiler/debug.hpp"

namespace zelk_compiler {
namespace {

TEST(CompilerPrinting, Records) {
  EXPECT_EQ(debug_string(Transfer{0, 8, TensorId{17}, 1024}),
            "Transfer { source_tile: 0, destination_tile: 8, tensor: TensorId(17), bytes: 1024 }");
  EXPECT_EQ(debug_string(Layout{TensorId{2}, {0, 1}, Sharding::Columns, 16}),
            "Layout { tensor: TensorId(2), tiles: [0, 1], sharding: Columns, alignment: 16 }");
  EXPECT_EQ(debug_string(Allocation{TensorId{3}, 1, 0x52000, 1024, 0, 10}),
            "Allocation { tensor: TensorId(3), tile: 1, address: 335872, size: 1024, "
            "live_from: 0, live_until: 10 }");
  EXPECT_EQ(debug_string(CompilerOptions{}),
            "CompilerOptions { tile_count: 64, data_base: 335872, data_limit: 917504 }");
  const KernelCommand command{0,
                              TensorId{4},
                              {TensorId{1}, TensorId{1}},
                              SpecializationKey{"softmax", {4, 4}, 1, "tail", 16}};
  EXPECT_EQ(debug_string(command),
            "KernelCommand { tile: 0, output: TensorId(4), inputs: [TensorId(1), TensorId(1)], "
            "specialization: SpecializationKey { operation: \"softmax\", shape: [4, 4], "
            "worker_count: 1, role: \"tail\", alignment: 16 } }");
  EXPECT_EQ(debug_string(Phase{Exchange{}}), "Exchange { transfers: [] }");
  EXPECT_EQ(debug_string(Phase{Compute{OpId{1}, {}}}), "Compute { op: OpId(1), commands: [] }");
  Schedule schedule;
  schedule.tile_count = 2;
  schedule.peak_sram = {{0, 9216}, {1, 9216}};
  EXPECT_EQ(debug_string(schedule),
            "Schedule { layouts: [], phases: [], allocations: [], tile_count: 2, "
            "peak_sram: {0: 9216, 1: 9216} }");
}

TEST(CompilerRecords, EqualityIsFieldByField) {
  const SpecializationKey body{"matmul", {4, 4}, 6, "body", 16};
  SpecializationKey tail = body;
  tail.role = "tail";
  EXPECT_NE(body, tail);
  EXPECT_NE(Phase{Exchange{}}, Phase{Compute{}});
  const KernelCommand ab{0, TensorId{2}, {TensorId{0}, TensorId{1}}, body};
  KernelCommand ba = ab;
  ba.inputs = {TensorId{1}, TensorId{0}};
  EXPECT_NE(ab, ba);
}

}  // namespace
}  // namespace zelk_compiler
