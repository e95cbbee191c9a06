// Reading graph files: a chain of element-wise additions of 10,000, 100,000
// and 1,000,000 operations, parsed, replayed through the builders as each
// entry is read, and validated. Reading must stay linear in the file's size.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <stdexcept>
#include <string>

#include "formats/graph_json.hpp"

namespace zelkc {
namespace {

std::string chain_graph_file(std::size_t ops) {
  std::string text = R"({"format": "zelk-graph", "version": 1, "ops": [)"
                     "\n"
                     R"(  {"op": "input", "name": "x0", "shape": [4, 4]})";
  for (std::size_t i = 1; i < ops; ++i) {
    const std::string previous = "\"x" + std::to_string(i - 1) + "\"";
    text += ",\n  {\"op\": \"add\", \"name\": \"x" + std::to_string(i) + "\", \"inputs\": [" +
            previous + ", " + previous + "]}";
  }
  text += "\n], \"outputs\": [\"x" + std::to_string(ops - 1) + "\"]}\n";
  return text;
}

void BM_ReadGraphFile(benchmark::State& state) {
  const std::string text = chain_graph_file(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto graph = read_graph_json(text);
    if (!graph) {
      throw std::runtime_error(graph.error().message);
    }
    benchmark::DoNotOptimize(graph);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}

BENCHMARK(BM_ReadGraphFile)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

}  // namespace
}  // namespace zelkc
