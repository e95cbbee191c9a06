// The operator table, checked sorted at compile time so that a lookup is a
// binary search and the list of names in messages is alphabetical.
#include "operators/table.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <tuple>

#include "graph_index.hpp"
#include "operators/handlers.hpp"

namespace zelk_onnx::detail {
namespace {

namespace zc = zelk_compiler;

// Every operator is imported as opset 13 defines it; later opsets up to the
// last one supported changed none of them in a way the importer sees.
constexpr std::int64_t kOpset13 = 13;

constexpr std::array kOperators{
    Operator{"", "Add", kOpset13, ops::arithmetic<Arithmetic::Add, zc::Add>},
    Operator{"", "Cast", kOpset13, ops::cast},
    Operator{"", "Concat", kOpset13, ops::concat},
    Operator{"", "Constant", kOpset13, ops::constant},
    Operator{"", "ConstantOfShape", kOpset13, ops::constant_of_shape},
    Operator{"", "Div", kOpset13, ops::arithmetic<Arithmetic::Div, zc::Div>},
    Operator{"", "Dropout", kOpset13, ops::dropout},
    Operator{"", "Equal", kOpset13, ops::equal},
    Operator{"", "Erf", kOpset13, ops::unary<zc::Erf>},
    Operator{"", "Exp", kOpset13, ops::unary<zc::Exp>},
    Operator{"", "Expand", kOpset13, ops::expand},
    Operator{"", "Flatten", kOpset13, ops::flatten},
    Operator{"", "Gather", kOpset13, ops::gather},
    Operator{"", "Gemm", kOpset13, ops::gemm},
    Operator{"", "Identity", kOpset13, ops::identity},
    Operator{"", "LayerNormalization", kOpset13, ops::layer_normalization},
    Operator{"", "MatMul", kOpset13, ops::matmul},
    Operator{"", "Mul", kOpset13, ops::arithmetic<Arithmetic::Mul, zc::Mul>},
    Operator{"", "Pow", kOpset13, ops::arithmetic<Arithmetic::Pow, zc::Pow>},
    Operator{"", "Range", kOpset13, ops::range},
    Operator{"", "ReduceMean", kOpset13, ops::reduce_mean},
    Operator{"", "Relu", kOpset13, ops::unary<zc::Relu>},
    Operator{"", "Reshape", kOpset13, ops::reshape},
    Operator{"", "Shape", kOpset13, ops::shape},
    Operator{"", "Sigmoid", kOpset13, ops::unary<zc::Sigmoid>},
    Operator{"", "Slice", kOpset13, ops::slice},
    Operator{"", "Softmax", kOpset13, ops::softmax},
    Operator{"", "Split", kOpset13, ops::split},
    Operator{"", "Sqrt", kOpset13, ops::sqrt},
    Operator{"", "Squeeze", kOpset13, ops::squeeze},
    Operator{"", "Sub", kOpset13, ops::arithmetic<Arithmetic::Sub, zc::Sub>},
    Operator{"", "Tanh", kOpset13, ops::unary<zc::Tanh>},
    Operator{"", "Transpose", kOpset13, ops::transpose},
    Operator{"", "Unsqueeze", kOpset13, ops::unsqueeze},
    Operator{"", "Where", kOpset13, ops::where},
};

constexpr auto key(const Operator& op) {
  return std::tuple(op.domain, op.op_type, op.since_version);
}

static_assert(std::ranges::is_sorted(kOperators, {}, key));
// Each name once, in order, however many definitions it has.
constexpr std::size_t kNameCount = [] {
  std::size_t count = 0;
  for (std::size_t i = 0; i < kOperators.size(); ++i) {
    if (i == 0 || kOperators[i].op_type != kOperators[i - 1].op_type) {
      ++count;
    }
  }
  return count;
}();

constexpr auto kOperatorNames = [] {
  std::array<std::string_view, kNameCount> names{};
  std::size_t next = 0;
  for (std::size_t i = 0; i < kOperators.size(); ++i) {
    if (i == 0 || kOperators[i].op_type != kOperators[i - 1].op_type) {
      names[next++] = kOperators[i].op_type;
    }
  }
  return names;
}();

}  // namespace

const Operator* find_operator(std::string_view domain, std::string_view op_type,
                              std::int64_t opset) {
  if (!is_onnx_domain(domain)) {
    return nullptr;
  }
  // The rows of (domain, op_type) with since_version <= opset end at `after`.
  const auto after =
      std::ranges::upper_bound(kOperators, std::tuple(std::string_view(), op_type, opset), {}, key);
  if (after == kOperators.begin()) {
    return nullptr;
  }
  const Operator& found = *std::prev(after);
  return found.domain.empty() && found.op_type == op_type ? &found : nullptr;
}

std::span<const std::string_view> operator_names() { return kOperatorNames; }

std::string operator_list() {
  std::string list;
  for (const std::string_view name : kOperatorNames) {
    list += list.empty() ? "" : ", ";
    list += name;
  }
  return list;
}

}  // namespace zelk_onnx::detail
