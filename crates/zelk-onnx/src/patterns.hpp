// Chains of ONNX nodes that exporters write for one operation (GELU in its
// erf and tanh forms, layer normalisation before opset 17), found so that the
// importer can build each as that one operation.
//
// A chain matches only exactly: every node and constant as the exporters
// write it (operands of Add and Mul in either order), every value inside the
// chain read by the next node of the chain alone and not a graph output. What
// depends on shapes (the normalised axis, the gain's extent) is left for the
// importer to check when it builds the operation; a chain that does not match
// is imported node by node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "graph_index.hpp"

namespace zelk_onnx::detail {

struct Fusion {
  enum class Kind { GeluErf, GeluTanh, LayerNorm };

  Kind kind = Kind::GeluErf;
  std::vector<std::size_t> nodes;  // every node of the chain, ascending
  std::string input;
  std::string output;  // the chain's last output, which names the operation
  // Layer normalisation: the axis both means run over, still to be checked
  // against the input's rank, the epsilon, and the written gain and bias
  // (empty when the chain ends at the division).
  std::int64_t axis = -1;
  float epsilon = 0.0F;
  std::string gain;
  std::string bias;
};

// Every chain of `index`'s graph, no node in two of them, in node order.
[[nodiscard]] std::vector<Fusion> find_fusions(const GraphIndex& index);

}  // namespace zelk_onnx::detail
