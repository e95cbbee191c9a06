// Stage graphs: a span of a graph's operations as a graph of its own.
#include "pipeline/stages.hpp"

#include <string>

#include "zelk_compiler/pipeline.hpp"

namespace zelk_compiler {
namespace detail {

TensorUses tensor_uses(const Graph& graph) {
  const std::size_t count = graph.tensors.size();
  TensorUses uses{.producer = std::vector<std::optional<std::uint64_t>>(count),
                  .last_reader = std::vector<std::optional<std::uint64_t>>(count),
                  .is_output = std::vector<bool>(count, false),
                  .bytes = std::vector<std::uint64_t>(count, 0)};
  for (const Tensor& tensor : graph.tensors) {
    // validate bounds every tensor's bytes to 64 bits.
    uses.bytes[tensor.id.index] = tensor.elements() * size(tensor.dtype);
  }
  for (const Op& op : graph.ops) {
    uses.producer.at(op.output.index) = op.id.index;
    for (const TensorId input : op.inputs) {
      uses.last_reader.at(input.index) = op.id.index;
    }
  }
  for (const TensorId output : graph.outputs) {
    uses.is_output.at(output.index) = true;
  }
  return uses;
}

StageGraph stage_of(const Graph& graph, const TensorUses& uses, std::uint64_t first,
                    std::uint64_t last) {
  constexpr std::uint64_t kAbsent = ~std::uint64_t{0};
  std::vector<std::uint64_t> stage_id(graph.tensors.size(), kAbsent);
  for (std::uint64_t position = first; position < last; ++position) {
    const Op& op = graph.ops.at(position);
    for (const TensorId input : op.inputs) {
      stage_id.at(input.index) = 0;
    }
    stage_id.at(op.output.index) = 0;
  }
  const auto inside = [&](std::optional<std::uint64_t> position) {
    return position && *position >= first && *position < last;
  };
  StageGraph result;
  Graph& stage = result.graph;
  for (const Tensor& tensor : graph.tensors) {
    const std::uint64_t index = tensor.id.index;
    if (stage_id[index] == kAbsent) {
      continue;
    }
    stage_id[index] = stage.tensors.size();
    Tensor copy = tensor;
    copy.id = TensorId{stage.tensors.size()};
    if (inside(uses.producer[index])) {
      const bool sent_on = uses.last_reader[index] && *uses.last_reader[index] >= last;
      copy.kind = sent_on || uses.is_output[index] ? TensorKind::Output : TensorKind::Intermediate;
      copy.producer = OpId{*uses.producer[index] - first};
      if (copy.kind == TensorKind::Output) {
        stage.outputs.push_back(copy.id);
      }
    } else {
      copy.kind = tensor.kind == TensorKind::Weight ? TensorKind::Weight : TensorKind::Input;
      copy.producer = std::nullopt;
    }
    stage.tensors.push_back(std::move(copy));
    result.whole.push_back(tensor.id);
  }
  for (std::uint64_t position = first; position < last; ++position) {
    Op op = graph.ops[position];
    op.id = OpId{position - first};
    for (TensorId& input : op.inputs) {
      input = TensorId{stage_id[input.index]};
    }
    op.output = TensorId{stage_id[op.output.index]};
    stage.ops.push_back(std::move(op));
  }
  // A stage whose results nobody reads still yields its last value, so that
  // it is a graph `compile` takes.
  if (stage.outputs.empty()) {
    const TensorId last_value = stage.ops.back().output;
    stage.tensors[last_value.index].kind = TensorKind::Output;
    stage.outputs.push_back(last_value);
  }
  return result;
}

}  // namespace detail

Result<Graph> stage_graph(const Graph& graph, std::uint64_t first, std::uint64_t last) {
  if (auto valid = graph.validate(); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  if (first >= last || last > graph.ops.size()) {
    return std::unexpected(CompileError::graph("no stage of operations " + std::to_string(first) +
                                               " to " + std::to_string(last) + " in a graph of " +
                                               std::to_string(graph.ops.size())));
  }
  return detail::stage_of(graph, detail::tensor_uses(graph), first, last).graph;
}

}  // namespace zelk_compiler
