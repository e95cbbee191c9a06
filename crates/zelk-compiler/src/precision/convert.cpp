// Precision conversion: the type each tensor takes, the casts between the
// types, the converted graph built in the original's order, and the values
// rounded once with counts of what rounding lost.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "graph/validate.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/detail/float16.hpp"
#include "zelk_compiler/precision.hpp"

namespace zelk_compiler {
namespace {

template <std::size_t... Index>
std::array<std::string_view, sizeof...(Index)> names_of_kinds(std::index_sequence<Index...>) {
  return {operation_name(OpKind{std::in_place_index<Index>})...};
}

// Which kinds compute in float32, by variant index.
using KeptKinds = std::array<bool, std::variant_size_v<OpKind>>;

Result<KeptKinds> kept_kinds(const std::vector<std::string>& keep) {
  KeptKinds kept{};
  const std::span<const std::string_view> names = operation_names();
  for (const std::string& name : keep) {
    const auto found = std::ranges::find(names, name);
    if (found == names.end()) {
      std::string known;
      for (const std::string_view each : names) {
        known += known.empty() ? "" : ", ";
        known += each;
      }
      std::string message = "unknown operation kind \"" + name + "\" to keep in F32; kinds are ";
      message += known;
      return std::unexpected(CompileError::graph(std::move(message)));
    }
    kept[static_cast<std::size_t>(found - names.begin())] = true;
  }
  return kept;
}

// The type every tensor of the graph takes, and the one each operation
// computes in.
struct Types {
  std::vector<DType> tensor;
  std::vector<DType> op;
};

Types assign_types(const Graph& graph, const KeptKinds& kept, const PrecisionOptions& options) {
  Types types{.tensor = std::vector<DType>(graph.tensors.size(), options.target),
              .op = std::vector<DType>(graph.ops.size(), options.target)};
  // Whether each tensor is read by an operation that is not kept.
  std::vector<bool> read_converted(graph.tensors.size(), false);
  std::vector<bool> read(graph.tensors.size(), false);
  for (const Op& op : graph.ops) {
    const bool keeps = kept[op.kind.index()];
    // Integer results (ids, masks, their arithmetic) keep their type.
    const DType own = graph.tensors[op.output.index].dtype;
    types.op[op.id.index] = !is_float(own) ? own : keeps ? DType::F32 : options.target;
    types.tensor[op.output.index] = types.op[op.id.index];
    for (const TensorId input : op.inputs) {
      read[input.index] = true;
      read_converted[input.index] = read_converted[input.index] || !keeps;
    }
  }
  for (const Tensor& tensor : graph.tensors) {
    if (tensor.producer) {
      continue;
    }
    if (!is_float(tensor.dtype)) {
      types.tensor[tensor.id.index] = tensor.dtype;
      continue;
    }
    const bool weight = tensor.kind == TensorKind::Weight;
    if (weight ? read[tensor.id.index] && !read_converted[tensor.id.index] : options.keep_io) {
      types.tensor[tensor.id.index] = DType::F32;
    }
  }
  return types;
}

// Names not yet taken by a tensor or an operation: `base`, or `base` with
// "_2", "_3", ... appended.
class FreshNames {
 public:
  explicit FreshNames(const Graph& graph) {
    for (const Tensor& tensor : graph.tensors) {
      taken_.insert(tensor.name);
    }
    for (const Op& op : graph.ops) {
      taken_.insert(op.name);
    }
  }

  [[nodiscard]] std::string take(const std::string& base) {
    std::string name = base;
    for (std::uint64_t suffix = 2; taken_.contains(name); ++suffix) {
      name = base + "_" + std::to_string(suffix);
    }
    taken_.insert(name);
    return name;
  }

 private:
  std::set<std::string, std::less<>> taken_;
};

// Per tensor of the original graph: where it went, and the cast that gives
// it in the other type, if one is needed.
struct Placed {
  TensorId id;
  std::optional<TensorId> cast;
  bool cast_emitted = false;
  bool boundary = false;  // an output that the cast returns in F32 under its name
};

class Builder {
 public:
  Builder(const Graph& graph, const Types& types, const PrecisionOptions& options)
      : graph_(graph),
        types_(types),
        target_(options.target),
        placed_(graph.tensors.size()),
        needs_cast_(graph.tensors.size(), false) {
    mark_casts(options);
    place_tensors();
  }

