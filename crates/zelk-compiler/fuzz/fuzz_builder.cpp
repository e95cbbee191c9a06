// Fuzz target: a sequence of builder calls with arbitrary shapes, ids and
// parameters, then compile under arbitrary options with both planning
// strategies, and evaluate when the graph is small. A failed builder call
// must leave the graph unchanged; a successful compile must pass the
// independent schedule checker; `best` must fit wherever first fit does, as
// the fit diagnosis says; a successful evaluation must give the bits of the
// literal one.
#include <stdexcept>

#include "fuzz_support.hpp"
#include "support/schedule_checker.hpp"
#include "zelk_compiler/fit.hpp"

using namespace zelk_compiler;

namespace {

Result<TensorId> build_one(FuzzedDataProvider& in, Graph& graph) {
  const auto count = graph.tensors.size();
  const std::string name = in.ConsumeRandomLengthString(8);
  const TensorId a{fuzz::index(in, count)};
  const TensorId b{fuzz::index(in, count)};
  switch (in.ConsumeIntegralInRange<int>(0, 21)) {
    case 0: {
      auto shape = fuzz::shape(in);
      return graph.input(name, std::move(shape), fuzz::dtype(in));
    }
    case 1: {
      auto shape = fuzz::shape(in);
      return graph.weight(name, std::move(shape), fuzz::dtype(in));
    }
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
      const OpKind kinds[] = {Gelu{}, GeluErf{}, Relu{}, Erf{}, Tanh{}, Sqrt{}, Exp{}, Sigmoid{}};
      return graph.unary(name, kinds[in.ConsumeIntegralInRange<int>(0, 7)], a);
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
    case 19:
      return graph.cast(name, a, fuzz::dtype(in));
    case 20:
      return graph.gather(name, a, b);
    default:
      try {
        graph.mark_output(a);
      } catch (const std::out_of_range&) {
        if (a.index < count) fuzz::fail("mark_output refused an existing tensor");
      }
      return a;
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
  if (graph.validate()) fuzz::check_evaluation(graph, seed);
  if (!graph.validate() || !options.valid()) {
    if (compile(graph, options)) fuzz::fail("compile accepted an invalid graph or options");
    return 0;
  }
  if (fuzz::planned_allocations(graph, options) > fuzz::kMaxAllocations) return 0;
  const auto schedule = compile(graph, options);
  if (!schedule && schedule.error().kind != CompileError::Kind::Memory) {
    fuzz::fail("unexpected error kind");
  }
  if (schedule) {
    const auto problems = test_support::check_schedule(graph, options, *schedule);
    if (!problems.empty()) fuzz::fail(problems.front());
  }
  // The other strategy: sound, never failing where first fit fits, and in
  // agreement with the fit diagnosis.
  // A short exact search keeps inputs cheap; the orderings still run.
  const PlanningOptions best{.strategy = PlacementStrategy::Best, .search_steps = 1000};
  const auto planned = compile(graph, options, best);
  if (schedule && !planned) fuzz::fail("best failed where first fit fits");
  const auto diagnosis = diagnose_fit(graph, options, best);
  if (diagnosis ? diagnosis->fits != planned.has_value()
                : planned || !(diagnosis.error() == planned.error())) {
    fuzz::fail("the fit diagnosis disagrees with compile");
  }
  if (planned) {
    const auto problems =
        test_support::check_schedule(graph, options, *planned, test_support::AddressRule::Any);
    if (!problems.empty()) fuzz::fail(problems.front());
  }
  return 0;
}
