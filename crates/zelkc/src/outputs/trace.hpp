// A timeline of a schedule in the Chrome trace-event format (the
// "traceEvents" JSON that Perfetto and chrome://tracing open).
//
// Every duration comes from the library's cost model
// (zelk_compiler/cost_model.hpp).
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
#include <zelk_compiler/cost_model.hpp>
#include <zelk_compiler/graph.hpp>

#include "outputs/summary.hpp"

namespace zelkc {

using CostModel = zelk_compiler::CostModel;

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
