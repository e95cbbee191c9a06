// The steps the operator handlers share.
#include "operators/steps.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "fold.hpp"
#include "graph_index.hpp"

namespace zelk_onnx::detail {

namespace zc = zelk_compiler;
using zc::Result;

Result<std::int64_t> int_attribute(const onnx::NodeProto& node, std::string_view name,
                                   std::int64_t fallback) {
  const auto* attribute = find_attribute(node, name);
  if (attribute == nullptr) {
    return fallback;
  }
  if (attribute->type() != onnx::AttributeProto_AttributeType_INT) {
    return fail("attribute '" + std::string(name) + "' is not an integer");
  }
  return attribute->i();
}

Result<float> float_attribute(const onnx::NodeProto& node, std::string_view name, float fallback) {
  const auto* attribute = find_attribute(node, name);
  if (attribute == nullptr) {
    return fallback;
  }
  if (attribute->type() != onnx::AttributeProto_AttributeType_FLOAT) {
    return fail("attribute '" + std::string(name) + "' is not a float");
  }
  return attribute->f();
}

Result<std::optional<std::vector<std::int64_t>>> ints_attribute(const onnx::NodeProto& node,
                                                                std::string_view name) {
  const auto* attribute = find_attribute(node, name);
  if (attribute == nullptr) {
    return std::nullopt;
  }
  if (attribute->type() != onnx::AttributeProto_AttributeType_INTS) {
    return fail("attribute '" + std::string(name) + "' is not a list of integers");
  }
  return std::vector<std::int64_t>(attribute->ints().begin(), attribute->ints().end());
}

Result<std::vector<std::uint64_t>> distinct_axes(std::span<const std::int64_t> axes,
                                                 std::uint64_t rank) {
  std::vector<std::uint64_t> normalized;
  for (const std::int64_t axis : axes) {
    auto at = normalize_axis(axis, rank);
    if (!at) {
      return std::unexpected(at.error());
    }
    if (std::ranges::find(normalized, *at) != normalized.end()) {
      return fail("axis " + std::to_string(axis) + " is given twice");
    }
    normalized.push_back(*at);
  }
  return normalized;
}

std::uint64_t clamp_index(std::int64_t index, std::uint64_t extent) {
  if (index >= 0) {
    return std::min(static_cast<std::uint64_t>(index), extent);
  }
  const std::uint64_t back = static_cast<std::uint64_t>(-(index + 1)) + 1;
  return back >= extent ? 0 : extent - back;
}

Result<void> define_reshaped(Importer& in, std::string_view name, const Value& value, Shape shape) {
  if (Importer::is_constant(value)) {
    const std::uint64_t refusals = in.budget.refusals();
    auto known = in.constant(value);
    auto copy = known ? fold_copy(**known, shape, in.budget)
                      : Result<HostTensor>(std::unexpected(known.error()));
    if (copy || !left_to_graph(in, refusals, {&value, 1})) {
      return copy ? in.define_constant(name, std::move(*copy)) : std::unexpected(copy.error());
    }
  }
  auto tensor = in.operand(value);
  if (!tensor) {
    return std::unexpected(tensor.error());
  }
  return in.define(name, in.reshaped(name, *tensor, std::move(shape)));
}

Result<std::vector<const HostTensor*>> known_inputs(Importer& in, const onnx::NodeProto& node,
                                                    int count) {
  if (node.input_size() != count) {
    return fail(node.op_type() + " takes " + std::to_string(count) + " inputs");
  }
  std::vector<const HostTensor*> known;
  for (int at = 0; at < count; ++at) {
    auto value = in.required(node, at);
    if (!value) {
      return std::unexpected(value.error());
    }
    if (!Importer::is_constant(*value)) {
      return fail("input '" + node.input(at) + "' is computed by the graph; " + node.op_type() +
                  " is folded only on values known at import");
    }
    auto constant = in.constant(*value);
    if (!constant) {
      return std::unexpected(constant.error());
    }
    known.push_back(*constant);
  }
  return known;
}

bool left_to_graph(const Importer& in, std::uint64_t refusals, std::span<const Value> operands) {
  return in.budget.refusals() != refusals && std::ranges::all_of(operands, [&](const Value& value) {
           return is_float(in.type(value));
         });
}

Result<void> fold(Importer& in, const onnx::NodeProto& node, Result<HostTensor> folded) {
  if (!folded) {
    return std::unexpected(folded.error());
  }
  return in.define_constant(output(node), std::move(*folded));
}

}  // namespace zelk_onnx::detail