  // Fills `conversion`'s graph and cast count.
  void build_into(PrecisionConversion& conversion) {
    for (const Op& op : graph_.ops) {
      std::vector<TensorId> inputs;
      inputs.reserve(op.inputs.size());
      const bool is_cast = std::holds_alternative<Cast>(op.kind);
      for (const TensorId input : op.inputs) {
        inputs.push_back(is_cast ? placed_[input.index].id
                                 : operand(input, types_.op[op.id.index]));
      }
      OpKind kind = op.kind;
      if (auto* cast = std::get_if<Cast>(&kind)) {
        cast->to = types_.op[op.id.index];
      }
      const Placed& output = placed_[op.output.index];
      const std::string& name = op.name == graph_.tensors[op.output.index].name
                                    ? out_.tensors[output.id.index].name
                                    : op.name;
      emit(name, std::move(kind), std::move(inputs), output.id);
      if (output.boundary) {
        emit_cast(op.output);
      }
    }
    for (const TensorId output : graph_.outputs) {
      const Placed& placed = placed_[output.index];
      if (placed.boundary) {
        emit_cast(output);
      }
      out_.outputs.push_back(placed.boundary ? *placed.cast : placed.id);
    }
    conversion.graph = std::move(out_);
    conversion.casts = casts_;
  }

 private:
  // Which tensors need a cast, and which outputs move to one under their
  // name.
  void mark_casts(const PrecisionOptions& options) {
    for (const Op& op : graph_.ops) {
      if (std::holds_alternative<Cast>(op.kind)) {
        continue;
      }
      for (const TensorId input : op.inputs) {
        if (!converts(input)) {
          continue;
        }
        needs_cast_[input.index] =
            needs_cast_[input.index] || types_.tensor[input.index] != types_.op[op.id.index];
      }
    }
    for (const TensorId output : graph_.outputs) {
      if (options.keep_io && types_.tensor[output.index] == target_) {
        needs_cast_[output.index] = true;
        placed_[output.index].boundary = true;
      }
    }
  }

  // The tensors in their original order, each cast's result right after
  // the tensor it converts.
  void place_tensors() {
    FreshNames names(graph_);
    for (const Tensor& tensor : graph_.tensors) {
      Placed& placed = placed_[tensor.id.index];
      const DType type = types_.tensor[tensor.id.index];
      Tensor copy = tensor;
      copy.id = TensorId{out_.tensors.size()};
      copy.dtype = type;
      copy.producer = std::nullopt;
      std::string cast_name = tensor.name + ":" + std::string(dtype_name(other(type)));
      if (placed.boundary) {
        cast_name = tensor.name;
        copy.name = names.take(tensor.name + ":" + std::string(dtype_name(type)));
        copy.kind = TensorKind::Intermediate;
      }
      placed.id = copy.id;
      out_.tensors.push_back(std::move(copy));
      if (!needs_cast_[tensor.id.index]) {
        continue;
      }
      placed.cast = TensorId{out_.tensors.size()};
      out_.tensors.push_back(Tensor{
          .id = *placed.cast,
          .name = placed.boundary ? cast_name : names.take(cast_name),
          .dtype = other(type),
          .shape = tensor.shape,
          .kind = placed.boundary ? TensorKind::Output : TensorKind::Intermediate,
          .producer = std::nullopt,
      });
    }
  }

  // Whether `tensor` is a float, which conversion may cast; integer
  // operands (a gather's ids) are read as they are.
  [[nodiscard]] bool converts(TensorId tensor) const {
    return is_float(graph_.tensors[tensor.index].dtype);
  }

  [[nodiscard]] DType other(DType type) const { return type == DType::F32 ? target_ : DType::F32; }

