// What `compile` and `fit` work on: the encoder block (or a stack) or a graph
// file, the target's options and the memory planner, with the flags that
// choose them.
#pragma once

#include <string>

#include <CLI/CLI.hpp>
#include <zelk_compiler/compiler.hpp>
#include <zelk_compiler/graph.hpp>

#include "failure.hpp"
#include "flags.hpp"

namespace zelkc {

struct WorkloadFlags {
  EncoderFlags encoder;
  std::string graph_file;  // the encoder block when empty; "-" for standard input
  zelk_compiler::CompilerOptions options;
  zelk_compiler::PlanningOptions planning;
};

// Declares the encoder flags, --graph (which excludes them), --tiles,
// --data-base, --data-limit and --planner on `command`; `verb` says what the
// command does with the graph file ("Compile").
void add_workload_flags(CLI::App& command, WorkloadFlags& flags, const std::string& verb);

// Every check of the flags that needs no file and no compilation.
[[nodiscard]] Outcome<void> check_workload_flags(const WorkloadFlags& flags);

struct Workload {
  zelk_compiler::Graph graph;
  // "encoder block (sequence 32, ...)" or "graph file encoder.json".
  std::string description;
};

// The graph the flags name, read or built.
[[nodiscard]] Outcome<Workload> load_workload(const WorkloadFlags& flags);

}  // namespace zelkc
