// Arithmetic and data movement on values known at import.
#include "host_tensor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <utility>

#include <zelk_compiler/checked.hpp>

namespace zelk_onnx::detail {
namespace {

namespace zc = zelk_compiler;

// Row-major strides of `shape`.
std::vector<std::uint64_t> strides_of(std::span<const std::uint64_t> shape) {
  std::vector<std::uint64_t> strides(shape.size(), 1);
  for (std::size_t axis = shape.size(); axis > 1; --axis) {
    strides[axis - 2] = strides[axis - 1] * shape[axis - 1];
  }
  return strides;
}

// Walks the positions of a tensor of shape `to` in row-major order and gives,
// for each, the flat position it reads in a source whose axis i advances by
// `steps[i]` (0 for a broadcast axis). `offset` is the source position of the
// first element. The caller has checked that the element count fits.
std::vector<std::uint64_t> source_positions(std::span<const std::uint64_t> to,
                                            std::span<const std::uint64_t> steps,
                                            std::uint64_t offset = 0) {
  const std::uint64_t count = *zc::checked_product(to);
  std::vector<std::uint64_t> positions;
  positions.reserve(count);
  std::vector<std::uint64_t> index(to.size(), 0);
  std::uint64_t position = offset;
  for (std::uint64_t n = 0; n < count; ++n) {
    positions.push_back(position);
    for (std::size_t axis = to.size(); axis > 0; --axis) {
      const std::size_t a = axis - 1;
      if (++index[a] < to[a]) {
        position += steps[a];
        break;
      }
      position -= steps[a] * (to[a] - 1);
      index[a] = 0;
    }
  }
  return positions;
}

// The steps of a tensor of shape `from` read as if broadcast to `to`.
std::vector<std::uint64_t> broadcast_steps(std::span<const std::uint64_t> from,
                                           std::span<const std::uint64_t> to) {
  const std::vector<std::uint64_t> strides = strides_of(from);
  std::vector<std::uint64_t> steps(to.size(), 0);
  const std::size_t lead = to.size() - from.size();
  for (std::size_t axis = 0; axis < from.size(); ++axis) {
    steps[lead + axis] = from[axis] == 1 ? 0 : strides[axis];
  }
  return steps;
}

HostTensor take(const HostTensor& source, std::span<const std::uint64_t> positions, Shape shape) {
  HostTensor result{source.type, std::move(shape), {}, {}};
  if (source.is_float()) {
    result.floats.reserve(positions.size());
    for (const std::uint64_t p : positions) {
      result.floats.push_back(source.floats[p]);
    }
  } else {
    result.integers.reserve(positions.size());
    for (const std::uint64_t p : positions) {
      result.integers.push_back(source.integers[p]);
    }
  }
  return result;
}

zc::Result<std::uint64_t> budgeted_count(std::span<const std::uint64_t> shape, FoldBudget& budget) {
  auto count = element_count(shape);
  if (!count) {
    return count;
  }
  if (auto taken = budget.take(*count); !taken) {
    return std::unexpected(taken.error());
  }
  return count;
}

zc::Result<std::int64_t> integer_arithmetic(Arithmetic op, std::int64_t a, std::int64_t b) {
  switch (op) {
    case Arithmetic::Add:
      if (const auto sum = zc::checked_add(a, b)) {
        return *sum;
      }
      return fail("integer overflow in Add");
    case Arithmetic::Sub:
      if (const auto difference = zc::checked_sub(a, b)) {
        return *difference;
      }
      return fail("integer overflow in Sub");
    case Arithmetic::Mul:
      if (const auto product = zc::checked_mul(a, b)) {
        return *product;
      }
      return fail("integer overflow in Mul");
    case Arithmetic::Div:
      if (b == 0) {
        return fail("integer division by zero");
      }
      if (a == std::numeric_limits<std::int64_t>::min() && b == -1) {
        return fail("integer overflow in Div");
      }
      return a / b;
    case Arithmetic::Equal:
      return a == b ? 1 : 0;
    case Arithmetic::Pow:
      break;
  }
  return fail("Pow of integers is not supported");
}

float float_arithmetic(Arithmetic op, float a, float b) {
  switch (op) {
    case Arithmetic::Add:
      return a + b;
    case Arithmetic::Sub:
      return a - b;
    case Arithmetic::Mul:
      return a * b;
    case Arithmetic::Div:
      return a / b;
    case Arithmetic::Pow:
      return std::pow(a, b);
    case Arithmetic::Equal:
      return a == b ? 1.0F : 0.0F;
  }
  return 0.0F;
}

zc::Result<void> same_types(const HostTensor& left, const HostTensor& right) {
  if (left.type != right.type) {
    return fail("operands of different types " + std::string(type_name(left.type)) + " and " +
                std::string(type_name(right.type)));
  }
  return {};
}

// The value of a one-element tensor as a double, for Range.
double scalar_value(const HostTensor& value) {
  return value.is_float() ? static_cast<double>(value.floats[0])
                          : static_cast<double>(value.integers[0]);
}

}  // namespace

std::string_view type_name(ElementType type) {
  switch (type) {
    case ElementType::Float:
      return "FLOAT";
    case ElementType::Int64:
      return "INT64";
    case ElementType::Int32:
      return "INT32";
    case ElementType::Bool:
      return "BOOL";
  }
  return "FLOAT";
}

HostTensor HostTensor::of_floats(Shape shape, std::vector<float> values) {
  return HostTensor{ElementType::Float, std::move(shape), std::move(values), {}};
}

HostTensor HostTensor::of_integers(ElementType type, Shape shape,
                                   std::vector<std::int64_t> values) {
  return HostTensor{type, std::move(shape), {}, std::move(values)};
}

std::string shape_text(std::span<const std::uint64_t> shape) {
  std::ostringstream text;
  text << '[';
  for (std::size_t i = 0; i < shape.size(); ++i) {
    text << (i == 0 ? "" : ", ") << shape[i];
  }
  text << ']';
  return text.str();
}

zc::Result<std::uint64_t> element_count(std::span<const std::uint64_t> shape) {
  const auto count = zc::checked_product(shape);
  if (!count) {
    return fail("shape " + shape_text(shape) + " has more elements than 64 bits count");
  }
  return *count;
}

zc::Result<void> FoldBudget::take(std::uint64_t elements) {
  if (elements > left_) {
    return fail("constants folded at import would exceed the importer's limit");
  }
  left_ -= elements;
  return {};
}

zc::Result<std::uint64_t> normalize_axis(std::int64_t axis, std::uint64_t rank) {
  const auto signed_rank = static_cast<std::int64_t>(std::min<std::uint64_t>(rank, kMaxRank));
  if (axis < -signed_rank || axis >= signed_rank) {
    return fail("axis " + std::to_string(axis) + " is out of range for rank " +
                std::to_string(rank));
  }
  return static_cast<std::uint64_t>(axis < 0 ? axis + signed_rank : axis);
}

zc::Result<Shape> broadcast_shapes(std::span<const std::uint64_t> left,
                                   std::span<const std::uint64_t> right) {
  const std::size_t rank = std::max(left.size(), right.size());
  Shape shape(rank, 1);
  for (std::size_t i = 0; i < rank; ++i) {
    const std::uint64_t a = i < rank - left.size() ? 1 : left[i - (rank - left.size())];
    const std::uint64_t b = i < rank - right.size() ? 1 : right[i - (rank - right.size())];
    if (a != b && a != 1 && b != 1) {
      return fail("shapes " + shape_text(left) + " and " + shape_text(right) + " do not broadcast");
    }
    shape[i] = a == 1 ? b : a;
  }
  return shape;
}

zc::Result<HostTensor> fold_arithmetic(Arithmetic op, const HostTensor& left,
                                       const HostTensor& right, FoldBudget& budget) {
  if (auto same = same_types(left, right); !same) {
    return std::unexpected(same.error());
  }
  auto shape = broadcast_shapes(left.shape, right.shape);
  if (!shape) {
    return std::unexpected(shape.error());
  }
  if (auto count = budgeted_count(*shape, budget); !count) {
    return std::unexpected(count.error());
  }
  const auto from_left = source_positions(*shape, broadcast_steps(left.shape, *shape));
  const auto from_right = source_positions(*shape, broadcast_steps(right.shape, *shape));
  const bool to_bool = op == Arithmetic::Equal;
  if (left.is_float()) {
    std::vector<float> values;
    values.reserve(from_left.size());
    for (std::size_t i = 0; i < from_left.size(); ++i) {
      values.push_back(
          float_arithmetic(op, left.floats[from_left[i]], right.floats[from_right[i]]));
    }
    if (!to_bool) {
      return HostTensor::of_floats(std::move(*shape), std::move(values));
    }
    std::vector<std::int64_t> flags(values.begin(), values.end());
    return HostTensor::of_integers(ElementType::Bool, std::move(*shape), std::move(flags));
  }
  std::vector<std::int64_t> values;
  values.reserve(from_left.size());
  for (std::size_t i = 0; i < from_left.size(); ++i) {
    auto value = integer_arithmetic(op, left.integers[from_left[i]], right.integers[from_right[i]]);
    if (!value) {
      return std::unexpected(value.error());
    }
    values.push_back(*value);
  }
  return HostTensor::of_integers(to_bool ? ElementType::Bool : left.type, std::move(*shape),
                                 std::move(values));
}

zc::Result<HostTensor> fold_copy(const HostTensor& value, Shape shape, FoldBudget& budget) {
  if (auto taken = budget.take(value.elements()); !taken) {
    return std::unexpected(taken.error());
  }
  HostTensor copy = value;
  copy.shape = std::move(shape);
  return copy;
}

zc::Result<HostTensor> fold_sqrt(const HostTensor& value, FoldBudget& budget) {
  if (!value.is_float()) {
    return fail("Sqrt of " + std::string(type_name(value.type)) + " is not supported");
  }
  auto copied = fold_copy(value, value.shape, budget);
  if (!copied) {
    return copied;
  }
  HostTensor result = std::move(*copied);
  for (float& x : result.floats) {
    x = std::sqrt(x);
  }
  return result;
}

zc::Result<HostTensor> fold_cast(const HostTensor& value, ElementType to, FoldBudget& budget) {
  if (auto taken = budget.take(value.elements()); !taken) {
    return std::unexpected(taken.error());
  }
  if (to == ElementType::Float) {
    if (value.is_float()) {
      return value;
    }
    std::vector<float> floats;
    floats.reserve(value.integers.size());
    for (const std::int64_t x : value.integers) {
      floats.push_back(static_cast<float>(x));
    }
    return HostTensor::of_floats(value.shape, std::move(floats));
  }
  const auto [low, high] = to == ElementType::Int32 ? std::pair<double, double>{-0x1p31, 0x1p31}
                                                    : std::pair<double, double>{-0x1p63, 0x1p63};
  std::vector<std::int64_t> integers;
  integers.reserve(value.elements());
  for (std::uint64_t i = 0; i < value.elements(); ++i) {
    const double x = value.is_float() ? static_cast<double>(value.floats[i])
                                      : static_cast<double>(value.integers[i]);
    if (to == ElementType::Bool) {
      integers.push_back(x != 0.0 ? 1 : 0);
      continue;
    }
    if (!value.is_float() && to == ElementType::Int64) {
      integers.push_back(value.integers[i]);
      continue;
    }
    const double whole = std::trunc(x);
    if (!(whole >= low && whole < high)) {
      return fail("Cast of " + std::to_string(x) + " to " + std::string(type_name(to)) +
                  " is out of range");
    }
    integers.push_back(static_cast<std::int64_t>(whole));
  }
  return HostTensor::of_integers(to, value.shape, std::move(integers));
}

zc::Result<HostTensor> fold_where(const HostTensor& condition, const HostTensor& then,
                                  const HostTensor& otherwise, FoldBudget& budget) {
  if (condition.type != ElementType::Bool) {
    return fail("Where needs a BOOL condition, not " + std::string(type_name(condition.type)));
  }
  if (auto same = same_types(then, otherwise); !same) {
    return std::unexpected(same.error());
  }
  auto values_shape = broadcast_shapes(then.shape, otherwise.shape);
  if (!values_shape) {
    return std::unexpected(values_shape.error());
  }
  auto shape = broadcast_shapes(condition.shape, *values_shape);
  if (!shape) {
    return std::unexpected(shape.error());
  }
  if (auto count = budgeted_count(*shape, budget); !count) {
    return std::unexpected(count.error());
  }
  const auto from_condition = source_positions(*shape, broadcast_steps(condition.shape, *shape));
  const auto from_then = source_positions(*shape, broadcast_steps(then.shape, *shape));
  const auto from_otherwise = source_positions(*shape, broadcast_steps(otherwise.shape, *shape));
  HostTensor picked = take(then, from_then, *shape);
  const HostTensor others = take(otherwise, from_otherwise, *shape);
  for (std::size_t i = 0; i < from_condition.size(); ++i) {
    if (condition.integers[from_condition[i]] != 0) {
      continue;
    }
    if (picked.is_float()) {
      picked.floats[i] = others.floats[i];
    } else {
      picked.integers[i] = others.integers[i];
    }
  }
  return picked;
}

zc::Result<HostTensor> fold_expand(const HostTensor& value, std::span<const std::uint64_t> shape,
                                   FoldBudget& budget) {
  auto to = broadcast_shapes(value.shape, shape);
  if (!to) {
    return std::unexpected(to.error());
  }
  if (auto count = budgeted_count(*to, budget); !count) {
    return std::unexpected(count.error());
  }
  return take(value, source_positions(*to, broadcast_steps(value.shape, *to)), *to);
}

zc::Result<HostTensor> fold_transpose(const HostTensor& value,
                                      std::span<const std::uint64_t> permutation,
                                      FoldBudget& budget) {
  const std::size_t rank = value.shape.size();
  std::vector<bool> seen(rank, false);
  if (permutation.size() != rank) {
    return fail("permutation of " + std::to_string(permutation.size()) +
                " axes for a tensor of rank " + std::to_string(rank));
  }
  for (const std::uint64_t axis : permutation) {
    if (axis >= rank || seen[axis]) {
      return fail("invalid permutation " + shape_text(permutation));
    }
    seen[axis] = true;
  }
  if (auto count = budgeted_count(value.shape, budget); !count) {
    return std::unexpected(count.error());
  }
  const std::vector<std::uint64_t> strides = strides_of(value.shape);
  Shape shape(rank);
  std::vector<std::uint64_t> steps(rank);
  for (std::size_t axis = 0; axis < rank; ++axis) {
    shape[axis] = value.shape[permutation[axis]];
    steps[axis] = strides[permutation[axis]];
  }
  return take(value, source_positions(shape, steps), shape);
}

zc::Result<HostTensor> fold_slice(const HostTensor& value, std::uint64_t axis, std::uint64_t start,
                                  std::uint64_t end, FoldBudget& budget) {
  if (axis >= value.shape.size() || start > end || end > value.shape[axis]) {
    return fail("slice [" + std::to_string(start) + ", " + std::to_string(end) + ") of axis " +
                std::to_string(axis) + " is out of range for " + shape_text(value.shape));
  }
  Shape shape = value.shape;
  shape[axis] = end - start;
  if (auto count = budgeted_count(shape, budget); !count) {
    return std::unexpected(count.error());
  }
  const std::vector<std::uint64_t> strides = strides_of(value.shape);
  return take(value, source_positions(shape, strides, start * strides[axis]), shape);
}

zc::Result<HostTensor> fold_concat(std::span<const HostTensor* const> parts, std::uint64_t axis,
                                   FoldBudget& budget) {
  if (parts.empty()) {
    return fail("Concat of nothing");
  }
  const HostTensor& first = *parts.front();
  if (axis >= first.shape.size()) {
    return fail("axis " + std::to_string(axis) + " is out of range for rank " +
                std::to_string(first.shape.size()));
  }
  Shape shape = first.shape;
  shape[axis] = 0;
  for (const HostTensor* part : parts) {
    if (auto same = same_types(first, *part); !same) {
      return std::unexpected(same.error());
    }
    Shape without_axis = part->shape;
    if (without_axis.size() == shape.size()) {
      without_axis[axis] = shape[axis];
    }
    if (without_axis != shape) {
      return fail("Concat of " + shape_text(first.shape) + " and " + shape_text(part->shape) +
                  " along axis " + std::to_string(axis));
    }
    const auto extent = zc::checked_add(shape[axis], part->shape[axis]);
    if (!extent) {
      return fail("Concat extent beyond 64 bits");
    }
    shape[axis] = *extent;
  }
  if (auto count = budgeted_count(shape, budget); !count) {
    return std::unexpected(count.error());
  }
  // Row-major: the result is each outer block of every part in turn.
  const std::uint64_t outer = *zc::checked_product(std::span(shape).first(axis));
  HostTensor result{first.type, shape, {}, {}};
  for (std::uint64_t block = 0; block < outer; ++block) {
    for (const HostTensor* part : parts) {
      const std::uint64_t size = part->elements() / std::max<std::uint64_t>(outer, 1);
      const auto begin = static_cast<std::ptrdiff_t>(block * size);
      const auto end = static_cast<std::ptrdiff_t>((block + 1) * size);
      if (first.is_float()) {
        result.floats.insert(result.floats.end(), part->floats.begin() + begin,
                             part->floats.begin() + end);
      } else {
        result.integers.insert(result.integers.end(), part->integers.begin() + begin,
                               part->integers.begin() + end);
      }
    }
  }
  return result;
}

zc::Result<HostTensor> fold_gather(const HostTensor& data, const HostTensor& indices,
                                   std::uint64_t axis, FoldBudget& budget) {
  if (indices.is_float()) {
    return fail("Gather indices of type FLOAT");
  }
  if (axis >= data.shape.size()) {
    return fail("Gather axis " + std::to_string(axis) + " of a tensor of rank " +
                std::to_string(data.shape.size()));
  }
  Shape shape(data.shape.begin(), data.shape.begin() + static_cast<std::ptrdiff_t>(axis));
  shape.insert(shape.end(), indices.shape.begin(), indices.shape.end());
  shape.insert(shape.end(), data.shape.begin() + static_cast<std::ptrdiff_t>(axis) + 1,
               data.shape.end());
  if (shape.size() > kMaxRank) {
    return fail("Gather result of rank " + std::to_string(shape.size()));
  }
  if (auto count = budgeted_count(shape, budget); !count) {
    return std::unexpected(count.error());
  }
  const std::uint64_t extent = data.shape[axis];
  const std::uint64_t outer =
      *zc::checked_product(std::span(data.shape).first(static_cast<std::size_t>(axis)));
  const std::uint64_t inner =
      *zc::checked_product(std::span(data.shape).subspan(static_cast<std::size_t>(axis) + 1));
  std::vector<std::uint64_t> positions;
  positions.reserve(outer * indices.integers.size() * inner);
  for (std::uint64_t block = 0; block < outer; ++block) {
    for (const std::int64_t index : indices.integers) {
      const auto signed_extent = static_cast<std::int64_t>(extent);
      if (index < -signed_extent || index >= signed_extent) {
        return fail("Gather index " + std::to_string(index) + " is out of range for extent " +
                    std::to_string(extent));
      }
      const auto row = static_cast<std::uint64_t>(index < 0 ? index + signed_extent : index);
      for (std::uint64_t i = 0; i < inner; ++i) {
        positions.push_back((block * extent + row) * inner + i);
      }
    }
  }
  return take(data, positions, std::move(shape));
}

zc::Result<HostTensor> fold_fill(const HostTensor& value, std::span<const std::uint64_t> shape,
                                 FoldBudget& budget) {
  if (value.elements() != 1) {
    return fail("the fill value has " + std::to_string(value.elements()) + " elements, not 1");
  }
  auto count = budgeted_count(shape, budget);
  if (!count) {
    return std::unexpected(count.error());
  }
  const std::vector<std::uint64_t> positions(*count, 0);
  return take(value, positions, Shape(shape.begin(), shape.end()));
}

zc::Result<HostTensor> fold_range(const HostTensor& start, const HostTensor& limit,
                                  const HostTensor& delta, FoldBudget& budget) {
  for (const HostTensor* bound : {&start, &limit, &delta}) {
    if (bound->elements() != 1 || !bound->shape.empty() || bound->type != start.type) {
      return fail("Range needs three scalars of one type");
    }
  }
  const double first = scalar_value(start);
  const double step = scalar_value(delta);
  const double steps = std::ceil((scalar_value(limit) - first) / step);
  if (step == 0.0 || !std::isfinite(steps)) {
    return fail("Range with delta 0 or an unbounded count");
  }
  const double limit_count = 0x1p62;
  const auto count = static_cast<std::uint64_t>(std::clamp(steps, 0.0, limit_count));
  if (auto taken = budget.take(count); !taken) {
    return std::unexpected(taken.error());
  }
  if (start.is_float()) {
    std::vector<float> values;
    values.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
      values.push_back(start.floats[0] + static_cast<float>(i) * delta.floats[0]);
    }
    return HostTensor::of_floats({count}, std::move(values));
  }
  std::vector<std::int64_t> values;
  values.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    const auto value =
        zc::checked_mul_add(static_cast<std::int64_t>(i), delta.integers[0], start.integers[0]);
    if (!value) {
      return fail("Range beyond 64 bits");
    }
    values.push_back(*value);
  }
  return HostTensor::of_integers(start.type, {count}, std::move(values));
}

zc::Result<std::vector<std::int64_t>> integer_list(const HostTensor& value, std::string_view what) {
  if (value.is_float() || value.shape.size() > 1) {
    return fail(std::string(what) + " must be a list of integers, not a " +
                std::string(type_name(value.type)) + " tensor of shape " + shape_text(value.shape));
  }
  return value.integers;
}

zc::Result<HostTensor> shape_tensor(std::span<const std::uint64_t> shape) {
  std::vector<std::int64_t> extents;
  extents.reserve(shape.size());
  for (const std::uint64_t extent : shape) {
    if (extent > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return fail("extent " + std::to_string(extent) + " does not fit INT64");
    }
    extents.push_back(static_cast<std::int64_t>(extent));
  }
  return HostTensor::of_integers(ElementType::Int64, {shape.size()}, std::move(extents));
}

}  // namespace zelk_onnx::detail
