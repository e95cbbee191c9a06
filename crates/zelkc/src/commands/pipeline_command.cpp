// zelkc compile and fit with --chips.
#include "commands/pipeline_command.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <exception>
#include <iomanip>
#include <sstream>
#include <utility>

#include <zelk_compiler/debug.hpp>
#include <zelk_compiler/fit.hpp>
#include <zelk_compiler/fit_text.hpp>

#include "commands/flags.hpp"
#include "formats/pipeline_json.hpp"
#include "outputs/output_files.hpp"
#include "outputs/pipeline_report.hpp"
#include "outputs/pipeline_trace.hpp"
#include "outputs/printed_text.hpp"
#include "outputs/summary.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

void add_pipeline_flags(CLI::App& command, PipelineFlags& flags) {
  command.add_option("--chips", flags.chips,
                     "Split the workload into a pipeline of stages on this many chips alike, "
                     "or on the fewest that fit with 'auto'");
  add_unsigned_flag<std::uint64_t>(
      command, "--microbatches", flags.microbatches,
      "Inputs streamed through the pipeline, which the choice of cuts weighs (default 1)");
  command.add_option("--cut", flags.cut, "Cut after these operations instead of choosing")
      ->delimiter(',');
  command
      .add_option("--layers-per-stage", flags.layers_per_stage,
                  "Give the stages so many of the graph's layers each, in order, instead of "
                  "choosing (the counts add up to the graph's layers)")
      ->delimiter(',')
      ->excludes("--cut");
  add_unsigned_flag<std::uint64_t>(
      command, "--link-bytes-per-cycle", flags.link_bytes_per_cycle,
      "Bytes the link between two chips carries per cycle, which the choice of cuts weighs "
      "(default " +
          std::to_string(zc::PipelineOptions{}.link_bytes_per_cycle) + ")");
}

Outcome<zc::PipelineOptions> pipeline_options(const PipelineFlags& flags,
                                              const WorkloadFlags& workload) {
  zc::PipelineOptions options;
  if (!flags.given()) {
    const char* alone = flags.microbatches           ? "--microbatches"
                        : !flags.cut.empty()         ? "--cut"
                        : flags.link_bytes_per_cycle ? "--link-bytes-per-cycle"
                                                     : "--layers-per-stage";
    if (flags.microbatches || !flags.cut.empty() || !flags.layers_per_stage.empty() ||
        flags.link_bytes_per_cycle) {
      return std::unexpected(Failure::usage(std::string(alone) + ": needs --chips"));
    }
    return options;
  }
  options.planning = workload.planning;
  options.microbatches = flags.microbatches.value_or(1);
  options.cut_after = flags.cut;
  options.layers_per_stage = flags.layers_per_stage;
  if (flags.chips != "auto") {
    const char* end = flags.chips.data() + flags.chips.size();
    const auto parsed = std::from_chars(flags.chips.data(), end, options.chips);
    if (parsed.ec != std::errc{} || parsed.ptr != end || options.chips == 0) {
      return std::unexpected(
          Failure::usage("--chips: expected 'auto' or a count from 1, not '" + flags.chips + "'"));
    }
  }
  if (options.microbatches == 0) {
    return std::unexpected(Failure::usage("--microbatches: must be at least 1"));
  }
  options.link_bytes_per_cycle = flags.link_bytes_per_cycle.value_or(options.link_bytes_per_cycle);
  if (options.link_bytes_per_cycle == 0) {
    return std::unexpected(Failure::usage("--link-bytes-per-cycle: must be at least 1"));
  }
  return options;
}

// Built front to back by appends: g++ 12 at -O3 misreads an insert into
// the string as an overlapping copy.
std::string grouped(std::uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string out;
  for (std::size_t at = 0; at < digits.size(); ++at) {
    if (at != 0 && (digits.size() - at) % 3 == 0) {
      out += ',';
    }
    out += digits[at];
  }
  return out;
}

