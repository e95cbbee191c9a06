// Data movement: reshapes, transposes, slices, concatenation and gathers, folded
// for values known at import and operations of the graph otherwise.
#include "operators/handlers.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <string>
#include <tuple>
#include <utility>

#include <zelk_compiler/checked.hpp>

#include "operators/steps.hpp"

namespace zelk_onnx::detail::ops {
namespace {

namespace zc = zelk_compiler;
using zc::Result;
using zc::TensorId;

// The target of Reshape: 0 copies the input's extent (unless `allow_zero`),
// one -1 takes what is left.
Result<Shape> reshape_target(const Shape& from, std::span<const std::int64_t> target,
                             bool allow_zero) {
  if (target.size() > kMaxRank) {
    return fail("reshape to rank " + std::to_string(target.size()));
  }
  Shape shape;
  std::optional<std::size_t> inferred;
  for (std::size_t i = 0; i < target.size(); ++i) {
    const std::int64_t extent = target[i];
    if (extent == -1 && !inferred) {
      inferred = i;
      shape.push_back(1);
    } else if (extent == 0 && !allow_zero) {
      if (i >= from.size()) {
        return fail("reshape entry " + std::to_string(i) + " copies an axis " + shape_text(from) +
                    " does not have");
      }
      shape.push_back(from[i]);
    } else if (extent < 0) {
      return fail("invalid reshape entry " + std::to_string(extent));
    } else {
      shape.push_back(static_cast<std::uint64_t>(extent));
    }
  }
  auto count = element_count(from);
  auto known = element_count(shape);
  if (auto error = first_error(count, known)) {
    return std::unexpected(*error);
  }
  if (inferred) {
    if (*known == 0 || *count % *known != 0) {
      return fail("cannot reshape " + shape_text(from) + " to " + shape_text(shape) +
                  " with -1 at entry " + std::to_string(*inferred));
    }
    shape[*inferred] = *count / *known;
  } else if (*known != *count) {
    return fail("cannot reshape " + shape_text(from) + " to " + shape_text(shape));
  }
  return shape;
}

// One range [start, end) of an axis, as Slice and Split take it.
struct AxisRange {
  std::uint64_t axis = 0;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
};

// The constant `value` cut to each range in turn (copied when there is none).
Result<HostTensor> folded_slices(Importer& in, const Value& value,
                                 std::span<const AxisRange> ranges) {
  auto known = in.constant(value);
  if (!known) {
    return std::unexpected(known.error());
  }
  std::optional<HostTensor> cut;
  for (const AxisRange& range : ranges) {
    auto next = fold_slice(cut ? *cut : **known, range.axis, range.start, range.end, in.budget);
    if (!next) {
      return next;
    }
    cut = std::move(*next);
  }
  if (cut) {
    return std::move(*cut);
  }
  return fold_copy(**known, (*known)->shape, in.budget);
}

// `value` cut to each range in turn: folded for a constant, slice operations
// for a graph tensor (the last one named `name`; a range covering the whole
// axis takes none) or a FLOAT constant beyond the folding budget. An empty
// range of a graph tensor is refused, as the graph holds no tensor without
// elements.
Result<void> define_sliced(Importer& in, std::string_view name, const Value& value,
                           std::span<const AxisRange> ranges) {
  if (Importer::is_constant(value)) {
    const std::uint64_t refusals = in.budget.refusals();
    auto cut = folded_slices(in, value, ranges);
    if (cut || !left_to_graph(in, refusals, {&value, 1})) {
      return cut ? in.define_constant(name, std::move(*cut)) : std::unexpected(cut.error());
    }
  }
  const Shape shape = in.shape(value);
  std::vector<AxisRange> cuts;
  for (const AxisRange& range : ranges) {
    if (range.start >= range.end) {
      return fail("the slice [" + std::to_string(range.start) + ", " + std::to_string(range.end) +
                  ") of axis " + std::to_string(range.axis) + " of " + shape_text(shape) +
                  " is empty");
    }
    if (range.end - range.start != shape[range.axis]) {
      cuts.push_back(range);
    }
  }
  if (cuts.empty()) {
    return in.define_value(name, value);
  }
  Result<TensorId> tensor = in.operand(value);
  for (std::size_t i = 0; i < cuts.size() && tensor; ++i) {
    tensor = in.graph.slice(i + 1 == cuts.size() ? std::string(name) : in.fresh_name(name, "slice"),
                            *tensor, cuts[i].axis, cuts[i].start, cuts[i].end);
  }
  return in.define(name, tensor);
}

}  // namespace

Result<void> transpose(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto perm = ints_attribute(node, "perm");
  if (auto error = first_error(x, perm)) {
    return std::unexpected(*error);
  }
  const std::uint64_t rank = in.shape(*x).size();
  std::vector<std::uint64_t> permutation;
  if (*perm) {
    for (const std::int64_t axis : **perm) {
      if (axis < 0) {
        return fail("invalid permutation entry " + std::to_string(axis));
      }
      permutation.push_back(static_cast<std::uint64_t>(axis));
    }
  } else {
    for (std::uint64_t axis = rank; axis > 0; --axis) {
      permutation.push_back(axis - 1);
    }
  }
  if (Importer::is_constant(*x)) {
    const std::uint64_t refusals = in.budget.refusals();
    auto known = in.constant(*x);
    auto folded = known ? fold_transpose(**known, permutation, in.budget)
                        : Result<HostTensor>(std::unexpected(known.error()));
    if (folded || !left_to_graph(in, refusals, {&*x, 1})) {
      return fold(in, node, std::move(folded));
    }
  }
  auto tensor = in.operand(*x);
  if (!tensor) {
    return std::unexpected(tensor.error());
  }
  return in.define(output(node), in.graph.transpose(output(node), *tensor, std::move(permutation)));
}

Result<void> reshape(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto target = in.integers(node, 1, "shape");
  auto allow_zero = int_attribute(node, "allowzero", 0);
  if (auto error = first_error(x, target, allow_zero)) {
    return std::unexpected(*error);
  }
  auto shape = reshape_target(in.shape(*x), *target, *allow_zero != 0);
  if (!shape) {
    return std::unexpected(shape.error());
  }
  return define_reshaped(in, output(node), *x, std::move(*shape));
}

Result<void> flatten(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto axis = int_attribute(node, "axis", 1);
  if (auto error = first_error(x, axis)) {
    return std::unexpected(*error);
  }
  const Shape shape = in.shape(*x);
  auto split = *axis == static_cast<std::int64_t>(shape.size())
                   ? Result<std::uint64_t>(shape.size())
                   : normalize_axis(*axis, shape.size());
  if (!split) {
    return std::unexpected(split.error());
  }
  const auto at = static_cast<std::ptrdiff_t>(*split);
  auto outer = element_count(std::span(shape.begin(), shape.begin() + at));
  auto inner = element_count(std::span(shape.begin() + at, shape.end()));
  if (auto error = first_error(outer, inner)) {
    return std::unexpected(*error);
  }
  return define_reshaped(in, output(node), *x, {*outer, *inner});
}

Result<void> unsqueeze(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto axes = in.integers(node, 1, "axes");
  if (auto error = first_error(x, axes)) {
    return std::unexpected(*error);
  }
  const Shape from = in.shape(*x);
  if (from.size() + axes->size() > kMaxRank) {
    return fail("unsqueeze to rank " + std::to_string(from.size() + axes->size()) + ", above " +
                std::to_string(kMaxRank));
  }
  auto inserted = distinct_axes(*axes, from.size() + axes->size());
  if (!inserted) {
    return std::unexpected(inserted.error());
  }
  Shape shape;
  auto next = from.begin();
  for (std::uint64_t axis = 0; axis < from.size() + axes->size(); ++axis) {
    shape.push_back(std::ranges::find(*inserted, axis) != inserted->end() ? 1 : *next++);
  }
  return define_reshaped(in, output(node), *x, std::move(shape));
}

Result<void> squeeze(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  if (!x) {
    return std::unexpected(x.error());
  }
  const Shape from = in.shape(*x);
  std::vector<std::uint64_t> removed;
  if (node.input_size() > 1 && !node.input(1).empty()) {
    auto axes = in.integers(node, 1, "axes");
    auto listed = axes ? distinct_axes(*axes, from.size()) : std::unexpected(axes.error());
    if (!listed) {
      return std::unexpected(listed.error());
    }
    removed = std::move(*listed);
  } else {
    for (std::uint64_t axis = 0; axis < from.size(); ++axis) {
      if (from[axis] == 1) {
        removed.push_back(axis);
      }
    }
  }
  Shape shape;
  for (std::uint64_t axis = 0; axis < from.size(); ++axis) {
    const bool drop = std::ranges::find(removed, axis) != removed.end();
    if (drop && from[axis] != 1) {
      return fail("cannot squeeze axis " + std::to_string(axis) + " of " + shape_text(from));
    }
    if (!drop) {
      shape.push_back(from[axis]);
    }
  }
  return define_reshaped(in, output(node), *x, std::move(shape));
}

Result<void> slice(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto starts = in.integers(node, 1, "starts");
  auto ends = in.integers(node, 2, "ends");
  if (auto error = first_error(x, starts, ends)) {
    return std::unexpected(*error);
  }
  const Shape shape = in.shape(*x);
  std::vector<std::int64_t> axes(starts->size());
  std::iota(axes.begin(), axes.end(), 0);
  std::vector<std::int64_t> steps(starts->size(), 1);
  for (const auto& [at, list, what] :
       {std::tuple{3, &axes, "axes"}, std::tuple{4, &steps, "steps"}}) {
    if (node.input_size() > at && !node.input(at).empty()) {
      auto given = in.integers(node, at, what);
      if (!given) {
        return std::unexpected(given.error());
      }
      *list = std::move(*given);
    }
  }
  if (ends->size() != starts->size() || axes.size() != starts->size() ||
      steps.size() != starts->size()) {
    return fail("starts, ends, axes and steps differ in length");
  }
  auto normalized = distinct_axes(axes, shape.size());
  if (!normalized) {
    return std::unexpected(normalized.error());
  }
  std::vector<AxisRange> ranges;
  for (std::size_t i = 0; i < starts->size(); ++i) {
    if (steps[i] != 1) {
      return fail("step " + std::to_string(steps[i]) + "; only step 1 is supported");
    }
    const std::uint64_t axis = (*normalized)[i];
    const std::uint64_t start = clamp_index((*starts)[i], shape[axis]);
    ranges.push_back({axis, start, std::max(start, clamp_index((*ends)[i], shape[axis]))});
  }
  return define_sliced(in, output(node), *x, ranges);
}

Result<void> split(Importer& in, const onnx::NodeProto& node) {
  auto x = in.required(node, 0);
  auto axis_attribute = int_attribute(node, "axis", 0);
  if (auto error = first_error(x, axis_attribute)) {
    return std::unexpected(*error);
  }
  const Shape shape = in.shape(*x);
  auto axis = normalize_axis(*axis_attribute, shape.size());
  if (!axis) {
    return std::unexpected(axis.error());
  }
  const std::uint64_t extent = shape[*axis];
  std::vector<std::uint64_t> sizes;
  if (node.input_size() > 1 && !node.input(1).empty()) {
    auto given = in.integers(node, 1, "split");
    if (!given) {
      return std::unexpected(given.error());
    }
    for (const std::int64_t size : *given) {
      if (size < 0) {
        return fail("negative split size " + std::to_string(size));
      }
      sizes.push_back(static_cast<std::uint64_t>(size));
    }
  } else {
    const auto parts = static_cast<std::uint64_t>(node.output_size());
    if (extent % parts != 0) {
      return fail("axis of extent " + std::to_string(extent) + " does not split into " +
                  std::to_string(parts) + " equal parts");
    }
    sizes.assign(parts, extent / parts);
  }
  if (sizes.size() != static_cast<std::size_t>(node.output_size())) {
    return fail(std::to_string(sizes.size()) + " split sizes for " +
                std::to_string(node.output_size()) + " outputs");
  }
  std::uint64_t start = 0;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const auto end = zc::checked_add(start, sizes[i]);
    if (!end || *end > extent) {
      return fail("split sizes add up to more than the extent " + std::to_string(extent));
    }
    if (!output(node, static_cast<int>(i)).empty()) {
      const AxisRange range{*axis, start, *end};
      if (auto defined = define_sliced(in, output(node, static_cast<int>(i)), *x, {&range, 1});
          !defined) {
        return defined;
      }
    }
    start = *end;
  }
  if (start != extent) {
    return fail("split sizes add up to " + std::to_string(start) + ", not the extent " +
                std::to_string(extent));
  }
  return {};
}

