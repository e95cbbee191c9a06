// Builds a small attention-style graph, validates it and prints it.
#include <cstdlib>
#include <iostream>

#include <zelk_compiler/lib.hpp>

namespace zc = zelk_compiler;

int main() {
  zc::Graph graph;
  const zc::TensorId x = graph.input("x", {4, 8});
  const zc::TensorId w = graph.weight("w", {8, 8});
  const auto scores = graph.matmul("scores", x, w);
  const auto probs = scores ? graph.softmax("probs", *scores, 1) : scores;
  const auto norm = probs ? graph.layer_norm("norm", *probs, 1e-5F) : probs;
  if (!norm) {
    std::cerr << norm.error() << '\n';
    return EXIT_FAILURE;
  }
  graph.mark_output(*norm);

  if (const auto valid = graph.validate(); !valid) {
    std::cerr << valid.error() << '\n';
    return EXIT_FAILURE;
  }
  std::cout << "valid graph: " << graph.tensors.size() << " tensors, " << graph.ops.size()
            << " operations\n"
            << graph << '\n';

  // A misfit comes back as a value; the graph is unchanged.
  const auto bad = graph.matmul("bad", x, x);
  std::cout << "misfit: " << bad.error() << '\n';
  return EXIT_SUCCESS;
}
