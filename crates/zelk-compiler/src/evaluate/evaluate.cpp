// evaluate: runs a graph's operations on the host, in graph order.
//
// Each tensor's value lives in a slot: a view of its elements and, for a
// computed value, shared ownership of the buffer holding them. The caller's
// values are viewed where they are, never copied; a reshape shares its
// operand's buffer; a value is let go after the last operation that reads
// it. An element-wise operation, a softmax or a unary map whose operand of
// the output's shape dies at it writes into that operand's buffer instead of
// a new one, when nothing else holds it.
//
// Values of 16-bit float types are held widened in floats. Every operation
// computes in float from them and rounds its result once to its output's
// type; the kinds that only move elements leave them as they are, since
// they are values of that type already.
//
// Integer values are held in floats too, as whole numbers of magnitude at
// most 2^24, where floats are exact. Integer arithmetic is computed exactly
// and a result beyond that range is refused rather than rounded, as is a
// cast from a float whose value, rounded toward zero, is not such an
// integer.
#include "zelk_compiler/evaluate.hpp"

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "encoder/vector_kernels.hpp"
#include "evaluate/kernels.hpp"
#include "evaluate/plan.hpp"
#include "overloaded.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/detail/float16.hpp"

namespace zelk_compiler {
namespace {

using detail::BinaryOp;
using detail::UnaryOp;

struct Slot {
  std::shared_ptr<float[]> owned;
  std::span<const float> view;
};

class Evaluation {
 public:
  Evaluation(const Graph& graph, detail::EvaluationPlan plan)
      : graph_(graph), plan_(std::move(plan)), slots_(graph.tensors.size()) {
    for (std::uint64_t t = 0; t < graph.tensors.size(); ++t) {
      if (const std::vector<float>* value = plan_.source[t]) {
        slots_[t].view = *value;
      }
    }
  }

  Result<TensorValues> run(const std::stop_token& stop) {
    for (std::uint64_t j = 0; j < graph_.ops.size(); ++j) {
      if (!plan_.needed[j]) {
        continue;
      }
      throw_if_stopped(stop);
      const Op& op = graph_.ops[j];
      auto computed = compute(j, op);
      if (!computed) {
        return std::unexpected(std::move(computed.error()));
      }
      Slot slot = std::move(*computed);
      const DType type = tensor(op.output).dtype;
      if (is_float(type) && type != DType::F32 && !moves_only(op.kind)) {
        detail::round_all(type, writable(slot));
      }
      slots_[op.output.index] = std::move(slot);
      for (const TensorId input : op.inputs) {
        if (plan_.last_reader[input.index] == j && !plan_.output[input.index]) {
          slots_[input.index] = Slot{};
        }
      }
    }
    TensorValues result;
    for (const TensorId id : graph_.outputs) {
      const std::span<const float> view = slots_[id.index].view;
      result.emplace(graph_.tensors[id.index].name, std::vector<float>(view.begin(), view.end()));
    }
    return result;
  }

 private:
  const Tensor& tensor(TensorId id) const { return graph_.tensors[id.index]; }
  std::span<const float> value(TensorId id) const { return slots_[id.index].view; }

  static Slot fresh(std::uint64_t count) {
    Slot slot;
    slot.owned = std::make_shared_for_overwrite<float[]>(count);
    slot.view = std::span<const float>(slot.owned.get(), count);
    return slot;
  }

  // Operand `position`'s buffer, to be the output's of operation `j`: when
  // that operand has the output's shape, dies at `j`, and nothing else holds
  // its buffer.
  std::optional<Slot> reusable(std::uint64_t j, const Op& op, std::size_t position) const {
    const TensorId input = op.inputs[position];
    const Slot& slot = slots_[input.index];
    if (plan_.last_reader[input.index] == j && !plan_.output[input.index] && slot.owned &&
        slot.owned.use_count() == 1 && tensor(input).shape == tensor(op.output).shape) {
      return slot;
    }
    return std::nullopt;
  }

  // A buffer for the output of operation `j`: a reusable operand's among
  // `positions`, else a new one.
  Slot output_slot(std::uint64_t j, const Op& op, std::initializer_list<std::size_t> positions) {
    for (const std::size_t position : positions) {
      if (auto slot = reusable(j, op, position)) {
        return *std::move(slot);
      }
    }
    return fresh(tensor(op.output).elements());
  }

