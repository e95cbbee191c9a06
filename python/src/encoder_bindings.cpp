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
  py::class_<zc::EncoderConfig> config(module, "EncoderConfig");
  config.def(py::init([](const py::handle& sequence, const py::handle& hidden,
                         const py::handle& heads, const py::handle& feed_forward) {
               return zc::EncoderConfig{.sequence = to_u64(sequence, "sequence"),
                                        .hidden = to_u64(hidden, "hidden"),
                                        .heads = to_u64(heads, "heads"),
                                        .feed_forward = to_u64(feed_forward, "feed_forward")};
             }),
             py::kw_only(), arg("sequence") = defaults.sequence, arg("hidden") = defaults.hidden,
             arg("heads") = defaults.heads, arg("feed_forward") = defaults.feed_forward);
  const auto field = [&config](const char* name, std::uint64_t zc::EncoderConfig::*member) {
    config.def_property(
        name, [member](const zc::EncoderConfig& self) { return self.*member; },
        [member, name](zc::EncoderConfig& self, const py::handle& value) {
          self.*member = to_u64(value, name);
        });
  };
  field("sequence", &zc::EncoderConfig::sequence);
  field("hidden", &zc::EncoderConfig::hidden);
  field("heads", &zc::EncoderConfig::heads);
  field("feed_forward", &zc::EncoderConfig::feed_forward);
  value_record(config);

  module.def(
      "encoder_graph",
      [](const zc::EncoderConfig& chosen) { return unwrap(zc::encoder_graph(chosen)); },
      arg("config") = defaults);
  module.def(
      "encoder_stack_graph",
      [](const zc::EncoderConfig& chosen, const py::handle& layers) {
        return unwrap(zc::encoder_stack_graph(chosen, to_u64(layers, "layers")));
      },
      arg("config"), arg("layers"));
}

// The weight matrices as read-only flat views into the weights object, which
// Python cannot change, so a view never outlives or misses its data.
void bind_weights(py::module_& module) {
  py::class_<zc::EncoderWeights> weights(module, "EncoderWeights");
  weights
      .def(py::init([](const py::handle& wq, const py::handle& wk, const py::handle& wv,
                       const py::handle& wo, const py::handle& w1, const py::handle& w2) {
             const auto list = [](const py::handle& value, std::string_view what) {
               if (value.is_none()) {
                 return std::vector<float>{};
               }
               const auto values = values_of(to_float32(value, what));
               return std::vector<float>(values.begin(), values.end());
             };
             return zc::EncoderWeights{.wq = list(wq, "wq"),
                                       .wk = list(wk, "wk"),
                                       .wv = list(wv, "wv"),
                                       .wo = list(wo, "wo"),
                                       .w1 = list(w1, "w1"),
                                       .w2 = list(w2, "w2")};
           }),
           py::kw_only(), arg("wq") = py::none(), arg("wk") = py::none(), arg("wv") = py::none(),
           arg("wo") = py::none(), arg("w1") = py::none(), arg("w2") = py::none())
      .def_static("deterministic", &zc::EncoderWeights::deterministic, arg("config"));
  const auto matrix_view = [&weights](const char* name,
                                      std::vector<float> zc::EncoderWeights::*member) {
    weights.def_property_readonly(name, [member](const py::object& self) {
      const std::vector<float>& values = self.cast<const zc::EncoderWeights&>().*member;
      return readonly_view(values.data(), values.size(), sizeof(float), self);
    });
  };
  matrix_view("wq", &zc::EncoderWeights::wq);
  matrix_view("wk", &zc::EncoderWeights::wk);
  matrix_view("wv", &zc::EncoderWeights::wv);
  matrix_view("wo", &zc::EncoderWeights::wo);
  matrix_view("w1", &zc::EncoderWeights::w1);
  matrix_view("w2", &zc::EncoderWeights::w2);
  value_record(weights);
}

void bind_kernels(py::module_& module) {
  module.def(
      "matmul",
      [](const py::handle& left, const py::handle& right) {
        const Float32Array a = matrix(left, "left");
        const Float32Array b = matrix(right, "right");
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
      [](const py::handle& input, float epsilon) {
        const Float32Array a = matrix(input, "input");
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
      [](const py::handle& values) {
        const Float32Array a = matrix(values, "values");
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
      [](const py::handle& value) -> py::object {
        // A Python number is rounded to float32 as a float argument in C++
        // would be; an array must hold float32 values already.
        if (PyFloat_Check(value.ptr()) != 0 ||
            (PyLong_Check(value.ptr()) != 0 && PyBool_Check(value.ptr()) == 0)) {
          return py::float_(zc::gelu(static_cast<float>(value.cast<double>())));
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
        return a.ndim() == 0 ? array[py::tuple()] : array;
      },
      arg("value"));

  module.def(
      "encoder_reference",
      // The configuration by value: another thread may change the caller's
      // while this one computes without the interpreter lock.
      [](zc::EncoderConfig config, const py::handle& input, const zc::EncoderWeights& weights) {
        const Float32Array values = to_float32(input, "input");
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
