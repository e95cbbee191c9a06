// Finding the GELU and layer normalisation chains of an ONNX graph.
//
// Each chain is found from the one node it has of a kind (Erf, Tanh, Sqrt)
// and followed outwards value by value. The forms:
//
//   GELU, erf:  y = x * (Erf(x / sqrt 2) + 1) * 0.5    (x / sqrt 2 may be x * (1 / sqrt 2),
//                                                        and x * 0.5 may come first)
//   GELU, tanh: y = x * (Tanh(sqrt(2 / pi) * (x + 0.044715 * x^3)) + 1) * 0.5
//               (x^3 as x * (x * x) or Pow(x, 3))
//   layer norm: d = x - ReduceMean(x); y = d / Sqrt(ReduceMean(Pow(d, 2)) + epsilon),
//               then optionally * gain + bias, both written constants
#include "patterns.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <ranges>
#include <string_view>

namespace zelk_onnx::detail {
namespace {

class Matcher {
 public:
  explicit Matcher(const GraphIndex& index) : index_(index) {}

  [[nodiscard]] const onnx::NodeProto& node(std::size_t at) const { return index_.node(at); }

  // True when node `at` is an ONNX `op` with `inputs` inputs and one output.
  [[nodiscard]] bool is(std::size_t at, std::string_view op, int inputs) const {
    const onnx::NodeProto& n = node(at);
    return n.op_type() == op && is_onnx_domain(n.domain()) && n.input_size() == inputs &&
           n.output_size() == 1;
  }

  // The node that reads `value`, when it is the only reader, is an `op` and
  // `value` is not a graph output.
  [[nodiscard]] std::optional<std::size_t> sole_reader(std::string_view value, std::string_view op,
                                                       int inputs) const {
    const auto readers = index_.consumers(value);
    if (readers.size() != 1 || index_.is_graph_output(value) || !is(readers[0], op, inputs)) {
      return std::nullopt;
    }
    return readers[0];
  }

  // The `op` node that makes `value`, when `reader` is the only node reading it.
  [[nodiscard]] std::optional<std::size_t> made_for(std::string_view value, std::string_view op,
                                                    int inputs, std::size_t reader) const {
    const auto maker = index_.producer(value);
    const auto readers = index_.consumers(value);
    if (!maker || !is(*maker, op, inputs) || readers.size() != 1 || readers[0] != reader ||
        index_.is_graph_output(value)) {
      return std::nullopt;
    }
    return maker;
  }

  [[nodiscard]] bool near(std::string_view value, double expected) const {
    const auto scalar = index_.scalar(value);
    return scalar && std::abs(static_cast<double>(*scalar) - expected) <= 1e-6 * std::abs(expected);
  }

  // Of the two operands of node `at`, the one that is not `known`.
  [[nodiscard]] std::optional<std::string_view> other(std::size_t at,
                                                      std::string_view known) const {
    const onnx::NodeProto& n = node(at);
    if (n.input(0) == known) {
      return n.input(1);
    }
    if (n.input(1) == known) {
      return n.input(0);
    }
    return std::nullopt;
  }

  // When one operand of node `at` is a scalar near `expected`, the other one.
  [[nodiscard]] std::optional<std::string_view> beside(std::size_t at, double expected) const {
    const onnx::NodeProto& n = node(at);
    if (near(n.input(1), expected)) {
      return n.input(0);
    }
    if (near(n.input(0), expected)) {
      return n.input(1);
    }
    return std::nullopt;
  }

  [[nodiscard]] const GraphIndex& index() const { return index_; }

