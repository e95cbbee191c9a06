// Prints a hash of the reference encoder's output bits, of compiled
// schedules for a fixed set of configurations and of a 16-bit graph's
// evaluation, and the ramp checksum's bits.
// Builds with different compilers and flags must print the same lines.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "zelk_compiler/lib.hpp"

namespace zc = zelk_compiler;

namespace {

// FNV-1a over 32-bit words.
class Hash {
 public:
  void add(std::uint32_t word) {
    for (int shift = 0; shift < 32; shift += 8) {
      state_ = (state_ ^ ((word >> static_cast<unsigned>(shift)) & 0xFFU)) * 0x100000001B3ULL;
    }
  }
  // Every NaN counts as the one canonical NaN: its sign and payload depend on
  // operand order, which compilers may choose.
  void add(std::span<const float> values) {
    for (const float value : values) {
      add(std::isnan(value) ? 0x7FC00000U : std::bit_cast<std::uint32_t>(value));
    }
  }
  void add(const std::string& text) {
    for (const char c : text) add(static_cast<std::uint32_t>(static_cast<unsigned char>(c)));
  }
  [[nodiscard]] std::uint64_t value() const { return state_; }

 private:
  std::uint64_t state_ = 0xCBF29CE484222325ULL;
};

// A deterministic input with some NaN, infinities and signed zeros mixed in.
std::vector<float> mixed(std::uint64_t count, bool specials) {
  std::vector<float> input(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    input[i] = static_cast<float>(static_cast<std::int64_t>(i * 7919 % 257) - 128) / 64.0F;
    if (specials && i % 97 == 5)
      input[i] = std::bit_cast<float>(static_cast<std::uint32_t>(0x7FC00001U + (i & 3U)));
    if (specials && i % 89 == 3) input[i] = -0.0F;
  }
  return input;
}

int report_reference(const char* name, zc::EncoderConfig config, const std::vector<float>& input) {
  const auto result =
      zc::encoder_reference(config, input, zc::EncoderWeights::deterministic(config));
  if (!result) {
    std::fprintf(stderr, "%s: %s\n", name, zc::debug_string(result.error()).c_str());
    return 1;
  }
  Hash hash;
  hash.add(*result);
  std::printf("reference %s %016llx\n", name, static_cast<unsigned long long>(hash.value()));
  return 0;
}

int report_schedule(const char* name, const zc::Result<zc::Graph>& graph,
                    const zc::CompilerOptions& options) {
  const auto schedule = graph ? zc::compile(*graph, options)
                              : zc::Result<zc::Schedule>(std::unexpected(graph.error()));
  if (!schedule) {
    std::fprintf(stderr, "%s: %s\n", name, zc::debug_string(schedule.error()).c_str());
    return 1;
  }
  Hash hash;
  hash.add(zc::debug_string(*schedule));
  std::printf("schedule %s %016llx\n", name, static_cast<unsigned long long>(hash.value()));
  return 0;
}

// A block of F16 operations with a BF16 branch: products, normalisation,
// softmax, activations, casts and a mean, each rounding to its 16-bit type.
zc::Result<zc::Graph> sixteen_bit_graph() {
  zc::Graph g;
  const auto h = zc::DType::F16;
  const zc::TensorId x = g.input("x", {24, 32}, h);
  const zc::TensorId w = g.weight("w", {32, 32}, h);
  const zc::TensorId gain = g.weight("gain", {32}, h);
  const zc::TensorId bias = g.weight("bias", {32}, h);
  auto y = g.matmul("y", x, w);
  if (!y) return std::unexpected(y.error());
  auto n = g.layer_norm("n", *y, gain, bias, 1e-5F);
  if (!n) return std::unexpected(n.error());
  auto s = g.softmax("s", *n, 1);
  auto a = g.unary("a", zc::GeluErf{}, *n);
  auto gate = g.unary("gate", zc::Sigmoid{}, *n);
  if (!s || !a || !gate) return std::unexpected(zc::CompileError::graph("activations"));
  auto silu = g.mul("silu", *a, *gate);
  auto wide = g.cast("wide", *silu, zc::DType::BF16);
  if (!silu || !wide) return std::unexpected(zc::CompileError::graph("casts"));
  auto e = g.unary("e", zc::Exp{}, *wide);
  auto mean = e ? g.reduce_mean("mean", *e, 1) : e;
  auto back = mean ? g.cast("back", *mean, zc::DType::F16) : mean;
  if (!back) return std::unexpected(back.error());
  g.mark_output(*s);
  g.mark_output(*back);
  return g;
}

int report_evaluation(const char* name, const zc::Result<zc::Graph>& graph) {
  if (!graph) {
    std::fprintf(stderr, "%s: %s\n", name, zc::debug_string(graph.error()).c_str());
    return 1;
  }
  // Multiples of 1/64 from -2 to 2, and NaNs, are values of both 16-bit types.
  zc::TensorValues values;
  for (const zc::Tensor& tensor : graph->tensors) {
    if (!tensor.producer) values[tensor.name] = mixed(tensor.elements(), true);
  }
  const auto result = zc::evaluate(*graph, values);
  if (!result) {
    std::fprintf(stderr, "%s: %s\n", name, zc::debug_string(result.error()).c_str());
    return 1;
  }
  Hash hash;
  for (const auto& [output, value] : *result) {
    hash.add(output);
    hash.add(value);
  }
  std::printf("evaluate %s %016llx\n", name, static_cast<unsigned long long>(hash.value()));
  return 0;
}

}  // namespace

int main() {
  int failures = 0;
  const zc::EncoderConfig small{.sequence = 4, .hidden = 8, .heads = 2, .feed_forward = 16};
  const std::vector<float> small_ramp = zc::reference_ramp(32);
  const auto ramp_result =
      zc::encoder_reference(small, small_ramp, zc::EncoderWeights::deterministic(small));
  if (!ramp_result) return 1;
  const float checksum = zc::reference_checksum(*ramp_result);
  std::printf("ramp_checksum_bits 0x%08X\n", std::bit_cast<std::uint32_t>(checksum));

  failures += report_reference("ramp", small, small_ramp);
  failures += report_reference("default", zc::EncoderConfig{}, mixed(32 * 64, false));
  failures += report_reference("default_specials", zc::EncoderConfig{}, mixed(32 * 64, true));
  failures +=
      report_reference("uneven_heads", {.sequence = 7, .hidden = 8, .heads = 3, .feed_forward = 12},
                       mixed(56, false));
  failures +=
      report_reference("wide", {.sequence = 48, .hidden = 128, .heads = 4, .feed_forward = 512},
                       mixed(48 * 128, false));
  failures += report_schedule("default", zc::encoder_graph({}), zc::CompilerOptions{});
  failures += report_schedule("stack3_256", zc::encoder_stack_graph({}, 3),
                              zc::CompilerOptions{.tile_count = 256});
  failures += report_evaluation("sixteen_bit", sixteen_bit_graph());
  return failures == 0 ? 0 : 1;
}
