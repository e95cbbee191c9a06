// Graph records and builders: ids, tensors, operation kinds, operations and
// the Graph with its builders and validation.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
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
#include "zelk_compiler/graph.hpp"

namespace zelk_python {
namespace {

namespace zc = zelk_compiler;
using py::arg;

template <class Id>
void bind_id(py::module_& module, const char* name) {
  py::class_<Id> id(module, name);
  id.def(py::init([](const py::handle& index) { return Id{to_u64(index, "index")}; }),
         arg("index") = 0)
      .def_readonly("index", &Id::index)
      .def(py::self < py::self)    // NOLINT(misc-redundant-expression)
      .def(py::self <= py::self)   // NOLINT(misc-redundant-expression)
      .def(py::self > py::self)    // NOLINT(misc-redundant-expression)
      .def(py::self >= py::self);  // NOLINT(misc-redundant-expression)
  value_record(id);
  // Defining __eq__ dropped the hash; put it back.
  id.def("__hash__", [](const Id& value) { return std::hash<std::uint64_t>{}(value.index); });
}

// One Python class per operation kind. Every alternative of OpKind needs an
// overload here, so a kind added to the library without one fails to compile.
template <class Kind>
py::class_<Kind> kind_class(py::module_& module, const char* name) {
  py::class_<Kind> kind(module, name);
  value_record(kind);
  return kind;
}

template <class Kind>
void bind_field_free_kind(py::module_& module, const char* name) {
  kind_class<Kind>(module, name).def(py::init<>());
}

void bind_kind(py::module_& module, std::type_identity<zc::MatMul>) {
  bind_field_free_kind<zc::MatMul>(module, "MatMul");
}
void bind_kind(py::module_& module, std::type_identity<zc::Add>) {
  bind_field_free_kind<zc::Add>(module, "Add");
}
void bind_kind(py::module_& module, std::type_identity<zc::Mul>) {
  bind_field_free_kind<zc::Mul>(module, "Mul");
}
void bind_kind(py::module_& module, std::type_identity<zc::Gelu>) {
  bind_field_free_kind<zc::Gelu>(module, "Gelu");
}
void bind_kind(py::module_& module, std::type_identity<zc::Sub>) {
  bind_field_free_kind<zc::Sub>(module, "Sub");
}
void bind_kind(py::module_& module, std::type_identity<zc::Div>) {
  bind_field_free_kind<zc::Div>(module, "Div");
}
void bind_kind(py::module_& module, std::type_identity<zc::Pow>) {
  bind_field_free_kind<zc::Pow>(module, "Pow");
}
void bind_kind(py::module_& module, std::type_identity<zc::GeluErf>) {
  bind_field_free_kind<zc::GeluErf>(module, "GeluErf");
}
void bind_kind(py::module_& module, std::type_identity<zc::Relu>) {
  bind_field_free_kind<zc::Relu>(module, "Relu");
}
void bind_kind(py::module_& module, std::type_identity<zc::Erf>) {
  bind_field_free_kind<zc::Erf>(module, "Erf");
}
void bind_kind(py::module_& module, std::type_identity<zc::Tanh>) {
  bind_field_free_kind<zc::Tanh>(module, "Tanh");
}
void bind_kind(py::module_& module, std::type_identity<zc::Sqrt>) {
  bind_field_free_kind<zc::Sqrt>(module, "Sqrt");
}
void bind_kind(py::module_& module, std::type_identity<zc::Exp>) {
  bind_field_free_kind<zc::Exp>(module, "Exp");
}
void bind_kind(py::module_& module, std::type_identity<zc::Reshape>) {
  kind_class<zc::Reshape>(module, "Reshape")
      .def(py::init(
               [](const py::handle& shape) { return zc::Reshape{to_u64_list(shape, "shape")}; }),
           arg("shape") = py::list())
      .def_readonly("shape", &zc::Reshape::shape);
}
void bind_kind(py::module_& module, std::type_identity<zc::Transpose>) {
  kind_class<zc::Transpose>(module, "Transpose")
      .def(py::init([](const py::handle& permutation) {
             return zc::Transpose{to_u64_list(permutation, "permutation")};
           }),
           arg("permutation") = py::list())
      .def_readonly("permutation", &zc::Transpose::permutation);
}
void bind_kind(py::module_& module, std::type_identity<zc::LayerNorm>) {
  kind_class<zc::LayerNorm>(module, "LayerNorm")
      .def(py::init([](float epsilon) { return zc::LayerNorm{epsilon}; }), arg("epsilon") = 0.0F)
      .def_readonly("epsilon", &zc::LayerNorm::epsilon);
}
void bind_kind(py::module_& module, std::type_identity<zc::Softmax>) {
  kind_class<zc::Softmax>(module, "Softmax")
      .def(py::init([](const py::handle& axis) { return zc::Softmax{to_u64(axis, "axis")}; }),
           arg("axis") = 0)
      .def_readonly("axis", &zc::Softmax::axis);
}

void bind_kind(py::module_& module, std::type_identity<zc::Slice>) {
  kind_class<zc::Slice>(module, "Slice")
      .def(py::init([](const py::handle& axis, const py::handle& start, const py::handle& end) {
             return zc::Slice{.axis = to_u64(axis, "axis"),
                              .start = to_u64(start, "start"),
                              .end = to_u64(end, "end")};
           }),
           arg("axis") = 0, arg("start") = 0, arg("end") = 0)
      .def_readonly("axis", &zc::Slice::axis)
      .def_readonly("start", &zc::Slice::start)
      .def_readonly("end", &zc::Slice::end);
}
void bind_kind(py::module_& module, std::type_identity<zc::Concat>) {
  kind_class<zc::Concat>(module, "Concat")
      .def(py::init([](const py::handle& axis) { return zc::Concat{to_u64(axis, "axis")}; }),
           arg("axis") = 0)
      .def_readonly("axis", &zc::Concat::axis);
}
void bind_kind(py::module_& module, std::type_identity<zc::ReduceMean>) {
  kind_class<zc::ReduceMean>(module, "ReduceMean")
      .def(py::init([](const py::handle& axis) { return zc::ReduceMean{to_u64(axis, "axis")}; }),
           arg("axis") = 0)
      .def_readonly("axis", &zc::ReduceMean::axis);
}

template <class... Kinds>
void bind_kinds(py::module_& module, std::type_identity<std::variant<Kinds...>>) {
  (bind_kind(module, std::type_identity<Kinds>{}), ...);
}

void bind_tensor(py::module_& module) {
  py::enum_<zc::DType> dtypes(module, "DType");
  dtypes.value("F32", zc::DType::F32);
  print_enum_as_library(dtypes);
  dtypes.def_property_readonly("size", [](zc::DType value) { return zc::size(value); });

  py::enum_<zc::TensorKind> kinds(module, "TensorKind");
  kinds.value("Input", zc::TensorKind::Input)
      .value("Weight", zc::TensorKind::Weight)
      .value("Intermediate", zc::TensorKind::Intermediate)
      .value("Output", zc::TensorKind::Output);
  print_enum_as_library(kinds);

  py::class_<zc::Tensor> tensor(module, "Tensor");
  tensor
      .def(py::init([](zc::TensorId id, std::string name, zc::DType dtype, const py::handle& shape,
                       zc::TensorKind tensor_kind, std::optional<zc::OpId> producer) {
             return zc::Tensor{.id = id,
                               .name = std::move(name),
                               .dtype = dtype,
                               .shape = to_u64_list(shape, "shape"),
                               .kind = tensor_kind,
                               .producer = producer};
           }),
           py::kw_only(), arg("id") = zc::TensorId{}, arg("name") = "",
           arg("dtype") = zc::DType::F32, arg("shape") = py::list(),
           arg("kind") = zc::TensorKind::Intermediate, arg("producer") = py::none())
      .def_readonly("id", &zc::Tensor::id)
      .def_readonly("name", &zc::Tensor::name)
      .def_readonly("dtype", &zc::Tensor::dtype)
      .def_readonly("shape", &zc::Tensor::shape)
      .def_readonly("kind", &zc::Tensor::kind)
      .def_readonly("producer", &zc::Tensor::producer)
      .def("elements", &zc::Tensor::elements);
  value_record(tensor);
}

void bind_op(py::module_& module) {
  bind_kinds(module, std::type_identity<zc::OpKind>{});
  module.def(
      "operation_name",
      [](const zc::OpKind& kind) { return std::string(zc::operation_name(kind)); }, arg("kind"));

  py::class_<zc::Op> op(module, "Op");
  op.def(py::init([](zc::OpId id, std::string name, zc::OpKind kind,
                     std::vector<zc::TensorId> inputs, zc::TensorId output) {
           return zc::Op{.id = id,
                         .name = std::move(name),
                         .kind = std::move(kind),
                         .inputs = std::move(inputs),
                         .output = output};
         }),
         py::kw_only(), arg("id") = zc::OpId{}, arg("name") = "", arg("kind") = zc::MatMul{},
         arg("inputs") = std::vector<zc::TensorId>{}, arg("output") = zc::TensorId{})
      .def_readonly("id", &zc::Op::id)
      .def_readonly("name", &zc::Op::name)
      .def_readonly("kind", &zc::Op::kind)
      .def_readonly("inputs", &zc::Op::inputs)
      .def_readonly("output", &zc::Op::output);
  value_record(op);
}

using TensorList = ListView<zc::Graph, zc::Tensor, &zc::Graph::tensors>;
using OpList = ListView<zc::Graph, zc::Op, &zc::Graph::ops>;
using OutputList = ListView<zc::Graph, zc::TensorId, &zc::Graph::outputs>;

void bind_graph_class(py::module_& module) {
  bind_list_view<TensorList>(module, "TensorList");
  bind_list_view<OpList>(module, "OpList");
  bind_list_view<OutputList>(module, "TensorIdList");

  py::class_<zc::Graph> graph(module, "Graph");
  graph
      .def(py::init([](std::vector<zc::Tensor> tensors, std::vector<zc::Op> ops,
                       std::vector<zc::TensorId> outputs) {
             return zc::Graph{.tensors = std::move(tensors),
                              .ops = std::move(ops),
                              .outputs = std::move(outputs)};
           }),
           py::kw_only(), arg("tensors") = std::vector<zc::Tensor>{},
           arg("ops") = std::vector<zc::Op>{}, arg("outputs") = std::vector<zc::TensorId>{})
      .def_property_readonly("tensors", [](py::object self) { return TensorList(std::move(self)); })
      .def_property_readonly("ops", [](py::object self) { return OpList(std::move(self)); })
      .def_property_readonly("outputs", [](py::object self) { return OutputList(std::move(self)); })
      .def(
          "tensor",
          [](zc::Graph& self, std::string_view name, const py::handle& shape, zc::TensorKind kind,
             std::optional<zc::OpId> producer) {
            return self.tensor(name, to_u64_list(shape, "shape"), kind, producer);
          },
          arg("name"), arg("shape"), arg("kind"), arg("producer") = py::none())
      .def(
          "op",
          [](zc::Graph& self, std::string_view name, zc::OpKind kind,
             std::vector<zc::TensorId> inputs, const py::handle& shape) {
            return unwrap(
                self.op(name, std::move(kind), std::move(inputs), to_u64_list(shape, "shape")));
          },
          arg("name"), arg("kind"), arg("inputs"), arg("shape"))
      .def(
          "binary",
          [](zc::Graph& self, std::string_view name, zc::OpKind kind, zc::TensorId left,
             zc::TensorId right) {
            return unwrap(self.binary(name, std::move(kind), left, right));
          },
          arg("name"), arg("kind"), arg("left"), arg("right"))
      .def(
          "input",
          [](zc::Graph& self, std::string_view name, const py::handle& shape) {
            return self.input(name, to_u64_list(shape, "shape"));
          },
          arg("name"), arg("shape"))
      .def(
          "weight",
          [](zc::Graph& self, std::string_view name, const py::handle& shape) {
            return self.weight(name, to_u64_list(shape, "shape"));
          },
          arg("name"), arg("shape"))
      .def("mark_output", &zc::Graph::mark_output, arg("tensor"))
      .def(
          "matmul",
          [](zc::Graph& self, std::string_view name, zc::TensorId left, zc::TensorId right) {
            return unwrap(self.matmul(name, left, right));
          },
          arg("name"), arg("left"), arg("right"))
      .def(
          "add",
          [](zc::Graph& self, std::string_view name, zc::TensorId left, zc::TensorId right) {
            return unwrap(self.add(name, left, right));
          },
          arg("name"), arg("left"), arg("right"))
      .def(
          "transpose",
          [](zc::Graph& self, std::string_view name, zc::TensorId input,
             const py::handle& permutation) {
            return unwrap(self.transpose(name, input, to_u64_list(permutation, "permutation")));
          },
          arg("name"), arg("input"), arg("permutation"))
      .def(
          "layer_norm",
          [](zc::Graph& self, std::string_view name, zc::TensorId input, float epsilon) {
            return unwrap(self.layer_norm(name, input, epsilon));
          },
          arg("name"), arg("input"), arg("epsilon"))
      .def(
          "softmax",
          [](zc::Graph& self, std::string_view name, zc::TensorId input, const py::handle& axis) {
            return unwrap(self.softmax(name, input, to_u64(axis, "axis")));
          },
          arg("name"), arg("input"), arg("axis"))
      .def(
          "gelu",
          [](zc::Graph& self, std::string_view name, zc::TensorId input) {
            return unwrap(self.gelu(name, input));
          },
          arg("name"), arg("input"))
      .def(
          "mul",
          [](zc::Graph& self, std::string_view name, zc::TensorId left, zc::TensorId right) {
            return unwrap(self.mul(name, left, right));
          },
          arg("name"), arg("left"), arg("right"))
      .def(
          "reshape",
          [](zc::Graph& self, std::string_view name, zc::TensorId input, const py::handle& shape) {
            return unwrap(self.reshape(name, input, to_u64_list(shape, "shape")));
          },
          arg("name"), arg("input"), arg("shape"))
      .def(
          "elementwise",
          [](zc::Graph& self, std::string_view name, zc::OpKind kind, zc::TensorId left,
             zc::TensorId right) {
            return unwrap(self.elementwise(name, std::move(kind), left, right));
          },
          arg("name"), arg("kind"), arg("left"), arg("right"))
      .def(
          "batch_matmul",
          [](zc::Graph& self, std::string_view name, zc::TensorId left, zc::TensorId right) {
            return unwrap(self.batch_matmul(name, left, right));
          },
          arg("name"), arg("left"), arg("right"))
      .def(
          "layer_norm",
          [](zc::Graph& self, std::string_view name, zc::TensorId input, zc::TensorId gain,
             zc::TensorId bias,
             float epsilon) { return unwrap(self.layer_norm(name, input, gain, bias, epsilon)); },
          arg("name"), arg("input"), arg("gain"), arg("bias"), arg("epsilon"))
      .def(
          "unary",
          [](zc::Graph& self, std::string_view name, zc::OpKind kind, zc::TensorId input) {
            return unwrap(self.unary(name, std::move(kind), input));
          },
          arg("name"), arg("kind"), arg("input"))
      .def(
          "slice",
          [](zc::Graph& self, std::string_view name, zc::TensorId input, const py::handle& axis,
             const py::handle& start, const py::handle& end) {
            return unwrap(self.slice(name, input, to_u64(axis, "axis"), to_u64(start, "start"),
                                     to_u64(end, "end")));
          },
          arg("name"), arg("input"), arg("axis"), arg("start"), arg("end"))
      .def(
          "concat",
          [](zc::Graph& self, std::string_view name, std::vector<zc::TensorId> inputs,
             const py::handle& axis) {
            return unwrap(self.concat(name, std::move(inputs), to_u64(axis, "axis")));
          },
          arg("name"), arg("inputs"), arg("axis"))
      .def(
          "reduce_mean",
          [](zc::Graph& self, std::string_view name, zc::TensorId input, const py::handle& axis) {
            return unwrap(self.reduce_mean(name, input, to_u64(axis, "axis")));
          },
          arg("name"), arg("input"), arg("axis"))
      .def("validate", [](const zc::Graph& self) { unwrap(self.validate()); });
  value_record(graph);
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
