// How the operations of a graph use its tensors, and the stage graph of a
// span of them: the pieces compile_pipeline and stage_graph share.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "zelk_compiler/graph.hpp"

namespace zelk_compiler::detail {

struct TensorUses {
  // Per tensor: the position of its producer, and of the last operation
  // reading it (none when no operation reads it).
  std::vector<std::optional<std::uint64_t>> producer;
  std::vector<std::optional<std::uint64_t>> last_reader;
  std::vector<bool> is_output;  // marked as an output of the graph
  std::vector<std::uint64_t> bytes;
};

// Of a valid graph.
[[nodiscard]] TensorUses tensor_uses(const Graph& graph);

// A stage graph and, per tensor of it, the whole graph's tensor.
struct StageGraph {
  Graph graph;
  std::vector<TensorId> whole;
};

// The stage graph of the operations [first, last) of a valid graph, with
// first < last <= the operation count.
[[nodiscard]] StageGraph stage_of(const Graph& graph, const TensorUses& uses, std::uint64_t first,
                                  std::uint64_t last);

}  // namespace zelk_compiler::detail
