// One handler per ONNX operator. A node whose inputs are all known at import
// is folded into a constant where the operator is shape arithmetic or data
// movement; otherwise it becomes operations of the graph, its constant
// operands becoming weight tensors.
#include "operators.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <numeric>
#include <utility>

#include <zelk_compiler/checked.hpp>
#include "fold.hpp"
#include "graph_index.hpp"
#include "tensor_proto.hpp"

namespace zelk_onnx::detail {
namespace {

namespace zc = zelk_compiler;
using zc::Result;
using zc::TensorId;

std::string_view output(const onnx::NodeProto& node, int at = 0) { return node.output(at); }

// --- Attributes ---------------------------------------------------------

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

// --- Shapes -------------------------------------------------------------

// Axes of a rank-`rank` tensor, each normalised once; repeated axes are refused.
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

// A start or end of Slice, negative counting from the end, clamped to [0, extent].
std::uint64_t clamp_index(std::int64_t index, std::uint64_t extent) {
  if (index >= 0) {
    return std::min(static_cast<std::uint64_t>(index), extent);
  }
  const std::uint64_t back = static_cast<std::uint64_t>(-(index + 1)) + 1;
  return back >= extent ? 0 : extent - back;
}

// The target of Reshape: 0 copies the input's extent (unless `allow_zero`),
// one -1 takes what is left.
Result<Shape> reshape_target(const Shape& from, std::span<const std::int64_t> target,
                             bool allow_zero) {
  if (target.size() > kMaxRank) {
    return fail("reshape to rank " + std::to_string(target.size()));
  }
  Shape shape;
  std::optional<std::size_t> inferred;
  for (std::size_t i = 0; i < target.size(); ++i) {
    const std::int64_t extent = target[i];
    if (extent == -1 && !inferred) {
      inferred = i;
      shape.push_back(1);
    } else if (extent == 0 && !allow_zero) {
      if (i >= from.size()) {
        return fail("reshape entry " + std::to_string(i) + " copies an axis " + shape_text(from) +
                    " does not have");
      }
      shape.push_back(from[i]);
    } else if (extent < 0) {
      return fail("invalid reshape entry " + std::to_string(extent));
    } else {
      shape.push_back(static_cast<std::uint64_t>(extent));
    }
  }
  auto count = element_count(from);
  auto known = element_count(shape);
  if (auto error = first_error(count, known)) {
    return std::unexpected(*error);
  }
  if (inferred) {
    if (*known == 0 || *count % *known != 0) {
      return fail("cannot reshape " + shape_text(from) + " to " + shape_text(shape) +
                  " with -1 at entry " + std::to_string(*inferred));
    }
    shape[*inferred] = *count / *known;
  } else if (*known != *count) {
    return fail("cannot reshape " + shape_text(from) + " to " + shape_text(shape));
  }
  return shape;
}

// --- Common steps -------------------------------------------------------

// The node's value `value` under `shape`: a constant is copied under the new
// shape, a graph tensor gets a reshape named `name`.
Result<void> define_reshaped(Importer& in, std::string_view name, const Value& value, Shape shape) {
  if (Importer::is_constant(value)) {
    auto known = in.constant(value);
    auto copy = known ? fold_copy(**known, std::move(shape), in.budget)
                      : Result<HostTensor>(std::unexpected(known.error()));
    return copy ? in.define_constant(name, std::move(*copy)) : std::unexpected(copy.error());
  }
  return in.define(name, in.reshaped(name, std::get<TensorId>(value), std::move(shape)));
}

// The `count` inputs of a node that folds only values known at import.
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

Result<void> fold(Importer& in, const onnx::NodeProto& node, Result<HostTensor> folded) {
  if (!folded) {
    return std::unexpected(folded.error());
  }
  return in.define_constant(output(node), std::move(*folded));
}

// --- Element-wise -------------------------------------------------------

Result<void> arithmetic(Importer& in, const onnx::NodeProto& node, Arithmetic op, zc::OpKind kind) {
  auto left = in.required(node, 0);
  auto right = in.required(node, 1);
  if (auto error = first_error(left, right)) {
    return std::unexpected(*error);
  }
  if (Importer::is_constant(*left) && Importer::is_constant(*right)) {
    auto a = in.constant(*left);
    auto b = in.constant(*right);
    if (auto error = first_error(a, b)) {
      return std::unexpected(*error);
    }
    return fold(in, node, fold_arithmetic(op, **a, **b, in.budget));
  }
  auto a = in.operand(*left);
  auto b = in.operand(*right);
  if (auto error = first_error(a, b)) {
    return std::unexpected(*error);
  }
  return in.define(output(node), in.graph.elementwise(output(node), std::move(kind), *a, *b));
}

Result<void> unary(Importer& in, const onnx::NodeProto& node, zc::OpKind kind) {
  auto x = in.required(node, 0);
  auto tensor = x ? in.operand(*x) : Result<TensorId>(std::unexpected(x.error()));
  if (!tensor) {
    return std::unexpected(tensor.error());
  }
  return in.define(output(node), in.graph.unary(output(node), std::move(kind), *tensor));
}

Result<void> add(Importer& in, const onnx::NodeProto& node) {
  return arithmetic(in, node, Arithmetic::Add, zc::Add{});
}
Result<void> sub(Importer& in, const onnx::NodeProto& node) {
  return arithmetic(in, node, Arithmetic::Sub, zc::Sub{});
}
Result<void> mul(Importer& in, const onnx::NodeProto& node) {
  return arithmetic(in, node, Arithmetic::Mul, zc::Mul{});
}
Result<void> div(Importer& in, const onnx::NodeProto& node) {
  return arithmetic(in, node, Arithmetic::Div, zc::Div{});
}
Result<void> pow(Importer& in, const onnx::NodeProto& node) {
  return arithmetic(in, node, Arithmetic::Pow, zc::Pow{});
}
Result<void> relu(Importer& in, const onnx::NodeProto& node) { return unary(in, node, zc::Relu{}); }
Result<void> erf(Importer& in, const onnx::NodeProto& node) { return unary(in, node, zc::Erf{}); }
Result<void> tanh(Importer& in, const onnx::NodeProto& node) { return unary(in, node, zc::Tanh{}); }
Result<void> exp(Importer& in, const onnx::NodeProto& node) { return unary(in, node, zc::Exp{}); }

Result<void> sqrt(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  if (x && Importer::is_constant(*x)) {
    auto known = in.constant(*x);
    return known ? fold(in, node, fold_sqrt(**known, in.budget)) : std::unexpected(known.error());
  }
  return unary(in, node, zc::Sqrt{});
}

Result<void> equal(Importer& in, const onnx::NodeProto& node) {
  auto known = known_inputs(in, node, 2);
  if (!known) {
    return std::unexpected(known.error());
  }
  return fold(in, node, fold_arithmetic(Arithmetic::Equal, *(*known)[0], *(*known)[1], in.budget));
}

Result<void> where(Importer& in, const onnx::NodeProto& node) {
  auto known = known_inputs(in, node, 3);
  if (!known) {
    return std::unexpected(known.error());
  }
  return fold(in, node, fold_where(*(*known)[0], *(*known)[1], *(*known)[2], in.budget));
}

// --- Products and normalisation -----------------------------------------

// Matrix products of rank 2 and more; a vector operand is a one-row (left)
// or one-column (right) matrix whose added axis is dropped from the result.
Result<void> matmul(Importer& in, const onnx::NodeProto& node) {
  auto left = in.required(node, 0);
  auto right = in.required(node, 1);
  if (auto error = first_error(left, right)) {
    return std::unexpected(*error);
  }
  const Shape left_shape = in.shape(*left);
  const Shape right_shape = in.shape(*right);
  auto a = in.operand(*left);
  auto b = in.operand(*right);
  if (auto error = first_error(a, b)) {
    return std::unexpected(*error);
  }
  const std::string_view name = output(node);
  if (left_shape.size() >= 2 && right_shape.size() >= 2) {
    return in.define(name, in.graph.batch_matmul(name, *a, *b));
  }
  if (left_shape.size() == 1) {
    a = in.reshaped(in.fresh_name(name, "row"), *a, {1, left_shape[0]});
  }
  if (right_shape.size() == 1) {
    b = in.reshaped(in.fresh_name(name, "column"), *b, {right_shape[0], 1});
  }
  if (auto error = first_error(a, b)) {
    return std::unexpected(*error);
  }
  auto product = in.graph.batch_matmul(in.fresh_name(name, "product"), *a, *b);
  if (!product) {
    return std::unexpected(product.error());
  }
  Shape shape = in.graph.tensors[product->index].shape;
  const bool right_vector = right_shape.size() == 1;
  if (right_vector) {
    shape.pop_back();
  }
  if (left_shape.size() == 1) {
    shape.erase(shape.end() - (right_vector ? 1 : 2));
  }
  return in.define(name, in.reshaped(name, *product, std::move(shape)));
}

// alpha * A' B' + beta * C as a product and a broadcast add; a transposed
// constant operand is transposed at import, a computed one by an operation.
Result<void> gemm(Importer& in, const onnx::NodeProto& node) {
  auto a = in.required(node, 0);
  auto b = in.required(node, 1);
  auto c = in.input(node, 2);
  auto trans_a = int_attribute(node, "transA", 0);
  auto trans_b = int_attribute(node, "transB", 0);
  auto alpha = float_attribute(node, "alpha", 1.0F);
  auto beta = float_attribute(node, "beta", 1.0F);
  if (auto error = first_error(a, b, c, trans_a, trans_b, alpha, beta)) {
    return std::unexpected(*error);
  }
  if (in.shape(*a).size() != 2 || in.shape(*b).size() != 2) {
    return fail("Gemm takes matrices, not " + shape_text(in.shape(*a)) + " and " +
                shape_text(in.shape(*b)));
  }
  const std::string_view name = output(node);
  const bool add_c = c->has_value() && *beta != 0.0F;
  const bool scale = *alpha != 1.0F;
  const auto operand = [&](const Value& value, bool transpose,
                           std::string_view role) -> Result<TensorId> {
    if (!transpose) {
      return in.operand(value);
    }
    if (Importer::is_constant(value)) {
      auto flipped = in.transposed(value);
      return flipped ? in.operand(*flipped) : std::unexpected(flipped.error());
    }
    return in.graph.transpose(in.fresh_name(name, role), std::get<TensorId>(value), {1, 0});
  };
  auto left = operand(*a, *trans_a != 0, "a_transposed");
  auto right = operand(*b, *trans_b != 0, "b_transposed");
  if (auto error = first_error(left, right)) {
    return std::unexpected(*error);
  }
  auto product = in.graph.batch_matmul(
      add_c || scale ? in.fresh_name(name, "product") : std::string(name), *left, *right);
  if (product && scale) {
    auto factor = in.operand(in.add_constant(name, "alpha", HostTensor::of_floats({}, {*alpha})));
    product = factor
                  ? in.graph.elementwise(add_c ? in.fresh_name(name, "scaled") : std::string(name),
                                         zc::Mul{}, *product, *factor)
                  : factor;
  }
  if (!product || !add_c) {
    return in.define(name, product);
  }
  Value bias = **c;
  if (*beta != 1.0F) {
    const Value factor = in.add_constant(name, "beta", HostTensor::of_floats({}, {*beta}));
    if (Importer::is_constant(bias)) {
      auto values = in.constant(bias);
      auto scale_value = in.constant(factor);
      if (auto error = first_error(values, scale_value)) {
        return std::unexpected(*error);
      }
      auto scaled = fold_arithmetic(Arithmetic::Mul, **values, **scale_value, in.budget);
      if (!scaled) {
        return std::unexpected(scaled.error());
      }
      bias = in.add_constant(name, "c_scaled", std::move(*scaled));
    } else {
      auto f = in.operand(factor);
      auto scaled = f ? in.graph.elementwise(in.fresh_name(name, "c_scaled"), zc::Mul{},
                                             std::get<TensorId>(bias), *f)
                      : f;
      if (!scaled) {
        return std::unexpected(scaled.error());
      }
      bias = *scaled;
    }
  }
  auto addend = in.operand(bias);
  if (!addend) {
    return std::unexpected(addend.error());
  }
  return in.define(name, in.graph.elementwise(name, zc::Add{}, *product, *addend));
}

Result<void> softmax(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto axis = int_attribute(node, "axis", -1);
  if (auto error = first_error(x, axis)) {
    return std::unexpected(*error);
  }
  auto normalized = normalize_axis(*axis, in.shape(*x).size());
  auto tensor = in.operand(*x);
  if (auto error = first_error(normalized, tensor)) {
    return std::unexpected(*error);
  }
  return in.define(output(node), in.graph.softmax(output(node), *tensor, *normalized));
}

Result<void> layer_normalization(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto gain = in.required(node, 1);
  auto bias = in.input(node, 2);
  auto axis = int_attribute(node, "axis", -1);
  auto epsilon = float_attribute(node, "epsilon", 1e-5F);
  if (auto error = first_error(x, gain, bias, axis, epsilon)) {
    return std::unexpected(*error);
  }
  const Shape shape = in.shape(*x);
  auto normalized = normalize_axis(*axis, shape.size());
  if (!normalized) {
    return std::unexpected(normalized.error());
  }
  if (*normalized + 1 != shape.size()) {
    return fail("normalises from axis " + std::to_string(*axis) + " of " + shape_text(shape) +
                "; only the last axis is supported");
  }
  const std::string_view name = output(node);
  if (!*bias) {
    if (auto taken = in.budget.take(shape.back()); !taken) {
      return taken;
    }
    *bias = in.add_constant(
        name, "bias", HostTensor::of_floats({shape.back()}, std::vector<float>(shape.back())));
  }
  auto input = in.operand(*x);
  auto g = in.operand(*gain);
  auto b = in.operand(**bias);
  if (auto error = first_error(input, g, b)) {
    return std::unexpected(*error);
  }
  return in.define(name, in.graph.layer_norm(name, *input, *g, *b, *epsilon));
}

Result<void> reduce_mean(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto axes = ints_attribute(node, "axes");
  auto keep = int_attribute(node, "keepdims", 1);
  if (auto error = first_error(x, axes, keep)) {
    return std::unexpected(*error);
  }
  const Shape shape = in.shape(*x);
  std::vector<std::int64_t> every(shape.size());
  std::iota(every.begin(), every.end(), 0);
  auto reduced = distinct_axes(*axes && !(*axes)->empty() ? **axes : every, shape.size());
  auto tensor = in.operand(*x);
  if (auto error = first_error(reduced, tensor)) {
    return std::unexpected(*error);
  }
  std::ranges::sort(*reduced);
  const std::string_view name = output(node);
  Result<TensorId> mean = *tensor;
  for (std::size_t i = 0; i < reduced->size() && mean; ++i) {
    const bool last = i + 1 == reduced->size() && *keep != 0;
    mean = in.graph.reduce_mean(last ? std::string(name) : in.fresh_name(name, "mean"), *mean,
                                (*reduced)[i]);
  }
  if (!mean || *keep != 0) {
    return in.define(name, mean);
  }
  Shape kept;
  for (std::uint64_t axis = 0; axis < shape.size(); ++axis) {
    if (std::ranges::find(*reduced, axis) == reduced->end()) {
      kept.push_back(shape[axis]);
    }
  }
  return in.define(name, in.reshaped(name, *mean, std::move(kept)));
}

// --- Data movement ------------------------------------------------------

Result<void> transpose(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto perm = ints_attribute(node, "perm");
  if (auto error = first_error(x, perm)) {
    return std::unexpected(*error);
  }
  const std::uint64_t rank = in.shape(*x).size();
  std::vector<std::uint64_t> permutation;
  if (*perm) {
    for (const std::int64_t axis : **perm) {
      if (axis < 0) {
        return fail("invalid permutation entry " + std::to_string(axis));
      }
      permutation.push_back(static_cast<std::uint64_t>(axis));
    }
  } else {
    for (std::uint64_t axis = rank; axis > 0; --axis) {
      permutation.push_back(axis - 1);
    }
  }
  if (Importer::is_constant(*x)) {
    auto known = in.constant(*x);
    return known ? fold(in, node, fold_transpose(**known, permutation, in.budget))
                 : std::unexpected(known.error());
  }
  return in.define(output(node), in.graph.transpose(output(node), std::get<TensorId>(*x),
                                                    std::move(permutation)));
}

Result<void> reshape(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto target = in.integers(node, 1, "shape");
  auto allow_zero = int_attribute(node, "allowzero", 0);
  if (auto error = first_error(x, target, allow_zero)) {
    return std::unexpected(*error);
  }
  auto shape = reshape_target(in.shape(*x), *target, *allow_zero != 0);
  if (!shape) {
    return std::unexpected(shape.error());
  }
  return define_reshaped(in, output(node), *x, std::move(*shape));
}

Result<void> flatten(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto axis = int_attribute(node, "axis", 1);
  if (auto error = first_error(x, axis)) {
    return std::unexpected(*error);
  }
  const Shape shape = in.shape(*x);
  auto split = *axis == static_cast<std::int64_t>(shape.size())
                   ? Result<std::uint64_t>(shape.size())
                   : normalize_axis(*axis, shape.size());
  if (!split) {
    return std::unexpected(split.error());
  }
  const auto at = static_cast<std::ptrdiff_t>(*split);
  auto outer = element_count(std::span(shape.begin(), shape.begin() + at));
  auto inner = element_count(std::span(shape.begin() + at, shape.end()));
  if (auto error = first_error(outer, inner)) {
    return std::unexpected(*error);
  }
  return define_reshaped(in, output(node), *x, {*outer, *inner});
}

Result<void> unsqueeze(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto axes = in.integers(node, 1, "axes");
  if (auto error = first_error(x, axes)) {
    return std::unexpected(*error);
  }
  const Shape from = in.shape(*x);
  if (from.size() + axes->size() > kMaxRank) {
    return fail("unsqueeze to rank " + std::to_string(from.size() + axes->size()) + ", above " +
                std::to_string(kMaxRank));
  }
  auto inserted = distinct_axes(*axes, from.size() + axes->size());
  if (!inserted) {
    return std::unexpected(inserted.error());
  }
  Shape shape;
  auto next = from.begin();
  for (std::uint64_t axis = 0; axis < from.size() + axes->size(); ++axis) {
    shape.push_back(std::ranges::find(*inserted, axis) != inserted->end() ? 1 : *next++);
  }
  return define_reshaped(in, output(node), *x, std::move(shape));
}

Result<void> squeeze(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  if (!x) {
    return std::unexpected(x.error());
  }
  const Shape from = in.shape(*x);
  std::vector<std::uint64_t> removed;
  if (node.input_size() > 1 && !node.input(1).empty()) {
    auto axes = in.integers(node, 1, "axes");
    auto listed = axes ? distinct_axes(*axes, from.size()) : std::unexpected(axes.error());
    if (!listed) {
      return std::unexpected(listed.error());
    }
    removed = std::move(*listed);
  } else {
    for (std::uint64_t axis = 0; axis < from.size(); ++axis) {
      if (from[axis] == 1) {
        removed.push_back(axis);
      }
    }
  }
  Shape shape;
  for (std::uint64_t axis = 0; axis < from.size(); ++axis) {
    const bool drop = std::ranges::find(removed, axis) != removed.end();
    if (drop && from[axis] != 1) {
      return fail("cannot squeeze axis " + std::to_string(axis) + " of " + shape_text(from));
    }
    if (!drop) {
      shape.push_back(from[axis]);
    }
  }
  return define_reshaped(in, output(node), *x, std::move(shape));
}

// One range [start, end) of an axis, as Slice and Split take it.
struct AxisRange {
  std::uint64_t axis = 0;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
};

// `value` cut to each range in turn: folded for a constant, slice operations
// for a graph tensor (the last one named `name`; a range covering the whole
// axis takes none). An empty range of a graph tensor is refused, as the graph
// holds no tensor without elements.
Result<void> define_sliced(Importer& in, std::string_view name, const Value& value,
                           std::span<const AxisRange> ranges) {
  if (Importer::is_constant(value)) {
    auto known = in.constant(value);
    if (!known) {
      return std::unexpected(known.error());
    }
    std::optional<HostTensor> cut;
    for (const AxisRange& range : ranges) {
      auto next = fold_slice(cut ? *cut : **known, range.axis, range.start, range.end, in.budget);
      if (!next) {
        return std::unexpected(next.error());
      }
      cut = std::move(*next);
    }
    if (cut) {
      return in.define_constant(name, std::move(*cut));
    }
    auto copy = fold_copy(**known, (*known)->shape, in.budget);
    return copy ? in.define_constant(name, std::move(*copy)) : std::unexpected(copy.error());
  }
  const Shape shape = in.shape(value);
  std::vector<AxisRange> cuts;
  for (const AxisRange& range : ranges) {
    if (range.start >= range.end) {
      return fail("the slice [" + std::to_string(range.start) + ", " + std::to_string(range.end) +
                  ") of axis " + std::to_string(range.axis) + " of " + shape_text(shape) +
                  " is empty");
    }
    if (range.end - range.start != shape[range.axis]) {
      cuts.push_back(range);
    }
  }
  if (cuts.empty()) {
    return in.define_value(name, value);
  }
  Result<TensorId> tensor = std::get<TensorId>(value);
  for (std::size_t i = 0; i < cuts.size() && tensor; ++i) {
    tensor = in.graph.slice(i + 1 == cuts.size() ? std::string(name) : in.fresh_name(name, "slice"),
                            *tensor, cuts[i].axis, cuts[i].start, cuts[i].end);
  }
  return in.define(name, tensor);
}

Result<void> slice(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto starts = in.integers(node, 1, "starts");
  auto ends = in.integers(node, 2, "ends");
  if (auto error = first_error(x, starts, ends)) {
    return std::unexpected(*error);
  }
  const Shape shape = in.shape(*x);
  std::vector<std::int64_t> axes(starts->size());
  std::iota(axes.begin(), axes.end(), 0);
  std::vector<std::int64_t> steps(starts->size(), 1);
  for (const auto& [at, list, what] :
       {std::tuple{3, &axes, "axes"}, std::tuple{4, &steps, "steps"}}) {
    if (node.input_size() > at && !node.input(at).empty()) {
      auto given = in.integers(node, at, what);
      if (!given) {
        return std::unexpected(given.error());
      }
      *list = std::move(*given);
    }
  }
  if (ends->size() != starts->size() || axes.size() != starts->size() ||
      steps.size() != starts->size()) {
    return fail("starts, ends, axes and steps differ in length");
  }
  auto normalized = distinct_axes(axes, shape.size());
  if (!normalized) {
    return std::unexpected(normalized.error());
  }
  std::vector<AxisRange> ranges;
  for (std::size_t i = 0; i < starts->size(); ++i) {
    if (steps[i] != 1) {
      return fail("step " + std::to_string(steps[i]) + "; only step 1 is supported");
    }
    const std::uint64_t axis = (*normalized)[i];
    const std::uint64_t start = clamp_index((*starts)[i], shape[axis]);
    ranges.push_back({axis, start, std::max(start, clamp_index((*ends)[i], shape[axis]))});
  }
  return define_sliced(in, output(node), *x, ranges);
}

Result<void> split(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto axis_attribute = int_attribute(node, "axis", 0);
  if (auto error = first_error(x, axis_attribute)) {
    return std::unexpected(*error);
  }
  const Shape shape = in.shape(*x);
  auto axis = normalize_axis(*axis_attribute, shape.size());
  if (!axis) {
    return std::unexpected(axis.error());
  }
  const std::uint64_t extent = shape[*axis];
  std::vector<std::uint64_t> sizes;
  if (node.input_size() > 1 && !node.input(1).empty()) {
    auto given = in.integers(node, 1, "split");
    if (!given) {
      return std::unexpected(given.error());
    }
    for (const std::int64_t size : *given) {
      if (size < 0) {
        return fail("negative split size " + std::to_string(size));
      }
      sizes.push_back(static_cast<std::uint64_t>(size));
    }
  } else {
    const auto parts = static_cast<std::uint64_t>(node.output_size());
    if (extent % parts != 0) {
      return fail("axis of extent " + std::to_string(extent) + " does not split into " +
                  std::to_string(parts) + " equal parts");
    }
    sizes.assign(parts, extent / parts);
  }
  if (sizes.size() != static_cast<std::size_t>(node.output_size())) {
    return fail(std::to_string(sizes.size()) + " split sizes for " +
                std::to_string(node.output_size()) + " outputs");
  }
  std::uint64_t start = 0;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const auto end = zc::checked_add(start, sizes[i]);
    if (!end || *end > extent) {
      return fail("split sizes add up to more than the extent " + std::to_string(extent));
    }
    if (!output(node, static_cast<int>(i)).empty()) {
      const AxisRange range{*axis, start, *end};
      if (auto defined = define_sliced(in, output(node, static_cast<int>(i)), *x, {&range, 1});
          !defined) {
        return defined;
      }
    }
    start = *end;
  }
  if (start != extent) {
    return fail("split sizes add up to " + std::to_string(start) + ", not the extent " +
                std::to_string(extent));
  }
  return {};
}

Result<void> concat(Importer& in, const onnx::NodeProto& node) {
  auto axis_attribute = int_attribute(node, "axis", std::numeric_limits<std::int64_t>::min());
  if (!axis_attribute) {
    return std::unexpected(axis_attribute.error());
  }
  if (*axis_attribute == std::numeric_limits<std::int64_t>::min() || node.input_size() == 0) {
    return fail("Concat needs an axis and at least one input");
  }
  std::vector<Value> parts;
  for (int at = 0; at < node.input_size(); ++at) {
    auto part = in.required(node, at);
    if (!part) {
      return std::unexpected(part.error());
    }
    parts.push_back(*part);
  }
  auto axis = normalize_axis(*axis_attribute, in.shape(parts.front()).size());
  if (!axis) {
    return std::unexpected(axis.error());
  }
  if (std::ranges::all_of(parts, Importer::is_constant)) {
    std::vector<const HostTensor*> known;
    for (const Value& part : parts) {
      auto values = in.constant(part);
      if (!values) {
        return std::unexpected(values.error());
      }
      known.push_back(*values);
    }
    return fold(in, node, fold_concat(known, *axis, in.budget));
  }
  std::vector<TensorId> tensors;
  for (const Value& part : parts) {
    auto tensor = in.operand(part);
    if (!tensor) {
      return std::unexpected(tensor.error());
    }
    tensors.push_back(*tensor);
  }
  return in.define(output(node), in.graph.concat(output(node), std::move(tensors), *axis));
}

// Gather of values known at import; of a graph tensor with one index, a
// slice (and a reshape dropping the axis for a scalar index).
Result<void> gather(Importer& in, const onnx::NodeProto& node) {
  auto data = in.required(node, 0);
  auto indices = in.required(node, 1);
  auto axis_attribute = int_attribute(node, "axis", 0);
  if (auto error = first_error(data, indices, axis_attribute)) {
    return std::unexpected(*error);
  }
  const Shape shape = in.shape(*data);
  auto axis = normalize_axis(*axis_attribute, shape.size());
  if (!axis) {
    return std::unexpected(axis.error());
  }
  if (!Importer::is_constant(*indices)) {
    return fail("indices '" + node.input(1) + "' are computed by the graph; only indices known " +
                "at import are supported");
  }
  auto known_indices = in.constant(*indices);
  if (!known_indices) {
    return std::unexpected(known_indices.error());
  }
  if (Importer::is_constant(*data)) {
    auto known = in.constant(*data);
    return known ? fold(in, node, fold_gather(**known, **known_indices, *axis, in.budget))
                 : std::unexpected(known.error());
  }
  const HostTensor& index = **known_indices;
  if (index.is_float() || index.elements() != 1 || index.shape.size() > 1) {
    return fail("Gather of a computed tensor takes one integer index, not " +
                shape_text(index.shape) + " of " + std::string(type_name(index.type)));
  }
  const auto extent = static_cast<std::int64_t>(std::min<std::uint64_t>(
      shape[*axis], static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())));
  const std::int64_t at = index.integers.front();
  if (at < -extent || at >= extent) {
    return fail("index " + std::to_string(at) + " is out of range for extent " +
                std::to_string(extent));
  }
  const std::uint64_t row = clamp_index(at, shape[*axis]);
  const AxisRange range{*axis, row, row + 1};
  if (!index.shape.empty()) {
    return define_sliced(in, output(node), *data, {&range, 1});
  }
  const std::string name = in.fresh_name(output(node), "slice");
  if (auto sliced = define_sliced(in, name, *data, {&range, 1}); !sliced) {
    return sliced;
  }
  Shape dropped = shape;
  dropped.erase(dropped.begin() + static_cast<std::ptrdiff_t>(*axis));
  auto row_value = in.value(name);
  return row_value ? define_reshaped(in, output(node), *row_value, std::move(dropped))
                   : std::unexpected(row_value.error());
}

