// The vectorised loops of the host reference kernels, compiled once per
// instruction set.
//
// Everything below an entry point (`run_avx512`, `run_avx2`, `run_baseline`)
// is forced inline into it, so each copy is compiled for its own instruction
// set: explicit vectors where one vector holds several independent sums, and
// plain element-wise loops that the compiler vectorises. The library builds
// with -ffp-contract=off, so no multiply and add are ever fused.
#include "encoder/vector_kernels.hpp"

#include "encoder/vector_exp.hpp"
#include "encoder/vector_math.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <string_view>
#include <variant>
#include <vector>

namespace zelk_compiler::detail {
namespace {

using Float4 = float __attribute__((vector_size(16)));
using Float8 = float __attribute__((vector_size(32)));
using Float16 = float __attribute__((vector_size(64)));

template <class Vector>
inline constexpr std::uint64_t lanes_of = sizeof(Vector) / sizeof(float);

// How one instruction set blocks a matrix product. A micro-tile of
// `tile_rows` rows by `tile_vectors` vectors of columns keeps its running sums
// in registers while k advances; `depth_block` k steps of `column_block`
// columns of the right operand, and `row_block` rows of the left one, are
// packed so that they stay in cache while they are reused. The tiles fit the
// register file: 16 registers for SSE2 and AVX2, 32 for AVX-512.
//
// What limits the product: each step of k costs a multiply and a separate
// add per vector of sums, where a fused multiply-add kernel issues one
// instruction. Multiplies and adds issue on different pipes, so the
// arithmetic alone can keep pace with fused kernels, but the instructions,
// and the loads of the right operand's vectors (the sums take the registers
// that would hold them), fill the issue and load slots nearly as soon. With
// AVX2 a 3 x 4 tile (12 sums, 32 columns) over 384 k steps of 48 rows
// measured fastest on an AMD EPYC of the first Zen generation, whose 256-bit
// instructions run as two halves: about 0.8 x OpenBLAS's fused kernel there,
// against 0.7 x for the 6 x 2 tile it replaced.
//
// Each left value is packed `row_copies` times, one copy for each multiply
// that reads it. With AVX-512 a multiply can then take its operand straight
// from memory, broadcast on the way in; reading one copy for all the
// multiplies makes the compiler broadcast it into a register first, which on
// some processors costs a vector slot that the multiplies and adds need.
template <class VectorType, std::uint64_t rows, std::uint64_t vectors, std::uint64_t copies,
          std::uint64_t depth, std::uint64_t row_count, std::uint64_t column_count>
struct BlockShape {
  using Vector = VectorType;
  static constexpr std::uint64_t tile_rows = rows;
  static constexpr std::uint64_t tile_vectors = vectors;
  static constexpr std::uint64_t row_copies = copies;
  static constexpr std::uint64_t depth_block = depth;
  static constexpr std::uint64_t row_block = row_count;
  static constexpr std::uint64_t column_block = column_count;
};

// What each instruction set's copy of the loops is built from: the blocking
// of the matrix product, the vector of rows that layer_norm sums side by
// side, and how many values expf and tanhf take at once (0: the C library,
// one value at a time). Eight rows measure fastest in layer_norm even with
// AVX-512: the rows are gathered lane by lane, and wider vectors cost more to
// assemble. The baseline set keeps the C library's expf and tanhf: its
// processors are not where the exhaustive comparison runs.
template <class ProductShape, class RowVectorType, std::uint64_t math_lane_count>
struct IsaLoops {
  using Product = ProductShape;
  using RowVector = RowVectorType;
  static constexpr std::uint64_t math_lanes = math_lane_count;
};

using BaselineLoops = IsaLoops<BlockShape<Float4, 6, 2, 1, 256, 96, 512>, Float4, 0>;
using Avx2Loops = IsaLoops<BlockShape<Float8, 3, 4, 1, 384, 48, 1024>, Float8, 8>;
using Avx512Loops = IsaLoops<BlockShape<Float16, 6, 4, 4, 128, 96, 1024>, Float8, 16>;

template <class Vector>
[[gnu::always_inline]] inline void load(Vector& vector, const float* from) {
  std::memcpy(&vector, from, sizeof vector);
}

template <class Vector>
[[gnu::always_inline]] inline void store(float* to, const Vector& vector) {
  std::memcpy(to, &vector, sizeof vector);
}

// Every lane set to `value`, with no arithmetic that could touch its sign.
template <class Vector>
[[gnu::always_inline]] inline void splat(Vector& vector, float value) {
  for (std::uint64_t lane = 0; lane < lanes_of<Vector>; ++lane) {
    vector[lane] = value;
  }
}

// ---------------------------------------------------------------------------
// Matrix product

struct ProductJob {
  MatrixView left;
  MatrixView right;
  OutputMatrix output;
  std::uint64_t rows;
  std::uint64_t inner;
  std::uint64_t columns;
};

// One full micro-tile: the sums (r, c) for the tile's rows and columns over
// `depth` steps of k, each lane of `sum` one output element's running sum.
// `left` holds the rows' values k-major, each value `row_copies` times
// (left[(k * tile_rows + r) * row_copies + copy]), `right` the columns' values
// k-major. The sums start at +0.0 when `fresh`, and otherwise carry on from
// what `sums` holds: a k panel continues every sum exactly where the previous
// panel left it.
template <class Shape>
[[gnu::always_inline]] inline void multiply_tile(std::uint64_t depth, const float* left,
                                                 const float* right, float* sums,
                                                 std::uint64_t sums_stride, bool fresh) {
  using Vector = typename Shape::Vector;
  constexpr std::uint64_t rows = Shape::tile_rows;
  constexpr std::uint64_t vectors = Shape::tile_vectors;
  constexpr std::uint64_t copies = Shape::row_copies;
  constexpr std::uint64_t lanes = lanes_of<Vector>;
  constexpr std::uint64_t width = vectors * lanes;

  Vector sum[rows][vectors];
#pragma GCC unroll 16
  for (std::uint64_t r = 0; r < rows; ++r) {
#pragma GCC unroll 16
    for (std::uint64_t v = 0; v < vectors; ++v) {
      if (fresh) {
        sum[r][v] = Vector{};
      } else {
        load(sum[r][v], sums + r * sums_stride + v * lanes);
      }
    }
  }
  for (std::uint64_t k = 0; k < depth; ++k) {
    Vector column_values[vectors];
#pragma GCC unroll 16
    for (std::uint64_t v = 0; v < vectors; ++v) {
      load(column_values[v], right + k * width + v * lanes);
    }
#pragma GCC unroll 16
    for (std::uint64_t r = 0; r < rows; ++r) {
#pragma GCC unroll 16
      for (std::uint64_t v = 0; v < vectors; ++v) {
        const float row_value = left[(k * rows + r) * copies + v % copies];
        // The product is rounded, then added: p + sum.
        const Vector product = row_value * column_values[v];
        sum[r][v] = product + sum[r][v];
      }
    }
  }
#pragma GCC unroll 16
  for (std::uint64_t r = 0; r < rows; ++r) {
#pragma GCC unroll 16
    for (std::uint64_t v = 0; v < vectors; ++v) {
      store(sums + r * sums_stride + v * lanes, sum[r][v]);
    }
  }
}

// A micro-tile cut short by the edge of the result: the tile runs in full on
// a scratch copy, and only its `rows` x `columns` corner is written back.
template <class Shape>
[[gnu::always_inline]] inline void multiply_edge_tile(std::uint64_t depth, const float* left,
                                                      const float* right, float* output,
                                                      std::uint64_t output_stride,
                                                      std::uint64_t rows, std::uint64_t columns,
                                                      bool fresh) {
  constexpr std::uint64_t width = Shape::tile_vectors * lanes_of<typename Shape::Vector>;
  float sums[Shape::tile_rows * width] = {};
  if (!fresh) {
    for (std::uint64_t r = 0; r < rows; ++r) {
      std::memcpy(sums + r * width, output + r * output_stride, columns * sizeof(float));
    }
  }
  multiply_tile<Shape>(depth, left, right, sums, width, fresh);
  for (std::uint64_t r = 0; r < rows; ++r) {
    std::memcpy(output + r * output_stride, sums + r * width, columns * sizeof(float));
  }
}

// Scratch floats starting on a cache line, so that no vector load from a
// packed panel straddles two lines.
class AlignedScratch {
 public:
  explicit AlignedScratch(std::uint64_t count) : storage_(count + line_floats) {
    void* start = storage_.data();
    std::size_t space = storage_.size() * sizeof(float);
    data_ = static_cast<float*>(std::align(line_bytes, count * sizeof(float), start, space));
  }

