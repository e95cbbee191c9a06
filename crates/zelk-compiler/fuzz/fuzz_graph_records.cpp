// Fuzz target: Graph records made directly, with ids out of range, producers
// that lie, empty shapes and arbitrary operation kinds, through validate,
// compile and evaluate. Nothing may crash; a graph that passes validation must
// compile to a schedule the checker accepts, or fail with a memory error (or
// refuse an operation that reads a later result), and
// evaluate (when small) to the literal evaluation's bits, or fail with a
// Graph error.
#include "fuzz_support.hpp"
#include "support/schedule_checker.hpp"
#include "zelk_compiler/fit.hpp"

using namespace zelk_compiler;

namespace {

OpKind kind(FuzzedDataProvider& in) {
  const auto axis = [&] { return fuzz::index(in, 3); };
  switch (in.ConsumeIntegralInRange<int>(0, 22)) {
    case 0:
      return MatMul{};
    case 1:
      return Add{};
    case 2:
      return Mul{};
    case 3:
      return Reshape{fuzz::shape(in)};
    case 4:
      return Transpose{fuzz::shape(in)};
    case 5:
      return LayerNorm{in.ConsumeFloatingPoint<float>()};
    case 6:
      return Softmax{in.ConsumeIntegral<std::uint64_t>()};
    case 7:
      return Sub{};
    case 8:
      return Div{};
    case 9:
      return Pow{};
    case 10:
      return GeluErf{};
    case 11:
      return Relu{};
    case 12:
      return Erf{};
    case 13:
      return Tanh{};
    case 14:
      return Sqrt{};
    case 15:
      return Exp{};
    case 16: {
      const std::uint64_t start = fuzz::extent(in);
      return Slice{.axis = axis(), .start = start, .end = start + fuzz::extent(in)};
    }
    case 17:
      return Concat{axis()};
    case 18:
      return ReduceMean{axis()};
    case 19:
      return Cast{fuzz::dtype(in)};
    case 20:
      return Sigmoid{};
    case 21:
      return Gather{};
    default:
      return Gelu{};
  }
}

// Mostly honest ids and links, sometimes not.
Graph records(FuzzedDataProvider& in) {
  Graph graph;
  const auto tensors = in.ConsumeIntegralInRange<std::size_t>(0, 24);
  const auto ops = in.ConsumeIntegralInRange<std::size_t>(0, tensors);
  for (std::size_t i = 0; i < tensors; ++i) {
    Tensor tensor{
        .id = TensorId{in.ConsumeIntegralInRange<int>(0, 15) == 0 ? fuzz::index(in, tensors) : i},
        .name = in.ConsumeRandomLengthString(6),
        .dtype = fuzz::dtype(in),
        .shape = in.ConsumeIntegralInRange<int>(0, 15) == 0
                     ? fuzz::shape(in)
                     : std::vector<std::uint64_t>{in.ConsumeIntegralInRange<std::uint64_t>(1, 300),
                                                  in.ConsumeIntegralInRange<std::uint64_t>(1, 40)},
        .kind = static_cast<TensorKind>(in.ConsumeIntegralInRange<int>(0, 3)),
        .producer = std::nullopt};
    graph.tensors.push_back(std::move(tensor));
  }
  for (std::size_t j = 0; j < ops; ++j) {
    Op op{.id = OpId{in.ConsumeIntegralInRange<int>(0, 15) == 0 ? fuzz::index(in, ops) : j},
          .name = in.ConsumeRandomLengthString(6),
          .kind = kind(in),
          .inputs = {},
          .output = TensorId{fuzz::index(in, tensors)}};
    const auto inputs = in.ConsumeIntegralInRange<std::size_t>(0, 3);
    for (std::size_t k = 0; k < inputs; ++k)
      op.inputs.push_back(TensorId{fuzz::index(in, tensors)});
    if (op.output.index < tensors && in.ConsumeIntegralInRange<int>(0, 7) != 0) {
      graph.tensors[op.output.index].producer = op.id;
    }
    graph.ops.push_back(std::move(op));
  }
  for (std::size_t i = 0; i < tensors; ++i) {
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
      graph.tensors[i].producer = OpId{fuzz::index(in, ops)};
    }
  }
  const auto outputs = in.ConsumeIntegralInRange<std::size_t>(0, 3);
  for (std::size_t k = 0; k < outputs; ++k)
    graph.outputs.push_back(TensorId{fuzz::index(in, tensors)});
  return graph;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const CompilerOptions options = fuzz::options(in);
  const Graph graph = records(in);
  const auto valid = graph.validate();
  if (valid != graph.validate()) fuzz::fail("validate is not repeatable");
  if (valid) {
    fuzz::check_evaluation(graph, in.ConsumeIntegral<std::uint32_t>());
  } else if (evaluate(graph, {}).error() != valid.error()) {
    fuzz::fail("evaluate changed the validation error");
  }
  if (!valid || !options.valid()) {
    const auto schedule = compile(graph, options);
    if (schedule) fuzz::fail("compile accepted an invalid graph or options");
    if (!valid && !(schedule.error() == valid.error())) fuzz::fail("compile changed the error");
    return 0;
  }
  if (fuzz::planned_allocations(graph, options) > fuzz::kMaxAllocations) return 0;
  const auto schedule = compile(graph, options);
  if (!schedule) {
    // Validation does not ask for operations in order; compile runs them in
    // list order and refuses one that reads a later result, as evaluate does.
    // An input listed twice is sent once, so an exchange never collides.
    const CompileError& error = schedule.error();
    const bool out_of_order = error.kind == CompileError::Kind::Graph &&
                              error.message.starts_with("operand computed after op ");
    if (out_of_order && diagnose_fit(graph, options).error() != error) {
      fuzz::fail("diagnose_fit and compile disagree on the operation order");
    }
    if (!out_of_order && error.kind != CompileError::Kind::Memory) {
      fuzz::fail("unexpected compile error " + error.message);
    }
    return 0;
  }
  const auto problems = test_support::check_schedule(graph, options, *schedule);
  if (!problems.empty()) fuzz::fail(problems.front());
  return 0;
}
