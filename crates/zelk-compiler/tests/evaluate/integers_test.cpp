// Integer tensors in host evaluation: exact arithmetic on whole numbers held
// in floats, casts into and out of the integer types, and the values and
// results beyond 2^24 that are refused rather than rounded.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "evaluate/literal_agreement.hpp"
#include "reference/float_testing.hpp"
#include "support/literal_evaluation.hpp"
#include "support/random_graphs.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/evaluate.hpp"
#include "zelk_compiler/graph.hpp"

namespace zelk_compiler {
namespace {

using test_support::same_bits;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

// x (a source of `from`, shape [n]) through `build`, evaluated on `values`.
Result<TensorValues> run_one(DType from, const std::vector<float>& values,
                             const std::function<Result<TensorId>(Graph&, TensorId)>& build) {
  Graph graph;
  const TensorId x = graph.input("x", {values.size()}, from);
  graph.mark_output(*build(graph, x));
  return evaluate(graph, {{"x", values}});
}

TEST(IntegerEvaluation, ArithmeticAndMovesKeepWholeNumbers) {
  for (const DType dtype : {DType::I32, DType::I64}) {
    Graph graph;
    const TensorId ids = graph.input("ids", {2, 3}, dtype);
    const TensorId step = graph.weight("step", {3}, dtype);
    const TensorId sum = *graph.elementwise("sum", Add{}, ids, step);
    const TensorId diff = *graph.elementwise("diff", Sub{}, sum, ids);
    const TensorId scaled = *graph.elementwise("scaled", Mul{}, ids, step);
    const TensorId moved = *graph.transpose("moved", scaled, {1, 0});
    const TensorId joined = *graph.concat("joined", {moved, moved}, 1);
    graph.mark_output(diff);
    graph.mark_output(*graph.slice("tail", joined, 1, 1, 3));
    const auto result =
        evaluate(graph, {{"ids", {0, 1, -2, 4, -4096, 7}}, {"step", {-3, 4096, 0}}});
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(result->at("diff"), (std::vector<float>{-3, 4096, 0, -3, 4096, 0}));
    // -4096 x 4096 is -2^24, the last integer in range.
    EXPECT_EQ(result->at("tail"), (std::vector<float>{-12, 0, -16777216, 4096, 0, 0}));
  }
}

TEST(IntegerEvaluation, CastsFollowTheConversionRules) {
  struct Case {
    const char* label;
    DType from;
    DType to;
    std::vector<float> values;
    std::vector<float> expected;
  };
  const std::vector<Case> cases = {
      {"floats round toward zero",
       DType::F32,
       DType::I64,
       {2.75F, -2.75F, 0.5F, -16777216.0F},
       {2, -2, 0, -16777216}},
      {"16-bit floats too", DType::F16, DType::I32, {65504.0F, -1.5F}, {65504, -1}},
      {"integers keep their value", DType::I64, DType::I32, {-16777216, 5}, {-16777216, 5}},
      {"into F32 exactly", DType::I32, DType::F32, {16777216, -3}, {16777216, -3}},
      // 2049 lies halfway between F16's 2048 and 2050: to even.
      {"into F16 rounded", DType::I64, DType::F16, {2049, 2051, 70000}, {2048, 2052, kInfinity}},
      {"into BF16 rounded", DType::I32, DType::BF16, {257, -16777215}, {256, -16777216}},
  };
  for (const Case& c : cases) {
    const auto result = run_one(c.from, c.values,
                                [&](Graph& graph, TensorId x) { return graph.cast("c", x, c.to); });
    ASSERT_TRUE(result.has_value()) << c.label << ": " << result.error();
    EXPECT_TRUE(same_bits(result->at("c"), c.expected)) << c.label;
  }
}

TEST(IntegerEvaluation, ValuesAndResultsBeyondExactIntegersAreRefused) {
  struct Case {
    const char* label;
    DType from;
    std::vector<float> values;
    std::function<Result<TensorId>(Graph&, TensorId)> build;
    std::string message;
  };
  const auto cast_to_i64 = [](Graph& graph, TensorId x) { return graph.cast("c", x, DType::I64); };
  const auto doubled = [](Graph& graph, TensorId x) { return graph.elementwise("s", Add{}, x, x); };
  const auto squared = [](Graph& graph, TensorId x) { return graph.mul("p", x, x); };
  const std::vector<Case> cases = {
      {"a fraction",
       DType::I64,
       {1, 0.5F},
       doubled,
       "value for x is not an integer of I64 within 2^24: element 1 is 0.5"},
      {"a value past 2^24",
       DType::I32,
       {16777218.0F},
       doubled,
       "value for x is not an integer of I32 within 2^24: element 0 is 16777218"},
      {"a NaN",
       DType::I64,
       {kNaN},
       doubled,
       "value for x is not an integer of I64 within 2^24: element 0 is nan"},
      // 2^23 + 2^23 + ... : 2^24 + 2 would round to a float exactly, and
      // 2^24 + 1 would round to 2^24; both are refused all the same.
      {"a sum past 2^24",
       DType::I64,
       {8388609.0F},
       doubled,
       "op s: I64 result 16777218 is beyond 2^24, the integers evaluation holds exactly"},
      {"a product past 2^24",
       DType::I32,
       {4097.0F},
       squared,
       "op p: I32 result 16785409 is beyond 2^24, the integers evaluation holds exactly"},
      {"a cast of infinity",
       DType::F32,
       {1, kInfinity},
       cast_to_i64,
       "cast c: inf has no I64 value within 2^24"},
      {"a cast of NaN",
       DType::F16,
       {kNaN},
       cast_to_i64,
       "cast c: nan has no I64 value within 2^24"},
      {"a cast of a large float",
       DType::F32,
       {-1e30F},
       cast_to_i64,
       "cast c: -1e+30 has no I64 value within 2^24"},
  };
  for (const Case& c : cases) {
    const auto result = run_one(c.from, c.values, c.build);
    ASSERT_FALSE(result.has_value()) << c.label;
    EXPECT_EQ(result.error(), CompileError::graph(c.message)) << c.label;
  }
}

TEST(IntegerEvaluation, AGatherCopiesTableRowsAndRefusesIdsOutsideTheTable) {
  Graph graph;
  const TensorId table = graph.weight("word_embeddings", {4, 2}, DType::F16);
  const TensorId ids = graph.input("ids", {2, 3}, DType::I64);
  graph.mark_output(*graph.gather("emb", table, ids));
  const std::vector<float> rows = {0, 1, 10, 11, 20, 21, 30, 31};
  // -1 .. -4 count from the last row.
  const auto result = evaluate(graph, {{"word_embeddings", rows}, {"ids", {0, 3, -1, -4, 2, 2}}});
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(result->at("emb"), (std::vector<float>{0, 1, 30, 31, 30, 31, 0, 1, 20, 21, 20, 21}));
  EXPECT_TRUE(
      test_support::agrees(graph, {{"word_embeddings", rows}, {"ids", {1, -2, 0, 3, -3, 1}}}));

  for (const float outside : {4.0F, -5.0F, 16777216.0F}) {
    const auto refused =
        evaluate(graph, {{"word_embeddings", rows}, {"ids", {0, 1, outside, 2, 99, 3}}});
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(),
              CompileError::graph("gather 'emb': id " + debug_string(outside) +
                                  " is outside table 'word_embeddings' of 4 rows"));
  }
}

TEST(IntegerEvaluation, IdsComputedByIntegerArithmeticLookUpRows) {
  // Position ids as a model makes them: a range plus an offset, then looked
  // up, then added to a float value.
  Graph graph;
  const TensorId positions = graph.weight("positions", {3, 2});
  const TensorId base = graph.input("base", {2}, DType::I32);
  const TensorId offset = graph.weight("offset", {1}, DType::I32);
  const TensorId shifted = *graph.elementwise("shifted", Add{}, base, offset);
  const TensorId looked = *graph.gather("looked", positions, shifted);
  const TensorId x = graph.input("x", {2, 2});
  graph.mark_output(*graph.add("sum", looked, x));
  const TensorValues values = {{"positions", {0, 1, 2, 3, 4, 5}},
                               {"base", {0, 1}},
                               {"offset", {1}},
                               {"x", {0.5F, 0.5F, 0.25F, 0.25F}}};
  const auto result = evaluate(graph, values);
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(result->at("sum"), (std::vector<float>{2.5F, 3.5F, 4.25F, 5.25F}));
  EXPECT_TRUE(test_support::agrees(graph, values));
}

TEST(IntegerEvaluation, GeneratedGraphsMatchTheLiteralEvaluation) {
  for (const DType dtype : {DType::I32, DType::I64}) {
    test_support::Random random(dtype == DType::I32 ? 31 : 37);
    int compared = 0;
    for (int round = 0; round < 150; ++round) {
      const Graph graph = test_support::random_graph(
          random, {.max_ops = 16, .max_extent = 24, .misfits = false, .dtype = dtype});
      TensorValues values;
      for (const Tensor& tensor : graph.tensors) {
        if (tensor.producer) continue;
        std::vector<float>& value = values[tensor.name];
        for (std::uint64_t i = 0; i < tensor.elements(); ++i) {
          value.push_back(static_cast<float>(random.between(0, 40)) - 20.0F);
        }
      }
      const auto result = evaluate(graph, values);
      if (!result) {
        // Long chains of products may leave the exact range; nothing else fails.
        ASSERT_NE(result.error().message.find("is beyond 2^24"), std::string::npos)
            << result.error() << "\n"
            << graph;
        continue;
      }
      ++compared;
      ASSERT_TRUE(test_support::agrees(graph, values))
          << debug_string(dtype) << " round " << round << "\n"
          << graph;
    }
    EXPECT_GT(compared, 100);
  }
}

}  // namespace
}  // namespace zelk_compiler
