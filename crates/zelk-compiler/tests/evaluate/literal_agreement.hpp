// The comparison every evaluation test ends in: `evaluate` against the
// literal evaluation, bit for bit, output by output.
#pragma once

#include <gtest/gtest.h>

#include "reference/float_testing.hpp"
#include "support/literal_evaluation.hpp"
#include "zelk_compiler/evaluate.hpp"

namespace zelk_compiler::test_support {

// evaluate and the literal evaluation agree on every output of `graph`.
inline testing::AssertionResult agrees(const Graph& graph, const TensorValues& values) {
  const auto result = evaluate(graph, values);
  if (!result) return testing::AssertionFailure() << result.error();
  const TensorValues expected = literal_evaluate(graph, values);
  if (result->size() != expected.size()) {
    return testing::AssertionFailure()
           << result->size() << " outputs, expected " << expected.size();
  }
  for (const auto& [name, value] : expected) {
    const auto found = result->find(name);
    if (found == result->end()) return testing::AssertionFailure() << "no output " << name;
    if (auto same = same_bits(found->second, value); !same) return same << " in " << name;
  }
  return testing::AssertionSuccess();
}

}  // namespace zelk_compiler::test_support
