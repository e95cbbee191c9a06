// Precision conversion: a float32 graph and its weights (NumPy arrays by
// name) in, the graph in float16 or bfloat16 with its weights rounded, and
// what rounding lost, out.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "bindings.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "records.hpp"
#include "short_repr.hpp"
#include "zelk_compiler/precision.hpp"

namespace zelk_python {
namespace {

namespace zc = zelk_compiler;

// The conversion as Python holds it: the weights as float32 arrays in their
// tensors' shapes, as load_onnx gives them.
struct Converted {
  zc::Graph graph;
  py::dict weights;
  std::vector<zc::ValueRounding> rounding;
  zc::RoundingCounts total;
  std::uint64_t casts = 0;
};

zc::TensorValues flat_values(const py::handle& weights) {
  zc::TensorValues values;
  if (weights.is_none()) {
    return values;
  }
  for (auto& [name, value] :
       text_keyed_items(weights, "weights", "tensor names to arrays", "tensor name")) {
    const Float32Array array = to_float32(value, "weights[\"" + name + "\"]");
    const float* first = array.data();
    values.emplace(name, std::vector<float>(first, first + array.size()));
  }
  return values;
}

// Each value in the shape of the source tensor of its name, flat where there
// is none.
py::dict shaped_arrays(const zc::Graph& graph, zc::TensorValues values) {
  std::map<std::string_view, const zc::Tensor*> sources;
  for (const zc::Tensor& tensor : graph.tensors) {
    if (!tensor.producer) {
      sources.emplace(tensor.name, &tensor);
    }
  }
  py::dict arrays;
  for (auto& [name, value] : values) {
    const auto source = sources.find(name);
    const std::vector<std::uint64_t> flat{value.size()};
    const bool fits = source != sources.end() && !source->second->shape.empty() &&
                      source->second->elements() == value.size();
    arrays[py::str(name)] = take_float32(std::move(value), fits ? source->second->shape : flat);
  }
  return arrays;
}

Converted convert(const zc::Graph& graph, const Typed<hints::Values>& weights, zc::DType dtype,
                  const std::optional<std::vector<std::string>>& keep, bool keep_io) {
  zc::PrecisionOptions options{.target = dtype, .keep_io = keep_io};
  if (keep) {
    options.keep_f32 = *keep;
  }
  const zc::TensorValues values = flat_values(weights.object);
  auto conversion = zc::convert_precision(graph, values, options);
  if (!conversion) {
    throw CompileErrorRaised(std::move(conversion).error());
  }
  py::dict arrays = shaped_arrays(conversion->graph, std::move(conversion->weights));
  return Converted{.graph = std::move(conversion->graph),
                   .weights = std::move(arrays),
                   .rounding = std::move(conversion->rounding),
                   .total = conversion->total,
                   .casts = conversion->casts};
}

}  // namespace

void bind_precision(py::module_& module) {
  auto counts = record_class<zc::RoundingCounts>(module);
  def_checked_init<Keywords::Required>(counts);
  def_readonly_fields(counts);
  auto rounding = record_class<zc::ValueRounding>(module);
  def_checked_init<Keywords::Required>(rounding);
  def_readonly_fields(rounding);

  py::class_<Converted> converted(module, "PrecisionConversion");
  converted.def_readonly("graph", &Converted::graph)
      .def_readonly("weights", &Converted::weights)
      .def_readonly("rounding", &Converted::rounding)
      .def_readonly("total", &Converted::total)
      .def_readonly("casts", &Converted::casts)
      .def("__repr__", [](const Converted& self) {
        return short_repr_of("PrecisionConversion",
                             {{"tensors", std::to_string(self.graph.tensors.size())},
                              {"ops", std::to_string(self.graph.ops.size())},
                              {"weights", std::to_string(self.weights.size())},
                              {"casts", std::to_string(self.casts)},
                              {"total", short_repr(self.total)}});
      });

  module.def("default_keep_f32", &zc::default_keep_f32,
             "The operation kinds convert_precision keeps in float32 unless told otherwise");
  module.def("convert_precision", &convert, py::arg("graph"), py::arg("weights"), py::arg("dtype"),
             py::arg("keep") = py::none(), py::arg("keep_io") = false,
             "Converts a float32 graph and its weights (NumPy arrays by name) to DType.F16 or "
             "DType.BF16. Operations of the kinds in keep (operation names; None for "
             "default_keep_f32(), [] for none) compute in float32 with casts around them; "
             "with keep_io the inputs and outputs stay float32 under their names. Weights are "
             "rounded once to nearest even and returned as float32 arrays holding values of "
             "their new type, a finite value beyond the type's range saturated to its largest "
             "finite value; rounding counts those values and the values that became subnormal "
             "or zero, per value and in total.");
}

}  // namespace zelk_python
