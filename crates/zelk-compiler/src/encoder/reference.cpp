// The host reference evaluation of the encoder block.
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "encoder/vector_kernels.hpp"
#include "zelk_compiler/checked.hpp"
#include "zelk_compiler/encoder.hpp"

namespace zelk_compiler {
namespace {

constexpr float layer_norm_epsilon = 1e-5F;
static_assert(std::bit_cast<std::uint32_t>(layer_norm_epsilon) == 0x3727C5AC);

// True when `weights` holds at least `rows` x `columns` values. A product that
// does not fit a machine word names a list no memory can hold, so it is too
// short by definition.
bool holds_matrix(std::span<const float> weights, std::uint64_t rows, std::uint64_t columns) {
  const auto needed = checked_mul(rows, columns);
  return needed && weights.size() >= *needed;
}

bool weights_fit(const EncoderConfig& config, const EncoderWeights& weights) {
  const std::uint64_t hidden = config.hidden;
  const std::uint64_t feed_forward = config.feed_forward;
  return holds_matrix(weights.wq, hidden, hidden) && holds_matrix(weights.wk, hidden, hidden) &&
         holds_matrix(weights.wv, hidden, hidden) && holds_matrix(weights.wo, hidden, hidden) &&
         holds_matrix(weights.w1, hidden, feed_forward) &&
         holds_matrix(weights.w2, feed_forward, hidden);
}

std::vector<float> add_elementwise(std::span<const float> left, std::span<const float> right) {
  std::vector<float> sum(left.size(), 0.0F);
  for (std::size_t i = 0; i < left.size(); ++i) {
    sum[i] = left[i] + right[i];
  }
  return sum;
}

// Self-attention over all positions, one head at a time, each head reading and
// writing only its own `head_size` columns. Columns past heads x head_size are
// left at +0.0.
//
// Both loops of a head are matrix products in disguise: the scores are the
// head's slice of q times the transpose of its slice of k (k read with its
// strides swapped, no copy), and the context is the scores times the head's
// slice of v. Each score and each context element is still one dot product in
// ascending order from +0.0.
std::vector<float> attention(detail::VectorIsa isa, std::span<const float> q,
                             std::span<const float> k, std::span<const float> v,
                             std::uint64_t sequence, std::uint64_t hidden, std::uint64_t heads) {
  std::vector<float> context(q.size(), 0.0F);
  const std::uint64_t head_size = hidden / heads;
  // With more heads than columns no head owns a column: their scores would be
  // computed and thrown away, so the loop is skipped, which also keeps a huge
  // head count from running for nothing.
  if (head_size == 0) {
    return context;
  }
  const float scale = std::sqrt(static_cast<float>(head_size));

  // One head's scores at a time; every head overwrites all of them.
  std::vector<float> scores(sequence * sequence, 0.0F);
  for (std::uint64_t head = 0; head < heads; ++head) {
    const std::uint64_t first = head * head_size;
    detail::multiply(isa, detail::MatrixView{q.data() + first, hidden, 1},
                     detail::MatrixView{k.data() + first, 1, hidden},
                     detail::OutputMatrix{scores.data(), sequence}, sequence, head_size, sequence);
    // A division by the rounded root, not a product with its reciprocal.
    detail::divide_each(isa, scores, scale);
    detail::softmax_rows(isa, scores.data(), sequence, sequence);
    detail::multiply(isa, detail::MatrixView{scores.data(), sequence, 1},
                     detail::MatrixView{v.data() + first, hidden, 1},
                     detail::OutputMatrix{context.data() + first, hidden}, sequence, sequence,
                     head_size);
  }
  return context;
}

}  // namespace

// Checks, in this order: the input length (nothing else is looked at when it
// is wrong; a sequence x hidden that overflows can never match), a head count
// of 0, the weight lengths, and finally working sizes (sequence x sequence,
// sequence x feed_forward) that would not fit a machine word.
Result<std::vector<float>> detail::encoder_reference_on(detail::VectorIsa isa, EncoderConfig config,
                                                        std::span<const float> input,
                                                        const EncoderWeights& weights) {
  const std::uint64_t sequence = config.sequence;
  const std::uint64_t hidden = config.hidden;
  const std::uint64_t feed_forward = config.feed_forward;

  const auto elements = checked_mul(sequence, hidden);
  if (!elements || *elements != input.size()) {
    return std::unexpected(CompileError::graph("encoder input size mismatch"));
  }
  if (config.heads == 0) {
    return std::unexpected(CompileError::graph("invalid encoder dimensions"));
  }
  if (!weights_fit(config, weights)) {
    return std::unexpected(CompileError::graph("encoder weights size mismatch"));
  }
  // No position, or positions of width 0: the block maps the empty input to an
  // empty result, whatever the other dimensions would cost.
  if (input.empty()) {
    return std::vector<float>{};
  }
  if (!checked_mul(sequence, sequence) || !checked_mul(sequence, feed_forward)) {
    return std::unexpected(CompileError::graph("invalid encoder dimensions"));
  }

  const std::vector<float> norm1 = layer_norm_on(isa, input, sequence, hidden, layer_norm_epsilon);
  const std::vector<float> q = matmul_on(isa, norm1, weights.wq, sequence, hidden, hidden);
  const std::vector<float> k = matmul_on(isa, norm1, weights.wk, sequence, hidden, hidden);
  const std::vector<float> v = matmul_on(isa, norm1, weights.wv, sequence, hidden, hidden);
  const std::vector<float> context = attention(isa, q, k, v, sequence, hidden, config.heads);
  const std::vector<float> projected =
      matmul_on(isa, context, weights.wo, sequence, hidden, hidden);
  // The first residual adds the raw input, not norm1.
  const std::vector<float> residual1 = add_elementwise(input, projected);

  const std::vector<float> norm2 =
      layer_norm_on(isa, residual1, sequence, hidden, layer_norm_epsilon);
  std::vector<float> activation = matmul_on(isa, norm2, weights.w1, sequence, hidden, feed_forward);
  gelu_each(isa, activation);
  const std::vector<float> down =
      matmul_on(isa, activation, weights.w2, sequence, feed_forward, hidden);
  return add_elementwise(residual1, down);
}

std::vector<float> reference_ramp(std::uint64_t count) {
  std::vector<float> input;
  input.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    input.push_back((static_cast<float>(i) - 9.0F) / 16.0F);
  }
  return input;
}

float reference_checksum(std::span<const float> values) {
  float sum = -0.0F;
  for (const float value : values) {
    sum += value;
  }
  return sum;
}

Result<std::vector<float>> encoder_reference(EncoderConfig config, std::span<const float> input,
                                             const EncoderWeights& weights) {
  return detail::encoder_reference_on(detail::widest_vector_isa(), config, input, weights);
}

}  // namespace zelk_compiler
