// Several chips: the cost model, the pipeline options and records, and
// compile_pipeline with its checker.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "errors.hpp"
#include "interruptible.hpp"
#include "records.hpp"
#include "short_repr.hpp"
#include "zelk_compiler/cost_model.hpp"
#include "zelk_compiler/pipeline.hpp"

namespace zelk_python {
namespace {

namespace zc = zelk_compiler;

void bind_options(py::module_& module) {
  auto cost = record_class<zc::CostModel>(module);
  def_checked_init<Keywords::Required>(cost);
  def_writable_fields(cost);
  cost.def("valid", &zc::CostModel::valid);

  auto options = record_class<zc::PipelineOptions>(module);
  def_checked_init<Keywords::Required>(options);
  def_writable_fields(options);
}

void bind_records(py::module_& module) {
  auto transfer = record_class<zc::LinkTransfer>(module);
  def_readonly_fields(transfer);

  // A stage's graph and schedule are large; its repr names what identifies it.
  auto stage = record_class<zc::PipelineStage>(module);
  def_readonly_fields(stage);
  replace_method(stage, "__repr__", [](const zc::PipelineStage& self) {
    return short_repr_of("PipelineStage", {{"chip", short_text(self.chip)},
                                           {"ops", short_text(self.ops.size())},
                                           {"received", short_text(self.received.size())},
                                           {"sent", short_text(self.sent.size())},
                                           {"cycles", short_text(self.cycles)}});
  });

  auto pipeline = record_class<zc::Pipeline>(module);
  def_readonly_fields(pipeline);
  replace_method(pipeline, "__repr__", [](const zc::Pipeline& self) {
    return short_repr_of("Pipeline", {{"chips", short_text(self.stages.size())},
                                      {"microbatches", short_text(self.microbatches)},
                                      {"bottleneck", short_text(self.bottleneck)},
                                      {"total_cycles", short_text(self.total_cycles)}});
  });
}

void bind_functions(py::module_& module) {
  module.def(
      "compile_pipeline",
      [](const zc::Graph& graph, const std::optional<zc::CompilerOptions>& options,
         const std::optional<zc::PipelineOptions>& pipeline) {
        const zc::Graph copy = graph;  // NOLINT(performance-unnecessary-copy-initialization)
        const zc::CompilerOptions chosen = options.value_or(zc::CompilerOptions{});
        const zc::PipelineOptions split = pipeline.value_or(zc::PipelineOptions{});
        return unwrap(interruptible([&](const std::stop_token& stop) {
          return zc::compile_pipeline(copy, chosen, split, stop);
        }));
      },
      py::arg("graph"), py::arg("options") = py::none(), py::arg("pipeline") = py::none(),
      "The graph split into consecutive stages, one chip each (every chip with `options`): "
      "PipelineOptions(chips=0) asks for the fewest chips that fit, chips=N for exactly N "
      "stages. Each stage's graph keeps the whole graph's tensor names, so values pass between "
      "stages by name.");
  module.def(
      "graph_layers", [](const zc::Graph& graph) { return unwrap(zc::graph_layers(graph)); },
      py::arg("graph"),
      "The positions of the operations that start the graph's layers, the repetitions of the "
      "block it repeats most; what PipelineOptions.layers_per_stage counts.");
  module.def("check_pipeline", &zc::check_pipeline, py::arg("graph"), py::arg("pipeline"),
             "Every way the pipeline fails to be a sound split of the graph, one line each; "
             "empty when it is sound.");
}

}  // namespace

void bind_pipeline(py::module_& module) {
  bind_options(module);
  bind_records(module);
  bind_functions(module);
}

}  // namespace zelk_python
