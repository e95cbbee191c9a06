// Host evaluation of any graph: values in as NumPy arrays by tensor name, the
// outputs out as float32 arrays of their tensors' shapes.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <map>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "bindings.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "interruptible.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/evaluate.hpp"
#ifdef ZELK_PYTHON_ONNX
#include "zelk_onnx/onnx.hpp"
#endif

namespace zelk_python {
namespace {

namespace zc = zelk_compiler;

std::string shape_text(const py::array& array) {
  return py::str(array.attr("shape")).cast<std::string>();
}

bool same_shape(const std::vector<std::uint64_t>& shape, const py::array& array) {
  if (std::cmp_not_equal(shape.size(), array.ndim())) {
    return false;
  }
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    if (std::cmp_not_equal(shape[axis], array.shape(static_cast<py::ssize_t>(axis)))) {
      return false;
    }
  }
  return true;
}

// Adds the arrays of `values`, a mapping from tensor name to array, to
// `into`. An array of two or more axes must have its tensor's shape (a
// transposed value is a slip, not a reshape); a flat one only its length,
// which evaluate checks.
void add_values(const zc::Graph& graph, const py::handle& values, std::string_view what,
                zc::TensorValues& into) {
  if (values.is_none()) {
    return;
  }
  std::map<std::string_view, const std::vector<std::uint64_t>*> source_shapes;
  for (const zc::Tensor& tensor : graph.tensors) {
    if (!tensor.producer) {
      // A name two sources share is evaluate's error to report, not a shape to check.
      const auto [entry, first] = source_shapes.emplace(tensor.name, &tensor.shape);
      if (!first) {
        entry->second = nullptr;
      }
    }
  }
  for (auto& [name, value] :
       text_keyed_items(values, what, "tensor names to arrays", "tensor name")) {
    const Float32Array array = to_float32(value, std::string(what) + "[\"" + name + "\"]");
    const auto source = source_shapes.find(name);
    if (array.ndim() >= 2 && source != source_shapes.end() && source->second != nullptr) {
      const std::vector<std::uint64_t>& shape = *source->second;
      if (!same_shape(shape, array)) {
        throw py::value_error(name + ": a value of shape " + shape_text(array) +
                              " for a tensor of shape " + zc::debug_string(shape));
      }
    }
    const float* first = array.data();
    std::vector<float> flat(first, first + array.size());
    if (!into.emplace(name, std::move(flat)).second) {
      throw py::value_error(name + ": given as an input and as a weight");
    }
  }
}

// `error`, or for a missing weight that the ONNX importer made from an
// initialiser (a transposed copy), the same error naming the initialiser as
// the model does: the name the caller knows.
zc::CompileError in_model_names(const zc::Graph& graph, zc::CompileError error) {
#ifdef ZELK_PYTHON_ONNX
  constexpr std::string_view kMissing = "missing value for ";
  if (error.kind != zc::CompileError::Kind::Graph || !error.message.starts_with(kMissing)) {
    return error;
  }
  const std::string_view name = std::string_view(error.message).substr(kMissing.size());
  for (const zc::Tensor& tensor : graph.tensors) {
    if (tensor.name != name || tensor.kind != zc::TensorKind::Weight) {
      continue;
    }
    if (const auto initializer = zelk_onnx::initializer_of(name)) {
      return zc::CompileError::graph(std::string(kMissing) + "weight '" +
                                     std::string(*initializer) + "' (held transposed as " +
                                     tensor.name + "; pass the model's weights)");
    }
  }
#else
  static_cast<void>(graph);
#endif
  return error;
}

}  // namespace

void bind_evaluate(py::module_& module) {
  module.def(
      "evaluate",
      [](const zc::Graph& graph, const Typed<hints::Values>& inputs,
         const Typed<hints::Values>& weights) {
        zc::TensorValues values;
        add_values(graph, inputs.object, "inputs", values);
        add_values(graph, weights.object, "weights", values);
        // Evaluate a copy: another Python thread may grow `graph` meanwhile.
        const zc::Graph graph_copy = graph;  // NOLINT(performance-unnecessary-copy-initialization)
        zc::Result<zc::TensorValues> evaluated = interruptible(
            [&](const std::stop_token& stop) { return zc::evaluate(graph_copy, values, stop); });
        if (!evaluated) {
          throw CompileErrorRaised(in_model_names(graph_copy, std::move(evaluated).error()));
        }
        zc::TensorValues outputs = std::move(*evaluated);
        py::dict arrays;
        for (const zc::TensorId output : graph_copy.outputs) {
          const zc::Tensor& tensor = graph_copy.tensors[output.index];
          const auto found = outputs.find(tensor.name);
          if (found != outputs.end()) {
            arrays[py::str(tensor.name)] = take_float32(std::move(found->second), tensor.shape);
            outputs.erase(found);
          }
        }
        return arrays;
      },
      py::arg("graph"), py::arg("inputs"), py::arg("weights") = py::none(),
      "Computes the graph on the host from the values of its inputs and weights (NumPy "
      "arrays by tensor name) and returns its outputs as float32 arrays by name.");
}

}  // namespace zelk_python
