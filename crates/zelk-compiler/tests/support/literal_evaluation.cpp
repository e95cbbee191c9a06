// The literal host evaluation: one plain loop per kind, over output
// positions.
#include "support/literal_evaluation.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <variant>

#include "reference/literal_kernels.hpp"

namespace zelk_compiler::test_support {
namespace {

using Shape = std::vector<std::uint64_t>;
using Values = std::vector<float>;

std::uint64_t count_of(const Shape& shape) {
  std::uint64_t count = 1;
  for (const std::uint64_t extent : shape) count *= extent;
  return count;
}

template <class... Ts>
struct Cases : Ts... {
  using Ts::operator()...;
};

struct Step {
  const Graph& graph;
  const Op& op;
  const std::vector<Values>& value;

  const Values& in(std::size_t i) const { return value[op.inputs[i].index]; }
  const Shape& shape(std::size_t i) const { return graph.tensors[op.inputs[i].index].shape; }
  const Shape& out() const { return graph.tensors[op.output.index].shape; }

  template <class F>
  Values binary(F f) const {
    Values result(count_of(out()));
    for (std::uint64_t i = 0; i < result.size(); ++i) {
      const Shape index = unravel(i, out());
      result[i] =
          f(in(0)[broadcast_position(index, shape(0))], in(1)[broadcast_position(index, shape(1))]);
    }
    return result;
  }

  template <class F>
  Values unary(F f) const {
    Values result;
    for (const float x : in(0)) result.push_back(f(x));
    return result;
  }

  Values matmul() const {
    const Shape& a = shape(0);
    const Shape& b = shape(1);
    const std::uint64_t inner = a.back();
    const Shape a_batch(a.begin(), a.end() - 2);
    const Shape b_batch(b.begin(), b.end() - 2);
    Values result(count_of(out()));
    for (std::uint64_t i = 0; i < result.size(); ++i) {
      const Shape index = unravel(i, out());
      const Shape batch(index.begin(), index.end() - 2);
      const std::uint64_t row = index[index.size() - 2];
      const std::uint64_t column = index.back();
      const std::uint64_t a_at = broadcast_position(batch, a_batch) * a[a.size() - 2] * inner;
      const std::uint64_t b_at = broadcast_position(batch, b_batch) * inner * b.back();
      float sum = 0.0F;
      for (std::uint64_t k = 0; k < inner; ++k) {
        const float p = in(0)[a_at + row * inner + k] * in(1)[b_at + k * b.back() + column];
        sum = p + sum;
      }
      result[i] = sum;
    }
    return result;
  }

  Values transpose(const Shape& permutation) const {
    Values result(in(0).size());
    for (std::uint64_t i = 0; i < result.size(); ++i) {
      const Shape index = unravel(i, out());
      Shape from(index.size());
      for (std::size_t a = 0; a < index.size(); ++a) from[permutation[a]] = index[a];
      result[i] = in(0)[broadcast_position(from, shape(0))];
    }
    return result;
  }

  Values layer_norm(float epsilon) const {
    const std::uint64_t columns = shape(0).back();
    Values result = literal::layer_norm(in(0), in(0).size() / columns, columns, epsilon);
    if (op.inputs.size() == 3) {
      for (std::uint64_t i = 0; i < result.size(); ++i) {
        const float scaled = result[i] * in(1)[i % columns];
        result[i] = scaled + in(2)[i % columns];
      }
    }
    return result;
  }

  // Calls f(line) for every line along `axis` of the first operand's shape,
  // `line` holding the positions of its elements in order.
  template <class F>
  void each_line(const Shape& of, std::uint64_t axis, F f) const {
    for (std::uint64_t i = 0; i < count_of(of); ++i) {
      Shape index = unravel(i, of);
      if (index[axis] != 0) continue;
      std::vector<std::uint64_t> line;
      for (index[axis] = 0; index[axis] < of[axis]; ++index[axis]) {
        line.push_back(broadcast_position(index, of));
      }
      f(line);
    }
  }

  Values softmax(std::uint64_t axis) const {
    Values result = in(0);
    each_line(shape(0), axis, [&](const std::vector<std::uint64_t>& line) {
      Values row;
      for (const std::uint64_t at : line) row.push_back(result[at]);
      literal::softmax_rows(row, 1, row.size());
      for (std::size_t k = 0; k < line.size(); ++k) result[line[k]] = row[k];
    });
    return result;
  }

  Values reduce_mean(std::uint64_t axis) const {
    Values result;
    each_line(shape(0), axis, [&](const std::vector<std::uint64_t>& line) {
      float sum = -0.0F;
      for (const std::uint64_t at : line) sum = sum + in(0)[at];
      result.push_back(sum / static_cast<float>(line.size()));
    });
    return result;
  }

  Values slice(const Slice& slice) const {
    Values result(count_of(out()));
    for (std::uint64_t i = 0; i < result.size(); ++i) {
      Shape index = unravel(i, out());
      index[slice.axis] += slice.start;
      result[i] = in(0)[broadcast_position(index, shape(0))];
    }
    return result;
  }

  Values concat(std::uint64_t axis) const {
    Values result(count_of(out()));
    for (std::uint64_t i = 0; i < result.size(); ++i) {
      Shape index = unravel(i, out());
      std::size_t part = 0;
      while (index[axis] >= shape(part)[axis]) index[axis] -= shape(part++)[axis];
      result[i] = in(part)[broadcast_position(index, shape(part))];
    }
    return result;
  }