Result<void> expand(Importer& in, const onnx::NodeProto& node) {
  auto known = known_inputs(in, node, 2);
  if (!known) {
    return std::unexpected(known.error());
  }
  auto extents = integer_list(*(*known)[1], "shape");
  if (!extents) {
    return std::unexpected(extents.error());
  }
  Shape shape;
  for (const std::int64_t extent : *extents) {
    if (extent < 0) {
      return fail("negative extent " + std::to_string(extent));
    }
    shape.push_back(static_cast<std::uint64_t>(extent));
  }
  return fold(in, node, fold_expand(*(*known)[0], shape, in.budget));
}

// --- Aliases and constants ----------------------------------------------

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

Result<void> cast(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto to = int_attribute(node, "to", 0);
  if (auto error = first_error(x, to)) {
    return std::unexpected(*error);
  }
  auto type = element_type(static_cast<std::int32_t>(*to));
  if (!type) {
    return std::unexpected(type.error());
  }
  if (!Importer::is_constant(*x)) {
    if (*type != ElementType::Float) {
      return fail("a computed tensor is cast to " + std::string(type_name(*type)) +
                  "; the graph computes FLOAT tensors only");
    }
    return in.define_value(output(node), *x);
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
    auto values = read_tensor(attribute.t(), in.directory);
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
    auto read = read_tensor(value->t(), std::nullopt);
    if (!read) {
      return std::unexpected(read.error());
    }
    fill = std::move(*read);
  }
  return fold(in, node, fold_fill(fill, shape, in.budget));
}