namespace {

std::uint64_t peak_of(const zc::Schedule& schedule) {
  std::uint64_t peak = 0;
  for (const auto& [tile, bytes] : schedule.peak_sram) {
    peak = std::max<std::uint64_t>(peak, bytes);
  }
  return peak;
}

std::uint64_t chip_bytes(const std::vector<zc::LinkTransfer>& transfers) {
  std::uint64_t bytes = 0;
  for (const zc::LinkTransfer& transfer : transfers) {
    bytes += transfer.from_chip ? transfer.bytes : 0;
  }
  return bytes;
}

// The workload compiled as a pipeline, or the failure to print.
Outcome<zc::Pipeline> compiled(const zc::Graph& graph, const WorkloadFlags& workload,
                               const zc::PipelineOptions& options) {
  try {
    auto pipeline = zc::compile_pipeline(graph, workload.options, options);
    if (!pipeline) {
      // The fit diagnosis under the first line reads as lines of its own.
      const zc::CompileError& error = pipeline.error();
      const std::size_t end = error.message.find('\n');
      std::string message =
          zc::debug_string(zc::CompileError{error.kind, error.message.substr(0, end)});
      if (end != std::string::npos) {
        message += error.message.substr(end);
      }
      return std::unexpected(Failure::refused(std::move(message)));
    }
    return std::move(*pipeline);
  } catch (const std::exception& error) {
    return std::unexpected(Failure::refused(std::string("cannot compile: ") + error.what()));
  }
}

// One line per stage, then the bottleneck and the whole pipeline's time.
void write_stages(std::ostream& out, const zc::Graph& graph, const zc::Pipeline& pipeline,
                  const zc::CompilerOptions& options) {
  const std::uint64_t window = options.data_limit - options.data_base;
  out << "stages (peak bytes per tile against the window; bytes over the link; estimated "
         "cycles):\n";
  std::vector<std::string> ranges;
  std::size_t width = std::string_view("operations").size();
  for (const zc::PipelineStage& stage : pipeline.stages) {
    ranges.push_back(graph.ops.at(stage.ops.front().index).name + " .. " +
                     graph.ops.at(stage.ops.back().index).name + " (" +
                     std::to_string(stage.ops.size()) + ")");
    width = std::max(width, ranges.back().size());
  }
  out << "  chip  " << std::left << std::setw(static_cast<int>(width)) << "operations" << std::right
      << "      peak    window    received        sent      cycles\n";
  for (const zc::PipelineStage& stage : pipeline.stages) {
    out << "  " << std::setw(4) << stage.chip << "  " << std::left
        << std::setw(static_cast<int>(width)) << ranges.at(stage.chip) << std::right
        << std::setw(10) << grouped(peak_of(stage.schedule)) << std::setw(10) << grouped(window)
        << std::setw(12) << grouped(chip_bytes(stage.received)) << std::setw(12)
        << grouped(chip_bytes(stage.sent)) << std::setw(12) << grouped(stage.cycles) << '\n';
  }
  const zc::PipelineStage& slowest = pipeline.stages.at(pipeline.bottleneck);
  out << "bottleneck:    chip " << slowest.chip << ", " << grouped(slowest.cycles)
      << " cycles a microbatch\n";
  std::ostringstream bubble;
  bubble << std::fixed << std::setprecision(1) << pipeline.bubble_fraction * 100.0;
  out << "pipeline:      " << grouped(pipeline.total_cycles) << " cycles for "
      << pipeline.microbatches << " microbatch" << (pipeline.microbatches == 1 ? "" : "es")
      << ", bubble " << bubble.str() << "%\n";
}

std::string chips_line(const zc::Pipeline& pipeline, const zc::PipelineOptions& options) {
  std::string line = "chips:         " + std::to_string(pipeline.stages.size());
  if (!options.cut_after.empty() || !options.layers_per_stage.empty()) {
    line += " (cut by hand)";
  } else if (options.chips == 0) {
    line += " (the fewest that fit)";
  }
  return line + '\n';
}

// "; on 1, 244,112 bytes over the window": how one chip falls short.
std::string one_chip_text(const zc::Graph& graph, const WorkloadFlags& workload) {
  try {
    const auto one = zc::diagnose_fit(graph, workload.options, workload.planning);
    if (!one) {
      return {};
    }
    if (one->fits) {
      return "; also on 1";
    }
    if (one->failure && one->failure->bound_over_window > 0) {
      return "; on 1, " + grouped(one->failure->bound_over_window) + " bytes over the window";
    }
    return "; on 1, a better placement than the planner's might fit";
  } catch (const std::exception&) {
    return "; on 1, past the sizes the library plans";
  }
}

// What both commands start from: the options, the workload and its
// pipeline, and the first lines of their text.
struct Compiled {
  zc::PipelineOptions options;
  Workload workload;
  zc::Pipeline pipeline;
  std::chrono::nanoseconds compile_time{0};
  std::ostringstream out;
};

Outcome<Compiled> compile_workload(const WorkloadFlags& workload, const PipelineFlags& flags,
                                   const zc::CostModel& cost = {}) {
  auto options = pipeline_options(flags, workload);
  if (!options) {
    return std::unexpected(std::move(options.error()));
  }
  options->cost = cost;
  auto loaded = load_workload(workload);
  if (!loaded) {
    return std::unexpected(std::move(loaded.error()));
  }
  const auto started = std::chrono::steady_clock::now();
  auto pipeline = compiled(loaded->graph, workload, *options);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  if (!pipeline) {
    return std::unexpected(std::move(pipeline.error()));
  }
  Compiled done{.options = std::move(*options),
                .workload = std::move(*loaded),
                .pipeline = std::move(*pipeline),
                .compile_time = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed),
                .out = {}};
  done.out << "workload:      " << done.workload.description << '\n';
  done.out << "options:       " << options_text(workload.options) << " per chip\n";
  return done;
}

}  // namespace

