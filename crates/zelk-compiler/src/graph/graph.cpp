// Graph records and the builder operations with their shape rules.
#include "zelk_compiler/graph.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "checked.hpp"

namespace zelk_compiler {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};

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

std::string shape_text(std::span<const std::uint64_t> shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i != 0) {
      text += ", ";
    }
    text += std::to_string(shape[i]);
  }
  text += ']';
  return text;
}

}  // namespace

std::uint64_t Tensor::elements() const {
  const auto count = detail::shape_elements(shape);
  if (!count) {
    throw std::overflow_error("tensor element count does not fit 64 bits");
  }
  return *count;
}

std::string_view operation_name(const OpKind& kind) {
  return std::visit(Overloaded{
                        [](const MatMul&) { return std::string_view("matmul"); },
                        [](const Add&) { return std::string_view("add"); },
                        [](const Mul&) { return std::string_view("mul"); },
                        [](const Reshape&) { return std::string_view("reshape"); },
                        [](const Transpose&) { return std::string_view("transpose"); },
                        [](const LayerNorm&) { return std::string_view("layer_norm"); },
                        [](const Softmax&) { return std::string_view("softmax"); },
                        [](const Gelu&) { return std::string_view("gelu"); },
                    },
                    kind);
}

TensorId Graph::tensor(std::string_view name, std::vector<std::uint64_t> shape, TensorKind kind,
                       std::optional<OpId> producer) {
  const TensorId id{tensors.size()};
  tensors.push_back(Tensor{
      .id = id,
      .name = std::string(name),
      .dtype = DType::F32,
      .shape = std::move(shape),
      .kind = kind,
      .producer = producer,
  });
  return id;
}

Result<TensorId> Graph::op(std::string_view name, OpKind kind, std::vector<TensorId> inputs,
                           std::vector<std::uint64_t> shape) {
  const bool known =
      std::ranges::all_of(inputs, [this](TensorId input) { return input.index < tensors.size(); });
  if (!known) {
    return std::unexpected(unknown_input(name));
  }
  const OpId id{ops.size()};
  const TensorId output{tensors.size()};
  // Build both records and make room for them first, so that the two appends
  // cannot fail halfway: a failed call leaves the graph unchanged.
  Tensor tensor_record{
      .id = output,
      .name = std::string(name),
      .dtype = DType::F32,
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
  if (left.index >= tensors.size() || right.index >= tensors.size()) {
    return std::unexpected(unknown_input(name));
  }
  std::vector<std::uint64_t> shape = tensors[left.index].shape;
  if (shape != tensors[right.index].shape) {
    return std::unexpected(builder_error(name, ": binary shapes differ"));
  }
  return op(name, std::move(kind), {left, right}, std::move(shape));
}

TensorId Graph::input(std::string_view name, std::vector<std::uint64_t> shape) {
  return tensor(name, std::move(shape), TensorKind::Input, std::nullopt);
}

TensorId Graph::weight(std::string_view name, std::vector<std::uint64_t> shape) {
  return tensor(name, std::move(shape), TensorKind::Weight, std::nullopt);
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
  if (left.index >= tensors.size() || right.index >= tensors.size()) {
    return std::unexpected(unknown_input(name));
  }
  const auto& a = tensors[left.index].shape;
  const auto& b = tensors[right.index].shape;
  if (a.size() != 2 || b.size() != 2 || a[1] != b[0]) {
    const std::string phrase = ": incompatible matmul " + shape_text(a) + " x " + shape_text(b);
    return std::unexpected(builder_error(name, phrase));
  }
  return op(name, MatMul{}, {left, right}, {a[0], b[1]});
}

Result<TensorId> Graph::add(std::string_view name, TensorId left, TensorId right) {
  return binary(name, Add{}, left, right);
}

Result<TensorId> Graph::transpose(std::string_view name, TensorId input,
                                  std::vector<std::uint64_t> permutation) {
  if (input.index >= tensors.size()) {
    return std::unexpected(unknown_input(name));
  }
  const auto& source = tensors[input.index].shape;
  const std::size_t rank = source.size();
  // Each axis below the rank at most once, and as many entries as axes: that
  // makes it a permutation of 0 .. rank - 1.
  std::vector<bool> seen(rank, false);
  bool valid = permutation.size() == rank;
  for (std::size_t i = 0; valid && i < permutation.size(); ++i) {
    const std::uint64_t axis = permutation[i];
    valid = axis < rank && !seen[axis];
    if (valid) {
      seen[axis] = true;
    }
  }
  if (!valid) {
    return std::unexpected(builder_error(name, ": invalid transpose permutation"));
  }
  std::vector<std::uint64_t> shape;
  shape.reserve(rank);
  for (const std::uint64_t axis : permutation) {
    shape.push_back(source[axis]);
  }
  return op(name, Transpose{std::move(permutation)}, {input}, std::move(shape));
}

Result<TensorId> Graph::layer_norm(std::string_view name, TensorId input, float epsilon) {
  if (input.index >= tensors.size()) {
    return std::unexpected(unknown_input(name));
  }
  return op(name, LayerNorm{epsilon}, {input}, tensors[input.index].shape);
}

Result<TensorId> Graph::softmax(std::string_view name, TensorId input, std::uint64_t axis) {
  if (input.index >= tensors.size()) {
    return std::unexpected(unknown_input(name));
  }
  if (axis >= tensors[input.index].shape.size()) {
    return std::unexpected(builder_error(name, ": softmax axis out of range"));
  }
  return op(name, Softmax{axis}, {input}, tensors[input.index].shape);
}

Result<TensorId> Graph::gelu(std::string_view name, TensorId input) {
  if (input.index >= tensors.size()) {
    return std::unexpected(unknown_input(name));
  }
  return op(name, Gelu{}, {input}, tensors[input.index].shape);
}

}  // namespace zelk_compiler
