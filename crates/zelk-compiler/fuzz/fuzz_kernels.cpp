// Fuzz target: the reference kernels and encoder_reference with arbitrary
// dimensions, list lengths and values (NaN, infinities, signed zeros,
// subnormals). A call either throws std::invalid_argument for a broken
// precondition or gives exactly the bits of the literal loops (any NaN
// matching any NaN).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "fuzz_support.hpp"
#include "reference/literal_kernels.hpp"
#include "support/random_graphs.hpp"
#include "zelk_compiler/checked.hpp"
#include "zelk_compiler/encoder.hpp"

using namespace zelk_compiler;

namespace {

// Results beyond this many elements are not computed by the oracle.
constexpr std::uint64_t kMaxElements = 1U << 16U;
// The list given for dimensions too large to compute: any call with it must
// be refused or produce nothing, so a few values do.
constexpr std::uint64_t kShortList = 64;

std::uint64_t dimension(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange<int>(0, 31) == 0) return in.ConsumeIntegral<std::uint64_t>();
  return in.ConsumeIntegralInRange<std::uint64_t>(0, 40);
}

float value(test_support::Random& random) {
  switch (random.between(0, 19)) {
    case 0:
      return std::bit_cast<float>(static_cast<std::uint32_t>(random.next()));  // anything
    case 1:
      return random.chance(50) ? INFINITY : -INFINITY;
    case 2:
      return random.chance(50) ? 0.0F : -0.0F;
    case 3:
      return std::bit_cast<float>(static_cast<std::uint32_t>(random.between(1, 0x7FFFFF)));
    default:
      return static_cast<float>(static_cast<double>(random.between(0, 1U << 20U)) / 131072.0 - 4.0);
  }
}

// A list of `needed` values give or take a few, never beyond the cap.
std::vector<float> list(FuzzedDataProvider& in, test_support::Random& random,
                        std::uint64_t needed) {
  std::uint64_t length = std::min(needed, kMaxElements);
  const int shape = in.ConsumeIntegralInRange<int>(0, 7);
  if (shape == 0 && length > 0) length -= in.ConsumeIntegralInRange<std::uint64_t>(1, length);
  if (shape == 1) length += in.ConsumeIntegralInRange<std::uint64_t>(1, 9);
  std::vector<float> values(length);
  for (float& v : values) v = value(random);
  return values;
}

// The product when it fits and stays under the oracle's cap.
std::optional<std::uint64_t> small_product(std::uint64_t a, std::uint64_t b) {
  const std::optional<std::uint64_t> product = checked_mul(a, b);
  if (!product || *product > kMaxElements) return std::nullopt;
  return product;
}

void fuzz_matmul(FuzzedDataProvider& in, test_support::Random& random) {
  const std::uint64_t rows = dimension(in);
  const std::uint64_t inner = dimension(in);
  const std::uint64_t columns = dimension(in);
  const auto out = small_product(rows, columns);
  const auto left_size = small_product(rows, inner);
  const auto right_size = small_product(inner, columns);
  const auto left = list(in, random, left_size.value_or(kShortList));
  const auto right = list(in, random, right_size.value_or(kShortList));
  const bool fits = out && left_size && right_size &&
                    (*out == 0 || (left.size() >= *left_size && right.size() >= *right_size));
  // A product that overflows, or short lists for a non-empty result, must be
  // refused; any other call is only made when its result is small.
  const bool refused =
      !checked_mul(rows, columns) || !checked_mul(rows, inner) || !checked_mul(inner, columns) ||
      (rows * columns != 0 && (left.size() < rows * inner || right.size() < inner * columns));
  if (!refused && !out) return;
  try {
    const auto result = matmul(left, right, rows, inner, columns);
    if (!fits) {
      // Only a call with an empty result may pass with huge dimensions.
      if (!result.empty()) fuzz::fail("matmul accepted lists shorter than its dimensions");
      return;
    }
    // The literal loops walk every row and column even when nothing is
    // computed: keep them to dimensions they finish.
    if (std::max({rows, inner, columns}) > kMaxElements) return;
    fuzz::expect_same(result, literal::matmul(left, right, rows, inner, columns), "matmul");
  } catch (const std::invalid_argument&) {
    if (fits) fuzz::fail("matmul refused fitting lists");
  }
}