Outcome<std::string> run_compile_pipeline(const WorkloadFlags& workload, const PipelineFlags& flags,
                                          const PipelineOutputs& outputs) {
  auto done = compile_workload(workload, flags, outputs.cost);
  if (!done) {
    return std::unexpected(std::move(done.error()));
  }
  std::ostringstream& out = done->out;
  out << "planner:       " << zc::planner_name(workload.planning.strategy) << '\n';
  out << chips_line(done->pipeline, done->options);
  write_stages(out, done->workload.graph, done->pipeline, workload.options);
  std::string summary = std::move(out).str();

  const zc::Graph& graph = done->workload.graph;
  std::vector<OutputFile> files;
  try {
    if (!outputs.report.empty()) {
      const SummaryContext context{.workload = done->workload.description,
                                   .options = workload.options,
                                   .planner = zc::planner_name(workload.planning.strategy),
                                   .compile_time = done->compile_time};
      files.push_back(
          {outputs.report, pipeline_report_html(done->pipeline, summary, context, outputs.tile)});
    }
    if (!outputs.trace.empty()) {
      files.push_back({outputs.trace, pipeline_trace_json(graph, done->pipeline, outputs.cost,
                                                          done->workload.description)});
    }
  } catch (const std::exception& error) {
    return std::unexpected(Failure::refused(std::string("cannot write: ") + error.what()));
  }
  std::string text;
  switch (outputs.emit) {
    case Emit::Summary:
      text = std::move(summary);
      break;
    case Emit::Json:
      text = write_pipeline_json(graph, workload.options, done->pipeline);
      break;
    case Emit::Text:
      text = indent_printed_form(zc::debug_string(done->pipeline)) + '\n';
      break;
  }
  return deliver(outputs.output, std::move(text), std::move(files));
}

Outcome<std::string> run_fit_pipeline(const WorkloadFlags& workload, const PipelineFlags& flags) {
  auto done = compile_workload(workload, flags);
  if (!done) {
    return std::unexpected(std::move(done.error()));
  }
  std::ostringstream& out = done->out;
  const std::size_t chips = done->pipeline.stages.size();
  out << "verdict:       fits on " << chips << (chips == 1 ? " chip" : " chips");
  if (chips > 1) {
    out << one_chip_text(done->workload.graph, workload);
  }
  out << '\n';
  out << chips_line(done->pipeline, done->options);
  write_stages(out, done->workload.graph, done->pipeline, workload.options);
  return std::move(out).str();
}

}  // namespace zelkc
