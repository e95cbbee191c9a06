// zelkc compile.
#include "commands/compile_command.hpp"

#include <array>
#include <chrono>
#include <exception>
#include <sstream>
#include <utility>
#include <vector>

#include <zelk_compiler/debug.hpp>
#include <zelk_compiler/fit.hpp>
#include <zelk_compiler/fit_text.hpp>

#include "formats/schedule_json.hpp"
#include "outputs/memory_map.hpp"
#include "outputs/output_files.hpp"
#include "outputs/printed_text.hpp"
#include "outputs/report.hpp"
#include "outputs/summary.hpp"
#include "outputs/trace.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

CLI::App* add_compile_command(CLI::App& app, CompileFlags& flags) {
  CLI::App* command = app.add_subcommand(
      "compile", "Compile the encoder block (or a graph file or ONNX model) and summarise it");
  add_workload_flags(*command, flags.workload, "Compile");
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
  command->add_option("--trace", flags.trace,
                      "Write the schedule's timeline to this file as Chrome trace-event JSON "
                      "(Perfetto, chrome://tracing); its durations are estimates from the cost "
                      "model of the three flags below");
  const CostModel defaults;
  add_unsigned(*command, "--clock-mhz", flags.clock_mhz, "The cost model's clock, in MHz")
      ->default_str(std::to_string(defaults.clock_mhz));
  add_unsigned(*command, "--macs-per-cycle", flags.macs_per_cycle,
               "Multiply-accumulates per cycle of each of a tile's workers")
      ->default_str(std::to_string(defaults.macs_per_cycle));
  add_unsigned(*command, "--exchange-bytes-per-cycle", flags.exchange_bytes_per_cycle,
               "Bytes a tile sends, and receives, per cycle of an exchange")
      ->default_str(std::to_string(defaults.exchange_bytes_per_cycle));
  add_pipeline_flags(*command, flags.pipeline);
  return command;
}

namespace {

// The cost model's flags by name, each empty unless given.
std::array<std::pair<std::string_view, std::optional<std::uint64_t>>, 3> cost_flags(
    const CompileFlags& flags) {
  return {{{"--clock-mhz", flags.clock_mhz},
           {"--macs-per-cycle", flags.macs_per_cycle},
           {"--exchange-bytes-per-cycle", flags.exchange_bytes_per_cycle}}};
}

CostModel cost_model(const CompileFlags& flags) {
  const CostModel defaults;
  return CostModel{
      .clock_mhz = flags.clock_mhz.value_or(defaults.clock_mhz),
      .macs_per_cycle = flags.macs_per_cycle.value_or(defaults.macs_per_cycle),
      .exchange_bytes_per_cycle =
          flags.exchange_bytes_per_cycle.value_or(defaults.exchange_bytes_per_cycle),
  };
}

}  // namespace

Outcome<void> check_compile_flags(const CompileFlags& flags) {
  if (auto checked = check_workload_flags(flags.workload); !checked) {
    return checked;
  }
  for (const auto& [name, value] : cost_flags(flags)) {
    if (!value) {
      continue;
    }
    // The cost model draws the timeline, and with --chips it weighs the cuts.
    if (flags.trace.empty() && !flags.pipeline.given()) {
      return std::unexpected(Failure::usage(std::string(name) + ": needs --trace or --chips"));
    }
    if (*value == 0) {
      return std::unexpected(Failure::usage(std::string(name) + ": must be at least 1"));
    }
  }
  if (flags.tile) {
    if (flags.memory_map.empty() && flags.report.empty()) {
      return std::unexpected(Failure::usage("--tile: needs --memory-map or --report"));
    }
    if (*flags.tile >= flags.workload.options.tile_count) {
      return std::unexpected(Failure::usage("--tile: tile " + std::to_string(*flags.tile) +
                                            " is not below --tiles " +
                                            std::to_string(flags.workload.options.tile_count)));
    }
  }
  return {};
}

namespace {

// The library's message and, for memory, the fit diagnosis's lines under it.
Failure compile_failure(const zc::Graph& graph, const WorkloadFlags& flags,
                        const zc::CompileError& error) {
  std::string message = zc::debug_string(error);
  if (error.kind == zc::CompileError::Kind::Memory) {
    if (const auto diagnosis = zc::diagnose_fit(graph, flags.options, flags.planning)) {
      std::string lines =
          zc::misfit_lines(*diagnosis, zc::failing_op_name(graph, *diagnosis), graph.tensors);
      if (!lines.empty()) {
        lines.pop_back();  // the last newline ends the whole message
        message += '\n' + lines;
      }
    }
  }
  return Failure::refused(std::move(message));
}

}  // namespace

Outcome<std::string> run_compile(const CompileFlags& flags) {
  if (auto checked = check_compile_flags(flags); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  if (flags.pipeline.given()) {
    if (!flags.memory_map.empty()) {
      return std::unexpected(Failure::usage(
          "--chips: --memory-map draws one chip; --report draws the memory of every chip"));
    }
    return run_compile_pipeline(flags.workload, flags.pipeline,
                                PipelineOutputs{.emit = flags.emit,
                                                .output = flags.output,
                                                .report = flags.report,
                                                .tile = flags.tile.value_or(0),
                                                .trace = flags.trace,
                                                .cost = cost_model(flags)});
  }
  if (auto options = pipeline_options(flags.pipeline, flags.workload); !options) {
    return std::unexpected(std::move(options.error()));
  }

  auto workload = load_workload(flags.workload);
  if (!workload) {
    return std::unexpected(std::move(workload.error()));
  }
  const zc::Graph& graph = workload->graph;
  const zc::CompilerOptions& options = flags.workload.options;
  SummaryContext context{.workload = workload->description,
                         .options = options,
                         .planner = zc::planner_name(flags.workload.planning.strategy)};
  if (flags.workload.builds_encoder() && flags.workload.encoder.heads_given) {
    context.notes.emplace_back(
        "--heads does not change the compiled graph (the block computes attention over the "
        "whole width)");
  }

  const auto started = std::chrono::steady_clock::now();
  zc::Result<zc::Schedule> schedule;
  try {
    schedule = zc::compile(graph, options, flags.workload.planning);
  } catch (const std::exception& error) {
    // Sizes beyond what the library supports (an element count past 64 bits)
    // are refused by a thrown exception rather than a CompileError.
    return std::unexpected(Failure::refused(std::string("cannot compile: ") + error.what()));
  }
  context.compile_time = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now() - started);
  if (!schedule) {
    return std::unexpected(compile_failure(graph, flags.workload, schedule.error()));
  }

  const Summary summary = summarize(graph, *schedule);
  std::string text;
  switch (flags.emit) {
    case Emit::Summary: {
      std::ostringstream out;
      write_summary(out, summary, context);
      text = std::move(out).str();
      break;
    }
    case Emit::Json:
      text = write_schedule_json(graph, options, *schedule);
      break;
    case Emit::Text:
      text = indent_printed_form(zc::debug_string(*schedule)) + '\n';
      break;
  }
  const std::uint16_t tile = flags.tile.value_or(0);
  std::vector<OutputFile> files;
  if (!flags.memory_map.empty()) {
    files.push_back({flags.memory_map, memory_map_svg(graph, options, *schedule, tile)});
  }
  if (!flags.report.empty()) {
    files.push_back({flags.report, report_html(graph, *schedule, summary, context, tile)});
  }
  if (!flags.trace.empty()) {
    files.push_back(
        {flags.trace, trace_json(graph, *schedule, summary, cost_model(flags), context.workload)});
  }
  return deliver(flags.output, std::move(text), std::move(files));
}

}  // namespace zelkc
