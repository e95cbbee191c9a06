// The encoder workload: its configuration and graphs, the deterministic
// weights as float32 arrays, the reference kernels on NumPy arrays and the
// reference evaluation.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <concepts>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "bindings.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "records.hpp"
#include "short_repr.hpp"
#include "zelk_compiler/encoder.hpp"

namespace zelk_python {
namespace {

namespace zc = zelk_compiler;
using py::arg;

std::span<const float> values_of(const Float32Array& array) {
  return {array.data(), static_cast<std::size_t>(array.size())};
}

std::vector<std::uint64_t> shape_of(const py::array& array) {
  std::vector<std::uint64_t> shape;
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis) {
    shape.push_back(static_cast<std::uint64_t>(array.shape(axis)));
  }
  return shape;
}

// A two-dimensional float32 argument of a kernel.
Float32Array matrix(const py::handle& value, std::string_view what) {
  Float32Array array = to_float32(value, what);
  require_dimensions(array, 2, what);
  return array;
}

void bind_config(py::module_& module) {
  const zc::EncoderConfig defaults{};
  auto config = record_class<zc::EncoderConfig>(module);
  def_checked_init<Keywords::Required>(config);
  def_writable_fields(config);

  module.def(
      "encoder_graph",
      [](const zc::EncoderConfig& chosen) { return unwrap(zc::encoder_graph(chosen)); },
      arg("config") = defaults);
  module.def(
      "encoder_stack_graph",
      [](const zc::EncoderConfig& chosen, const Int& layers) {
        return unwrap(zc::encoder_stack_graph(chosen, to_u64(layers.object, "layers")));
      },
      arg("config"), arg("layers"));
}

// A weight matrix from any float32 array-like, or None (the default) for none.
template <class Member>
struct MatrixArgument;

template <>
struct MatrixArgument<std::vector<float>> {
  using Type = const Typed<hints::OptionalArray>&;
  static py::none default_argument(const std::vector<float>& /*value*/) { return py::none(); }
  static std::vector<float> convert(const Typed<hints::OptionalArray>& value, const char* name) {
    if (value.object.is_none()) {
      return {};
    }
    // The array may be a converted copy: it must outlive the copy out of it.
    const Float32Array array = to_float32(value.object, name);
    const auto values = values_of(array);
    return {values.begin(), values.end()};
  }
};

// The weight matrices as read-only flat views into the weights object, which
// Python cannot change, so a view never outlives or misses its data.
void bind_weights(py::module_& module) {
  auto weights = record_class<zc::EncoderWeights>(module);
  def_fields_init<MatrixArgument, Keywords::Required>(weights);
  replace_method(weights, "__repr__", [](const zc::EncoderWeights& self) {
    std::vector<std::pair<std::string, std::string>> sizes;
    zc::for_each_field(self, [&sizes](const char* name, const std::vector<float>& values) {
      sizes.emplace_back(name, std::to_string(values.size()));
    });
    return short_repr_of("EncoderWeights", sizes);
  });
  weights.def_static("deterministic", &zc::EncoderWeights::deterministic, arg("config"));
  zc::visit_fields<zc::EncoderWeights>([&weights](const auto& field) {
    weights.def_property_readonly(field.name, [member = field.member](const py::object& self) {
      const std::vector<float>& values = self.cast<const zc::EncoderWeights&>().*member;
      return readonly_view(values.data(), values.size(), sizeof(float), self);
    });
  });
}

void bind_kernels(py::module_& module) {
  module.def(
      "matmul",
      [](const Array& left, const Array& right) {
        const Float32Array a = matrix(left.object, "left");
        const Float32Array b = matrix(right.object, "right");
        if (a.shape(1) != b.shape(0)) {
          throw py::value_error("matmul: left is " + py::str(a.attr("shape")).cast<std::string>() +
                                " and right " + py::str(b.attr("shape")).cast<std::string>() +
                                "; the inner extents differ");
        }
        const auto rows = static_cast<std::uint64_t>(a.shape(0));
        const auto inner = static_cast<std::uint64_t>(a.shape(1));
        const auto columns = static_cast<std::uint64_t>(b.shape(1));
        std::vector<float> product;
        {
          const py::gil_scoped_release unlocked;
          product = zc::matmul(values_of(a), values_of(b), rows, inner, columns);
        }
        return take_float32(std::move(product), {rows, columns});
      },
      arg("left"), arg("right"));

  module.def(
      "layer_norm",
      [](const Array& input, float epsilon) {
        const Float32Array a = matrix(input.object, "input");
        std::vector<float> result;
        {
          const py::gil_scoped_release unlocked;
          result = zc::layer_norm(values_of(a), static_cast<std::uint64_t>(a.shape(0)),
                                  static_cast<std::uint64_t>(a.shape(1)), epsilon);
        }
        return take_float32(std::move(result), shape_of(a));
      },
      arg("input"), arg("epsilon"));

  module.def(
      "softmax_rows",
      [](const Array& values) {
        const Float32Array a = matrix(values.object, "values");
        const auto source = values_of(a);
        std::vector<float> result(source.begin(), source.end());
        {
          const py::gil_scoped_release unlocked;
          zc::softmax_rows(result, static_cast<std::uint64_t>(a.shape(0)),
                           static_cast<std::uint64_t>(a.shape(1)));
        }
        return take_float32(std::move(result), shape_of(a));
      },
      arg("values"));

  module.def(
      "gelu",
      [](const Typed<hints::FloatOrArray>& argument) -> Typed<hints::FloatOrArray> {
        const py::handle value = argument.object;
        // A Python number is rounded to float32 as a float argument in C++
        // would be; an array must hold float32 values already.
        if (PyFloat_Check(value.ptr()) != 0 ||
            (PyLong_Check(value.ptr()) != 0 && PyBool_Check(value.ptr()) == 0)) {
          return {py::float_(zc::gelu(static_cast<float>(value.cast<double>())))};
        }
        const Float32Array a = to_float32(value, "value");
        const auto source = values_of(a);
        std::vector<float> result(source.size());
        {
          const py::gil_scoped_release unlocked;
          for (std::size_t i = 0; i < source.size(); ++i) {
            result[i] = zc::gelu(source[i]);
          }
        }
        const py::array array = take_float32(std::move(result), shape_of(a));
        return {a.ndim() == 0 ? py::object(array[py::tuple()]) : py::object(array)};
      },
      arg("value"));

  module.def(
      "encoder_reference",
      // The configuration by value: another thread may change the caller's
      // while this one computes without the interpreter lock.
      [](zc::EncoderConfig config, const Array& input, const zc::EncoderWeights& weights) {
        const Float32Array values = to_float32(input.object, "input");
        if (values.ndim() == 2 && (static_cast<std::uint64_t>(values.shape(0)) != config.sequence ||
                                   static_cast<std::uint64_t>(values.shape(1)) != config.hidden)) {
          throw py::value_error("encoder_reference: input of shape " +
                                py::str(values.attr("shape")).cast<std::string>() +
                                " for sequence " + std::to_string(config.sequence) +
                                " and hidden " + std::to_string(config.hidden));
        }
        zc::Result<std::vector<float>> result;
        {
          const py::gil_scoped_release unlocked;
          result = zc::encoder_reference(config, values_of(values), weights);
        }
        return take_float32(unwrap(std::move(result)), {config.sequence, config.hidden});
      },
      arg("config"), arg("input"), arg("weights"));
}

}  // namespace

void bind_encoder(py::module_& module) {
  bind_config(module);
  bind_weights(module);
  bind_kernels(module);
}

}  // namespace zelk_python