  // Rounding toward zero into an integer type; any other cast keeps the
  // values, which the rounding after every operation then converts.
  Values cast() const {
    const DType from = graph.tensors[op.inputs[0].index].dtype;
    const DType to = graph.tensors[op.output.index].dtype;
    if (!is_float(from) || is_float(to)) return in(0);
    return unary([](float x) { return std::trunc(x); });
  }

  // Row ids[i] of the table, an id below zero counted from the end.
  Values gather() const {
    const std::uint64_t rows = shape(0)[0];
    const std::uint64_t width = shape(0)[1];
    Values result;
    for (const float id : in(1)) {
      const auto row = static_cast<std::uint64_t>(id < 0 ? id + static_cast<float>(rows) : id);
      for (std::uint64_t c = 0; c < width; ++c) result.push_back(in(0)[row * width + c]);
    }
    return result;
  }

  Values compute() const {
    return std::visit(
        Cases{
            [&](const MatMul&) { return matmul(); },
            [&](const Add&) { return binary([](float a, float b) { return a + b; }); },
            [&](const Mul&) { return binary([](float a, float b) { return a * b; }); },
            [&](const Reshape&) { return in(0); },
            [&](const Transpose& t) { return transpose(t.permutation); },
            [&](const LayerNorm& n) { return layer_norm(n.epsilon); },
            [&](const Softmax& s) { return softmax(s.axis); },
            [&](const Gelu&) { return unary(literal::gelu); },
            [&](const Sub&) { return binary([](float a, float b) { return a - b; }); },
            [&](const Div&) { return binary([](float a, float b) { return a / b; }); },
            [&](const Pow&) { return binary([](float a, float b) { return ::powf(a, b); }); },
            [&](const GeluErf&) {
              return unary([](float x) {
                const float e = ::erff(x / 1.41421356F);
                const float half = 0.5F * x;
                return half * (1.0F + e);
              });
            },
            [&](const Relu&) {
              return unary([](float x) { return std::isnan(x) || x > 0.0F ? x : 0.0F; });
            },
            [&](const Erf&) { return unary([](float x) { return ::erff(x); }); },
            [&](const Tanh&) { return unary([](float x) { return ::tanhf(x); }); },
            [&](const Sqrt&) { return unary([](float x) { return ::sqrtf(x); }); },
            [&](const Exp&) { return unary([](float x) { return ::expf(x); }); },
            [&](const Slice& s) { return slice(s); },
            [&](const Concat& c) { return concat(c.axis); },
            [&](const ReduceMean& r) { return reduce_mean(r.axis); },
            [&](const Cast&) { return cast(); },
            [&](const Sigmoid&) {
              return unary([](float x) { return 1.0F / (1.0F + ::expf(-x)); });
            },
            [&](const Gather&) { return gather(); },
        },
        op.kind);
  }
};

}  // namespace

float literal_round(DType dtype, float value) {
  // Fraction bits, and the exponent of the smallest normal value.
  int fraction = 0;
  int lowest = 0;
  if (dtype == DType::F16) {
    fraction = 10;
    lowest = -14;
  } else if (dtype == DType::BF16) {
    fraction = 7;
    lowest = -126;
  } else {
    return value;
  }
  const auto bits = std::bit_cast<std::uint32_t>(value);
  if (std::isnan(value)) {
    const std::uint32_t kept = bits & ~((1U << (23 - fraction)) - 1U);
    return std::bit_cast<float>(kept | 0x0040'0000U);
  }
  if (std::isinf(value) || value == 0.0F) return value;
  // The step between neighbouring values at |value|'s binade (or among the
  // subnormals); in double, |value| / step is exact and nearbyint rounds it
  // to the nearest whole number, ties to even.
  const int exponent = std::max(std::ilogb(value), lowest);
  const double step = std::ldexp(1.0, exponent - fraction);
  const double rounded = std::nearbyint(static_cast<double>(value) / step) * step;
  const int top = dtype == DType::F16 ? 15 : 127;
  const double largest = std::ldexp(2.0 - std::ldexp(1.0, -fraction), top);
  if (std::fabs(rounded) > largest) return std::copysign(INFINITY, value);
  // A result of zero keeps the sign of the value rounded.
  return std::copysign(static_cast<float>(rounded), value);
}

std::vector<std::uint64_t> unravel(std::uint64_t flat, const std::vector<std::uint64_t>& shape) {
  std::vector<std::uint64_t> index(shape.size());
  for (std::size_t a = shape.size(); a > 0; --a) {
    index[a - 1] = flat % shape[a - 1];
    flat /= shape[a - 1];
  }
  return index;
}

std::uint64_t broadcast_position(const std::vector<std::uint64_t>& index,
                                 const std::vector<std::uint64_t>& shape) {
  std::uint64_t position = 0;
  const std::size_t skip = index.size() - shape.size();
  for (std::size_t a = 0; a < shape.size(); ++a) {
    position = position * shape[a] + (shape[a] == 1 ? 0 : index[skip + a]);
  }
  return position;
}

TensorValues literal_evaluate(const Graph& graph, const TensorValues& values) {
  std::vector<Values> value(graph.tensors.size());
  for (const Tensor& tensor : graph.tensors) {
    if (const auto found = values.find(tensor.name); found != values.end()) {
      value[tensor.id.index] = found->second;
    }
  }
  for (const Op& op : graph.ops) {
    Values result = Step{graph, op, value}.compute();
    for (float& element : result)
      element = literal_round(graph.tensors[op.output.index].dtype, element);
    value[op.output.index] = std::move(result);
  }
  TensorValues outputs;
  for (const TensorId id : graph.outputs) {
    outputs[graph.tensors[id.index].name] = value[id.index];
  }
  return outputs;
}

}  // namespace zelk_compiler::test_support
