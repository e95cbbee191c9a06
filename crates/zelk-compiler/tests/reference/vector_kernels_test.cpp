// The vectorised kernels against the literal loops, bit for bit, on every
// instruction set this processor runs: every dimension from 0 to 67 and some
// large ones, lists longer than their dimensions, NaN, infinities, signed
// zeros and subnormals, strided operands, and whole encoder blocks.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "encoder/vector_kernels.hpp"
#include "float_testing.hpp"
#include "literal_kernels.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/encoder.hpp"

namespace zelk_compiler {
namespace {

using detail::VectorIsa;
using test_support::same_bits;
using test_support::ValueSource;

// Values for one generated case. Most cases hold ordinary numbers with a few
// special values scattered among them, so that most results stay finite and
// the comparison says something; some are dense with special values, and
// some hold only numbers near the subnormal range.
class CaseValues {
 public:
  explicit CaseValues(std::uint32_t seed)
      : ordinary_(seed, 4.0F, 0), specials_(seed + 1, 1.0F, 100), tiny_(seed + 2, 1e-37F, 0) {}

  [[nodiscard]] std::vector<float> list(std::uint64_t count, std::uint64_t style) {
    switch (style % 4) {
      case 0:
        return ordinary_.list(count);
      case 1: {
        std::vector<float> values = ordinary_.list(count);
        for (std::uint64_t i = 0; count != 0 && i < 3; ++i) {
          values[ordinary_.below(count)] = specials_.next();
        }
        return values;
      }
      case 2: {
        ValueSource dense(static_cast<std::uint32_t>(ordinary_.below(1U << 30)), 4.0F, 20);
        return dense.list(count);
      }
      default:
        return tiny_.list(count);
    }
  }

  [[nodiscard]] std::uint64_t below(std::uint64_t bound) { return ordinary_.below(bound); }

 private:
  ValueSource ordinary_;
  ValueSource specials_;
  ValueSource tiny_;
};

// Counts the cases whose results are mostly numbers, so that a test can
// insist that most comparisons were not NaN against NaN.
struct NumberShare {
  std::uint64_t informative = 0;
  std::uint64_t cases = 0;

  void add(const std::vector<float>& values) {
    std::uint64_t numbers = 0;
    for (const float value : values) {
      numbers += std::isnan(value) ? 0U : 1U;
    }
    informative += numbers * 2 >= values.size() ? 1U : 0U;
    ++cases;
  }