  // `input` as operation operand of type `type`, through its cast if its
  // own type differs.
  TensorId operand(TensorId input, DType type) {
    const Placed& placed = placed_[input.index];
    if (types_.tensor[input.index] == type || !converts(input)) {
      return placed.id;
    }
    emit_cast(input);
    return *placed.cast;
  }

  void emit_cast(TensorId original) {
    Placed& placed = placed_[original.index];
    if (placed.cast_emitted) {
      return;
    }
    placed.cast_emitted = true;
    ++casts_;
    const Tensor& result = out_.tensors[placed.cast->index];
    emit(result.name, Cast{result.dtype}, {placed.id}, *placed.cast);
  }

  void emit(const std::string& name, OpKind kind, std::vector<TensorId> inputs, TensorId output) {
    const OpId id{out_.ops.size()};
    out_.tensors[output.index].producer = id;
    out_.ops.push_back(Op{.id = id,
                          .name = name,
                          .kind = std::move(kind),
                          .inputs = std::move(inputs),
                          .output = output});
  }

  const Graph& graph_;
  const Types& types_;
  DType target_;
  std::vector<Placed> placed_;
  std::vector<bool> needs_cast_;
  Graph out_;
  std::uint64_t casts_ = 0;
};

// The bits of the smallest positive normal value of a 16-bit float type.
std::uint32_t smallest_normal_bits(DType type) {
  return std::bit_cast<std::uint32_t>(type == DType::F16 ? 0x1p-14F : 0x1p-126F);
}

// The bits of the largest finite value of a 16-bit float type.
std::uint32_t largest_finite_bits(DType type) {
  return type == DType::F16 ? std::bit_cast<std::uint32_t>(65504.0F) : 0x7F7F0000U;
}

// `from` rounded to `type` into `to`, of the same length, counting what
// finite, non-zero values became. A finite value beyond the type's range
// saturates to its largest finite value of the same sign, as float16
// converters do: a mask constant of float32's lowest value must stay a large
// negative number, where infinity would make 0 x infinity a NaN. The tests are comparisons of
// magnitude bits, without branches, so that the loop vectorises.
RoundingCounts round_counting(DType type, std::span<const float> from, std::span<float> to) {
  RoundingCounts counts;
  const std::uint32_t normal = smallest_normal_bits(type);
  const std::uint32_t largest = largest_finite_bits(type);
  detail::with_rounding(type, [&](auto round) {
    std::uint64_t overflowed = 0;
    std::uint64_t subnormal = 0;
    std::uint64_t zeroed = 0;
    for (std::size_t i = 0; i < from.size(); ++i) {
      const float rounded = round(from[i]);
      const std::uint32_t bits = std::bit_cast<std::uint32_t>(rounded);
      const std::uint32_t given = std::bit_cast<std::uint32_t>(from[i]) & detail::kFloatAbs;
      const std::uint32_t result = bits & detail::kFloatAbs;
      // Unsigned wrap-around puts zero (given - 1 = 2^32 - 1) out of range.
      const bool counted = given - 1U < detail::kFloatInfinity - 1U;
      const bool saturates = counted && result == detail::kFloatInfinity;
      to[i] = std::bit_cast<float>(saturates ? (bits & ~detail::kFloatAbs) | largest : bits);
      overflowed += saturates ? 1U : 0U;
      zeroed += counted && result == 0U ? 1U : 0U;
      subnormal += counted && result - 1U < normal - 1U ? 1U : 0U;
    }
    counts = RoundingCounts{.overflowed = overflowed, .subnormal = subnormal, .zeroed = zeroed};
  });
  return counts;
}

void add_to(RoundingCounts& total, const RoundingCounts& counts) {
  total.overflowed += counts.overflowed;
  total.subnormal += counts.subnormal;
  total.zeroed += counts.zeroed;
}

// Per value name, the source tensor it is for; an error for a name two
// sources share or a value of the wrong length.
Result<std::map<std::string, TensorId, std::less<>>> sources_of(const Graph& graph,
                                                                const TensorValues& values) {
  std::map<std::string, TensorId, std::less<>> sources;
  for (const Tensor& tensor : graph.tensors) {
    const auto value = values.find(tensor.name);
    if (tensor.producer || value == values.end()) {
      continue;
    }
    if (!sources.emplace(tensor.name, tensor.id).second) {
      return std::unexpected(CompileError::graph("ambiguous value name " + tensor.name));
    }
    if (value->second.size() != tensor.elements()) {
      return std::unexpected(CompileError::graph("value size mismatch for " + tensor.name));
    }
  }
  return sources;
}

Result<void> check_graph(const Graph& graph) {
  if (auto valid = detail::validate_in_order(graph); !valid) {
    return valid;
  }
  for (const Tensor& tensor : graph.tensors) {
    if (is_float(tensor.dtype) && tensor.dtype != DType::F32) {
      std::ostringstream message;
      message << "tensor " << tensor.name << " has type " << tensor.dtype
              << "; precision conversion takes F32 graphs";
      return std::unexpected(CompileError::graph(message.str()));
    }
  }
  return {};
}

}  // namespace

std::span<const std::string_view> operation_names() {
  static const auto names = names_of_kinds(std::make_index_sequence<std::variant_size_v<OpKind>>{});
  return names;
}

std::vector<std::string> default_keep_f32() { return {"layer_norm", "softmax", "reduce_mean"}; }

Result<PrecisionConversion> convert_precision(const Graph& graph, const TensorValues& values,
                                              const PrecisionOptions& options) {
  if (options.target != DType::F16 && options.target != DType::BF16) {
    throw std::invalid_argument("convert_precision: the target type is not F16 or BF16");
  }
  if (auto checked = check_graph(graph); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  auto kept = kept_kinds(options.keep_f32);
  if (!kept) {
    return std::unexpected(std::move(kept.error()));
  }
  auto sources = sources_of(graph, values);
  if (!sources) {
    return std::unexpected(std::move(sources.error()));
  }
  const Types types = assign_types(graph, *kept, options);

  // Each value copied, or rounded from the caller's into a new list; the
  // counts listed afterwards in tensor order.
  PrecisionConversion conversion;
  std::vector<std::optional<RoundingCounts>> counted(graph.tensors.size());
  for (const auto& [name, value] : values) {
    const auto source = sources->find(name);
    if (source == sources->end() || types.tensor[source->second.index] != options.target) {
      conversion.weights.emplace_hint(conversion.weights.end(), name, value);
      continue;
    }
    std::vector<float> rounded(value.size());
    const RoundingCounts counts = round_counting(options.target, value, rounded);
    counted[source->second.index] = counts;
    conversion.weights.emplace_hint(conversion.weights.end(), name, std::move(rounded));
  }
  for (const Tensor& tensor : graph.tensors) {
    const std::optional<RoundingCounts>& counts = counted[tensor.id.index];
    if (counts && counts->any()) {
      conversion.rounding.push_back(
          ValueRounding{.name = tensor.name, .elements = tensor.elements(), .counts = *counts});
      add_to(conversion.total, *counts);
    }
  }

  Builder(graph, types, options).build_into(conversion);
  return conversion;
}

std::ostream& operator<<(std::ostream& out, const PrecisionOptions& options) {
  return write_record(out, options);
}
std::ostream& operator<<(std::ostream& out, const RoundingCounts& counts) {
  return write_record(out, counts);
}
std::ostream& operator<<(std::ostream& out, const ValueRounding& rounding) {
  return write_record(out, rounding);
}
std::ostream& operator<<(std::ostream& out, const PrecisionConversion& conversion) {
  out << "PrecisionConversion { graph: " << conversion.graph << ", weights: {";
  const char* separator = "";
  for (const auto& [name, value] : conversion.weights) {
    out << separator;
    write_debug(out, name);
    out << ": ";
    write_debug(out, value);
    separator = ", ";
  }
  out << "}, rounding: ";
  write_debug(out, conversion.rounding);
  out << ", total: " << conversion.total << ", casts: " << conversion.casts << " }";
  return out;
}

}  // namespace zelk_compiler
