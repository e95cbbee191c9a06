// A timeline of a schedule in the Chrome trace-event format (the
// "traceEvents" JSON that Perfetto and chrome://tracing open).
//
// The schedule says what runs where, not how long it takes, so every
// duration comes from a deliberately simple cost model:
//
// - A compute phase: each tile runs its kernel command on its share of the
//   output, `local_bytes / 4` elements. A matrix product costs one
//   multiply-accumulate per element per step of the inner dimension, every
//   other kernel one operation per element; a tile does
//   `macs_per_cycle * workers` of them per cycle (workers from the command's
//   specialisation key).
// - An exchange phase: each tile sends and receives at the same time,
//   `exchange_bytes_per_cycle` each way, so it takes its larger direction.
// - Phases do not overlap: each starts when the slowest tile has finished
//   the one before it.
//
// Tracks: the whole schedule first (one slice per phase), then one per tile
// when few tiles hold buffers, otherwise one per tile group (consecutive
// tiles holding the same tensors). A track's slice in a phase lasts as long
// as its slowest tile; its counter "memory in use" gives the most bytes live
// on any of its tiles in each phase.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <zelk_compiler/compiler.hpp>
#include <zelk_compiler/graph.hpp>

#include "outputs/summary.hpp"

namespace zelkc {

struct CostModel {
  std::uint64_t clock_mhz = 1000;
  std::uint64_t macs_per_cycle = 4;            // per worker
  std::uint64_t exchange_bytes_per_cycle = 4;  // per tile, each way
};

// With at most this many tiles holding buffers, each gets a track.
inline constexpr std::size_t kMostTileTracks = 16;

// The trace document: one event per line. Timestamps and durations are in
// microseconds. Throws std::invalid_argument for a rate of 0 in `model`, and
// std::out_of_range for a schedule whose records name tensors, operations or
// layouts that `graph` and the schedule do not have.
[[nodiscard]] std::string trace_json(const zelk_compiler::Graph& graph,
                                     const zelk_compiler::Schedule& schedule,
                                     const Summary& summary, const CostModel& model,
                                     std::string_view workload);

}  // namespace zelkc
