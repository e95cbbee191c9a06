// Folding values known at import. Each fold checks its operands with the
// library's shape rule, takes its bytes from the budget, then moves the
// values along the library's walks (broadcasting, transposition) or in the
// runs of its axis split (slices, concatenation, gathers).
#include "fold.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include <zelk_compiler/checked.hpp>
#include <zelk_compiler/detail/float16.hpp>
#include <zelk_compiler/detail/walk.hpp>

namespace zelk_onnx::detail {
namespace {

namespace zc = zelk_compiler;
using zc::detail::WalkAxis;

// The library's broadcasting of two shapes, refused with both named.
zc::Result<Shape> broadcast_shapes(ShapeView left, ShapeView right) {
  auto shape = zc::detail::broadcast_shape(left, right);
  if (!shape) {
    return fail("shapes " + shape_text(left) + " and " + shape_text(right) + " do not broadcast");
  }
  return std::move(*shape);
}

// The element count of a `type` result of `shape`, its bytes taken from the
// budget.
zc::Result<std::uint64_t> budgeted_count(ShapeView shape, ElementType type, FoldBudget& budget) {
  auto count = element_count(shape);
  if (!count) {
    return count;
  }
  const std::string what =
      "the " + std::string(type_name(type)) + " result of shape " + shape_text(shape);
  if (auto taken = budget.take(*count, held_size(type), what); !taken) {
    return std::unexpected(taken.error());
  }
  return count;
}

// The broadcast of two shapes and its element count, a `type` result of it
// taken from the budget.
struct Broadcast {
  Shape shape;
  std::uint64_t count = 0;
};

zc::Result<Broadcast> budgeted_broadcast(ShapeView left, ShapeView right, ElementType type,
                                         FoldBudget& budget) {
  auto shape = broadcast_shapes(left, right);
  if (!shape) {
    return std::unexpected(shape.error());
  }
  auto count = budgeted_count(*shape, type, budget);
  if (!count) {
    return std::unexpected(count.error());
  }
  return Broadcast{std::move(*shape), *count};
}

zc::Result<void> same_types(const HostTensor& left, const HostTensor& right) {
  if (left.type != right.type) {
    return fail("operands of different types " + std::string(type_name(left.type)) + " and " +
                std::string(type_name(right.type)));
  }
  return {};
}

// A tensor of `source`'s type and `shape` with no values yet, room made for
// `count`.
HostTensor empty_like(const HostTensor& source, Shape shape, std::uint64_t count) {
  HostTensor result{source.type, std::move(shape), {}, {}};
  if (source.is_float()) {
    result.floats.reserve(count);
  } else {
    result.integers.reserve(count);
  }
  return result;
}

// Appends `source`'s elements [begin, begin + count) to `to`, of the same type.
void append_run(HostTensor& to, const HostTensor& source, std::uint64_t begin,
                std::uint64_t count) {
  const auto first = static_cast<std::ptrdiff_t>(begin);
  const auto last = static_cast<std::ptrdiff_t>(begin + count);
  if (source.is_float()) {
    to.floats.insert(to.floats.end(), source.floats.begin() + first, source.floats.begin() + last);
  } else {
    to.integers.insert(to.integers.end(), source.integers.begin() + first,
                       source.integers.begin() + last);
  }
}

// The elements of `source`, operand `k` of the walk `axes`, in the order the
// walk visits them. `count` is the walk's element count, 0 for a walk that
// must not run.
template <std::size_t N>
HostTensor walked(const HostTensor& source, const std::vector<WalkAxis<N>>& axes, std::size_t k,
                  Shape shape, std::uint64_t count) {
  HostTensor result = empty_like(source, std::move(shape), count);
  if (count == 0) {
    return result;
  }
  const WalkAxis<N>& line = axes.back();
  const auto read = [&](auto& to, const auto& from) {
    zc::detail::walk_lines(axes, [&](const std::array<std::uint64_t, N>& at) {
      for (std::uint64_t i = 0; i < line.extent; ++i) {
        to.push_back(from[at[k] + i * line.step[k]]);
      }
    });
  };
  if (source.is_float()) {
    read(result.floats, source.floats);
  } else {
    read(result.integers, source.integers);
  }
  return result;
}

// `source` broadcast to `shape`, which holds `count` elements.
HostTensor spread(const HostTensor& source, ShapeView shape, std::uint64_t count) {
  const auto axes = zc::detail::simplify_walk(zc::detail::broadcast_walk(source.shape, {}, shape));
  return walked(source, axes, zc::detail::kWalkLeft, Shape(shape.begin(), shape.end()), count);
}

// Calls `visit(output, left, right)` with the offsets of each element of
// `shape` (which holds `count` elements) and of the elements of `left` and
// `right` broadcast to it, in row-major order: operands are read in place,
// never spread into copies of the output's size.
template <class Visit>
void for_each_broadcast(ShapeView left, ShapeView right, ShapeView shape, std::uint64_t count,
                        Visit visit) {
  if (count == 0) {
    return;
  }
  using zc::detail::kWalkLeft;
  using zc::detail::kWalkOutput;
  using zc::detail::kWalkRight;
  const auto axes = zc::detail::simplify_walk(zc::detail::broadcast_walk(left, right, shape));
  const WalkAxis<3>& line = axes.back();
  zc::detail::walk_lines(axes, [&](const std::array<std::uint64_t, 3>& at) {
    for (std::uint64_t i = 0; i < line.extent; ++i) {
      visit(at[kWalkOutput] + i * line.step[kWalkOutput], at[kWalkLeft] + i * line.step[kWalkLeft],
            at[kWalkRight] + i * line.step[kWalkRight]);
    }
  });
}

zc::Result<std::int64_t> integer_arithmetic(Arithmetic op, std::int64_t a, std::int64_t b) {
  std::optional<std::int64_t> result;
  switch (op) {
    case Arithmetic::Add:
      result = zc::checked_add(a, b);
      return result ? zc::Result<std::int64_t>(*result) : fail("integer overflow in Add");
    case Arithmetic::Sub:
      result = zc::checked_sub(a, b);
      return result ? zc::Result<std::int64_t>(*result) : fail("integer overflow in Sub");
    case Arithmetic::Mul:
      result = zc::checked_mul(a, b);
      return result ? zc::Result<std::int64_t>(*result) : fail("integer overflow in Mul");
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

// `value`, a float tensor, each element rounded to its type: a fold computes
// in float and rounds once, as the graph's evaluation does.
HostTensor rounded(HostTensor value) {
  zc::detail::round_all(*float_dtype(value.type), value.floats);
  return value;
}

// `x` rounded once to `dtype`, a float type. Its significant bits are
// rounded in integer arithmetic, since converting to float first and then
// to a 16-bit type would round twice: 2^30 + 2^22 + 1 becomes the tie
// 2^30 + 2^22 in float, which BFLOAT16 rounds down instead of up.
float integer_to(zc::DType dtype, std::int64_t x) {
  const int bits = dtype == zc::DType::F16 ? 11 : dtype == zc::DType::BF16 ? 8 : 24;
  // |x| without negating the most negative value.
  const std::uint64_t magnitude =
      x < 0 ? static_cast<std::uint64_t>(-(x + 1)) + 1 : static_cast<std::uint64_t>(x);
  const int shift = std::max(static_cast<int>(std::bit_width(magnitude)) - bits, 0);
  std::uint64_t kept = magnitude >> shift;
  if (shift > 0) {
    const std::uint64_t rest = magnitude & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    kept += rest > half || (rest == half && (kept & 1U) != 0) ? 1 : 0;
  }
  // `kept` has at most bits + 1 significant bits, exact in a float.
  const float whole = std::ldexp(static_cast<float>(kept), shift);
  return zc::detail::round_to(dtype, x < 0 ? -whole : whole);
}

// The value of a one-element tensor as a double, for Range.
double scalar_value(const HostTensor& value) {
  return value.is_float() ? static_cast<double>(value.floats[0])
                          : static_cast<double>(value.integers[0]);
}

// A slice's shape by the library's rule, which refuses empty ones; a folded
// slice may be empty (a Split part of size 0).
std::optional<Shape> folded_slice_shape(ShapeView source, std::uint64_t axis, std::uint64_t start,
                                        std::uint64_t end) {
  if (start != end) {
    return zc::detail::slice_shape(source, axis, start, end);
  }
  if (!zc::detail::axis_fits(source, axis) || end > source[axis]) {
    return std::nullopt;
  }
  Shape shape(source.begin(), source.end());
  shape[axis] = 0;
  return shape;
}

// Each Gather index as a row of an axis of `extent`, negative counting from
// the end.
zc::Result<std::vector<std::uint64_t>> gather_rows(const HostTensor& indices,
                                                   std::uint64_t extent) {
  const auto signed_extent = static_cast<std::int64_t>(extent);
  std::vector<std::uint64_t> rows;
  rows.reserve(indices.integers.size());
  for (const std::int64_t index : indices.integers) {
    if (index < -signed_extent || index >= signed_extent) {
      return fail("Gather index " + std::to_string(index) + " is out of range for extent " +
                  std::to_string(extent));
    }
    rows.push_back(static_cast<std::uint64_t>(index < 0 ? index + signed_extent : index));
  }
  return rows;
}

}  // namespace

zc::Result<HostTensor> fold_arithmetic(Arithmetic op, const HostTensor& left,
                                       const HostTensor& right, FoldBudget& budget) {
  if (auto same = same_types(left, right); !same) {
    return std::unexpected(same.error());
  }
  const ElementType type = op == Arithmetic::Equal ? ElementType::Bool : left.type;
  auto to = budgeted_broadcast(left.shape, right.shape, type, budget);
  if (!to) {
    return std::unexpected(to.error());
  }
  HostTensor result{type, std::move(to->shape), {}, {}};
  if (is_float(type)) {
    result.floats.resize(to->count);
    for_each_broadcast(left.shape, right.shape, result.shape, to->count,
                       [&](std::uint64_t out, std::uint64_t a, std::uint64_t b) {
                         result.floats[out] = float_arithmetic(op, left.floats[a], right.floats[b]);
                       });
    return rounded(std::move(result));
  }
  result.integers.resize(to->count);
  if (left.is_float()) {
    for_each_broadcast(left.shape, right.shape, result.shape, to->count,
                       [&](std::uint64_t out, std::uint64_t a, std::uint64_t b) {
                         result.integers[out] = left.floats[a] == right.floats[b] ? 1 : 0;
                       });
    return result;
  }
  // The first error in row-major order; the walk runs on without computing.
  std::optional<zc::CompileError> error;
  for_each_broadcast(left.shape, right.shape, result.shape, to->count,
                     [&](std::uint64_t out, std::uint64_t a, std::uint64_t b) {
                       if (error) {
                         return;
                       }
                       auto value = integer_arithmetic(op, left.integers[a], right.integers[b]);
                       if (!value) {
                         error = value.error();
                         return;
                       }
                       result.integers[out] = *value;
                     });
  if (error) {
    return std::unexpected(*error);
  }
  return result;
}

zc::Result<HostTensor> fold_copy(const HostTensor& value, Shape shape, FoldBudget& budget) {
  if (auto taken = budget.take(value.elements(), held_size(value.type),
                               "the copy of shape " + shape_text(shape));
      !taken) {
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
  return rounded(std::move(result));
}

zc::Result<HostTensor> fold_cast(const HostTensor& value, ElementType to, FoldBudget& budget) {
  if (auto taken =
          budget.take(value.elements(), held_size(to), "the Cast to " + std::string(type_name(to)));
      !taken) {
    return std::unexpected(taken.error());
  }
  if (const auto dtype = float_dtype(to)) {
    if (value.is_float()) {
      return rounded(HostTensor::of_floats(value.shape, value.floats, to));
    }
    std::vector<float> floats;
    floats.reserve(value.integers.size());
    for (const std::int64_t x : value.integers) {
      floats.push_back(integer_to(*dtype, x));
    }
    return HostTensor::of_floats(value.shape, std::move(floats), to);
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
  auto to = budgeted_broadcast(condition.shape, *values_shape, then.type, budget);
  if (!to) {
    return std::unexpected(to.error());
  }
  // The result starts as `then` spread, and takes from `otherwise` in place.
  HostTensor picked = spread(then, to->shape, to->count);
  for_each_broadcast(condition.shape, otherwise.shape, picked.shape, to->count,
                     [&](std::uint64_t out, std::uint64_t c, std::uint64_t o) {
                       if (condition.integers[c] != 0) {
                         return;
                       }
                       if (picked.is_float()) {
                         picked.floats[out] = otherwise.floats[o];
                       } else {
                         picked.integers[out] = otherwise.integers[o];
                       }
                     });
  return picked;
}

zc::Result<HostTensor> fold_expand(const HostTensor& value, ShapeView shape, FoldBudget& budget) {
  auto to = budgeted_broadcast(value.shape, shape, value.type, budget);
  if (!to) {
    return std::unexpected(to.error());
  }
  return spread(value, to->shape, to->count);
}

zc::Result<HostTensor> fold_transpose(const HostTensor& value, ShapeView permutation,
                                      FoldBudget& budget) {
  if (permutation.size() != value.shape.size()) {
    return fail("permutation of " + std::to_string(permutation.size()) +
                " axes for a tensor of rank " + std::to_string(value.shape.size()));
  }
  auto shape = zc::detail::transpose_shape(value.shape, permutation);
  if (!shape) {
    return fail("invalid permutation " + shape_text(permutation));
  }
  auto count = budgeted_count(value.shape, value.type, budget);
  if (!count) {
    return std::unexpected(count.error());
  }
  const auto axes = zc::detail::simplify_walk(zc::detail::transpose_walk(value.shape, permutation));
  return walked(value, axes, zc::detail::kWalkFrom, std::move(*shape), *count);
}

zc::Result<HostTensor> fold_slice(const HostTensor& value, std::uint64_t axis, std::uint64_t start,
                                  std::uint64_t end, FoldBudget& budget) {
  auto shape = folded_slice_shape(value.shape, axis, start, end);
  if (!shape) {
    return fail("slice [" + std::to_string(start) + ", " + std::to_string(end) + ") of axis " +
                std::to_string(axis) + " is out of range for " + shape_text(value.shape));
  }
  auto count = budgeted_count(*shape, value.type, budget);
  if (!count) {
    return std::unexpected(count.error());
  }
  HostTensor result = empty_like(value, std::move(*shape), *count);
  if (*count == 0) {
    return result;
  }
  // Elements are kept, so the source's extents before and after the axis
  // multiply within 64 bits.
  const auto split = zc::detail::split_at(value.shape, axis);
  for (std::uint64_t block = 0; block < split.outer; ++block) {
    append_run(result, value, (block * split.extent + start) * split.inner,
               (end - start) * split.inner);
  }
  return result;
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
  std::vector<ShapeView> shapes;
  for (const HostTensor* part : parts) {
    shapes.emplace_back(part->shape);
  }
  auto fit = zc::detail::concat_shape(shapes, axis);
  // The parts up to the misfit (all of them when they fit) are checked for
  // their type first.
  const std::size_t checked = fit.shape ? parts.size() : fit.misfit + 1;
  for (std::size_t i = 0; i < checked; ++i) {
    if (auto same = same_types(first, *parts[i]); !same) {
      return std::unexpected(same.error());
    }
  }
  if (!fit.shape) {
    if (fit.overflow) {
      return fail("Concat extent beyond 64 bits");
    }
    return fail("Concat of " + shape_text(first.shape) + " and " +
                shape_text(parts[fit.misfit]->shape) + " along axis " + std::to_string(axis));
  }
  auto count = budgeted_count(*fit.shape, first.type, budget);
  if (!count) {
    return std::unexpected(count.error());
  }
  HostTensor result = empty_like(first, std::move(*fit.shape), *count);
  if (*count == 0) {
    return result;
  }
  // Row-major: the result is each outer block of every part in turn.
  const auto split = zc::detail::split_at(result.shape, axis);
  for (std::uint64_t block = 0; block < split.outer; ++block) {
    for (const HostTensor* part : parts) {
      const std::uint64_t run = part->shape[axis] * split.inner;
      append_run(result, *part, block * run, run);
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
  const auto at = static_cast<std::ptrdiff_t>(axis);
  Shape shape(data.shape.begin(), data.shape.begin() + at);
  shape.insert(shape.end(), indices.shape.begin(), indices.shape.end());
  shape.insert(shape.end(), data.shape.begin() + at + 1, data.shape.end());
  if (shape.size() > kMaxRank) {
    return fail("Gather result of rank " + std::to_string(shape.size()));
  }
  auto count = budgeted_count(shape, data.type, budget);
  if (!count) {
    return std::unexpected(count.error());
  }
  if (auto taken = budget.take(indices.integers.size(), sizeof(std::uint64_t), "Gather's rows");
      !taken) {
    return std::unexpected(taken.error());
  }
  // The indices are read once per block before the axis: not at all when an
  // axis before it is empty.
  const ShapeView before = ShapeView(data.shape).first(static_cast<std::size_t>(axis));
  std::vector<std::uint64_t> rows;
  if (std::ranges::find(before, std::uint64_t{0}) == before.end()) {
    auto read = gather_rows(indices, data.shape[axis]);
    if (!read) {
      return std::unexpected(read.error());
    }
    rows = std::move(*read);
  }
  HostTensor result = empty_like(data, std::move(shape), *count);
  if (*count == 0) {
    return result;
  }
  // Elements are gathered, so every index found a row and the data's
  // extents multiply within 64 bits.
  const auto split = zc::detail::split_at(data.shape, axis);
  for (std::uint64_t block = 0; block < split.outer; ++block) {
    for (const std::uint64_t row : rows) {
      append_run(result, data, (block * split.extent + row) * split.inner, split.inner);
    }
  }
  return result;
}

zc::Result<HostTensor> fold_fill(const HostTensor& value, ShapeView shape, FoldBudget& budget) {
  if (value.elements() != 1) {
    return fail("the fill value has " + std::to_string(value.elements()) + " elements, not 1");
  }
  auto count = budgeted_count(shape, value.type, budget);
  if (!count) {
    return std::unexpected(count.error());
  }
  HostTensor result{value.type, Shape(shape.begin(), shape.end()), {}, {}};
  if (value.is_float()) {
    result.floats.assign(*count, value.floats[0]);
  } else {
    result.integers.assign(*count, value.integers[0]);
  }
  return result;
}

namespace {

// ceil((limit - start) / delta) elements, none when that is negative;
// nothing for a zero or non-finite step.
std::optional<std::uint64_t> float_range_count(double start, double limit, double delta) {
  const double steps = std::ceil((limit - start) / delta);
  if (delta == 0.0 || !std::isfinite(steps)) {
    return std::nullopt;
  }
  return steps <= 0.0      ? 0
         : steps >= 0x1p63 ? std::uint64_t{1} << 63
                           : static_cast<std::uint64_t>(steps);
}

// The same count for 64-bit integers, exactly: a count in double loses the
// last units above 2^53 (Range(2^53 + 1, 2^53 + 3, 1) has 2 elements, not 4).
// The distance is taken as an unsigned difference, which is exact whenever
// it is positive.
std::optional<std::uint64_t> integer_range_count(std::int64_t start, std::int64_t limit,
                                                 std::int64_t delta) {
  if (delta == 0) {
    return std::nullopt;
  }
  if (delta > 0 ? limit <= start : limit >= start) {
    return 0;
  }
  const std::uint64_t distance =
      delta > 0 ? static_cast<std::uint64_t>(limit) - static_cast<std::uint64_t>(start)
                : static_cast<std::uint64_t>(start) - static_cast<std::uint64_t>(limit);
  // |delta| without negating the most negative value.
  const std::uint64_t step =
      delta > 0 ? static_cast<std::uint64_t>(delta) : static_cast<std::uint64_t>(-(delta + 1)) + 1;
  return distance / step + (distance % step != 0 ? 1 : 0);
}

}  // namespace

zc::Result<HostTensor> fold_range(const HostTensor& start, const HostTensor& limit,
                                  const HostTensor& delta, FoldBudget& budget) {
  for (const HostTensor* bound : {&start, &limit, &delta}) {
    if (bound->elements() != 1 || !bound->shape.empty() || bound->type != start.type) {
      return fail("Range needs three scalars of one type");
    }
  }
  const std::optional<std::uint64_t> steps =
      start.is_float()
          ? float_range_count(scalar_value(start), scalar_value(limit), scalar_value(delta))
          : integer_range_count(start.integers[0], limit.integers[0], delta.integers[0]);
  if (!steps) {
    return fail("Range with delta 0 or an unbounded count");
  }
  const std::uint64_t count = std::min(*steps, std::uint64_t{1} << 62);
  if (auto taken = budget.take(count, held_size(start.type),
                               "the Range of " + std::to_string(count) + " elements");
      !taken) {
    return std::unexpected(taken.error());
  }
  if (start.is_float()) {
    std::vector<float> values;
    values.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
      values.push_back(start.floats[0] + static_cast<float>(i) * delta.floats[0]);
    }
    return rounded(HostTensor::of_floats({count}, std::move(values), start.type));
  }
  // Each element steps from the one before: every element lies between start
  // and limit, where a product i * delta may not.
  std::vector<std::int64_t> values;
  values.reserve(count);
  std::int64_t value = start.integers[0];
  for (std::uint64_t i = 0; i < count; ++i) {
    values.push_back(value);
    if (i + 1 < count) {
      const auto next = zc::checked_add(value, delta.integers[0]);
      if (!next) {
        return fail("Range beyond 64 bits");
      }
      value = *next;
    }
  }
  return HostTensor::of_integers(start.type, {count}, std::move(values));
}

}  // namespace zelk_onnx::detail