Result<void> concat(Importer& in, const onnx::NodeProto& node) {
  auto axis_attribute = int_attribute(node, "axis", std::numeric_limits<std::int64_t>::min());
  if (!axis_attribute) {
    return std::unexpected(axis_attribute.error());
  }
  if (*axis_attribute == std::numeric_limits<std::int64_t>::min() || node.input_size() == 0) {
    return fail("Concat needs an axis and at least one input");
  }
  std::vector<Value> parts;
  for (int at = 0; at < node.input_size(); ++at) {
    auto part = in.required(node, at);
    if (!part) {
      return std::unexpected(part.error());
    }
    parts.push_back(*part);
  }
  auto axis = normalize_axis(*axis_attribute, in.shape(parts.front()).size());
  if (!axis) {
    return std::unexpected(axis.error());
  }
  if (std::ranges::all_of(parts, Importer::is_constant)) {
    const std::uint64_t refusals = in.budget.refusals();
    auto folded = [&]() -> Result<HostTensor> {
      std::vector<const HostTensor*> known;
      for (const Value& part : parts) {
        auto values = in.constant(part);
        if (!values) {
          return std::unexpected(values.error());
        }
        known.push_back(*values);
      }
      return fold_concat(known, *axis, in.budget);
    }();
    if (folded || !left_to_graph(in, refusals, parts)) {
      return fold(in, node, std::move(folded));
    }
  }
  std::vector<TensorId> tensors;
  for (const Value& part : parts) {
    auto tensor = in.operand(part);
    if (!tensor) {
      return std::unexpected(tensor.error());
    }
    tensors.push_back(*tensor);
  }
  return in.define(output(node), in.graph.concat(output(node), std::move(tensors), *axis));
}

