// Shared decoding helpers for the fuzz targets.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "zelk_compiler/compiler.hpp"

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

}  // namespace zelk_compiler::fuzz
