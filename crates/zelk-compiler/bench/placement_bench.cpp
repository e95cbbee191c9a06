// Placement benchmarks: the eleven published buffer problems within their
// capacity, by the exact search (at most 10 s each) and by the orderings
// alone; and large random lists, far over a small capacity and by first fit.
#include <benchmark/benchmark.h>

#include <chrono>
#include <limits>
#include <string>

#include "support/buffer_problems.hpp"
#include "zelk_compiler/placement.hpp"

namespace zelk_compiler::bench {
namespace {

using test_support::kBufferProblemCapacity;

void place_problem(benchmark::State& state, const std::vector<Buffer>& buffers, std::uint64_t steps,
                   bool timed) {
  Placement placement;
  for (auto _ : state) {
    PlacementOptions options;
    options.capacity = kBufferProblemCapacity;
    options.search_steps = steps;
    if (timed) {
      options.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    }
    placement = place_buffers(buffers, options);
    benchmark::DoNotOptimize(placement.peak);
  }
  state.counters["fits"] = placement.fits ? 1 : 0;
  state.counters["peak_over_bound"] =
      static_cast<double>(placement.peak) / static_cast<double>(placement.lower_bound);
}

// `state.range(0)` buffers over random spans of 200,000 steps: tens of
// thousands are live at once.
std::vector<Buffer> crowded(const benchmark::State& state) {
  return test_support::crowded_buffers(static_cast<std::uint64_t>(state.range(0)), 200'000, 1);
}

// No placement fits 4096 bytes: the answer is known from the bound.
void BM_PlaceOverCapacity(benchmark::State& state) {
  const std::vector<Buffer> buffers = crowded(state);
  PlacementOptions options;
  options.capacity = 4096;
  for (auto _ : state) {
    benchmark::DoNotOptimize(place_buffers(buffers, options).fits);
  }
}
BENCHMARK(BM_PlaceOverCapacity)->Arg(100'000)->Unit(benchmark::kMillisecond);

// First fit in list order, which fits without a capacity: each placement
// scans the buffers placed below its offset.
void BM_PlaceFirstFit(benchmark::State& state) {
  const std::vector<Buffer> buffers = crowded(state);
  PlacementOptions options;
  options.strategy = PlacementStrategy::FirstFit;
  for (auto _ : state) {
    benchmark::DoNotOptimize(place_buffers(buffers, options).peak);
  }
}
BENCHMARK(BM_PlaceFirstFit)
    ->Arg(25'000)
    ->Arg(50'000)
    ->Arg(100'000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// One run each: a solve takes up to the 10 s limit, and the steps it takes
// do not depend on the machine.
const bool kRegistered = [] {
  for (const std::string_view name : test_support::buffer_problem_names()) {
    const std::vector<Buffer> buffers = test_support::read_buffer_problem(name);
    benchmark::RegisterBenchmark(("BM_BufferProblem/" + std::string(name)).c_str(),
                                 [buffers](benchmark::State& state) {
                                   place_problem(state, buffers,
                                                 std::numeric_limits<std::uint64_t>::max(), true);
                                 })
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
    benchmark::RegisterBenchmark(
        ("BM_BufferProblemOrderings/" + std::string(name)).c_str(),
        [buffers](benchmark::State& state) { place_problem(state, buffers, 0, false); })
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace
}  // namespace zelk_compiler::bench