Result<void> range(Importer& in, const onnx::NodeProto& node) {
  auto known = known_inputs(in, node, 3);
  if (!known) {
    return std::unexpected(known.error());
  }
  return fold(in, node, fold_range(*(*known)[0], *(*known)[1], *(*known)[2], in.budget));
}

constexpr std::array kOperators{
    Operator{"Add", add},
    Operator{"Cast", cast},
    Operator{"Concat", concat},
    Operator{"Constant", constant},
    Operator{"ConstantOfShape", constant_of_shape},
    Operator{"Div", div},
    Operator{"Dropout", dropout},
    Operator{"Equal", equal},
    Operator{"Erf", erf},
    Operator{"Exp", exp},
    Operator{"Expand", expand},
    Operator{"Flatten", flatten},
    Operator{"Gather", gather},
    Operator{"Gemm", gemm},
    Operator{"Identity", identity},
    Operator{"LayerNormalization", layer_normalization},
    Operator{"MatMul", matmul},
    Operator{"Mul", mul},
    Operator{"Pow", pow},
    Operator{"Range", range},
    Operator{"ReduceMean", reduce_mean},
    Operator{"Relu", relu},
    Operator{"Reshape", reshape},
    Operator{"Shape", shape},
    Operator{"Slice", slice},
    Operator{"Softmax", softmax},
    Operator{"Split", split},
    Operator{"Sqrt", sqrt},
    Operator{"Squeeze", squeeze},
    Operator{"Sub", sub},
    Operator{"Tanh", tanh},
    Operator{"Transpose", transpose},
    Operator{"Unsqueeze", unsqueeze},
    Operator{"Where", where},
};

static_assert(std::ranges::is_sorted(kOperators, {}, &Operator::op_type));

constexpr auto kOperatorNames = [] {
  std::array<std::string_view, kOperators.size()> names{};
  std::ranges::transform(kOperators, names.begin(), &Operator::op_type);
  return names;
}();

}  // namespace

std::span<const Operator> operators() { return kOperators; }

std::span<const std::string_view> operator_names() { return kOperatorNames; }

const Operator* find_operator(std::string_view op_type) {
  const auto found = std::ranges::lower_bound(kOperators, op_type, {}, &Operator::op_type);
  return found != kOperators.end() && found->op_type == op_type ? &*found : nullptr;
}

std::string operator_list() {
  std::string list;
  for (const std::string_view name : kOperatorNames) {
    list += list.empty() ? "" : ", ";
    list += name;
  }
  return list;
}

}  // namespace zelk_onnx::detail