  // Kinds whose results are elements of their operand, which may be the
  // caller's own storage or a buffer the operand still shares.
  static bool moves_only(const OpKind& kind) {
    return std::visit(
        detail::Overloaded{
            [](const MatMul&) { return false; },   [](const Add&) { return false; },
            [](const Mul&) { return false; },      [](const Reshape&) { return true; },
            [](const Transpose&) { return true; }, [](const LayerNorm&) { return false; },
            [](const Softmax&) { return false; },  [](const Gelu&) { return false; },
            [](const Sub&) { return false; },      [](const Div&) { return false; },
            [](const Pow&) { return false; },      [](const GeluErf&) { return false; },
            [](const Relu&) { return false; },     [](const Erf&) { return false; },
            [](const Tanh&) { return false; },     [](const Sqrt&) { return false; },
            [](const Exp&) { return false; },      [](const Slice&) { return true; },
            [](const Concat&) { return true; },    [](const ReduceMean&) { return false; },
            [](const Cast&) { return false; },     [](const Sigmoid&) { return false; },
            [](const Gather&) { return true; },
        },
        kind);
  }

  static std::span<float> writable(const Slot& slot) {
    return std::span<float>(slot.owned.get(), slot.view.size());
  }

  Result<Slot> binary(std::uint64_t j, const Op& op, BinaryOp kind) {
    const Tensor& out = tensor(op.output);
    Slot slot = output_slot(j, op, {0, 1});
    const Tensor& left = tensor(op.inputs[0]);
    const Tensor& right = tensor(op.inputs[1]);
    if (is_float(out.dtype)) {
      detail::broadcast_binary(kind, value(left.id), left.shape, value(right.id), right.shape,
                               writable(slot), out.shape);
      return slot;
    }
    const auto beyond = detail::integer_binary(kind, value(left.id), left.shape, value(right.id),
                                               right.shape, writable(slot), out.shape);
    if (beyond) {
      return std::unexpected(CompileError::graph(
          "op " + op.name + ": " + debug_string(out.dtype) + " result " + debug_string(*beyond) +
          " is beyond 2^24, the integers evaluation holds exactly"));
    }
    return slot;
  }

  // A cast: from a float to an integer type, each value rounded toward zero;
  // otherwise the values as they are, since the rounding to a float target
  // type that follows every operation is the whole conversion, and an
  // integer is a value of every integer type.
  Result<Slot> cast(std::uint64_t j, const Op& op) {
    Slot slot = output_slot(j, op, {0});
    const std::span<float> to = writable(slot);
    const std::span<const float> from = value(op.inputs[0]);
    if (is_float(tensor(op.inputs[0]).dtype) && !is_float(tensor(op.output).dtype)) {
      if (const auto misfit = detail::truncate_values(from, to)) {
        return std::unexpected(
            CompileError::graph("cast " + op.name + ": " + debug_string(*misfit) + " has no " +
                                debug_string(tensor(op.output).dtype) + " value within 2^24"));
      }
    } else if (to.data() != from.data()) {
      std::ranges::copy(from, to.begin());
    }
    return slot;
  }

  Slot unary(std::uint64_t j, const Op& op, UnaryOp kind) {
    Slot slot = output_slot(j, op, {0});
    detail::map_unary(isa_, kind, value(op.inputs[0]), writable(slot));
    return slot;
  }

  // A new buffer of the output's size, filled by `fill`.
  template <class Fill>
  Slot make(const Op& op, Fill fill) {
    Slot slot = fresh(tensor(op.output).elements());
    fill(writable(slot));
    return slot;
  }

  // Rows of the table by id, an id outside the table refused.
  Result<Slot> gather(const Op& op) {
    const Tensor& table = tensor(op.inputs[0]);
    Slot slot = fresh(tensor(op.output).elements());
    const auto outside =
        detail::gather_rows(value(table.id), table.shape, value(op.inputs[1]), writable(slot));
    if (outside) {
      return std::unexpected(CompileError::graph(
          "gather '" + op.name + "': id " + debug_string(*outside) + " is outside table '" +
          table.name + "' of " + std::to_string(table.shape[0]) + " rows"));
    }
    return slot;
  }

