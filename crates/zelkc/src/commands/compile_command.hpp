// zelkc compile: compile the encoder block, a graph file or an ONNX model and
// show the schedule as a summary, JSON or its printed form, with a memory map
// picture, an HTML report and a timeline on request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>
#include <zelk_compiler/compiler.hpp>

#include "commands/flags.hpp"
#include "commands/pipeline_command.hpp"
#include "failure.hpp"
#include "inputs/workload.hpp"

namespace zelkc {

struct CompileFlags {
  WorkloadFlags workload;
  Emit emit = Emit::Summary;
  std::string output;      // standard output when empty
  std::string memory_map;  // no picture when empty
  std::optional<std::uint16_t> tile;
  std::string report;  // no report when empty
  std::string trace;   // no timeline when empty
  // The timeline's cost model, where given (each needs --trace).
  std::optional<std::uint64_t> clock_mhz;
  std::optional<std::uint64_t> macs_per_cycle;
  std::optional<std::uint64_t> exchange_bytes_per_cycle;
  PipelineFlags pipeline;  // several chips, when --chips is given
};

CLI::App* add_compile_command(CLI::App& app, CompileFlags& flags);

// Every check of the flags that needs no file and no compilation.
[[nodiscard]] Outcome<void> check_compile_flags(const CompileFlags& flags);

// Checks the flags, compiles, writes the files asked for and returns what
// goes to standard output.
[[nodiscard]] Outcome<std::string> run_compile(const CompileFlags& flags);

}  // namespace zelkc
