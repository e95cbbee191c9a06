// Stopping long calls through a stop token: a stop requested before or during
// a call throws Stopped from every entry point that takes a token, and a token
// that is never stopped changes no result.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "support/buffer_problems.hpp"
#include "support/random_graphs.hpp"
#include "zelk_compiler/compiler.hpp"
#include "zelk_compiler/encoder.hpp"
#include "zelk_compiler/evaluate.hpp"
#include "zelk_compiler/fit.hpp"
#include "zelk_compiler/pipeline.hpp"
#include "zelk_compiler/placement.hpp"
#include "zelk_compiler/stop.hpp"

namespace zelk_compiler {
namespace {

using test_support::Random;

constexpr PlanningOptions kBest{.strategy = PlacementStrategy::Best, .search_steps = 2'000};

// A value for every source tensor of `graph`, small numbers that vary.
TensorValues source_values(const Graph& graph) {
  TensorValues values;
  for (const Tensor& tensor : graph.tensors) {
    if (!tensor.producer) {
      std::vector<float> value(tensor.elements());
      for (std::size_t i = 0; i < value.size(); ++i) {
        value[i] = static_cast<float>(std::sin(static_cast<double>(i + tensor.id.index)));
      }
      values.emplace(tensor.name, std::move(value));
    }
  }
  return values;
}

// The same error, or the same outputs bit for bit (NaN included).
bool same_bits(const Result<TensorValues>& a, const Result<TensorValues>& b) {
  if (!a || !b) {
    return a.has_value() == b.has_value() && (a.has_value() || a.error() == b.error());
  }
  return std::ranges::equal(*a, *b, [](const auto& x, const auto& y) {
    return x.first == y.first && std::ranges::equal(x.second, y.second, [](float u, float v) {
             return std::bit_cast<std::uint32_t>(u) == std::bit_cast<std::uint32_t>(v);
           });
  });
}

// Problem "I" searched without a step limit: the search runs far longer
// than any test may wait, so only a stop ends it soon.
PlacementOptions unbounded_search() {
  return PlacementOptions{.strategy = PlacementStrategy::Best,
                          .capacity = test_support::kBufferProblemCapacity,
                          .search_steps = std::numeric_limits<std::uint64_t>::max(),
                          .deadline = std::nullopt};
}

TEST(StoppingACall, AStopRequestedBeforeTheCallThrowsFromEveryEntryPoint) {
  const Graph encoder = *encoder_graph(EncoderConfig{});
  const TensorValues values = source_values(encoder);
  const Schedule schedule = *compile(encoder, CompilerOptions{});
  const std::vector<Buffer> buffers = test_support::read_buffer_problem("I");
  struct Case {
    const char* label;
    std::function<void(const std::stop_token&)> call;
  };
  const std::vector<Case> cases = {
      {"compile",
       [&](const std::stop_token& stop) {
         (void)compile(encoder, CompilerOptions{}, PlanningOptions{}, stop);
       }},
      {"compile, best placement",
       [&](const std::stop_token& stop) {
         (void)compile(encoder, CompilerOptions{}, kBest, stop);
       }},
      {"diagnose_fit",
       [&](const std::stop_token& stop) {
         (void)diagnose_fit(encoder, CompilerOptions{}, kBest, stop);
       }},
      {"plan_memory, first fit",
       [&](const std::stop_token& stop) {
         (void)plan_memory(encoder, schedule.layouts, schedule.phases, CompilerOptions{},
                           PlanningOptions{}, stop);
       }},
      {"plan_memory, best placement",
       [&](const std::stop_token& stop) {
         (void)plan_memory(encoder, schedule.layouts, schedule.phases, CompilerOptions{}, kBest,
                           stop);
       }},
      {"evaluate", [&](const std::stop_token& stop) { (void)evaluate(encoder, values, stop); }},
      {"compile_pipeline",
       [&](const std::stop_token& stop) {
         (void)compile_pipeline(encoder, CompilerOptions{}, PipelineOptions{.chips = 2}, stop);
       }},
      // A few hundred placements pass before the first look at the token.
      {"place_buffers, first fit",
       [&](const std::stop_token& stop) {
         PlacementOptions first_fit = unbounded_search();
         first_fit.strategy = PlacementStrategy::FirstFit;
         (void)place_buffers(buffers, first_fit, stop);
       }},
      {"place_buffers, best",
       [&](const std::stop_token& stop) {
         (void)place_buffers(buffers, unbounded_search(), stop);
       }},
  };
  for (const Case& c : cases) {
    std::stop_source source;
    source.request_stop();
    EXPECT_THROW(c.call(source.get_token()), Stopped) << c.label;
  }
}

// The placement search reads the token every few hundred placements, so a
// stop from another thread ends a search that would otherwise go on for
// minutes; the next call, stopped or not, starts afresh.
TEST(StoppingACall, AStopRequestedDuringTheSearchEndsIt) {
  const std::vector<Buffer> buffers = test_support::read_buffer_problem("I");
  std::stop_source source;
  std::jthread stopper([&source] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    source.request_stop();
  });
  EXPECT_THROW((void)place_buffers(buffers, unbounded_search(), source.get_token()), Stopped);
  PlacementOptions bounded = unbounded_search();
  bounded.search_steps = 500;
  EXPECT_EQ(place_buffers(buffers, bounded, std::stop_source().get_token()),
            place_buffers(buffers, bounded));
}

TEST(StoppingACall, ATokenNeverStoppedChangesNoResult) {
  Random random(20261210);
  const test_support::GraphShape shape{.max_ops = 24, .max_extent = 48, .misfits = false};
  const std::stop_source live;
  for (int round = 0; round < 40; ++round) {
    const Graph graph = test_support::random_graph(random, shape);
    const CompilerOptions options = test_support::random_options(random, 64);
    const PlanningOptions planning = round % 2 == 0 ? PlanningOptions{} : kBest;
    EXPECT_EQ(compile(graph, options, planning, live.get_token()),
              compile(graph, options, planning))
        << round;
    EXPECT_EQ(diagnose_fit(graph, options, planning, live.get_token()),
              diagnose_fit(graph, options, planning))
        << round;
    const TensorValues values = source_values(graph);
    EXPECT_TRUE(same_bits(evaluate(graph, values, live.get_token()), evaluate(graph, values)))
        << round;
  }
  for (const std::string_view name : test_support::buffer_problem_names()) {
    const std::vector<Buffer> buffers = test_support::read_buffer_problem(name);
    PlacementOptions options = unbounded_search();
    options.search_steps = 500;
    EXPECT_EQ(place_buffers(buffers, options, live.get_token()), place_buffers(buffers, options))
        << name;
  }
}

}  // namespace
}  // namespace zelk_compiler
