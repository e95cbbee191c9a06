// zelkc fit: whether the workload fits tile memory, per group of tiles and
// under each planner, and when it does not, where and why, the fewest tiles
// on which it fits and the largest encoder that fits.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "commands/pipeline_command.hpp"
#include "failure.hpp"
#include "inputs/workload.hpp"

namespace zelkc {

struct FitFlags {
  WorkloadFlags workload;
  PipelineFlags pipeline;  // the fewest chips, when --chips is given
};

CLI::App* add_fit_command(CLI::App& app, FitFlags& flags);

// Checks the flags, diagnoses the workload and, when it does not fit,
// searches for the fewest tiles that fit with each planner and, for an
// encoder, for the largest --sequence and --layers that do; returns the text
// for standard output (also when the workload does not fit).
[[nodiscard]] Outcome<std::string> run_fit(const FitFlags& flags);

}  // namespace zelkc
