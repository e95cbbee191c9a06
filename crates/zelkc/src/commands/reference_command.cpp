// zelkc reference.
#include "commands/reference_command.hpp"

#include <array>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <sstream>
#include <vector>

#include <zelk_compiler/checked.hpp>
#include <zelk_compiler/debug.hpp>
#include <zelk_compiler/encoder.hpp>

#include "outputs/summary.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

namespace {

// The bit pattern of a float as "0x42D6EDB0".
std::string float_bits(float value) {
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), "0x%08X", std::bit_cast<std::uint32_t>(value));
  return text.data();
}

}  // namespace

CLI::App* add_reference_command(CLI::App& app, ReferenceFlags& flags) {
  CLI::App* command = app.add_subcommand(
      "reference",
      "Evaluate the encoder block on the host with deterministic weights and print the checksum");
  add_encoder_flags(*command, flags.encoder, false);
  return command;
}

Outcome<void> check_reference_flags(const ReferenceFlags& flags) {
  const zc::EncoderConfig& config = flags.encoder.config;
  // The host reference evaluates heads that do not divide the width; every
  // other flag compile refuses (an empty sequence or width, no heads) it
  // refuses alike rather than evaluate nothing.
  if (zc::encoder_fault(config, 1) != zc::EncoderFault::HeadsDoNotDivideHidden) {
    if (auto checked = check_encoder_flags(flags.encoder); !checked) {
      return checked;
    }
  }
  if (!zc::checked_mul(config.sequence, config.hidden)) {
    return std::unexpected(Failure::usage("--sequence times --hidden does not fit 64 bits"));
  }
  return {};
}

Outcome<std::string> run_reference(const ReferenceFlags& flags) {
  if (auto checked = check_reference_flags(flags); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  const zc::EncoderConfig& config = flags.encoder.config;
  try {
    const std::vector<float> input = zc::reference_ramp(config.sequence * config.hidden);
    const zc::EncoderWeights weights = zc::EncoderWeights::deterministic(config);
    const auto started = std::chrono::steady_clock::now();
    const auto result = zc::encoder_reference(config, input, weights);
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now() - started);
    if (!result) {
      return std::unexpected(Failure::refused(zc::debug_string(result.error())));
    }
    const float checksum = zc::reference_checksum(*result);
    std::ostringstream out;
    out << "reference:     " << describe_encoder(flags.encoder)
        << ", deterministic weights, ramp input (i - 9) / 16\n"
        << "values:        " << result->size() << '\n'
        << "checksum:      " << zc::debug_string(checksum) << '\n'
        << "checksum bits: " << float_bits(checksum) << '\n'
        << "time:          " << milliseconds(elapsed) << " (encoder_reference)\n";
    return std::move(out).str();
  } catch (const std::exception& error) {
    return std::unexpected(Failure::refused(std::string("cannot evaluate: ") + error.what()));
  }
}

}  // namespace zelkc
