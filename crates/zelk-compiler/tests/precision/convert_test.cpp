// convert_precision: the converted encoder computes what the float32 one does
// within 16-bit rounding and plans in about half the memory; every operation
// computes in the type its kind is given, the casts sit just before the
// operations that need them, and the values are rounded once with exact
// counts of what rounding lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "reference/float_testing.hpp"
#include "support/schedule_checker.hpp"
#include "zelk_compiler/compiler.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/detail/float16.hpp"
#include "zelk_compiler/encoder.hpp"
#include "zelk_compiler/evaluate.hpp"
#include "zelk_compiler/graph.hpp"
#include "zelk_compiler/precision.hpp"

namespace zelk_compiler {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();
const EncoderConfig kEncoder{.sequence = 16, .hidden = 32, .heads = 4, .feed_forward = 64};

TensorValues encoder_values(EncoderConfig config) {
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  test_support::ValueSource source(7, 2.0F, 0);
  return {{"input", source.list(config.sequence * config.hidden)},
          {"wq", weights.wq},
          {"wk", weights.wk},
          {"wv", weights.wv},
          {"wo", weights.wo},
          {"w1", weights.w1},
          {"w2", weights.w2}};
}

PrecisionConversion converted(const Graph& graph, const TensorValues& values,
                              const PrecisionOptions& options) {
  auto conversion = convert_precision(graph, values, options);
  if (!conversion) {
    ADD_FAILURE() << conversion.error();
    return {};
  }
  return std::move(*conversion);
}

bool kept(const PrecisionOptions& options, const Op& op) {
  return std::ranges::find(options.keep_f32, operation_name(op.kind)) != options.keep_f32.end();
}

// Every way the converted graph can break the conversion's rules, one line
// each: an operation not in its kind's type, an operand of another type, a
// cast that converts nothing or that is not just before its first reader.
std::vector<std::string> type_faults(const Graph& graph, const PrecisionOptions& options) {
  std::vector<std::string> faults;
  for (const Op& op : graph.ops) {
    const DType type = graph.tensors[op.output.index].dtype;
    if (std::holds_alternative<Cast>(op.kind)) {
      const Tensor& from = graph.tensors[op.inputs.at(0).index];
      if (from.dtype == type) {
        faults.push_back("cast " + op.name + " converts nothing");
      }
      const auto reads = [&](const Op& other) {
        return std::ranges::find(other.inputs, op.output) != other.inputs.end();
      };
      const auto first = std::ranges::find_if(graph.ops, reads);
      const bool output = std::ranges::find(graph.outputs, op.output) != graph.outputs.end();
      const auto casts_between = [&] {
        return std::all_of(
            graph.ops.begin() + static_cast<std::ptrdiff_t>(op.id.index + 1), first,
            [](const Op& other) { return std::holds_alternative<Cast>(other.kind); });
      };
      if (first == graph.ops.end() ? !output : first->id < op.id || !casts_between()) {
        faults.push_back("cast " + op.name + " is not just before its first reader");
      }
      continue;
    }
    const DType expected = kept(options, op) ? DType::F32 : options.target;
    if (type != expected) {
      faults.push_back("op " + op.name + " computes in " + std::string(dtype_name(type)));
    }
    for (const TensorId input : op.inputs) {
      if (graph.tensors[input.index].dtype != type) {
        faults.push_back("op " + op.name + " reads " + graph.tensors[input.index].name +
                         " of another type");
      }
    }
  }
  return faults;
}

float largest_magnitude(const std::vector<float>& values) {
  float largest = 0.0F;
  for (const float value : values) {
    largest = std::max(largest, std::fabs(value));
  }
  return largest;
}

struct ToleranceCase {
  DType target;
  bool keep_io;
  float tolerance;  // of the largest output magnitude
};

TEST(PrecisionConversion, EncoderEvaluatesWithinSixteenBitRounding) {
  // Every operation rounds once to the target: about 2^-11 (F16) or 2^-8
  // (BF16) relative per step, over the fifteen steps of the block.
  const ToleranceCase cases[] = {
      {DType::F16, false, 1e-2F},
      {DType::F16, true, 1e-2F},
      {DType::BF16, false, 6e-2F},
      {DType::BF16, true, 6e-2F},
  };
  const Graph graph = *encoder_graph(kEncoder);
  const TensorValues values = encoder_values(kEncoder);
  const auto expected = evaluate(graph, values);
  ASSERT_TRUE(expected.has_value()) << expected.error();
  const std::vector<float>& reference = expected->at("ffn_residual");
  for (const ToleranceCase& c : cases) {
    SCOPED_TRACE(std::string(dtype_name(c.target)) + (c.keep_io ? " keep io" : ""));
    const PrecisionOptions options{.target = c.target, .keep_io = c.keep_io};
    const PrecisionConversion conversion = converted(graph, values, options);
    EXPECT_TRUE(type_faults(conversion.graph, options).empty())
        << debug_string(type_faults(conversion.graph, options));
    const auto result = evaluate(conversion.graph, conversion.weights);
    ASSERT_TRUE(result.has_value()) << result.error();
    ASSERT_EQ(result->size(), 1U);
    const std::vector<float>& output = result->at("ffn_residual");
    ASSERT_EQ(output.size(), reference.size());
    const float bound = c.tolerance * largest_magnitude(reference);
    float worst = 0.0F;
    for (std::size_t i = 0; i < output.size(); ++i) {
      worst = std::max(worst, std::fabs(output[i] - reference[i]));
    }
    EXPECT_LE(worst, bound);
    EXPECT_GT(worst, 0.0F) << "nothing was rounded";
  }
}

TEST(PrecisionConversion, KeptKindsComputeInFloat32WithCastsAroundThem) {
  const Graph graph = *encoder_graph(kEncoder);
  const PrecisionOptions options{.target = DType::BF16};
  const PrecisionConversion conversion = converted(graph, {}, options);
  const Graph& out = conversion.graph;
  EXPECT_TRUE(type_faults(out, options).empty()) << debug_string(type_faults(out, options));

  // The block's own tensors keep their names and order, each cast right after
  // the tensor it converts.
  std::vector<std::string> names;
  for (const Tensor& tensor : out.tensors) {
    names.push_back(tensor.name);
  }
  const std::vector<std::string> expected = {"input",
                                             "input:f32",
                                             "wq",
                                             "wk",
                                             "wv",
                                             "wo",
                                             "w1",
                                             "w2",
                                             "norm1",
                                             "norm1:bf16",
                                             "q",
                                             "k",
                                             "v",
                                             "k_transpose",
                                             "attention_scores",
                                             "attention_scores:f32",
                                             "attention_softmax",
                                             "attention_softmax:bf16",
                                             "attention_context",
                                             "attention_projection",
                                             "attention_residual",
                                             "attention_residual:f32",
                                             "norm2",
                                             "norm2:bf16",
                                             "ffn_up",
                                             "ffn_gelu",
                                             "ffn_down",
                                             "ffn_residual"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(conversion.casts, 6U);
  // The converted input is read by the first layer norm, kept, through a cast
  // back to F32, and by the residual sum in BF16.
  EXPECT_EQ(out.tensors[0].dtype, DType::BF16);
  EXPECT_EQ(out.tensors[out.outputs.at(0).index].name, "ffn_residual");
  EXPECT_EQ(out.tensors[out.outputs.at(0).index].dtype, DType::BF16);
  EXPECT_TRUE(out.validate().has_value());
}

TEST(PrecisionConversion, KeepingNothingAddsCastsOnlyAtKeptBoundaries) {
  const Graph graph = *encoder_stack_graph(kEncoder, 2);
  for (const bool keep_io : {false, true}) {
    SCOPED_TRACE(keep_io ? "keep io" : "convert io");
    const PrecisionOptions options{.target = DType::F16, .keep_f32 = {}, .keep_io = keep_io};
    const PrecisionConversion conversion = converted(graph, {}, options);
    const Graph& out = conversion.graph;
    EXPECT_TRUE(type_faults(out, options).empty()) << debug_string(type_faults(out, options));
    std::set<std::string> cast_ends;
    for (const Op& op : out.ops) {
      if (std::holds_alternative<Cast>(op.kind)) {
        cast_ends.insert(out.tensors[op.inputs.at(0).index].name + " -> " +
                         out.tensors[op.output.index].name);
      }
    }
    const std::set<std::string> expected =
        keep_io
            ? std::set<std::string>{"input -> input:f16", "l1.ffn_residual:f16 -> l1.ffn_residual"}
            : std::set<std::string>{};
    EXPECT_EQ(cast_ends, expected);
    EXPECT_EQ(conversion.casts, expected.size());
    // Callers feed and read the same names and, with keep_io, types.
    EXPECT_EQ(out.tensors[0].name, "input");
    EXPECT_EQ(out.tensors[0].dtype, keep_io ? DType::F32 : DType::F16);
    const Tensor& result = out.tensors[out.outputs.at(0).index];
    EXPECT_EQ(result.name, "l1.ffn_residual");
    EXPECT_EQ(result.dtype, keep_io ? DType::F32 : DType::F16);
    EXPECT_EQ(result.kind, TensorKind::Output);
  }
}

TEST(PrecisionConversion, WeightsKeepTheTypeOfTheirReaders) {
  // g is read only by the kept layer norm, b by it and by a converted sum.
  Graph graph;
  const TensorId x = graph.input("x", {2, 4});
  const TensorId g = graph.weight("g", {4});
  const TensorId b = graph.weight("b", {4});
  const TensorId bias = graph.weight("bias", {2, 4});
  const TensorId norm = *graph.layer_norm("norm", x, g, b, 1e-5F);
  const TensorId shifted = *graph.elementwise("shifted", Add{}, norm, b);
  graph.mark_output(*graph.add("sum", shifted, bias));
  const PrecisionConversion conversion = converted(graph, {}, PrecisionOptions{});
  const Graph& out = conversion.graph;
  const auto type_of = [&](const std::string& name) {
    const auto found = std::ranges::find(out.tensors, name, &Tensor::name);
    return found == out.tensors.end() ? std::optional<DType>{} : found->dtype;
  };
  EXPECT_EQ(type_of("g"), DType::F32);
  EXPECT_EQ(type_of("b"), DType::F16);
  EXPECT_EQ(type_of("b:f32"), DType::F32);
  EXPECT_EQ(type_of("bias"), DType::F16);
  EXPECT_EQ(type_of("x:f32"), DType::F32);
  EXPECT_EQ(conversion.casts, 3U);  // x and b to F32, the norm to F16
  EXPECT_TRUE(type_faults(out, PrecisionOptions{}).empty());
}

TEST(PrecisionConversion, GraphOfKeptOperationsWithKeptBoundaryIsUnchanged) {
  Graph graph;
  const TensorId x = graph.input("x", {3, 8});
  const TensorId norm = *graph.layer_norm("norm", x, 1e-5F);
  graph.mark_output(*graph.softmax("probs", norm, 1));
  const PrecisionConversion conversion =
      converted(graph, {}, PrecisionOptions{.target = DType::F16, .keep_io = true});
  EXPECT_EQ(conversion.graph, graph);
  EXPECT_EQ(conversion.casts, 0U);
}

TEST(PrecisionConversion, CastNamesAvoidTakenNames) {
  Graph graph;
  const TensorId x = graph.input("x", {4});
  const TensorId taken = graph.input("sum:f32", {4});
  const TensorId sum = *graph.add("sum", x, taken);
  graph.mark_output(*graph.layer_norm("norm", sum, 1e-5F));
  const PrecisionConversion conversion = converted(graph, {}, PrecisionOptions{});
  std::vector<std::string> names;
  for (const Tensor& tensor : conversion.graph.tensors) {
    names.push_back(tensor.name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"x", "sum:f32", "sum", "sum:f32_2", "norm"}));
}

TEST(PrecisionConversion, ValuesAreRoundedOnceWithExactCounts) {
  struct Case {
    DType target;
    std::vector<float> weight;
    RoundingCounts counts;
  };
  const Case cases[] = {
      // 1e5 saturates to 65504, 1e-6 is subnormal, 1e-9 rounds to zero;
      // zeros and infinities are not counted, nor is 65519 (which rounds
      // to 65504).
      {DType::F16,
       {1e5F, -1e5F, 1e-6F, -1e-6F, 1e-9F, 0.0F, -0.0F, kInfinity, 65519.0F, 0.1F},
       {.overflowed = 2, .subnormal = 2, .zeroed = 1}},
      // The tie below the smallest subnormal goes to zero, the tie below
      // infinity saturates.
      {DType::F16, {0x1p-25F, 0x1.8p-25F, 65520.0F, 0x1p-14F}, {1, 1, 1}},
      {DType::BF16,
       {std::numeric_limits<float>::max(), 1e-39F, 1e-45F, 1e5F, 0x1p-126F},
       {.overflowed = 1, .subnormal = 1, .zeroed = 1}},
      {DType::BF16, {1.0F, -2.5F, 3e38F}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(debug_string(c.weight));
    Graph graph;
    const std::uint64_t n = c.weight.size();
    const TensorId x = graph.input("x", {n});
    const TensorId w = graph.weight("w", {n});
    graph.mark_output(*graph.add("y", x, w));
    const TensorValues values = {{"w", c.weight}, {"unrelated", {0.1F, 1e9F}}};
    const PrecisionConversion conversion =
        converted(graph, values, PrecisionOptions{.target = c.target});
    std::vector<float> expected = c.weight;
    detail::round_all(c.target, expected);
    const float largest = c.target == DType::F16 ? 65504.0F : std::bit_cast<float>(0x7F7F0000U);
    for (std::size_t i = 0; i < n; ++i) {
      if (std::isinf(expected[i]) && std::isfinite(c.weight[i])) {
        expected[i] = std::copysign(largest, c.weight[i]);
      }
    }
    EXPECT_TRUE(test_support::same_bits(conversion.weights.at("w"), expected));
    EXPECT_EQ(conversion.weights.at("unrelated"), values.at("unrelated"));
    EXPECT_EQ(conversion.total, c.counts);
    const std::vector<ValueRounding> rounding = c.counts.any()
                                                    ? std::vector<ValueRounding>{{"w", n, c.counts}}
                                                    : std::vector<ValueRounding>{};
    EXPECT_EQ(conversion.rounding, rounding);
  }
}

TEST(PrecisionConversion, CountsAddUpOverWeights) {
  Graph graph;
  const TensorId x = graph.input("x", {2});
  const TensorId a = graph.weight("a", {2});
  const TensorId b = graph.weight("b", {2});
  graph.mark_output(*graph.add("y", *graph.add("s", x, a), b));
  const TensorValues values = {{"a", {1e5F, 1e-6F}}, {"b", {1e-9F, 1e5F}}, {"x", {1e-9F, 1.0F}}};
  const PrecisionConversion conversion = converted(graph, values, PrecisionOptions{});
  EXPECT_EQ(
      conversion.rounding,
      (std::vector<ValueRounding>{{"x", 2, {0, 0, 1}}, {"a", 2, {1, 1, 0}}, {"b", 2, {1, 0, 1}}}));
  EXPECT_EQ(conversion.total, (RoundingCounts{2, 1, 2}));
}

// An embedding with an integer mask: the ids, the mask and the arithmetic on
// them stay integers with their values, the gather reads its ids uncast, and
// the floats convert as in any graph.
TEST(PrecisionConversion, IntegerIdsAndMasksKeepTheirTypesAndValues) {
  Graph graph;
  const TensorId ids = graph.input("ids", {2, 3}, DType::I64);
  const TensorId mask = graph.input("mask", {2, 3}, DType::I64);
  const TensorId table = graph.weight("table", {5, 4});
  const TensorId counts = graph.weight("counts", {2, 3}, DType::I32);
  const TensorId rows = *graph.gather("rows", table, ids);
  const TensorId shifted =
      *graph.binary("shifted", Sub{}, mask, *graph.cast("one", mask, DType::I64));
  const TensorId mask_f = *graph.cast("mask_f", shifted, DType::F32);
  const TensorId scaled = *graph.mul("scaled", mask_f, mask_f);
  graph.mark_output(rows);
  graph.mark_output(scaled);
  graph.mark_output(*graph.cast("counts64", counts, DType::I64));
  const TensorValues values{{"table", {0.1F, 0.2F, 0.3F, 0.4F, 0.5F, 0.6F, 0.7F, 0.8F, 0.9F, 1.0F,
                                       1.1F, 1.2F, 1.3F, 1.4F, 1.5F, 1.6F, 1.7F, 1.8F, 1.9F, 2.0F}},
                            {"counts", {1, 2, 3, 4, 5, 70000}}};
  for (const bool keep_io : {false, true}) {
    SCOPED_TRACE(keep_io ? "inputs and outputs kept" : "all converted");
    const PrecisionConversion conversion =
        converted(graph, values, PrecisionOptions{.keep_io = keep_io});
    const Graph& out = conversion.graph;
    const auto type_of = [&](const std::string& name) {
      const auto found = std::ranges::find(out.tensors, name, &Tensor::name);
      return found == out.tensors.end() ? DType::F32 : found->dtype;
    };
    for (const char* name : {"ids", "mask", "one", "shifted", "counts64"}) {
      EXPECT_EQ(type_of(name), DType::I64) << name;
    }
    EXPECT_EQ(type_of("counts"), DType::I32);
    EXPECT_EQ(type_of("table"), DType::F16);
    EXPECT_EQ(type_of("mask_f"), DType::F16);
    EXPECT_EQ(type_of("rows"), keep_io ? DType::F32 : DType::F16);
    EXPECT_EQ(conversion.weights.at("counts"), values.at("counts"));
    // Only the boundary casts of the two float outputs.
    EXPECT_EQ(conversion.casts, keep_io ? 2U : 0U);
    const TensorValues inputs{{"ids", {0, 4, -1, 2, 2, 3}}, {"mask", {1, 0, 1, 1, 0, 0}}};
    TensorValues all = conversion.weights;
    all.insert(inputs.begin(), inputs.end());
    const auto result = evaluate(out, all);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(result->at("counts64"), values.at("counts"));
    EXPECT_EQ(result->at("scaled"), std::vector<float>(6, 0.0F));
    EXPECT_EQ(result->at("rows")[4], detail::round_to(DType::F16, 1.7F))
        << "table row 4, rounded once";
  }
}

TEST(PrecisionConversion, BadInputIsRefusedWithNothingConverted) {
  const auto base = [] {
    Graph graph;
    const TensorId x = graph.input("x", {2});
    const TensorId w = graph.weight("w", {2});
    graph.mark_output(*graph.add("y", x, w));
    return graph;
  };
  Graph half = base();
  half.tensors[1].dtype = DType::F16;
  half.tensors[0].dtype = DType::F16;
  half.tensors[2].dtype = DType::F16;
  Graph unordered = base();
  unordered.ops[0].inputs[0] = TensorId{2};
  struct Case {
    std::string what;
    Graph graph;
    TensorValues values;
    std::vector<std::string> keep;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"16-bit graph",
       half,
       {},
       {},
       "tensor x has type F16; precision conversion takes F32 graphs"},
      {"unordered graph", unordered, {}, {}, "operand computed after op y"},
      {"unknown kind", base(), {}, {"layer_norm", "layernorm"}, ""},
      {"short value", base(), {{"w", {1.0F}}}, {}, "value size mismatch for w"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto result = convert_precision(c.graph, c.values, PrecisionOptions{.keep_f32 = c.keep});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, CompileError::Kind::Graph);
    if (c.message.empty()) {
      EXPECT_TRUE(result.error().message.starts_with(
          "unknown operation kind \"layernorm\" to keep in F32; kinds are matmul, add, mul, "))
          << result.error().message;
    } else {
      EXPECT_EQ(result.error().message, c.message);
    }
  }
  for (const DType target : {DType::F32, DType::I32, DType::I64}) {
    EXPECT_THROW(
        {
          [[maybe_unused]] const auto refused =
              convert_precision(base(), {}, PrecisionOptions{.target = target});
        },
        std::invalid_argument);
  }
}

TEST(PrecisionConversion, ConvertedEncoderSchedulesInAboutHalfTheMemory) {
  // Small tensors spread over fewer tiles when their elements are smaller, so
  // the busiest tile gains less than the chip as a whole.
  struct Peaks {
    double total = 0;
    double busiest = 0;
  };
  const EncoderConfig config{.sequence = 64, .hidden = 128, .heads = 4, .feed_forward = 512};
  const Graph graph = *encoder_stack_graph(config, 2);
  const CompilerOptions options{};
  const auto peaks_of = [&](const Graph& g) {
    Peaks peaks;
    const auto schedule = compile(g, options);
    if (!schedule) {
      ADD_FAILURE() << schedule.error();
      return peaks;
    }
    EXPECT_TRUE(test_support::check_schedule(g, options, *schedule).empty())
        << debug_string(test_support::check_schedule(g, options, *schedule));
    for (const auto& [tile, bytes] : schedule->peak_sram) {
      peaks.total += bytes;
      peaks.busiest = std::max<double>(peaks.busiest, bytes);
    }
    return peaks;
  };
  const Peaks full = peaks_of(graph);
  for (const auto& keep : {std::vector<std::string>{}, default_keep_f32()}) {
    for (const DType target : {DType::F16, DType::BF16}) {
      SCOPED_TRACE(debug_string(keep) + " " + std::string(dtype_name(target)));
      const PrecisionConversion conversion =
          converted(graph, {}, PrecisionOptions{.target = target, .keep_f32 = keep});
      const Peaks half = peaks_of(conversion.graph);
      EXPECT_GE(half.total / full.total, 0.5);
      EXPECT_LE(half.total / full.total, 0.56);
      EXPECT_LE(half.busiest / full.busiest, 0.75);
    }
  }
}

}  // namespace
}  // namespace zelk_compiler
