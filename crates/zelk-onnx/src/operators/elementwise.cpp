// The element-wise operators: the two generic builders most operators go
// through, and the exceptions that fold or take more than two operands.
#include "operators/handlers.hpp"

#include <utility>

#include "operators/steps.hpp"

namespace zelk_onnx::detail::ops {
namespace {

namespace zc = zelk_compiler;
using zc::Result;
using zc::TensorId;

}  // namespace

Result<void> arithmetic(Importer& in, const onnx::NodeProto& node, Arithmetic op, zc::OpKind kind) {
  auto left = in.required(node, 0);
  auto right = in.required(node, 1);
  if (auto error = first_error(left, right)) {
    return std::unexpected(*error);
  }
  if (Importer::is_constant(*left) && Importer::is_constant(*right)) {
    const std::uint64_t refusals = in.budget.refusals();
    auto a = in.constant(*left);
    auto b = a ? in.constant(*right) : std::unexpected(a.error());
    auto folded = b ? fold_arithmetic(op, **a, **b, in.budget)
                    : Result<HostTensor>(std::unexpected(b.error()));
    const Value operands[] = {*left, *right};
    if (folded || !left_to_graph(in, refusals, operands)) {
      return fold(in, node, std::move(folded));
    }
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

Result<void> sqrt(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  if (x && Importer::is_constant(*x)) {
    const std::uint64_t refusals = in.budget.refusals();
    auto known = in.constant(*x);
    auto folded =
        known ? fold_sqrt(**known, in.budget) : Result<HostTensor>(std::unexpected(known.error()));
    if (folded || !left_to_graph(in, refusals, {&*x, 1})) {
      return fold(in, node, std::move(folded));
    }
  }
  return unary(in, node, zc::Sqrt{});
}

Result<void> equal(Importer& in, const onnx::NodeProto& node) {
  return fold_known(in, node, 2, [&](std::span<const HostTensor* const> known) {
    return fold_arithmetic(Arithmetic::Equal, *known[0], *known[1], in.budget);
  });
}

Result<void> where(Importer& in, const onnx::NodeProto& node) {
  return fold_known(in, node, 3, [&](std::span<const HostTensor* const> known) {
    return fold_where(*known[0], *known[1], *known[2], in.budget);
  });
}

}  // namespace zelk_onnx::detail::ops