// Gather of values known at import; of a graph tensor with one index, a
// slice (and a reshape dropping the axis for a scalar index).
namespace {

// Rows of a 2-D table looked up by ids the graph computes: an embedding.
Result<void> gather_rows(Importer& in, const onnx::NodeProto& node, const Value& data,
                         const Value& indices, std::uint64_t axis) {
  const Shape shape = in.shape(data);
  if (shape.size() != 2 || axis != 0) {
    return fail("indices '" + node.input(1) +
                "' are computed by the graph; a Gather of computed indices takes rows (axis 0) "
                "of a 2-D table, not axis " +
                std::to_string(axis) + " of " + shape_text(shape));
  }
  auto table = in.operand(data);
  auto ids = in.operand(indices);
  if (auto error = first_error(table, ids)) {
    return std::unexpected(*error);
  }
  return in.define(output(node), in.graph.gather(output(node), *table, *ids));
}

}  // namespace

Result<void> gather(Importer& in, const onnx::NodeProto& node) {
  auto data = in.required(node, 0);
  auto indices = in.required(node, 1);
  auto axis_attribute = int_attribute(node, "axis", 0);
  if (auto error = first_error(data, indices, axis_attribute)) {
    return std::unexpected(*error);
  }
  const Shape shape = in.shape(*data);
  auto axis = normalize_axis(*axis_attribute, shape.size());
  if (!axis) {
    return std::unexpected(axis.error());
  }
  if (!Importer::is_constant(*indices)) {
    return gather_rows(in, node, *data, *indices, *axis);
  }
  auto known_indices = in.constant(*indices);
  if (!known_indices) {
    return std::unexpected(known_indices.error());
  }
  if (Importer::is_constant(*data)) {
    auto known = in.constant(*data);
    return known ? fold(in, node, fold_gather(**known, **known_indices, *axis, in.budget))
                 : std::unexpected(known.error());
  }
  const HostTensor& index = **known_indices;
  if (index.is_float() || index.elements() != 1 || index.shape.size() > 1) {
    return fail("Gather of a computed tensor takes one integer index, not " +
                shape_text(index.shape) + " of " + std::string(type_name(index.type)));
  }
  const auto extent = static_cast<std::int64_t>(std::min<std::uint64_t>(
      shape[*axis], static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())));
  const std::int64_t at = index.integers.front();
  if (at < -extent || at >= extent) {
    return fail("index " + std::to_string(at) + " is out of range for extent " +
                std::to_string(extent));
  }
  const std::uint64_t row = clamp_index(at, shape[*axis]);
  const AxisRange range{*axis, row, row + 1};
  if (!index.shape.empty()) {
    return define_sliced(in, output(node), *data, {&range, 1});
  }
  const std::string name = in.fresh_name(output(node), "slice");
  if (auto sliced = define_sliced(in, name, *data, {&range, 1}); !sliced) {
    return sliced;
  }
  Shape dropped = shape;
  dropped.erase(dropped.begin() + static_cast<std::ptrdiff_t>(*axis));
  auto row_value = in.value(name);
  return row_value ? define_reshaped(in, output(node), *row_value, std::move(dropped))
                   : std::unexpected(row_value.error());
}

Result<void> expand(Importer& in, const onnx::NodeProto& node) {
  auto known = known_inputs(in, node, 2);
  if (!known) {
    return std::unexpected(known.error());
  }
  auto extents = integer_list(*(*known)[1], "shape");
  if (!extents) {
    return std::unexpected(extents.error());
  }
  Shape shape;
  for (const std::int64_t extent : *extents) {
    if (extent < 0) {
      return fail("negative extent " + std::to_string(extent));
    }
    shape.push_back(static_cast<std::uint64_t>(extent));
  }
  return fold(in, node, fold_expand(*(*known)[0], shape, in.budget));
}

}  // namespace zelk_onnx::detail::ops
