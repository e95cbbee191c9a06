// zelkc plan-buffers: offsets for a CSV list of buffers within a capacity.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "failure.hpp"

namespace zelkc {

struct PlanBuffersFlags {
  std::string input;                      // the CSV file, or "-" for standard input
  std::optional<std::uint64_t> capacity;  // required
  double time_limit = 10;                 // seconds of search
  std::string output;                     // standard output when empty
};

CLI::App* add_plan_buffers_command(CLI::App& app, PlanBuffersFlags& flags);

// Reads and places the buffers. Returns the CSV with offsets for standard
// output, or, with --output, writes it there and returns the summary.
[[nodiscard]] Outcome<std::string> run_plan_buffers(const PlanBuffersFlags& flags);

}  // namespace zelkc
