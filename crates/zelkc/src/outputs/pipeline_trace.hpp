// A pipeline's timeline in the Chrome trace-event format, as the single-chip
// trace writes it (outputs/trace.hpp): one process per chip, one for the
// link between chips and one for the microbatches passing through.
//
// Every microbatch goes through the stages in order. A stage starts a
// microbatch once the stage before has finished it and it has finished the
// microbatch before: it first receives what the earlier chips send (the
// link's cycles of those bytes), then runs its schedule's phases. So the
// first microbatches fill the pipeline, the chips then work side by side at
// the pace of the slowest stage, and the last microbatches drain it; the
// last one leaves the last chip after the pipeline's total cycles.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <zelk_compiler/cost_model.hpp>
#include <zelk_compiler/graph.hpp>
#include <zelk_compiler/pipeline.hpp>

namespace zelkc {

// starts[stage][microbatch]: the cycle at which the stage starts receiving
// the microbatch (or, receiving nothing from other chips, computing it).
using StageStarts = std::vector<std::vector<std::uint64_t>>;

// The start of every microbatch on every stage of `pipeline`, its stages
// taking their `cycles`; saturating.
[[nodiscard]] StageStarts stage_starts(const zelk_compiler::Pipeline& pipeline);

// The trace document: one event per line. `model` must be the cost model the
// pipeline was compiled with, so that each stage's phases add up to its
// compute cycles. Throws std::invalid_argument for a rate of 0 in `model`,
// and std::out_of_range for a stage whose schedule names tensors,
// operations or layouts its graph and schedule do not have.
[[nodiscard]] std::string pipeline_trace_json(const zelk_compiler::Graph& graph,
                                              const zelk_compiler::Pipeline& pipeline,
                                              const zelk_compiler::CostModel& model,
                                              std::string_view workload);

}  // namespace zelkc
