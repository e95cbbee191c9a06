// Fuzz target: a sequence of builder calls with arbitrary shapes, ids and
// parameters, then compile under arbitrary options, and evaluate when the
// graph is small. A failed builder call must leave the graph unchanged; a
// successful compile must pass the independent schedule checker; a
// successful evaluation must give the bits of the literal one.
#include <bit>
#include <cmath>
#include <stdexcept>

#include "fuzz_support.hpp"
#include "support/literal_evaluation.hpp"
#include "support/schedule_checker.hpp"
#include "zelk_compiler/evaluate.hpp"

using namespace zelk_compiler;

namespace {

// Tensors up to this many elements keep the literal evaluation cheap.
constexpr std::uint64_t kMaxEvaluatedElements = 512;

Result<TensorId> build_one(FuzzedDataProvider& in, Graph& graph) {
  const auto count = graph.tensors.size();
  const std::string name = in.ConsumeRandomLengthString(8);
  const TensorId a{fuzz::index(in, count)};
  const TensorId b{fuzz::index(in, count)};
  switch (in.ConsumeIntegralInRange<int>(0, 19)) {
    case 0:
      return graph.input(name, fuzz::shape(in));
    case 1:
      return graph.weight(name, fuzz::shape(in));
    case 2:
      return graph.matmul(name, a, b);
    case 3:
      return graph.add(name, a, b);
    case 4: {
      std::vector<std::uint64_t> permutation(in.ConsumeIntegralInRange<std::size_t>(0, 4));
      for (auto& axis : permutation) axis = in.ConsumeIntegralInRange<std::uint64_t>(0, 4);
      return graph.transpose(name, a, std::move(permutation));
    }
    case 5:
      return graph.layer_norm(name, a, in.ConsumeFloatingPoint<float>());
    case 6:
      return graph.softmax(name, a, fuzz::index(in, 4));
    case 7:
      return graph.gelu(name, a);
    case 8:
      return graph.binary(name, Mul{}, a, b);
    case 9: {
      auto target = fuzz::shape(in);
      return graph.op(name, Reshape{target}, {a}, target);
    }
    case 10: {
      const OpKind kinds[] = {Add{}, Mul{}, Sub{}, Div{}, Pow{}};
      return graph.elementwise(name, kinds[in.ConsumeIntegralInRange<int>(0, 4)], a, b);
    }
    case 11:
      return graph.batch_matmul(name, a, b);
    case 12:
      return graph.layer_norm(name, a, b, TensorId{fuzz::index(in, count)},
                              in.ConsumeFloatingPoint<float>());
    case 13: {
      const OpKind kinds[] = {Gelu{}, GeluErf{}, Relu{}, Erf{}, Tanh{}, Sqrt{}, Exp{}};
      return graph.unary(name, kinds[in.ConsumeIntegralInRange<int>(0, 6)], a);
    }
    case 14: {
      const std::uint64_t axis = fuzz::index(in, 4);
      const std::uint64_t start = fuzz::extent(in);
      return graph.slice(name, a, axis, start, start + fuzz::extent(in));
    }
    case 15: {
      std::vector<TensorId> inputs(in.ConsumeIntegralInRange<std::size_t>(0, 4));
      for (auto& input : inputs) input = TensorId{fuzz::index(in, count)};
      return graph.concat(name, std::move(inputs), fuzz::index(in, 4));
    }
    case 16:
      return graph.reduce_mean(name, a, fuzz::index(in, 4));
    case 17:
      return graph.reshape(name, a, fuzz::shape(in));
    case 18:
      return graph.mul(name, a, b);
    default:
      try {
        graph.mark_output(a);
      } catch (const std::out_of_range&) {
        if (a.index < count) fuzz::fail("mark_output refused an existing tensor");
      }
      return a;
  }
}

// Values of every source tensor from a seed, a few of them special.
TensorValues source_values(const Graph& graph, std::uint32_t seed) {
  TensorValues values;
  for (const Tensor& tensor : graph.tensors) {
    if (tensor.producer) continue;
    std::vector<float>& value = values[tensor.name];
    value.clear();
    for (std::uint64_t i = 0; i < tensor.elements(); ++i) {
      seed = seed * 1664525U + 1013904223U;
      value.push_back(seed % 61 == 0 ? std::bit_cast<float>(seed | 0x7F800000U)
                                     : static_cast<float>(seed >> 8U) / 8388608.0F - 1.0F);
    }
  }
  return values;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!(std::isnan(a[i]) && std::isnan(b[i])) &&
        std::bit_cast<std::uint32_t>(a[i]) != std::bit_cast<std::uint32_t>(b[i])) {
      return false;
    }
  }
  return true;
}

// Evaluates a valid graph whose tensors are all small: a refusal must be a
// Graph error, and a result must be the literal evaluation's.
void check_evaluation(const Graph& graph, std::uint32_t seed) {
  for (const Tensor& tensor : graph.tensors) {
    if (tensor.elements() > kMaxEvaluatedElements) return;
  }
  const TensorValues values = source_values(graph, seed);
  const auto result = evaluate(graph, values);
  if (!result) {
    if (result.error().kind != CompileError::Kind::Graph) fuzz::fail("evaluate error not Graph");
    return;
  }
  const TensorValues expected = test_support::literal_evaluate(graph, values);
  if (result->size() != expected.size()) fuzz::fail("evaluate gave another set of outputs");
  for (const auto& [name, value] : expected) {
    const auto found = result->find(name);
    if (found == result->end() || !same_bits(found->second, value)) {
      fuzz::fail("evaluate differs from the literal evaluation in " + name);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Graph graph;
  const CompilerOptions options = fuzz::options(in);
  while (in.remaining_bytes() > 0 && graph.tensors.size() < 48) {
    const Graph before = graph;
    const auto built = build_one(in, graph);
    if (!built) {
      if (!(graph == before)) fuzz::fail("a failed builder call changed the graph");
      if (built.error().kind != CompileError::Kind::Graph) fuzz::fail("builder error not Graph");
    }
  }
  const auto seed = in.ConsumeIntegral<std::uint32_t>();
  if (graph.validate()) check_evaluation(graph, seed);
  if (!graph.validate() || !options.valid()) {
    if (compile(graph, options)) fuzz::fail("compile accepted an invalid graph or options");
    return 0;
  }
  if (fuzz::planned_allocations(graph, options) > fuzz::kMaxAllocations) return 0;
  const auto schedule = compile(graph, options);
  if (!schedule) {
    if (schedule.error().kind != CompileError::Kind::Memory) fuzz::fail("unexpected error kind");
    return 0;
  }
  const auto problems = test_support::check_schedule(graph, options, *schedule);
  if (!problems.empty()) fuzz::fail(problems.front());
  return 0;
}
