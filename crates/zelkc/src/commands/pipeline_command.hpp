// The several-chip forms of `compile` and `fit`: --chips N|auto,
// --microbatches and --cut, the pipeline's summary and the fit verdict in
// chips.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <zelk_compiler/cost_model.hpp>
#include <zelk_compiler/pipeline.hpp>

#include "failure.hpp"
#include "inputs/workload.hpp"

namespace zelkc {

// What `compile` prints: the summary, the schedule (or pipeline) document or
// the printed form.
enum class Emit { Summary, Json, Text };

struct PipelineFlags {
  std::string chips;  // "auto" or a count; one chip, the usual compile, when empty
  std::optional<std::uint64_t> microbatches;
  std::vector<std::string> cut;
  std::vector<std::uint64_t> layers_per_stage;
  std::optional<std::uint64_t> link_bytes_per_cycle;

  [[nodiscard]] bool given() const { return !chips.empty(); }
};

// Declares --chips, --microbatches, --cut, --layers-per-stage and
// --link-bytes-per-cycle on `command`.
void add_pipeline_flags(CLI::App& command, PipelineFlags& flags);

// The library's pipeline options from the flags and the workload's planner;
// a usage failure for a --chips that is neither "auto" nor a count from 1,
// a count of 0, or a pipeline flag without --chips.
[[nodiscard]] Outcome<zelk_compiler::PipelineOptions> pipeline_options(
    const PipelineFlags& flags, const WorkloadFlags& workload);

// What `compile --chips` writes besides its summary.
struct PipelineOutputs {
  Emit emit = Emit::Summary;
  std::string output;  // standard output when empty
  std::string report;  // no report when empty
  std::uint16_t tile = 0;
  std::string trace;  // no timeline when empty
  // The cost model the cuts are chosen by and the timeline drawn with.
  zelk_compiler::CostModel cost;
};

// zelkc compile --chips: the workload compiled as a pipeline; its summary,
// the pipeline document or its printed form, and the report and timeline
// asked for.
[[nodiscard]] Outcome<std::string> run_compile_pipeline(const WorkloadFlags& workload,
                                                        const PipelineFlags& flags,
                                                        const PipelineOutputs& outputs);

// zelkc fit --chips: "fits on 2 chips; on 1, 244,112 bytes over the window"
// and the stages that fit.
[[nodiscard]] Outcome<std::string> run_fit_pipeline(const WorkloadFlags& workload,
                                                    const PipelineFlags& flags);

// 1234567 as "1,234,567".
[[nodiscard]] std::string grouped(std::uint64_t value);

}  // namespace zelkc
