// zelkc: compile the encoder block, a graph file or an ONNX model and inspect
// the schedule as a summary, JSON, its printed form, a memory map picture or
// an HTML report; say whether it fits tile memory and why not; export the
// encoder or an ONNX model as a graph file; evaluate the host reference; place
// a list of buffers within a capacity; say which zelkc this is. This file
// only wires the commands to the command line: each command's flags, checks
// and work live in its own file of zelkc_core.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands/command_line.hpp"
#include "commands/compile_command.hpp"
#include "commands/fit_command.hpp"
#include "commands/graph_command.hpp"
#include "commands/import_command.hpp"
#include "commands/plan_buffers_command.hpp"
#include "commands/reference_command.hpp"
#include "commands/version_command.hpp"

namespace {

int run(int argc, char** argv) {
  CLI::App app{"zelkc: compile graphs for the tile processor and inspect their schedules"};
  app.name("zelkc");
  app.require_subcommand(1);

  zelkc::CompileFlags compile_flags;
  zelkc::FitFlags fit_flags;
  zelkc::GraphFlags graph_flags;
  zelkc::ImportFlags import_flags;
  zelkc::ReferenceFlags reference_flags;
  zelkc::PlanBuffersFlags plan_buffers_flags;
  const CLI::App* compile = zelkc::add_compile_command(app, compile_flags);
  const CLI::App* fit = zelkc::add_fit_command(app, fit_flags);
  const CLI::App* graph = zelkc::add_graph_command(app, graph_flags);
  const CLI::App* import = zelkc::add_import_command(app, import_flags);
  const CLI::App* reference = zelkc::add_reference_command(app, reference_flags);
  const CLI::App* plan_buffers = zelkc::add_plan_buffers_command(app, plan_buffers_flags);
  const CLI::App* version = zelkc::add_version_command(app);

  const auto parsed =
      zelkc::parse_command_line(app, std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed) {
    return zelkc::finish(std::unexpected(parsed.error()), std::cout, std::cerr);
  }
  if (!*parsed) {
    return zelkc::flush_output(std::cout, std::cerr);  // a help text was printed
  }
  if (compile->parsed()) {
    return zelkc::finish(zelkc::run_compile(compile_flags), std::cout, std::cerr);
  }
  if (fit->parsed()) {
    return zelkc::finish(zelkc::run_fit(fit_flags), std::cout, std::cerr);
  }
  if (graph->parsed()) {
    return zelkc::finish(zelkc::run_graph(graph_flags), std::cout, std::cerr);
  }
  if (import->parsed()) {
    return zelkc::finish(zelkc::run_import(import_flags), std::cout, std::cerr);
  }
  if (reference->parsed()) {
    return zelkc::finish(zelkc::run_reference(reference_flags), std::cout, std::cerr);
  }
  if (plan_buffers->parsed()) {
    return zelkc::finish(zelkc::run_plan_buffers(plan_buffers_flags), std::cout, std::cerr);
  }
  if (version->parsed()) {
    return zelkc::finish(zelkc::version_text(), std::cout, std::cerr);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "zelkc: error: " << error.what() << '\n';
    return 1;
  }
}
