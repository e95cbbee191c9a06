// zelkc import.
#include "commands/import_command.hpp"

#include <utility>

#include "formats/graph_json.hpp"
#include "outputs/output_files.hpp"

namespace zelkc {

CLI::App* add_import_command(CLI::App& app, ImportFlags& flags) {
  CLI::App* command = app.add_subcommand(
      "import", "Write an ONNX model as a graph file (its weights stay in the model)");
  command->add_option("model", flags.onnx.file, "The ONNX model (opsets 13 to 17)")
      ->required()
      ->type_name("FILE.onnx");
  add_dim_flag(*command, flags.onnx);
  add_precision_flags(*command, flags.precision);
  command->add_option("-o,--output", flags.output, "Write to this file instead of standard output");
  return command;
}

Outcome<std::string> run_import(const ImportFlags& flags) {
  if (auto precision = precision_options(flags.precision); !precision) {
    return std::unexpected(std::move(precision.error()));
  }
  auto model = read_onnx(flags.onnx);
  if (!model) {
    return std::unexpected(std::move(model.error()));
  }
  std::string description;
  if (auto converted = convert_workload(flags.precision, model->graph, model->weights, description);
      !converted) {
    return std::unexpected(std::move(converted.error()));
  }
  auto text = write_graph_json(model->graph);
  if (!text) {
    return std::unexpected(text.error().at(flags.onnx.file));
  }
  return deliver(flags.output, std::move(*text), {});
}

}  // namespace zelkc
