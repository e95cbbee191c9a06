// Aliases and constants: Identity and Dropout pass a value on; Cast, Shape,
// Constant, ConstantOfShape and Range make values known at import.
#include "operators/handlers.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "graph_index.hpp"
#include "operators/steps.hpp"
#include "tensor_proto.hpp"

namespace zelk_onnx::detail::ops {
namespace {

namespace zc = zelk_compiler;
using zc::Result;

}  // namespace

Result<void> identity(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  return x ? in.define_value(output(node), *x) : std::unexpected(x.error());
}

// Inference: the output is the input; the mask output is not supported.
Result<void> dropout(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto training = in.input(node, 2);
  if (auto error = first_error(x, training)) {
    return std::unexpected(*error);
  }
  if (*training) {
    auto known = Importer::is_constant(**training)
                     ? in.constant(**training)
                     : Result<const HostTensor*>(std::unexpected(
                           zc::CompileError::graph("training_mode is computed by the graph")));
    if (!known) {
      return std::unexpected(known.error());
    }
    if (std::ranges::any_of((*known)->integers, [](std::int64_t v) { return v != 0; })) {
      return fail("training mode is not supported");
    }
  }
  return in.define_value(output(node), *x);
}

namespace {

// A cast of a value the graph computes: a cast operation, or the value
// itself when it has the target type already.
Result<void> cast_computed(Importer& in, const onnx::NodeProto& node, const Value& x,
                           std::int32_t code) {
  const auto target = graph_element_type(code);
  if (!target) {
    return fail("a computed tensor is cast to " + data_type_name(code) +
                "; the graph computes FLOAT, FLOAT16, BFLOAT16, INT64 and INT32 tensors");
  }
  auto tensor = in.operand(x);
  if (!tensor) {
    return std::unexpected(tensor.error());
  }
  if (in.graph.tensors[tensor->index].dtype == *target) {
    return in.define_value(output(node), x);
  }
  return in.define(output(node), in.graph.cast(output(node), *tensor, *target));
}

}  // namespace

Result<void> cast(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto to = int_attribute(node, "to", 0);
  if (auto error = first_error(x, to)) {
    return std::unexpected(*error);
  }
  const auto code = static_cast<std::int32_t>(*to);
  if (!Importer::is_constant(*x)) {
    return cast_computed(in, node, *x, code);
  }
  auto type = element_type(code);
  if (!type) {
    return std::unexpected(type.error());
  }
  auto known = in.constant(*x);
  return known ? fold(in, node, fold_cast(**known, *type, in.budget))
               : std::unexpected(known.error());
}

Result<void> shape(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto start = int_attribute(node, "start", 0);
  auto end = int_attribute(node, "end", std::numeric_limits<std::int64_t>::max());
  if (auto error = first_error(x, start, end)) {
    return std::unexpected(*error);
  }
  const Shape full = in.shape(*x);
  const std::uint64_t first = clamp_index(*start, full.size());
  const std::uint64_t last = std::max(first, clamp_index(*end, full.size()));
  return fold(in, node, shape_tensor(std::span(full).subspan(first, last - first)));
}

Result<void> constant(Importer& in, const onnx::NodeProto& node) {
  if (node.attribute_size() != 1) {
    return fail("a Constant has exactly one attribute");
  }
  const onnx::AttributeProto& attribute = node.attribute(0);
  const std::string& name = attribute.name();
  if (name == "value" && attribute.type() == onnx::AttributeProto_AttributeType_TENSOR) {
    auto values = in.read_attribute(attribute.t(), in.directory);
    if (!values) {
      return std::unexpected(values.error());
    }
    return in.define_constant(output(node), std::move(*values));
  }
  if (name == "value_float" && attribute.type() == onnx::AttributeProto_AttributeType_FLOAT) {
    return in.define_constant(output(node), HostTensor::of_floats({}, {attribute.f()}));
  }
  if (name == "value_floats" && attribute.type() == onnx::AttributeProto_AttributeType_FLOATS) {
    std::vector<float> values(attribute.floats().begin(), attribute.floats().end());
    const Shape shape{values.size()};
    return in.define_constant(output(node), HostTensor::of_floats(shape, std::move(values)));
  }
  if (name == "value_int" && attribute.type() == onnx::AttributeProto_AttributeType_INT) {
    return in.define_constant(output(node),
                              HostTensor::of_integers(ElementType::Int64, {}, {attribute.i()}));
  }
  if (name == "value_ints" && attribute.type() == onnx::AttributeProto_AttributeType_INTS) {
    std::vector<std::int64_t> values(attribute.ints().begin(), attribute.ints().end());
    const Shape shape{values.size()};
    return in.define_constant(
        output(node), HostTensor::of_integers(ElementType::Int64, shape, std::move(values)));
  }
  return fail("a Constant given by attribute '" + name + "' is not supported");
}

Result<void> constant_of_shape(Importer& in, const onnx::NodeProto& node) {
  auto extents = in.integers(node, 0, "shape");
  if (!extents) {
    return std::unexpected(extents.error());
  }
  if (extents->size() > kMaxRank) {
    return fail("rank " + std::to_string(extents->size()) + " is above " +
                std::to_string(kMaxRank));
  }
  Shape shape;
  for (const std::int64_t extent : *extents) {
    if (extent < 0) {
      return fail("negative extent " + std::to_string(extent));
    }
    shape.push_back(static_cast<std::uint64_t>(extent));
  }
  HostTensor fill = HostTensor::of_floats({1}, {0.0F});
  if (const auto* value = find_attribute(node, "value")) {
    if (value->type() != onnx::AttributeProto_AttributeType_TENSOR) {
      return fail("attribute 'value' is not a tensor");
    }
    auto read = in.read_attribute(value->t(), std::nullopt);
    if (!read) {
      return std::unexpected(read.error());
    }
    fill = std::move(*read);
  }
  return fold(in, node, fold_fill(fill, shape, in.budget));
}

Result<void> range(Importer& in, const onnx::NodeProto& node) {
  return fold_known(in, node, 3, [&](std::span<const HostTensor* const> known) {
    return fold_range(*known[0], *known[1], *known[2], in.budget);
  });
}

}  // namespace zelk_onnx::detail::ops
