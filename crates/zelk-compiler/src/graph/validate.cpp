// Whole-graph validation.
#include <algorithm>
#include <string>
#include <variant>

#include "graph/validate.hpp"
#include "zelk_compiler/checked.hpp"
#include "zelk_compiler/graph.hpp"

namespace zelk_compiler {
namespace {

// A tensor can be sized in bytes only when its element type is one the
// library knows, its extents are all non-zero and its byte size fits 64 bits;
// the compiler relies on all three after validation.
bool tensor_is_valid(const Tensor& tensor, std::uint64_t position) {
  if (tensor.id.index != position || !is_element_type(tensor.dtype) || tensor.shape.empty()) {
    return false;
  }
  if (std::ranges::find(tensor.shape, std::uint64_t{0}) != tensor.shape.end()) {
    return false;
  }
  const auto elements = checked_product(tensor.shape);
  return elements && checked_mul(*elements, size(tensor.dtype));
}

bool op_is_valid(const Op& op, std::uint64_t position, const std::vector<Tensor>& tensors) {
  if (op.id.index != position) {
    return false;
  }
  const auto in_range = [&](TensorId id) { return id.index < tensors.size(); };
  if (!std::ranges::all_of(op.inputs, in_range) || !in_range(op.output)) {
    return false;
  }
  // A conversion must name the type it converts to.
  if (const auto* cast = std::get_if<Cast>(&op.kind);
      cast != nullptr && !is_element_type(cast->to)) {
    return false;
  }
  return tensors[op.output.index].producer == op.id;
}

}  // namespace

Result<void> Graph::validate() const {
  for (std::uint64_t i = 0; i < tensors.size(); ++i) {
    if (!tensor_is_valid(tensors[i], i)) {
      return std::unexpected(CompileError::graph("invalid tensor " + tensors[i].name));
    }
  }
  for (std::uint64_t j = 0; j < ops.size(); ++j) {
    if (!op_is_valid(ops[j], j, tensors)) {
      return std::unexpected(CompileError::graph("invalid op " + ops[j].name));
    }
  }
  // Builders only append ids of existing tensors, but a graph assembled by
  // hand may not: compile must never index past the tensor list.
  for (const TensorId output : outputs) {
    if (output.index >= tensors.size()) {
      return std::unexpected(CompileError::graph("invalid output " + std::to_string(output.index)));
    }
  }
  if (outputs.empty()) {
    return std::unexpected(CompileError::graph("graph has no outputs"));
  }
  return {};
}

namespace detail {

std::vector<std::optional<std::uint64_t>> tensor_writers(const Graph& graph) {
  std::vector<std::optional<std::uint64_t>> writer(graph.tensors.size());
  for (std::uint64_t j = 0; j < graph.ops.size(); ++j) {
    writer[graph.ops[j].output.index] = j;
  }
  return writer;
}

Result<void> check_operand_order(const Op& op, std::uint64_t position,
                                 const std::vector<std::optional<std::uint64_t>>& writer) {
  const auto computed_later = [&](TensorId input) {
    return writer[input.index] && *writer[input.index] >= position;
  };
  if (std::ranges::any_of(op.inputs, computed_later)) {
    return std::unexpected(CompileError::graph("operand computed after op " + op.name));
  }
  return {};
}

Result<void> validate_in_order(const Graph& graph) {
  if (auto valid = graph.validate(); !valid) {
    return valid;
  }
  const auto writer = tensor_writers(graph);
  for (std::uint64_t j = 0; j < graph.ops.size(); ++j) {
    if (auto ordered = check_operand_order(graph.ops[j], j, writer); !ordered) {
      return ordered;
    }
  }
  return {};
}

}  // namespace detail
}  // namespace zelk_compiler
