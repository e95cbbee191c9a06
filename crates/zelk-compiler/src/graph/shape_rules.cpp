// The shape and element type rules of the operation kinds.
#include "zelk_compiler/detail/shape_rules.hpp"

#include <algorithm>
#include <variant>

#include "overloaded.hpp"
#include "zelk_compiler/checked.hpp"
#include "zelk_compiler/debug.hpp"

namespace zelk_compiler::detail {
namespace {

// The rule `rule` of a kind with one operand.
template <class Rule>
std::optional<Shape> of_one(std::span<const ShapeView> inputs, Rule rule) {
  if (inputs.size() != 1) {
    return std::nullopt;
  }
  return rule(inputs[0]);
}

std::optional<Shape> of_two(std::span<const ShapeView> inputs,
                            std::optional<Shape> (*rule)(ShapeView, ShapeView)) {
  if (inputs.size() != 2) {
    return std::nullopt;
  }
  return rule(inputs[0], inputs[1]);
}

// Whether `kind` computes on integers as well as on floats: the integer
// arithmetic of masks and ids, the kinds that only move elements, and the
// conversion between types.
bool takes_integers(const OpKind& kind) {
  return std::visit(
      Overloaded{
          [](const MatMul&) { return false; },   [](const Add&) { return true; },
          [](const Mul&) { return true; },       [](const Reshape&) { return true; },
          [](const Transpose&) { return true; }, [](const LayerNorm&) { return false; },
          [](const Softmax&) { return false; },  [](const Gelu&) { return false; },
          [](const Sub&) { return true; },       [](const Div&) { return false; },
          [](const Pow&) { return false; },      [](const GeluErf&) { return false; },
          [](const Relu&) { return false; },     [](const Erf&) { return false; },
          [](const Tanh&) { return false; },     [](const Sqrt&) { return false; },
          [](const Exp&) { return false; },      [](const Slice&) { return true; },
          [](const Concat&) { return true; },    [](const ReduceMean&) { return false; },
          [](const Cast&) { return true; },      [](const Sigmoid&) { return false; },
          [](const Gather&) { return false; },
      },
      kind);
}

CompileError type_error(std::string_view name, const std::string& phrase) {
  return CompileError::graph(std::string(name) + phrase);
}

// A gather mixes types: a float table looked up by integer ids.
Result<DType> gather_type(DType table, DType ids, std::string_view name) {
  if (is_float(ids)) {
    return std::unexpected(
        type_error(name, ": gather takes integer ids, not " + debug_string(ids)));
  }
  if (!is_float(table)) {
    return std::unexpected(
        type_error(name, ": gather takes a floating-point table, not " + debug_string(table)));
  }
  return table;
}

}  // namespace

std::string shape_text(ShapeView shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i != 0) {
      text += ", ";
    }
    text += std::to_string(shape[i]);
  }
  text += ']';
  return text;
}

std::optional<Shape> broadcast_shape(ShapeView left, ShapeView right) {
  const std::size_t rank = std::max(left.size(), right.size());
  Shape shape(rank, 1);
  // Axis i counts from the last axis of each shape.
  for (std::size_t i = 0; i < rank; ++i) {
    const std::uint64_t a = i < left.size() ? left[left.size() - 1 - i] : 1;
    const std::uint64_t b = i < right.size() ? right[right.size() - 1 - i] : 1;
    if (a != b && a != 1 && b != 1) {
      return std::nullopt;
    }
    shape[rank - 1 - i] = a == 1 ? b : a;
  }
  return shape;
}

std::optional<Shape> matmul_shape(ShapeView left, ShapeView right) {
  if (left.size() != 2 || right.size() != 2 || left[1] != right[0]) {
    return std::nullopt;
  }
  return Shape{left[0], right[1]};
}

std::optional<Shape> batch_matmul_shape(ShapeView left, ShapeView right) {
  if (left.size() < 2 || right.size() < 2 || left.back() != right[right.size() - 2]) {
    return std::nullopt;
  }
  auto shape = broadcast_shape(left.first(left.size() - 2), right.first(right.size() - 2));
  if (!shape) {
    return std::nullopt;
  }
  shape->push_back(left[left.size() - 2]);
  shape->push_back(right.back());
  return shape;
}

std::optional<Shape> transpose_shape(ShapeView source, ShapeView permutation) {
  const std::size_t rank = source.size();
  if (permutation.size() != rank) {
    return std::nullopt;
  }
  // Each axis below the rank at most once, and as many entries as axes: that
  // makes it a permutation of 0 .. rank - 1.
  std::vector<bool> seen(rank, false);
  Shape shape;
  shape.reserve(rank);
  for (const std::uint64_t axis : permutation) {
    if (axis >= rank || seen[axis]) {
      return std::nullopt;
    }
    seen[axis] = true;
    shape.push_back(source[axis]);
  }
  return shape;
}

bool reshape_fits(ShapeView from, ShapeView to) {
  const auto before = checked_product(from);
  const auto after = checked_product(to);
  return before && after && *before == *after;
}

bool axis_fits(ShapeView shape, std::uint64_t axis) { return axis < shape.size(); }

bool layer_norm_parameters_fit(ShapeView input, ShapeView gain, ShapeView bias) {
  if (input.empty()) {
    return false;
  }
  const std::uint64_t last = input.back();
  const auto is_row = [last](ShapeView shape) { return shape.size() == 1 && shape[0] == last; };
  return is_row(gain) && is_row(bias);
}

