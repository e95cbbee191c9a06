// What `compile` and `fit` work on: the encoder block (or a stack), a graph
// file or an ONNX model, the target's options and the memory planner, with the
// flags that choose them.
#pragma once

#include <string>

#include <CLI/CLI.hpp>
#include <zelk_compiler/compiler.hpp>
#include <zelk_compiler/graph.hpp>

#include "commands/flags.hpp"
#include "failure.hpp"
#include "inputs/onnx_input.hpp"
#include "inputs/precision_input.hpp"

namespace zelkc {

struct WorkloadFlags {
  EncoderFlags encoder;
  std::string graph_file;  // the encoder block when empty; "-" for standard input
  OnnxFlags onnx;          // an ONNX model instead, when it names a file
  zelk_compiler::CompilerOptions options;
  zelk_compiler::PlanningOptions planning;
  PrecisionFlags precision;

  // Whether the workload is the built-in encoder rather than a file.
  [[nodiscard]] bool builds_encoder() const { return graph_file.empty() && onnx.file.empty(); }
};

// Declares the encoder flags, --graph and --onnx (which exclude them and each
// other), --dim, --tiles, --data-base, --data-limit, --planner and the
// precision flags on `command`; `verb` says what the command does with the
// file ("Compile").
void add_workload_flags(CLI::App& command, WorkloadFlags& flags, const std::string& verb);

// Every check of the flags that needs no file and no compilation.
[[nodiscard]] Outcome<void> check_workload_flags(const WorkloadFlags& flags);

struct Workload {
  zelk_compiler::Graph graph;
  // "encoder block (sequence 32, ...)" or "graph file encoder.json".
  std::string description;
};

// The graph the flags name, read or built, in the precision they ask for.
[[nodiscard]] Outcome<Workload> load_workload(const WorkloadFlags& flags);

}  // namespace zelkc
