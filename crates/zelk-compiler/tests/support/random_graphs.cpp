// Random graph and option generation for tests.
#include "support/random_graphs.hpp"

#include <algorithm>
#include <numeric>
#include <string>

namespace zelk_compiler::test_support {
namespace {

using Shape = std::vector<std::uint64_t>;

Shape random_shape(Random& random, std::uint64_t rank, std::uint64_t max_extent) {
  Shape shape;
  for (std::uint64_t i = 0; i < rank; ++i) {
    shape.push_back(random.chance(20) ? 1 : random.between(1, max_extent));
  }
  return shape;
}

TensorId pick(Random& random, const Graph& graph) {
  return TensorId{random.between(0, graph.tensors.size() - 1)};
}

// Adds one operation reading existing tensors; returns false when the
// chosen kind found no fitting operand (nothing is added then).
bool add_operation(Random& random, Graph& graph, const GraphShape& limits) {
  const std::string name = numbered("op", graph.ops.size());
  const TensorId x = pick(random, graph);
  const Shape shape = graph.tensors[x.index].shape;
  const DType dtype = limits.dtype;
  switch (random.between(0, dtype == DType::F32 ? 14 : 16)) {
    case 0:
      return graph.gelu(name, x).has_value();
    case 1:
      return graph.layer_norm(name, x, 1e-5F).has_value();
    case 2:
      return graph.softmax(name, x, random.between(0, shape.size() - 1)).has_value();
    case 3: {
      Shape permutation(shape.size());
      std::iota(permutation.begin(), permutation.end(), 0);
      for (std::size_t i = permutation.size(); i > 1; --i) {
        std::swap(permutation[i - 1], permutation[random.between(0, i - 1)]);
      }
      return graph.transpose(name, x, permutation).has_value();
    }
    case 4: {
      // Another tensor of the same shape, or the operand itself.
      std::vector<TensorId> same;
      for (const Tensor& t : graph.tensors) {
        if (t.shape == shape) same.push_back(t.id);
      }
      const TensorId y = same[random.between(0, same.size() - 1)];
      return random.chance(50) ? graph.add(name, x, y).has_value()
                               : graph.binary(name, Mul{}, x, y).has_value();
    }
    case 5: {
      if (shape.size() != 2) return false;
      const TensorId w = graph.weight(numbered("w", graph.tensors.size()),
                                      {shape[1], random.between(1, limits.max_extent)}, dtype);
      return graph.matmul(name, x, w).has_value();
    }
    case 6: {
      // Flatten, or split the first extent off.
      std::uint64_t count = 1;
      for (const auto e : shape) count *= e;
      Shape target =
          random.chance(50) || shape.size() < 2 ? Shape{count} : Shape{shape[0], count / shape[0]};
      return graph.op(name, Reshape{target}, {x}, target).has_value();
    }
    case 8: {
      // A weight that broadcasts: x's trailing axes, some of them 1.
      Shape tail(shape.begin() + static_cast<std::ptrdiff_t>(random.between(0, shape.size() - 1)),
                 shape.end());
      for (auto& extent : tail) {
        if (random.chance(30)) extent = 1;
      }
      const TensorId w = graph.weight(numbered("w", graph.tensors.size()), tail, dtype);
      const OpKind kinds[] = {Add{}, Mul{}, Sub{}, Div{}, Pow{}};
      const OpKind& kind = kinds[random.between(0, 4)];
      return random.chance(50) ? graph.elementwise(name, kind, x, w).has_value()
                               : graph.elementwise(name, kind, w, x).has_value();
    }
    case 9: {
      if (shape.size() < 2) return false;
      const TensorId w = graph.weight(numbered("w", graph.tensors.size()),
                                      {shape.back(), random.between(1, limits.max_extent)}, dtype);
      return graph.batch_matmul(name, x, w).has_value();
    }
    case 10: {
      const TensorId gain =
          graph.weight(numbered("g", graph.tensors.size()), {shape.back()}, dtype);
      const TensorId bias =
          graph.weight(numbered("b", graph.tensors.size()), {shape.back()}, dtype);
      return graph.layer_norm(name, x, gain, bias, 1e-5F).has_value();
    }
    case 11: {
      const OpKind kinds[] = {GeluErf{}, Relu{}, Erf{}, Tanh{}, Sqrt{}, Exp{}};
      return graph.unary(name, kinds[random.between(0, 5)], x).has_value();
    }
    case 12: {
      const std::uint64_t axis = random.between(0, shape.size() - 1);
      const std::uint64_t start = random.between(0, shape[axis] - 1);
      return graph.slice(name, x, axis, start, random.between(start + 1, shape[axis])).has_value();
    }
    case 13: {
      std::vector<TensorId> parts(random.between(1, 3), x);
      return graph.concat(name, parts, random.between(0, shape.size() - 1)).has_value();
    }
    case 14:
      return graph.reduce_mean(name, x, random.between(0, shape.size() - 1)).has_value();
    case 15:
      return graph.unary(name, Sigmoid{}, x).has_value();
    case 16: {
      // Through another type and back: another float type for float
      // graphs, any type for integer ones.
      const DType others[] = {DType::F32, DType::F16, DType::BF16, DType::I32, DType::I64};
      const auto there =
          graph.cast(name + "c", x, others[random.between(0, is_float(dtype) ? 2 : 4)]);
      return there && graph.cast(name, *there, dtype).has_value();
    }
    default: {
      // A wider result from a narrow input, as a raw operation.
      if (!limits.misfits) return false;
      Shape wider = shape;
      wider[0] *= random.between(2, 8);
      return graph.op(name, Gelu{}, {x}, wider).has_value();
    }
  }
}

}  // namespace

Graph random_graph(Random& random, const GraphShape& limits) {
  Graph graph;
  const std::uint64_t sources = random.between(1, 3);
  for (std::uint64_t i = 0; i < sources; ++i) {
    const Shape shape = random_shape(random, random.between(1, 3), limits.max_extent);
    const std::string name = numbered("in", i);
    (void)(random.chance(60) ? graph.input(name, shape, limits.dtype)
                             : graph.weight(name, shape, limits.dtype));
  }
  const std::uint64_t ops = random.between(1, limits.max_ops);
  for (std::uint64_t attempt = 0; graph.ops.size() < ops && attempt < ops * 4; ++attempt) {
    (void)add_operation(random, graph, limits);
  }
  const std::uint64_t outputs = random.between(1, 3);
  for (std::uint64_t i = 0; i < outputs; ++i) {
    // Prefer late tensors, so that some early results stay unread.
    const std::uint64_t last = graph.tensors.size() - 1;
    graph.mark_output(TensorId{random.chance(70) ? last - std::min<std::uint64_t>(last, i)
                                                 : random.between(0, last)});
  }
  return graph;
}

CompilerOptions random_options(Random& random, std::uint16_t max_tiles) {
  CompilerOptions options;
  options.tile_count = static_cast<std::uint16_t>(random.between(1, max_tiles));
  const std::uint64_t window =
      random.chance(30) ? random.between(16, 4096) : random.between(4096, 1U << 20U);
  if (random.chance(10)) {
    // At the top of the address space: candidates may overflow 32 bits.
    options.data_limit = 0xFFFFFFFFU - static_cast<std::uint32_t>(random.between(0, 15));
    options.data_base = options.data_limit - static_cast<std::uint32_t>(window);
    return options;
  }
  std::uint64_t base = random.between(0, 1U << 20U);
  if (random.chance(60)) base &= ~std::uint64_t{15};
  options.data_base = static_cast<std::uint32_t>(base);
  options.data_limit = static_cast<std::uint32_t>(base + window);
  return options;
}

}  // namespace zelk_compiler::test_support
