// What the operator handlers do with a node: read its attributes, normalise
// its axes and indices, and define its outputs (folded, reshaped or as they
// are).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include <onnx/onnx_pb.h>

#include "importer.hpp"

namespace zelk_onnx::detail {

// The name of output `at` of `node`.
[[nodiscard]] inline std::string_view output(const onnx::NodeProto& node, int at = 0) {
  return node.output(at);
}

// The attribute `name` of `node`, `fallback` when it is absent; an error when
// it has another type.
[[nodiscard]] zelk_compiler::Result<std::int64_t> int_attribute(const onnx::NodeProto& node,
                                                                std::string_view name,
                                                                std::int64_t fallback);
[[nodiscard]] zelk_compiler::Result<float> float_attribute(const onnx::NodeProto& node,
                                                           std::string_view name, float fallback);
[[nodiscard]] zelk_compiler::Result<std::optional<std::vector<std::int64_t>>> ints_attribute(
    const onnx::NodeProto& node, std::string_view name);

// Axes of a rank-`rank` tensor, each normalised once; repeated axes are refused.
[[nodiscard]] zelk_compiler::Result<std::vector<std::uint64_t>> distinct_axes(
    std::span<const std::int64_t> axes, std::uint64_t rank);

// A start or end of Slice, negative counting from the end, clamped to [0, extent].
[[nodiscard]] std::uint64_t clamp_index(std::int64_t index, std::uint64_t extent);

// The node's value `value` under `shape`: a constant is copied under the new
// shape, a graph tensor (or a FLOAT constant beyond the folding budget) gets
// a reshape named `name`.
[[nodiscard]] zelk_compiler::Result<void> define_reshaped(Importer& in, std::string_view name,
                                                          const Value& value, Shape shape);

// The `count` inputs of a node that folds only values known at import.
[[nodiscard]] zelk_compiler::Result<std::vector<const HostTensor*>> known_inputs(
    Importer& in, const onnx::NodeProto& node, int count);

// Whether a fold that failed is left to the graph instead: the folding budget
// refused it (it has refused more than `refusals`, its count before the fold)
// and every one of `operands` is a FLOAT value, which the graph can take as a
// weight.
[[nodiscard]] bool left_to_graph(const Importer& in, std::uint64_t refusals,
                                 std::span<const Value> operands);

// Defines the node's output as the folded value, or passes on the fold's error.
[[nodiscard]] zelk_compiler::Result<void> fold(Importer& in, const onnx::NodeProto& node,
                                               zelk_compiler::Result<HostTensor> folded);

// Defines the node's output as `folding` of its `count` inputs, all of which
// must be known at import.
template <class Folding>
[[nodiscard]] zelk_compiler::Result<void> fold_known(Importer& in, const onnx::NodeProto& node,
                                                     int count, Folding folding) {
  auto known = known_inputs(in, node, count);
  if (!known) {
    return std::unexpected(known.error());
  }
  return fold(in, node, folding(std::span<const HostTensor* const>(*known)));
}

}  // namespace zelk_onnx::detail
