// Matrix products, normalisations and reductions.
#include "operators/handlers.hpp"

#include <algorithm>
#include <numeric>
#include <string>
#include <utility>

#include "operators/steps.hpp"

namespace zelk_onnx::detail::ops {
namespace {

namespace zc = zelk_compiler;
using zc::Result;
using zc::TensorId;

// beta * C for Gemm: folded for a constant C, an operation otherwise.
Result<Value> scaled_bias(Importer& in, std::string_view name, const Value& bias, float beta) {
  const Value factor = in.add_constant(name, "beta", HostTensor::of_floats({}, {beta}));
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
    return in.add_constant(name, "c_scaled", std::move(*scaled));
  }
  auto f = in.operand(factor);
  auto scaled = f ? in.graph.elementwise(in.fresh_name(name, "c_scaled"), zc::Mul{},
                                         std::get<TensorId>(bias), *f)
                  : f;
  if (!scaled) {
    return std::unexpected(scaled.error());
  }
  return Value(*scaled);
}

}  // namespace

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
      const std::uint64_t refusals = in.budget.refusals();
      auto flipped = in.transposed(value);
      if (flipped) {
        return in.operand(*flipped);
      }
      if (!left_to_graph(in, refusals, {&value, 1})) {
        return std::unexpected(flipped.error());
      }
    }
    auto tensor = in.operand(value);
    if (!tensor) {
      return tensor;
    }
    return in.graph.transpose(in.fresh_name(name, role), *tensor, {1, 0});
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
  auto bias = *beta == 1.0F ? Result<Value>(**c) : scaled_bias(in, name, **c, *beta);
  if (!bias) {
    return std::unexpected(bias.error());
  }
  auto addend = in.operand(*bias);
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
    if (auto taken = in.budget.take(shape.back(), sizeof(float), "a bias of zeros"); !taken) {
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

}  // namespace zelk_onnx::detail::ops
