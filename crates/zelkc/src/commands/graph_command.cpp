// zelkc graph.
#include "commands/graph_command.hpp"

#include <utility>

#include "formats/graph_json.hpp"
#include "outputs/output_files.hpp"

namespace zelkc {

CLI::App* add_graph_command(CLI::App& app, GraphFlags& flags) {
  CLI::App* command =
      app.add_subcommand("graph", "Write the encoder block (or a stack) as a graph file");
  add_encoder_flags(*command, flags.encoder, true);
  command->add_option("-o,--output", flags.output, "Write to this file instead of standard output");
  return command;
}

Outcome<std::string> run_graph(const GraphFlags& flags) {
  auto graph = encoder_graph(flags.encoder);
  if (!graph) {
    return std::unexpected(std::move(graph.error()));
  }
  auto text = write_graph_json(*graph);
  if (!text) {
    return std::unexpected(std::move(text.error()));
  }
  return deliver(flags.output, std::move(*text), {});
}

}  // namespace zelkc
