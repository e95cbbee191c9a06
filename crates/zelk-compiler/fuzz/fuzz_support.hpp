// Shared decoding helpers for the fuzz targets.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/literal_evaluation.hpp"
#include "zelk_compiler/compiler.hpp"
#include "zelk_compiler/evaluate.hpp"

namespace zelk_compiler::fuzz {

// Stops the run with a message: libFuzzer records the input as a crash.
[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what.c_str());
  std::abort();
}

// Mostly small extents, sometimes 0, sometimes anything up to 2^64 - 1.
inline std::uint64_t extent(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 9)) {
    case 0:
      return 0;
    case 1:
      return in.ConsumeIntegral<std::uint64_t>();
    case 2:
      return in.ConsumeIntegralInRange<std::uint64_t>(1, 1U << 20U);
    default:
      return in.ConsumeIntegralInRange<std::uint64_t>(1, 64);
  }
}

// Mostly F32, sometimes any element type, rarely a value that names none.
inline DType dtype(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 15)) {
    case 0:
      return static_cast<DType>(in.ConsumeIntegral<std::uint8_t>());
    case 1:
    case 2:
    case 3:
      return kDTypes[in.ConsumeIntegralInRange<std::size_t>(0, kDTypes.size() - 1)];
    default:
      return DType::F32;
  }
}

inline std::vector<std::uint64_t> shape(FuzzedDataProvider& in) {
  std::vector<std::uint64_t> result(in.ConsumeIntegralInRange<std::size_t>(0, 4));
  for (auto& value : result) value = extent(in);
  return result;
}

// Usually an existing position, sometimes one past the end or anything.
inline std::uint64_t index(FuzzedDataProvider& in, std::uint64_t count) {
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) return in.ConsumeIntegral<std::uint64_t>();
  return in.ConsumeIntegralInRange<std::uint64_t>(0, count);
}

inline CompilerOptions options(FuzzedDataProvider& in) {
  CompilerOptions result;
  if (in.ConsumeBool()) return result;
  result.tile_count = in.ConsumeIntegral<std::uint16_t>();
  result.data_base = in.ConsumeIntegral<std::uint32_t>();
  result.data_limit = in.ConsumeBool() ? in.ConsumeIntegral<std::uint32_t>()
                                       : result.data_base + in.ConsumeIntegral<std::uint16_t>();
  return result;
}

// Allocations compile would produce for a valid graph: the cap keeps a fuzz
// input from asking for more memory than the fuzzer has.
inline std::uint64_t planned_allocations(const Graph& graph, const CompilerOptions& options) {
  std::uint64_t total = 0;
  for (const Tensor& tensor : graph.tensors) {
    total += choose_layout(tensor, options.tile_count).tiles.size();
  }
  return total;
}

inline constexpr std::uint64_t kMaxAllocations = 4096;

// Equal lengths and bit patterns, any NaN matching any NaN.
inline void expect_same(const std::vector<float>& actual, const std::vector<float>& expected,
                        const std::string& what) {
  if (actual.size() != expected.size()) fail(what + ": length differs");
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (std::isnan(actual[i]) && std::isnan(expected[i])) continue;
    if (std::bit_cast<std::uint32_t>(actual[i]) != std::bit_cast<std::uint32_t>(expected[i])) {
      fail(what + ": bits differ at " + std::to_string(i));
    }
  }
}

// Tensors up to this many elements keep the literal evaluation cheap.
inline constexpr std::uint64_t kMaxEvaluatedElements = 4096;

// Values of every tensor that no operation computes, by name, from a seed,
// each a value of its tensor's type; about one in 61 is an infinity or a NaN
// (for an integer tensor, a whole number beyond the exact range).
inline TensorValues source_values(const Graph& graph, std::uint32_t seed) {
  std::vector<bool> computed(graph.tensors.size(), false);
  for (const Op& op : graph.ops) {
    if (op.output.index < computed.size()) computed[op.output.index] = true;
  }
  TensorValues values;
  for (const Tensor& tensor : graph.tensors) {
    if (computed[tensor.id.index]) continue;
    std::vector<float>& value = values[tensor.name];
    value.clear();
    for (std::uint64_t i = 0; i < tensor.elements(); ++i) {
      seed = seed * 1664525U + 1013904223U;
      if (!is_float(tensor.dtype)) {
        // Small whole numbers (ids, masks), rarely one past the exact range.
        const auto whole = static_cast<float>(static_cast<int>((seed >> 8U) % 64U) - 32);
        value.push_back(seed % 61 == 0 ? 16777218.0F : whole);
        continue;
      }
      const float x = seed % 61 == 0 ? std::bit_cast<float>(seed | 0x7F800000U)
                                     : static_cast<float>(seed >> 8U) / 8388608.0F - 1.0F;
      value.push_back(test_support::literal_round(tensor.dtype, x));
    }
  }
  return values;
}

// Evaluates a graph that passed validation when all its tensors are small:
// a refusal must be a Graph error, and a result the literal evaluation's.
inline void check_evaluation(const Graph& graph, std::uint32_t seed) {
  for (const Tensor& tensor : graph.tensors) {
    if (tensor.elements() > kMaxEvaluatedElements) return;
  }
  const TensorValues values = source_values(graph, seed);
  const auto result = evaluate(graph, values);
  if (!result) {
    if (result.error().kind != CompileError::Kind::Graph) fail("evaluate error not Graph");
    return;
  }
  const TensorValues expected = test_support::literal_evaluate(graph, values);
  if (result->size() != expected.size()) fail("evaluate gave another set of outputs");
  for (const auto& [name, value] : expected) {
    const auto found = result->find(name);
    if (found == result->end()) fail("evaluate lost the output " + name);
    expect_same(found->second, value, "evaluate of " + name);
  }
}

}  // namespace zelk_compiler::fuzz