std::optional<Shape> slice_shape(ShapeView source, std::uint64_t axis, std::uint64_t start,
                                 std::uint64_t end) {
  if (!axis_fits(source, axis) || start >= end || end > source[axis]) {
    return std::nullopt;
  }
  Shape shape(source.begin(), source.end());
  shape[axis] = end - start;
  return shape;
}

ConcatFit concat_shape(std::span<const ShapeView> inputs, std::uint64_t axis) {
  if (inputs.empty() || !axis_fits(inputs[0], axis)) {
    return {};
  }
  Shape shape(inputs[0].begin(), inputs[0].end());
  for (std::size_t i = 1; i < inputs.size(); ++i) {
    const ShapeView other = inputs[i];
    bool fits = other.size() == shape.size();
    for (std::size_t a = 0; fits && a < shape.size(); ++a) {
      fits = a == axis || other[a] == shape[a];
    }
    const auto sum = fits ? checked_add(shape[axis], other[axis]) : std::nullopt;
    if (!sum) {
      return {.shape = std::nullopt, .misfit = i, .overflow = fits};
    }
    shape[axis] = *sum;
  }
  return {.shape = std::move(shape), .misfit = 0, .overflow = false};
}

std::optional<Shape> reduce_shape(ShapeView source, std::uint64_t axis) {
  if (!axis_fits(source, axis)) {
    return std::nullopt;
  }
  Shape shape(source.begin(), source.end());
  shape[axis] = 1;
  return shape;
}

std::optional<Shape> gather_shape(ShapeView table, ShapeView ids) {
  if (table.size() != 2) {
    return std::nullopt;
  }
  Shape shape(ids.begin(), ids.end());
  shape.push_back(table[1]);
  return shape;
}

std::optional<Shape> output_shape(const OpKind& kind, std::span<const ShapeView> inputs) {
  const auto broadcast = [&](const auto&) { return of_two(inputs, broadcast_shape); };
  const auto same = [&](const auto&) {
    return of_one(inputs, [](ShapeView input) { return Shape(input.begin(), input.end()); });
  };
  // The operand's own shape, when `fits` accepts it.
  const auto same_if = [&](auto fits) {
    return of_one(inputs, [&](ShapeView input) -> std::optional<Shape> {
      if (!fits(input)) {
        return std::nullopt;
      }
      return Shape(input.begin(), input.end());
    });
  };
  return std::visit(
      Overloaded{
          [&](const MatMul&) { return of_two(inputs, batch_matmul_shape); },
          [&](const Add& add) { return broadcast(add); },
          [&](const Mul& mul) { return broadcast(mul); },
          [&](const Reshape& reshape) {
            return of_one(inputs, [&](ShapeView input) -> std::optional<Shape> {
              if (!reshape_fits(input, reshape.shape)) {
                return std::nullopt;
              }
              return reshape.shape;
            });
          },
          [&](const Transpose& transpose) {
            return of_one(inputs, [&](ShapeView input) {
              return transpose_shape(input, transpose.permutation);
            });
          },
          [&](const LayerNorm& norm) -> std::optional<Shape> {
            if (inputs.size() == 3 && layer_norm_parameters_fit(inputs[0], inputs[1], inputs[2])) {
              return Shape(inputs[0].begin(), inputs[0].end());
            }
            return same(norm);
          },
          [&](const Softmax& softmax) {
            return same_if([&](ShapeView input) { return axis_fits(input, softmax.axis); });
          },
          [&](const Gelu& gelu) { return same(gelu); },
          [&](const Sub& sub) { return broadcast(sub); },
          [&](const Div& div) { return broadcast(div); },
          [&](const Pow& pow) { return broadcast(pow); },
          [&](const GeluErf& gelu) { return same(gelu); },
          [&](const Relu& relu) { return same(relu); },
          [&](const Erf& erf) { return same(erf); },
          [&](const Tanh& tanh) { return same(tanh); },
          [&](const Sqrt& sqrt) { return same(sqrt); },
          [&](const Exp& exp) { return same(exp); },
          [&](const Slice& slice) {
            return of_one(inputs, [&](ShapeView input) {
              return slice_shape(input, slice.axis, slice.start, slice.end);
            });
          },
          [&](const Concat& concat) { return concat_shape(inputs, concat.axis).shape; },
          [&](const ReduceMean& reduce) {
            return of_one(inputs,
                          [&](ShapeView input) { return reduce_shape(input, reduce.axis); });
          },
          [&](const Cast& cast) { return same(cast); },
          [&](const Sigmoid& sigmoid) { return same(sigmoid); },
          [&](const Gather&) { return of_two(inputs, gather_shape); },
      },
      kind);
}

Result<DType> output_type(const OpKind& kind, std::span<const DType> inputs,
                          std::string_view name) {
  if (const auto* cast = std::get_if<Cast>(&kind)) {
    if (!is_element_type(cast->to)) {
      return std::unexpected(type_error(name, ": cast to an unknown element type"));
    }
    return cast->to;
  }
  if (std::holds_alternative<Gather>(kind) && inputs.size() == 2) {
    return gather_type(inputs[0], inputs[1], name);
  }
  if (inputs.empty()) {
    return DType::F32;
  }
  const DType first = inputs[0];
  for (const DType other : inputs.subspan(1)) {
    if (other != first) {
      return std::unexpected(type_error(
          name, ": mixed input types " + debug_string(first) + " and " + debug_string(other)));
    }
  }
  if (!is_float(first) && !takes_integers(kind)) {
    return std::unexpected(type_error(name, ": " + std::string(operation_name(kind)) +
                                                " takes floating-point inputs, not " +
                                                debug_string(first)));
  }
  return first;
}

}  // namespace zelk_compiler::detail