  Result<Slot> compute(std::uint64_t j, const Op& op) {
    const Tensor& out = tensor(op.output);
    const auto in = [&](std::size_t position) { return value(op.inputs[position]); };
    const auto shape = [&](std::size_t position) -> detail::ShapeView {
      return tensor(op.inputs[position]).shape;
    };
    return std::visit<Result<Slot>>(
        detail::Overloaded{
            [&](const MatMul&) {
              return make(op, [&](std::span<float> to) {
                detail::batch_product(isa_, in(0), shape(0), in(1), shape(1), to, out.shape);
              });
            },
            [&](const Add&) { return binary(j, op, BinaryOp::add); },
            [&](const Mul&) { return binary(j, op, BinaryOp::mul); },
            [&](const Reshape&) { return slots_[op.inputs[0].index]; },
            [&](const Transpose& transpose) {
              return make(op, [&](std::span<float> to) {
                detail::transpose_values(in(0), shape(0), transpose.permutation, to);
              });
            },
            [&](const LayerNorm& norm) {
              return make(op, [&](std::span<float> to) {
                const bool affine = op.inputs.size() == 3;
                detail::layer_norm_last(isa_, in(0), shape(0), norm.epsilon,
                                        affine ? in(1) : std::span<const float>(),
                                        affine ? in(2) : std::span<const float>(), to);
              });
            },
            [&](const Softmax& softmax) {
              Slot slot = output_slot(j, op, {0});
              const std::span<float> to = writable(slot);
              if (to.data() != in(0).data()) {
                std::ranges::copy(in(0), to.begin());
              }
              detail::softmax_axis(isa_, to, out.shape, softmax.axis);
              return slot;
            },
            [&](const Gelu&) { return unary(j, op, UnaryOp::gelu); },
            [&](const Sub&) { return binary(j, op, BinaryOp::sub); },
            [&](const Div&) { return binary(j, op, BinaryOp::div); },
            [&](const Pow&) { return binary(j, op, BinaryOp::pow); },
            [&](const GeluErf&) { return unary(j, op, UnaryOp::gelu_erf); },
            [&](const Relu&) { return unary(j, op, UnaryOp::relu); },
            [&](const Erf&) { return unary(j, op, UnaryOp::erf); },
            [&](const Tanh&) { return unary(j, op, UnaryOp::tanh); },
            [&](const Sqrt&) { return unary(j, op, UnaryOp::sqrt); },
            [&](const Exp&) { return unary(j, op, UnaryOp::exp); },
            [&](const Slice& slice) {
              return make(op, [&](std::span<float> to) {
                detail::slice_values(in(0), shape(0), slice.axis, slice.start, slice.end, to);
              });
            },
            [&](const Concat& concat) {
              return make(op, [&](std::span<float> to) {
                std::vector<std::span<const float>> parts;
                std::vector<detail::ShapeView> shapes;
                for (std::size_t position = 0; position < op.inputs.size(); ++position) {
                  parts.push_back(in(position));
                  shapes.push_back(shape(position));
                }
                detail::concat_values(parts, shapes, concat.axis, to);
              });
            },
            [&](const ReduceMean& reduce) {
              return make(op, [&](std::span<float> to) {
                detail::reduce_mean_axis(in(0), shape(0), reduce.axis, to);
              });
            },
            [&](const Cast&) { return cast(j, op); },
            [&](const Sigmoid&) { return unary(j, op, UnaryOp::sigmoid); },
            [&](const Gather&) { return gather(op); },
        },
        op.kind);
  }

  const Graph& graph_;
  detail::EvaluationPlan plan_;
  std::vector<Slot> slots_;
  detail::VectorIsa isa_ = detail::widest_vector_isa();
};

}  // namespace

Result<TensorValues> evaluate(const Graph& graph, const TensorValues& values,
                              const std::stop_token& stop) {
  auto plan = detail::plan_evaluation(graph, values);
  if (!plan) {
    return std::unexpected(std::move(plan.error()));
  }
  return Evaluation(graph, std::move(*plan)).run(stop);
}

}  // namespace zelk_compiler