  [[nodiscard]] bool mostly_numbers() const { return informative * 2 > cases; }
};

struct Dimensions {
  std::uint64_t rows;
  std::uint64_t inner;
  std::uint64_t columns;
};

// Every value 0 to 67 in each position, with the other two drawn below 68,
// then shapes past the register tiles and the cache panels of every
// instruction set.
std::vector<Dimensions> product_dimensions(CaseValues& values) {
  std::vector<Dimensions> shapes;
  for (std::uint64_t d = 0; d <= 67; ++d) {
    shapes.push_back({d, values.below(68), values.below(68)});
    shapes.push_back({values.below(68), d, values.below(68)});
    shapes.push_back({values.below(68), values.below(68), d});
  }
  const std::vector<Dimensions> large = {
      {129, 67, 255}, {300, 40, 129}, {513, 20, 9},  {5, 513, 67},    {67, 300, 40},
      {2, 1100, 3},   {3, 7, 1100},   {97, 257, 65}, {255, 129, 300}, {1, 1, 513},
      {513, 1, 1},    {1, 513, 1},    {7, 2050, 17}, {192, 64, 1025}};
  shapes.insert(shapes.end(), large.begin(), large.end());
  return shapes;
}

struct RowsAndColumns {
  std::uint64_t rows;
  std::uint64_t columns;
};

std::vector<RowsAndColumns> row_dimensions(CaseValues& values) {
  std::vector<RowsAndColumns> shapes;
  for (std::uint64_t d = 0; d <= 67; ++d) {
    shapes.push_back({d, values.below(68)});
    shapes.push_back({values.below(68), d});
  }
  const std::vector<RowsAndColumns> large = {{129, 513}, {513, 129}, {300, 255}, {1, 1100},
                                             {1100, 1},  {17, 65},   {33, 300}};
  shapes.insert(shapes.end(), large.begin(), large.end());
  return shapes;
}

class VectorKernels : public ::testing::TestWithParam<VectorIsa> {
 protected:
  void SetUp() override {
    if (!detail::vector_isa_available(GetParam())) {
      GTEST_SKIP() << vector_isa_name(GetParam()) << " does not run on this processor";
    }
  }
  [[nodiscard]] VectorIsa isa() const { return GetParam(); }
};

TEST_P(VectorKernels, MatMulAgreesWithTheLiteralLoops) {
  CaseValues values(11);
  NumberShare share;
  std::uint64_t style = 0;
  for (const auto& [rows, inner, columns] : product_dimensions(values)) {
    // Lists may be longer than their dimensions; the tail is never read.
    const std::vector<float> left = values.list(rows * inner + values.below(4), style);
    const std::vector<float> right = values.list(inner * columns + values.below(4), style + 1);
    ++style;
    SCOPED_TRACE(::testing::Message()
                 << "rows " << rows << ", inner " << inner << ", columns " << columns);
    const std::vector<float> expected = literal::matmul(left, right, rows, inner, columns);
    ASSERT_TRUE(same_bits(detail::matmul_on(isa(), left, right, rows, inner, columns), expected));
    share.add(expected);
  }
  EXPECT_TRUE(share.mostly_numbers()) << share.informative << " of " << share.cases;
}

// Operands read through strides (the right one transposed) into a window of
// a wider result, as the attention does: positions outside the window keep
// what they held.
TEST_P(VectorKernels, StridedProductWritesOnlyItsWindow) {
  CaseValues values(12);
  for (int trial = 0; trial < 150; ++trial) {
    const std::uint64_t rows = values.below(40);
    const std::uint64_t inner = values.below(40);
    const std::uint64_t columns = values.below(40);
    const std::uint64_t left_stride = inner + values.below(3);
    const std::uint64_t right_stride = inner + values.below(3);
    const std::uint64_t output_stride = columns + values.below(3);
    const auto style = static_cast<std::uint64_t>(trial);
    // left(r, k) at r * left_stride + k; right(k, c) at c * right_stride + k.
    const std::vector<float> left_storage = values.list(rows * left_stride, style);
    const std::vector<float> right_storage = values.list(columns * right_stride, style + 1);
    std::vector<float> left(rows * inner);
    std::vector<float> right(inner * columns);
    for (std::uint64_t r = 0; r < rows; ++r) {
      for (std::uint64_t k = 0; k < inner; ++k) {
        left[r * inner + k] = left_storage[r * left_stride + k];
      }
    }
    for (std::uint64_t k = 0; k < inner; ++k) {
      for (std::uint64_t c = 0; c < columns; ++c) {
        right[k * columns + c] = right_storage[c * right_stride + k];
      }
    }
    const std::vector<float> product = literal::matmul(left, right, rows, inner, columns);

    const float marker = test_support::from_bits(0x7FC0BEEF);
    std::vector<float> output(rows * output_stride, marker);
    std::vector<float> expected = output;
    for (std::uint64_t r = 0; r < rows; ++r) {
      for (std::uint64_t c = 0; c < columns; ++c) {
        expected[r * output_stride + c] = product[r * columns + c];
      }
    }
    detail::multiply(isa(), detail::MatrixView{left_storage.data(), left_stride, 1},
                     detail::MatrixView{right_storage.data(), 1, right_stride},
                     detail::OutputMatrix{output.data(), output_stride}, rows, inner, columns);
    SCOPED_TRACE(::testing::Message()
                 << "rows " << rows << ", inner " << inner << ", columns " << columns);
    ASSERT_TRUE(same_bits(output, expected));
    for (std::uint64_t r = 0; r < rows; ++r) {
      for (std::uint64_t c = columns; c < output_stride; ++c) {
        ASSERT_EQ(test_support::bits(output[r * output_stride + c]), 0x7FC0BEEFU);
      }
    }
  }
}

TEST_P(VectorKernels, LayerNormAgreesWithTheLiteralLoops) {
  CaseValues values(13);
  NumberShare share;
  std::uint64_t style = 0;
  for (const auto& [rows, columns] : row_dimensions(values)) {
    const std::vector<float> input = values.list(rows * columns + values.below(4), style++);
    const float epsilon = style % 5 == 0 ? 0.0F : 1e-5F;
    SCOPED_TRACE(::testing::Message() << "rows " << rows << ", columns " << columns);
    const std::vector<float> expected = literal::layer_norm(input, rows, columns, epsilon);
    ASSERT_TRUE(same_bits(detail::layer_norm_on(isa(), input, rows, columns, epsilon), expected));
    share.add(expected);
  }
  EXPECT_TRUE(share.mostly_numbers()) << share.informative << " of " << share.cases;
}

TEST_P(VectorKernels, SoftmaxAgreesWithTheLiteralLoops) {
  CaseValues values(14);
  NumberShare share;
  std::uint64_t style = 0;
  for (const auto& [rows, columns] : row_dimensions(values)) {
    // Scores of a real block are spread much wider than 4.
    std::vector<float> scores = values.list(rows * columns + values.below(4), style++);
    for (float& score : scores) {
      score = score * 8.0F;
    }
    std::vector<float> expected = scores;
    literal::softmax_rows(expected, rows, columns);
    detail::softmax_rows_on(isa(), scores, rows, columns);
    SCOPED_TRACE(::testing::Message() << "rows " << rows << ", columns " << columns);
    ASSERT_TRUE(same_bits(scores, expected));
    share.add(expected);
  }
  EXPECT_TRUE(share.mostly_numbers()) << share.informative << " of " << share.cases;
}

TEST_P(VectorKernels, GeluOfAListAgreesWithTheLiteralForm) {
  CaseValues values(15);
  std::vector<std::uint64_t> lengths;
  for (std::uint64_t length = 0; length <= 67; ++length) {
    lengths.push_back(length);
  }
  for (const std::uint64_t length : {255U, 256U, 257U, 513U, 1100U}) {
    lengths.push_back(length);
  }
  std::uint64_t style = 0;
  for (const std::uint64_t length : lengths) {
    std::vector<float> list = values.list(length, style++);
    for (float& value : list) {
      value = value * 2.0F;
    }
    std::vector<float> expected = list;
    for (float& value : expected) {
      value = literal::gelu(value);
    }
    detail::gelu_each(isa(), list);
    ASSERT_TRUE(same_bits(list, expected)) << "length " << length;
  }
}

// expf and tanhf of a list against the C library's, value by value: a spread
// of bit patterns over the whole float line, the edges where the vector
// forms change method, and lists of every short length, so that every lane
// and the tail are seen.
TEST_P(VectorKernels, ExpAndTanhOfAListMatchTheCLibrary) {
  struct Case {
    const char* name;
    void (*vector)(VectorIsa, std::span<float>);
    float (*library)(float);
  };
  const Case cases[] = {
      {"exp", detail::exp_each, [](float x) { return ::expf(x); }},
      {"tanh", detail::tanh_each, [](float x) { return ::tanhf(x); }},
  };
  std::vector<float> spread;
  for (std::uint64_t bits = 0; bits <= 0xFFFFFFFFU; bits += 40009) {
    spread.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
  }
  for (const float edge : {-87.0F, 88.5F, -104.0F, -103.97F, 88.72F, 89.0F, -87.34F, 22.0F, 1.0F,
                           0x1p-55F, 0x1p-25F, 0.3465736F, 1.0397208F, 9.01F, 19.6F}) {
    for (const float sign : {1.0F, -1.0F}) {
      const float value = sign * edge;
      spread.push_back(std::nextafter(value, -INFINITY));
      spread.push_back(value);
      spread.push_back(std::nextafter(value, INFINITY));
    }
  }
  // exp(32.56...): its bits depend on the reduction rounding once, as the C
  // library's fused multiply-add does, not twice. (At the front, where the
  // lanes take it; a list's last few values may go to the C library.)
  spread.insert(spread.begin(), std::bit_cast<float>(std::uint32_t{0x4202422F}));
  CaseValues values(17);
  for (const Case& each : cases) {
    std::vector<float> list = spread;
    each.vector(isa(), list);
    for (std::uint64_t i = 0; i < spread.size(); ++i) {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(list[i]),
                std::bit_cast<std::uint32_t>(each.library(spread[i])))
          << each.name << " of " << spread[i];
    }
    for (std::uint64_t length = 0; length <= 33; ++length) {
      std::vector<float> short_list = values.list(length, length);
      std::vector<float> expected = short_list;
      for (float& value : expected) {
        value = each.library(value);
      }
      each.vector(isa(), short_list);
      ASSERT_TRUE(same_bits(short_list, expected)) << each.name << ", length " << length;
    }
  }
}

EncoderWeights generated_weights(const EncoderConfig& config, CaseValues& values,
                                 std::uint64_t style) {
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  return EncoderWeights{.wq = values.list(h * h, style),
                        .wk = values.list(h * h, style),
                        .wv = values.list(h * h, style),
                        .wo = values.list(h * h, style),
                        .w1 = values.list(h * f, style),
                        .w2 = values.list(f * h, style)};
}

TEST_P(VectorKernels, EncoderAgreesWithTheLiteralSteps) {
  CaseValues values(16);
  NumberShare share;
  std::vector<EncoderConfig> configs = {
      {.sequence = 1, .hidden = 8, .heads = 3, .feed_forward = 5},
      {.sequence = 1, .hidden = 67, .heads = 67, .feed_forward = 1},
      {.sequence = 67, .hidden = 67, .heads = 5, .feed_forward = 130},
      {.sequence = 129, .hidden = 64, .heads = 4, .feed_forward = 96},
      {.sequence = 40, .hidden = 33, .heads = 40, .feed_forward = 17},
      {.sequence = 9, .hidden = 30, .heads = 7, .feed_forward = 0},
      {.sequence = 0, .hidden = 12, .heads = 5, .feed_forward = 20},
  };
  for (int trial = 0; trial < 60; ++trial) {
    const std::uint64_t hidden = 1 + values.below(40);
    configs.push_back({.sequence = values.below(20),
                       .hidden = hidden,
                       .heads = 1 + values.below(hidden + 2),
                       .feed_forward = values.below(70)});
  }
  std::uint64_t trial = 0;
  for (const EncoderConfig& config : configs) {
    // Special values anywhere in a block turn much of its result into NaN,
    // so only a few blocks get them; weights are sometimes the deterministic
    // ones and otherwise generated in the same styles.
    const std::uint64_t style = trial % 8 == 7 ? 1 : (trial % 8 == 6 ? 3 : 0);
    const std::vector<float> input = values.list(config.sequence * config.hidden, style);
    const EncoderWeights weights = trial % 3 == 0 ? EncoderWeights::deterministic(config)
                                                  : generated_weights(config, values, style);
    ++trial;
    SCOPED_TRACE(debug_string(config));
    const auto result = detail::encoder_reference_on(isa(), config, input, weights);
    ASSERT_TRUE(result.has_value()) << result.error();
    const std::vector<float> expected = literal::encoder_reference(config, input, weights);
    ASSERT_TRUE(same_bits(*result, expected));
    share.add(expected);
  }
  EXPECT_TRUE(share.mostly_numbers()) << share.informative << " of " << share.cases;
}

// The public kernels run the widest set, and every set agrees with them.
TEST_P(VectorKernels, PublicKernelsRunTheWidestSet) {
  EXPECT_TRUE(detail::vector_isa_available(detail::widest_vector_isa()));
  EXPECT_TRUE(detail::vector_isa_available(VectorIsa::baseline));
  CaseValues values(17);
  const std::vector<float> left = values.list(37 * 41, 1);
  const std::vector<float> right = values.list(41 * 29, 1);
  EXPECT_TRUE(same_bits(detail::matmul_on(isa(), left, right, 37, 41, 29),
                        matmul(left, right, 37, 41, 29)));
}

INSTANTIATE_TEST_SUITE_P(EveryInstructionSet, VectorKernels,
                         ::testing::ValuesIn(detail::all_vector_isas),
                         [](const ::testing::TestParamInfo<VectorIsa>& param) {
                           return std::string(detail::vector_isa_name(param.param));
                         });

}  // namespace
}  // namespace zelk_compiler