 private:
  const GraphIndex& index_;
};

Fusion chain(Fusion::Kind kind, std::vector<std::size_t> nodes, std::string_view input,
             std::string_view output) {
  Fusion fusion;
  fusion.kind = kind;
  fusion.nodes = std::move(nodes);
  fusion.input = input;
  fusion.output = output;
  return fusion;
}

// The end of `... * (inner + 1) * 0.5` given the node making `inner`'s
// successor: `plus` reads the activation's result. Adds the nodes it takes to
// `nodes` and returns the chain's output.
std::optional<std::string_view> times_half(const Matcher& m, std::string_view x, std::size_t plus,
                                           std::vector<std::size_t>& nodes) {
  const std::string_view sum = m.node(plus).output(0);
  const auto times = m.sole_reader(sum, "Mul", 2);
  if (!times) {
    return std::nullopt;
  }
  const auto factor = m.other(*times, sum);
  const std::string_view product = m.node(*times).output(0);
  if (factor == x) {
    // x * (...) then * 0.5
    const auto last = m.sole_reader(product, "Mul", 2);
    if (!last || m.beside(*last, 0.5) != product) {
      return std::nullopt;
    }
    nodes.insert(nodes.end(), {plus, *times, *last});
    return m.node(*last).output(0);
  }
  // (x * 0.5) * (...)
  const auto half = factor ? m.made_for(*factor, "Mul", 2, *times) : std::nullopt;
  if (!half || m.beside(*half, 0.5) != x) {
    return std::nullopt;
  }
  nodes.insert(nodes.end(), {*half, plus, *times});
  return product;
}

std::optional<Fusion> gelu_erf(const Matcher& m, std::size_t erf) {
  if (!m.is(erf, "Erf", 1)) {
    return std::nullopt;
  }
  // x / sqrt 2, or x * (1 / sqrt 2)
  const std::string_view scaled = m.node(erf).input(0);
  const auto divide = m.made_for(scaled, "Div", 2, erf);
  const auto multiply = m.made_for(scaled, "Mul", 2, erf);
  std::optional<std::string_view> x;
  if (divide && m.near(m.node(*divide).input(1), std::numbers::sqrt2)) {
    x = m.node(*divide).input(0);
  } else if (multiply) {
    x = m.beside(*multiply, 1.0 / std::numbers::sqrt2);
  }
  if (!x) {
    return std::nullopt;
  }
  const std::size_t scale = divide ? *divide : *multiply;
  const auto plus = m.sole_reader(m.node(erf).output(0), "Add", 2);
  if (!plus || m.beside(*plus, 1.0) != m.node(erf).output(0)) {
    return std::nullopt;
  }
  std::vector<std::size_t> nodes{scale, erf};
  const auto output = times_half(m, *x, *plus, nodes);
  if (!output) {
    return std::nullopt;
  }
  return chain(Fusion::Kind::GeluErf, std::move(nodes), *x, *output);
}

// x^3 as the value `cube`, read only by `reader`: Pow(x, 3) or x * (x * x).
std::optional<std::vector<std::size_t>> cube_of(const Matcher& m, std::string_view x,
                                                std::string_view cube, std::size_t reader) {
  if (const auto power = m.made_for(cube, "Pow", 2, reader)) {
    if (m.node(*power).input(0) == x && m.near(m.node(*power).input(1), 3.0)) {
      return std::vector<std::size_t>{*power};
    }
    return std::nullopt;
  }
  const auto outer = m.made_for(cube, "Mul", 2, reader);
  const auto square_value = outer ? m.other(*outer, x) : std::nullopt;
  const auto square = square_value ? m.made_for(*square_value, "Mul", 2, *outer) : std::nullopt;
  if (!square || m.node(*square).input(0) != x || m.node(*square).input(1) != x) {
    return std::nullopt;
  }
  return std::vector<std::size_t>{*square, *outer};
}

std::optional<Fusion> gelu_tanh(const Matcher& m, std::size_t tanh) {
  if (!m.is(tanh, "Tanh", 1)) {
    return std::nullopt;
  }
  const auto scale = m.made_for(m.node(tanh).input(0), "Mul", 2, tanh);
  const auto inner = scale ? m.beside(*scale, std::sqrt(2.0 / std::numbers::pi)) : std::nullopt;
  const auto sum = inner ? m.made_for(*inner, "Add", 2, *scale) : std::nullopt;
  if (!sum) {
    return std::nullopt;
  }
  // x + 0.044715 * x^3, with x on either side.
  for (const int x_side : {0, 1}) {
    const std::string_view x = m.node(*sum).input(x_side);
    const auto cubic = m.made_for(m.node(*sum).input(1 - x_side), "Mul", 2, *sum);
    const auto cube = cubic ? m.beside(*cubic, 0.044715) : std::nullopt;
    auto nodes = cube ? cube_of(m, x, *cube, *cubic) : std::nullopt;
    if (!nodes) {
      continue;
    }
    const auto plus = m.sole_reader(m.node(tanh).output(0), "Add", 2);
    if (!plus || m.beside(*plus, 1.0) != m.node(tanh).output(0)) {
      return std::nullopt;
    }
    nodes->insert(nodes->end(), {*cubic, *sum, *scale, tanh});
    const auto output = times_half(m, x, *plus, *nodes);
    if (!output) {
      return std::nullopt;
    }
    return chain(Fusion::Kind::GeluTanh, std::move(*nodes), x, *output);
  }
  return std::nullopt;
}

// The one axis a ReduceMean node averages over, keeping it.
std::optional<std::int64_t> kept_axis(const onnx::NodeProto& mean) {
  const auto* axes = find_attribute(mean, "axes");
  const auto* keep = find_attribute(mean, "keepdims");
  if (axes == nullptr || axes->type() != onnx::AttributeProto_AttributeType_INTS ||
      axes->ints_size() != 1 ||
      (keep != nullptr &&
       (keep->type() != onnx::AttributeProto_AttributeType_INT || keep->i() != 1))) {
    return std::nullopt;
  }
  return axes->ints(0);
}

std::optional<Fusion> layer_norm(const Matcher& m, std::size_t sqrt) {
  if (!m.is(sqrt, "Sqrt", 1)) {
    return std::nullopt;
  }
  // Backwards from the square root: epsilon, variance, square, deviation, mean.
  const auto plus = m.made_for(m.node(sqrt).input(0), "Add", 2, sqrt);
  if (!plus) {
    return std::nullopt;
  }
  // variance + epsilon, in either order
  std::optional<float> epsilon;
  std::string_view variance;
  for (const int side : {1, 0}) {
    epsilon = m.index().scalar(m.node(*plus).input(side));
    if (epsilon) {
      variance = m.node(*plus).input(1 - side);
      break;
    }
  }
  const auto mean_square = epsilon ? m.made_for(variance, "ReduceMean", 1, *plus) : std::nullopt;
  const auto square = mean_square
                          ? m.made_for(m.node(*mean_square).input(0), "Pow", 2, *mean_square)
                          : std::nullopt;
  if (!square || !m.near(m.node(*square).input(1), 2.0)) {
    return std::nullopt;
  }
  const std::string_view deviation = m.node(*square).input(0);
  const auto subtract = m.index().producer(deviation);
  if (!subtract || !m.is(*subtract, "Sub", 2) || m.index().is_graph_output(deviation)) {
    return std::nullopt;
  }
  const std::string_view x = m.node(*subtract).input(0);
  const auto mean = m.made_for(m.node(*subtract).input(1), "ReduceMean", 1, *subtract);
  if (!mean || m.node(*mean).input(0) != x) {
    return std::nullopt;
  }
  const auto axis = kept_axis(m.node(*mean));
  if (!axis || kept_axis(m.node(*mean_square)) != axis) {
    return std::nullopt;
  }
  // Forwards: the division, read by nothing else, and the deviation read by
  // the square and the division alone.
  const std::string_view root = m.node(sqrt).output(0);
  const auto divide = m.sole_reader(root, "Div", 2);
  auto readers =
      std::vector(m.index().consumers(deviation).begin(), m.index().consumers(deviation).end());
  std::ranges::sort(readers);
  if (!divide || m.node(*divide).input(0) != deviation || m.node(*divide).input(1) != root ||
      readers != std::vector{std::min(*square, *divide), std::max(*square, *divide)}) {
    return std::nullopt;
  }
  Fusion fusion = chain(Fusion::Kind::LayerNorm,
                        {*mean, *subtract, *square, *mean_square, *plus, sqrt, *divide}, x,
                        m.node(*divide).output(0));
  fusion.axis = *axis;
  fusion.epsilon = *epsilon;
  // Then * gain + bias, both written constants.
  const std::string_view normalized = m.node(*divide).output(0);
  const auto times = m.sole_reader(normalized, "Mul", 2);
  const auto gain = times ? m.other(*times, normalized) : std::nullopt;
  const auto add = gain && m.index().is_written_constant(*gain)
                       ? m.sole_reader(m.node(*times).output(0), "Add", 2)
                       : std::nullopt;
  const auto bias = add ? m.other(*add, m.node(*times).output(0)) : std::nullopt;
  if (bias && m.index().is_written_constant(*bias)) {
    fusion.nodes.insert(fusion.nodes.end(), {*times, *add});
    fusion.output = m.node(*add).output(0);
    fusion.gain = m.index().root(*gain);
    fusion.bias = m.index().root(*bias);
  }
  return fusion;
}

}  // namespace

std::vector<Fusion> find_fusions(const GraphIndex& index) {
  const Matcher matcher(index);
  std::vector<Fusion> fusions;
  std::vector<bool> taken(static_cast<std::size_t>(index.graph().node_size()), false);
  for (std::size_t at = 0; at < taken.size(); ++at) {
    const std::string& op = index.node(at).op_type();
    std::optional<Fusion> fusion = op == "Erf"    ? gelu_erf(matcher, at)
                                   : op == "Tanh" ? gelu_tanh(matcher, at)
                                   : op == "Sqrt" ? layer_norm(matcher, at)
                                                  : std::nullopt;
    if (!fusion || std::ranges::any_of(fusion->nodes, [&](std::size_t n) { return taken[n]; })) {
      continue;
    }
    std::ranges::sort(fusion->nodes);
    for (const std::size_t n : fusion->nodes) {
      taken[n] = true;
    }
    fusions.push_back(std::move(*fusion));
  }
  std::ranges::sort(fusions, {}, [](const Fusion& f) { return f.nodes.front(); });
  return fusions;
}

}  // namespace zelk_onnx::detail
