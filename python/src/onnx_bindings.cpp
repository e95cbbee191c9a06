// ONNX import: a model file or a model's bytes in, the graph with its weights
// (as read-only float32 arrays in their tensors' shapes) and the names of its
// inputs and outputs out.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
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
#include "short_repr.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_onnx/onnx.hpp"

namespace zelk_python {
namespace {

namespace zc = zelk_compiler;
using py::arg;

using DimsArgument = Typed<hints::Dims>;

zelk_onnx::Dims to_dims(const py::handle& dims) {
  zelk_onnx::Dims extents;
  if (dims.is_none()) {
    return extents;
  }
  for (auto& [name, value] :
       text_keyed_items(dims, "dims", "dimension names to extents", "dimension name")) {
    const std::uint64_t extent = to_u64(value, "dims[\"" + name + "\"]");
    extents.emplace(std::move(name), extent);
  }
  return extents;
}

// The weights as read-only views into the model, each in the shape of the
// source tensor of its name where the element counts agree.
py::dict weight_arrays(const py::object& self) {
  const auto& model = self.cast<const zelk_onnx::OnnxModel&>();
  std::map<std::string_view, const zc::Tensor*> sources;
  for (const zc::Tensor& tensor : model.graph.tensors) {
    if (!tensor.producer) {
      sources.emplace(tensor.name, &tensor);
    }
  }
  py::dict arrays;
  for (const auto& [name, values] : model.weights) {
    py::array view = readonly_view(values.data(), values.size(), sizeof(float), self);
    const auto source = sources.find(name);
    if (source != sources.end() && !source->second->shape.empty()) {
      const zc::Tensor& tensor = *source->second;
      if (tensor.elements() == values.size()) {
        std::vector<py::ssize_t> shape;
        for (const std::uint64_t extent : tensor.shape) {
          shape.push_back(array_extent(extent));
        }
        view = view.attr("reshape")(py::cast(shape));
      }
    }
    arrays[py::str(name)] = view;
  }
  return arrays;
}

// `name` quoted for a message, bytes that are not UTF-8 as \xNN escapes.
std::string shown(std::string_view name) {
  const std::string quoted = zc::debug_string(name);
  const auto decoded = py::reinterpret_steal<py::str>(PyUnicode_DecodeUTF8(
      quoted.data(), static_cast<py::ssize_t>(quoted.size()), "backslashreplace"));
  if (!decoded) {
    throw py::error_already_set();
  }
  return decoded.cast<std::string>();
}

// Every name of a model reaches Python as a str, so a model with a name that
// is not UTF-8 is refused, naming the field, rather than read with
// replacement characters: two different names would then read alike, and a
// name read back from the model would no longer find its tensor (as a key of
// evaluate's values or of the weights). A careful loader refuses text it
// cannot represent faithfully. The command line, which writes names back as
// the bytes they were, still takes such models.
zelk_onnx::OnnxModel with_utf8_names(zelk_onnx::OnnxModel model, std::string_view source) {
  const auto refuse = [source](std::string_view field, std::string_view name) {
    throw CompileErrorRaised(zc::CompileError::graph(std::string(source) + ": " +
                                                     std::string(field) + " " + shown(name) +
                                                     " is not valid UTF-8"));
  };
  for (const std::string& name : model.inputs) {
    if (!is_utf8(name)) {
      refuse("input name", name);
    }
  }
  for (const std::string& name : model.outputs) {
    if (!is_utf8(name)) {
      refuse("output name", name);
    }
  }
  for (const zc::Tensor& tensor : model.graph.tensors) {
    if (!is_utf8(tensor.name)) {
      refuse("tensor name", tensor.name);
    }
  }
  for (const zc::Op& op : model.graph.ops) {
    if (!is_utf8(op.name)) {
      refuse("operation name", op.name);
    }
  }
  return model;
}

zelk_onnx::OnnxModel load(const std::filesystem::path& path, const DimsArgument& dims) {
  const zelk_onnx::Dims extents = to_dims(dims.object);
  return with_utf8_names(unwrap(interruptible([&](const std::stop_token& stop) {
                           return zelk_onnx::load_onnx(path, extents, stop);
                         })),
                         path.string());
}

zelk_onnx::OnnxModel import(const Typed<hints::Bytes>& bytes_like, const DimsArgument& dims,
                            const std::filesystem::path& base_dir) {
  const zelk_onnx::Dims extents = to_dims(dims.object);
  const auto data = py::reinterpret_borrow<py::buffer>(bytes_like.object);
  // The buffer stays exported (a bytearray cannot be resized) until the end.
  const py::buffer_info view = data.request();
  if (view.ndim != 1 || view.itemsize != 1 || view.strides[0] != 1) {
    throw py::type_error("data must be the bytes of an ONNX model, in one contiguous block");
  }
  const std::span bytes(static_cast<const std::byte*>(view.ptr),
                        static_cast<std::size_t>(view.size));
  return with_utf8_names(unwrap(interruptible([&](const std::stop_token& stop) {
                           return zelk_onnx::import_onnx(bytes, extents, base_dir, stop);
                         })),
                         "ONNX model");
}

}  // namespace

void bind_onnx(py::module_& module) {
  py::class_<zelk_onnx::OnnxModel> model(module, "OnnxModel");
  model.def_readonly("graph", &zelk_onnx::OnnxModel::graph)
      .def_property_readonly("weights", &weight_arrays)
      .def_readonly("inputs", &zelk_onnx::OnnxModel::inputs)
      .def_readonly("outputs", &zelk_onnx::OnnxModel::outputs)
      .def("__repr__", [](const zelk_onnx::OnnxModel& self) {
        return short_repr_of("OnnxModel", {{"inputs", short_list(self.inputs)},
                                           {"outputs", short_list(self.outputs)},
                                           {"tensors", std::to_string(self.graph.tensors.size())},
                                           {"ops", std::to_string(self.graph.ops.size())},
                                           {"weights", std::to_string(self.weights.size())}});
      });

  module.def("load_onnx", &load, arg("path"), arg("dims") = py::none());
  module.def("import_onnx", &import, arg("data"), arg("dims") = py::none(),
             arg("base_dir") = std::filesystem::path());
  module.def("supported_onnx_operators", [] {
    std::vector<std::string> names;
    for (const std::string_view name : zelk_onnx::supported_operators()) {
      names.emplace_back(name);
    }
    return names;
  });
}

}  // namespace zelk_python
