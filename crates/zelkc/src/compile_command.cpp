// zelkc compile.
#include "compile_command.hpp"

#include <array>
#include <chrono>
#include <exception>
#include <sstream>
#include <utility>
#include <vector>

#include <zelk_compiler/debug.hpp>

#include "graph_json.hpp"
#include "input_files.hpp"
#include "memory_map.hpp"
#include "output_files.hpp"
#include "printed_text.hpp"
#include "report.hpp"
#include "schedule_json.hpp"
#include "summary.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

CLI::App* add_compile_command(CLI::App& app, CompileFlags& flags) {
  CLI::App* command =
      app.add_subcommand("compile", "Compile the encoder block (or a graph file) and summarise it");
  const std::vector<CLI::Option*> encoder = add_encoder_flags(*command, flags.encoder, true);
  add_unsigned(*command, "--tiles", flags.options.tile_count, "Tiles of the target");
  add_unsigned(*command, "--data-base", flags.options.data_base,
               "First byte of each tile's data window (decimal or 0x hex)");
  add_unsigned(*command, "--data-limit", flags.options.data_limit,
               "End of each tile's data window, exclusive (decimal or 0x hex)");
  CLI::Option* graph =
      command->add_option("--graph", flags.graph_file,
                          "Compile this graph file (- for standard input) instead of the encoder");
  for (CLI::Option* option : encoder) {
    graph->excludes(option);
  }
  static constexpr std::array<Choice<Emit>, 3> kEmits{{
      {"summary", Emit::Summary},
      {"json", Emit::Json},
      {"text", Emit::Text},
  }};
  add_choice(*command, "--emit", flags.emit, kEmits,
             "What to print: the summary, the schedule document (JSON) or the schedule's "
             "printed form, a record per line");
  command->add_option("-o,--output", flags.output,
                      "Write what --emit gives to this file instead of standard output");
  command->add_option("--memory-map", flags.memory_map,
                      "Draw one tile's memory over time into this SVG file");
  add_unsigned(*command, "--tile", flags.tile, "The tile of --memory-map and --report (default 0)");
  command->add_option("--report", flags.report, "Write a self-contained HTML report to this file");
  return command;
}

Outcome<void> check_compile_flags(const CompileFlags& flags) {
  if (flags.graph_file.empty()) {
    if (auto checked = check_encoder_flags(flags.encoder); !checked) {
      return checked;
    }
  }
  if (auto checked = check_compiler_options(flags.options); !checked) {
    return checked;
  }
  if (flags.tile) {
    if (flags.memory_map.empty() && flags.report.empty()) {
      return std::unexpected(Failure::usage("--tile: needs --memory-map or --report"));
    }
    if (*flags.tile >= flags.options.tile_count) {
      return std::unexpected(Failure::usage("--tile: tile " + std::to_string(*flags.tile) +
                                            " is not below --tiles " +
                                            std::to_string(flags.options.tile_count)));
    }
  }
  return {};
}

namespace {

Outcome<zc::Graph> graph_file(const std::string& path) {
  auto text = read_text_file(path);
  if (!text) {
    return std::unexpected(std::move(text.error()));
  }
  auto graph = read_graph_json(*text);
  if (!graph) {
    return std::unexpected(graph.error().at(path));
  }
  return graph;
}

}  // namespace

Outcome<std::string> run_compile(const CompileFlags& flags) {
  if (auto checked = check_compile_flags(flags); !checked) {
    return std::unexpected(std::move(checked.error()));
  }

  SummaryContext context{.workload = describe_encoder(flags.encoder), .options = flags.options};
  Outcome<zc::Graph> graph;
  if (!flags.graph_file.empty()) {
    context.workload = "graph file " + flags.graph_file;
    graph = graph_file(flags.graph_file);
  } else {
    context.notes.emplace_back(
        "--heads does not change the compiled graph (the block computes attention over the "
        "whole width)");
    graph = encoder_graph(flags.encoder);
  }
  if (!graph) {
    return std::unexpected(std::move(graph.error()));
  }

  const auto started = std::chrono::steady_clock::now();
  zc::Result<zc::Schedule> schedule;
  try {
    schedule = zc::compile(*graph, flags.options);
  } catch (const std::exception& error) {
    // Sizes beyond what the library supports (an element count past 64 bits)
    // are refused by a thrown exception rather than a CompileError.
    return std::unexpected(Failure::refused(std::string("cannot compile: ") + error.what()));
  }
  context.compile_time = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now() - started);
  if (!schedule) {
    return std::unexpected(Failure::refused(zc::debug_string(schedule.error())));
  }

  const Summary summary = summarize(*graph, *schedule);
  std::string text;
  switch (flags.emit) {
    case Emit::Summary: {
      std::ostringstream out;
      write_summary(out, summary, context);
      text = std::move(out).str();
      break;
    }
    case Emit::Json:
      text = write_schedule_json(*graph, flags.options, *schedule);
      break;
    case Emit::Text:
      text = indent_printed_form(zc::debug_string(*schedule)) + '\n';
      break;
  }
  const std::uint16_t tile = flags.tile.value_or(0);
  std::vector<OutputFile> files;
  if (!flags.memory_map.empty()) {
    files.push_back({flags.memory_map, memory_map_svg(*graph, flags.options, *schedule, tile)});
  }
  if (!flags.report.empty()) {
    files.push_back({flags.report, report_html(*graph, *schedule, summary, context, tile)});
  }
  return deliver(flags.output, std::move(text), std::move(files));
}

}  // namespace zelkc
