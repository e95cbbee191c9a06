// Graph records and the builder operations with their shape rules.
#include "zelk_compiler/graph.hpp"

#include <algorithm>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "overloaded.hpp"
#include "zelk_compiler/checked.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/detail/shape_rules.hpp"

namespace zelk_compiler {
namespace {

CompileError builder_error(std::string_view name, std::string_view phrase) {
  std::string message(name);
  message += phrase;
  return CompileError::graph(std::move(message));
}

// Makes room for one more element with geometric growth, so that the
// push_back that follows cannot throw.
template <class T>
void reserve_one(std::vector<T>& values) {
  if (values.size() == values.capacity()) {
    values.reserve(std::max<std::size_t>(8, values.capacity() * 2));
  }
}

CompileError unknown_input(std::string_view name) { return builder_error(name, ": unknown input"); }

// Whether every id names one of `tensors`.
bool known(const std::vector<Tensor>& tensors, std::span<const TensorId> ids) {
  return std::ranges::all_of(ids, [&](TensorId id) { return id.index < tensors.size(); });
}
bool known(const std::vector<Tensor>& tensors, std::initializer_list<TensorId> ids) {
  return known(tensors, std::span(ids.begin(), ids.size()));
}

// A MatMul of `left` and `right` whose output shape `rule` gives.
Result<TensorId> product(Graph& graph, std::string_view name, TensorId left, TensorId right,
                         std::optional<detail::Shape> (*rule)(detail::ShapeView,
                                                              detail::ShapeView)) {
  if (!known(graph.tensors, {left, right})) {
    return std::unexpected(unknown_input(name));
  }
  const auto& a = graph.tensors[left.index].shape;
  const auto& b = graph.tensors[right.index].shape;
  auto shape = rule(a, b);
  if (!shape) {
    return std::unexpected(builder_error(
        name, ": incompatible matmul " + detail::shape_text(a) + " x " + detail::shape_text(b)));
  }
  return graph.op(name, MatMul{}, {left, right}, std::move(*shape));
}

// Which kinds `elementwise` and `unary` build.
bool is_elementwise(const OpKind& kind) {
  return std::holds_alternative<Add>(kind) || std::holds_alternative<Mul>(kind) ||
         std::holds_alternative<Sub>(kind) || std::holds_alternative<Div>(kind) ||
         std::holds_alternative<Pow>(kind);
}

bool is_unary(const OpKind& kind) {
  return std::holds_alternative<Gelu>(kind) || std::holds_alternative<GeluErf>(kind) ||
         std::holds_alternative<Relu>(kind) || std::holds_alternative<Erf>(kind) ||
         std::holds_alternative<Tanh>(kind) || std::holds_alternative<Sqrt>(kind) ||
         std::holds_alternative<Exp>(kind) || std::holds_alternative<Sigmoid>(kind);
}

// The element type of an operation's output, under its kind's type rule.
Result<DType> output_type(const std::vector<Tensor>& tensors, std::string_view name,
                          const OpKind& kind, std::span<const TensorId> inputs) {
  std::vector<DType> types;
  types.reserve(inputs.size());
  for (const TensorId input : inputs) {
    types.push_back(tensors[input.index].dtype);
  }
  return detail::output_type(kind, types, name);
}

}  // namespace

std::uint64_t Tensor::elements() const {
  const auto count = checked_product(shape);
  if (!count) {
    throw std::overflow_error("tensor element count does not fit 64 bits");
  }
  return *count;
}

std::string_view operation_name(const OpKind& kind) {
  return std::visit(detail::Overloaded{
                        [](const MatMul&) { return std::string_view("matmul"); },
                        [](const Add&) { return std::string_view("add"); },
                        [](const Mul&) { return std::string_view("mul"); },
                        [](const Reshape&) { return std::string_view("reshape"); },
                        [](const Transpose&) { return std::string_view("transpose"); },
                        [](const LayerNorm&) { return std::string_view("layer_norm"); },
                        [](const Softmax&) { return std::string_view("softmax"); },
                        [](const Gelu&) { return std::string_view("gelu"); },
                        [](const Sub&) { return std::string_view("sub"); },
                        [](const Div&) { return std::string_view("div"); },
                        [](const Pow&) { return std::string_view("pow"); },
                        [](const GeluErf&) { return std::string_view("gelu_erf"); },
                        [](const Relu&) { return std::string_view("relu"); },
                        [](const Erf&) { return std::string_view("erf"); },
                        [](const Tanh&) { return std::string_view("tanh"); },
                        [](const Sqrt&) { return std::string_view("sqrt"); },
                        [](const Exp&) { return std::string_view("exp"); },
                        [](const Slice&) { return std::string_view("slice"); },
                        [](const Concat&) { return std::string_view("concat"); },
                        [](const ReduceMean&) { return std::string_view("reduce_mean"); },
                        [](const Cast&) { return std::string_view("cast"); },
                        [](const Sigmoid&) { return std::string_view("sigmoid"); },
                        [](const Gather&) { return std::string_view("gather"); },
                    },
                    kind);
}

TensorId Graph::tensor(std::string_view name, std::vector<std::uint64_t> shape, TensorKind kind,
                       std::optional<OpId> producer, DType dtype) {
  const TensorId id{tensors.size()};
  tensors.push_back(Tensor{
      .id = id,
      .name = std::string(name),
      .dtype = dtype,
      .shape = std::move(shape),
      .kind = kind,
      .producer = producer,
  });
  return id;
}

Result<TensorId> Graph::op(std::string_view name, OpKind kind, std::vector<TensorId> inputs,
                           std::vector<std::uint64_t> shape) {
  if (!known(tensors, inputs)) {
    return std::unexpected(unknown_input(name));
  }
  auto dtype = output_type(tensors, name, kind, inputs);
  if (!dtype) {
    return std::unexpected(std::move(dtype.error()));
  }
  const OpId id{ops.size()};
  const TensorId output{tensors.size()};
  // Build both records and make room for them first, so that the two appends
  // cannot fail halfway: a failed call leaves the graph unchanged.
  Tensor tensor_record{
      .id = output,
      .name = std::string(name),
      .dtype = *dtype,
      .shape = std::move(shape),
      .kind = TensorKind::Intermediate,
      .producer = id,
  };
  Op op_record{
      .id = id,
      .name = std::string(name),
      .kind = std::move(kind),
      .inputs = std::move(inputs),
      .output = output,
  };
  reserve_one(tensors);
  reserve_one(ops);
  tensors.push_back(std::move(tensor_record));
  ops.push_back(std::move(op_record));
  return output;
}

Result<TensorId> Graph::binary(std::string_view name, OpKind kind, TensorId left, TensorId right) {
  if (!known(tensors, {left, right})) {
    return std::unexpected(unknown_input(name));
  }
  std::vector<std::uint64_t> shape = tensors[left.index].shape;
  if (shape != tensors[right.index].shape) {
    return std::unexpected(builder_error(name, ": binary shapes differ"));
  }
  return op(name, std::move(kind), {left, right}, std::move(shape));
}

TensorId Graph::input(std::string_view name, std::vector<std::uint64_t> shape, DType dtype) {
  return tensor(name, std::move(shape), TensorKind::Input, std::nullopt, dtype);
}

TensorId Graph::weight(std::string_view name, std::vector<std::uint64_t> shape, DType dtype) {
  return tensor(name, std::move(shape), TensorKind::Weight, std::nullopt, dtype);
}

void Graph::mark_output(TensorId id) {
  if (id.index >= tensors.size()) {
    throw std::out_of_range("mark_output: no tensor " + std::to_string(id.index));
  }
  reserve_one(outputs);
  tensors[id.index].kind = TensorKind::Output;
  outputs.push_back(id);
}

Result<TensorId> Graph::matmul(std::string_view name, TensorId left, TensorId right) {
  return product(*this, name, left, right, detail::matmul_shape);
}

Result<TensorId> Graph::add(std::string_view name, TensorId left, TensorId right) {
  return binary(name, Add{}, left, right);
}

Result<TensorId> Graph::transpose(std::string_view name, TensorId input,
                                  std::vector<std::uint64_t> permutation) {
  if (!known(tensors, {input})) {
    return std::unexpected(unknown_input(name));
  }
  auto shape = detail::transpose_shape(tensors[input.index].shape, permutation);
  if (!shape) {
    return std::unexpected(builder_error(name, ": invalid transpose permutation"));
  }
  return op(name, Transpose{std::move(permutation)}, {input}, std::move(*shape));
}

Result<TensorId> Graph::layer_norm(std::string_view name, TensorId input, float epsilon) {
  if (!known(tensors, {input})) {
    return std::unexpected(unknown_input(name));
  }
  return op(name, LayerNorm{epsilon}, {input}, tensors[input.index].shape);
}

Result<TensorId> Graph::softmax(std::string_view name, TensorId input, std::uint64_t axis) {
  if (!known(tensors, {input})) {
    return std::unexpected(unknown_input(name));
  }
  if (!detail::axis_fits(tensors[input.index].shape, axis)) {
    return std::unexpected(builder_error(name, ": softmax axis out of range"));
  }
  return op(name, Softmax{axis}, {input}, tensors[input.index].shape);
}

Result<TensorId> Graph::gelu(std::string_view name, TensorId input) {
  return unary(name, Gelu{}, input);
}

Result<TensorId> Graph::mul(std::string_view name, TensorId left, TensorId right) {
  return binary(name, Mul{}, left, right);
}

Result<TensorId> Graph::reshape(std::string_view name, TensorId input,
                                std::vector<std::uint64_t> shape) {
  if (!known(tensors, {input})) {
    return std::unexpected(unknown_input(name));
  }
  const auto& from = tensors[input.index].shape;
  if (!detail::reshape_fits(from, shape)) {
    return std::unexpected(builder_error(name, ": invalid reshape " + detail::shape_text(from) +
                                                   " to " + detail::shape_text(shape)));
  }
  std::vector<std::uint64_t> target = shape;
  return op(name, Reshape{std::move(shape)}, {input}, std::move(target));
}

Result<TensorId> Graph::elementwise(std::string_view name, OpKind kind, TensorId left,
                                    TensorId right) {
  if (!is_elementwise(kind)) {
    throw std::invalid_argument("elementwise: not an element-wise binary kind");
  }
  if (!known(tensors, {left, right})) {
    return std::unexpected(unknown_input(name));
  }
  const auto& a = tensors[left.index].shape;
  const auto& b = tensors[right.index].shape;
  auto shape = detail::broadcast_shape(a, b);
  if (!shape) {
    return std::unexpected(builder_error(
        name,
        ": shapes do not broadcast " + detail::shape_text(a) + " and " + detail::shape_text(b)));
  }
  return op(name, std::move(kind), {left, right}, std::move(*shape));
}

Result<TensorId> Graph::batch_matmul(std::string_view name, TensorId left, TensorId right) {
  return product(*this, name, left, right, detail::batch_matmul_shape);
}

Result<TensorId> Graph::layer_norm(std::string_view name, TensorId input, TensorId gain,
                                   TensorId bias, float epsilon) {
  if (!known(tensors, {input, gain, bias})) {
    return std::unexpected(unknown_input(name));
  }
  const auto& x = tensors[input.index].shape;
  const auto& g = tensors[gain.index].shape;
  const auto& b = tensors[bias.index].shape;
  if (!detail::layer_norm_parameters_fit(x, g, b)) {
    return std::unexpected(
        builder_error(name, ": invalid layer_norm gain " + detail::shape_text(g) + " and bias " +
                                detail::shape_text(b) + " for " + detail::shape_text(x)));
  }
  return op(name, LayerNorm{epsilon}, {input, gain, bias}, x);
}

Result<TensorId> Graph::unary(std::string_view name, OpKind kind, TensorId input) {
  if (!is_unary(kind)) {
    throw std::invalid_argument("unary: not an element-wise unary kind");
  }
  if (!known(tensors, {input})) {
    return std::unexpected(unknown_input(name));
  }
  return op(name, std::move(kind), {input}, tensors[input.index].shape);
}

Result<TensorId> Graph::slice(std::string_view name, TensorId input, std::uint64_t axis,
                              std::uint64_t start, std::uint64_t end) {
  if (!known(tensors, {input})) {
    return std::unexpected(unknown_input(name));
  }
  const auto& source = tensors[input.index].shape;
  auto shape = detail::slice_shape(source, axis, start, end);
  if (!shape) {
    return std::unexpected(builder_error(
        name, ": invalid slice [" + std::to_string(start) + ", " + std::to_string(end) +
                  ") of axis " + std::to_string(axis) + " of " + detail::shape_text(source)));
  }
  return op(name, Slice{.axis = axis, .start = start, .end = end}, {input}, std::move(*shape));
}

Result<TensorId> Graph::concat(std::string_view name, std::vector<TensorId> inputs,
                               std::uint64_t axis) {
  if (!known(tensors, inputs)) {
    return std::unexpected(unknown_input(name));
  }
  std::vector<detail::ShapeView> shapes;
  shapes.reserve(inputs.size());
  for (const TensorId input : inputs) {
    shapes.emplace_back(tensors[input.index].shape);
  }
  auto fit = detail::concat_shape(shapes, axis);
  if (!fit.shape) {
    std::string phrase = ": invalid concat on axis " + std::to_string(axis) + " of ";
    if (shapes.empty()) {
      phrase += "no inputs";
    } else if (fit.misfit == 0) {
      phrase += detail::shape_text(shapes[0]);
    } else {
      phrase += detail::shape_text(shapes[0]) + " and " + detail::shape_text(shapes[fit.misfit]);
    }
    return std::unexpected(builder_error(name, phrase));
  }
  return op(name, Concat{axis}, std::move(inputs), std::move(*fit.shape));
}

Result<TensorId> Graph::reduce_mean(std::string_view name, TensorId input, std::uint64_t axis) {
  if (!known(tensors, {input})) {
    return std::unexpected(unknown_input(name));
  }
  auto shape = detail::reduce_shape(tensors[input.index].shape, axis);
  if (!shape) {
    return std::unexpected(builder_error(name, ": reduce_mean axis out of range"));
  }
  return op(name, ReduceMean{axis}, {input}, std::move(*shape));
}

Result<TensorId> Graph::cast(std::string_view name, TensorId input, DType to) {
  if (!known(tensors, {input})) {
    return std::unexpected(unknown_input(name));
  }
  return op(name, Cast{to}, {input}, tensors[input.index].shape);
}

Result<TensorId> Graph::gather(std::string_view name, TensorId table, TensorId ids) {
  if (!known(tensors, {table, ids})) {
    return std::unexpected(unknown_input(name));
  }
  const auto& rows = tensors[table.index].shape;
  auto shape = detail::gather_shape(rows, tensors[ids.index].shape);
  if (!shape) {
    return std::unexpected(
        builder_error(name, ": gather table must be 2-D, not " + detail::shape_text(rows)));
  }
  return op(name, Gather{}, {table, ids}, std::move(*shape));
}

}  // namespace zelk_compiler
