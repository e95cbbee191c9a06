// Estimated durations of a schedule's phases. A schedule says what runs
// where, not how long it takes, so every duration comes from a deliberately
// simple model:
//
// - A compute phase: each tile runs its kernel command on its share of the
//   output, `local_bytes / element size` elements (rounded up). A matrix
//   product costs one multiply-accumulate per element per step of the inner
//   dimension, every other kernel one operation per element; a tile does
//   `macs_per_cycle * workers` of them per cycle (workers from the command's
//   specialisation key). The phase lasts as long as its slowest tile.
// - An exchange phase: each tile sends and receives at the same time,
//   `exchange_bytes_per_cycle` each way, so it takes its larger direction;
//   the phase lasts as long as its busiest tile.
// - Phases do not overlap: each starts when the one before it has finished.
//
// Cycles are whole numbers held in doubles, so that sums of them stay exact
// far past any schedule's length.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <type_traits>
#include <vector>

#include "zelk_compiler/compiler.hpp"
#include "zelk_compiler/fields.hpp"
#include "zelk_compiler/graph.hpp"

namespace zelk_compiler {

struct CostModel {
  std::uint64_t clock_mhz = 1000;
  std::uint64_t macs_per_cycle = 4;            // per worker
  std::uint64_t exchange_bytes_per_cycle = 4;  // per tile, each way

  // Every rate above 0.
  [[nodiscard]] bool valid() const {
    return clock_mhz != 0 && macs_per_cycle != 0 && exchange_bytes_per_cycle != 0;
  }

  friend bool operator==(const CostModel&, const CostModel&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<CostModel>) {
  return describe_record<CostModel>(
      "CostModel", field("clock_mhz", &CostModel::clock_mhz),
      field("macs_per_cycle", &CostModel::macs_per_cycle),
      field("exchange_bytes_per_cycle", &CostModel::exchange_bytes_per_cycle));
}

// What each tile computes of `op` in `schedule`: its share of the output in
// whole elements, and the work on it (elements times the inner dimension for
// a matrix product, the elements for every other kind). Throws
// std::out_of_range when `op` names tensors or layouts the graph and the
// schedule do not have.
struct TileWork {
  double elements = 0;
  double work = 0;
};
[[nodiscard]] TileWork tile_work(const Graph& graph, const Schedule& schedule, const Op& op);

// Cycles of one tile's kernel command doing `work` with `workers` workers
// (0 counts as 1). Throws std::invalid_argument for an invalid model.
[[nodiscard]] double kernel_cycles(double work, std::uint8_t workers, const CostModel& model);

// Cycles of one tile sending or receiving `bytes` in an exchange. Throws
// std::invalid_argument for an invalid model.
[[nodiscard]] double exchange_cycles(std::uint64_t bytes, const CostModel& model);

// The estimated cycles of every phase of `schedule`, in order. Throws
// std::invalid_argument for an invalid model and std::out_of_range for a
// schedule whose records name tensors, operations, layouts or tiles that
// `graph` and the schedule do not have.
[[nodiscard]] std::vector<double> phase_cycles(const Graph& graph, const Schedule& schedule,
                                               const CostModel& model);

std::ostream& operator<<(std::ostream& out, const CostModel& model);

}  // namespace zelk_compiler