void fuzz_rows(FuzzedDataProvider& in, test_support::Random& random, bool softmax) {
  const std::uint64_t rows = dimension(in);
  const std::uint64_t columns = dimension(in);
  const auto count = small_product(rows, columns);
  auto values = list(in, random, count.value_or(kShortList));
  const bool fits = count && values.size() >= *count;
  const float epsilon = in.ConsumeBool() ? 1e-5F : value(random);
  const auto before = values;
  const bool oracle_finishes = std::max(rows, columns) <= kMaxElements;
  try {
    if (softmax) {
      softmax_rows(values, rows, columns);
      if (!fits) fuzz::fail("softmax_rows accepted a short list");
      if (!oracle_finishes) return;
      auto expected = before;
      literal::softmax_rows(expected, rows, columns);
      fuzz::expect_same(values, expected, "softmax_rows");
    } else {
      const auto result = layer_norm(values, rows, columns, epsilon);
      if (!fits) fuzz::fail("layer_norm accepted a short list");
      if (!oracle_finishes) return;
      fuzz::expect_same(result, literal::layer_norm(values, rows, columns, epsilon), "layer_norm");
    }
  } catch (const std::invalid_argument&) {
    if (fits) fuzz::fail("a row kernel refused a fitting list");
    if (!values.empty() &&
        std::memcmp(values.data(), before.data(), values.size() * sizeof(float)) != 0) {
      fuzz::fail("a refused call changed its list");
    }
  }
}

void fuzz_encoder(FuzzedDataProvider& in, test_support::Random& random) {
  EncoderConfig config{.sequence = in.ConsumeIntegralInRange<std::uint64_t>(0, 10),
                       .hidden = in.ConsumeIntegralInRange<std::uint64_t>(0, 20),
                       .heads = in.ConsumeIntegralInRange<std::uint64_t>(0, 24),
                       .feed_forward = in.ConsumeIntegralInRange<std::uint64_t>(0, 24)};
  if (in.ConsumeIntegralInRange<int>(0, 31) == 0)
    config.heads = in.ConsumeIntegral<std::uint64_t>();
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  const auto input = list(in, random, s * h);
  EncoderWeights weights = EncoderWeights::deterministic(config);
  if (in.ConsumeBool()) {
    weights =
        EncoderWeights{list(in, random, h * h), list(in, random, h * h), list(in, random, h * h),
                       list(in, random, h * h), list(in, random, h * f), list(in, random, f * h)};
  }
  const auto result = encoder_reference(config, input, weights);
  const bool input_fits = input.size() == s * h;
  const bool weights_fit = weights.wq.size() >= h * h && weights.wk.size() >= h * h &&
                           weights.wv.size() >= h * h && weights.wo.size() >= h * h &&
                           weights.w1.size() >= h * f && weights.w2.size() >= f * h;
  if (!input_fits) {
    if (result || result.error().message != "encoder input size mismatch") {
      fuzz::fail("input length not refused first");
    }
    return;
  }
  if (!result) {
    const bool expected =
        (config.heads == 0 && result.error().message == "invalid encoder dimensions") ||
        (config.heads != 0 && !weights_fit &&
         result.error().message == "encoder weights size mismatch");
    if (!expected) fuzz::fail("unexpected encoder error " + result.error().message);
    return;
  }
  if (config.heads == 0 || !weights_fit) fuzz::fail("encoder accepted bad heads or weights");
  if (config.heads > 64) return;  // the literal loop visits every (empty) head
  fuzz::expect_same(*result, literal::encoder_reference(config, input, weights),
                    "encoder_reference");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  test_support::Random random(in.ConsumeIntegral<std::uint64_t>());
  switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
      fuzz_matmul(in, random);
      break;
    case 1:
      fuzz_rows(in, random, false);
      break;
    case 2:
      fuzz_rows(in, random, true);
      break;
    case 3: {
      const float x = value(random);
      const float expected = literal::gelu(x);
      const float actual = gelu(x);
      if (!(std::isnan(actual) && std::isnan(expected)) &&
          std::bit_cast<std::uint32_t>(actual) != std::bit_cast<std::uint32_t>(expected)) {
        fuzz::fail("gelu bits differ");
      }
      break;
    }
    default:
      fuzz_encoder(in, random);
  }
  return 0;
}
