// Uses the installed library: builds and validates a graph.
#include <iostream>

#include <zelk_compiler/lib.hpp>

int main() {
  zelk_compiler::Graph graph;
  const auto x = graph.input("x", {2, 2});
  graph.mark_output(*graph.gelu("y", x));
  const auto valid = graph.validate();
  std::cout << (valid ? "consumer: graph valid" : "consumer: graph invalid") << '\n';
  return valid ? 0 : 1;
}
