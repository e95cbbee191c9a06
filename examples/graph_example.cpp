// Builds a small graph, compiles it for a target of 4 tiles and prints the
// schedule's size and every tile's peak memory.
#include <cstdlib>
#include <iostream>

#include <zelk_compiler/lib.hpp>

namespace zc = zelk_compiler;

int main() {
  zc::Graph graph;
  const zc::TensorId x = graph.input("x", {32, 64});
  const zc::TensorId w = graph.weight("w", {64, 64});
  const auto scores = graph.matmul("scores", x, w);  // Result<TensorId>
  const auto probs = scores ? graph.softmax("probs", *scores, 1) : scores;
  if (!probs) {
    std::cerr << probs.error() << '\n';
    return EXIT_FAILURE;
  }
  graph.mark_output(*probs);

  // A misfit comes back as a value and leaves the graph unchanged.
  std::cout << "misfit: " << graph.matmul("bad", x, x).error() << '\n';

  // compile validates the graph first: Graph("graph has no outputs") had
  // mark_output been forgotten.
  const auto schedule = zc::compile(graph, zc::CompilerOptions{.tile_count = 4});
  if (!schedule) {
    std::cerr << schedule.error() << '\n';
    return EXIT_FAILURE;
  }
  std::cout << schedule->phases.size() << " phases, " << schedule->allocations.size()
            << " allocations\npeak bytes per tile: ";
  zc::write_debug(std::cout, schedule->peak_sram);
  std::cout << '\n';
  return EXIT_SUCCESS;
}
