// The encoder workload: one transformer encoder block as a compiler graph, its
// deterministic weights, the host reference kernels and the reference
// evaluation.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "zelk_compiler/error.hpp"
#include "zelk_compiler/fields.hpp"
#include "zelk_compiler/graph.hpp"

namespace zelk_compiler {

struct EncoderConfig {
  std::uint64_t sequence = 32;
  std::uint64_t hidden = 64;
  std::uint64_t heads = 4;
  std::uint64_t feed_forward = 256;

  friend bool operator==(const EncoderConfig&, const EncoderConfig&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<EncoderConfig>) {
  return describe_record<EncoderConfig>(
      "EncoderConfig", field("sequence", &EncoderConfig::sequence),
      field("hidden", &EncoderConfig::hidden), field("heads", &EncoderConfig::heads),
      field("feed_forward", &EncoderConfig::feed_forward));
}

// The rules of a block (or stack) that can be built, in the order they are
// checked. `heads` only has to divide `hidden`: the graph computes attention
// over the whole width, so it is the same for every valid head count.
enum class EncoderFault {
  ZeroHidden,
  ZeroSequence,
  ZeroHeads,
  HeadsDoNotDivideHidden,
  NoLayers,  // a stack of 0 blocks
};

// The first rule that `config` with `layers` blocks breaks; none when
// `encoder_stack_graph(config, layers)` (and, for one layer,
// `encoder_graph(config)`) builds.
[[nodiscard]] std::optional<EncoderFault> encoder_fault(EncoderConfig config,
                                                        std::uint64_t layers = 1);

// The encoder block as a graph of 22 tensors and 15 operations. Fails with
// "invalid encoder dimensions" unless `hidden`, `sequence` and `heads` are
// non-zero and `heads` divides `hidden` (`encoder_fault` says which).
[[nodiscard]] Result<Graph> encoder_graph(EncoderConfig config);

// `layers` encoder blocks on one input "input": block n has its own six
// weights, reads block n - 1's result (block 0 reads "input") and prefixes
// its names with "l<n>." ("l0.wq", "l3.attention_scores"). Only the last
// block's "ffn_residual" is an output. Fails with "invalid encoder dimensions"
// where `encoder_graph` does and for `layers` 0.
[[nodiscard]] Result<Graph> encoder_stack_graph(EncoderConfig config, std::uint64_t layers);

// The six weight matrices of the block, row-major, rows being the input
// dimension.
struct EncoderWeights {
  std::vector<float> wq;
  std::vector<float> wk;
  std::vector<float> wv;
  std::vector<float> wo;
  std::vector<float> w1;
  std::vector<float> w2;

  // Weights from a fixed integer formula: the same bits on every run. Reads
  // only `hidden` and `feed_forward`; a matrix whose size or index arithmetic
  // would not fit 64 bits throws std::overflow_error.
  [[nodiscard]] static EncoderWeights deterministic(EncoderConfig config);

  friend bool operator==(const EncoderWeights&, const EncoderWeights&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<EncoderWeights>) {
  return describe_record<EncoderWeights>(
      "EncoderWeights", field("wq", &EncoderWeights::wq), field("wk", &EncoderWeights::wk),
      field("wv", &EncoderWeights::wv), field("wo", &EncoderWeights::wo),
      field("w1", &EncoderWeights::w1), field("w2", &EncoderWeights::w2));
}

// Host reference kernels. Their order of rounding decides their result.
// A list shorter than its dimensions, or dimensions whose product overflows,
// throws std::invalid_argument and touches nothing.

// `rows` x `columns` result; each element sums p + sum over k ascending, the
// product rounded first.
[[nodiscard]] std::vector<float> matmul(std::span<const float> left, std::span<const float> right,
                                        std::uint64_t rows, std::uint64_t inner,
                                        std::uint64_t columns);

// Row-wise standardisation; the result is as long as `input`, positions past
// `rows` x `columns` stay +0.0.
[[nodiscard]] std::vector<float> layer_norm(std::span<const float> input, std::uint64_t rows,
                                            std::uint64_t columns, float epsilon);

// In-place softmax of each of the first `rows` rows.
void softmax_rows(std::span<float> values, std::uint64_t rows, std::uint64_t columns);

// GELU, tanh form.
[[nodiscard]] float gelu(float value);

// Evaluates the encoder block on the host. Fails with "encoder input size
// mismatch" when `input` is not `sequence` x `hidden` values, "invalid encoder
// dimensions" for `heads` 0 and "encoder weights size mismatch" for weight
// lists shorter than the configuration needs, in that order. Products that do
// not fit 64 bits never wrap: an overflowing `sequence` x `hidden` is an input
// mismatch, an overflowing weight matrix size a weights mismatch, and an
// overflowing working size (`sequence` x `sequence` or x `feed_forward`)
// "invalid encoder dimensions". Longer lists are read only as far as needed.
[[nodiscard]] Result<std::vector<float>> encoder_reference(EncoderConfig config,
                                                           std::span<const float> input,
                                                           const EncoderWeights& weights);

// The input of the built-in reference check: `count` values, value i being
// (i - 9) / 16 in float (a ramp from -0.5625 in steps of 0.0625, exact in
// float up to 2^24 values). A count no vector can hold throws
// std::length_error.
[[nodiscard]] std::vector<float> reference_ramp(std::uint64_t count);

// `values` summed in list order from -0.0 in float: the checksum the
// reference check compares. For the check's block (sequence 4, hidden 8,
// heads 2, feed_forward 16) on `reference_ramp(32)` it is about 107.46423.
[[nodiscard]] float reference_checksum(std::span<const float> values);

std::ostream& operator<<(std::ostream& out, EncoderFault fault);
std::ostream& operator<<(std::ostream& out, const EncoderConfig& config);
std::ostream& operator<<(std::ostream& out, const EncoderWeights& weights);

}  // namespace zelk_compiler
