// zelkc graph: the encoder block (or a stack of blocks) as a graph file.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "commands/flags.hpp"
#include "failure.hpp"

namespace zelkc {

struct GraphFlags {
  EncoderFlags encoder;
  std::string output;  // standard output when empty
};

CLI::App* add_graph_command(CLI::App& app, GraphFlags& flags);

// Checks the flags and returns the graph file's text for standard output (or
// writes it to the output file and returns nothing).
[[nodiscard]] Outcome<std::string> run_graph(const GraphFlags& flags);

}  // namespace zelkc
