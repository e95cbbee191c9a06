// The workload flags shared by compile and fit.
#include "inputs/workload.hpp"

#include <array>
#include <utility>
#include <vector>

#include "formats/graph_json.hpp"
#include "inputs/input_files.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

void add_workload_flags(CLI::App& command, WorkloadFlags& flags, const std::string& verb) {
  const std::vector<CLI::Option*> encoder = add_encoder_flags(command, flags.encoder, true);
  CLI::Option* graph =
      command.add_option("--graph", flags.graph_file,
                         verb + " this graph file (- for standard input) instead of the encoder");
  CLI::Option* onnx =
      command.add_option("--onnx", flags.onnx.file,
                         verb + " this ONNX model (opsets 13 to 17) instead of the encoder");
  add_dim_flag(command, flags.onnx)->needs(onnx);
  onnx->excludes(graph);
  for (CLI::Option* option : encoder) {
    graph->excludes(option);
    onnx->excludes(option);
  }
  add_unsigned(command, "--tiles", flags.options.tile_count, "Tiles of the target");
  add_unsigned(command, "--data-base", flags.options.data_base,
               "First byte of each tile's data window (decimal or 0x hex)");
  add_unsigned(command, "--data-limit", flags.options.data_limit,
               "End of each tile's data window, exclusive (decimal or 0x hex)");
  static constexpr std::array<Choice<zc::PlacementStrategy>, 2> kPlanners{{
      {"first-fit", zc::PlacementStrategy::FirstFit},
      {"best", zc::PlacementStrategy::Best},
  }};
  add_choice(command, "--planner", flags.planning.strategy, kPlanners,
             "How tile memory is planned: first fit in tensor order, or the lowest peak of "
             "first fit and the placement solver per group of tiles");
  add_precision_flags(command, flags.precision);
}

Outcome<void> check_workload_flags(const WorkloadFlags& flags) {
  if (auto dims = dims_of(flags.onnx); !dims) {
    return std::unexpected(std::move(dims.error()));
  }
  if (auto precision = precision_options(flags.precision); !precision) {
    return std::unexpected(std::move(precision.error()));
  }
  if (flags.builds_encoder()) {
    if (auto checked = check_encoder_flags(flags.encoder); !checked) {
      return checked;
    }
  }
  return check_compiler_options(flags.options);
}

namespace {

// The workload with its weight values (none for the encoder or a graph
// file), before any conversion.
struct Loaded {
  Workload workload;
  zc::TensorValues weights;
};

Outcome<Loaded> load_as_given(const WorkloadFlags& flags) {
  if (!flags.onnx.file.empty()) {
    auto model = read_onnx(flags.onnx);
    if (!model) {
      return std::unexpected(std::move(model.error()));
    }
    return Loaded{
        .workload = {.graph = std::move(model->graph), .description = describe_onnx(flags.onnx)},
        .weights = std::move(model->weights)};
  }
  if (flags.graph_file.empty()) {
    auto graph = encoder_graph(flags.encoder);
    if (!graph) {
      return std::unexpected(std::move(graph.error()));
    }
    return Loaded{
        .workload = {.graph = std::move(*graph), .description = describe_encoder(flags.encoder)},
        .weights = {}};
  }
  auto text = read_text_file(flags.graph_file);
  if (!text) {
    return std::unexpected(std::move(text.error()));
  }
  auto graph = read_graph_json(*text);
  if (!graph) {
    return std::unexpected(graph.error().at(flags.graph_file));
  }
  return Loaded{
      .workload = {.graph = std::move(*graph), .description = "graph file " + flags.graph_file},
      .weights = {}};
}

}  // namespace

Outcome<Workload> load_workload(const WorkloadFlags& flags) {
  auto loaded = load_as_given(flags);
  if (!loaded) {
    return std::unexpected(std::move(loaded.error()));
  }
  Workload& workload = loaded->workload;
  if (auto converted =
          convert_workload(flags.precision, workload.graph, loaded->weights, workload.description);
      !converted) {
    return std::unexpected(std::move(converted.error()));
  }
  return std::move(workload);
}

}  // namespace zelkc
