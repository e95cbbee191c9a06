// Graph records and builders: ids, tensors, operation kinds, operations and
// the Graph with its builders and validation.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "bindings.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "records.hpp"
#include "sequences.hpp"
#include "short_repr.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/graph.hpp"

namespace zelk_python {
namespace {

namespace zc = zelk_compiler;
using py::arg;

template <class Id>
void bind_id(py::module_& module, const char* name) {
  py::class_<Id> id(module, name);
  id.def(py::init([](const Int& index) { return Id{to_u64(index.object, "index")}; }),
         arg("index") = 0)
      .def_readonly("index", &Id::index);
  def_comparison(id, "__lt__", std::less<Id>{});
  def_comparison(id, "__le__", std::less_equal<Id>{});
  def_comparison(id, "__gt__", std::greater<Id>{});
  def_comparison(id, "__ge__", std::greater_equal<Id>{});
  value_record(id, [](const Id& value) { return zelk_compiler::debug_string(value); });
  // Defining __eq__ dropped the hash; put it back.
  id.def("__hash__", [](const Id& value) { return std::hash<std::uint64_t>{}(value.index); });
}

// One Python class per operation kind, its fields given by position or by
// keyword. A kind added to the library without a field list fails to
// compile here.
template <class... Kinds>
void bind_kinds(py::module_& module, std::type_identity<std::variant<Kinds...>>) {
  const auto bind = [&module]<class Kind>(std::type_identity<Kind>) {
    auto kind = record_class<Kind>(module);
    def_checked_init<Keywords::Optional>(kind);
    def_readonly_fields(kind);
  };
  (bind(std::type_identity<Kinds>{}), ...);
}

void bind_tensor(py::module_& module) {
  py::enum_<zc::DType> dtypes(module, "DType");
  dtypes.value("F32", zc::DType::F32)
      .value("F16", zc::DType::F16)
      .value("BF16", zc::DType::BF16)
      .value("I32", zc::DType::I32)
      .value("I64", zc::DType::I64);
  print_enum_as_library(dtypes);
  dtypes.def_property_readonly("size", [](zc::DType value) { return zc::size(value); });

  py::enum_<zc::TensorKind> kinds(module, "TensorKind");
  kinds.value("Input", zc::TensorKind::Input)
      .value("Weight", zc::TensorKind::Weight)
      .value("Intermediate", zc::TensorKind::Intermediate)
      .value("Output", zc::TensorKind::Output);
  print_enum_as_library(kinds);

  auto tensor = record_class<zc::Tensor>(module);
  def_checked_init<Keywords::Required>(tensor);
  def_readonly_fields(tensor);
  tensor.def("elements", &zc::Tensor::elements);
}

void bind_op(py::module_& module) {
  bind_kinds(module, std::type_identity<zc::OpKind>{});
  module.def(
      "operation_name",
      [](const zc::OpKind& kind) { return std::string(zc::operation_name(kind)); }, arg("kind"));

  auto op = record_class<zc::Op>(module);
  def_keyword_init(op);
  def_readonly_fields(op);
}

using TensorList = ListView<zc::Graph, zc::Tensor, &zc::Graph::tensors, zc::TensorId>;
using OpList = ListView<zc::Graph, zc::Op, &zc::Graph::ops, zc::OpId>;
using OutputList = ListView<zc::Graph, zc::TensorId, &zc::Graph::outputs>;

void bind_graph_class(py::module_& module) {
  bind_list_view<TensorList>(module, "TensorList");
  bind_list_view<OpList>(module, "OpList");
  bind_list_view<OutputList>(module, "TensorIdList");

  auto graph = record_class<zc::Graph>(module);
  replace_method(graph, "__repr__", [](const zc::Graph& self) {
    return "Graph(tensors=" + std::to_string(self.tensors.size()) +
           ", ops=" + std::to_string(self.ops.size()) + ", outputs=" + short_list(self.outputs) +
           ")";
  });
  def_keyword_init(graph);
  graph
      .def_property_readonly("tensors", [](py::object self) { return TensorList(std::move(self)); })
      .def_property_readonly("ops", [](py::object self) { return OpList(std::move(self)); })
      .def_property_readonly("outputs", [](py::object self) { return OutputList(std::move(self)); })
      .def(
          "tensor",
          [](zc::Graph& self, const Name& name, const Ints& shape, zc::TensorKind kind,
             std::optional<zc::OpId> producer, zc::DType dtype) {
            return self.tensor(name.text, to_u64_list(shape.object, "shape"), kind, producer,
                               dtype);
          },
          arg("name"), arg("shape"), arg("kind"), arg("producer") = py::none(),
          arg("dtype") = zc::DType::F32)
      .def(
          "op",
          [](zc::Graph& self, const Name& name, zc::OpKind kind, std::vector<zc::TensorId> inputs,
             const Ints& shape) {
            return unwrap(self.op(name.text, std::move(kind), std::move(inputs),
                                  to_u64_list(shape.object, "shape")));
          },
          arg("name"), arg("kind"), arg("inputs"), arg("shape"))
      .def(
          "binary",
          [](zc::Graph& self, const Name& name, zc::OpKind kind, zc::TensorId left,
             zc::TensorId right) {
            return unwrap(self.binary(name.text, std::move(kind), left, right));
          },
          arg("name"), arg("kind"), arg("left"), arg("right"))
      .def(
          "input",
          [](zc::Graph& self, const Name& name, const Ints& shape, zc::DType dtype) {
            return self.input(name.text, to_u64_list(shape.object, "shape"), dtype);
          },
          arg("name"), arg("shape"), arg("dtype") = zc::DType::F32)
      .def(
          "weight",
          [](zc::Graph& self, const Name& name, const Ints& shape, zc::DType dtype) {
            return self.weight(name.text, to_u64_list(shape.object, "shape"), dtype);
          },
          arg("name"), arg("shape"), arg("dtype") = zc::DType::F32)
      .def("mark_output", &zc::Graph::mark_output, arg("tensor"))
      .def(
          "matmul",
          [](zc::Graph& self, const Name& name, zc::TensorId left, zc::TensorId right) {
            return unwrap(self.matmul(name.text, left, right));
          },
          arg("name"), arg("left"), arg("right"))
      .def(
          "add",
          [](zc::Graph& self, const Name& name, zc::TensorId left, zc::TensorId right) {
            return unwrap(self.add(name.text, left, right));
          },
          arg("name"), arg("left"), arg("right"))
      .def(
          "transpose",
          [](zc::Graph& self, const Name& name, zc::TensorId input, const Ints& permutation) {
            return unwrap(
                self.transpose(name.text, input, to_u64_list(permutation.object, "permutation")));
          },
          arg("name"), arg("input"), arg("permutation"))
      .def(
          "layer_norm",
          [](zc::Graph& self, const Name& name, zc::TensorId input, float epsilon) {
            return unwrap(self.layer_norm(name.text, input, epsilon));
          },
          arg("name"), arg("input"), arg("epsilon"))
      .def(
          "softmax",
          [](zc::Graph& self, const Name& name, zc::TensorId input, const Int& axis) {
            return unwrap(self.softmax(name.text, input, to_u64(axis.object, "axis")));
          },
          arg("name"), arg("input"), arg("axis"))
      .def(
          "gelu",
          [](zc::Graph& self, const Name& name, zc::TensorId input) {
            return unwrap(self.gelu(name.text, input));
          },
          arg("name"), arg("input"))
      .def(
          "mul",
          [](zc::Graph& self, const Name& name, zc::TensorId left, zc::TensorId right) {
            return unwrap(self.mul(name.text, left, right));
          },
          arg("name"), arg("left"), arg("right"))
      .def(
          "reshape",
          [](zc::Graph& self, const Name& name, zc::TensorId input, const Ints& shape) {
            return unwrap(self.reshape(name.text, input, to_u64_list(shape.object, "shape")));
          },
          arg("name"), arg("input"), arg("shape"))
      .def(
          "elementwise",
          [](zc::Graph& self, const Name& name, zc::OpKind kind, zc::TensorId left,
             zc::TensorId right) {
            return unwrap(self.elementwise(name.text, std::move(kind), left, right));
          },
          arg("name"), arg("kind"), arg("left"), arg("right"))
      .def(
          "batch_matmul",
          [](zc::Graph& self, const Name& name, zc::TensorId left, zc::TensorId right) {
            return unwrap(self.batch_matmul(name.text, left, right));
          },
          arg("name"), arg("left"), arg("right"))
      .def(
          "layer_norm",
          [](zc::Graph& self, const Name& name, zc::TensorId input, zc::TensorId gain,
             zc::TensorId bias, float epsilon) {
            return unwrap(self.layer_norm(name.text, input, gain, bias, epsilon));
          },
          arg("name"), arg("input"), arg("gain"), arg("bias"), arg("epsilon"))
      .def(
          "unary",
          [](zc::Graph& self, const Name& name, zc::OpKind kind, zc::TensorId input) {
            return unwrap(self.unary(name.text, std::move(kind), input));
          },
          arg("name"), arg("kind"), arg("input"))
      .def(
          "slice",
          [](zc::Graph& self, const Name& name, zc::TensorId input, const Int& axis,
             const Int& start, const Int& end) {
            return unwrap(self.slice(name.text, input, to_u64(axis.object, "axis"),
                                     to_u64(start.object, "start"), to_u64(end.object, "end")));
          },
          arg("name"), arg("input"), arg("axis"), arg("start"), arg("end"))
      .def(
          "concat",
          [](zc::Graph& self, const Name& name, std::vector<zc::TensorId> inputs, const Int& axis) {
            return unwrap(self.concat(name.text, std::move(inputs), to_u64(axis.object, "axis")));
          },
          arg("name"), arg("inputs"), arg("axis"))
      .def(
          "reduce_mean",
          [](zc::Graph& self, const Name& name, zc::TensorId input, const Int& axis) {
            return unwrap(self.reduce_mean(name.text, input, to_u64(axis.object, "axis")));
          },
          arg("name"), arg("input"), arg("axis"))
      .def(
          "cast",
          [](zc::Graph& self, const Name& name, zc::TensorId input, zc::DType to) {
            return unwrap(self.cast(name.text, input, to));
          },
          arg("name"), arg("input"), arg("to"))
      .def(
          "gather",
          [](zc::Graph& self, const Name& name, zc::TensorId table, zc::TensorId ids) {
            return unwrap(self.gather(name.text, table, ids));
          },
          arg("name"), arg("table"), arg("ids"))
      .def("validate", [](const zc::Graph& self) { unwrap(self.validate()); });
}

}  // namespace

void bind_graph(py::module_& module) {
  bind_id<zc::TensorId>(module, "TensorId");
  bind_id<zc::OpId>(module, "OpId");
  bind_tensor(module);
  bind_op(module);
  bind_graph_class(module);
}

}  // namespace zelk_python
