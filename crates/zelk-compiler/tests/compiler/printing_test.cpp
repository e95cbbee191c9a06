// Printed forms of the compiler's records.
#include <gtest/gtest.h>

#include "zelk_compiler/compiler.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/fit.hpp"

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

TEST(CompilerPrinting, PlanningAndFitRecords) {
  EXPECT_EQ(debug_string(PlanningOptions{}),
            "PlanningOptions { strategy: FirstFit, search_steps: 20000 }");
  const LiveBuffer live{TensorId{2}, "w\"q", TensorKind::Weight, 64, 0, 3};
  EXPECT_EQ(debug_string(live),
            "LiveBuffer { tensor: TensorId(2), name: \"w\\\"q\", kind: Weight, bytes: 64, "
            "live_from: 0, live_until: 3 }");
  const GroupFit group{.first_tile = 0,
                       .last_tile = 3,
                       .tile_count = 4,
                       .buffers = 5,
                       .lower_bound = 1024,
                       .first_fit_peak = 2048,
                       .best_peak = std::nullopt,
                       .headroom = -1024};
  EXPECT_EQ(debug_string(group),
            "GroupFit { first_tile: 0, last_tile: 3, tile_count: 4, buffers: 5, lower_bound: 1024, "
            "first_fit_peak: Some(2048), best_peak: None, headroom: Some(-1024) }");
  const FitFailure failure{.group = 0,
                           .phase = 6,
                           .op = OpId{5},
                           .exchange = true,
                           .live = {live},
                           .weight_bytes = 64,
                           .activation_bytes = 0,
                           .bound_over_window = 1};
  const FitDiagnosis diagnosis{.strategy = PlacementStrategy::Best,
                               .window = 1000,
                               .groups = {group},
                               .fits = false,
                               .failure = failure};
  EXPECT_EQ(debug_string(diagnosis),
            "FitDiagnosis { strategy: Best, window: 1000, groups: [" + debug_string(group) +
                "], fits: false, failure: Some(FitFailure { group: 0, phase: 6, op: Some(OpId(5)), "
                "exchange: true, live: [" +
                debug_string(live) +
                "], weight_bytes: 64, activation_bytes: 0, bound_over_window: 1 }) }");
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
