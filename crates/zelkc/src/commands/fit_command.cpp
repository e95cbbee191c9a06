// zelkc fit.
#include "commands/fit_command.hpp"

#include <exception>
#include <sstream>
#include <utility>
#include <vector>

#include <zelk_compiler/debug.hpp>
#include <zelk_compiler/fit.hpp>
#include <zelk_compiler/fit_text.hpp>

#include "commands/fit_search.hpp"
#include "outputs/summary.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

CLI::App* add_fit_command(CLI::App& app, FitFlags& flags) {
  CLI::App* command = app.add_subcommand(
      "fit",
      "Say whether the encoder block (or a graph file or ONNX model) fits tile memory, and if "
      "not, where, why and on how many tiles it does");
  add_workload_flags(*command, flags.workload, "Diagnose");
  add_pipeline_flags(*command, flags.pipeline);
  return command;
}

namespace {

// Whether the encoder the flags describe compiles with the flags' options,
// planner and precision.
bool encoder_fits(const EncoderFlags& encoder, const WorkloadFlags& flags) {
  auto graph = encoder_graph(encoder);
  if (!graph) {
    return false;
  }
  zc::TensorValues no_weights;
  std::string description;
  if (!convert_workload(flags.precision, *graph, no_weights, description)) {
    return false;
  }
  try {
    return zc::compile(*graph, flags.options, flags.planning).has_value();
  } catch (const std::exception&) {
    return false;  // sizes past what the library supports do not fit either
  }
}

std::string largest_text(std::optional<std::uint64_t> found) {
  return found ? std::to_string(*found) : std::string("none");
}

// For an encoder that does not fit: the largest sequence (and, for a stack,
// the largest layer count) that fits with everything else unchanged.
void write_largest_fitting(std::ostream& out, const WorkloadFlags& flags) {
  const EncoderFlags& encoder = flags.encoder;
  out << "largest that fits with --planner " << zc::planner_name(flags.planning.strategy)
      << " (bisection, compiling each size tried):\n";
  const auto sequence = largest_fitting(encoder.config.sequence, [&](std::uint64_t n) {
    EncoderFlags smaller = encoder;
    smaller.config.sequence = n;
    return encoder_fits(smaller, flags);
  });
  out << "  --sequence " << largest_text(sequence);
  if (encoder.layers) {
    out << " (with --layers " << *encoder.layers << ")";
  }
  out << '\n';
  if (encoder.layers) {
    const auto layers = largest_fitting(*encoder.layers, [&](std::uint64_t n) {
      EncoderFlags fewer = encoder;
      fewer.layers = n;
      return encoder_fits(fewer, flags);
    });
    out << "  --layers " << largest_text(layers) << " (with --sequence " << encoder.config.sequence
        << ")\n";
  }
}

// The fewest tiles that fit with each planner; nothing when the search fails,
// which the diagnosis that came first rules out.
std::vector<zc::FewestTiles> fewest_tiles(const zc::Graph& graph, const WorkloadFlags& flags) {
  try {
    auto found = zc::fewest_tiles(graph, flags.options, flags.planning);
    return found ? std::move(*found) : std::vector<zc::FewestTiles>{};
  } catch (const std::exception&) {
    return {};  // sizes past what the library supports on fewer tiles
  }
}

}  // namespace

Outcome<std::string> run_fit(const FitFlags& flags) {
  if (auto checked = check_workload_flags(flags.workload); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  if (flags.pipeline.given()) {
    return run_fit_pipeline(flags.workload, flags.pipeline);
  }
  if (auto options = pipeline_options(flags.pipeline, flags.workload); !options) {
    return std::unexpected(std::move(options.error()));
  }
  auto workload = load_workload(flags.workload);
  if (!workload) {
    return std::unexpected(std::move(workload.error()));
  }
  zc::Result<zc::FitDiagnosis> diagnosis;
  try {
    diagnosis = zc::diagnose_fit(workload->graph, flags.workload.options, flags.workload.planning);
  } catch (const std::exception& error) {
    return std::unexpected(Failure::refused(std::string("cannot compile: ") + error.what()));
  }
  if (!diagnosis) {
    return std::unexpected(Failure::refused(zc::debug_string(diagnosis.error())));
  }
  std::vector<zc::FewestTiles> fewest;
  if (!diagnosis->fits) {
    fewest = fewest_tiles(workload->graph, flags.workload);
  }
  std::ostringstream out;
  out << "workload:      " << workload->description << '\n';
  out << "options:       " << options_text(flags.workload.options) << '\n';
  zc::write_fit(out, *diagnosis, zc::failing_op_name(workload->graph, *diagnosis), fewest,
                flags.workload.options.tile_count, zc::kLiveRows, workload->graph.tensors);
  if (!diagnosis->fits && flags.workload.builds_encoder()) {
    write_largest_fitting(out, flags.workload);
  }
  return std::move(out).str();
}

}  // namespace zelkc
