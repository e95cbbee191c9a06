// What `evaluate` checks before it computes anything, and what it learns on
// the way: which operation computes each tensor, which operations an output
// needs, and after which operation each value can be let go.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "zelk_compiler/evaluate.hpp"
#include "zelk_compiler/graph.hpp"

namespace zelk_compiler::detail {

struct EvaluationPlan {
  // Per operation: whether an output depends on its result.
  std::vector<bool> needed;
  // Per tensor: the last needed operation that reads it, if any.
  std::vector<std::optional<std::uint64_t>> last_reader;
  // Per tensor: whether it is one of the graph's outputs.
  std::vector<bool> output;
  // Per tensor: the caller's value of a source tensor (one no operation
  // computes), null for the others.
  std::vector<const std::vector<float>*> source;
};

// Checks `graph` and `values` as `evaluate` documents and plans the run.
[[nodiscard]] Result<EvaluationPlan> plan_evaluation(const Graph& graph,
                                                     const TensorValues& values);

}  // namespace zelk_compiler::detail
