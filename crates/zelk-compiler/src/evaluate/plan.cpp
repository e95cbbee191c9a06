// The checks and the plan of one evaluation.
//
// A `Graph` may be assembled from raw records, so nothing the builders
// guarantee is taken for granted: every operation's operands are checked
// against its kind's shape rule and must be computed before it.
#include "evaluate/plan.hpp"

#include <algorithm>
#include <map>
#include <string>
#include <string_view>

#include "graph/validate.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/detail/exact_integers.hpp"
#include "zelk_compiler/detail/float16.hpp"
#include "zelk_compiler/detail/shape_rules.hpp"

namespace zelk_compiler::detail {
namespace {

CompileError error(std::string_view phrase, std::string_view name) {
  std::string message(phrase);
  message += name;
  return CompileError::graph(std::move(message));
}

// Every element of a 16-bit source value must be one of its type's values:
// rounding it here would compute on other values than the caller's. An
// integer value must be a whole number a float holds exactly.
Result<void> check_representable(const Tensor& tensor, const std::vector<float>& value) {
  if (!is_float(tensor.dtype)) {
    const std::size_t misfit = first_non_integer(value);
    if (misfit == value.size()) {
      return {};
    }
    return std::unexpected(CompileError::graph(
        "value for " + tensor.name + " is not an integer of " + debug_string(tensor.dtype) +
        " within 2^24: element " + std::to_string(misfit) + " is " + debug_string(value[misfit])));
  }
  const std::size_t misfit = first_misfit(tensor.dtype, value);
  if (misfit == value.size()) {
    return {};
  }
  return std::unexpected(CompileError::graph(
      "value for " + tensor.name + " is not of type " + debug_string(tensor.dtype) + ": element " +
      std::to_string(misfit) + " is " + debug_string(value[misfit])));
}

Result<void> check_operations(const Graph& graph,
                              const std::vector<std::optional<std::uint64_t>>& writer) {
  std::vector<ShapeView> shapes;
  std::vector<DType> types;
  for (std::uint64_t j = 0; j < graph.ops.size(); ++j) {
    const Op& op = graph.ops[j];
    shapes.clear();
    types.clear();
    if (auto ordered = check_operand_order(op, j, writer); !ordered) {
      return ordered;
    }
    for (const TensorId input : op.inputs) {
      shapes.emplace_back(graph.tensors[input.index].shape);
      types.push_back(graph.tensors[input.index].dtype);
    }
    const Tensor& output = graph.tensors[op.output.index];
    const auto type = output_type(op.kind, types, op.name);
    if (output_shape(op.kind, shapes) != output.shape || !type || *type != output.dtype) {
      return std::unexpected(error("operands do not fit op ", op.name));
    }
  }
  return {};
}

// The caller's value of every source tensor, by name: each name must pick
// out one source, and its value must hold the tensor's elements.
Result<std::vector<const std::vector<float>*>> source_values(
    const Graph& graph, const std::vector<std::optional<std::uint64_t>>& writer,
    const TensorValues& values) {
  std::vector<const std::vector<float>*> source(graph.tensors.size(), nullptr);
  std::map<std::string_view, std::uint64_t> by_name;
  for (const Tensor& tensor : graph.tensors) {
    if (writer[tensor.id.index]) {
      continue;
    }
    if (!by_name.emplace(tensor.name, tensor.id.index).second) {
      return std::unexpected(error("ambiguous value name ", tensor.name));
    }
    const auto found = values.find(tensor.name);
    if (found == values.end()) {
      return std::unexpected(error("missing value for ", tensor.name));
    }
    // Validation keeps every tensor's byte size within 64 bits.
    if (found->second.size() != tensor.elements()) {
      return std::unexpected(error("value size mismatch for ", tensor.name));
    }
    if (auto typed = check_representable(tensor, found->second); !typed) {
      return std::unexpected(std::move(typed.error()));
    }
    source[tensor.id.index] = &found->second;
  }
  return source;
}

// Outputs are returned by name, so two different tensors cannot share one.
Result<std::vector<bool>> outputs(const Graph& graph) {
  std::vector<bool> output(graph.tensors.size(), false);
  std::map<std::string_view, std::uint64_t> by_name;
  for (const TensorId id : graph.outputs) {
    const Tensor& tensor = graph.tensors[id.index];
    const auto [at, fresh] = by_name.emplace(tensor.name, id.index);
    if (!fresh && at->second != id.index) {
      return std::unexpected(error("ambiguous output name ", tensor.name));
    }
    output[id.index] = true;
  }
  return output;
}

}  // namespace

Result<EvaluationPlan> plan_evaluation(const Graph& graph, const TensorValues& values) {
  if (auto valid = graph.validate(); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  const auto writer = tensor_writers(graph);
  if (auto checked = check_operations(graph, writer); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  auto source = source_values(graph, writer, values);
  if (!source) {
    return std::unexpected(std::move(source.error()));
  }
  auto output = outputs(graph);
  if (!output) {
    return std::unexpected(std::move(output.error()));
  }

  EvaluationPlan plan{
      .needed = std::vector<bool>(graph.ops.size(), false),
      .last_reader = std::vector<std::optional<std::uint64_t>>(graph.tensors.size()),
      .output = std::move(*output),
      .source = std::move(*source)};
  // Backwards from the outputs: an operation is needed when its result is,
  // and then so are its operands. Operations come after their operands.
  std::vector<bool> wanted = plan.output;
  for (std::uint64_t j = graph.ops.size(); j > 0; --j) {
    const Op& op = graph.ops[j - 1];
    if (!wanted[op.output.index]) {
      continue;
    }
    plan.needed[j - 1] = true;
    for (const TensorId input : op.inputs) {
      wanted[input.index] = true;
    }
  }
  for (std::uint64_t j = 0; j < graph.ops.size(); ++j) {
    if (plan.needed[j]) {
      for (const TensorId input : graph.ops[j].inputs) {
        plan.last_reader[input.index] = j;
      }
    }
  }
  return plan;
}

}  // namespace zelk_compiler::detail
