// The encoder block, and a stack of blocks, as compiler graphs.
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "zelk_compiler/encoder.hpp"

namespace zelk_compiler {
namespace {

// The single-precision value nearest 1e-5 (bit pattern 0x3727C5AC).
constexpr float kLayerNormEpsilon = 1e-5F;

// Appends one block that reads `input`: its six weights first, then its
// fifteen operations, every name prefixed with `prefix`. Returns the block's
// result, "ffn_residual".
class BlockBuilder {
 public:
  BlockBuilder(Graph& graph, std::string_view prefix) : graph_(graph), prefix_(prefix) {}

  Result<TensorId> build(const EncoderConfig& config, TensorId input) {
    const std::uint64_t h = config.hidden;
    const std::uint64_t f = config.feed_forward;
    const TensorId wq = graph_.weight(name("wq"), {h, h});
    const TensorId wk = graph_.weight(name("wk"), {h, h});
    const TensorId wv = graph_.weight(name("wv"), {h, h});
    const TensorId wo = graph_.weight(name("wo"), {h, h});
    const TensorId w1 = graph_.weight(name("w1"), {h, f});
    const TensorId w2 = graph_.weight(name("w2"), {f, h});

    // Each step reads only tensors made before it; the first failure (which
    // valid dimensions rule out) ends the block with that error.
    Result<TensorId> norm1 = graph_.layer_norm(name("norm1"), input, kLayerNormEpsilon);
    Result<TensorId> q = then(norm1, [&] { return graph_.matmul(name("q"), *norm1, wq); });
    Result<TensorId> k = then(q, [&] { return graph_.matmul(name("k"), *norm1, wk); });
    Result<TensorId> v = then(k, [&] { return graph_.matmul(name("v"), *norm1, wv); });
    Result<TensorId> k_transpose = then(v, [&] {
      return graph_.transpose(name("k_transpose"), *k, {1, 0});
    });
    Result<TensorId> scores = then(
        k_transpose, [&] { return graph_.matmul(name("attention_scores"), *q, *k_transpose); });
    Result<TensorId> softmax =
        then(scores, [&] { return graph_.softmax(name("attention_softmax"), *scores, 1); });
    Result<TensorId> context =
        then(softmax, [&] { return graph_.matmul(name("attention_context"), *softmax, *v); });
    Result<TensorId> projection =
        then(context, [&] { return graph_.matmul(name("attention_projection"), *context, wo); });
    Result<TensorId> residual = then(
        projection, [&] { return graph_.add(name("attention_residual"), input, *projection); });
    Result<TensorId> norm2 = then(
        residual, [&] { return graph_.layer_norm(name("norm2"), *residual, kLayerNormEpsilon); });
    Result<TensorId> up = then(norm2, [&] { return graph_.matmul(name("ffn_up"), *norm2, w1); });
    Result<TensorId> activation = then(up, [&] { return graph_.gelu(name("ffn_gelu"), *up); });
    Result<TensorId> down =
        then(activation, [&] { return graph_.matmul(name("ffn_down"), *activation, w2); });
    return then(down, [&] { return graph_.add(name("ffn_residual"), *residual, *down); });
  }

 private:
  std::string name(std::string_view base) const {
    std::string full = prefix_;
    full += base;
    return full;
  }

  // Runs `step` only when `previous` succeeded; otherwise passes its error on.
  template <class Step>
  static Result<TensorId> then(const Result<TensorId>& previous, Step step) {
    if (!previous) {
      return std::unexpected(previous.error());
    }
    return step();
  }

  Graph& graph_;
  std::string prefix_;
};

// The graph of `layers` blocks on one input named "input"; block n reads the
// result of block n - 1. With `prefixed`, block n's names start with "l<n>.".
Result<Graph> encoder_blocks(const EncoderConfig& config, std::uint64_t layers, bool prefixed) {
  if (encoder_fault(config, layers)) {
    return std::unexpected(CompileError::graph("invalid encoder dimensions"));
  }
  Graph graph;
  TensorId current = graph.input("input", {config.sequence, config.hidden});
  for (std::uint64_t layer = 0; layer < layers; ++layer) {
    std::string prefix;
    if (prefixed) {
      prefix = 'l';
      prefix += std::to_string(layer);
      prefix += '.';
    }
    auto result = BlockBuilder(graph, prefix).build(config, current);
    if (!result) {
      return std::unexpected(std::move(result.error()));
    }
    current = *result;
  }
  graph.mark_output(current);
  return graph;
}

}  // namespace

std::optional<EncoderFault> encoder_fault(EncoderConfig config, std::uint64_t layers) {
  if (config.hidden == 0) {
    return EncoderFault::ZeroHidden;
  }
  if (config.sequence == 0) {
    return EncoderFault::ZeroSequence;
  }
  if (config.heads == 0) {
    return EncoderFault::ZeroHeads;
  }
  if (config.hidden % config.heads != 0) {
    return EncoderFault::HeadsDoNotDivideHidden;
  }
  if (layers == 0) {
    return EncoderFault::NoLayers;
  }
  return std::nullopt;
}

Result<Graph> encoder_graph(EncoderConfig config) { return encoder_blocks(config, 1, false); }

Result<Graph> encoder_stack_graph(EncoderConfig config, std::uint64_t layers) {
  return encoder_blocks(config, layers, true);
}

}  // namespace zelk_compiler