  [[nodiscard]] float* data() { return data_; }

 private:
  static constexpr std::size_t line_bytes = 64;
  static constexpr std::size_t line_floats = line_bytes / sizeof(float);
  std::vector<float> storage_;
  float* data_;
};

// Copies right(k0 + k, c0 + c) for k < depth, c < columns into panels of one
// tile width each, k-major, padding the last panel's missing columns with 0.
template <class Shape>
[[gnu::always_inline]] inline void pack_right(MatrixView right, std::uint64_t k0,
                                              std::uint64_t depth, std::uint64_t c0,
                                              std::uint64_t columns, float* packed) {
  constexpr std::uint64_t width = Shape::tile_vectors * lanes_of<typename Shape::Vector>;
  for (std::uint64_t panel = 0; panel < columns; panel += width) {
    const std::uint64_t count = std::min(width, columns - panel);
    float* to = packed + panel * depth;
    for (std::uint64_t k = 0; k < depth; ++k) {
      const float* from =
          right.data + (k0 + k) * right.row_stride + (c0 + panel) * right.column_stride;
      float* row = to + k * width;
      // A plain loop rather than memcpy: the rows are short, and the string
      // copy a memcpy of unknown length turns into costs more to start.
      if (right.column_stride == 1) {
        for (std::uint64_t c = 0; c < count; ++c) {
          row[c] = from[c];
        }
      } else {
        for (std::uint64_t c = 0; c < count; ++c) {
          row[c] = from[c * right.column_stride];
        }
      }
      std::fill(row + count, row + width, 0.0F);
    }
  }
}

// Copies left(r0 + r, k0 + k) for r < rows, k < depth into panels of one tile
// height each, k-major, each value `row_copies` times, padding the last
// panel's missing rows with 0.
template <class Shape>
[[gnu::always_inline]] inline void pack_left(MatrixView left, std::uint64_t r0, std::uint64_t rows,
                                             std::uint64_t k0, std::uint64_t depth, float* packed) {
  constexpr std::uint64_t height = Shape::tile_rows;
  constexpr std::uint64_t copies = Shape::row_copies;
  for (std::uint64_t panel = 0; panel < rows; panel += height) {
    const std::uint64_t count = std::min(height, rows - panel);
    // One pointer per row of the panel, null for the padding rows; the
    // panel is then written in order, k after k.
    const float* from[height] = {};
    for (std::uint64_t r = 0; r < count; ++r) {
      from[r] = left.data + (r0 + panel + r) * left.row_stride + k0 * left.column_stride;
    }
    float* to = packed + panel * depth * copies;
    for (std::uint64_t k = 0; k < depth; ++k) {
      for (std::uint64_t r = 0; r < height; ++r) {
        const float value = from[r] != nullptr ? from[r][k * left.column_stride] : 0.0F;
        for (std::uint64_t copy = 0; copy < copies; ++copy) {
          to[(k * height + r) * copies + copy] = value;
        }
      }
    }
  }
}

// The blocked product. For each block of columns the k panels run in
// ascending order, and every tile of a panel carries its sums on from the
// previous panel, so each output element still adds its products one by one
// in ascending k.
template <class Shape>
[[gnu::always_inline]] inline void multiply_blocked(const ProductJob& job) {
  constexpr std::uint64_t height = Shape::tile_rows;
  constexpr std::uint64_t width = Shape::tile_vectors * lanes_of<typename Shape::Vector>;
  if (job.rows == 0 || job.columns == 0) {
    return;
  }
  if (job.inner == 0) {
    for (std::uint64_t r = 0; r < job.rows; ++r) {
      float* row = job.output.data + r * job.output.row_stride;
      std::fill(row, row + job.columns, 0.0F);
    }
    return;
  }

  const auto round_up = [](std::uint64_t value, std::uint64_t step) {
    return (value + step - 1) / step * step;
  };
  const std::uint64_t depth_block = std::min(job.inner, Shape::depth_block);
  const std::uint64_t column_block = round_up(std::min(job.columns, Shape::column_block), width);
  const std::uint64_t row_block = round_up(std::min(job.rows, Shape::row_block), height);
  AlignedScratch packed_right(depth_block * column_block);
  AlignedScratch packed_left(row_block * depth_block * Shape::row_copies);

  for (std::uint64_t c0 = 0; c0 < job.columns; c0 += Shape::column_block) {
    const std::uint64_t columns = std::min(Shape::column_block, job.columns - c0);
    for (std::uint64_t k0 = 0; k0 < job.inner; k0 += Shape::depth_block) {
      const std::uint64_t depth = std::min(Shape::depth_block, job.inner - k0);
      const bool fresh = k0 == 0;
      pack_right<Shape>(job.right, k0, depth, c0, columns, packed_right.data());
      for (std::uint64_t r0 = 0; r0 < job.rows; r0 += Shape::row_block) {
        const std::uint64_t rows = std::min(Shape::row_block, job.rows - r0);
        pack_left<Shape>(job.left, r0, rows, k0, depth, packed_left.data());
        for (std::uint64_t tile_column = 0; tile_column < columns; tile_column += width) {
          const float* right = packed_right.data() + tile_column * depth;
          const std::uint64_t tile_columns = std::min(width, columns - tile_column);
          for (std::uint64_t tile_row = 0; tile_row < rows; tile_row += height) {
            const float* left = packed_left.data() + tile_row * depth * Shape::row_copies;
            const std::uint64_t tile_rows = std::min(height, rows - tile_row);
            float* output =
                job.output.data + (r0 + tile_row) * job.output.row_stride + c0 + tile_column;
            if (tile_rows == height && tile_columns == width) {
              multiply_tile<Shape>(depth, left, right, output, job.output.row_stride, fresh);
            } else {
              multiply_edge_tile<Shape>(depth, left, right, output, job.output.row_stride,
                                        tile_rows, tile_columns, fresh);
            }
          }
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Row-wise standardisation

struct StandardiseJob {
  const float* input;
  float* output;
  std::uint64_t rows;
  std::uint64_t columns;
  float epsilon;
};

// Column `c` of the rows `row_of`, one row per lane.
template <class Vector>
[[gnu::always_inline]] inline void gather_column(Vector& value, const float* const* row_of,
                                                 std::uint64_t c) {
  for (std::uint64_t lane = 0; lane < lanes_of<Vector>; ++lane) {
    value[lane] = row_of[lane][c];
  }
}

// A vector of rows at a time: lane j carries row j's sums, which run over the
// columns in position order exactly as the one-row loop does. Lanes past the
// last row repeat it, and their results are dropped.
template <class Vector>
[[gnu::always_inline]] inline void standardise(const StandardiseJob& job) {
  constexpr std::uint64_t lanes = lanes_of<Vector>;
  const float width = static_cast<float>(job.columns);

  for (std::uint64_t r0 = 0; r0 < job.rows; r0 += lanes) {
    const std::uint64_t rows = std::min(lanes, job.rows - r0);
    const float* first = job.input + r0 * job.columns;
    const float* row_of[lanes];
    for (std::uint64_t lane = 0; lane < lanes; ++lane) {
      row_of[lane] = first + std::min(lane, rows - 1) * job.columns;
    }

    Vector sum;
    splat(sum, -0.0F);
    for (std::uint64_t c = 0; c < job.columns; ++c) {
      Vector value;
      gather_column(value, row_of, c);
      sum = sum + value;
    }
    const Vector mean = sum / width;

    Vector squares;
    splat(squares, -0.0F);
    for (std::uint64_t c = 0; c < job.columns; ++c) {
      Vector value;
      gather_column(value, row_of, c);
      const Vector difference = value - mean;
      const Vector square = difference * difference;
      squares = squares + square;
    }
    const Vector variance = squares / width;
    const Vector shifted = variance + job.epsilon;

    float means[lanes];
    float shifts[lanes];
    store(means, mean);
    store(shifts, shifted);
    for (std::uint64_t lane = 0; lane < rows; ++lane) {
      const float root = std::sqrt(shifts[lane]);
      const float scale = 1.0F / root;
      const float* values = row_of[lane];
      float* output = job.output + (r0 + lane) * job.columns;
      for (std::uint64_t c = 0; c < job.columns; ++c) {
        const float difference = values[c] - means[lane];
        output[c] = difference * scale;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Softmax, GELU, exp, tanh and division

struct SoftmaxJob {
  float* values;
  std::uint64_t rows;
  std::uint64_t columns;
};

struct GeluJob {
  float* values;
  std::uint64_t count;
};

struct ExpJob {
  float* values;
  std::uint64_t count;
};

struct TanhJob {
  float* values;
  std::uint64_t count;
};

struct DivideJob {
  float* values;
  std::uint64_t count;
  float divisor;
};

// expf of every value in place: `lanes` at a time, or the C library's one by
// one when `lanes` is 0.
template <std::uint64_t lanes>
[[gnu::always_inline]] inline void exp_all(float* values, std::uint64_t count) {
  if constexpr (lanes == 0) {
    for (std::uint64_t i = 0; i < count; ++i) {
      values[i] = ::expf(values[i]);
    }
  } else {
    exp_each_vector(values, count);
  }
}

template <std::uint64_t lanes>
[[gnu::always_inline]] inline void tanh_all(float* values, std::uint64_t count) {
  if constexpr (lanes == 0) {
    for (std::uint64_t i = 0; i < count; ++i) {
      values[i] = ::tanhf(values[i]);
    }
  } else {
    vector_math::tanh_each<lanes>(values, count);
  }
}

// The largest value of a row; a NaN entry compares false and is passed over.
// Independent running maxima side by side, then the largest of them: taking
// the larger of two values is exact, so the grouping cannot change it (only
// which of +0 and -0 wins a tie, and subtracting either gives the same
// exponentials).
[[gnu::always_inline]] inline float row_maximum(const float* entries, std::uint64_t columns) {
  constexpr std::uint64_t ways = 8;
  float maxima[ways];
  std::fill(maxima, maxima + ways, -std::numeric_limits<float>::infinity());
  std::uint64_t c = 0;
  for (; c + ways <= columns; c += ways) {
    for (std::uint64_t way = 0; way < ways; ++way) {
      maxima[way] = entries[c + way] > maxima[way] ? entries[c + way] : maxima[way];
    }
  }
  for (; c < columns; ++c) {
    maxima[0] = entries[c] > maxima[0] ? entries[c] : maxima[0];
  }
  float maximum = maxima[0];
  for (std::uint64_t way = 1; way < ways; ++way) {
    maximum = maxima[way] > maximum ? maxima[way] : maximum;
  }
  return maximum;
}

// Each row's total still adds its exponentials one by one in column order;
// a block of rows keeps its totals side by side so that the additions of
// different rows overlap.
template <std::uint64_t lanes>
[[gnu::always_inline]] inline void softmax(const SoftmaxJob& job) {
  constexpr std::uint64_t block = 8;
  for (std::uint64_t first = 0; first < job.rows; first += block) {
    const std::uint64_t rows = std::min(block, job.rows - first);
    float* block_values = job.values + first * job.columns;
    for (std::uint64_t row = 0; row < rows; ++row) {
      float* entries = block_values + row * job.columns;
      const float maximum = row_maximum(entries, job.columns);
      for (std::uint64_t c = 0; c < job.columns; ++c) {
        entries[c] = entries[c] - maximum;
      }
      exp_all<lanes>(entries, job.columns);
    }
    float totals[block] = {};
    if (rows == block) {
      for (std::uint64_t c = 0; c < job.columns; ++c) {
        for (std::uint64_t row = 0; row < block; ++row) {
          totals[row] = block_values[row * job.columns + c] + totals[row];
        }
      }
    } else {
      for (std::uint64_t row = 0; row < rows; ++row) {
        for (std::uint64_t c = 0; c < job.columns; ++c) {
          totals[row] = block_values[row * job.columns + c] + totals[row];
        }
      }
    }
    for (std::uint64_t row = 0; row < rows; ++row) {
      float* entries = block_values + row * job.columns;
      for (std::uint64_t c = 0; c < job.columns; ++c) {
        entries[c] = entries[c] / totals[row];
      }
    }
  }
}

template <std::uint64_t lanes>
[[gnu::always_inline]] inline void gelu_all(const GeluJob& job) {
  constexpr std::uint64_t chunk = 256;
  float halves[chunk];
  float arguments[chunk];
  for (std::uint64_t start = 0; start < job.count; start += chunk) {
    const std::uint64_t count = std::min(chunk, job.count - start);
    float* values = job.values + start;
    for (std::uint64_t i = 0; i < count; ++i) {
      halves[i] = gelu_half(values[i]);
      arguments[i] = gelu_tanh_argument(values[i]);
    }
    tanh_all<lanes>(arguments, count);
    for (std::uint64_t i = 0; i < count; ++i) {
      values[i] = gelu_from_tanh(halves[i], arguments[i]);
    }
  }
}

[[gnu::always_inline]] inline void divide_all(const DivideJob& job) {
  for (std::uint64_t i = 0; i < job.count; ++i) {
    job.values[i] = job.values[i] / job.divisor;
  }
}

// ---------------------------------------------------------------------------
// One entry point per instruction set.

using Job =
    std::variant<ProductJob, StandardiseJob, SoftmaxJob, GeluJob, ExpJob, TanhJob, DivideJob>;

template <class Loops>
[[gnu::always_inline]] inline void run(const Job& job) {
  if (const auto* product = std::get_if<ProductJob>(&job)) {
    multiply_blocked<typename Loops::Product>(*product);
  } else if (const auto* standardise_job = std::get_if<StandardiseJob>(&job)) {
    standardise<typename Loops::RowVector>(*standardise_job);
  } else if (const auto* softmax_job = std::get_if<SoftmaxJob>(&job)) {
    softmax<Loops::math_lanes>(*softmax_job);
  } else if (const auto* gelu_job = std::get_if<GeluJob>(&job)) {
    gelu_all<Loops::math_lanes>(*gelu_job);
  } else if (const auto* exp_job = std::get_if<ExpJob>(&job)) {
    exp_all<Loops::math_lanes>(exp_job->values, exp_job->count);
  } else if (const auto* tanh_job = std::get_if<TanhJob>(&job)) {
    tanh_all<Loops::math_lanes>(tanh_job->values, tanh_job->count);
  } else if (const auto* divide_job = std::get_if<DivideJob>(&job)) {
    divide_all(*divide_job);
  }
}

#if defined(__x86_64__)
[[gnu::target("avx512f")]] void run_avx512(const Job& job) { run<Avx512Loops>(job); }
[[gnu::target("avx2")]] void run_avx2(const Job& job) { run<Avx2Loops>(job); }
#endif
void run_baseline(const Job& job) { run<BaselineLoops>(job); }

void run_on(VectorIsa isa, const Job& job) {
  if (!vector_isa_available(isa)) {
    throw std::invalid_argument("vector instruction set not available on this processor");
  }
  switch (isa) {
#if defined(__x86_64__)
    case VectorIsa::avx512:
      run_avx512(job);
      return;
    case VectorIsa::avx2:
      run_avx2(job);
      return;
#endif
    default:
      run_baseline(job);
      return;
  }
}

}  // namespace

bool vector_isa_available(VectorIsa isa) noexcept {
  switch (isa) {
    case VectorIsa::baseline:
      return true;
#if defined(__x86_64__)
    // The builtin is int under g++ and bool under clang.
    case VectorIsa::avx2:
      // NOLINTNEXTLINE(readability-implicit-bool-conversion)
      return __builtin_cpu_supports("avx2") != 0;
    case VectorIsa::avx512:
      // NOLINTNEXTLINE(readability-implicit-bool-conversion)
      return __builtin_cpu_supports("avx512f") != 0;
#endif
    default:
      return false;
  }
}

VectorIsa widest_vector_isa() noexcept {
  for (const VectorIsa isa : {VectorIsa::avx512, VectorIsa::avx2}) {
    if (vector_isa_available(isa)) {
      return isa;
    }
  }
  return VectorIsa::baseline;
}

std::string_view vector_isa_name(VectorIsa isa) noexcept {
  switch (isa) {
    case VectorIsa::baseline:
      return "baseline";
    case VectorIsa::avx2:
      return "avx2";
    case VectorIsa::avx512:
      return "avx512";
  }
  return "unknown";
}

void multiply(VectorIsa isa, MatrixView left, MatrixView right, OutputMatrix output,
              std::uint64_t rows, std::uint64_t inner, std::uint64_t columns) {
  run_on(isa, ProductJob{left, right, output, rows, inner, columns});
}

void standardise_rows(VectorIsa isa, const float* input, float* output, std::uint64_t rows,
                      std::uint64_t columns, float epsilon) {
  run_on(isa, StandardiseJob{input, output, rows, columns, epsilon});
}

void softmax_rows(VectorIsa isa, float* values, std::uint64_t rows, std::uint64_t columns) {
  run_on(isa, SoftmaxJob{values, rows, columns});
}

void gelu_each(VectorIsa isa, std::span<float> values) {
  run_on(isa, GeluJob{values.data(), values.size()});
}

void exp_each(VectorIsa isa, std::span<float> values) {
  run_on(isa, ExpJob{values.data(), values.size()});
}

void tanh_each(VectorIsa isa, std::span<float> values) {
  run_on(isa, TanhJob{values.data(), values.size()});
}

void divide_each(VectorIsa isa, std::span<float> values, float divisor) {
  run_on(isa, DivideJob{values.data(), values.size(), divisor});
}

}  // namespace zelk_compiler::detail
